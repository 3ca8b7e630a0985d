// Report mode: the frame reader, the firmware-version display and leaving
// report mode, with the real window against simulated plugs.
#include <gtest/gtest.h>

#include "serial/threads.h"
#include "tests/support/workflow_fixture.h"

namespace testing_support {
namespace {

const std::vector<std::uint8_t> kReportEnd = {0x01, 0xF6, 0x00, 0x00};
const std::string kDefaultBanner = sim::PlugConfig{}.banner;

std::vector<std::string> MemoLines(const TForm1& form) {
  const TStrings& lines = *form.Memo1->Lines;
  std::vector<std::string> out;
  for (int i = 0; i < lines.Count(); ++i) out.push_back(lines[i]);
  return out;
}

std::vector<std::string> ReportLines(const std::string& version) {
  return {"Vorhandene Firmware-Version Ihres Quor Plug:",
          "\"" + version + "\"",
          "",
          "Wenn Sie Ihren Quor Plug auf die Version",
          "\"Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26\"",
          "bringen wollen, dann dr\xFC" "cken Sie bitte die Taste \"Update\"."};
}

std::vector<std::uint8_t> Frame(std::uint8_t type, std::uint8_t code, const std::string& payload) {
  std::string f;
  f += static_cast<char>(type);
  f += static_cast<char>(code);
  f += static_cast<char>(payload.size() >> 8);
  f += static_cast<char>(payload.size() & 0xFF);
  f += payload;
  return std::vector<std::uint8_t>(f.begin(), f.end());
}

class ReportTest : public WorkflowTest {
 protected:
  explicit ReportTest(sim::Timing timing = sim::Timing::Instant) : WorkflowTest(timing) {}
  TForm1& SearchWith(const sim::PlugConfig& config) {
    plug = &bench.Attach(kCom1, config);
    TForm1& form = OpenWindow();
    form.BSearch->Click();
    EXPECT_EQ(form.UpdateState, 1);
    return form;
  }
  sim::Plug* plug = nullptr;
};

TEST_F(ReportTest, VersionReportIsShownAndTheUpdateOffered) {
  TForm1& form = SearchWith({});
  ASSERT_TRUE(WaitForReport());

  EXPECT_EQ(MemoLines(form), ReportLines(kDefaultBanner));
  EXPECT_TRUE(form.BUpdate->Enabled());
  EXPECT_TRUE(form.BUpdate->Focused());
  EXPECT_FALSE(form.BSearch->Enabled());
  EXPECT_TRUE(form.BExit->Enabled());
  EXPECT_EQ(form.LStatus->Caption(), "Ready");
  EXPECT_EQ(ReportReader, nullptr);
  EXPECT_EQ(TThread::LiveCount(), 0) << "the reader must have ended";
  EXPECT_EQ(form.UpdateState, 1);
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
}

// Ports as real drivers and adapters leave them: the search still finds the
// plug on COM1, the report arrives whole and the report end reaches the plug
// when the tool is closed.
struct AdapterCase {
  const char* name;
  sim::AdapterFaults faults;
};

void PrintTo(const AdapterCase& c, std::ostream* os) { *os << c.name; }

sim::AdapterFaults Leftovers() {
  plat::Dcb left;
  left.BaudRate = 9600;
  left.fBinary = true;
  left.fAbortOnError = left.fNull = left.fErrorChar = true;
  left.fOutX = left.fInX = left.fOutxDsrFlow = left.fDsrSensitivity = true;
  left.XonChar = left.XoffChar = 0;  // the driver refuses every setting that keeps them equal
  sim::AdapterFaults f;
  f.leftover = left;
  f.framingErrorOnPowerUp = true;  // with abort on error left on, every transfer would stop here
  return f;
}

class AdapterTest : public ReportTest, public ::testing::WithParamInterface<AdapterCase> {};

TEST_P(AdapterTest, SearchFindsThePlugAndTheReportArrivesWhole) {
  bench.SetAdapterFaults(kCom1, GetParam().faults);
  TForm1& form = SearchWith({});
  ASSERT_TRUE(WaitForReport());
  EXPECT_EQ(MemoLines(form), ReportLines(kDefaultBanner));
  EXPECT_TRUE(ui.Boxes().empty());
  EXPECT_EQ(bench.OpenCount(kCom2), 0);
  int settings = 0;
  for (const auto& e : bench.Log(kCom1)) {
    if (e.op != sim::HostLogEntry::Op::SetState) continue;
    ++settings;
    EXPECT_FALSE(e.dcb.fAbortOnError || e.dcb.fNull || e.dcb.fErrorChar || e.dcb.fOutX || e.dcb.fInX ||
                 e.dcb.fOutxDsrFlow || e.dcb.fDsrSensitivity)
        << "line setting " << settings << " keeps a leftover";
    EXPECT_EQ(e.dcb.XonChar, 0x11) << "line setting " << settings;
    EXPECT_EQ(e.dcb.XoffChar, 0x13) << "line setting " << settings;
  }
  EXPECT_EQ(settings, 2);
  CloseWindow();
  const auto heard = plug->HeardLog();
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back().what, sim::Heard::ReportEnd);
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
}

INSTANTIATE_TEST_SUITE_P(
    Adapters, AdapterTest,
    ::testing::Values(AdapterCase{"LeftoverSettings", Leftovers()},
                      AdapterCase{"EighthBitUnmasked", [] {
                                    sim::AdapterFaults f;
                                    f.eighthBitUnmasked = true;
                                    return f;
                                  }()},
                      AdapterCase{"JunkAfterSpeedChange", [] {
                                    sim::AdapterFaults f;
                                    f.junkOnSpeedChange = true;
                                    return f;
                                  }()},
                      AdapterCase{"LateByteAfterThePurge", [] {
                                    sim::AdapterFaults f;
                                    f.lateByteAfterPurge = true;
                                    return f;
                                  }()},
                      AdapterCase{"HoldsItsLastBytes", [] {
                                    sim::AdapterFaults f;
                                    f.adapterHolds = std::chrono::milliseconds(16);
                                    return f;
                                  }()}),
    [](const ::testing::TestParamInfo<AdapterCase>& param) { return std::string(param.param.name); });

TEST_F(ReportTest, ExitAfterTheReportSendsTheReportEndOnce) {
  SearchWith({});
  ASSERT_TRUE(WaitForReport());
  const std::size_t before = Writes(kCom1).size();
  CloseWindow();
  const auto writes = Writes(kCom1);
  ASSERT_EQ(writes.size(), before + 1);
  EXPECT_EQ(writes.back(), kReportEnd);
  EXPECT_FALSE(bench.IsOpen(kCom1));
  EXPECT_EQ(SharedComm.load(), nullptr);
  EXPECT_EQ(PlugPort, nullptr);
}

// The tool is closed while the reader waits: before any byte came, or in the
// middle of a frame whose header it has taken (the frame must not leak). On
// the wire the report end waits in the driver's output queue when the
// reader's stop purges the port: it must have left by then.
struct WaitCase {
  const char* name;
  void (*configure)(sim::PlugConfig&);
  sim::Timing timing = sim::Timing::Instant;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class ExitWhileWaitingTest : public ReportTest, public ::testing::WithParamInterface<WaitCase> {
 protected:
  ExitWhileWaitingTest() : ReportTest(GetParam().timing) {}
};

TEST_P(ExitWhileWaitingTest, StopsTheReaderAndSendsTheReportEnd) {
  sim::PlugConfig config;
  GetParam().configure(config);
  SearchWith(config);
  EXPECT_FALSE(WaitForReport(std::chrono::milliseconds(400)));
  EXPECT_NE(ReportReader, nullptr);
  EXPECT_EQ(TThread::LiveCount(), 1);
  CloseWindow();
  const auto writes = Writes(kCom1);
  ASSERT_GE(writes.size(), 1u);
  EXPECT_EQ(writes.back(), kReportEnd);
  const auto heard = plug->HeardLog();
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back().what, sim::Heard::ReportEnd);
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
  EXPECT_EQ(TThread::LiveCount(), 0);
  EXPECT_EQ(ReportReader, nullptr);
  EXPECT_FALSE(bench.IsOpen(kCom1));
}

INSTANTIATE_TEST_SUITE_P(
    Waits, ExitWhileWaitingTest,
    ::testing::Values(WaitCase{"NothingCame", [](sim::PlugConfig& c) { c.version = sim::VersionReport::NoReports; }},
                      WaitCase{"NothingCameOnTheWire",
                               [](sim::PlugConfig& c) { c.version = sim::VersionReport::NoReports; },
                               sim::Timing::Wire},
                      // 7 bytes every 150 ms: the version header is complete
                      // with the second piece, its payload takes 10 more.
                      WaitCase{"InTheMiddleOfAFrame",
                               [](sim::PlugConfig& c) {
                                 c.slowPieceBytes = 7;
                                 c.slowPieceIntervalMs = 150;
                               }}),
    [](const ::testing::TestParamInfo<WaitCase>& param) { return std::string(param.param.name); });

// On the wire, the report end sent when the tool is closed after showing the
// version must reach the plug before the port is purged and closed.
class ReportOnTheWireTest : public ReportTest {
 protected:
  ReportOnTheWireTest() : ReportTest(sim::Timing::Wire) {}
};

TEST_F(ReportOnTheWireTest, ThePlugHearsTheReportEndWhenTheToolIsClosed) {
  SearchWith({});
  ASSERT_TRUE(WaitForReport());
  CloseWindow();
  const auto heard = plug->HeardLog();
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back().what, sim::Heard::ReportEnd);
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
}

