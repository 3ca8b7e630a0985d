// The native window of a form with the main window's layout, built by the
// Win32 toolkit (needs a display: Xvfb under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "frontends/win32_toolkit.h"
#include "tests/win32/demo_form.h"

// Last: its A/W macros must not rename the seam's members above.
#include <windows.h>
#undef MessageBox
#undef PostMessage

namespace {

constexpr unsigned kWmSysChar = 0x0106;
constexpr std::intptr_t kAltDown = std::intptr_t{1} << 29;
constexpr unsigned kWmPlugReport = 0x8032;
constexpr UINT kWmDpiChanged = 0x02E0;

HWND Native(const void* peer) { return static_cast<HWND>(const_cast<void*>(peer)); }

// The dpi the window is meant to find: PLUG_EXPECT_DPI in a prefix made for
// another one (with_dpi.sh), else the 96 of a standard screen.
int ExpectedDpi() {
  const char* dpi = std::getenv("PLUG_EXPECT_DPI");
  return dpi != nullptr ? std::atoi(dpi) : 96;
}

int Scale(int value, int dpi) { return MulDiv(value, dpi, 96); }

// A layout rectangle at dpi: its edges scaled.
TRect Scale(const TRect& r, int dpi) {
  const int left = Scale(r.Left, dpi);
  const int top = Scale(r.Top, dpi);
  return TRect{left, top, Scale(r.Left + r.Width, dpi) - left, Scale(r.Top + r.Height, dpi) - top};
}

// The size of a text drawn with a font, "&" marks left out.
SIZE TextSize(HFONT font, std::wstring text) {
  text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return size;
}

// Drawn with the control's font.
SIZE TextSize(const TControl& c, const std::wstring& text) {
  return TextSize(reinterpret_cast<HFONT>(SendMessageW(Native(c.Peer), WM_GETFONT, 0, 0)), text);
}

// Drawn with the layout's own font at 96 dpi. A system without the font
// draws with a wider one, which clips a text already in the 96-dpi layout;
// such a text is not asked to fit when scaled either.
SIZE LayoutTextSize(const std::wstring& text) {
  HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
  const SIZE size = TextSize(font, text);
  DeleteObject(font);
  return size;
}

// Whether a text of that size lies whole inside a control of that size, in
// from each edge by 'edge'.
bool Fits(const SIZE& text, int edge, int width, int height) {
  return text.cx + 2 * edge <= width && text.cy + 2 * edge <= height;
}

class RecordingForm : public DemoForm {
 public:
  void Dispatch(tk::Message& message) override {
    if (message.Msg >= tk::kWmUser) received.push_back(message);
    DemoForm::Dispatch(message);
  }
  std::vector<tk::Message> received;
};

class Win32ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tk::SetBackend(&backend_);
    Application = new TApplication;
    Application->SetTitle("QUOR Plug Update");
    form_ = new RecordingForm;
    form_->BSearch->OnClick = [this](TObject*) { ++searchClicks_; };
    form_->BUpdate->OnClick = [this](TObject*) { ++updateClicks_; };
    form_->BExit->OnClick = [this](TObject*) { ++exitClicks_; };
    Application->CreateForm(form_);
    Application->ProcessMessages();
  }

  void TearDown() override {
    delete form_;
    Application->ProcessMessages();
    delete Application;
    Application = nullptr;
    tk::SetBackend(nullptr);
  }

  TRect Rect(const TControl& c) {
    TRect r;
    EXPECT_TRUE(tk::Win32Backend::ControlRect(c, r)) << c.Name();
    return r;
  }

  void ExpectLayout(int dpi);

  void Press(char letter) {
    tk::Message m;
    m.Msg = kWmSysChar;
    m.WParam = static_cast<unsigned char>(letter);
    m.LParam = kAltDown;
    ASSERT_TRUE(backend_.Post(*form_, m));
    Application->ProcessMessages();
  }

  tk::Win32Backend backend_;
  RecordingForm* form_ = nullptr;
  int searchClicks_ = 0;
  int updateClicks_ = 0;
  int exitClicks_ = 0;
};

