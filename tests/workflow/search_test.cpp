// The search workflow of the main window and the discovery behind it, against
// simulated plugs.
#include <gtest/gtest.h>

#include <cstring>

#include "discovery/searchplug.h"
#include "tests/support/workflow_fixture.h"

namespace testing_support {
namespace {

using Op = sim::HostLogEntry::Op;

int OpenAttempts(sim::Bench& bench, const std::string& port) {
  int n = 0;
  for (const auto& e : bench.Log(port)) n += e.op == Op::Open ? 1 : 0;
  return n;
}

class SearchTest : public WorkflowTest {};

TEST_F(SearchTest, PlugOnCom1IsFoundAndCom2NeverOpened) {
  sim::Plug& plug = bench.Attach(kCom1);
  TForm1& form = OpenWindow();
  form.BSearch->Click();

  EXPECT_NE(PlugPort, nullptr);
  EXPECT_TRUE(bench.IsOpen(kCom1));
  EXPECT_EQ(OpenAttempts(bench, kCom2), 0);
  EXPECT_EQ(plug.IdentAnswers(), 1);
  EXPECT_EQ(plug.SetupAnswers(), 1);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  // Discovery wrote the setup request, report mode its request, nothing else.
  const auto writes = Writes(kCom1);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], Bytes("QUOR PLUG SETUP"));
  EXPECT_EQ(writes[1], (std::vector<std::uint8_t>{0x01, 0xF7, 0x00, 0x00}));
  EXPECT_EQ(form.UpdateState, 1);
  EXPECT_FALSE(form.BSearch->Enabled());
  EXPECT_FALSE(form.BUpdate->Enabled());
  EXPECT_EQ(form.LStatus->Caption(), "Suche nach Plug ...");
  // The status text was painted before the search blocked the GUI thread.
  const auto events = ui.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Event::Kind::Caption);
  EXPECT_EQ(events[1].kind, Event::Kind::Repaint);
  EXPECT_EQ(events[1].control, "LStatus");
  EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(SearchTest, PlugOnlyOnCom2IsFoundAfterCom1Failed) {
  sim::Plug& plug = bench.Attach(kCom2);  // COM1 exists but nothing answers
  TForm1& form = OpenWindow();
  form.BSearch->Click();

  EXPECT_NE(PlugPort, nullptr);
  EXPECT_EQ(bench.OpenCount(kCom1), 1);
  EXPECT_FALSE(bench.IsOpen(kCom1)) << "the failed probe must close COM1";
  EXPECT_TRUE(bench.IsOpen(kCom2));
  EXPECT_TRUE(Sent(kCom1).empty());
  EXPECT_EQ(plug.SetupAnswers(), 1);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  EXPECT_EQ(form.UpdateState, 1);
}

TEST_F(SearchTest, NoPlugRetryProbesBothPortsAgainAndCancelRestoresTheStart) {
  // COM1: a plug in its boot monitor that does not answer the wake-up; COM2
  // exists but stays silent.
  sim::PlugConfig mute;
  mute.startInMonitor = true;
  mute.noWakePrompt = true;
  sim::Plug& plug = bench.Attach(kCom1, mute);
  ui.QueueAnswers({tk::kIdRetry, tk::kIdCancel});
  std::vector<TAsyncComm*> commAtBox;
  std::vector<int> openAtBox;
  ui.OnBox = [&](const Event&) {
    commAtBox.push_back(SharedComm.load());
    openAtBox.push_back(bench.OpenHandleCount());
  };
  TForm1& form = OpenWindow();
  form.BSearch->Click();

  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, "Keinen Plug an COM1/2 gefunden.\nBitte erneut versuchen.");
    EXPECT_EQ(box.caption, "Keinen Plug gefunden");
    EXPECT_EQ(box.value, 0x25);
  }
  // Each search: the identification, then the look for a boot monitor, on
  // COM1 and COM2; the look sends the wake-up at the monitor's line and
  // nothing else, and leaves each port closed before the box.
  EXPECT_EQ(OpenAttempts(bench, kCom1), 4);
  EXPECT_EQ(OpenAttempts(bench, kCom2), 4);
  EXPECT_EQ(openAtBox, (std::vector<int>{0, 0}));
  const std::vector<std::uint8_t> twoWakeUps = {0x1B, 0x1B, 0x1B, 0x1B};
  for (const auto& port : {kCom1, kCom2}) {
    EXPECT_EQ(Sent(port), twoWakeUps) << port;
    for (const auto& e : bench.Log(port)) {
      if (e.op != Op::Write) continue;
      EXPECT_EQ(e.dcb.BaudRate, 57600u);
      EXPECT_EQ(e.dcb.ByteSize, 8);
      EXPECT_FALSE(e.dcb.fOutxCtsFlow);
      EXPECT_NE(e.dcb.fRtsControl, plat::kRtsControlHandshake);
    }
    EXPECT_EQ(bench.Log(port).back().op, Op::Close);
  }
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  EXPECT_EQ(plug.CurrentMode(), sim::Mode::Off);
  // Retry searches again with the same serial-port object.
  ASSERT_EQ(commAtBox.size(), 2u);
  EXPECT_NE(commAtBox[0], nullptr);
  EXPECT_EQ(commAtBox[0], commAtBox[1]);

  EXPECT_EQ(SharedComm.load(), nullptr);
  EXPECT_EQ(PlugPort, nullptr);
  EXPECT_EQ(bench.OpenHandleCount(), 0);
  EXPECT_EQ(form.LStatus->Caption(), "Ready");
  EXPECT_TRUE(form.BSearch->Enabled());
  EXPECT_FALSE(form.BUpdate->Enabled());
  EXPECT_EQ(form.UpdateState, 0);
  EXPECT_FALSE(app.Terminated());
}

