// The Win32 serial backend on real port handles: COM1 and COM2 are the two
// ends of a linked pseudo-terminal pair (with_ptys.sh), so what one port
// writes the other reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/modestring.h"
#include "platform/serial_win32.h"
#include "platform/thread.h"

namespace {

using plat::Handle;

constexpr const char* kCom1 = "\\\\.\\COM1";
constexpr const char* kCom2 = "\\\\.\\COM2";

class Win32SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = api_.Open(kCom1);
    ASSERT_NE(a_, plat::InvalidHandle()) << "COM1: error " << plat::LastError();
    b_ = api_.Open(kCom2);
    ASSERT_NE(b_, plat::InvalidHandle()) << "COM2: error " << plat::LastError();
    for (Handle port : {a_, b_}) {
      plat::Dcb dcb;
      ASSERT_TRUE(api_.GetState(port, dcb));
      ASSERT_TRUE(plat::ApplyModeString(dcb, "baud=115200 parity=N data=8 stop=1"));
      ASSERT_TRUE(api_.SetState(port, dcb));
      ASSERT_TRUE(api_.Purge(port, plat::kPurgeAllFlags));
    }
    rx_.hEvent = api_.NewEvent();
    tx_.hEvent = api_.NewEvent();
    ASSERT_NE(rx_.hEvent, nullptr);
    ASSERT_NE(tx_.hEvent, nullptr);
  }

  void TearDown() override {
    if (a_ != plat::InvalidHandle()) api_.Close(a_);
    if (b_ != plat::InvalidHandle()) api_.Close(b_);
    if (rx_.hEvent != nullptr) api_.CloseEvent(rx_.hEvent);
    if (tx_.hEvent != nullptr) api_.CloseEvent(tx_.hEvent);
    TThread::JoinAll();
  }

  // Writes all of text on port b_ and waits for the write to complete.
  void Send(const std::string& text) {
    std::uint32_t done = 0;
    if (!api_.Write(b_, text.data(), static_cast<std::uint32_t>(text.size()), &done, tx_)) {
      ASSERT_EQ(plat::LastError(), plat::kErrorIoPending);
      ASSERT_TRUE(api_.Result(b_, tx_, &done, true)) << plat::LastError();
    }
    EXPECT_EQ(done, text.size());
  }

  plat::Win32Serial api_;
  Handle a_ = plat::InvalidHandle();
  Handle b_ = plat::InvalidHandle();
  plat::Overlapped rx_;
  plat::Overlapped tx_;
};

// A pseudo-terminal holds only 8 data bits without parity (see
// SmallFramesOnAPseudoTerminal), so the round trip covers what it holds:
// speed, stop bits, flow control.
TEST_F(Win32SerialTest, LineSettingsRoundTrip) {
  struct Case {
    const char* mode;
    bool ctsFlow;
  };
  for (const Case& c : {Case{"baud=1200 parity=N data=8 stop=1", false},
                        Case{"baud=57600 parity=N data=8 stop=2", false},
                        Case{"baud=115200 parity=N data=8 stop=1", true}}) {
    SCOPED_TRACE(c.mode);
    plat::Dcb want;
    ASSERT_TRUE(api_.GetState(a_, want));
    ASSERT_TRUE(plat::ApplyModeString(want, c.mode));
    want.fOutxCtsFlow = c.ctsFlow;
    want.fRtsControl = c.ctsFlow ? plat::kRtsControlHandshake : plat::kRtsControlEnable;
    want.fAbortOnError = want.fNull = want.fErrorChar = true;
    want.XonChar = want.XoffChar = 0;  // as a driver may report them: equal, refused by SetCommState
    plat::ClearLeftoverSettings(want);
    ASSERT_TRUE(api_.SetState(a_, want)) << plat::LastError();
    plat::Dcb got;
    ASSERT_TRUE(api_.GetState(a_, got));
    EXPECT_EQ(got.BaudRate, want.BaudRate);
    EXPECT_EQ(got.ByteSize, want.ByteSize);
    EXPECT_EQ(got.Parity, want.Parity);
    EXPECT_EQ(got.StopBits, want.StopBits);
    EXPECT_EQ(got.fOutxCtsFlow, want.fOutxCtsFlow);
    EXPECT_EQ(got.fOutX, false);
    EXPECT_EQ(got.fInX, false);
    EXPECT_EQ(got.XonChar, 0x11);
    EXPECT_EQ(got.XoffChar, 0x13);
    EXPECT_FALSE(got.fAbortOnError || got.fNull || got.fErrorChar || got.fOutxDsrFlow || got.fDsrSensitivity);
  }
}

