#include "frontends/win32_toolkit.h"

#include <windows.h>
// The seam's names, not the A/W switches of the Win32 headers.
#undef MessageBox
#undef PostMessage
#undef OutputDebugString

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <vector>

namespace tk {
namespace {

const wchar_t kFormClass[] = L"QuorPlugForm";
const wchar_t kGaugeClass[] = L"QuorPlugGauge";
const wchar_t kAppClass[] = L"QuorPlugApplication";
constexpr int kFirstControlId = 100;

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

// The system's texts are Windows-1252 bytes. The windows get them as UTF-16,
// converted from code page 1252 whatever the system's code page is (through
// the ANSI functions they would be read in the system's code page: wrong on
// Cyrillic, Greek, East Asian or UTF-8 systems).
std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = ::MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(1252, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                      nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(1252, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
  const int n = ::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return text;
}

// The application's window: never seen (no size), it owns the main form and
// carries the application's title, so the taskbar button shows the title and
// not the form's caption. Made with the first form.
HWND gAppWindow = nullptr;
// Set while a busy notice is on: the system's shutdown is refused.
bool gBusy = false;

HWND Hwnd(const void* peer) { return static_cast<HWND>(const_cast<void*>(peer)); }

TForm* FormOf(HWND hwnd) { return reinterpret_cast<TForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

TControl* ControlOf(HWND hwnd) {
  return reinterpret_cast<TControl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

bool IsFormWindow(HWND hwnd) {
  wchar_t name[32] = {};
  return hwnd != nullptr && ::GetClassNameW(hwnd, name, 32) > 0 && lstrcmpW(name, kFormClass) == 0;
}

// One brush per colour, made on first use; system colours use the system's.
HBRUSH Brush(Color color) {
  switch (color) {
    case Color::BtnFace: return ::GetSysColorBrush(COLOR_BTNFACE);
    case Color::Menu: return ::GetSysColorBrush(COLOR_MENU);
    case Color::Window: return ::GetSysColorBrush(COLOR_WINDOW);
    default: break;
  }
  static std::map<Color, HBRUSH> brushes;
  HBRUSH& brush = brushes[color];
  if (brush == nullptr) brush = ::CreateSolidBrush(ColorRef(color));
  return brush;
}

// The layout, font and gauge are drawn for 96 dpi; a form shows them scaled
// by the dpi of the monitor it is on (the program is per-monitor DPI aware).
constexpr int kLayoutDpi = 96;
constexpr UINT kWmDpiChanged = 0x02E0;

int Scaled(int value, int dpi) { return ::MulDiv(value, dpi, kLayoutDpi); }

// A layout rectangle at dpi: its edges scaled, so that neighbours stay neighbours.
RECT Scaled(const TRect& r, int dpi) {
  return RECT{Scaled(r.Left, dpi), Scaled(r.Top, dpi), Scaled(r.Left + r.Width, dpi),
              Scaled(r.Top + r.Height, dpi)};
}

// Per form: its font at its dpi.
struct FormState {
  HFONT font = nullptr;
  int dpi = kLayoutDpi;
};

std::map<const TForm*, FormState>& States() {
  static std::map<const TForm*, FormState> states;
  return states;
}

HFONT MakeFont(const TForm& form, int dpi) {
  return ::CreateFontA(Scaled(form.FontHeight, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       form.FontName.c_str());
}

// A function of user32 that older Windows lacks, looked up so that the
// program still starts there; null where it is missing.
template <class F>
F User32(const char* name) {
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 != nullptr ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(user32, name)))
                           : nullptr;
}

// The dpi of the monitor a window is on (Windows 10 1607 and later); before
// that the system's dpi, which is the one every monitor shows.
int WindowDpi(HWND hwnd) {
  using DpiForWindow = UINT(WINAPI*)(HWND);
  static const auto forWindow = User32<DpiForWindow>("GetDpiForWindow");
  if (forWindow != nullptr && hwnd != nullptr) {
    if (const UINT dpi = forWindow(hwnd); dpi != 0) return static_cast<int>(dpi);
  }
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kLayoutDpi;
}

// The outer rectangle around a client rectangle, with the frame and caption
// the system draws at that dpi.
void AdjustForDpi(RECT& rect, DWORD style, DWORD exStyle, int dpi) {
  using AdjustRect = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = User32<AdjustRect>("AdjustWindowRectExForDpi");
  if (adjust == nullptr || !adjust(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi))) {
    ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  }
}

int DpiOf(const TForm* form) {
  auto it = States().find(form);
  return it != States().end() ? it->second.dpi : kLayoutDpi;
}

// Runs a handler of the system's code; what it throws is shown, as the
// application's standard display does, and does not cross the window procedure.
template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    if (Application != nullptr) Application->ShowException(e);
  }
}

// --- gauge ------------------------------------------------------------------

void PaintGauge(HWND hwnd, HDC target) {
  auto* gauge = static_cast<TCGauge*>(ControlOf(hwnd));
  RECT rc;
  ::GetClientRect(hwnd, &rc);
  const int w = rc.right - rc.left;
  const int h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0) return;
  // Drawn off screen, then copied: no flicker while the update moves it.
  HDC dc = ::CreateCompatibleDC(target);
  HBITMAP bmp = ::CreateCompatibleBitmap(target, w, h);
  HGDIOBJ oldBmp = ::SelectObject(dc, bmp);
  auto font = reinterpret_cast<HFONT>(::GetWindowLongPtrW(hwnd, 0));
  HGDIOBJ oldFont = font != nullptr ? ::SelectObject(dc, font) : nullptr;

