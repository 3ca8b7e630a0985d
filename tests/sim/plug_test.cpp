// The plug model on its own, driven with made-up time stamps.
#include "sim/plug.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/modestring.h"
#include "tests/sim/sim_test_util.h"

namespace {

using namespace std::chrono_literals;
using sim::Mode;
using simtest::Bytes;
using simtest::Frame;

plat::Dcb Line(const char* mode) {
  plat::Dcb d;
  EXPECT_TRUE(plat::ApplyModeString(d, mode));
  return d;
}

const char* const kIdentLine = "baud=1200 parity=N data=7 stop=1";
const char* const kSetupLine = "baud=115200 parity=N data=8 stop=1 octs=on rts=hs dtr=on";
const char* const kMonitorLine = "baud=57600 parity=N data=8 stop=1";

// Drives a plug the way a host would, on a clock of its own.
struct Driver {
  explicit Driver(sim::PlugConfig config = {}) : plug(std::move(config)) {}

  void Wait(std::chrono::milliseconds d) { now += d; }
  void Lines(bool dtr, bool rts) { plug.SetLines(now, dtr, rts, host); }
  void Identify(int w1 = 200, int w2 = 200, int w3 = 200) {
    host = Line(kIdentLine);
    Lines(false, false);
    Lines(true, false);
    Wait(std::chrono::milliseconds(w1));
    Lines(false, false);
    Wait(std::chrono::milliseconds(w2));
    Lines(true, false);
    Wait(std::chrono::milliseconds(w3));
    Lines(true, true);
  }
  sim::Plug::Accepted Send(const std::string& s) {
    return plug.Receive(now, reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), host);
  }
  // Everything the plug sends until it falls silent (as sent, not garbled).
  std::string Take() {
    std::vector<sim::Plug::OutByte> out;
    while (auto next = plug.Collect(now, out)) now = *next;
    last = out;
    std::string s;
    for (const auto& o : out) s += static_cast<char>(o.value);
    return s;
  }
  void ToSetup() {
    Identify();
    Take();
    host = Line(kSetupLine);
    Send("QUOR PLUG SETUP");
    Take();
  }
  void ToMonitor() {
    ToSetup();
    Send(std::string("\x01\xF8\x00\x00", 4));
    Wait(100ms);
    Send(std::string("\x01\xF6\x00\x00", 4));
    Wait(1000ms);
    host = Line(kMonitorLine);
    Send("\x1B\x1B");
    ASSERT_EQ(Take(), ">");
  }
  void Erase(const std::string& first = "10000", const std::string& final = "37fff") {
    Send("e");
    Send(first + "\r");
    Send(final + "\r");
  }

  sim::Plug plug;
  sim::TimePoint now = sim::Clock::now();
  plat::Dcb host;
  std::vector<sim::Plug::OutByte> last;
};

}  // namespace

TEST(PlugBasics, IdentifierChecksumAndLayout) {
  const std::string id = sim::BuildIdentifier("1011", "\\0001\\MODEM\\\\Quor Plug");
  ASSERT_EQ(id.substr(0, 10), std::string("(\x01$QZM1011", 10));
  ASSERT_EQ(id.back(), ')');
  unsigned sum = 0;
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == id.size() - 3 || i == id.size() - 2) continue;
    sum += static_cast<unsigned char>(id[i]);
  }
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
  EXPECT_EQ(id.substr(id.size() - 3, 2), hex);
  EXPECT_EQ(sim::BuildIdentifier("1010", ""), "(\x01$QZM1010" "30)");
}

TEST(PlugBasics, CharTimes) {
  EXPECT_EQ(sim::CharTime(1200, 7, plat::kNoParity, plat::kOneStopBit), 7500us);
  EXPECT_EQ(sim::CharTime(1200, 7, plat::kEvenParity, plat::kTwoStopBits), 9166666ns);
  EXPECT_EQ(sim::CharTime(115200, 8, plat::kNoParity, plat::kOneStopBit), 86805ns);
}

