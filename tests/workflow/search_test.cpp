// The search workflow of the main window and the discovery behind it, against
// simulated plugs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// A PC of today: no COM1, COM2 silent, a foreign Plug-and-Play device on
// COM3, a Bluetooth port COM4 (with a plug behind it, that would answer if
// opened), the plug (or, without one, a silent adapter) on COM5, and with
// the plug COM12, which sorts before COM3 by name but comes after COM5 by
// number.
const std::string kCom3 = "\\\\.\\COM3";
const std::string kCom4 = "\\\\.\\COM4";
const std::string kCom5 = "\\\\.\\COM5";
const std::string kCom12 = "\\\\.\\COM12";

sim::PlugConfig ForeignDevice() {
  sim::PlugConfig c;
  c.product = "1012";
  return c;
}

void BuildTodaysPc(sim::Bench& bench, const sim::PlugConfig* plugOnCom5) {
  bench.SetAbsent(kCom1);
  bench.Attach(kCom3, ForeignDevice());
  bench.Attach(kCom4);
  bench.SetKind(kCom4, plat::PortKind::Bluetooth, "Standard Serial over Bluetooth link");
  if (plugOnCom5 != nullptr) {
    bench.Attach(kCom5, *plugOnCom5);
  } else {
    bench.AddPort(kCom5);
  }
  bench.SetKind(kCom5, plat::PortKind::Usb, "USB Serial Port");
  if (plugOnCom5 != nullptr && !plugOnCom5->startInMonitor) bench.AddPort(kCom12);
}

// What a search over that PC may take: the line sequence of the
// identification (4 x 200 ms) on each port that opens, and the identifier of
// each device that sends one at 1200 baud, 7N1 (9 bits a character), plus a
// second for a busy machine.
std::chrono::milliseconds TodaysPcSearchBound(int portsOpened, int identifiersSent) {
  const auto idChars = static_cast<long>(sim::BuildIdentifier("1011", "\\0001\\MODEM\\\\Quor Plug").size());
  const auto idTime = std::chrono::milliseconds(idChars * 9 * 1000 / 1200);
  return portsOpened * std::chrono::milliseconds(800) + identifiersSent * idTime + std::chrono::seconds(1);
}

std::chrono::steady_clock::time_point FirstOpen(sim::Bench& bench, const std::string& port) {
  for (const auto& e : bench.Log(port)) {
    if (e.op == Op::Open) return e.time;
  }
  return std::chrono::steady_clock::time_point::max();
}

TEST_F(SearchTest, PlugOnTheFifthPortIsFoundPastAForeignDeviceAndABluetoothPort) {
  const sim::PlugConfig plugConfig;
  BuildTodaysPc(bench, &plugConfig);
  sim::Plug& plug = *bench.PlugOn(kCom5);
  TForm1& form = OpenWindow();
  const auto start = std::chrono::steady_clock::now();
  form.BSearch->Click();
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(form.UpdateState, 1);
  EXPECT_TRUE(bench.IsOpen(kCom5));
  EXPECT_EQ(plug.SetupAnswers(), 1);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  // COM1, COM2, COM3, COM5 in number order; the Bluetooth port never opened,
  // nor COM12 behind the plug.
  EXPECT_EQ(OpenAttempts(bench, kCom1), 1);
  EXPECT_LT(FirstOpen(bench, kCom1), FirstOpen(bench, kCom2));
  EXPECT_LT(FirstOpen(bench, kCom2), FirstOpen(bench, kCom3));
  EXPECT_LT(FirstOpen(bench, kCom3), FirstOpen(bench, kCom5));
  EXPECT_EQ(OpenAttempts(bench, kCom4), 0);
  EXPECT_EQ(OpenAttempts(bench, kCom12), 0);
  // The foreign device gave its identifier and got no byte; the silent port
  // none either. Each failed probe closed its port.
  EXPECT_EQ(bench.PlugOn(kCom3)->IdentAnswers(), 1);
  EXPECT_TRUE(Sent(kCom3).empty());
  EXPECT_TRUE(Sent(kCom2).empty());
  EXPECT_FALSE(bench.IsOpen(kCom2));
  EXPECT_FALSE(bench.IsOpen(kCom3));
  const auto bound = TodaysPcSearchBound(3, 2);
  EXPECT_LE(bound, std::chrono::seconds(4));
  EXPECT_LT(took, bound);
}

