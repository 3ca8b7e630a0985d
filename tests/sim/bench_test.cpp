// The simulated backend's port contract, without the plug's protocol.
#include "sim/bench.h"

#include <gtest/gtest.h>

#include "tests/sim/host.h"
#include "tests/sim/sim_test_util.h"

namespace {

using namespace std::chrono_literals;
using simtest::Host;
using simtest::kCom1;
using simtest::kCom2;
using simtest::ReadThread;


TEST(BenchPorts, OpenFollowsPresenceAndExclusiveAccess) {
  sim::Bench bench;
  bench.Attach(kCom1);
  bench.SetBusy(kCom2);
  struct Case {
    const char* name;
    std::uint32_t error;
  } failing[] = {{kCom2, plat::kErrorAccessDenied}, {"\\\\.\\COM7", plat::kErrorFileNotFound}};
  for (const auto& c : failing) {
    EXPECT_EQ(bench.Open(c.name), plat::InvalidHandle()) << c.name;
    EXPECT_EQ(plat::LastError(), c.error) << c.name;
  }
  const plat::Handle h = bench.Open(kCom1);
  ASSERT_NE(h, plat::InvalidHandle());
  EXPECT_EQ(bench.Open(kCom1), plat::InvalidHandle());
  EXPECT_EQ(plat::LastError(), plat::kErrorAccessDenied);
  EXPECT_TRUE(bench.IsOpen(kCom1));
  EXPECT_EQ(bench.OpenHandleCount(), 1);
  EXPECT_TRUE(bench.Close(h));
  bench.SetAbsent(kCom1);
  EXPECT_EQ(bench.Open(kCom1), plat::InvalidHandle());
  EXPECT_EQ(plat::LastError(), plat::kErrorFileNotFound);
  EXPECT_EQ(bench.OpenCount(kCom1), 1);
  EXPECT_EQ(bench.OpenHandleCount(), 0);
  const auto log = bench.Log(kCom1);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].op, sim::HostLogEntry::Op::Open);
  EXPECT_FALSE(log[1].ok);
  EXPECT_EQ(log[2].op, sim::HostLogEntry::Op::Close);
}

TEST(BenchPorts, StaleAndForeignHandlesAreRefused) {
  sim::Bench bench;
  bench.AddPort(kCom1);
  const plat::Handle h = bench.Open(kCom1);
  const plat::Handle ev = bench.NewEvent();
  ASSERT_TRUE(bench.Close(h));
  const plat::Handle again = bench.Open(kCom1);
  EXPECT_NE(again, h);
  plat::Dcb dcb;
  for (plat::Handle bad : {h, ev, static_cast<plat::Handle>(nullptr), plat::InvalidHandle()}) {
    EXPECT_FALSE(bench.Purge(bad, plat::kPurgeAllFlags));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
    EXPECT_FALSE(bench.GetState(bad, dcb));
    EXPECT_FALSE(bench.Close(bad));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  }
  EXPECT_TRUE(bench.Close(again));
  EXPECT_TRUE(bench.CloseEvent(ev));
}

TEST(BenchPorts, EventsAreCounted) {
  sim::Bench bench;
  const plat::Handle a = bench.NewEvent();
  const plat::Handle b = bench.NewEvent();
  EXPECT_NE(a, b);
  EXPECT_EQ(bench.LiveEventCount(), 2);
  EXPECT_TRUE(bench.ResetEvent(a));
  EXPECT_TRUE(bench.CloseEvent(a));
  EXPECT_FALSE(bench.CloseEvent(a));
  EXPECT_EQ(plat::LastError(), plat::kErrorInvalidHandle);
  EXPECT_FALSE(bench.ResetEvent(a));
  EXPECT_EQ(bench.LiveEventCount(), 1);
  EXPECT_TRUE(bench.CloseEvent(b));
  EXPECT_EQ(bench.LiveEventCount(), 0);
}

