// The console backend renders a form's changes into a stream and answers
// message boxes from an input stream or by itself.
#include "frontends/console_toolkit.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Cp1252ToUtf8, ConvertsEveryByte) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"Plug geflasht", "Plug geflasht"},
      {"l\xE4\xDFt", "l\xC3\xA4\xC3\x9Ft"},
      {"\xE4\xF6\xFC\xDF\xC4\xD6\xDC", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F\xC3\x84\xC3\x96\xC3\x9C"},
      {"\x80", "\xE2\x82\xAC"},   // euro sign
      {"\x84\x93", "\xE2\x80\x9E\xE2\x80\x9C"},  // German quotes
      {"\x85", "\xE2\x80\xA6"},   // ellipsis
      {"\x8A\x9A", "\xC5\xA0\xC5\xA1"},
      {"\x96\x97", "\xE2\x80\x93\xE2\x80\x94"},
      {"\x99", "\xE2\x84\xA2"},
      {"\x9F", "\xC5\xB8"},
      {"\x81\x8D\x8F\x90\x9D", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // unassigned
      {"\xA0\xFF", "\xC2\xA0\xC3\xBF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tk::Cp1252ToUtf8(c.in), c.out) << c.in;
  }
  // Nothing of 0x80..0x9F comes out as a C1 control (U+0080..U+009F), which
  // a terminal would act on.
  for (int b = 0x80; b <= 0x9F; ++b) {
    const std::string utf8 = tk::Cp1252ToUtf8(std::string(1, static_cast<char>(b)));
    EXPECT_NE(static_cast<unsigned char>(utf8[0]), 0xC2) << b;
    EXPECT_GE(utf8.size(), 2u) << b;
  }
}

class TestForm : public TForm {
 public:
  TestForm() {
    SetCaption("QUOR Plug Update (Fw 1.63.2)");
    memo = Add<TMemo>("Memo1", {0, 0, 314, 129});
    update = Add<TButton>("BUpdate", {121, 144, 72, 25});
    update->SetCaption("&Update");
    status = Add<TLabel>("LStatus", {8, 176, 281, 13});
    gauge = Add<TCGauge>("CGauge1", {2, 200, 295, 20});
  }

  void Dispatch(tk::Message& message) override {
    received.push_back(message);
    TForm::Dispatch(message);
  }

  TMemo* memo;
  TButton* update;
  TLabel* status;
  TCGauge* gauge;
  std::vector<tk::Message> received;
};

class ConsoleBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tk::SetBackend(&backend_);
    Application = &app_;
    backend_.SetBarWidth(10);
    form_ = std::make_unique<TestForm>();
    app_.CreateForm(form_.get());
  }

  void TearDown() override {
    form_.reset();
    Application = nullptr;
    tk::SetBackend(nullptr);
  }

  // What was written since the last call.
  std::string Take() {
    std::string s = out_.str();
    out_.str("");
    return s;
  }

  std::stringstream out_;
  std::stringstream in_;
  std::stringstream err_;
  tk::ConsoleBackend backend_{out_, in_, err_};
  TApplication app_;
  std::unique_ptr<TestForm> form_;
};

TEST_F(ConsoleBackendTest, ShowsCaptionStatusAndMemoLines) {
  EXPECT_EQ(Take(), "== QUOR Plug Update (Fw 1.63.2) ==\n");
  form_->status->SetCaption("Bitte Plug einstecken und dr\xFC" "cken");
  EXPECT_EQ(Take(), "[status] Bitte Plug einstecken und dr\xC3\xBC" "cken\n");
  form_->memo->Lines->Add("Firmware im Plug: 1.62.0");
  form_->memo->Lines->Add("erste\r\nzweite");
  EXPECT_EQ(Take(), "  | Firmware im Plug: 1.62.0\n  | erste\n  | zweite\n");
}

TEST_F(ConsoleBackendTest, GaugeIsRedrawnInPlaceAndEndedAtZero) {
  Take();
  form_->gauge->SetProgress(42);
  EXPECT_EQ(Take(), "\r[####......]  42%");
  form_->gauge->SetProgress(100);
  EXPECT_EQ(Take(), "\r[##########] 100%");
  form_->gauge->SetProgress(0);
  EXPECT_EQ(Take(), "\n");
  form_->gauge->MaxValue = 200;
  form_->gauge->SetProgress(50);
  EXPECT_EQ(Take(), "\r[##........]  25%");
}

