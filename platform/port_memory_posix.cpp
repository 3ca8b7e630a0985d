// The remembered port on POSIX: one line in plugupdate/unfinished-port under
// $XDG_STATE_HOME (by default ~/.local/state), written to a temporary file
// first and renamed over the old one, so a cut-off write leaves the old value.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>

#include "platform/port_memory.h"
#include "platform/serial_api.h"

namespace plat {
namespace {
namespace fs = std::filesystem;

std::uint32_t FromErrc(const std::error_code& ec) {
  if (ec == std::errc::no_such_file_or_directory) return kErrorFileNotFound;
  if (ec == std::errc::permission_denied || ec == std::errc::read_only_file_system) return kErrorAccessDenied;
  return kErrorGenFailure;
}

class StateFile final : public PortMemory {
 public:
  bool Load(std::string& port) override {
    port.clear();
    const fs::path file = File();
    if (file.empty()) return Fail(kErrorFileNotFound);
    std::error_code ec;
    if (!fs::exists(file, ec)) return !ec || Fail(FromErrc(ec));
    std::ifstream in(file);
    if (!in) return Fail(kErrorAccessDenied);
    std::getline(in, port);
    return true;
  }
  bool Store(const std::string& port) override {
    const fs::path file = File();
    if (file.empty()) return Fail(kErrorFileNotFound);
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return Fail(FromErrc(ec));
    const fs::path temporary = file.string() + ".new";
    {
      std::ofstream out(temporary, std::ios::trunc);
      out << port << "\n";
      out.flush();
      if (!out) return Fail(kErrorAccessDenied);
    }
    fs::rename(temporary, file, ec);
    return !ec || Fail(FromErrc(ec));
  }
  bool Erase() override {
    const fs::path file = File();
    if (file.empty()) return true;
    std::error_code ec;
    fs::remove(file, ec);
    return !ec || Fail(FromErrc(ec));
  }
  std::string Where() const override { return File().string(); }

 private:
  static fs::path File() {
    const char* state = std::getenv("XDG_STATE_HOME");
    fs::path base;
    if (state != nullptr && state[0] == '/') {
      base = state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
      base = fs::path(home) / ".local" / "state";
    } else {
      return {};
    }
    return base / "plugupdate" / "unfinished-port";
  }
  static bool Fail(std::uint32_t code) {
    SetLastError(code);
    return false;
  }
};
}  // namespace

PortMemory& MachinePortMemory() {
  static StateFile file;
  return file;
}

}  // namespace plat
