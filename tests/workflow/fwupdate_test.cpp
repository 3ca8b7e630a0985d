// The download loops of TFwUpdate (lines of a stream) and TFwUpdateSA (lines of
// an image): what goes out, and how the gauge, the label and the dots follow.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/main.h"
#include "frontends/console_toolkit.h"
#include "serial/asynccomm.h"
#include "serial/threads.h"
#include "sim/bench.h"
#include "tests/support/seam_fixture.h"
#include "update/fwupdatestringarray.h"

namespace testing_support {
namespace {

const char* const kPort = "\\\\.\\COM1";

class Panel : public TForm {
 public:
  TCGauge* gauge = Add<TCGauge>("CGauge1", TRect{2, 200, 295, 20});
  TLabel* label = Add<TLabel>("LStatus", TRect{8, 176, 281, 13});
};

// The port open on the bench and its TAsyncComm shared, as the window holds
// them during an update; closed again at the end of the scope.
struct Connection {
  explicit Connection(sim::Bench& on) : bench(on), port(on.Open(kPort)), comm(new TAsyncComm(nullptr)) {
    comm->AttachPort(port);
    SharedComm.store(comm);
  }
  ~Connection() {
    SharedComm.store(nullptr);
    delete comm;
    bench.Close(port);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sim::Bench& bench;
  plat::Handle port;
  TAsyncComm* const comm;
};

class DownloadTest : public SeamFixture {
 protected:
  DownloadTest() : SeamFixture(bench) {}
  void SetUp() override {
    bench.AddPort(kPort);  // nothing attached: the bytes only go out
    link.emplace(bench);
    app.CreateForm(&panel);
    oldCout = std::cout.rdbuf(captured.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(oldCout);
    link.reset();
  }

  std::vector<std::string> Writes() {
    std::vector<std::string> out;
    for (const auto& e : bench.Log(kPort)) {
      if (e.op == sim::HostLogEntry::Op::Write) out.emplace_back(e.bytes.begin(), e.bytes.end());
    }
    return out;
  }

  // A temporary file holding text, opened for reading.
  std::FILE* Stream(const std::string& text) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    return f;
  }