TEST_F(SearchTest, NoPlugRetrySearchesEveryPortAgainAndCancelRestoresTheStart) {
  // Today's PC without a plug answering: on COM5 waits one in its boot
  // monitor, but no update is remembered there and the port was not named.
  sim::PlugConfig left;
  left.startInMonitor = true;
  BuildTodaysPc(bench, &left);
  sim::Plug& plug = *bench.PlugOn(kCom5);
  ui.QueueAnswers({tk::kIdRetry, tk::kIdCancel});
  std::vector<TAsyncComm*> commAtBox;
  std::vector<int> openAtBox;
  std::vector<std::vector<std::string>> memoAtBox;
  std::vector<std::chrono::steady_clock::time_point> boxAt;
  TForm1& form = OpenWindow();
  ui.OnBox = [&](const Event&) {
    boxAt.push_back(std::chrono::steady_clock::now());
    commAtBox.push_back(SharedComm.load());
    openAtBox.push_back(bench.OpenHandleCount());
    memoAtBox.emplace_back();
    for (int i = 0; i < form.Memo1->Lines->Count(); ++i) memoAtBox.back().push_back((*form.Memo1->Lines)[i]);
  };
  const auto start = std::chrono::steady_clock::now();
  form.BSearch->Click();

  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, "Keinen Plug an COM1/2/3/5 gefunden.\nBitte erneut versuchen.");
    EXPECT_EQ(box.caption, "Keinen Plug gefunden");
    EXPECT_EQ(box.value, 0x25);
  }
  // Each search names each port once: the lines of the first make way for
  // those of the second.
  const std::vector<std::string> lines = {"COM1: nicht vorhanden", "COM2: keine Antwort",
                                          "COM3: Antwort erhalten, aber kein Quor Plug", "COM5: keine Antwort"};
  EXPECT_EQ(memoAtBox, (std::vector<std::vector<std::string>>{lines, lines}));
  // Each search: the identification alone, once per port, no byte to any
  // port; the Bluetooth port never opened.
  for (const auto& port : {kCom2, kCom3, kCom5}) {
    EXPECT_EQ(OpenAttempts(bench, port), 2) << port;
    EXPECT_TRUE(Sent(port).empty()) << port;
  }
  EXPECT_EQ(OpenAttempts(bench, kCom4), 0);
  EXPECT_EQ(openAtBox, (std::vector<int>{0, 0}));
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  EXPECT_TRUE(plug.HeardLog().empty()) << "the monitor heard the host";
  ASSERT_EQ(boxAt.size(), 2u);
  const auto bound = TodaysPcSearchBound(3, 1);
  EXPECT_LE(bound, std::chrono::seconds(4));
  EXPECT_LT(boxAt[0] - start, bound);
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
  ASSERT_TRUE(memory.Store(kCom1));  // an update broken off there
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
  // The plug still waits there: the port stays remembered.
  std::string remembered;
  EXPECT_TRUE(memory.Load(remembered));
  EXPECT_EQ(remembered, kCom1);
}

// How the window's work ended, as the console tool learns it.
struct EndRecord : flow::Observer {
  std::atomic<int> ends{0};
  std::atomic<flow::Result> result{flow::Result::NoPlug};
  void Ended(flow::Result r, flow::Stage) override {
    result = r;
    ++ends;
  }
};

TEST_F(SearchTest, StopWhileTheMonitorQuestionWaitsIsNoAnswer) {
  sim::PlugConfig left;
  left.startInMonitor = true;
  sim::Plug& plug = bench.Attach(kCom1, left);
  ASSERT_TRUE(memory.Store(kCom1));
  ui.QueueAnswers({tk::kIdNo});  // what a console gives when its read is stopped
  TForm1& form = OpenWindow();
  EndRecord record;
  form.Observer = &record;
  form.StopRequested = [this] { return !ui.Boxes().empty(); };
  form.BSearch->Click();
  form.Observer = nullptr;

  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(record.ends, 1);
  EXPECT_EQ(record.result, flow::Result::InterruptedInMonitor);
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(Sent(kCom1), (std::vector<std::uint8_t>{0x1B, 0x1B}));
  EXPECT_EQ(plug.ExitCount(), 0);
  EXPECT_EQ(bench.OpenHandleCount(), 0);
}

