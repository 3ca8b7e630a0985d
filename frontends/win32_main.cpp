// Entry of the Windows program: the Win32 serial port and window toolkit
// under the system's program entry.
#include "app/main.h"
#include "frontends/win32_toolkit.h"
#include "platform/serial_win32.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

// Last: its A/W macros (MessageBox, PostMessage, ...) must not rename the
// seam's members above.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  static plat::Win32Serial win32Serial;
  static tk::Win32Backend win32Toolkit;
  plat::SetSerial(&win32Serial);
  tk::SetBackend(&win32Toolkit);
  Application = new TApplication;
  int rc = PlugMain();
  TThread::JoinAll();
  delete Application;
  Application = nullptr;
  return rc;
}