// The client area is the layout's whatever the frame: with the standard frame
// the window is 322 x 258; with the larger one (PLUG_LARGE_FRAME, the prefix
// of with_large_frame.sh) it grows around the same client area. On a screen
// of more dpi (PLUG_EXPECT_DPI, the prefix of with_dpi.sh) the client area
// and everything in it are scaled by dpi / 96.
TEST_F(Win32ToolkitTest, MainWindowLayout) {
  const int dpi = ExpectedDpi();
  {
    HDC screen = GetDC(nullptr);
    ASSERT_EQ(GetDeviceCaps(screen, LOGPIXELSX), dpi) << "the prefix's dpi was not read";
    ReleaseDC(nullptr, screen);
  }
  TRect outer, client;
  ASSERT_TRUE(tk::Win32Backend::FormRect(*form_, outer));
  ASSERT_TRUE(tk::Win32Backend::ClientRect(*form_, client));
  if (std::getenv("PLUG_LARGE_FRAME") != nullptr) {
    ASSERT_EQ(::GetSystemMetrics(SM_CYCAPTION), 41) << "the prefix's window metrics were not read";
    EXPECT_EQ(outer.Width, 314 + 2 * ::GetSystemMetrics(SM_CXFRAME));
    EXPECT_EQ(outer.Height, 231 + 41 + 2 * ::GetSystemMetrics(SM_CYFRAME));
  } else if (dpi == 96) {
    EXPECT_EQ(outer.Width, 322);
    EXPECT_EQ(outer.Height, 258);
  }
  TRect screen = tk::Win32Backend::Screen();
  EXPECT_EQ(outer.Left, (screen.Width - outer.Width) / 2);
  EXPECT_EQ(outer.Top, (screen.Height - outer.Height) / 2);
  ExpectLayout(dpi);
}