// The search's 1200 7N1 and other frames a pseudo-terminal cannot hold: each
// set twice in a row (under Wine the repeated call used to fail with
// ERROR_INVALID_PARAMETER). On a pseudo-terminal under Wine the port runs
// 8 bits at the asked speed; on Windows ports the frame is kept. Bytes pass.
TEST_F(Win32SerialTest, SmallFramesOnAPseudoTerminal) {
  const bool wine = plat::Win32Serial::RunsOnWine();
  for (const char* mode : {"baud=1200 parity=N data=7 stop=1", "baud=2400 parity=E data=7 stop=1",
                           "baud=9600 parity=O data=8 stop=1", "baud=1200 parity=M data=6 stop=1"}) {
    SCOPED_TRACE(mode);
    plat::Dcb want;
    ASSERT_TRUE(api_.GetState(a_, want));
    ASSERT_TRUE(plat::ApplyModeString(want, mode));
    for (int round = 0; round < 2; ++round) {
      EXPECT_TRUE(api_.SetState(a_, want)) << "round " << round << ": error " << plat::LastError();
    }
    plat::Dcb got;
    ASSERT_TRUE(api_.GetState(a_, got));
    EXPECT_EQ(got.BaudRate, want.BaudRate);
    EXPECT_EQ(got.ByteSize, wine ? 8 : want.ByteSize);
    if (!wine) {
      EXPECT_EQ(got.Parity, want.Parity);  // Wine reports a pty's parity unreliably
    }
    EXPECT_EQ(got.StopBits, want.StopBits);
  }
  Send("*PNP");
  char buf[4] = {};
  std::uint32_t done = 0;
  if (!api_.Read(a_, buf, sizeof buf, &done, rx_)) {
    ASSERT_EQ(plat::LastError(), plat::kErrorIoPending);
    ASSERT_TRUE(api_.Result(a_, rx_, &done, true)) << plat::LastError();
  }
  EXPECT_EQ(std::string(buf, done), "*PNP");
  // The bytes passed without a line error; the port has none to clear.
  std::uint32_t errors = 99;
  EXPECT_TRUE(api_.ClearError(a_, &errors)) << plat::LastError();
  EXPECT_EQ(errors, 0u);
}

// Frames no port has stay refused: the fallback above takes only valid ones.
TEST_F(Win32SerialTest, InvalidFramesAreRefused) {
  struct Case {
    std::uint8_t byteSize;
    std::uint8_t parity;
  };
  for (const Case& c : {Case{4, plat::kNoParity}, Case{9, plat::kNoParity}, Case{7, 7}}) {
    SCOPED_TRACE(testing::Message() << int{c.byteSize} << " bits, parity " << int{c.parity});
    plat::Dcb dcb;
    ASSERT_TRUE(api_.GetState(a_, dcb));
    ASSERT_TRUE(plat::ApplyModeString(dcb, "baud=1200 parity=N data=8 stop=1"));
    dcb.ByteSize = c.byteSize;
    dcb.Parity = c.parity;
    EXPECT_FALSE(api_.SetState(a_, dcb));
    EXPECT_TRUE(plat::LastError() == plat::kErrorInvalidParameter ||
                plat::LastError() == plat::kErrorNotSupported)
        << plat::LastError();
  }
}

