// The plug on the simulated backend, driven in real time the way the tool
// drives it: identification, setup, reports, boot monitor, upload faults.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/bench.h"
#include "tests/sim/host.h"
#include "tests/sim/sim_test_util.h"

namespace {

using namespace std::chrono_literals;
using simtest::Frame;
using simtest::Host;
using simtest::kCom1;

const std::string kDefaultId = sim::BuildIdentifier("1011", sim::PlugConfig{}.idExtras);


// Identification and setup; leaves the host in command mode.
void ToCommand(Host& host, const std::string& id = kDefaultId) {
  host.Identify();
  ASSERT_EQ(host.Read(static_cast<std::uint32_t>(id.size())), id);
  host.ToSetupLine();
  ASSERT_TRUE(host.Write("QUOR PLUG SETUP"));
  ASSERT_EQ(host.Read(15), "QUOR PLUG READY");
}

// Monitor request and report end with the pauses the plug needs to switch.
void LeaveReports(Host& host) {
  ASSERT_TRUE(host.Write(std::string("\x01\xF8\x00\x00", 4)));
  plat::Sleep(100);
  ASSERT_TRUE(host.Write(std::string("\x01\xF6\x00\x00", 4)));
  plat::Sleep(1000);
}

void ToMonitorPrompt(Host& host) {
  ToCommand(host);
  LeaveReports(host);
  host.ToMonitorLine();
  ASSERT_TRUE(host.Write("\x1B\x1B"));
  ASSERT_EQ(host.Read(1), ">");
}

void EraseAll(Host& host) {
  ASSERT_TRUE(host.Write("e"));
  ASSERT_EQ(host.Read(1), ":");
  ASSERT_TRUE(host.Write("10000\r"));
  ASSERT_EQ(host.Read(1), ":");
  ASSERT_TRUE(host.Write("37fff\r"));
  ASSERT_EQ(host.Read(1), ">");
}

// HEX text split into its lines, each with its '\n'.
std::vector<std::string> Lines(const std::string& hex) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < hex.size()) {
    const std::size_t end = hex.find('\n', start);
    lines.push_back(hex.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

TEST(FlowIdentification, IdentifierArrivesInOrderAt1200BaudTiming) {
  sim::Bench bench;
  sim::Plug& plug = bench.Attach(kCom1);
  Host host(bench, kCom1);
  host.Identify();
  const auto rtsAt = sim::Clock::now();
  const std::string got = host.Read(static_cast<std::uint32_t>(kDefaultId.size()), 1500ms, 1);
  EXPECT_EQ(got, kDefaultId);
  ASSERT_EQ(host.lastTimes.size(), kDefaultId.size());
  EXPECT_TRUE(plug.Violations().empty());
  ASSERT_TRUE(plug.IdentAnsweredAt());
  const sim::TimePoint rose = *plug.IdentAnsweredAt();
  EXPECT_LE(rose, rtsAt);
  // Measured from the moment RTS rose, as the plug saw it: the first
  // character starts 10 ms later and takes 7.5 ms (1200 baud, 9 bits), each
  // further one 7.5 ms more. A late reader only adds to what it measures, so
  // these bounds hold exactly, however busy the machine.
  const auto ch = 7500us;
  for (std::size_t i = 0; i < host.lastTimes.size(); ++i) {
    EXPECT_GE(host.lastTimes[i] - rose, 10ms + ch * static_cast<int>(i + 1)) << "character " << i + 1;
  }
  // How late the reader takes them depends on the machine, not on the wire:
  // the due times themselves are checked in the plug's model (PlugIdentification).
}

TEST(FlowIdentification, WrongLineOrMissingStepGivesNoAnswer) {
  sim::Bench bench;
  sim::Plug& plug = bench.Attach(kCom1);
  Host host(bench, kCom1);
  host.Identify("baud=1200 parity=N data=8 stop=1");
  EXPECT_EQ(host.Read(1, 300ms), "");
  EXPECT_EQ(plug.Violations().size(), 1u);

  host.Line("baud=1200 parity=N data=7 stop=1", false, plat::kRtsControlDisable,
            plat::kDtrControlDisable);
  ASSERT_TRUE(bench.Escape(host.Port(), plat::kSetDtr));
  plat::Sleep(200);
  ASSERT_TRUE(bench.Escape(host.Port(), plat::kSetRts));  // DTR off/on left out
  EXPECT_EQ(host.Read(1, 300ms), "");
  EXPECT_EQ(plug.Violations().size(), 2u);
  EXPECT_EQ(plug.IdentAnswers(), 0);
}

TEST(FlowIdentification, HostWithEightDataBitsReadsHighBitSetAndPurgeClears) {
  sim::Bench bench;
  bench.Attach(kCom1);
  Host host(bench, kCom1);
  host.Identify();
  host.Line("baud=1200 parity=N data=8 stop=1", false, plat::kRtsControlEnable);
  const std::string got = host.Read(4);
  ASSERT_EQ(got.size(), 4u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(got[i]), static_cast<std::uint8_t>(kDefaultId[i]) | 0x80u);
  }
  plat::Sleep(300);  // the rest of the identifier is in the input queue now
  ASSERT_TRUE(bench.Purge(host.Port(), plat::kPurgeRxClear));
  EXPECT_EQ(host.Read(1, 100ms), "");
  EXPECT_EQ(host.lastError, plat::kErrorOperationAborted);
}

// A port an earlier program left with abort on error and NUL stripping on:
// the plug's power-up framing error stops every transfer until ClearError,
// and the zeros of the report frames never arrive.
TEST(FlowIdentification, LeftoverAbortOnErrorAndNulStripping) {
  sim::Bench bench;
  bench.Attach(kCom1);
  sim::AdapterFaults faults;
  plat::Dcb left;
  left.BaudRate = 9600;
  left.fAbortOnError = left.fNull = true;
  faults.leftover = left;
  faults.framingErrorOnPowerUp = true;
  bench.SetAdapterFaults(kCom1, faults);
  Host host(bench, kCom1);
  host.Identify();
  EXPECT_EQ(host.Read(1, 300ms), "");
  EXPECT_EQ(host.lastError, plat::kErrorOperationAborted);
  EXPECT_FALSE(host.Write("x"));
  EXPECT_EQ(plat::LastError(), plat::kErrorOperationAborted);
  std::uint32_t errors = 0;
  ASSERT_TRUE(bench.ClearError(host.Port(), &errors));
  EXPECT_EQ(errors, plat::kCeFrame);
  EXPECT_EQ(host.Read(static_cast<std::uint32_t>(kDefaultId.size())), kDefaultId) << "it waited in the input";

  host.ToSetupLine();
  ASSERT_TRUE(host.Write("QUOR PLUG SETUP"));
  ASSERT_EQ(host.Read(15), "QUOR PLUG READY");
  ASSERT_TRUE(host.Write(std::string("\x01\xF7\x00\x00", 4)));
  std::string frames = Frame(0x01, std::string("\x00\x01", 2)) + Frame(0xDD, sim::PlugConfig{}.banner + '\0');
  frames.erase(std::remove(frames.begin(), frames.end(), '\0'), frames.end());
  EXPECT_EQ(host.Read(static_cast<std::uint32_t>(frames.size())), frames);
  EXPECT_EQ(host.Read(1, 200ms), "");
}

TEST(FlowUpdate, SetupReportsEraseLoadExitAndRestart) {
  sim::Bench bench;
  sim::Plug& plug = bench.Attach(kCom1);
  const std::string banner = sim::PlugConfig{}.banner;
  Host host(bench, kCom1);
  ToCommand(host);
  ASSERT_TRUE(host.Write(std::string("\x01\xF7\x00\x00", 4)));
  const std::string expected = Frame(0x01, std::string("\x00\x01", 2)) + Frame(0xDD, banner + '\0');
  EXPECT_EQ(host.Read(static_cast<std::uint32_t>(expected.size())), expected);
  LeaveReports(host);
  EXPECT_EQ(plug.CurrentMode(), sim::Mode::Monitor);
  host.ToMonitorLine();
  ASSERT_TRUE(host.Write("\x1B\x1B"));
  ASSERT_EQ(host.Read(1), ">");
  EraseAll(host);

  const auto img = simtest::MakeImage(300);
  ASSERT_TRUE(host.Write("l"));
  ASSERT_EQ(host.Read(1), "d");
  for (const auto& line : Lines(simtest::ToHex(sim::kFlashBase, img))) ASSERT_TRUE(host.Write(line));
  EXPECT_EQ(host.Read(1), ">");
  ASSERT_TRUE(host.Write("x"));

  std::vector<std::uint8_t> flash(sim::kFlashSize, 0xFF);
  std::copy(img.begin(), img.end(), flash.begin());
  EXPECT_EQ(plug.Flash(), flash);
  EXPECT_EQ(plug.ExitCount(), 1);
  EXPECT_EQ(plug.EraseCount(), 1);
  EXPECT_EQ(plug.Banner(), simtest::kNewBanner);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();

  // After the restart the plug identifies itself again and reports the new banner.
  host.Line("baud=1200 parity=N data=7 stop=1", false, plat::kRtsControlDisable,
            plat::kDtrControlDisable);
  ToCommand(host);
  ASSERT_TRUE(host.Write(std::string("\x01\xF7\x00\x00", 4)));
  const std::string again = Frame(0x01, std::string("\x00\x01", 2)) + Frame(0xDD, std::string(simtest::kNewBanner) + '\0');
  EXPECT_EQ(host.Read(static_cast<std::uint32_t>(again.size())), again);
  EXPECT_EQ(plug.IdentAnswers(), 2);
  EXPECT_TRUE(plug.Violations().empty());
}

TEST(FlowUpdate, WriteErrorFailsThePendingWrite) {
  sim::Bench bench;
  sim::PlugConfig cfg;
  cfg.writeErrorAfter = 50;
  sim::Plug& plug = bench.Attach(kCom1, cfg);
  Host host(bench, kCom1);
  ToMonitorPrompt(host);
  EraseAll(host);
  ASSERT_TRUE(host.Write("l"));
  ASSERT_EQ(host.Read(1), "d");
  const std::string hex = simtest::ToHex(sim::kFlashBase, simtest::MakeImage(64));
  std::uint32_t done = 0;
  EXPECT_FALSE(host.Write(hex.substr(0, 100), &done));
  EXPECT_EQ(plat::LastError(), plat::kErrorGenFailure);
  EXPECT_EQ(done, 50u);
  EXPECT_EQ(plug.UploadBytes(), 50u);
  EXPECT_TRUE(host.Write(hex.substr(100)));  // the port itself still works
}

TEST(FlowUpdate, UnplugFailsEverythingOnTheHandle) {
  sim::Bench bench;
  sim::PlugConfig cfg;
  cfg.unplugAfter = 30;
  sim::Plug& plug = bench.Attach(kCom1, cfg);
  Host host(bench, kCom1);
  ToMonitorPrompt(host);
  EraseAll(host);
  ASSERT_TRUE(host.Write("l"));
  ASSERT_EQ(host.Read(1), "d");

  simtest::ReadThread reader(bench, host.Port(), 1, 1);
  reader.Resume();
  plat::Sleep(20);
  const std::string hex = simtest::ToHex(sim::kFlashBase, simtest::MakeImage(64));
  EXPECT_FALSE(host.Write(hex));
  EXPECT_EQ(plat::LastError(), plat::kErrorBadCommand);
  reader.WaitFor();
  EXPECT_FALSE(reader.ok);
  EXPECT_EQ(reader.error, plat::kErrorBadCommand);

  plat::Dcb d;
  EXPECT_FALSE(bench.GetState(host.Port(), d));
  EXPECT_EQ(plat::LastError(), plat::kErrorBadCommand);
  EXPECT_FALSE(bench.Purge(host.Port(), plat::kPurgeAllFlags));
  EXPECT_EQ(plat::LastError(), plat::kErrorBadCommand);
  EXPECT_FALSE(host.Write("x"));
  EXPECT_EQ(plat::LastError(), plat::kErrorBadCommand);
  EXPECT_TRUE(bench.Unplugged(kCom1));
  EXPECT_FALSE(plug.Powered());
  EXPECT_EQ(bench.Open(kCom1), plat::InvalidHandle());
  EXPECT_EQ(plat::LastError(), plat::kErrorFileNotFound);
}

TEST(FlowWire, UpdateOverTheTimedWire) {
  sim::Bench bench(sim::Timing::Wire);
  sim::Plug& plug = bench.Attach(kCom1);
  Host host(bench, kCom1);
  ToCommand(host);
  const auto start = sim::Clock::now();
  ASSERT_TRUE(host.Write(std::string("\x01\xF7\x00\x00", 4)));
  const std::string banner = sim::PlugConfig{}.banner;
  const std::string expected = Frame(0x01, std::string("\x00\x01", 2)) + Frame(0xDD, banner + '\0');
  EXPECT_EQ(host.Read(static_cast<std::uint32_t>(expected.size())), expected);
  // 4 + 81 characters of 10 bits at 115200 baud.
  EXPECT_GE(sim::Clock::now() - start, 7ms);
  LeaveReports(host);
  host.ToMonitorLine();
  ASSERT_TRUE(host.Write("\x1B\x1B"));
  ASSERT_EQ(host.Read(1), ">");
  EraseAll(host);
  const auto img = simtest::MakeImage(100);
  ASSERT_TRUE(host.Write("l"));
  ASSERT_EQ(host.Read(1), "d");
  for (const auto& line : Lines(simtest::ToHex(sim::kFlashBase, img))) ASSERT_TRUE(host.Write(line));
  EXPECT_EQ(host.Read(1, 3000ms), ">");
  ASSERT_TRUE(host.Write("x"));
  // The 'x' takes 0.2 ms of the line, but the bench's clock thread may hand it
  // to the plug tens of ms late on a busy machine: the queue empties only as
  // the plug takes it.
  ASSERT_TRUE(bench.Drain(host.Port(), 2000));
  EXPECT_EQ(plug.ExitCount(), 1);
  EXPECT_EQ(plug.Banner(), simtest::kNewBanner);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
}

}  // namespace