TEST(PlugBasics, GarbleByLineSettings) {
  const sim::Wire seven{1200, 7, plat::kNoParity, plat::kOneStopBit};
  const sim::Wire eight{115200, 8, plat::kNoParity, plat::kOneStopBit};
  struct Case {
    sim::Wire plug;
    const char* host;
    std::uint8_t in;
    std::optional<std::uint8_t> out;
  } cases[] = {
      {seven, kIdentLine, 0x28, 0x28},
      {seven, "baud=1200 parity=N data=8 stop=1", 0x28, 0xA8},
      {eight, "baud=115200 parity=N data=7 stop=1", 0xD1, 0x51},
      {eight, kSetupLine, 0xD1, 0xD1},
      {eight, "baud=57600 parity=N data=8 stop=1", 0x41, 0xFF},
      {seven, "baud=1200 parity=E data=7 stop=1", 0x41, 0xFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim::Garble(c.plug, Line(c.host), c.in), c.out) << c.host;
  }
}

TEST(PlugBasics, BannerFromFlashNeedsHeaderAndMarker) {
  std::vector<std::uint8_t> flash(sim::kFlashSize, 0xFF);
  EXPECT_FALSE(sim::BannerFromFlash(flash));
  auto img = simtest::MakeImage();
  std::copy(img.begin(), img.end(), flash.begin());
  EXPECT_EQ(sim::BannerFromFlash(flash), std::string(simtest::kNewBanner));
  flash[0x20] = 0x00;
  EXPECT_FALSE(sim::BannerFromFlash(flash));
}

TEST(PlugIdentification, AnswersAWellTimedSequenceAt1200Baud) {
  Driver d;
  const auto rtsAt = d.now + 600ms;
  d.Identify();
  EXPECT_EQ(d.Take(), sim::BuildIdentifier("1011", sim::PlugConfig{}.idExtras));
  ASSERT_FALSE(d.last.empty());
  EXPECT_EQ(d.last.front().due - rtsAt, 10ms + 7500us);
  EXPECT_EQ(d.last[1].due - d.last[0].due, 7500us);
  EXPECT_EQ(d.last.front().wire.dataBits, 7);
  EXPECT_TRUE(d.plug.Violations().empty());
  EXPECT_EQ(d.plug.IdentAnswers(), 1);
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Setup);
}

TEST(PlugIdentification, EachWaitMustBeWithinTolerance) {
  struct Case {
    int w1, w2, w3;
    bool answers;
  } cases[] = {
      {150, 150, 150, true},   {1500, 1500, 1500, true}, {100, 200, 200, false},
      {200, 149, 200, false},  {200, 200, 1600, false},  {200, 200, 20, false},
  };
  for (const auto& c : cases) {
    Driver d;
    d.Identify(c.w1, c.w2, c.w3);
    EXPECT_EQ(!d.Take().empty(), c.answers) << c.w1 << " " << c.w2 << " " << c.w3;
    EXPECT_EQ(d.plug.Violations().empty(), c.answers);
  }
}

TEST(PlugIdentification, WrongOrderOrLineGivesViolationAndSilence) {
  {
    Driver d;  // RTS and DTR together, no sequence
    d.host = Line(kIdentLine);
    d.Lines(true, true);
    EXPECT_EQ(d.Take(), "");
    EXPECT_EQ(d.plug.Violations().size(), 1u);
  }
  {
    Driver d;  // DTR off step missing
    d.host = Line(kIdentLine);
    d.Lines(false, false);
    d.Lines(true, false);
    d.Wait(400ms);
    d.Lines(true, true);
    EXPECT_EQ(d.Take(), "");
    EXPECT_FALSE(d.plug.Violations().empty());
  }
  for (const char* wrong : {"baud=1200 parity=N data=8 stop=1", "baud=9600 parity=N data=7 stop=1",
                            "baud=1200 parity=N data=7 stop=1 octs=on"}) {
    Driver d;
    d.Identify();
    d.Lines(false, false);
    d.Identify();  // again, this time with a wrong line when RTS rises
    d.Take();
    d.host = Line(wrong);
    d.Lines(false, false);
    d.Lines(true, false);
    d.Wait(200ms);
    d.Lines(false, false);
    d.Wait(200ms);
    d.Lines(true, false);
    d.Wait(200ms);
    d.Lines(true, true);
    EXPECT_EQ(d.Take(), "") << wrong;
    EXPECT_EQ(d.plug.Violations().size(), 1u) << wrong;
    EXPECT_EQ(d.plug.IdentAnswers(), 2);
  }
}

