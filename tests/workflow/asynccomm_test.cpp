// TAsyncComm: what the other parts of the tool rely on from the serial-port
// object, on the simulated port and, for the error paths, on a scripted one.
#include "serial/asynccomm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/main.h"
#include "discovery/searchplug.h"
#include "platform/modestring.h"
#include "serial/threads.h"
#include "sim/bench.h"
#include "tests/support/seam_fixture.h"
#include "tests/support/scripted_serial.h"

namespace testing_support {
namespace {

const char* const kCom1Name = "\\\\.\\COM1";

class AsyncCommTest : public SeamFixture {
 protected:
  AsyncCommTest() : SeamFixture(bench) { bench.AddPort(kCom1Name); }
  sim::Bench bench;
};

class Reader final : public TThread {
 public:
  Reader(TAsyncComm* comm, int count) : comm_(comm), count_(count) {}
  ~Reader() override { WaitFor(); }
  std::atomic<int> result{-1};
  std::uint8_t buffer[4096] = {};

 protected:
  void Execute() override { result.store(comm_->ReadData(count_, buffer)); }

 private:
  TAsyncComm* comm_;
  int count_;
};

TEST_F(AsyncCommTest, PurgeReleasesABlockedRead) {
  plat::Handle port = bench.Open(kCom1Name);
  TAsyncComm comm(nullptr);
  comm.AttachPort(port);
  Reader reader(&comm, 4);
  reader.Resume();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(reader.result.load(), -1) << "nothing arrived, the read must still wait";
  // A purge releases only a read already made: until the reader thread (which
  // may start late on a busy machine) has made it, purge again.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (reader.result.load() == -1 && std::chrono::steady_clock::now() < limit) {
    comm.PurgeAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (reader.result.load() == -1) {
    ADD_FAILURE() << "a purge did not release the blocked read";
    reader.Terminate();
    comm.PurgeAll();
  }
  reader.WaitFor();
  EXPECT_EQ(reader.result.load(), 0);
  bench.Close(port);
}

TEST_F(AsyncCommTest, StopRequestEndsAReadThatStartsAfterThePurge) {
  plat::Handle port = bench.Open(kCom1Name);
  TAsyncComm comm(nullptr);
  comm.AttachPort(port);
  Reader reader(&comm, 1);
  // Stop and purge before the reader even starts: its read must not block.
  reader.Terminate();
  comm.PurgeAll();
  reader.Resume();
  reader.WaitFor();
  EXPECT_EQ(reader.result.load(), 0);
  EXPECT_TRUE(ui.EventsOf(Event::Kind::Debug).empty()) << "an aborted read is silent";
  bench.Close(port);
}

TEST_F(AsyncCommTest, ReadWaitsForAllItsBytes) {
  // A plug identified and set up, then asked for reports that come in pieces.
  sim::PlugConfig config;
  config.otherReportFirst = false;
  config.slowPieceBytes = 3;
  config.slowPieceIntervalMs = 10;
  bench.Attach(kCom1Name, config);
  auto* comm = new TAsyncComm(nullptr);
  TSuchePlug search(comm, nullptr, false);
  plat::Handle port = search.Probe(kCom1Name);
  ASSERT_NE(port, nullptr);

  const std::string banner = config.banner;
  const int frameSize = 4 + static_cast<int>(banner.size()) + 1;
  Reader reader(comm, frameSize);
  reader.Resume();
  const std::uint8_t request[] = {0x01, 0xF7, 0x00, 0x00};
  ASSERT_EQ(comm->WriteData(4, request), 4);
  reader.WaitFor();
  ASSERT_EQ(reader.result.load(), frameSize);
  EXPECT_EQ(reader.buffer[0], 0x05);
  EXPECT_EQ(reader.buffer[1], 0xDD);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.buffer + 4)), banner);
  delete comm;
  bench.Close(port);
}

struct LineCase {
  int selector;
  bool ctsFlow;
  std::uint32_t baud;
};

class SetLineTest : public AsyncCommTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(SetLineTest, EveryPresetEndsWithoutFlowControl) {
  plat::Handle port = bench.Open(kCom1Name);
  // The line as discovery leaves it: 115200 with RTS/CTS handshaking.
  plat::Dcb dcb;
  ASSERT_TRUE(bench.GetState(port, dcb));
  plat::ApplyModeString(dcb, "baud=115200 parity=N data=8 stop=1");
  dcb.fOutxCtsFlow = true;
  dcb.fRtsControl = plat::kRtsControlHandshake;
  dcb.XonLim = 500;
  dcb.XoffLim = 2000;
  // And what an earlier program may have left on the port.
  dcb.fAbortOnError = dcb.fNull = dcb.fErrorChar = dcb.fDsrSensitivity = true;
  ASSERT_TRUE(bench.SetState(port, dcb));