TEST_F(SearchTest, PlugOnCom2IsFoundWithoutWakingTheMonitorOnCom1) {
  sim::PlugConfig left;
  left.startInMonitor = true;
  sim::Plug& monitor = bench.Attach(kCom1, left);
  sim::Plug& plug = bench.Attach(kCom2);
  TForm1& form = OpenWindow();
  form.BSearch->Click();

  EXPECT_EQ(form.UpdateState, 1);
  EXPECT_TRUE(bench.IsOpen(kCom2));
  EXPECT_EQ(plug.SetupAnswers(), 1);
  EXPECT_TRUE(Sent(kCom1).empty());
  EXPECT_EQ(OpenAttempts(bench, kCom1), 1);
  EXPECT_FALSE(bench.IsOpen(kCom1));
  EXPECT_TRUE(monitor.Violations().empty()) << monitor.Violations().front();
  EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(SearchTest, NoToTheMonitorQuestionLeavesThePlugInItAndRestoresTheStart) {
  sim::PlugConfig left;
  left.startInMonitor = true;
  sim::Plug& plug = bench.Attach(kCom1, left);
  ui.QueueAnswers({tk::kIdNo});
  TForm1& form = OpenWindow();
  form.BSearch->Click();

  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Quor Plug im Monitor Modus");
  EXPECT_EQ(boxes[0].value, 0x24);
  EXPECT_EQ(boxes[0].answer, tk::kIdNo);
  // Only the wake-up reached the plug, and it stays in its monitor.
  EXPECT_EQ(Sent(kCom1), (std::vector<std::uint8_t>{0x1B, 0x1B}));
  EXPECT_EQ(bench.Log(kCom1).back().op, Op::Close);
  EXPECT_EQ(plug.ExitCount(), 0);
  EXPECT_EQ(plug.EraseCount(), 0);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  // The window is in its start state.
  EXPECT_EQ(SharedComm.load(), nullptr);
  EXPECT_EQ(PlugPort, nullptr);
  EXPECT_EQ(bench.OpenHandleCount(), 0);
  EXPECT_EQ(form.UpdateState, 0);
  EXPECT_EQ(form.LStatus->Caption(), "Ready");
  EXPECT_TRUE(form.BSearch->Enabled());
  EXPECT_FALSE(form.BUpdate->Enabled());
  EXPECT_TRUE(form.BExit->Enabled());
  EXPECT_FALSE(app.Terminated());
}

TEST_F(SearchTest, TooOldPlugIsRefusedWithoutAnyCommand) {
  sim::PlugConfig old;
  old.product = "1010";
  sim::Plug& plug = bench.Attach(kCom1, old);
  TForm1& form = OpenWindow();
  form.BSearch->Click();

  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Kein Update m\xF6glich");
  EXPECT_EQ(boxes[0].text,
            "Ihr Quor Plug ist sehr alt und l\xE4\xDFt sich nicht\nupdaten. Setzen Sie sich bitte mit dem "
            "Support\nin Verbindung.");
  EXPECT_EQ(boxes[0].value, 0x40);
  EXPECT_TRUE(app.Terminated());
  EXPECT_FALSE(form.BSearch->Enabled());
  EXPECT_NE(SharedComm.load(), nullptr);
  EXPECT_NE(PlugPort, nullptr);
  EXPECT_EQ(form.UpdateState, 0);

  CloseWindow();
  // Only discovery's setup request ever went out; the exit sent nothing.
  EXPECT_EQ(Sent(kCom1), Bytes("QUOR PLUG SETUP"));
  EXPECT_EQ(plug.ReportRequests(), 0);
  EXPECT_FALSE(bench.IsOpen(kCom1));
  EXPECT_EQ(SharedComm.load(), nullptr);
}

TEST_F(SearchTest, ExitBeforeAnySearchTouchesNoPort) {
  bench.Attach(kCom1);
  TForm1& form = OpenWindow();
  form.BExit->Click();
  EXPECT_TRUE(app.Terminated());
  CloseWindow();
  EXPECT_EQ(OpenAttempts(bench, kCom1), 0);
  EXPECT_EQ(OpenAttempts(bench, kCom2), 0);
}

TEST_F(SearchTest, DriverWithoutQueueAdviceStillFindsThePlug) {
  bench.SetSetupQueuesFails(true);  // "not supported", as under Wine
  sim::Plug& plug = bench.Attach(kCom1);
  TForm1& form = OpenWindow();
  form.BSearch->Click();
  EXPECT_EQ(form.UpdateState, 1);
  EXPECT_EQ(plug.SetupAnswers(), 1);
}

TEST_F(SearchTest, BusyCom1IsSkipped) {
  bench.SetBusy(kCom1);
  bench.Attach(kCom2);
  TForm1& form = OpenWindow();
  form.BSearch->Click();
  EXPECT_TRUE(bench.IsOpen(kCom2));
  EXPECT_EQ(form.UpdateState, 1);
  // The window keeps no log, but the debugger output tells a busy port.
  const auto debug = ui.EventsOf(Event::Kind::Debug);
  ASSERT_GE(debug.size(), 3u);
  EXPECT_EQ(debug[0].text, "Open Port \\\\.\\COM1\n");
  EXPECT_EQ(debug[1].text, "Cannot open Port, GetLastError: #5\n");
  EXPECT_EQ(debug[2].text, "Open Port \\\\.\\COM2\n");
}

// --- one probe, fault by fault -------------------------------------------------

struct ProbeCase {
  const char* name;
  void (*configure)(sim::PlugConfig&);
  std::vector<std::string> diagnostics;  // the last lines of the log
  ProbeFault why;                        // as the search keeps it for the port
};

void PrintTo(const ProbeCase& fault, std::ostream* os) { *os << fault.name; }

class ProbeFaultTest : public WorkflowTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeFaultTest, FailsWithItsDiagnosticAndClosesThePort) {
  sim::PlugConfig config;
  GetParam().configure(config);
  bench.Attach(kCom1, config);