TEST(PlugIdentification, FaultSwitches) {
  const std::string id = sim::BuildIdentifier("1012", "");
  sim::PlugConfig c;
  c.product = "1012";
  c.idExtras = "";
  {
    auto s = c;
    s.silent = true;
    Driver d(s);
    d.Identify();
    EXPECT_EQ(d.Take(), "");
    EXPECT_TRUE(d.plug.Violations().empty());
  }
  {
    auto s = c;
    s.noiseBeforeId = 0x3F;
    Driver d(s);
    d.Identify();
    EXPECT_EQ(d.Take(), "?" + id);
  }
  {
    auto s = c;
    s.noClosingParen = true;
    Driver d(s);
    d.Identify();
    EXPECT_EQ(d.Take(), id.substr(0, id.size() - 1));
  }
  {
    auto s = c;
    s.lateFirstByte = true;
    Driver d(s);
    const auto rtsAt = d.now + 600ms;
    d.Identify();
    EXPECT_EQ(d.Take(), id);
    EXPECT_EQ(d.last.front().due - rtsAt, 400ms);
  }
}

TEST(PlugSetup, AnswersOnlyWithFlowControl) {
  Driver d;
  d.Identify();
  d.Take();
  d.host = Line("baud=115200 parity=N data=8 stop=1");  // no RTS/CTS
  d.Send("QUOR PLUG SETUP");
  EXPECT_EQ(d.Take(), "");
  EXPECT_EQ(d.plug.Violations().size(), 1u);
  d.host = Line(kSetupLine);
  d.Send("QUOR PLUG SETUP");
  EXPECT_EQ(d.Take(), "QUOR PLUG READY");
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Command);
  EXPECT_EQ(d.plug.SetupAnswers(), 1);
}

TEST(PlugSetup, AnswerVariants) {
  struct Case {
    sim::SetupAnswer answer;
    std::string expected;
  } cases[] = {{sim::SetupAnswer::WrongFirstByte, "WUOR PLUG READY"},
               {sim::SetupAnswer::None, ""},
               {sim::SetupAnswer::ExtraBytes, "QUOR PLUG READYXYZ"}};
  for (const auto& c : cases) {
    sim::PlugConfig cfg;
    cfg.setupAnswer = c.answer;
    Driver d(cfg);
    d.Identify();
    d.Take();
    d.host = Line(kSetupLine);
    d.Send("QUOR PLUG SETUP");
    EXPECT_EQ(d.Take(), c.expected);
  }
}

namespace {
const std::string kReportRequest("\x01\xF7\x00\x00", 4);
const std::string kReportEnd("\x01\xF6\x00\x00", 4);
}  // namespace

TEST(PlugReports, VersionReportVariants) {
  const std::string banner = sim::PlugConfig{}.banner;
  const std::string other = Frame(0x01, std::string("\x00\x01", 2));
  const std::string version = Frame(0xDD, banner + '\0');
  struct Case {
    sim::VersionReport v;
    std::string expected;
  } cases[] = {
      {sim::VersionReport::Normal, other + version},
      {sim::VersionReport::NoReports, ""},
      {sim::VersionReport::EmptyPayload, other + Frame(0xDD, "")},
      {sim::VersionReport::NoZeroByte, other + Frame(0xDD, banner)},
      {sim::VersionReport::Twice, other + version + version},
      {sim::VersionReport::Length4050,
       other + std::string("\x05\xDD\x0F\xD2", 4) + banner + std::string(4050 - banner.size(), '\0')},
      {sim::VersionReport::Length4049, other + Frame(0xDD, banner + std::string(4049 - banner.size(), '\0'))},
  };
  for (const auto& c : cases) {
    sim::PlugConfig cfg;
    cfg.version = c.v;
    Driver d(cfg);
    d.ToSetup();
    d.Send(kReportRequest);
    EXPECT_EQ(d.Take(), c.expected) << static_cast<int>(c.v);
    EXPECT_TRUE(d.plug.Violations().empty());
  }
}

TEST(PlugReports, ExtraFramesAndSlowPieces) {
  sim::PlugConfig cfg;
  cfg.otherReportFirst = false;
  cfg.framesBefore = {Bytes(Frame(0x07, "ab"))};
  cfg.framesAfter = {Bytes(Frame(0x08, "")), Bytes(Frame(0x09, "c"))};
  cfg.slowPieceBytes = 3;
  Driver d(cfg);
  d.ToSetup();
  const auto asked = d.now;
  d.Send(kReportRequest);
  const std::string all = d.Take();
  EXPECT_EQ(all, Frame(0x07, "ab") + Frame(0xDD, cfg.banner + '\0') + Frame(0x08, "") + Frame(0x09, "c"));
  EXPECT_GE(d.last.back().due - asked, 20ms * static_cast<int>((all.size() - 1) / 3));
  EXPECT_EQ(d.last[3].due - d.last[2].due, 20ms);

  // The report end drops what has not left the plug yet.
  d.Send(kReportRequest);
  d.Wait(30ms);
  std::vector<sim::Plug::OutByte> early;
  d.plug.Collect(d.now, early);
  d.Send(kReportEnd);
  EXPECT_EQ(d.Take(), "");
  EXPECT_EQ(early.size(), 6u);
}

