#include <io.h>

#include <algorithm>
#include <cctype>

#include "frontends/console_platform.h"
#include "frontends/console_toolkit.h"
#include "platform/serial_win32.h"

// Last: its A/W macros must not rename the seam's members above.
#include <windows.h>

namespace console {
namespace {

// The number of "COMn" (case-insensitive), or 0.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
  int n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i])) || n > 999) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace

plat::SerialApi& MachineSerial() {
  static plat::Win32Serial serial;
  return serial;
}

std::string PortPath(const std::string& name) {
  // Device names other than COM1..COM9 open only through the \\.\ prefix.
  if (name.rfind("\\\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

std::string PortLabel(const std::string& path) {
  return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

std::vector<PortInfo> ListPorts() {
  std::vector<PortInfo> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD index = 0;; ++index) {
    char device[256];
    BYTE data[256];
    DWORD deviceSize = sizeof device;
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG rc = RegEnumValueA(key, index, device, &deviceSize, nullptr, &type, data, &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    std::string name(reinterpret_cast<const char*>(data));
    while (!name.empty() && name.back() == '\0') name.pop_back();
    ports.push_back({name, tk::Cp1252ToUtf8(device)});
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
    const int na = ComNumber(a.name), nb = ComNumber(b.name);
    return na != nb ? na < nb : a.name < b.name;
  });
  return ports;
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void PrepareTerminal() { SetConsoleOutputCP(CP_UTF8); }

}  // namespace console
