// The machine's serial ports for the Win32 backend: the serial-port map
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (device -> "COMn"), with what the device
// manager knows of each port (its friendly name and the bus it hangs on) from
// the Ports class of the setup API, loaded at run time (DeviceNames).
#include <map>
#include <string>
#include <vector>

#include "platform/serial_win32.h"

// Last: its A/W macros must not rename the seam's members above.
#include <windows.h>
#include <setupapi.h>

namespace plat {
namespace {

struct Known {
  std::string friendly;    // "USB Serial Port (COM5)"
  std::string enumerator;  // "USB", "FTDIBUS", "BTHENUM", "ACPI", ...
};

// The Ports class {4d36e978-e325-11ce-bfc1-08002be10318}.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The setup API, loaded when the device manager is asked (see DeviceNames).
struct SetupApi {
  decltype(&::SetupDiGetClassDevsA) getClassDevs = nullptr;
  decltype(&::SetupDiEnumDeviceInfo) enumDeviceInfo = nullptr;
  decltype(&::SetupDiOpenDevRegKey) openDevRegKey = nullptr;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) getProperty = nullptr;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyList = nullptr;

  SetupApi() {
    HMODULE lib = ::LoadLibraryA("setupapi.dll");
    if (lib == nullptr) return;
    Get(lib, "SetupDiGetClassDevsA", getClassDevs);
    Get(lib, "SetupDiEnumDeviceInfo", enumDeviceInfo);
    Get(lib, "SetupDiOpenDevRegKey", openDevRegKey);
    Get(lib, "SetupDiGetDeviceRegistryPropertyA", getProperty);
    Get(lib, "SetupDiDestroyDeviceInfoList", destroyList);
  }
  bool Loaded() const { return getClassDevs && enumDeviceInfo && openDevRegKey && getProperty && destroyList; }

  template <typename F>
  static void Get(HMODULE lib, const char* name, F& f) {
    f = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(lib, name)));
  }
};

std::string Property(const SetupApi& api, HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  char text[512] = {};
  DWORD type = 0;
  if (!api.getProperty(set, &device, property, &type, reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr) ||
      type != REG_SZ) {
    return {};
  }
  return text;
}

// By port name ("COM5"), what the device manager knows.
std::map<std::string, Known> DeviceManager() {
  std::map<std::string, Known> known;
  static const SetupApi api;  // the library stays loaded, as a linked one would
  if (!api.Loaded()) return known;
  const HDEVINFO set = api.getClassDevs(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return known;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; api.enumDeviceInfo(set, i, &device); ++i) {
    const HKEY key = api.openDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const LONG rc = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    known[name] = {Property(api, set, device, SPDRP_FRIENDLYNAME), Property(api, set, device, SPDRP_ENUMERATOR_NAME)};
  }
  api.destroyList(set);
  return known;
}

bool Contains(const std::string& text, const char* part) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return upper.find(part) != std::string::npos;
}

// The kind from the bus the device hangs on, else from the name of the
// device in the serial-port map (\Device\BthModem0, \Device\USBSER000, ...).
PortKind KindOf(const std::string& device, const Known* known) {
  const std::string bus = known != nullptr ? known->enumerator : std::string();
  if (Contains(bus, "BTH") || Contains(device, "BTHMODEM")) return PortKind::Bluetooth;
  if (Contains(bus, "USB") || Contains(bus, "FTDI") || Contains(device, "USB") || Contains(device, "VCP") ||
      Contains(device, "SILABSER") || Contains(device, "PROLIFIC") || Contains(device, "CH341")) {
    return PortKind::Usb;
  }
  return PortKind::Serial;
}

}  // namespace

std::vector<PortEntry> Win32Serial::Ports() {
  std::vector<PortEntry> ports;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return ports;
  }
  const std::map<std::string, Known> known = DeviceNames ? DeviceManager() : std::map<std::string, Known>();
  for (DWORD index = 0;; ++index) {
    char device[256];
    BYTE data[256];
    DWORD deviceSize = sizeof device;
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG rc = ::RegEnumValueA(key, index, device, &deviceSize, nullptr, &type, data, &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    const std::string name(reinterpret_cast<const char*>(data));
    const auto it = known.find(name);
    const Known* k = it != known.end() ? &it->second : nullptr;
    std::string about = k != nullptr && !k->friendly.empty() ? k->friendly : std::string(device);
    ports.push_back({"\\\\.\\" + name, KindOf(device, k), about});
  }
  ::RegCloseKey(key);
  return ports;
}

}  // namespace plat
