// The machine's serial ports for the POSIX backend: COM1 and COM2 as the
// backend opens them (/dev/ttyS0, /dev/ttyS1, or PLUG_COM1/PLUG_COM2), then
// every USB serial adapter (/dev/ttyUSB*, /dev/ttyACM*) and Bluetooth port
// (/dev/rfcomm*) that exists. The other ttyS nodes are left out: the kernel
// makes them whether or not a UART answers.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "platform/serial_posix.h"

namespace plat {
namespace {
namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The number after a device's prefix, or -1 when the rest is not a number.
long NumberAfter(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
  long n = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 99999) return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// What the system knows of a device: its /dev/serial/by-id name, else its
// driver; and why it may not work.
std::string About(const std::string& path, const std::map<std::string, std::string>& byId) {
  std::error_code ec;
  std::vector<std::string> about;
  const fs::path device = fs::canonical(path, ec);
  const std::string name = ec ? fs::path(path).filename().string() : device.filename().string();
  if (auto it = byId.find(ec ? path : device.string()); it != byId.end()) {
    about.push_back(it->second);
  } else {
    const fs::path driver = fs::read_symlink(fs::path("/sys/class/tty") / name / "device" / "driver", ec);
    if (!ec) about.push_back("driver " + driver.filename().string());
  }
  // A ttyS device exists for every possible UART; type 0 means none answered.
  if (name.rfind("ttyS", 0) == 0 && FirstLine(fs::path("/sys/class/tty") / name / "type") == "0") {
    about.push_back("no UART");
  }
  if (::access(path.c_str(), R_OK | W_OK) != 0) about.push_back("no access for this user (dialout group?)");
  std::string text;
  for (const std::string& a : about) text += (text.empty() ? "" : ", ") + a;
  return text;
}

}  // namespace

std::vector<PortEntry> PosixSerial::Ports() {
  std::error_code ec;
  // Stable names of USB adapters, by the device they point to.
  std::map<std::string, std::string> byId;
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code linkEc;
    const fs::path target = fs::canonical(entry.path(), linkEc);
    if (!linkEc) byId.emplace(target.string(), entry.path().string());
  }

  std::vector<PortEntry> ports;
  std::vector<std::string> taken;  // devices listed already, canonical
  for (const char* com : {"\\\\.\\COM1", "\\\\.\\COM2"}) {
    const std::string device = DevicePath(com);
    if (::access(device.c_str(), F_OK) != 0) continue;
    ports.push_back({com, PortKind::Serial, About(device, byId)});
    taken.push_back(fs::canonical(device, ec).string());
  }

  struct Found {
    int kind;  // the order of the kinds below
    long number;
    std::string path;
  };
  std::vector<Found> found;
  const std::pair<const char*, PortKind> kinds[] = {
      {"ttyUSB", PortKind::Usb}, {"ttyACM", PortKind::Usb}, {"rfcomm", PortKind::Bluetooth}};
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    for (int k = 0; k < 3; ++k) {
      const long n = NumberAfter(name, kinds[k].first);
      if (n >= 0) found.push_back({k, n, entry.path().string()});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return std::tie(a.kind, a.number) < std::tie(b.kind, b.number); });
  for (const Found& f : found) {
    std::error_code canonicalEc;
    if (std::find(taken.begin(), taken.end(), fs::canonical(f.path, canonicalEc).string()) != taken.end()) continue;
    ports.push_back({f.path, kinds[f.kind].second, About(f.path, byId)});
  }
  return ports;
}

}  // namespace plat