TEST_F(SearchTest, StopWhileTheMonitorLineSettlesSendsNoWakeUp) {
  sim::PlugConfig left;
  left.startInMonitor = true;
  sim::Plug& plug = bench.Attach(kCom1, left);
  ASSERT_TRUE(memory.Store(kCom1));
  TForm1& form = OpenWindow();
  // The look for the monitor opens COM1 a second time, after the search.
  form.StopRequested = [this] { return OpenAttempts(bench, kCom1) >= 2; };
  form.BSearch->Click();

  EXPECT_EQ(OpenAttempts(bench, kCom1), 2);
  EXPECT_TRUE(Sent(kCom1).empty());
  EXPECT_TRUE(ui.Boxes().empty());
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(bench.OpenHandleCount(), 0);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
  std::string remembered;
  EXPECT_TRUE(memory.Load(remembered));
  EXPECT_EQ(remembered, kCom1);
}

// --- the look for a plug in its boot monitor, case by case ---------------------

struct RescueCase {
  const char* name;
  std::vector<std::string> ports;  // the ports named; empty: the machine's
  void (*attach)(sim::Bench&);
  std::string shown;               // the port the question names; empty: no monitor found
  // Every byte the search sent, per port.
  std::vector<std::pair<std::string, std::string>> sent;
  std::string remembered = {};     // the port of an unfinished update
};

void PrintTo(const RescueCase& c, std::ostream* os) { *os << c.name; }

class RescueTest : public WorkflowTest, public ::testing::WithParamInterface<RescueCase> {};

TEST_P(RescueTest, FindsTheMonitorWhereOneWaitsAndSendsNothingElsewhere) {
  const RescueCase& c = GetParam();
  c.attach(bench);
  if (!c.remembered.empty()) {
    ASSERT_TRUE(memory.Store(c.remembered));
  }
  ui.QueueAnswers({c.shown.empty() ? tk::kIdCancel : tk::kIdNo});
  TForm1& form = OpenWindow();
  form.SearchPorts = c.ports;
  form.BSearch->Click();

  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  if (c.shown.empty()) {
    EXPECT_EQ(boxes[0].caption, "Keinen Plug gefunden");
  } else {
    EXPECT_EQ(boxes[0].caption, "Quor Plug im Monitor Modus");
    EXPECT_EQ(boxes[0].text, "An " + c.shown +
                                 " wartet ein Quor Plug im Monitor Modus.\nEin Update wurde nicht beendet.\n"
                                 "Soll das Update jetzt wiederholt werden?");
  }
  for (const auto& [port, bytes] : c.sent) {
    EXPECT_EQ(Sent(port), Bytes(bytes)) << port;
    // The line settles 500 ms at the monitor's speed before the wake-up.
    sim::TimePoint lineSet{};
    for (const auto& e : bench.Log(port)) {
      if (e.op == Op::SetState) lineSet = e.time;
      if (e.op == Op::Write && e.bytes == Bytes("\x1B\x1B")) {
        EXPECT_GE(e.time - lineSet, std::chrono::milliseconds(500)) << port;
      }
    }
    if (sim::Plug* plug = bench.PlugOn(port)) {
      EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
      EXPECT_EQ(plug->ExitCount(), 0);
    }
  }
  EXPECT_EQ(bench.OpenHandleCount(), 0);
  EXPECT_EQ(form.UpdateState, 0);
}

const std::string kProbe = std::string("\x1B\x1B") + "\n:00000001FF\n";
const std::vector<std::string> kComPorts = {kCom1, kCom2};