struct VersionCase {
  const char* name;
  void (*configure)(sim::PlugConfig&);
  std::string shown;  // the version text between the quotation marks
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class VersionTextTest : public ReportTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTextTest, ShowsThePayloadUpToItsZeroByteOrItsEnd) {
  sim::PlugConfig config;
  GetParam().configure(config);
  TForm1& form = SearchWith(config);
  ASSERT_TRUE(WaitForReport());
  const auto lines = MemoLines(form);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), ReportLines(GetParam().shown));
}

const std::string kA257(257, 'A');

INSTANTIATE_TEST_SUITE_P(
    Payloads, VersionTextTest,
    ::testing::Values(
        VersionCase{"Normal", [](sim::PlugConfig&) {}, kDefaultBanner},
        VersionCase{"Empty", [](sim::PlugConfig& c) { c.version = sim::VersionReport::EmptyPayload; }, ""},
        VersionCase{"NoZeroByte", [](sim::PlugConfig& c) { c.version = sim::VersionReport::NoZeroByte; },
                    kDefaultBanner},
        VersionCase{"Length4049", [](sim::PlugConfig& c) { c.version = sim::VersionReport::Length4049; },
                    kDefaultBanner},
        // 05 DD 01 02: a 258-byte payload (big-endian length) ahead of the usual report.
        VersionCase{"BigEndianLength",
                    [](sim::PlugConfig& c) { c.framesBefore = {Frame(0x05, 0xDD, kA257 + '\0')}; }, kA257},
        // Frames of other types or codes are cut out and ignored, in pieces too.
        VersionCase{"OtherFramesAround",
                    [](sim::PlugConfig& c) {
                      c.framesBefore = {Frame(0x05, 0xDE, std::string(300, 'x')), Frame(0x07, 0xDD, "yy"),
                                        Frame(0x01, 0x02, "")};
                      c.framesAfter = {Frame(0x05, 0x02, "zz")};
                    },
                    kDefaultBanner},
        VersionCase{"SlowPieces",
                    [](sim::PlugConfig& c) {
                      c.slowPieceBytes = 7;
                      c.slowPieceIntervalMs = 5;
                    },
                    kDefaultBanner}),
    [](const ::testing::TestParamInfo<VersionCase>& param) { return std::string(param.param.name); });