TEST(BenchPorts, SettingsLinesAndLog) {
  sim::Bench bench;
  bench.AddPort(kCom1);
  {
    Host host(bench, kCom1);
    host.Line("baud=57600 parity=E data=7 stop=2");
    plat::Dcb d;
    ASSERT_TRUE(bench.GetState(host.Port(), d));
    EXPECT_EQ(d.BaudRate, 57600u);
    EXPECT_EQ(d.Parity, plat::kEvenParity);
    EXPECT_TRUE(bench.Dtr(kCom1));
    EXPECT_TRUE(bench.Rts(kCom1));
    EXPECT_TRUE(bench.Escape(host.Port(), plat::kClrRts));
    EXPECT_FALSE(bench.Rts(kCom1));
    EXPECT_FALSE(bench.Escape(host.Port(), 99));
    d.ByteSize = 9;
    EXPECT_FALSE(bench.SetState(host.Port(), d));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidParameter);
    plat::CommTimeouts t;
    t.WriteTotalTimeoutConstant = 500;
    EXPECT_TRUE(bench.SetTimeouts(host.Port(), t));
    EXPECT_TRUE(bench.GetTimeouts(host.Port(), t));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 500u);
    EXPECT_TRUE(bench.SetupQueues(host.Port(), 4096, 4096));
    bench.SetSetupQueuesFails(true);
    EXPECT_FALSE(bench.SetupQueues(host.Port(), 4096, 4096));
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
    EXPECT_TRUE(host.Write("abc"));
    EXPECT_TRUE(host.Write("de"));
  }
  EXPECT_FALSE(bench.Dtr(kCom1));  // closing drops the lines
  EXPECT_EQ(bench.HostBytes(kCom1), simtest::Bytes("abcde"));
  std::vector<sim::HostLogEntry::Op> ops;
  for (const auto& e : bench.Log(kCom1)) ops.push_back(e.op);
  using Op = sim::HostLogEntry::Op;
  const std::vector<Op> expected{Op::Open,        Op::SetState,    Op::Escape,      Op::Escape,
                                 Op::SetState,    Op::SetTimeouts, Op::SetupQueues, Op::SetupQueues,
                                 Op::Write,       Op::Write,       Op::Close};
  EXPECT_EQ(ops, expected);
  EXPECT_EQ(bench.Log(kCom1)[8].dcb.BaudRate, 57600u);
}

TEST(BenchReads, PurgeAbortsAPendingRead) {
  sim::Bench bench;
  bench.AddPort(kCom1);
  Host host(bench, kCom1);
  ReadThread r(bench, host.Port(), 4, 4);
  r.Resume();
  plat::Sleep(50);
  EXPECT_FALSE(r.Control()->Finished());
  // A purge aborts only a read already made: until the reader thread (which
  // may start late on a busy machine) has made it, purge again.
  const auto limit = sim::Clock::now() + 5s;
  while (!r.Control()->Finished() && sim::Clock::now() < limit) {
    EXPECT_TRUE(bench.Purge(host.Port(), plat::kPurgeRxAbort | plat::kPurgeRxClear));
    plat::Sleep(5);
  }
  ASSERT_TRUE(r.Control()->Finished()) << "a purge did not abort the pending read";
  r.WaitFor();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, plat::kErrorOperationAborted);
}

TEST(BenchReads, StopRequestAbortsReadsBeforeAndDuring) {
  sim::Bench bench;
  bench.AddPort(kCom1);
  Host host(bench, kCom1);
  {
    ReadThread during(bench, host.Port(), 1, 1);
    during.Resume();
    plat::Sleep(30);
    during.Terminate();
    during.WaitFor();
    EXPECT_FALSE(during.ok);
    EXPECT_EQ(during.error, plat::kErrorOperationAborted);
  }
  {
    ReadThread after(bench, host.Port(), 1, 1);
    after.waitForStop = true;  // the stop comes before the read starts
    after.Resume();
    after.Terminate();
    after.WaitFor();
    EXPECT_FALSE(after.ok);
    EXPECT_EQ(after.error, plat::kErrorOperationAborted);
  }
  EXPECT_EQ(TThread::LiveCount(), 0);
}

TEST(BenchReads, ResultWithoutWaitReportsIncomplete) {
  sim::Bench bench;
  bench.AddPort(kCom1);
  Host host(bench, kCom1);
  plat::Overlapped ov;
  ov.hEvent = bench.NewEvent();
  std::uint8_t buf[2];
  std::uint32_t done = 7;
  EXPECT_FALSE(bench.Read(host.Port(), buf, 2, &done, ov));
  EXPECT_EQ(plat::LastError(), plat::kErrorIoPending);
  EXPECT_FALSE(bench.Read(host.Port(), buf, 2, &done, ov));  // one read at a time
  EXPECT_FALSE(bench.Result(host.Port(), ov, &done, false));
  EXPECT_EQ(plat::LastError(), plat::kErrorIoIncomplete);
  EXPECT_TRUE(bench.Purge(host.Port(), plat::kPurgeRxAbort));
  EXPECT_FALSE(bench.Result(host.Port(), ov, &done, false));
  EXPECT_EQ(plat::LastError(), plat::kErrorOperationAborted);
  EXPECT_TRUE(bench.Read(host.Port(), buf, 0, &done, ov));
  EXPECT_TRUE(bench.CloseEvent(ov.hEvent));
}