// Moved to a monitor of 200 % and back: the layout follows each dpi, in the
// rectangle the system suggests.
TEST_F(Win32ToolkitTest, MainWindowLayoutFollowsTheMonitorsDpi) {
  const int start = ExpectedDpi();
  HWND form = Native(form_->Peer);
  const DWORD style = static_cast<DWORD>(GetWindowLongW(form, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(form, GWL_EXSTYLE));
  for (int dpi : {192, start}) {
    SCOPED_TRACE(dpi);
    // The rectangle around the client area the layout needs at that dpi.
    RECT suggested = {20, 10, 20 + Scale(314, dpi), 10 + Scale(231, dpi)};
    AdjustWindowRectEx(&suggested, style, FALSE, exStyle);
    SendMessageW(form, kWmDpiChanged, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    Application->ProcessMessages();
    TRect outer;
    ASSERT_TRUE(tk::Win32Backend::FormRect(*form_, outer));
    EXPECT_EQ(outer.Left, suggested.left);
    EXPECT_EQ(outer.Top, suggested.top);
    EXPECT_EQ(outer.Width, suggested.right - suggested.left);
    EXPECT_EQ(outer.Height, suggested.bottom - suggested.top);
    ExpectLayout(dpi);
  }
}

// Every control at its place, in its font, its text whole, scaled for dpi.
void Win32ToolkitTest::ExpectLayout(int dpi) {
  TRect client;
  ASSERT_TRUE(tk::Win32Backend::ClientRect(*form_, client));
  EXPECT_EQ(client.Width, Scale(314, dpi));
  EXPECT_EQ(client.Height, Scale(231, dpi));

  struct Expected {
    const TControl* control;
    TRect rect;
    const char* cls;
    const char* text;
    bool enabled;
    bool tabStop;
  };
  const Expected table[] = {
      {form_->BSearch, {8, 144, 97, 25}, "Button", "Quor Plug &suchen", true, true},
      {form_->BUpdate, {121, 144, 72, 25}, "Button", "&Update", false, true},
      {form_->BExit, {208, 144, 75, 25}, "Button", "&Beenden", true, true},
      {form_->LStatus, {8, 176, 281, 13}, "Static", "Ready", true, false},
      {form_->CGauge1, {2, 200, 295, 20}, "QuorPlugGauge", "", true, false},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(e.control->Name());
    TRect r = Rect(*e.control);
    const TRect want = Scale(e.rect, dpi);
    EXPECT_EQ(r.Left, want.Left);
    EXPECT_EQ(r.Top, want.Top);
    EXPECT_EQ(r.Width, want.Width);
    EXPECT_EQ(r.Height, want.Height);
    EXPECT_LE(r.Left + r.Width, client.Width) << "beyond the client area";
    EXPECT_LE(r.Top + r.Height, client.Height) << "beyond the client area";
    EXPECT_STRCASEEQ(tk::Win32Backend::NativeClass(*e.control).c_str(), e.cls);
    EXPECT_EQ(tk::Win32Backend::NativeText(*e.control), e.text);
    EXPECT_EQ(tk::Win32Backend::NativeEnabled(*e.control), e.enabled);
    EXPECT_EQ(tk::Win32Backend::NativeTabStop(*e.control), e.tabStop);
    EXPECT_EQ(tk::Win32Backend::FontName(*e.control), "MS Sans Serif");
    EXPECT_EQ(tk::Win32Backend::FontHeight(*e.control), Scale(-11, dpi));
    // The text whole inside the control (a button's inside its edges), as
    // in the 96-dpi layout.
    const std::wstring text = tk::Win32Backend::NativeWideText(e.control->Peer);
    const bool button = e.control->Kind() == tk::ControlKind::Button;
    if (Fits(LayoutTextSize(text), button ? 3 : 0, e.rect.Width, e.rect.Height)) {
      EXPECT_TRUE(Fits(TextSize(*e.control, text), button ? Scale(3, dpi) : 0, r.Width, r.Height))
          << "text clipped";
    }
  }
  // The longest status text fits the label, the gauge's figure the gauge
  // inside its frame, which is scaled too.
  const TRect label = Rect(*form_->LStatus);
  EXPECT_TRUE(Fits(TextSize(*form_->LStatus, L"Switch to Monitor Mode ..."), 0, label.Width, label.Height))
      << "status text clipped";
  const TRect gauge = Rect(*form_->CGauge1);
  const int frame = std::max(1, Scale(1, dpi));
  EXPECT_TRUE(Fits(TextSize(*form_->CGauge1, L"100%"), frame, gauge.Width, gauge.Height)) << "gauge text clipped";
  form_->CGauge1->Repaint();
  EXPECT_EQ(tk::Win32Backend::PixelAt(*form_->CGauge1, frame - 1, gauge.Height / 2), 0) << "frame";
  EXPECT_EQ(tk::Win32Backend::PixelAt(*form_->CGauge1, frame, gauge.Height / 2),
            static_cast<long>(tk::ColorRef(tk::Color::White)))
      << "inside the frame";
  // The memo spans the client width at the top, whatever the frame takes.
  TRect memo = Rect(*form_->Memo1);
  EXPECT_EQ(memo.Left, 0);
  EXPECT_EQ(memo.Top, 0);
  EXPECT_EQ(memo.Width, client.Width);
  EXPECT_EQ(memo.Height, Scale(129, dpi));
  EXPECT_EQ(tk::Win32Backend::FontHeight(*form_->Memo1), Scale(-11, dpi));
  EXPECT_STRCASEEQ(tk::Win32Backend::NativeClass(*form_->Memo1).c_str(), "Edit");
  EXPECT_TRUE(tk::Win32Backend::NativeTabStop(*form_->Memo1));
}

TEST_F(Win32ToolkitTest, TabOrderAndFocus) {
  EXPECT_TRUE(tk::Win32Backend::NativeFocused(*form_->BSearch));
  // The disabled update button is skipped until it is enabled.
  EXPECT_EQ(tk::Win32Backend::NextTabStop(*form_->BSearch), form_->BExit);
  EXPECT_EQ(tk::Win32Backend::NextTabStop(*form_->BExit), form_->Memo1);
  EXPECT_EQ(tk::Win32Backend::NextTabStop(*form_->Memo1), form_->BSearch);
  form_->BUpdate->SetEnabled(true);
  EXPECT_TRUE(tk::Win32Backend::NativeEnabled(*form_->BUpdate));
  EXPECT_EQ(tk::Win32Backend::NextTabStop(*form_->BSearch), form_->BUpdate);
  form_->BUpdate->SetFocus();
  EXPECT_TRUE(tk::Win32Backend::NativeFocused(*form_->BUpdate));
}

TEST_F(Win32ToolkitTest, AcceleratorsPressEnabledButtons) {
  Press('s');
  EXPECT_EQ(searchClicks_, 1);
  Press('u');  // disabled: no click
  EXPECT_EQ(updateClicks_, 0);
  form_->BUpdate->SetEnabled(true);
  Press('u');
  EXPECT_EQ(updateClicks_, 1);
  Press('b');
  EXPECT_EQ(exitClicks_, 1);
  EXPECT_EQ(searchClicks_, 1);
}

TEST_F(Win32ToolkitTest, ChangesReachTheWindow) {
  form_->LStatus->SetCaption("Suche Quor Plug an COM1 ...");
  EXPECT_EQ(tk::Win32Backend::NativeText(*form_->LStatus), "Suche Quor Plug an COM1 ...");
  form_->Memo1->Lines->Add("Firmware im Plug:");
  EXPECT_EQ(tk::Win32Backend::NativeText(*form_->Memo1), "Firmware im Plug:");
  form_->Memo1->Lines->Add("");
  form_->Memo1->Lines->Add("Gr\xF6\xDF" "e \xE4nderung");
  EXPECT_EQ(tk::Win32Backend::NativeText(*form_->Memo1),
            "Firmware im Plug:\r\n\r\nGr\xF6\xDF" "e \xE4nderung");
  form_->BSearch->SetEnabled(false);
  EXPECT_FALSE(tk::Win32Backend::NativeEnabled(*form_->BSearch));
}

TEST_F(Win32ToolkitTest, GaugeDrawsBarAndBackground) {
  const long navy = static_cast<long>(tk::ColorRef(tk::Color::Navy));
  const long white = static_cast<long>(tk::ColorRef(tk::Color::White));
  TRect r = Rect(*form_->CGauge1);
  EXPECT_EQ(tk::Win32Backend::PixelAt(*form_->CGauge1, 4, r.Height / 2), white);
  form_->CGauge1->SetProgress(50);
  form_->CGauge1->Repaint();
  EXPECT_EQ(tk::Win32Backend::PixelAt(*form_->CGauge1, 4, r.Height / 2), navy);
  EXPECT_EQ(tk::Win32Backend::PixelAt(*form_->CGauge1, r.Width - 5, r.Height / 2), white);
  form_->CGauge1->SetProgress(100);
  form_->CGauge1->Repaint();
  EXPECT_EQ(tk::Win32Backend::PixelAt(*form_->CGauge1, r.Width - 5, r.Height / 2), navy);
}

TEST_F(Win32ToolkitTest, PostedMessagesReachTheFormOrAreDiscarded) {
  std::thread poster([this] {
    for (std::uintptr_t i = 1; i <= 3; ++i) tk::PostMessage(form_, kWmPlugReport, i, 0);
  });
  poster.join();
  Application->ProcessMessages();
  ASSERT_EQ(form_->received.size(), 3u);
  EXPECT_EQ(form_->received[0].Msg, kWmPlugReport);
  EXPECT_EQ(form_->received[2].WParam, 3u);

  form_->received.clear();
  tk::PostMessage(form_, kWmPlugReport, 7, 0);
  tk::PostMessage(form_, tk::kWmUser + 5, 8, 0);
  std::vector<std::uintptr_t> released;
  backend_.DiscardPosted(*form_, kWmPlugReport,
                         [&](const tk::Message& m) { released.push_back(m.WParam); });
  EXPECT_EQ(released, std::vector<std::uintptr_t>{7});
  Application->ProcessMessages();
  ASSERT_EQ(form_->received.size(), 1u);
  EXPECT_EQ(form_->received[0].Msg, tk::kWmUser + 5);
}

TEST_F(Win32ToolkitTest, CloseTerminatesButKeepsTheWindow) {
  tk::PostMessage(form_, tk::kWmClose, 0, 0);
  Application->ProcessMessages();
  EXPECT_TRUE(Application->Terminated());
  TRect outer;
  EXPECT_TRUE(tk::Win32Backend::FormRect(*form_, outer));
}

TEST_F(Win32ToolkitTest, RunLoopEndsOnTerminateFromAnotherThread) {
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Application->Terminate();
  });
  auto start = std::chrono::steady_clock::now();
  Application->Run();
  stopper.join();
  EXPECT_TRUE(Application->Terminated());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Answers the next message box of this process with OK, after reading its
// caption and text (the longest static text in it).
class BoxReader {
 public:
  BoxReader() : thread_([this] { Run(); }) {}
  ~BoxReader() { thread_.join(); }
  std::wstring caption;
  std::wstring text;

 private:
  void Run() {
    for (int i = 0; i < 500 && !done_; ++i) {
      EnumWindows(&BoxReader::Visit, reinterpret_cast<LPARAM>(this));
      if (!done_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  static BOOL CALLBACK Visit(HWND hwnd, LPARAM self) {
    auto* reader = reinterpret_cast<BoxReader*>(self);
    wchar_t cls[16] = {};
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId() || GetClassNameW(hwnd, cls, 16) == 0 || lstrcmpW(cls, L"#32770") != 0 ||
        !IsWindowVisible(hwnd)) {
      return TRUE;
    }
    reader->caption = tk::Win32Backend::NativeWideText(hwnd);
    EnumChildWindows(hwnd, &BoxReader::Child, self);
    PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    reader->done_ = true;
    return FALSE;
  }
  static BOOL CALLBACK Child(HWND hwnd, LPARAM self) {
    auto* reader = reinterpret_cast<BoxReader*>(self);
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    const std::wstring text = tk::Win32Backend::NativeWideText(hwnd);
    if (lstrcmpiW(cls, L"Static") == 0 && text.size() > reader->text.size()) reader->text = text;
    return TRUE;
  }
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The German texts, Windows-1252 bytes in the system, reach the windows as
// the right characters whatever the system's code page (the suite also runs
// under a Cyrillic one: PLUG_EXPECT_ACP names the code page it expects).
TEST_F(Win32ToolkitTest, GermanTextsReadRightOnEveryCodePage) {
  if (const char* acp = std::getenv("PLUG_EXPECT_ACP")) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(acp))) << "the run was meant for another code page";
  }
  form_->LStatus->SetCaption("Ihr Quor Plug l\xE4\xDFt sich nicht updaten");
  form_->Memo1->Lines->Add("dr\xFC" "cken Sie bitte");
  form_->Memo1->Lines->Add("zur\xFC" "ckgesetzt");
  EXPECT_EQ(tk::Win32Backend::NativeWideText(form_->LStatus->Peer),
            L"Ihr Quor Plug l\u00E4\u00DFt sich nicht updaten");
  EXPECT_EQ(tk::Win32Backend::NativeWideText(form_->Memo1->Peer),
            L"dr\u00FCcken Sie bitte\r\nzur\u00FCckgesetzt");
  EXPECT_EQ(tk::Win32Backend::NativeText(*form_->LStatus), "Ihr Quor Plug l\xE4\xDFt sich nicht updaten");

  BoxReader reader;
  EXPECT_EQ(Application->MessageBox("Ihr Quor Plug ist sehr alt und l\xE4\xDFt sich nicht",
                                    "Kein Update m\xF6glich", tk::kMbOk | tk::kMbIconInformation),
            tk::kIdOk);
  EXPECT_EQ(reader.caption, L"Kein Update m\u00F6glich");
  EXPECT_EQ(reader.text, L"Ihr Quor Plug ist sehr alt und l\u00E4\u00DFt sich nicht");
}

// Esc in the memo or on a button leaves the window open: only its own means
// (closing it, the exit button) end the tool.
TEST_F(Win32ToolkitTest, EscapeNeverClosesTheWindow) {
  for (TControl* c : std::vector<TControl*>{form_->Memo1, form_->BSearch}) {
    SCOPED_TRACE(c->Name());
    c->SetFocus();
    ASSERT_TRUE(tk::Win32Backend::NativeFocused(*c));
    HWND hwnd = Native(c->Peer);
    PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(hwnd, WM_CHAR, 0x1B, 0x00010001);
    PostMessageW(hwnd, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
    Application->ProcessMessages();
    Application->ProcessMessages();
    EXPECT_FALSE(Application->Terminated());
  }
  EXPECT_EQ(searchClicks_ + updateClicks_ + exitClicks_, 0);
}

// While a busy notice is on, the system's shutdown is refused, by the form
// and by the window that owns it, with the reason given to Windows, and the
// system is kept from sleeping (the state a call replaces is the one set).
TEST_F(Win32ToolkitTest, BusyNoticeHoldsShutdownBackUntilItEnds) {
  HWND form = Native(form_->Peer);
  HWND owner = Native(tk::Win32Backend::AppWindowHandle());
  ASSERT_NE(owner, nullptr);
  EXPECT_TRUE(SendMessageW(form, WM_QUERYENDSESSION, 0, 0));
  tk::BusyBegin("Der Quor Plug wird gerade aktualisiert.");
  EXPECT_FALSE(SendMessageW(form, WM_QUERYENDSESSION, 0, 0));
  EXPECT_FALSE(SendMessageW(owner, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  using Query = BOOL(WINAPI*)(HWND, LPWSTR, DWORD*);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "ShutdownBlockReasonQuery")));
  wchar_t reason[128] = {};
  DWORD size = 128;
  // Wine keeps no reason (its query fails); Windows gives it back.
  for (HWND window : {form, owner}) {
    size = 128;
    if (query != nullptr && query(window, reason, &size)) {
      EXPECT_STREQ(reason, L"Der Quor Plug wird gerade aktualisiert.");
    }
  }
  tk::BusyEnd();
  EXPECT_TRUE(SendMessageW(form, WM_QUERYENDSESSION, 0, 0));
  EXPECT_TRUE(SendMessageW(owner, WM_QUERYENDSESSION, 0, 0));
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
  for (HWND window : {form, owner}) {
    size = 128;
    if (query != nullptr) {
      EXPECT_FALSE(query(window, reason, &size)) << "the reason must be gone";
    }
  }
}

// The taskbar button is the owner's: it shows the application's title while
// the form keeps its caption and has no button of its own.
TEST_F(Win32ToolkitTest, TaskbarButtonShowsTheApplicationTitle) {
  HWND form = Native(form_->Peer);
  HWND owner = GetWindow(form, GW_OWNER);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(owner, Native(tk::Win32Backend::AppWindowHandle()));
  EXPECT_EQ(tk::Win32Backend::NativeWideText(owner), L"QUOR Plug Update");
  EXPECT_EQ(tk::Win32Backend::NativeWideText(form), L"QUOR Plug Update (Fw 1.63.2)");
  EXPECT_TRUE(IsWindowVisible(owner));
  EXPECT_EQ(GetWindowLongW(owner, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
  EXPECT_EQ(GetWindowLongW(form, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
  RECT r;
  ASSERT_TRUE(GetWindowRect(owner, &r));
  EXPECT_EQ(r.right - r.left, 0);
  EXPECT_EQ(r.bottom - r.top, 0);
  Application->SetTitle("QUOR Plug Update 2");
  EXPECT_EQ(tk::Win32Backend::NativeWideText(owner), L"QUOR Plug Update 2");
}

}  // namespace