  // The frame is one pixel at 96 dpi, as thick as the scale makes it above.
  const int frame = std::max(1, Scaled(1, DpiOf(FormOf(::GetParent(hwnd)))));
  ::FillRect(dc, &rc, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
  RECT inner = {frame, frame, w - frame, h - frame};
  int percent = 0;
  if (gauge != nullptr && gauge->MaxValue > gauge->MinValue) {
    percent = (gauge->Progress() - gauge->MinValue) * 100 / (gauge->MaxValue - gauge->MinValue);
  }
  const Color fore = gauge != nullptr ? gauge->ForeColor : Color::Navy;
  const Color back = gauge != nullptr ? gauge->BackColor : Color::White;
  RECT bar = inner;
  bar.right = inner.left + (inner.right - inner.left) * percent / 100;
  RECT rest = inner;
  rest.left = bar.right;

  char text[8];
  std::snprintf(text, sizeof text, "%d%%", percent);
  const bool showText = gauge == nullptr || gauge->ShowText;
  ::SetBkMode(dc, TRANSPARENT);
  // The text is drawn twice: in the bar colour over the empty part and in
  // the background colour over the bar, so it reads on both.
  ::FillRect(dc, &rest, Brush(back));
  ::FillRect(dc, &bar, Brush(fore));
  if (showText) {
    HRGN clip = ::CreateRectRgnIndirect(&rest);
    ::SelectClipRgn(dc, clip);
    ::SetTextColor(dc, ColorRef(fore));
    ::DrawTextA(dc, text, -1, &inner, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    ::SetRectRgn(clip, bar.left, bar.top, bar.right, bar.bottom);
    ::SelectClipRgn(dc, clip);
    ::SetTextColor(dc, ColorRef(back));
    ::DrawTextA(dc, text, -1, &inner, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    ::SelectClipRgn(dc, nullptr);
    ::DeleteObject(clip);
  }
  ::BitBlt(target, 0, 0, w, h, dc, 0, 0, SRCCOPY);
  if (oldFont != nullptr) ::SelectObject(dc, oldFont);
  ::SelectObject(dc, oldBmp);
  ::DeleteObject(bmp);
  ::DeleteDC(dc);
}

LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd, &ps);
      PaintGauge(hwnd, dc);
      ::EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      PaintGauge(hwnd, reinterpret_cast<HDC>(wp));
      return 0;
    case WM_SETFONT:
      ::SetWindowLongPtrW(hwnd, 0, static_cast<LONG_PTR>(wp));
      if (LOWORD(lp) != 0) ::InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_GETFONT:
      return ::GetWindowLongPtrW(hwnd, 0);
    default:
      return ::DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// --- memo ---------------------------------------------------------------------

WNDPROC gEditProc = nullptr;

// A multi-line edit in a window with the dialog keyboard closes that window
// on Esc (it posts WM_CLOSE to its parent). The window closes only by its own
// means: Esc does nothing here.
LRESULT CALLBACK MemoProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if ((msg == WM_KEYDOWN || msg == WM_KEYUP || msg == WM_CHAR) && wp == VK_ESCAPE) return 0;
  return ::CallWindowProcW(gEditProc, hwnd, msg, wp, lp);
}

// --- form window --------------------------------------------------------------

void FitLabel(HWND hwnd) {
  const std::wstring text = WindowText(hwnd);
  HDC dc = ::GetDC(hwnd);
  HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  RECT r = {0, 0, 0, 0};
  ::DrawTextW(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_SINGLELINE);
  ::SelectObject(dc, old);
  ::ReleaseDC(hwnd, dc);
  ::SetWindowPos(hwnd, nullptr, 0, 0, r.right, r.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AlignControls(TForm& form, int clientWidth) {
  const int dpi = DpiOf(&form);
  for (const auto& c : form.Controls()) {
    if (c->Kind() != ControlKind::Memo || !static_cast<TMemo*>(c.get())->AlignTop) continue;
    const RECT r = Scaled(c->Bounds(), dpi);
    ::SetWindowPos(Hwnd(c->Peer), nullptr, 0, 0, clientWidth, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

// The form moved to a monitor of another dpi (or the monitor's scale
// changed): a font of the new height, every control at its scaled place, and
// the window where the system suggests, which keeps it under the mouse
// while it is dragged across.
void ChangeDpi(TForm& form, HWND hwnd, int dpi, const RECT& suggested) {
  FormState& state = States()[&form];
  HFONT old = state.font;
  state.font = MakeFont(form, dpi);
  state.dpi = dpi;
  ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), FALSE);
  for (const auto& c : form.Controls()) {
    HWND child = Hwnd(c->Peer);
    if (child == nullptr) continue;
    const RECT r = Scaled(c->Bounds(), dpi);
    ::SetWindowPos(child, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), TRUE);
    if (c->Kind() == ControlKind::Label && static_cast<TLabel*>(c.get())->AutoSize) FitLabel(child);
  }
  ::SetWindowPos(hwnd, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  RECT client;
  ::GetClientRect(hwnd, &client);
  AlignControls(form, client.right);
  ::InvalidateRect(hwnd, nullptr, TRUE);
  if (old != nullptr) ::DeleteObject(old);
}

HWND MainWindow();

LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_QUERYENDSESSION) return gBusy ? FALSE : TRUE;
  TForm* form = FormOf(hwnd);
  if (form == nullptr) return ::DefWindowProcW(hwnd, msg, wp, lp);
  if (msg >= WM_USER || msg == WM_CLOSE || msg == WM_ENDSESSION) {
    // The form decides: WM_CLOSE on the main form ends the application; the
    // window itself lives until the form is deleted. WM_ENDSESSION: the
    // process may end as soon as the form's dispatch returns.
    Message m;
    m.Msg = msg;
    m.WParam = wp;
    m.LParam = lp;
    Guarded([&] { form->Dispatch(m); });
    return m.Result;
  }
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && lp != 0) {
        TControl* c = ControlOf(reinterpret_cast<HWND>(lp));
        if (c != nullptr && c->Kind() == ControlKind::Button) {
          Guarded([&] { static_cast<TButton*>(c)->Click(); });
        }
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT: {
      TControl* c = ControlOf(reinterpret_cast<HWND>(lp));
      Color color = c != nullptr ? c->Color : form->Color;
      auto dc = reinterpret_cast<HDC>(wp);
      ::SetBkColor(dc, ColorRef(color));
      ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(Brush(color));
    }
    case WM_ERASEBKGND: {
      RECT rc;
      ::GetClientRect(hwnd, &rc);
      ::FillRect(reinterpret_cast<HDC>(wp), &rc, Brush(form->Color));
      return 1;
    }
    case WM_SIZE:
      AlignControls(*form, LOWORD(lp));
      return 0;
    case kWmDpiChanged:
      ChangeDpi(*form, hwnd, LOWORD(wp), *reinterpret_cast<const RECT*>(lp));
      return 0;
    case WM_SYSCOMMAND:
      // The main form is minimised with the application's window, which
      // keeps the taskbar button and hides the windows it owns.
      if ((wp & 0xFFF0) == SC_MINIMIZE && gAppWindow != nullptr && hwnd == MainWindow()) {
        ::ShowWindow(gAppWindow, SW_MINIMIZE);
        return 0;
      }
      break;
    case WM_ACTIVATE:
      // Give the keyboard back to the form's active control.
      if (LOWORD(wp) != WA_INACTIVE && form->ActiveControl() != nullptr &&
          form->ActiveControl()->Peer != nullptr) {
        ::SetFocus(Hwnd(form->ActiveControl()->Peer));
        return 0;
      }
      break;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_QUERYENDSESSION:
      return gBusy ? FALSE : TRUE;
    case WM_ENDSESSION:
      // Whichever window Windows tells first, the process may end once both
      // have returned: the main form has its say before this one returns.
      if (HWND main = MainWindow()) ::SendMessageW(main, WM_ENDSESSION, wp, lp);
      return 0;
    case WM_CLOSE:
      // "Close window" on the taskbar button: as if the main form was closed.
      if (HWND main = MainWindow()) ::PostMessageW(main, WM_CLOSE, 0, 0);
      return 0;
    case WM_ACTIVATE:
      // Activated from the taskbar or Alt+Tab: the main form (or its box) takes over.
      if (LOWORD(wp) != WA_INACTIVE) {
        if (HWND main = MainWindow(); main != nullptr && ::IsWindowVisible(main)) {
          ::SetActiveWindow(::GetLastActivePopup(main));
          return 0;
        }
      }
      break;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

void RegisterClasses() {
  static bool done = false;
  if (done) return;
  done = true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = FormProc;
  wc.hInstance = Instance();
  wc.hIcon = ::LoadIconW(Instance(), L"MAINICON");
  if (wc.hIcon == nullptr) wc.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = nullptr;  // painted in the form's colour
  wc.lpszClassName = kFormClass;
  ::RegisterClassExW(&wc);

  WNDCLASSEXW gc{};
  gc.cbSize = sizeof gc;
  gc.lpfnWndProc = GaugeProc;
  gc.cbWndExtra = sizeof(LONG_PTR);  // the font
  gc.hInstance = Instance();
  gc.hCursor = wc.hCursor;
  gc.lpszClassName = kGaugeClass;
  ::RegisterClassExW(&gc);

  WNDCLASSEXW ac{};
  ac.cbSize = sizeof ac;
  ac.lpfnWndProc = AppProc;
  ac.hInstance = Instance();
  ac.hIcon = wc.hIcon;  // the taskbar button's icon
  ac.hCursor = wc.hCursor;
  ac.lpszClassName = kAppClass;
  ::RegisterClassExW(&ac);
}

// Made once, for the first form; the title may come later (SetTitle).
HWND AppWindow(const std::string& title) {
  if (gAppWindow == nullptr) {
    // Far off every screen, where minimised windows go: nothing of it is
    // ever drawn (a window system under Wine does not map it at all).
    gAppWindow = ::CreateWindowExW(0, kAppClass, Wide(title).c_str(),
                                   WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX, -32000,
                                   -32000, 0, 0, nullptr, nullptr, Instance(), nullptr);
  }
  return gAppWindow;
}

std::string MemoText(const TMemo& memo) {
  std::string text;
  for (int i = 0; i < memo.Lines->Count(); ++i) {
    if (i > 0) text += "\r\n";
    text += (*memo.Lines)[i];
  }
  return text;
}

HWND CreateControl(HWND parent, TControl& c, int id, HFONT font, int dpi) {
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD exStyle = 0;
  const wchar_t* cls = L"STATIC";
  std::string text = c.Caption();
  if (!c.Enabled()) style |= WS_DISABLED;
  if (c.TabOrder >= 0) style |= WS_TABSTOP;
  switch (c.Kind()) {
    case ControlKind::Button:
      cls = L"BUTTON";
      style |= BS_PUSHBUTTON;
      break;
    case ControlKind::Label:
      style |= SS_LEFT;
      break;
    case ControlKind::Gauge:
      cls = kGaugeClass;
      text.clear();
      break;
    case ControlKind::Memo: {
      auto& memo = static_cast<TMemo&>(c);
      cls = L"EDIT";
      style |= ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL;
      if (memo.ReadOnly) style |= ES_READONLY;
      exStyle |= WS_EX_CLIENTEDGE;
      text = MemoText(memo);
      break;
    }
  }
  const RECT b = Scaled(c.Bounds(), dpi);
  HWND hwnd = ::CreateWindowExW(exStyle, cls, Wide(text).c_str(), style, b.left, b.top, b.right - b.left,
                                b.bottom - b.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(),
                                nullptr);
  if (hwnd == nullptr) return nullptr;
  ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&c));
  ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (c.Kind() == ControlKind::Memo) {
    ::SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
    auto previous = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MemoProc)));
    if (gEditProc == nullptr) gEditProc = previous;
  }
  if (c.Kind() == ControlKind::Label && static_cast<TLabel&>(c).AutoSize) FitLabel(hwnd);
  return hwnd;
}