  auto* comm = new TAsyncComm(nullptr);
  TStringList log;
  {
    TSuchePlug search(comm, &log, true);
    EXPECT_EQ(search.Probe(kCom1.c_str()), nullptr);
    EXPECT_EQ(search.PortHandle, nullptr);
    ASSERT_EQ(search.Failures.size(), 1u);
    EXPECT_EQ(search.Failures[0].port, kCom1);
    EXPECT_EQ(search.Failures[0].why, GetParam().why);
  }
  EXPECT_FALSE(bench.IsOpen(kCom1));
  EXPECT_EQ(TThread::LiveCount(), 0) << "the stage must not leave its reader behind";
  delete comm;

  const auto& lines = log.Lines();
  const auto& want = GetParam().diagnostics;
  ASSERT_GE(lines.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(want.size()), lines.end()), want);
  EXPECT_EQ(lines.front(), "Open Port \\\\.\\COM1");
  // Each line also went to the debugger output, as its own text.
  std::vector<std::string> debug;
  for (const auto& e : ui.EventsOf(Event::Kind::Debug)) debug.push_back(e.text);
  std::vector<std::string> expected;
  for (const auto& line : lines) expected.push_back(line + "\n");
  EXPECT_EQ(debug, expected);
  EXPECT_TRUE(ui.Boxes().empty()) << "no line-setting failure here, so no box";
}

const std::string kWrongId = sim::BuildIdentifier("1012", "\\0001\\MODEM\\\\Quor Plug");

