#include "platform/thread.h"

#include <chrono>
#include <list>
#include <thread>
#include <utility>

namespace plat {
namespace {
thread_local ThreadControl* tCurrent = nullptr;
std::atomic<SleepHook> gSleepHook{nullptr};
}

void ThreadControl::RequestStop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_.store(true, std::memory_order_release);
  if (waker_ != nullptr) waker_->WakeForStop();
}

bool ThreadControl::ArmWaker(StopWaker* waker) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_.load(std::memory_order_acquire)) return false;
  waker_ = waker;
  return true;
}

void ThreadControl::DisarmWaker() {
  std::lock_guard<std::mutex> lock(mutex_);
  waker_ = nullptr;
}

void ThreadControl::WaitFinished() {
  std::unique_lock<std::mutex> lock(mutex_);
  finishedCv_.wait(lock, [this] { return finished_.load(std::memory_order_acquire); });
}

void ThreadControl::MarkFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_.store(true, std::memory_order_release);
  finishedCv_.notify_all();
}

ThreadControl* CurrentThreadControl() { return tCurrent; }

void SetSleepHook(SleepHook hook) { gSleepHook.store(hook, std::memory_order_release); }

void Sleep(std::uint32_t milliseconds) {
  if (SleepHook hook = gSleepHook.load(std::memory_order_acquire)) {
    hook(milliseconds);
    return;
  }
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

namespace {

struct Entry {
  std::shared_ptr<ThreadControl> control;
  std::thread thread;
};

// Every std::thread started by a TThread, until it is joined.
class Registry {
 public:
  static Registry& Get() {
    static Registry* registry = new Registry;  // outlives static destruction
    return *registry;
  }

  void Add(std::shared_ptr<ThreadControl> control, std::thread thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{std::move(control), std::move(thread)});
  }

  // Removes and joins the entry of one control (waiting for its end).
  void Join(const ThreadControl* control) {
    std::thread t;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->control.get() == control) {
          t = std::move(it->thread);
          entries_.erase(it);
          break;
        }
      }
    }
    if (t.joinable()) t.join();
  }

  void JoinWhere(bool onlyFinished) {
    std::list<Entry> taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end();) {
        if (!onlyFinished || it->control->Finished()) {
          auto next = std::next(it);
          taken.splice(taken.end(), entries_, it);
          it = next;
        } else {
          ++it;
        }
      }
    }
    for (auto& e : taken) {
      if (e.thread.joinable()) e.thread.join();
    }
  }

  int Unjoined() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(entries_.size());
  }

  int Live() {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& e : entries_) {
      if (!e.control->Finished()) ++n;
    }
    return n;
  }

 private:
  std::mutex mutex_;
  std::list<Entry> entries_;
};

}  // namespace
}  // namespace plat

TThread::TThread() : control_(std::make_shared<plat::ThreadControl>()) {}

TThread::~TThread() {
  if (started_ && !FreeOnTerminate) {
    Terminate();
    WaitFor();
  }
}

void TThread::Resume() {
  if (started_) return;
  started_ = true;
  // Threads that freed themselves are joined here at the latest, so finished
  // threads never pile up over a long session.
  ReapFinished();
  plat::Registry::Get().Add(control_, std::thread(&TThread::Run, this, control_));
}

void TThread::Run(TThread* self, std::shared_ptr<plat::ThreadControl> control) {
  plat::tCurrent = control.get();
  self->Execute();
  if (self->FreeOnTerminate) delete self;
  plat::tCurrent = nullptr;
  control->MarkFinished();
}

void TThread::WaitFor() {
  // The thread itself (a self-freeing thread in its destructor) has nothing to
  // wait for.
  if (!started_ || plat::CurrentThreadControl() == control_.get()) return;
  control_->WaitFinished();
  plat::Registry::Get().Join(control_.get());
}

void TThread::ReapFinished() { plat::Registry::Get().JoinWhere(true); }

void TThread::JoinAll() { plat::Registry::Get().JoinWhere(false); }

int TThread::LiveCount() { return plat::Registry::Get().Live(); }

int TThread::UnjoinedCount() { return plat::Registry::Get().Unjoined(); }
