#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

#include "frontends/console_platform.h"
#include "platform/serial_posix.h"

namespace console {
namespace fs = std::filesystem;

namespace {

// ttyS2 before ttyS10: by kind, then by number.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    std::size_t d = s.size();
    while (d > 0 && s[d - 1] >= '0' && s[d - 1] <= '9') --d;
    const long n = d < s.size() ? std::stol(s.substr(d)) : -1;
    return std::make_pair(s.substr(0, d), n);
  };
  return split(a) < split(b);
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

plat::SerialApi& MachineSerial() {
  static plat::PosixSerial serial;
  return serial;
}

std::string PortPath(const std::string& name) {
  if (name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
      plat::PosixSerial::DevicePath(name.c_str()).empty()) {
    return "/dev/" + name;
  }
  // The serial backend opens absolute paths only.
  if (name.find('/') != std::string::npos && name.front() != '/') return fs::absolute(name).string();
  return name;
}

std::string PortLabel(const std::string& path) {
  const std::string device = plat::PosixSerial::DevicePath(path.c_str());
  return device.empty() ? path : device;
}

std::vector<PortInfo> ListPorts() {
  std::error_code ec;
  // Stable names of USB adapters, by the device they point to.
  std::map<std::string, std::vector<std::string>> byId;
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    const fs::path target = fs::canonical(entry.path(), ec);
    if (!ec) byId[target.string()].push_back(entry.path().string());
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    for (const char* kind : {"ttyS", "ttyUSB", "ttyACM"}) {
      const std::string k = kind;
      if (name.size() > k.size() && name.compare(0, k.size(), k) == 0 &&
          std::all_of(name.begin() + static_cast<std::ptrdiff_t>(k.size()), name.end(),
                      [](char c) { return c >= '0' && c <= '9'; })) {
        names.push_back(name);
      }
    }
  }
  std::sort(names.begin(), names.end(), NaturalLess);

  std::vector<PortInfo> ports;
  for (const std::string& name : names) {
    const std::string path = "/dev/" + name;
    const fs::path sys = fs::path("/sys/class/tty") / name;
    std::vector<std::string> about;
    for (const std::string& link : byId[path]) about.push_back(link);
    const fs::path driver = fs::read_symlink(sys / "device" / "driver", ec);
    if (!ec) about.push_back("driver " + driver.filename().string());
    // A ttyS device exists for every possible UART; type 0 means none answered.
    if (name.rfind("ttyS", 0) == 0 && FirstLine(sys / "type") == "0") about.push_back("no UART");
    if (::access(path.c_str(), R_OK | W_OK) != 0) about.push_back("no access for this user (dialout group?)");
    std::string text;
    for (const std::string& a : about) text += (text.empty() ? "" : ", ") + a;
    ports.push_back({path, text});
  }
  return ports;
}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

void PrepareTerminal() {}

void KeepSystemAwake(bool) {}

bool ReadAnswer(std::string& line, const std::function<bool()>& stop) {
  line.clear();
  for (;;) {
    if (stop && stop()) return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, 50);
    if (ready < 0 && errno != EINTR) return !line.empty();
    if (ready <= 0) continue;
    // One byte at a time: nothing is read past the answer's line end.
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

namespace {
std::atomic<int> gInterrupts{0};
std::atomic<bool> gClosing{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "set from a signal handler");

extern "C" void OnStopSignal(int signal) {
  if (signal == SIGINT) {
    gInterrupts.fetch_add(1);
  } else {
    gClosing.store(true);
  }
}
}  // namespace

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the serial backend's calls carry on
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int Interrupts() { return gInterrupts.load(); }
bool Closing() { return gClosing.load(); }

}  // namespace console