// The full step comes when the gauge's run ends: the gauge is full before the
// last lines of the image are out, and the detail then tells the whole image.
TEST_F(ConsoleBackendTest, GaugeInStepsPrintsEachTenthOnceWithItsDetail) {
  int asked = 0;
  backend_.SetProgressStyle(tk::ConsoleBackend::Progress::Steps);
  backend_.SetProgressDetail([&asked] { return "n" + std::to_string(++asked); });
  Take();
  for (int p : {1, 9, 10, 11, 19, 35, 100}) form_->gauge->SetProgress(p);
  EXPECT_EQ(Take(), "[progress]  10%  n1\n[progress]  30%  n2\n");
  form_->gauge->SetProgress(0);
  form_->status->SetCaption("Ready");  // no bar stays open in steps
  form_->gauge->SetProgress(12);
  EXPECT_EQ(Take(), "[progress] 100%  n3\n[status] Ready\n[progress]  10%  n4\n");
  backend_.SetProgressStyle(tk::ConsoleBackend::Progress::Bar);
  form_->gauge->SetProgress(50);
  EXPECT_EQ(Take(), "\r[#####.....]  50%  n5");
  form_->gauge->SetProgress(0);
  EXPECT_EQ(Take(), "\r[#####.....]  50%  n6\n");
}

TEST_F(ConsoleBackendTest, LinesWhileTheBarMovesGoAboveItAndStatusBesideIt) {
  form_->gauge->SetProgress(10);
  Take();
  form_->status->SetCaption("l\xE4uft");
  EXPECT_EQ(Take(), "\r[#.........]  10%  l\xC3\xA4uft");
  form_->gauge->SetProgress(20);
  EXPECT_EQ(Take(), "\r[##........]  20%  l\xC3\xA4uft");
  form_->status->SetCaption("ok");
  // The shorter line blanks the rest of the longer one.
  EXPECT_EQ(Take(), "\r[##........]  20%  ok\x20\x20\x20\b\b\b");
  form_->memo->Lines->Add("Zeile");
  EXPECT_EQ(Take(), "\r" + std::string(21, ' ') + "\r  | Zeile\n\r[##........]  20%  ok");
  form_->gauge->SetProgress(0);
  form_->status->SetCaption("Plug geflasht");
  EXPECT_EQ(Take(), "\n[status] Plug geflasht\n");
}

TEST_F(ConsoleBackendTest, ButtonChangesAndDebugOutputOnlyWhenVerbose) {
  Take();
  form_->update->SetEnabled(false);
  form_->update->SetFocus();
  tk::OutputDebugString("reader started");
  EXPECT_EQ(Take(), "");
  EXPECT_EQ(err_.str(), "");

  backend_.SetVerbose(true);
  form_->update->SetEnabled(true);
  form_->update->SetFocus();
  tk::OutputDebugString("reader started\n");
  EXPECT_EQ(Take(), "[button] Update enabled\n[button] focus Update\n");
  EXPECT_EQ(err_.str(), "[debug] reader started\n");
}

TEST_F(ConsoleBackendTest, BeepAndException) {
  Take();
  tk::MessageBeep(0);
  app_.ShowException(std::runtime_error("Zugriff verweigert"));
  EXPECT_EQ(Take(), "(beep)\n[error] Zugriff verweigert\n");
}

