#include "platform/queue_backend.h"

#include <chrono>

namespace tk {

void QueueBackend::FormCreated(TForm& form) {
  std::lock_guard<std::mutex> lock(mutex_);
  forms_.insert(&form);
}

void QueueBackend::FormDestroying(TForm& form) {
  std::lock_guard<std::mutex> lock(mutex_);
  forms_.erase(&form);
  for (auto it = queue_.begin(); it != queue_.end();) {
    it = it->form == &form ? queue_.erase(it) : it + 1;
  }
}

bool QueueBackend::Post(TForm& form, const Message& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (forms_.count(&form) == 0) return false;
    queue_.push_back(Posted{&form, message});
  }
  cv_.notify_all();
  return true;
}

void QueueBackend::DiscardPosted(TForm& form, unsigned msg,
                                 const std::function<void(const Message&)>& release) {
  std::deque<Posted> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (it->form == &form && it->message.Msg == msg) {
        taken.push_back(*it);
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& p : taken) release(p.message);
}

int QueueBackend::DispatchPosted() {
  std::size_t pending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending = queue_.size();
  }
  int n = 0;
  // Only what was queued when the pass began: a handler that posts again does
  // not keep this pass going.
  while (pending-- > 0) {
    Posted p;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
      p = queue_.front();
      queue_.pop_front();
      if (forms_.count(p.form) == 0) continue;
    }
    p.form->Dispatch(p.message);
    ++n;
  }
  return n;
}

void QueueBackend::ProcessMessages() { DispatchPosted(); }

void QueueBackend::RunLoop() {
  while (Application != nullptr && !Application->Terminated()) {
    if (DispatchPosted() == 0) WaitForEvent(50);
  }
}

void QueueBackend::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

void QueueBackend::WaitForEvent(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return woken_ || !queue_.empty(); });
  woken_ = false;
}

}  // namespace tk