TEST(PlugMonitor, EntersOnlyAfterMonitorRequestAndReportEndGivenItsTime) {
  Driver d;
  d.ToSetup();
  d.Send(kReportEnd);
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Command);
  // A report end 10 ms after the request is lost: the plug is still switching.
  d.Send(std::string("\x01\xF8\x00\x00", 4));
  d.Wait(10ms);
  d.Send(kReportEnd);
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Command);
  ASSERT_EQ(d.plug.Violations().size(), 3u);  // 01, F6, 00 00
  EXPECT_NE(d.plug.Violations()[0].find("lost"), std::string::npos) << d.plug.Violations()[0];
  d.Wait(100ms);
  d.Send(kReportEnd);
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Monitor);
  // The monitor hears nothing before it has started, 700 ms after the report end.
  d.host = Line(kMonitorLine);
  d.Wait(600ms);
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), "");
  EXPECT_EQ(d.plug.Violations().size(), 4u);
  d.Wait(100ms);
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), ">");
  d.host = Line("baud=57600 parity=N data=8 stop=1 octs=on");  // CTS flow is wrong here
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), "");
  EXPECT_EQ(d.plug.Violations().size(), 5u);

  const auto heard = d.plug.HeardLog();
  std::vector<sim::Heard> what;
  for (const auto& h : heard) what.push_back(h.what);
  EXPECT_EQ(what, (std::vector<sim::Heard>{sim::Heard::ReportEnd, sim::Heard::MonitorRequest,
                                           sim::Heard::ReportEnd, sim::Heard::WakeUp}));
}

TEST(PlugMonitor, ALateWakePromptComesAfterItsDelay) {
  sim::PlugConfig cfg;
  cfg.wakePromptDelayMs = 2500;
  Driver d(cfg);
  d.ToSetup();
  d.Send(std::string("\x01\xF8\x00\x00", 4));
  d.Wait(100ms);
  d.Send(kReportEnd);
  d.Wait(1000ms);
  d.host = Line(kMonitorLine);
  const auto woken = d.now;
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), ">");
  EXPECT_GE(d.last.back().due - woken, 2500ms);
  // Only the first wake-up is slow.
  d.Send("\x1B\x1B");
  const auto again = d.now;
  EXPECT_EQ(d.Take(), ">");
  EXPECT_LT(d.last.back().due - again, 10ms);
  EXPECT_TRUE(d.plug.Violations().empty()) << d.plug.Violations().front();
}

TEST(PlugMonitor, EraseLoadExitRestartsWithNewBanner) {
  Driver d;
  d.ToMonitor();
  d.Send("e");
  EXPECT_EQ(d.Take(), ":");
  d.Send("10000\r");
  EXPECT_EQ(d.Take(), ":");
  const auto start = d.now;
  d.Send("37fff\r");
  EXPECT_EQ(d.Take(), ">");
  EXPECT_EQ(d.now - start, 50ms);
  EXPECT_EQ(d.plug.EraseCount(), 1);

  const auto img = simtest::MakeImage(200);
  d.Send("l");
  EXPECT_EQ(d.Take(), "d");
  const std::string hex = simtest::ToHex(sim::kFlashBase, img);
  d.Send(hex);
  EXPECT_EQ(d.Take(), ">");
  EXPECT_FALSE(d.plug.LoadError());
  EXPECT_TRUE(d.plug.Errors().empty());
  EXPECT_EQ(d.plug.RecordsProgrammed(), static_cast<int>((img.size() + 15) / 16));

  auto expected = std::vector<std::uint8_t>(sim::kFlashSize, 0xFF);
  std::copy(img.begin(), img.end(), expected.begin());
  EXPECT_EQ(d.plug.Flash(), expected);

  d.Send("x");
  EXPECT_EQ(d.plug.ExitCount(), 1);
  EXPECT_EQ(d.plug.Banner(), simtest::kNewBanner);
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Idle);
  EXPECT_EQ(d.Take(), "");
  EXPECT_TRUE(d.plug.Violations().empty());

  // Identified again, the plug reports the new banner.
  d.Lines(false, false);
  d.ToSetup();
  d.Send(kReportRequest);
  EXPECT_NE(d.Take().find(simtest::kNewBanner), std::string::npos);
}

