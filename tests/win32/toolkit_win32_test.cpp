// The native window of a form with the main window's layout, built by the
// Win32 toolkit (needs a display: Xvfb under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "frontends/win32_toolkit.h"
#include "tests/win32/demo_form.h"

namespace {

constexpr unsigned kWmSysChar = 0x0106;
constexpr std::intptr_t kAltDown = std::intptr_t{1} << 29;
constexpr unsigned kWmPlugReport = 0x8032;

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

TEST_F(Win32ToolkitTest, MainWindowLayout) {
  TRect outer, client;
  ASSERT_TRUE(tk::Win32Backend::FormRect(*form_, outer));
  ASSERT_TRUE(tk::Win32Backend::ClientRect(*form_, client));
  EXPECT_EQ(outer.Width, 322);
  EXPECT_EQ(outer.Height, 258);
  TRect screen = tk::Win32Backend::Screen();
  EXPECT_EQ(outer.Left, (screen.Width - 322) / 2);
  EXPECT_EQ(outer.Top, (screen.Height - 258) / 2);

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
    EXPECT_EQ(r.Left, e.rect.Left);
    EXPECT_EQ(r.Top, e.rect.Top);
    EXPECT_EQ(r.Width, e.rect.Width);
    EXPECT_EQ(r.Height, e.rect.Height);
    EXPECT_STRCASEEQ(tk::Win32Backend::NativeClass(*e.control).c_str(), e.cls);
    EXPECT_EQ(tk::Win32Backend::NativeText(*e.control), e.text);
    EXPECT_EQ(tk::Win32Backend::NativeEnabled(*e.control), e.enabled);
    EXPECT_EQ(tk::Win32Backend::NativeTabStop(*e.control), e.tabStop);
    EXPECT_EQ(tk::Win32Backend::FontName(*e.control), "MS Sans Serif");
    EXPECT_EQ(tk::Win32Backend::FontHeight(*e.control), -11);
  }
  // The memo spans the client width at the top, whatever the frame takes.
  TRect memo = Rect(*form_->Memo1);
  EXPECT_EQ(memo.Left, 0);
  EXPECT_EQ(memo.Top, 0);
  EXPECT_EQ(memo.Width, client.Width);
  EXPECT_EQ(memo.Height, 129);
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

}  // namespace
