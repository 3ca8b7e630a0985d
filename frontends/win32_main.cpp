// Entry of the Windows program: the Win32 serial port, window toolkit and
// remembered port under the system's program entry. Port names on the
// command line ("QuorPlugUpdate.exe COM7", "\\.\COM7", several) are the
// ports the search probes, in the order given, in place of the machine's.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main.h"
#include "frontends/win32_toolkit.h"
#include "platform/port_memory.h"
#include "platform/serial_win32.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

// Last: its A/W macros (MessageBox, PostMessage, ...) must not rename the
// seam's members above.
#include <windows.h>

namespace {
// "COM7" opens as "\\.\COM7" (COM10 and above open only so); a name that
// already begins with "\\" stands as it is.
std::vector<std::string> NamedPorts(int argc, char** argv) {
  std::vector<std::string> ports;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name.empty()) continue;
    ports.push_back(name.rfind("\\\\", 0) == 0 ? name : "\\\\.\\" + name);
  }
  return ports;
}
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  static plat::Win32Serial win32Serial;
  static tk::Win32Backend win32Toolkit;
  plat::SetSerial(&win32Serial);
  plat::SetPortMemory(&plat::MachinePortMemory());
  tk::SetBackend(&win32Toolkit);
  Application = new TApplication;
  int rc = PlugMain(NamedPorts(__argc, __argv));
  TThread::JoinAll();
  delete Application;
  Application = nullptr;
  return rc;
}