INSTANTIATE_TEST_SUITE_P(
    Cases, RescueTest,
    ::testing::Values(
        // Nothing named, nothing remembered: a plug waiting in its monitor
        // on one of the machine's ports gets no byte.
        RescueCase{"UnrememberedUnnamedPortGetsNoByte", {},
                   [](sim::Bench& b) {
                     b.SetAbsent(kCom1);
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     b.Attach(kCom2, c);
                   },
                   "", {{kCom2, ""}}},
        // The port of an update broken off is looked at without being named;
        // the machine's other ports get nothing.
        RescueCase{"RememberedPortAlone", {},
                   [](sim::Bench& b) {
                     b.SetAbsent(kCom1);
                     b.AddPort(kCom2);
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     b.Attach(kCom5, c);
                   },
                   "COM5", {{kCom2, ""}, {kCom5, "\x1B\x1B"}}, kCom5},
        // A missing COM1 does not end the look: the plug waits on COM2.
        RescueCase{"MonitorOnCom2BehindAMissingCom1", kComPorts,
                   [](sim::Bench& b) {
                     b.SetAbsent(kCom1);
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     b.Attach(kCom2, c);
                   },
                   "COM2", {{kCom2, "\x1B\x1B"}}},
        // The wake-up answered 700 ms late, within the 100 ticks (1 s at
        // least): found with the wake-up alone.
        RescueCase{"WakePromptLateWithinTheWait", kComPorts,
                   [](sim::Bench& b) {
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     c.wakePromptDelayMs = 700;
                     b.Attach(kCom1, c);
                   },
                   "COM1", {{kCom1, "\x1B\x1B"}, {kCom2, ""}}},
        // The remembered port beside the named ones, not searched: it is
        // identified first, and a device that answers there gets nothing
        // more; a plug waiting in its monitor there answers no
        // identification and is found.
        RescueCase{"RememberedUnsearchedPortWithAnotherDevice", {kCom1},
                   [](sim::Bench& b) {
                     b.SetAbsent(kCom1);
                     sim::PlugConfig other;
                     other.product = "1012";
                     b.Attach(kCom5, other);
                   },
                   "", {{kCom5, ""}}, kCom5},
        RescueCase{"RememberedUnsearchedPortWithAPlugInItsMonitor", {kCom1},
                   [](sim::Bench& b) {
                     b.SetAbsent(kCom1);
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     b.Attach(kCom5, c);
                   },
                   "COM5", {{kCom5, "\x1B\x1B"}}, kCom5},
        // A device path stands in the question as it is.
        RescueCase{"DevicePathNamedWhole", {"/dev/ttyUSB0"},
                   [](sim::Bench& b) {
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     b.Attach("/dev/ttyUSB0", c);
                   },
                   "/dev/ttyUSB0", {{"/dev/ttyUSB0", "\x1B\x1B"}}},
        // A monitor left in its load state by an upload cut off mid-line,
        // the plug powered all along: it answers once the load has ended.
        RescueCase{"MonitorLeftInItsLoad", kComPorts,
                   [](sim::Bench& b) {
                     sim::PlugConfig c;
                     c.startInMonitor = true;
                     c.startInLoad = true;
                     c.keepsPower = true;
                     b.Attach(kCom1, c);
                   },
                   "COM1", {{kCom1, kProbe}}},
        // A complete identifier of another device, a plug whose setup
        // failed: neither port gets a byte of the look.
        RescueCase{"AnsweringDevicesGetNoByte", kComPorts,
                   [](sim::Bench& b) {
                     sim::PlugConfig other;
                     other.product = "1012";
                     b.Attach(kCom1, other);
                     sim::PlugConfig noSetup;
                     noSetup.setupAnswer = sim::SetupAnswer::None;
                     b.Attach(kCom2, noSetup);
                   },
                   "", {{kCom1, ""}, {kCom2, "QUOR PLUG SETUP"}}}),
    [](const ::testing::TestParamInfo<RescueCase>& param) { return std::string(param.param.name); });

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

TEST_F(SearchTest, PlugIsFoundWhenItsIdentifierWaitsForALateReader) {
  // A busy machine: the reader runs on after the identifier's first byte only
  // when the look 200 ms after RTS went on is past; the rest of the
  // identifier waits at the port by then.
  bench.DelayNextReadWake(std::chrono::milliseconds(250));
  sim::Plug& plug = bench.Attach(kCom1);
  TForm1& form = OpenWindow();
  form.BSearch->Click();
  EXPECT_EQ(form.UpdateState, 1);
  EXPECT_EQ(OpenAttempts(bench, kCom2), 0);
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
                  // Bytes before the answer's 'Q' are passed over: none of it counts.
                  {"incorrect Response received:", ""}, ProbeFault::NoSetupAnswer},
        ProbeCase{"NoSetupAnswer", [](sim::PlugConfig& c) { c.setupAnswer = sim::SetupAnswer::None; },
                  {"incorrect Response received:", ""}, ProbeFault::NoSetupAnswer}),
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