  TAsyncComm comm(nullptr);
  comm.AttachPort(port);
  ASSERT_TRUE(comm.SetLine(GetParam().selector, GetParam().ctsFlow));
  plat::Dcb after;
  ASSERT_TRUE(bench.GetState(port, after));
  EXPECT_EQ(after.BaudRate, GetParam().baud);
  EXPECT_EQ(after.ByteSize, 8);
  EXPECT_EQ(after.Parity, plat::kNoParity);
  EXPECT_EQ(after.StopBits, plat::kOneStopBit);
  EXPECT_FALSE(after.fOutxCtsFlow);
  EXPECT_FALSE(after.fOutxDsrFlow);
  EXPECT_FALSE(after.fOutX);
  EXPECT_FALSE(after.fInX);
  EXPECT_FALSE(after.fAbortOnError);
  EXPECT_FALSE(after.fNull);
  EXPECT_FALSE(after.fErrorChar);
  EXPECT_FALSE(after.fDsrSensitivity);
  EXPECT_NE(after.fRtsControl, plat::kRtsControlHandshake);
  EXPECT_NE(after.fDtrControl, plat::kDtrControlHandshake);
  EXPECT_EQ(after.XonLim, 500);
  EXPECT_EQ(after.XoffLim, 2000);
  bench.Close(port);
}

INSTANTIATE_TEST_SUITE_P(Presets, SetLineTest,
                         ::testing::Values(LineCase{2, true, 57600}, LineCase{1, false, 115200},
                                           LineCase{3, true, 9600}, LineCase{2, false, 57600}));

TEST_F(AsyncCommTest, UnknownSelectorLeavesThePortAlone) {
  plat::Handle port = bench.Open(kCom1Name);
  TAsyncComm comm(nullptr);
  comm.AttachPort(port);
  const auto before = bench.Log(kCom1Name).size();
  EXPECT_FALSE(comm.SetLine(0, false));
  EXPECT_FALSE(comm.SetLine(4, true));
  for (std::size_t i = before; i < bench.Log(kCom1Name).size(); ++i) {
    EXPECT_NE(bench.Log(kCom1Name)[i].op, sim::HostLogEntry::Op::SetState);
  }
  bench.Close(port);
}

TEST_F(AsyncCommTest, InvalidHandleMeansNoPort) {
  TAsyncComm comm(nullptr);
  comm.AttachPort(plat::InvalidHandle());
  EXPECT_EQ(comm.PortHandle, plat::InvalidHandle());
  std::uint8_t byte = 0;
  EXPECT_EQ(comm.WriteData(1, &byte), 0);
  EXPECT_EQ(comm.ReadData(1, &byte), 0);
  EXPECT_FALSE(comm.SetLine(1, false));
  comm.PurgeAll();
  comm.PurgeInput();
  EXPECT_TRUE(ui.Events().empty()) << "no port: nothing shown, nothing logged";
}

TEST_F(AsyncCommTest, NeverAttachedObjectWritesNothingAndShowsNothing) {
  TAsyncComm comm(nullptr);
  const std::uint8_t byte = 0x55;
  EXPECT_EQ(comm.WriteData(1, &byte), 0);
  EXPECT_TRUE(ui.Events().empty());
  EXPECT_FALSE(comm.WriteFailed);
}

TEST_F(AsyncCommTest, DestroyingTheObjectLeavesThePortOpen) {
  plat::Handle port = bench.Open(kCom1Name);
  {
    TAsyncComm comm(nullptr);
    comm.AttachPort(port);
  }
  EXPECT_TRUE(bench.IsOpen(kCom1Name));
  EXPECT_EQ(bench.LiveEventCount(), 0);
  bench.Close(port);
}

// --- error paths on a scripted port -------------------------------------------

class AsyncCommErrorTest : public SeamFixture {
 protected:
  AsyncCommErrorTest() : SeamFixture(serial) {}
  ScriptedSerial serial;
};

