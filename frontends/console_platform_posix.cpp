#include <signal.h>
#include <unistd.h>

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