TEST_F(Win32SerialTest, TimeoutsRoundTrip) {
  plat::CommTimeouts want;
  want.ReadIntervalTimeout = 0;
  want.WriteTotalTimeoutMultiplier = 3;
  want.WriteTotalTimeoutConstant = 2000;
  ASSERT_TRUE(api_.SetTimeouts(a_, want));
  plat::CommTimeouts got;
  got.WriteTotalTimeoutConstant = 1;
  ASSERT_TRUE(api_.GetTimeouts(a_, got));
  EXPECT_EQ(got.WriteTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(got.WriteTotalTimeoutConstant, 2000u);
  EXPECT_EQ(got.ReadTotalTimeoutConstant, 0u);
}

TEST_F(Win32SerialTest, DriverRefusalsPassThrough) {
  // Drivers that take no queue advice or have no modem lines (a pty under
  // Wine) report ERROR_NOT_SUPPORTED: the error reaches the caller unchanged.
  if (!api_.SetupQueues(a_, 4096, 4096)) {
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
  }
  if (!api_.Escape(a_, plat::kSetDtr)) {
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
  }
}

TEST_F(Win32SerialTest, ReadWaitsForEveryByte) {
  char buf[10] = {};
  std::uint32_t done = 99;
  ASSERT_FALSE(api_.Read(a_, buf, sizeof buf, &done, rx_));
  ASSERT_EQ(plat::LastError(), plat::kErrorIoPending);
  EXPECT_EQ(api_.PendingCount(a_, true), 1);
  Send("0123");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(api_.Result(a_, rx_, &done, false)) << "completed with " << done << " bytes";
  Send("456789");
  ASSERT_TRUE(api_.Result(a_, rx_, &done, true)) << plat::LastError();
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(api_.PendingCount(a_, true), 0);
}

TEST_F(Win32SerialTest, ReadOfWaitingBytesCompletes) {
  Send("QUOR PLUG READY");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  char buf[15] = {};
  std::uint32_t done = 0;
  if (!api_.Read(a_, buf, sizeof buf, &done, rx_)) {
    ASSERT_EQ(plat::LastError(), plat::kErrorIoPending);
    ASSERT_TRUE(api_.Result(a_, rx_, &done, true)) << plat::LastError();
  }
  EXPECT_EQ(std::string(buf, done), "QUOR PLUG READY");
}

TEST_F(Win32SerialTest, PurgeRxAbortReleasesBlockedRead) {
  char buf[4];
  std::uint32_t done = 0;
  ASSERT_FALSE(api_.Read(a_, buf, sizeof buf, &done, rx_));
  ASSERT_EQ(plat::LastError(), plat::kErrorIoPending);
  std::atomic<bool> finished{false};
  std::uint32_t error = 0;
  bool result = true;
  std::thread waiter([&] {
    result = api_.Result(a_, rx_, &done, true);
    error = plat::LastError();
    finished = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(finished.load());
  EXPECT_TRUE(api_.Purge(a_, plat::kPurgeRxAbort | plat::kPurgeRxClear));
  waiter.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, plat::kErrorOperationAborted);
  EXPECT_EQ(api_.PendingCount(a_, true), 0);
  // The port still works after the abort.
  Send("ab");
  char two[2] = {};
  if (!api_.Read(a_, two, 2, &done, rx_)) {
    ASSERT_TRUE(api_.Result(a_, rx_, &done, true)) << plat::LastError();
  }
  EXPECT_EQ(std::string(two, 2), "ab");
}

// Reads 4 bytes on a worker thread; optionally waits for a go signal first.
class ReaderThread final : public TThread {
 public:
  ReaderThread(plat::Win32Serial& api, Handle port, plat::Overlapped& ov, bool waitForGo)
      : api_(api), port_(port), ov_(ov), waitForGo_(waitForGo) {}
  ~ReaderThread() override {
    Terminate();
    WaitFor();
  }

  std::atomic<bool> go{false};
  std::atomic<bool> started{false};
  bool ok = true;
  std::uint32_t error = 0;

 protected:
  void Execute() override {
    while (waitForGo_ && !go.load()) plat::Sleep(5);
    char buf[4];
    std::uint32_t done = 0;
    started = true;
    ok = api_.Read(port_, buf, sizeof buf, &done, ov_);
    if (!ok && plat::LastError() == plat::kErrorIoPending) ok = api_.Result(port_, ov_, &done, true);
    error = ok ? 0 : plat::LastError();
  }

 private:
  plat::Win32Serial& api_;
  Handle port_;
  plat::Overlapped& ov_;
  bool waitForGo_;
};

TEST_F(Win32SerialTest, StopRequestEndsWaitingRead) {
  ReaderThread reader(api_, a_, rx_, false);
  reader.Resume();
  while (!reader.started.load()) plat::Sleep(5);
  plat::Sleep(200);
  EXPECT_FALSE(reader.Control()->Finished());
  reader.Terminate();
  reader.WaitFor();
  EXPECT_FALSE(reader.ok);
  EXPECT_EQ(reader.error, plat::kErrorOperationAborted);
  EXPECT_EQ(api_.PendingCount(a_, true), 0);
}

TEST_F(Win32SerialTest, StopBeforeReadStartsEndsItAtOnce) {
  ReaderThread reader(api_, a_, rx_, true);
  reader.Resume();
  reader.Terminate();
  reader.go = true;
  reader.WaitFor();
  EXPECT_FALSE(reader.ok);
  EXPECT_EQ(reader.error, plat::kErrorOperationAborted);
  EXPECT_EQ(api_.PendingCount(a_, true), 0);
}

TEST_F(Win32SerialTest, BadHandlesAreRefused) {
  plat::Dcb dcb;
  for (Handle bad : {Handle{nullptr}, plat::InvalidHandle()}) {
    EXPECT_FALSE(api_.GetState(bad, dcb));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
    EXPECT_FALSE(api_.Purge(bad, plat::kPurgeAllFlags));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  }
  ASSERT_TRUE(api_.Close(b_));
  Handle closed = b_;
  b_ = plat::InvalidHandle();
  EXPECT_FALSE(api_.Purge(closed, plat::kPurgeRxAbort));
  EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  EXPECT_FALSE(api_.Close(closed));
  EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  std::uint32_t errors = 99;
  EXPECT_FALSE(api_.ClearError(closed, &errors));
  EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  EXPECT_EQ(errors, 0u);

  Handle stale = rx_.hEvent;
  ASSERT_TRUE(api_.CloseEvent(rx_.hEvent));
  rx_.hEvent = nullptr;
  EXPECT_FALSE(api_.ResetEvent(stale));
  EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  char buf[1];
  plat::Overlapped noEvent;
  EXPECT_FALSE(api_.Read(a_, buf, 1, nullptr, noEvent));
  EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
}

TEST(Win32SerialOpen, MissingPortIsNotFound) {
  plat::Win32Serial api;
  EXPECT_EQ(api.Open("\\\\.\\COM9"), plat::InvalidHandle());
  EXPECT_EQ(plat::LastError(), plat::kErrorFileNotFound);
}

// A driver may refuse to tell its output queue (ClearCommError fails); a
// file stands in for it. The bytes written last (the monitor exit) may still
// be in the transmitter: the drain still keeps its margin before it says so.
TEST(Win32SerialOpen, DrainKeepsItsMarginWhenTheQueueCannotBeRead) {
  const char* path = "drain_refused.tmp";
  std::ofstream(path) << "x";
  plat::Win32Serial api;
  const Handle h = api.Open(path);
  ASSERT_NE(h, plat::InvalidHandle()) << plat::LastError();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(api.Drain(h, 500));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(plat::LastError(), 0u);
  EXPECT_GE(took, std::chrono::microseconds(plat::DrainMarginMicroseconds(0)));
  api.Close(h);
  std::remove(path);
}

}  // namespace
