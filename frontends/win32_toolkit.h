// The native window backend: each TForm becomes a top-level Win32 window and
// each of its controls a child window (push button, static label, read-only
// multi-line edit, and an owner-painted percentage gauge). Posted messages
// travel through the Win32 message queue. <windows.h> stays in the .cpp.
//
// The windows are Unicode windows: the system's Windows-1252 texts are
// converted from code page 1252, so they read right on every system code
// page. The forms are owned by an application window of no size that carries
// the application's title (the taskbar button's text). A busy notice refuses
// the system's shutdown (WM_QUERYENDSESSION) and gives Windows its reason;
// the end of the session (WM_ENDSESSION) goes to the main form's dispatch.
//
// A form's layout, font height and gauge are given for 96 dpi and shown
// scaled by the dpi of the monitor the window is on, again whenever that
// changes (WM_DPICHANGED); at 96 dpi every control sits where the layout says.
#pragma once

#include <string>

#include "platform/toolkit.h"

namespace tk {

class Win32Backend final : public Backend {
 public:
  Win32Backend();
  Win32Backend(const Win32Backend&) = delete;
  Win32Backend& operator=(const Win32Backend&) = delete;
  ~Win32Backend() override;

  void SetTitle(const std::string& title) override;
  const std::string& Title() const { return title_; }

  void FormCreated(TForm& form) override;
  void FormDestroying(TForm& form) override;
  void ControlChanged(TControl& control, Change what) override;
  void RepaintNow(TControl& control) override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  void ProcessMessages() override;
  void RunLoop() override;
  bool Post(TForm& form, const Message& message) override;
  void DiscardPosted(TForm& form, unsigned msg,
                     const std::function<void(const Message&)>& release) override;
  void Wake() override;
  void Beep(unsigned type) override;
  void DebugOutput(const char* text) override;
  void ShowException(const std::string& text) override;
  void BusyBegin(const std::string& reason) override;
  void BusyEnd() override;

  // Native state, for tests. Rectangles: a control's window in the client
  // coordinates of its form; the form's outer window in screen coordinates;
  // the form's client area (Left = Top = 0).
  static bool ControlRect(const TControl& control, TRect& rect);
  static bool FormRect(const TForm& form, TRect& rect);
  static bool ClientRect(const TForm& form, TRect& rect);
  static TRect Screen();
  static std::string NativeText(const TControl& control);
  // The UTF-16 text of a native window (a control's or form's Peer, a box).
  static std::wstring NativeWideText(const void* window);
  // The application's window that owns the forms (HWND), null before the first form.
  static void* AppWindowHandle();
  static std::string NativeClass(const TControl& control);
  static bool NativeEnabled(const TControl& control);
  static bool NativeTabStop(const TControl& control);
  static bool NativeFocused(const TControl& control);
  // The face name and height of the font the control uses.
  static std::string FontName(const TControl& control);
  static int FontHeight(const TControl& control);
  // The colour (0x00BBGGRR) of the pixel at x, y of the control's client area
  // as it is on the screen; -1 when it cannot be read.
  static long PixelAt(const TControl& control, int x, int y);
  // The control that comes after 'control' in the form's Tab order.
  static TControl* NextTabStop(const TControl& control);

 private:
  std::string title_;
  unsigned long guiThread_ = 0;
};

// The colour value (0x00BBGGRR) of a toolkit colour.
unsigned long ColorRef(Color color);

}  // namespace tk