TEST(BenchWire, WritesTakeLineTimeAndTimeOut) {
  sim::Bench bench(sim::Timing::Wire);
  bench.AddPort(kCom1);
  bench.SetOutQueueSize(4);
  Host host(bench, kCom1);
  host.Line("baud=1200 parity=N data=8 stop=1");  // 8.33 ms a character
  std::uint32_t done = 0;
  const auto start = sim::Clock::now();
  EXPECT_TRUE(host.Write("12345678", &done));
  EXPECT_EQ(done, 8u);
  EXPECT_GE(sim::Clock::now() - start, 25ms);  // four characters had to leave first

  // Within a 20 ms time-out: at least the 2 characters that leave a full
  // queue in 20 ms make room; at most an empty queue's 4 and the 3 that can
  // start in 20 ms. However late the host takes the result, the count is
  // what fitted by the time-out.
  plat::CommTimeouts t;
  t.WriteTotalTimeoutConstant = 20;
  ASSERT_TRUE(bench.SetTimeouts(host.Port(), t));
  EXPECT_TRUE(host.Write(std::string(40, 'x'), &done));
  EXPECT_GE(done, 2u);
  EXPECT_LE(done, 7u);
}

// The transmitter's record: characters back to back form one busy span; the
// host's pause shows as an idle stretch that ends where its next write begins.
TEST(BenchWire, HostWireActivityShowsBusySpansAndIdleStretches) {
  sim::Bench bench(sim::Timing::Wire);
  bench.AddPort(kCom1);
  Host host(bench, kCom1);
  host.Line("baud=9600 parity=N data=8 stop=1");
  plat::Dcb d;
  ASSERT_TRUE(bench.GetState(host.Port(), d));
  const auto ch = sim::CharTime(d);  // 1.04 ms
  const auto t0 = sim::Clock::now();
  ASSERT_TRUE(host.Write("abcd"));
  // A pause far longer than the backend may lag behind on a busy machine
  // (tens of milliseconds), so that the two writes stay apart on the wire.
  plat::Sleep(200);
  const auto secondWrite = sim::Clock::now();
  ASSERT_TRUE(host.Write("ef"));
  // Until the wire has taken both and run dry.
  auto t1 = sim::Clock::now();
  for (int i = 0; i < 1000 && bench.HostWireActivity(kCom1, t0, t1).busy < 6 * ch; ++i) {
    plat::Sleep(5);
    t1 = sim::Clock::now();
  }

  const auto all = bench.HostWireActivity(kCom1, t0, t1);
  EXPECT_EQ(all.busy, 6 * ch);
  ASSERT_TRUE(all.ranDryAt.has_value());
  EXPECT_LE(*all.ranDryAt, t1);
  // "abcd" alone, before "ef" was written.
  const auto first = bench.HostWireActivity(kCom1, t0, secondWrite);
  EXPECT_EQ(first.busy, 4 * ch);
  ASSERT_TRUE(first.ranDryAt.has_value());

  // Up to the end of "ef": the pause is the longest stretch, from the end of
  // "abcd", and "e" went out when it was written, not earlier.
  const auto upload = bench.HostWireActivity(kCom1, t0, *all.ranDryAt);
  EXPECT_EQ(upload.busy, 6 * ch);
  EXPECT_EQ(upload.ranDryAt, all.ranDryAt);
  EXPECT_EQ(upload.longestIdleFrom, *first.ranDryAt);
  EXPECT_GE(upload.longestIdle, secondWrite - *first.ranDryAt);
  const auto secondStart = upload.longestIdleFrom + upload.longestIdle;
  EXPECT_EQ(secondStart + 2 * ch, *all.ranDryAt);
  EXPECT_GE(secondStart, secondWrite);
  EXPECT_GE(upload.idleStretches, 1);
  EXPECT_LE(upload.idleStretches, 2);  // and the moment between t0 and the first write

  // A window is clipped at both ends.
  const auto gap = upload.longestIdleFrom;
  const auto clipped = bench.HostWireActivity(kCom1, gap - 2 * ch, gap + 5ms);
  EXPECT_EQ(clipped.busy, 2 * ch);
  EXPECT_EQ(clipped.idleStretches, 1);
  EXPECT_EQ(clipped.longestIdleFrom, gap);
  EXPECT_EQ(clipped.longestIdle, 5ms);
  EXPECT_EQ(clipped.ranDryAt, gap);

  // Before anything was sent, and on a port without traffic: all idle.
  for (const char* port : {kCom1, kCom2}) {
    const auto quiet = bench.HostWireActivity(port, t0 - 1s, t0);
    EXPECT_EQ(quiet.busy, 0ns) << port;
    EXPECT_EQ(quiet.idleStretches, 1) << port;
    EXPECT_EQ(quiet.longestIdle, 1s) << port;
    EXPECT_FALSE(quiet.ranDryAt.has_value()) << port;
  }
  EXPECT_EQ(bench.HostWireActivity(kCom1, t1, t0).busy, 0ns);
}

