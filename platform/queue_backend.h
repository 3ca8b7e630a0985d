// A portable base for toolkit backends without a native message queue: posted
// messages wait in a queue of our own and are dispatched on the GUI thread by
// ProcessMessages() and RunLoop().
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

#include "platform/toolkit.h"

namespace tk {

class QueueBackend : public Backend {
 public:
  void FormCreated(TForm& form) override;
  void FormDestroying(TForm& form) override;
  bool Post(TForm& form, const Message& message) override;
  void DiscardPosted(TForm& form, unsigned msg,
                     const std::function<void(const Message&)>& release) override;
  void ProcessMessages() override;
  void RunLoop() override;
  void Wake() override;

 protected:
  // Dispatches the messages queued now; returns how many.
  int DispatchPosted();
  // Waits until a message is queued, Wake() is called or the time is up.
  void WaitForEvent(int milliseconds);

 private:
  struct Posted {
    TForm* form;
    Message message;
  };
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Posted> queue_;
  std::set<TForm*> forms_;
  bool woken_ = false;
};

}  // namespace tk
