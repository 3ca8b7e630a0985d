#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "frontends/console_platform.h"
#include "platform/serial_posix.h"

namespace console {
namespace fs = std::filesystem;

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

std::vector<plat::PortEntry> ListPorts() { return MachineSerial().Ports(); }

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