HWND MainWindow() {
  if (Application == nullptr || Application->MainForm == nullptr) return nullptr;
  return Hwnd(Application->MainForm->Peer);
}

void Pump(MSG& msg) {
  HWND root = msg.hwnd != nullptr ? ::GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  // Dialog-style keyboard: Tab, Alt+letter accelerators of the buttons.
  if (root != nullptr && IsFormWindow(root) && ::IsDialogMessageW(root, &msg)) return;
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
}

// ShutdownBlockReasonCreate/Destroy (Windows Vista and later), looked up so
// that the program still starts where they are missing.
using BlockReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
using BlockReasonDestroy = BOOL(WINAPI*)(HWND);

}  // namespace

unsigned long ColorRef(Color color) {
  switch (color) {
    case Color::BtnFace: return ::GetSysColor(COLOR_BTNFACE);
    case Color::Menu: return ::GetSysColor(COLOR_MENU);
    case Color::Window: return ::GetSysColor(COLOR_WINDOW);
    case Color::Navy: return RGB(0, 0, 128);
    case Color::White: return RGB(255, 255, 255);
    case Color::Black: return RGB(0, 0, 0);
  }
  return RGB(0, 0, 0);
}

Win32Backend::Win32Backend() : guiThread_(::GetCurrentThreadId()) {}