INSTANTIATE_TEST_SUITE_P(
    Faults, ProbeFaultTest,
    ::testing::Values(
        ProbeCase{"Silent", [](sim::PlugConfig& c) { c.silent = true; }, {"no PnP-String received"},
                  ProbeFault::Silent},
        ProbeCase{"LateFirstByte", [](sim::PlugConfig& c) { c.lateFirstByte = true; },
                  {"no PnP-String received"}, ProbeFault::Silent},
        ProbeCase{"OtherProduct", [](sim::PlugConfig& c) { c.product = "1012"; },
                  {"complete, but wrong PnP-String received:", kWrongId}, ProbeFault::NotAPlug},
        ProbeCase{"NoiseBeforeParen", [](sim::PlugConfig& c) { c.noiseBeforeId = 0x55; },
                  {"complete, but wrong PnP-String received:",
                   "U" + sim::BuildIdentifier("1011", "\\0001\\MODEM\\\\Quor Plug")},
                  ProbeFault::NotAPlug},
        ProbeCase{"NoClosingParen", [](sim::PlugConfig& c) { c.noClosingParen = true; },
                  {"not complete PnP-String received"}, ProbeFault::NotAPlug},
        ProbeCase{"WrongSetupAnswer",
                  [](sim::PlugConfig& c) { c.setupAnswer = sim::SetupAnswer::WrongFirstByte; },
                  {"incorrect Response received:", "W"}, ProbeFault::NotAPlug},
        ProbeCase{"NoSetupAnswer", [](sim::PlugConfig& c) { c.setupAnswer = sim::SetupAnswer::None; },
                  {"incorrect Response received:", ""}, ProbeFault::NotAPlug}),
    [](const ::testing::TestParamInfo<ProbeCase>& param) { return std::string(param.param.name); });

TEST_F(WorkflowTest, ProbeAcceptsTheAnswerAndLeavesTrailingBytesUnread) {
  sim::PlugConfig config;
  config.setupAnswer = sim::SetupAnswer::ExtraBytes;
  sim::Plug& plug = bench.Attach(kCom1, config);
  auto* comm = new TAsyncComm(nullptr);
  SharedComm.store(comm);
  TStringList log;
  auto* search = new TSuchePlug(comm, &log, false);
  const FoundPort found = search->FindPlug();
  PlugPort = found.handle;
  ASSERT_NE(PlugPort, nullptr);
  EXPECT_EQ(found.name, kCom1);
  EXPECT_EQ(log.Lines().back(), "correct Response received, O.K.");
  // The identifier from "(" through ")", terminated, zeros behind it.
  const std::string id = sim::BuildIdentifier("1011", "\\0001\\MODEM\\\\Quor Plug");
  EXPECT_EQ(std::string(search->GetPnPString()), id);
  EXPECT_EQ(std::memcmp(search->GetPnPString() + 3, "QZM1011", 7), 0);
  for (std::size_t i = id.size(); i < sizeof search->PnPString; ++i) ASSERT_EQ(search->PnPString[i], 0);
  delete search;

  char rest[3] = {};
  EXPECT_EQ(comm->ReadData(3, rest), 3);
  EXPECT_EQ(std::string(rest, 3), "XYZ");
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  // The window's exit sequence releases port and object.
  OpenWindow();
}

TEST_F(SearchTest, NoPlugBoxFollowsWhyEachPortFailed) {
  bench.SetBusy(kCom1);
  bench.SetAbsent(kCom2);
  std::vector<std::string> memoAtBox;
  TForm1& form = OpenWindow();
  ui.OnBox = [&](const Event&) {
    for (int i = 0; i < form.Memo1->Lines->Count(); ++i) memoAtBox.push_back((*form.Memo1->Lines)[i]);
  };
  ui.QueueAnswers({tk::kIdCancel});
  form.BSearch->Click();
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, "Keinen Plug an COM1/2 gefunden.\nBitte erneut versuchen.");
  EXPECT_EQ(memoAtBox, (std::vector<std::string>{"COM1: von einem anderen Programm belegt", "COM2: nicht vorhanden"}));
}

TEST_F(WorkflowTest, BothPortsFailingKeepWhyEach) {
  bench.SetAbsent(kCom1);
  bench.SetAbsent(kCom2);
  auto* comm = new TAsyncComm(nullptr);
  TStringList log;
  TSuchePlug search(comm, &log, false);
  const FoundPort found = search.FindPlug();
  EXPECT_EQ(found.handle, nullptr);
  EXPECT_EQ(found.name, "");
  ASSERT_EQ(search.Failures.size(), 2u);
  EXPECT_EQ(search.Failures[1].port, kCom2);
  EXPECT_EQ(search.Failures[1].code, 2u);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Open Port \\\\.\\COM1", "Cannot open Port, GetLastError: #2",
                                                   "Open Port \\\\.\\COM2", "Cannot open Port, GetLastError: #2"}));
  ASSERT_EQ(ui.EventsOf(Event::Kind::Debug).size(), 4u);
  EXPECT_EQ(ui.EventsOf(Event::Kind::Debug)[3].text, "Cannot open Port, GetLastError: #2\n");
  delete comm;
}

}  // namespace
}  // namespace testing_support
