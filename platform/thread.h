// The worker-thread seam: a small thread class in the style of a desktop
// toolkit's thread class, built on std::thread.
//
// - A TThread is created suspended; Resume() starts it. Classes that are
//   "created running" call Resume() as the last step of their constructor
//   (they are final, so the thread never sees a half-built object).
// - Terminate() only sets the stop request, which Execute() polls. A blocking
//   port read of the thread also ends on the stop request (see ThreadControl).
// - FreeOnTerminate: the object deletes itself when Execute() returns. Keep
//   Control() to stop it or wait for its end after that.
// - Every thread is joined: WaitFor() for one, TThread::JoinAll() for all that
//   are left (program exit, test teardown); threads that have finished are
//   also joined whenever another one starts. LiveCount() tells how many have
//   not finished yet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace plat {

// Something that a blocking wait registers so that a stop request can end it.
class StopWaker {
 public:
  virtual void WakeForStop() = 0;

 protected:
  ~StopWaker() = default;
};

// The shared, outliving part of a worker thread: its stop request and its end.
class ThreadControl {
 public:
  void RequestStop();
  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }

  // Registers the waker of a blocking wait on the controlled thread. Returns
  // false, registering nothing, when a stop has been requested already; the
  // wait must then not block. A stop requested while the waker is registered
  // calls WakeForStop() (under an internal lock: the waker must not call back
  // into this object).
  bool ArmWaker(StopWaker* waker);
  void DisarmWaker();

  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  void WaitFinished();
  void MarkFinished();

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::mutex mutex_;
  std::condition_variable finishedCv_;
  StopWaker* waker_ = nullptr;
};

// The control of the TThread that runs the calling code, or null on a thread
// that no TThread runs (the GUI thread, a test's main thread).
ThreadControl* CurrentThreadControl();

// Sleeps the calling thread; 0 yields the processor.
void Sleep(std::uint32_t milliseconds);

// Replaces what Sleep() does, for drivers that run the system's code faster
// than real time (null: the real sleep). Set it while no other thread runs.
using SleepHook = void (*)(std::uint32_t milliseconds);
void SetSleepHook(SleepHook hook);

}  // namespace plat

class TThread {
 public:
  TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // A thread that is still running is stopped and waited for. Classes whose
  // Execute() uses their own members must do that in their own destructor.
  virtual ~TThread();

  void Resume();
  void Terminate() { control_->RequestStop(); }
  bool Terminated() const { return control_->StopRequested(); }
  // Waits until Execute() has returned and the thread has been joined. Not for
  // FreeOnTerminate threads (use Control()->WaitFinished()).
  void WaitFor();

  std::shared_ptr<plat::ThreadControl> Control() const { return control_; }

  bool FreeOnTerminate = false;

  // Joins every thread that has finished; does not block on running ones.
  static void ReapFinished();
  // Waits for and joins every thread started so far.
  static void JoinAll();
  // Threads started and not yet finished.
  static int LiveCount();
  // Threads started and not yet joined, finished or not.
  static int UnjoinedCount();

 protected:
  virtual void Execute() = 0;

 private:
  static void Run(TThread* self, std::shared_ptr<plat::ThreadControl> control);

  std::shared_ptr<plat::ThreadControl> control_;
  bool started_ = false;
};