// With a small output queue a write returns while its last bytes are still
// queued; a host that writes again at once keeps the line busy.
TEST(BenchWire, SmallQueueWritesBackToBackLeaveNoGap) {
  sim::Bench bench(sim::Timing::Wire);
  bench.AddPort(kCom1);
  bench.SetOutQueueSize(8);
  Host host(bench, kCom1);
  host.Line("baud=1200 parity=N data=8 stop=1");
  plat::Dcb d;
  ASSERT_TRUE(bench.GetState(host.Port(), d));
  const auto ch = sim::CharTime(d);  // 8.33 ms: 8 queued characters give the host 67 ms
  const auto t0 = sim::Clock::now();
  ASSERT_TRUE(host.Write(std::string(20, 'a')));
  EXPECT_GE(sim::Clock::now() - t0, 12 * ch);  // all but the last 8 had to leave
  ASSERT_TRUE(host.Write(std::string(20, 'b')));
  const auto end = t0 + 40 * ch + 200ms;
  while (sim::Clock::now() < end && !bench.HostWireActivity(kCom1, t0, sim::Clock::now()).ranDryAt) {
    plat::Sleep(5);
  }
  const auto a = bench.HostWireActivity(kCom1, t0, sim::Clock::now());
  ASSERT_TRUE(a.ranDryAt.has_value());
  const auto span = bench.HostWireActivity(kCom1, *a.ranDryAt - 40 * ch, *a.ranDryAt);
  EXPECT_EQ(span.busy, 40 * ch);
  EXPECT_EQ(span.idleStretches, 0);
}

// A purge of the output or a close cannot call back the character that is on
// the wire; what waits behind it is dropped, and a close returns once it has
// arrived.
TEST(BenchWire, PurgeAndCloseLeaveTheCharacterOnTheWire) {
  sim::Bench bench(sim::Timing::Wire);
  bench.AddPort(kCom1);
  sim::TimePoint closed;
  std::chrono::nanoseconds ch{};
  const auto t0 = sim::Clock::now();
  {
    Host host(bench, kCom1);
    host.Line("baud=1200 parity=N data=8 stop=1");
    plat::Dcb d;
    ASSERT_TRUE(bench.GetState(host.Port(), d));
    ch = sim::CharTime(d);  // 8.33 ms
    ASSERT_TRUE(host.Write("abcd"));
    ASSERT_TRUE(bench.Purge(host.Port(), plat::kPurgeTxAbort | plat::kPurgeTxClear));
    plat::Sleep(30);
    ASSERT_TRUE(host.Write("ef"));
  }  // closes
  closed = sim::Clock::now();
  const auto a = bench.HostWireActivity(kCom1, t0, closed + 50ms);
  EXPECT_EQ(a.busy, 2 * ch);  // "a" and "e"
  ASSERT_TRUE(a.ranDryAt.has_value());
  EXPECT_LE(*a.ranDryAt, closed);
  EXPECT_EQ(a.idleStretches, 3);
  EXPECT_FALSE(bench.Dtr(kCom1));
  EXPECT_EQ(bench.HostBytes(kCom1), simtest::Bytes("abcdef"));
}

// A drain before the purge lets every queued character reach the wire.
TEST(BenchWire, DrainBeforeThePurgeKeepsEveryCharacter) {
  sim::Bench bench(sim::Timing::Wire);
  bench.AddPort(kCom1);
  const auto t0 = sim::Clock::now();
  std::chrono::nanoseconds ch{};
  {
    Host host(bench, kCom1);
    host.Line("baud=1200 parity=N data=8 stop=1");
    plat::Dcb d;
    ASSERT_TRUE(bench.GetState(host.Port(), d));
    ch = sim::CharTime(d);
    ASSERT_TRUE(host.Write("abcd"));
    ASSERT_TRUE(bench.Drain(host.Port(), 1000));
    ASSERT_TRUE(bench.Purge(host.Port(), plat::kPurgeAllFlags));
  }
  const auto a = bench.HostWireActivity(kCom1, t0, sim::Clock::now());
  EXPECT_EQ(a.busy, 4 * ch);
  // Held back longer than its time allows, a drain gives up.
  Host host(bench, kCom1);
  host.Line("baud=1200 parity=N data=8 stop=1");
  ASSERT_TRUE(host.Write("0123456789"));
  EXPECT_FALSE(bench.Drain(host.Port(), 5));
  EXPECT_EQ(plat::LastError(), plat::kErrorSemTimeout);
}

}  // namespace