  sim::Bench bench;
  Panel panel;
  std::optional<Connection> link;
  std::ostringstream captured;
  std::streambuf* oldCout = nullptr;
};

TEST_F(DownloadTest, SendsEachLineAsItStandsAndMovesTheGaugeOnlyWhenThePercentageRises) {
  TFwUpdate update("fw.hex", 0, panel.gauge, panel.label, 1);
  std::FILE* f = Stream(":00000001FF\nabc\nlast line without feed");
  EXPECT_TRUE(update.Download(200, f));
  std::fclose(f);

  EXPECT_EQ(Writes(), (std::vector<std::string>{":00000001FF\n", "abc\n", "last line without feed"}));
  // The input is dropped just before the last line, and only then: the
  // monitor's prompt after the download answers that line.
  std::vector<sim::HostLogEntry::Op> ops;
  for (const auto& e : bench.Log(kPort)) {
    const bool writing = e.op == sim::HostLogEntry::Op::Write;
    if (writing || (!ops.empty() && e.op == sim::HostLogEntry::Op::Purge)) ops.push_back(e.op);
  }
  using Op = sim::HostLogEntry::Op;
  EXPECT_EQ(ops, (std::vector<Op>{Op::Write, Op::Write, Op::Purge, Op::Write}));
  // 0, 1 and 1 percent: one move to 1, then back to 0.
  EXPECT_EQ(ui.GaugeValues(), (std::vector<int>{1, 0}));
  EXPECT_EQ(captured.str(), ".done\n");
  EXPECT_EQ(ui.StatusTexts(), (std::vector<std::string>{"Downloading File fw.hex", "Ready"}));
}

TEST_F(DownloadTest, CountBelowTheLineNumberClampsTheGaugeAndStillPrintsEachRise) {
  TFwUpdate update("", 0, panel.gauge, panel.label, 1);
  std::FILE* f = Stream("1\n2\n3\n4\n5\n");
  EXPECT_TRUE(update.Download(2, f));
  std::fclose(f);
  EXPECT_EQ(ui.GaugeValues(), (std::vector<int>{50, 100, 0}));
  EXPECT_EQ(captured.str(), ".....done\n");
}

TEST_F(DownloadTest, LongLinesGoOutInPiecesOf255) {
  TFwUpdate update("", 0, nullptr, nullptr, 0);
  const std::string longLine(600, 'A');
  std::FILE* f = Stream(longLine + "\nB\n");
  EXPECT_TRUE(update.Download(4, f));
  std::fclose(f);
  EXPECT_EQ(Writes(), (std::vector<std::string>{std::string(255, 'A'), std::string(255, 'A'),
                                                std::string(90, 'A') + "\n", "B\n"}));
  EXPECT_TRUE(ui.GaugeValues().empty()) << "no gauge given, none touched";
}

TEST_F(DownloadTest, EmptyStreamSendsNothing) {
  TFwUpdate update("", 0, panel.gauge, panel.label, 1);
  std::FILE* f = Stream("");
  EXPECT_TRUE(update.Download(1, f));
  std::fclose(f);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(panel.gauge->Progress(), 0);
  EXPECT_EQ(panel.label->Caption(), "Ready");
  EXPECT_EQ(captured.str(), "done\n");
}

TEST_F(DownloadTest, StopsAtTheFirstLineThatCannotBeWritten) {
  TFwUpdate update("", 0, panel.gauge, panel.label, 0);
  link->comm->WriteFailed = true;  // an earlier write of this connection failed
  std::FILE* f = Stream("1\n2\n3\n");
  EXPECT_FALSE(update.Download(3, f));
  std::fclose(f);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(panel.label->Caption(), "Ready");
  EXPECT_EQ(panel.gauge->Progress(), 0);
}

TEST_F(DownloadTest, ImageOfOneLineMovesTheGaugeOnceTo51) {
  static const char* const kImage[] = {":00000001FF\n", nullptr};
  TFwUpdateSA update("", 0, panel.gauge, panel.label);
  update.Image = kImage;
  EXPECT_TRUE(update.Download(2, nullptr));
  EXPECT_EQ(Writes(), (std::vector<std::string>{":00000001FF\n"}));
  EXPECT_EQ(ui.GaugeValues(), (std::vector<int>{51, 0}));
  EXPECT_EQ(ui.StatusTexts(), (std::vector<std::string>{"Uploading Firmware ... ", "Ready"}));
}

TEST_F(DownloadTest, ImageUploadStopsAtAShortWrite) {
  static const char* const kImage[] = {":00000001FF\n", ":00000001FF\n", nullptr};
  TFwUpdateSA update("", 0, panel.gauge, panel.label);
  update.Image = kImage;
  bench.Close(link->port);  // the port is gone: every write fails at once
  EXPECT_FALSE(update.Download(3, nullptr));
  EXPECT_EQ(ui.Boxes().size(), 1u) << "one write error, then no further line";
  link->port = nullptr;
}

// The monitor answers '>' half way through a load and nothing to the
// end-of-file record, the lines streaming at the line's speed. All 60 lines
// (0.46 s of the line) fit in the driver's queue, so that '>' comes about
// 0.2 s after the last line was handed to the port: it must not pass for the
// answer to the last line.
class FinalPromptTest : public SeamFixture {
 protected:
  FinalPromptTest() : SeamFixture(bench) {}
  sim::Bench bench{sim::Timing::Wire};
};

TEST_F(FinalPromptTest, APromptForALineStillQueuedIsNoAnswerToTheLast) {
  std::vector<const char*> image(FirmwareImage, FirmwareImage + 60);
  image.push_back(":00000001FF\n");
  image.push_back(nullptr);
  std::size_t bytes = 0;
  for (std::size_t i = 0; i + 1 < image.size(); ++i) bytes += std::strlen(image[i]);
  sim::PlugConfig config;
  config.startInMonitor = true;
  config.noFinalPrompt = true;
  config.promptAfter = bytes / 2;
  sim::Plug& plug = bench.Attach(kPort, config);
  Panel panel;
  app.CreateForm(&panel);
  Connection link(bench);
  ASSERT_TRUE(link.comm->SetLine(2, true));
  bench.Escape(link.port, plat::kSetDtr);
  bench.Escape(link.port, plat::kSetRts);
  ASSERT_TRUE(PlugControl().WakeMonitor(300));
  {
    TFwUpdateSA update("", 0, panel.gauge, panel.label);
    update.Image = image.data();
    EXPECT_FALSE(update.UpdateFromImage()) << "an early '>' passed for the final prompt";
  }
  EXPECT_TRUE(plug.LastLoadClean());  // every line arrived; only the answer was missing
}

// An output that, once the progress has reached half way, takes nothing until
// it is released or 5 s have passed: a pipe nobody reads, a console window
// held by a selection.
class HeldOutput final : public std::streambuf {
 public:
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!held_ && std::string(text, static_cast<std::size_t>(count)).find(" 50%") != std::string::npos) {
      held_ = true;
      until_ = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    }
    if (held_) changed_.wait_until(lock, until_, [this] { return released_; });
    text_.append(text, static_cast<std::size_t>(count));
    return count;
  }
  int_type overflow(int_type ch) override {
    const char c = traits_type::to_char_type(ch);
    if (!traits_type::eq_int_type(ch, traits_type::eof())) xsputn(&c, 1);
    return traits_type::not_eof(ch);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  std::chrono::steady_clock::time_point until_{};
  bool released_ = false;
  std::string text_;
};

// The console tool's output blocks for 5 s while the image streams at the
// line's speed: the line stays busy, and once the output moves again every
// status line is there, the progress at its end.
TEST(ConsoleOutputTest, OutputThatBlocksNeitherIdlesTheLineNorLosesAStatusLine) {
  sim::Bench bench(sim::Timing::Wire);
  bench.AddPort(kPort);
  plat::SetSerial(&bench);
  HeldOutput held;
  std::ostream shown(&held);
  tk::OutputQueue queue;
  queue.Attach(shown);
  std::istringstream noInput;
  tk::ConsoleBackend console(shown, noInput, shown);
  tk::SetBackend(&console);
  TApplication app;
  Application = &app;
  {
    Panel panel;
    app.CreateForm(&panel);
    Connection link(bench);
    ASSERT_TRUE(link.comm->SetLine(2, true));
    // About 0.8 s of the line at 57600 baud: 100 lines, a gauge step each.
    std::vector<const char*> image(FirmwareImage, FirmwareImage + 100);
    image.push_back(nullptr);
    TFwUpdateSA update("", 0, panel.gauge, panel.label);
    update.Image = image.data();
    EXPECT_TRUE(update.Download(101, nullptr));
    link.comm->Drain();
    const auto ended = std::chrono::steady_clock::now();

    sim::TimePoint firstWrite{};
    for (const auto& e : bench.Log(kPort)) {
      if (e.op == sim::HostLogEntry::Op::Write) {
        firstWrite = e.time;
        break;
      }
    }
    const sim::WireActivity wire = bench.HostWireActivity(kPort, firstWrite, ended);
    // A character takes 174 us; the driver's queue holds 0.7 s of them.
    EXPECT_LT(wire.longestIdle, std::chrono::milliseconds(50)) << "the line waited for the console";
    held.Release();
    queue.Finish();
  }
  const std::string text = held.Text();
  EXPECT_NE(text.find("[status] Uploading Firmware ... \n"), std::string::npos) << text;
  EXPECT_NE(text.find("100%\n[status] Ready\n"), std::string::npos) << text;
  tk::SetBackend(nullptr);
  Application = nullptr;
  plat::SetSerial(nullptr);
  TThread::JoinAll();
}

}  // namespace
}  // namespace testing_support