// --- the box and the memo: the ports searched, and why each gave no plug -------

struct BoxCase {
  const char* name;
  std::vector<std::string> ports;  // the ports named; empty: the machine's
  void (*set)(sim::Bench&, plat::MemoryPortMemory&);
  std::string text;
  std::vector<std::string> memo;
  std::string debug = {};  // a line the debugger output must hold
};

void PrintTo(const BoxCase& c, std::ostream* os) { *os << c.name; }

class NoPlugBoxTest : public WorkflowTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(NoPlugBoxTest, NamesThePortsSearchedAndWhyEachFailed) {
  const BoxCase& c = GetParam();
  c.set(bench, memory);
  std::vector<std::string> memoAtBox;
  TForm1& form = OpenWindow();
  form.SearchPorts = c.ports;
  ui.OnBox = [&](const Event&) {
    for (int i = 0; i < form.Memo1->Lines->Count(); ++i) memoAtBox.push_back((*form.Memo1->Lines)[i]);
  };
  ui.QueueAnswers({tk::kIdCancel});
  form.BSearch->Click();
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, c.text);
  EXPECT_EQ(memoAtBox, c.memo);
  if (!c.debug.empty()) {
    bool found = false;
    for (const auto& e : ui.EventsOf(Event::Kind::Debug)) found = found || e.text.find(c.debug) != std::string::npos;
    EXPECT_TRUE(found) << c.debug;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, NoPlugBoxTest,
    ::testing::Values(
        // "belegt" only for access denied; another failure names its error.
        BoxCase{"Com1BusyCom2Failing", {},
                [](sim::Bench& b, plat::MemoryPortMemory&) {
                  b.SetBusy(kCom1);
                  b.SetOpenFails(kCom2, 31);
                },
                "Keinen Plug an COM1/2 gefunden.\nBitte erneut versuchen.",
                {"COM1: von einem anderen Programm belegt", "COM2: konnte nicht ge\xF6" "ffnet werden (Fehler 31)"}},
        BoxCase{"OneNamedPort", {"\\\\.\\COM7"}, [](sim::Bench&, plat::MemoryPortMemory&) {},
                "Keinen Plug an COM7 gefunden.\nBitte erneut versuchen.", {"COM7: nicht vorhanden"}},
        BoxCase{"Com1And2AndANamedOne", {kCom1, kCom2, "\\\\.\\COM7"},
                [](sim::Bench& b, plat::MemoryPortMemory&) {
                  b.SetAbsent(kCom1);
                  b.SetAbsent(kCom2);
                },
                "Keinen Plug an COM1/2/7 gefunden.\nBitte erneut versuchen.",
                {"COM1: nicht vorhanden", "COM2: nicht vorhanden", "COM7: nicht vorhanden"}},
        // A device path stands as it is, after the COM ports.
        BoxCase{"DevicePath", {"\\\\.\\COM7", "/dev/ttyUSB0"}, [](sim::Bench&, plat::MemoryPortMemory&) {},
                "Keinen Plug an COM7, /dev/ttyUSB0 gefunden.\nBitte erneut versuchen.",
                {"COM7: nicht vorhanden", "/dev/ttyUSB0: nicht vorhanden"}},
        // A remembered port that cannot be read is told and passed over.
        BoxCase{"UnreadableMemory", {},
                [](sim::Bench& b, plat::MemoryPortMemory& m) {
                  b.SetAbsent(kCom1);
                  b.SetAbsent(kCom2);
                  m.FailWith(5);
                },
                "Keinen Plug an COM1/2 gefunden.\nBitte erneut versuchen.",
                {"COM1: nicht vorhanden", "COM2: nicht vorhanden"},
                "Cannot read the port of the unfinished update (memory), GetLastError: #5"}),
    [](const ::testing::TestParamInfo<BoxCase>& param) { return std::string(param.param.name); });

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