Win32Backend::~Win32Backend() {
  for (auto& entry : States()) ::DeleteObject(entry.second.font);
  States().clear();
  if (gAppWindow != nullptr) {
    ::DestroyWindow(gAppWindow);
    gAppWindow = nullptr;
  }
  gBusy = false;
}

void Win32Backend::SetTitle(const std::string& title) {
  title_ = title;
  if (gAppWindow != nullptr) ::SetWindowTextW(gAppWindow, Wide(title).c_str());
}

void* Win32Backend::AppWindowHandle() { return gAppWindow; }

void Win32Backend::FormCreated(TForm& form) {
  RegisterClasses();
  constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
  HWND owner = AppWindow(title_);
  // Made without a size: the size follows from the dpi of the monitor the
  // window is on, which only the window can tell.
  const int startX = form.Centered ? 0 : form.Left;
  const int startY = form.Centered ? 0 : form.Top;
  HWND hwnd = ::CreateWindowExW(kExStyle, kFormClass, Wide(form.Caption()).c_str(), kStyle, startX, startY, 0, 0,
                                owner, nullptr, Instance(), nullptr);
  if (hwnd == nullptr) return;
  const int dpi = WindowDpi(hwnd);
  HFONT font = MakeFont(form, dpi);
  States()[&form] = FormState{font, dpi};
  // The window around the layout's client area, with the frame and caption
  // the system draws (larger with bigger fonts or another theme).
  RECT client = {0, 0, Scaled(form.ClientWidth, dpi), Scaled(form.ClientHeight, dpi)};
  RECT outer = client;
  AdjustForDpi(outer, kStyle, kExStyle, dpi);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  int x = startX;
  int y = startY;
  if (form.Centered) {
    x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  }
  ::SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  form.Peer = hwnd;

  // Children in Tab order (the dialog keyboard follows creation order), the
  // controls that are no tab stops after them.
  std::vector<std::size_t> order(form.Controls().size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    int ta = form.Controls()[a]->TabOrder, tb = form.Controls()[b]->TabOrder;
    if ((ta < 0) != (tb < 0)) return tb < 0;
    return ta >= 0 && ta < tb;
  });
  for (std::size_t i : order) {
    TControl& c = *form.Controls()[i];
    c.Peer = CreateControl(hwnd, c, kFirstControlId + static_cast<int>(i), font, dpi);
  }
  // From here on messages reach the form.
  ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&form));
  ::GetClientRect(hwnd, &client);
  AlignControls(form, client.right);

  // The owner shows only as the taskbar button.
  if (owner != nullptr && !::IsWindowVisible(owner)) ::ShowWindow(owner, SW_SHOWNOACTIVATE);
  ::ShowWindow(hwnd, SW_SHOWNORMAL);
  ::UpdateWindow(hwnd);
  TControl* first = form.ActiveControl();
  if (first == nullptr) {
    for (std::size_t i : order) {
      TControl* c = form.Controls()[i].get();
      if (c->TabOrder >= 0 && c->Enabled()) {
        first = c;
        break;
      }
    }
  }
  if (first != nullptr) first->SetFocus();
}

