// The remembered port on Windows: the string value UnfinishedUpdatePort under
// HKCU\Software\Quor\PlugUpdate, which the window program and the console
// program share.
#include <string>

#include "platform/port_memory.h"
#include "platform/serial_api.h"

// Last: its A/W macros must not rename the seam's members above.
#include <windows.h>

namespace plat {
namespace {

constexpr const char* kKey = "Software\\Quor\\PlugUpdate";
constexpr const char* kValue = "UnfinishedUpdatePort";

bool Fail(LONG rc) {
  SetLastError(static_cast<std::uint32_t>(rc));
  return false;
}

class Registry final : public PortMemory {
 public:
  bool Load(std::string& port) override {
    port.clear();
    HKEY key = nullptr;
    LONG rc = ::RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return Fail(rc);
    char data[300] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    rc = ::RegQueryValueExA(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    ::RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return Fail(rc);
    if (type != REG_SZ) return Fail(ERROR_INVALID_DATA);
    data[size < sizeof data ? size : sizeof data - 1] = 0;
    port = data;
    return true;
  }
  bool Store(const std::string& port) override {
    HKEY key = nullptr;
    LONG rc = ::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return Fail(rc);
    rc = ::RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                          static_cast<DWORD>(port.size() + 1));
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS || Fail(rc);
  }
  bool Erase() override {
    HKEY key = nullptr;
    LONG rc = ::RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return Fail(rc);
    rc = ::RegDeleteValueA(key, kValue);
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND || Fail(rc);
  }
  std::string Where() const override { return std::string("HKCU\\") + kKey + "\\" + kValue; }
};
}  // namespace

PortMemory& MachinePortMemory() {
  static Registry registry;
  return registry;
}

}  // namespace plat