TEST_F(ReportTest, ASecondQueuedReportIsShownAgain) {
  sim::PlugConfig config;
  config.version = sim::VersionReport::Twice;
  TForm1& form = SearchWith(config);
  ASSERT_TRUE(WaitForReport());
  // The second report may already be on its way when the first one stops
  // the reader; then it is shown a second time. Either way the window ends
  // in the report phase with the reader gone.
  ui.PumpUntil([&] { return MemoLines(form).size() == 12; }, std::chrono::milliseconds(200));
  const auto lines = MemoLines(form);
  ASSERT_TRUE(lines.size() == 6 || lines.size() == 12) << lines.size();
  if (lines.size() == 12) {
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.end()), ReportLines(kDefaultBanner));
  }
  EXPECT_TRUE(form.BUpdate->Focused());
  EXPECT_EQ(form.LStatus->Caption(), "Ready");
  EXPECT_EQ(TThread::LiveCount(), 0);
}

TEST_F(ReportTest, OversizedHeaderEndsTheApplicationWithoutDelivery) {
  sim::PlugConfig config;
  config.version = sim::VersionReport::Length4050;
  TForm1& form = SearchWith(config);
  ASSERT_TRUE(ui.PumpUntil([&] { return app.Terminated(); }, std::chrono::milliseconds(3000)));
  // The reader takes nothing after the refused header: the payload that
  // follows it stays at the port, unread, and no frame comes of it.
  EXPECT_TRUE(ui.PumpUntil([&] { return bench.InputWaiting(kCom1) == 4050; }, std::chrono::milliseconds(1000)))
      << bench.InputWaiting(kCom1);
  ui.ProcessMessages();
  EXPECT_EQ(bench.InputWaiting(kCom1), 4050u);
  EXPECT_TRUE(MemoLines(form).empty());
  EXPECT_FALSE(form.BUpdate->Enabled());
  // The refused reader still runs until the exit sequence stops it.
  CloseWindow();
  EXPECT_EQ(Writes(kCom1).back(), kReportEnd);
  EXPECT_EQ(TThread::LiveCount(), 0);
}

}  // namespace
}  // namespace testing_support