TEST_F(AsyncCommErrorTest, AFailedPendingWriteRefusesTheConnectionsLaterWrites) {
  TAsyncComm comm(nullptr);
  comm.AttachPort(serial.Open(kCom1Name));
  serial.write = ScriptedSerial::WriteOutcome::PendingFails;
  const char data[] = "abc";
  EXPECT_EQ(comm.WriteData(3, data), 0);
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, "Fehler beim Schreiben auf COM");
  EXPECT_EQ(ui.Boxes()[0].caption, "FEHLER");
  EXPECT_EQ(ui.Boxes()[0].value, 0);
  EXPECT_TRUE(ui.EventsOf(Event::Kind::Debug).empty());

  // Later writes on this connection: refused without touching the port.
  serial.write = ScriptedSerial::WriteOutcome::Complete;
  const int calls = serial.writeCalls;
  EXPECT_EQ(comm.WriteData(3, data), 0);
  EXPECT_EQ(serial.writeCalls, calls);
  EXPECT_EQ(ui.Boxes().size(), 1u);

  // A new connection starts clean.
  TAsyncComm next(nullptr);
  next.AttachPort(serial.Open(kCom1Name));
  EXPECT_EQ(next.WriteData(3, data), 3);
}

TEST_F(AsyncCommErrorTest, AWriteFailingAtOnceIsShownEachTimeAndBlocksNothing) {
  TAsyncComm comm(nullptr);
  comm.AttachPort(serial.Open(kCom1Name));
  serial.write = ScriptedSerial::WriteOutcome::FailAtOnce;
  const char data[] = "x";
  EXPECT_EQ(comm.WriteData(1, data), 0);
  EXPECT_EQ(comm.WriteData(1, data), 0);
  EXPECT_EQ(ui.Boxes().size(), 2u);
  EXPECT_EQ(serial.clearErrorCalls.load(), 2) << "a failed write clears the line error";
  const auto debug = ui.EventsOf(Event::Kind::Debug);
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[0].text, "AsyncComm::WriteData Write failed");
  serial.write = ScriptedSerial::WriteOutcome::Complete;
  EXPECT_EQ(comm.WriteData(1, data), 1);
}

TEST_F(AsyncCommErrorTest, AWriteTimeOutGivesTheShortCount) {
  TAsyncComm comm(nullptr);
  comm.AttachPort(serial.Open(kCom1Name));
  serial.write = ScriptedSerial::WriteOutcome::PendingShort;
  const char data[] = "abcd";
  EXPECT_EQ(comm.WriteData(4, data), 3);
  EXPECT_FALSE(comm.WriteFailed);
  EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(AsyncCommErrorTest, AReadFailingAtOnceLeavesItsCodeInTheDebuggerOutput) {
  TAsyncComm comm(nullptr);
  comm.AttachPort(serial.Open(kCom1Name));
  serial.readError = 0x1F;
  char byte;
  EXPECT_EQ(comm.ReadData(1, &byte), 0);
  const auto debug = ui.EventsOf(Event::Kind::Debug);
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0].text, "AsyncComm::ReadData Read failed: GetLastError = 0x1F\n");
}

// A port whose reads fail at once (an adapter pulled out, a driver that
// aborts on error): the readers retry about every 10 ms instead of spinning,
// clear the line error after each failure, and leave one debugger line.
TEST_F(AsyncCommErrorTest, ReadersOnAFailingPortBackOffAndReportOnce) {
  auto* comm = new TAsyncComm(nullptr);
  comm->AttachPort(serial.Open(kCom1Name));
  SharedComm.store(comm);
  serial.readError = plat::kErrorOperationAborted;  // as after a line error with abort on error

  auto* frames = new TReadC99(nullptr);  // frees itself; no frame comes
  const auto control = frames->Control();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  control->RequestStop();
  comm->PurgeAll();
  control->WaitFinished();
  const int frameReads = serial.readCalls.exchange(0);
  EXPECT_GE(frameReads, 3);
  EXPECT_LE(frameReads, 45) << "the frame reader spins";

  PlugControl waits;
  EXPECT_FALSE(waits.WaitForChar('>', 30));  // 300 ms and more
  const int charReads = serial.readCalls.load();
  EXPECT_GE(charReads, 3);
  EXPECT_LE(charReads, 45) << "the character reader spins";

  // One clearing per failed read; a read that meets the stop request is no failure.
  EXPECT_LE(serial.clearErrorCalls.load(), frameReads + charReads);
  EXPECT_GE(serial.clearErrorCalls.load(), frameReads + charReads - 2);
  const auto debug = ui.EventsOf(Event::Kind::Debug);
  ASSERT_EQ(debug.size(), 1u) << "one line for the run of failures, not one per try";
  EXPECT_EQ(debug[0].text, "AsyncComm::ReadData Read failed: GetLastError = 0x3E3\n");
  SharedComm.store(nullptr);
  delete comm;
}

}  // namespace
}  // namespace testing_support