TEST_F(ConsoleBackendTest, MessageBoxesAreAnsweredFromInput) {
  const struct {
    unsigned flags;
    std::string input;
    int answer;
    std::string shown;  // after the box's text
  } cases[] = {
      {tk::kMbOk | tk::kMbIconInformation, "\n", tk::kIdOk, "[OK] > ok\n"},
      {tk::kMbOk, "", tk::kIdOk, "[OK] > ok\n"},
      {tk::kMbRetryCancel | tk::kMbIconQuestion, "r\n", tk::kIdRetry, "[R]etry [C]ancel > retry\n"},
      {tk::kMbRetryCancel, " Cancel \n", tk::kIdCancel, "[R]etry [C]ancel > cancel\n"},
      {tk::kMbRetryCancel, "x\nretry\n", tk::kIdRetry, "[R]etry [C]ancel > [R]etry [C]ancel > retry\n"},
      {tk::kMbRetryCancel, "", tk::kIdCancel, "[R]etry [C]ancel > cancel\n"},
      {tk::kMbRetryCancel, "\n", tk::kIdRetry, "[R]etry [C]ancel > retry\n"},
      {4, "n\n", 7, "[Y]es [N]o > no\n"},
  };
  for (const auto& c : cases) {
    Take();
    in_.clear();
    in_.str(c.input);
    EXPECT_EQ(app_.MessageBox("Plug nicht gefunden.\nNochmal?", "Fehler", c.flags), c.answer) << c.input;
    EXPECT_EQ(Take(), "[Fehler]\n  Plug nicht gefunden.\n  Nochmal?\n" + c.shown) << c.input;
  }
}

TEST_F(ConsoleBackendTest, AutoAnswerDoesNotRead) {
  const struct {
    int autoAnswer;
    unsigned flags;
    int answer;
    std::string shown;
    int yesNo = tk::kIdNo;
  } cases[] = {
      {tk::kIdRetry, tk::kMbRetryCancel, tk::kIdRetry, "[R]etry [C]ancel > retry (auto)\n"},
      {tk::kIdCancel, tk::kMbRetryCancel, tk::kIdCancel, "[R]etry [C]ancel > cancel (auto)\n"},
      {tk::kIdCancel, tk::kMbOk, tk::kIdOk, "[OK] > ok (auto)\n"},
      {tk::kIdOk, tk::kMbRetryCancel, tk::kIdRetry, "[R]etry [C]ancel > retry (auto)\n"},
      {tk::kIdCancel, tk::kMbYesNo | tk::kMbIconQuestion, tk::kIdNo, "[Y]es [N]o > no (auto)\n"},
      {tk::kIdCancel, tk::kMbYesNo, tk::kIdYes, "[Y]es [N]o > yes (auto)\n", tk::kIdYes},
  };
  in_.str("c\n");
  for (const auto& c : cases) {
    Take();
    backend_.SetAutoAnswer(c.autoAnswer, c.yesNo);
    EXPECT_EQ(app_.MessageBox("Plug geflasht", "Info", c.flags), c.answer);
    EXPECT_EQ(Take(), "[Info]\n  Plug geflasht\n" + c.shown);
  }
  std::string unread;
  EXPECT_TRUE(std::getline(in_, unread));
  EXPECT_EQ(unread, "c");

  backend_.ClearAutoAnswer();
  in_.clear();
  in_.str("c\n");
  EXPECT_EQ(app_.MessageBox("?", "Info", tk::kMbRetryCancel), tk::kIdCancel);
}

TEST_F(ConsoleBackendTest, PromptInterruptsTheBarAndBringsItBack) {
  form_->gauge->SetProgress(50);
  Take();
  in_.str("\n");
  EXPECT_EQ(app_.MessageBox("Weiter", "Frage", tk::kMbOk), tk::kIdOk);
  EXPECT_EQ(Take(), "\r" + std::string(17, ' ') + "\r[Frage]\n  Weiter\n[OK] > ok\n\r[#####.....]  50%");
}

TEST_F(ConsoleBackendTest, ProcessMessagesDispatchesWhatOtherThreadsPosted) {
  std::thread poster([this] { EXPECT_TRUE(tk::PostMessage(form_.get(), tk::kWmUser + 1, 7, 9)); });
  poster.join();
  EXPECT_TRUE(form_->received.empty());
  app_.ProcessMessages();
  ASSERT_EQ(form_->received.size(), 1u);
  EXPECT_EQ(form_->received[0].Msg, tk::kWmUser + 1);
  EXPECT_EQ(form_->received[0].WParam, 7u);
  EXPECT_EQ(form_->received[0].LParam, 9);
}

TEST_F(ConsoleBackendTest, DestroyingTheFormEndsAnOpenBar) {
  form_->gauge->SetProgress(30);
  Take();
  form_.reset();
  EXPECT_EQ(Take(), "\n");
  EXPECT_FALSE(tk::PostMessage(nullptr, tk::kWmUser, 0, 0));
}

}  // namespace