TEST(PlugMonitor, LoadWithoutEraseCorruptsAndEndsWithBang) {
  Driver d;
  d.ToMonitor();
  d.Send("l");
  d.Take();
  d.Send(simtest::ToHex(sim::kFlashBase, simtest::MakeImage()));
  EXPECT_EQ(d.Take(), "!");
  EXPECT_TRUE(d.plug.LoadError());
  EXPECT_FALSE(d.plug.Errors().empty());
  d.Send("x");
  EXPECT_EQ(d.plug.ExitCount(), 1);
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Monitor);
  EXPECT_EQ(d.plug.Banner(), sim::PlugConfig{}.banner);
  d.Send("\x1B\x1B");  // a new wake-up gives the prompt again
  EXPECT_EQ(d.Take(), ">");
}

TEST(PlugMonitor, BadRecordsAreErrors) {
  const std::string good = simtest::Record(0x00, 0x0000, {0x01, 0x02});
  std::string badSum = good;
  badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
  std::string lower = simtest::Record(0x00, 0x0000, {0xAB});
  for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const std::string cases[] = {
      badSum,
      lower,
      ":0300000001\n",                                      // count says 3, one data byte
      simtest::Record(0x02, 0x0000, {0x10, 0x00}),          // unsupported type
      simtest::Record(0x04, 0, {0x00, 0x04}) + simtest::Record(0x00, 0x0000, {0x00}),  // beyond flash
      simtest::Record(0x04, 0, {0x00, 0x00}) + simtest::Record(0x00, 0xFFFF, {0x00}),  // below flash
      "garbage\n",
  };
  for (const auto& bad : cases) {
    Driver d;
    d.ToMonitor();
    d.Erase();
    d.Take();
    d.Send("l");
    d.Take();
    d.Send(simtest::Record(0x04, 0, {0x00, 0x01}) + bad + ":00000001FF\n");
    EXPECT_EQ(d.Take(), "!") << bad;
    EXPECT_TRUE(d.plug.LoadError()) << bad;
  }
}

TEST(PlugMonitor, RecordRunsIntoNextBankAndCrIsAViolation) {
  Driver d;
  d.ToMonitor();
  d.Erase();
  d.Take();
  d.Send("l");
  d.Take();
  const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8};
  std::string rec = simtest::Record(0x00, 0xFFFC, data);
  rec.insert(rec.size() - 1, "\r");
  d.Send(simtest::Record(0x04, 0, {0x00, 0x01}) + rec + ":00000001FF\n");
  EXPECT_EQ(d.Take(), ">");
  const auto flash = d.plug.Flash();
  EXPECT_EQ(std::vector<std::uint8_t>(flash.begin() + 0xFFFC, flash.begin() + 0x10004), data);
  EXPECT_EQ(d.plug.Violations().size(), 1u);
}

TEST(PlugMonitor, EraseRangeOutsideFlashAndBytesDuringErase) {
  Driver d;
  d.ToMonitor();
  d.Erase("f000", "10fff");
  EXPECT_EQ(d.Take(), "::!");
  EXPECT_EQ(d.plug.EraseCount(), 0);
  d.Erase();
  d.Wait(10ms);
  d.Send("l");  // still erasing
  EXPECT_EQ(d.Take(), "::>");
  EXPECT_EQ(d.plug.Violations().size(), 1u);
}

TEST(PlugMonitor, PromptFaultsAndLostBytes) {
  sim::PlugConfig cfg;
  cfg.noFinalPrompt = true;
  cfg.loseAfter = 20;
  cfg.loseCount = 3;
  cfg.eraseTimeMs = 300;
  Driver d(cfg);
  d.ToMonitor();
  const auto start = d.now;
  d.Erase();
  EXPECT_EQ(d.Take(), "::>");
  EXPECT_EQ(d.now - start, 300ms);
  d.Send("l");
  d.Take();
  d.Send(simtest::ToHex(sim::kFlashBase, simtest::MakeImage(16)));
  EXPECT_EQ(d.Take(), "!");  // the lost bytes break a record
  cfg = {};
  cfg.noWakePrompt = true;
  cfg.noFinalPrompt = true;
  d.plug.SetConfig(cfg);
  d.Send("l");
  d.Take();
  d.Send(simtest::ToHex(0x20000, {0x00}));
  EXPECT_EQ(d.Take(), "");  // clean, but no final prompt
  EXPECT_TRUE(d.plug.LastLoadClean());
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), "");
}