void Win32Backend::FormDestroying(TForm& form) {
  HWND hwnd = Hwnd(form.Peer);
  if (hwnd != nullptr) {
    if (gBusy) BusyEnd();
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    for (const auto& c : form.Controls()) {
      if (c->Peer != nullptr) ::SetWindowLongPtrW(Hwnd(c->Peer), GWLP_USERDATA, 0);
      c->Peer = nullptr;
    }
    ::DestroyWindow(hwnd);
    form.Peer = nullptr;
  }
  auto it = States().find(&form);
  if (it != States().end()) {
    ::DeleteObject(it->second.font);
    States().erase(it);
  }
}

void Win32Backend::ControlChanged(TControl& control, Change what) {
  HWND hwnd = Hwnd(control.Peer);
  if (hwnd == nullptr) return;
  switch (what) {
    case Change::Caption:
      ::SetWindowTextW(hwnd, Wide(control.Caption()).c_str());
      if (control.Kind() == ControlKind::Label && static_cast<TLabel&>(control).AutoSize) FitLabel(hwnd);
      break;
    case Change::Enabled:
      ::EnableWindow(hwnd, control.Enabled() ? TRUE : FALSE);
      break;
    case Change::Focus:
      ::SetFocus(hwnd);
      break;
    case Change::Progress:
      ::InvalidateRect(hwnd, nullptr, FALSE);
      break;
    case Change::LineAdded: {
      if (control.Kind() != ControlKind::Memo) break;
      const TStrings& lines = *static_cast<TMemo&>(control).Lines;
      if (lines.Count() == 0) break;
      std::string add = lines.Count() > 1 ? "\r\n" : "";
      add += lines[lines.Count() - 1];
      const std::wstring wide = Wide(add);
      int end = ::GetWindowTextLengthW(hwnd);
      ::SendMessageW(hwnd, EM_SETSEL, static_cast<WPARAM>(end), end);
      ::SendMessageW(hwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
      break;
    }
    case Change::LineDeleted: {
      if (control.Kind() != ControlKind::Memo) break;
      const TStrings& lines = *static_cast<TMemo&>(control).Lines;
      std::string text;
      for (int i = 0; i < lines.Count(); ++i) text += (i == 0 ? "" : "\r\n") + lines[i];
      ::SetWindowTextW(hwnd, Wide(text).c_str());
      break;
    }
  }
}

void Win32Backend::RepaintNow(TControl& control) {
  HWND hwnd = Hwnd(control.Peer);
  if (hwnd != nullptr) {
    ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
}

int Win32Backend::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return ::MessageBoxW(MainWindow(), Wide(text).c_str(), Wide(caption).c_str(), flags);
}

void Win32Backend::ProcessMessages() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      if (Application != nullptr) Application->Terminate();
      break;
    }
    Pump(msg);
  }
}

