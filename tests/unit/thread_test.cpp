#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

class CountingThread final : public TThread {
 public:
  explicit CountingThread(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  ~CountingThread() override {
    Terminate();
    WaitFor();
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }
  std::atomic<int> passes{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      passes.fetch_add(1);
      plat::Sleep(1);
    }
  }

 private:
  std::atomic<int>* destroyed_;
};

TEST(Thread, CreatedSuspendedRunsOnlyAfterResume) {
  CountingThread t(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(t.passes.load(), 0);
  t.Resume();
  while (t.passes.load() == 0) std::this_thread::yield();
  t.Terminate();
  t.WaitFor();
  EXPECT_TRUE(t.Control()->Finished());
}

TEST(Thread, FreeOnTerminateDeletesItselfAndCanStillBeWaitedFor) {
  std::atomic<int> destroyed{0};
  auto* t = new CountingThread(&destroyed);
  t->FreeOnTerminate = true;
  auto control = t->Control();
  t->Resume();
  control->RequestStop();
  control->WaitFinished();
  EXPECT_EQ(destroyed.load(), 1);
  TThread::JoinAll();
  EXPECT_EQ(TThread::LiveCount(), 0);
}

TEST(Thread, FinishedSelfFreeingThreadsAreJoinedWhenTheNextStarts) {
  TThread::JoinAll();
  for (int i = 0; i < 3; ++i) {
    auto* t = new CountingThread(nullptr);
    t->FreeOnTerminate = true;
    auto control = t->Control();
    t->Resume();
    control->RequestStop();
    control->WaitFinished();
  }
  EXPECT_GE(TThread::UnjoinedCount(), 1);
  CountingThread next(nullptr);
  next.Resume();
  EXPECT_EQ(TThread::UnjoinedCount(), 1) << "only the running one is left to join";
  next.Terminate();
  next.WaitFor();
  EXPECT_EQ(TThread::UnjoinedCount(), 0);
}

class WakeRecorder : public plat::StopWaker {
 public:
  void WakeForStop() override { woken.store(true); }
  std::atomic<bool> woken{false};
};

TEST(ThreadControl, StopWakesARegisteredWaitAndRefusesLateRegistration) {
  plat::ThreadControl control;
  WakeRecorder waker;
  ASSERT_TRUE(control.ArmWaker(&waker));
  control.RequestStop();
  EXPECT_TRUE(waker.woken.load());
  control.DisarmWaker();
  WakeRecorder late;
  EXPECT_FALSE(control.ArmWaker(&late));
  EXPECT_FALSE(late.woken.load());
}

class ControlProbe final : public TThread {
 public:
  ~ControlProbe() override { WaitFor(); }
  std::atomic<plat::ThreadControl*> seen{nullptr};

 protected:
  void Execute() override { seen.store(plat::CurrentThreadControl()); }
};

TEST(ThreadControl, CurrentControlIsTheRunningThreadsOwn) {
  EXPECT_EQ(plat::CurrentThreadControl(), nullptr);
  ControlProbe t;
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(t.seen.load(), t.Control().get());
}

}  // namespace

namespace {
std::atomic<std::uint32_t> gHooked{0};
void CountingSleep(std::uint32_t ms) { gHooked.fetch_add(ms + 1); }
}  // namespace

TEST(Thread, SleepGoesToItsHookWhileOneIsSet) {
  plat::SetSleepHook(&CountingSleep);
  const auto start = std::chrono::steady_clock::now();
  plat::Sleep(5000);
  plat::Sleep(0);
  const auto hooked = std::chrono::steady_clock::now() - start;
  plat::SetSleepHook(nullptr);
  EXPECT_EQ(gHooked.load(), 5002u);
  EXPECT_LT(hooked, std::chrono::milliseconds(4000));
  const auto before = std::chrono::steady_clock::now();
  plat::Sleep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
  EXPECT_EQ(gHooked.load(), 5002u);
}