TEST(PlugMonitor, UploadFaultsStopTheWriteOnce) {
  sim::PlugConfig cfg;
  cfg.writeErrorAfter = 10;
  Driver d(cfg);
  d.ToMonitor();
  d.Send("l");
  d.Take();
  const std::string hex = simtest::ToHex(sim::kFlashBase, simtest::MakeImage(16));
  auto acc = d.Send(hex);
  EXPECT_EQ(acc.fault, sim::Plug::Fault::WriteError);
  EXPECT_EQ(acc.count, 10u);
  acc = d.Send(hex.substr(10));
  EXPECT_EQ(acc.fault, sim::Plug::Fault::None);
  EXPECT_EQ(d.plug.UploadBytes(), hex.size());

  cfg = {};
  cfg.unplugAfter = 0;
  Driver u(cfg);
  u.ToMonitor();
  u.Send("l");
  EXPECT_EQ(u.Send(hex).fault, sim::Plug::Fault::Unplug);
}

TEST(PlugPower, PowerCycleWithoutFirmwareStaysInMonitor) {
  Driver d;
  d.ToMonitor();
  d.Erase();
  d.Take();
  d.Lines(false, false);
  EXPECT_FALSE(d.plug.Powered());
  d.Identify();
  EXPECT_EQ(d.Take(), "");  // silent to the identification
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Monitor);
  d.host = Line(kMonitorLine);
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), ">");

  Driver fresh;  // a power cycle before the erase keeps the firmware
  fresh.ToMonitor();
  fresh.Lines(false, false);
  fresh.Identify();
  EXPECT_FALSE(fresh.Take().empty());

  // Powered but not identified, running firmware takes the monitor's wake-up
  // as noise; anything else sent then is still the host's fault.
  Driver idle;
  idle.host = Line(kMonitorLine);
  idle.Lines(true, false);
  idle.Send("\x1B\x1B");
  EXPECT_EQ(idle.Take(), "");
  EXPECT_TRUE(idle.plug.Violations().empty());
  idle.Send("e");
  EXPECT_EQ(idle.plug.Violations().size(), 1u);
}

TEST(PlugPower, StartedInItsMonitorWaitsForTheWakeUpAndProgramsAgain) {
  sim::PlugConfig cfg;
  cfg.startInMonitor = true;
  Driver d(cfg);
  d.Identify();
  EXPECT_EQ(d.Take(), "");
  EXPECT_EQ(d.plug.CurrentMode(), Mode::Monitor);
  d.host = Line(kSetupLine);
  d.Send("QUOR PLUG SETUP");
  EXPECT_EQ(d.Take(), "");
  EXPECT_EQ(d.plug.SetupAnswers(), 0);
  d.host = Line(kMonitorLine);
  d.Send("\x1B\x1B");
  EXPECT_EQ(d.Take(), ">");

  d.Erase();
  EXPECT_EQ(d.Take(), "::>");
  d.Send("l");
  EXPECT_EQ(d.Take(), "d");
  d.Send(simtest::ToHex(sim::kFlashBase, simtest::MakeImage(200)));
  EXPECT_EQ(d.Take(), ">");
  d.Send("x");
  EXPECT_EQ(d.plug.Banner(), simtest::kNewBanner);
  d.Lines(false, false);
  d.ToSetup();
  EXPECT_EQ(d.plug.SetupAnswers(), 1);
}

#ifdef SIM_FIRMWARE_HEX
TEST(PlugMonitor, TakesTheCarriedFirmwareFile) {
  std::ifstream in(SIM_FIRMWARE_HEX);
  ASSERT_TRUE(in) << SIM_FIRMWARE_HEX;
  std::stringstream text;
  text << in.rdbuf();
  Driver d;
  d.ToMonitor();
  d.Erase();
  d.Take();
  d.Send("l");
  d.Take();
  d.Send(text.str());
  EXPECT_EQ(d.Take(), ">");
  EXPECT_TRUE(d.plug.Errors().empty()) << d.plug.Errors().front();
  d.Send("x");
  EXPECT_EQ(d.plug.Banner(), "Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26");
  EXPECT_TRUE(d.plug.Violations().empty()) << d.plug.Violations().front();
}
#endif