void Win32Backend::RunLoop() {
  while (Application != nullptr && !Application->Terminated()) {
    MSG msg;
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      Application->Terminate();
      break;
    }
    Pump(msg);
  }
}

bool Win32Backend::Post(TForm& form, const Message& message) {
  HWND hwnd = Hwnd(form.Peer);
  if (hwnd == nullptr) return false;
  return ::PostMessageW(hwnd, message.Msg, message.WParam, message.LParam) != 0;
}

void Win32Backend::DiscardPosted(TForm& form, unsigned msg,
                                 const std::function<void(const Message&)>& release) {
  HWND hwnd = Hwnd(form.Peer);
  if (hwnd == nullptr) return;
  MSG m;
  while (::PeekMessageW(&m, hwnd, msg, msg, PM_REMOVE)) {
    Message out;
    out.Msg = m.message;
    out.WParam = m.wParam;
    out.LParam = m.lParam;
    release(out);
  }
}

void Win32Backend::Wake() {
  // To the main window when there is one: a modal loop drops thread messages.
  HWND main = MainWindow();
  if (main != nullptr) {
    ::PostMessageW(main, WM_NULL, 0, 0);
  } else {
    ::PostThreadMessageW(guiThread_, WM_NULL, 0, 0);
  }
}

void Win32Backend::Beep(unsigned type) { ::MessageBeep(type); }

void Win32Backend::DebugOutput(const char* text) { ::OutputDebugStringA(text); }

void Win32Backend::ShowException(const std::string& text) {
  std::string shown = text;
  if (!shown.empty() && shown.back() > '.') shown += '.';
  ::MessageBoxW(MainWindow(), Wide(shown).c_str(), Wide(title_).c_str(), MB_OK | MB_ICONSTOP);
}

// While busy the system must not go to sleep (an adapter on USB would lose
// its power mid-update), and a shutdown names the reason on both windows
// that answer for the program: the form and the taskbar button's owner.
void Win32Backend::BusyBegin(const std::string& reason) {
  gBusy = true;
  ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  static const auto create = User32<BlockReasonCreate>("ShutdownBlockReasonCreate");
  if (create == nullptr) return;
  for (HWND window : {MainWindow(), gAppWindow}) {
    if (window != nullptr) create(window, Wide(reason).c_str());
  }
}

void Win32Backend::BusyEnd() {
  gBusy = false;
  ::SetThreadExecutionState(ES_CONTINUOUS);
  static const auto destroy = User32<BlockReasonDestroy>("ShutdownBlockReasonDestroy");
  if (destroy == nullptr) return;
  for (HWND window : {MainWindow(), gAppWindow}) {
    if (window != nullptr) destroy(window);
  }
}

// --- native state for tests ---------------------------------------------------

bool Win32Backend::ControlRect(const TControl& control, TRect& rect) {
  HWND hwnd = Hwnd(control.Peer);
  RECT r;
  if (hwnd == nullptr || !::GetWindowRect(hwnd, &r)) return false;
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  rect = TRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
  return true;
}

bool Win32Backend::FormRect(const TForm& form, TRect& rect) {
  RECT r;
  if (form.Peer == nullptr || !::GetWindowRect(Hwnd(form.Peer), &r)) return false;
  rect = TRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
  return true;
}

bool Win32Backend::ClientRect(const TForm& form, TRect& rect) {
  RECT r;
  if (form.Peer == nullptr || !::GetClientRect(Hwnd(form.Peer), &r)) return false;
  rect = TRect{0, 0, r.right, r.bottom};
  return true;
}

TRect Win32Backend::Screen() {
  return TRect{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
}

std::string Win32Backend::NativeText(const TControl& control) {
  HWND hwnd = Hwnd(control.Peer);
  if (hwnd == nullptr) return {};
  return Narrow(WindowText(hwnd));
}

std::wstring Win32Backend::NativeWideText(const void* window) {
  return window != nullptr ? WindowText(Hwnd(window)) : std::wstring();
}

std::string Win32Backend::NativeClass(const TControl& control) {
  wchar_t name[64] = {};
  if (control.Peer == nullptr || ::GetClassNameW(Hwnd(control.Peer), name, 64) == 0) return {};
  return Narrow(name);
}

bool Win32Backend::NativeEnabled(const TControl& control) {
  return control.Peer != nullptr && ::IsWindowEnabled(Hwnd(control.Peer));
}

bool Win32Backend::NativeTabStop(const TControl& control) {
  return control.Peer != nullptr && (::GetWindowLongA(Hwnd(control.Peer), GWL_STYLE) & WS_TABSTOP) != 0;
}

bool Win32Backend::NativeFocused(const TControl& control) {
  return control.Peer != nullptr && ::GetFocus() == Hwnd(control.Peer);
}

std::string Win32Backend::FontName(const TControl& control) {
  if (control.Peer == nullptr) return {};
  auto font = reinterpret_cast<HFONT>(::SendMessageW(Hwnd(control.Peer), WM_GETFONT, 0, 0));
  LOGFONTA lf{};
  if (font == nullptr || ::GetObjectA(font, sizeof lf, &lf) == 0) return {};
  return lf.lfFaceName;
}

int Win32Backend::FontHeight(const TControl& control) {
  if (control.Peer == nullptr) return 0;
  auto font = reinterpret_cast<HFONT>(::SendMessageW(Hwnd(control.Peer), WM_GETFONT, 0, 0));
  LOGFONTA lf{};
  if (font == nullptr || ::GetObjectA(font, sizeof lf, &lf) == 0) return 0;
  return lf.lfHeight;
}

long Win32Backend::PixelAt(const TControl& control, int x, int y) {
  HWND hwnd = Hwnd(control.Peer);
  if (hwnd == nullptr) return -1;
  // What the control paints, captured into a bitmap of our own (the screen
  // may hold something else on top of it).
  RECT rc;
  ::GetClientRect(hwnd, &rc);
  HDC screen = ::GetDC(hwnd);
  HDC dc = ::CreateCompatibleDC(screen);
  HBITMAP bmp = ::CreateCompatibleBitmap(screen, rc.right, rc.bottom);
  HGDIOBJ old = ::SelectObject(dc, bmp);
  ::SendMessageW(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
  COLORREF c = ::GetPixel(dc, x, y);
  ::SelectObject(dc, old);
  ::DeleteObject(bmp);
  ::DeleteDC(dc);
  ::ReleaseDC(hwnd, screen);
  return c == CLR_INVALID ? -1 : static_cast<long>(c);
}

TControl* Win32Backend::NextTabStop(const TControl& control) {
  HWND hwnd = Hwnd(control.Peer);
  if (hwnd == nullptr) return nullptr;
  HWND next = ::GetNextDlgTabItem(::GetParent(hwnd), hwnd, FALSE);
  return next != nullptr ? ControlOf(next) : nullptr;
}

}  // namespace tk
