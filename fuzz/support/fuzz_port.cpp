#include "fuzz/support/fuzz_port.h"

#include <algorithm>
#include <thread>

#include "serial/connection.h"
#include "platform/thread.h"
#include "platform/toolkit.h"
#include "serial/asynccomm.h"

namespace fuzzing {
namespace {

constexpr std::uintptr_t kPending = 0x103;  // STATUS_PENDING, as the Win32 record holds it
// However slow the machine, a reader that takes its bytes needs far less.
constexpr std::chrono::milliseconds kQuietLimit{10000};

ScriptedPort* gPort = nullptr;

bool Refuse(std::uint32_t code) {
  plat::SetLastError(code);
  return false;
}

plat::Handle AsHandle(std::uintptr_t v) { return reinterpret_cast<plat::Handle>(v); }

}  // namespace

// Registered with the reading thread's control while Result() waits.
class ScriptedPort::Waker final : public plat::StopWaker {
 public:
  explicit Waker(ScriptedPort& port) : port_(port) {}
  void WakeForStop() override {
    std::lock_guard<std::mutex> lock(port_.mutex_);
    fired_ = true;
    port_.cv_.notify_all();
  }
  bool Fired() const { return fired_; }  // under the port's lock

 private:
  ScriptedPort& port_;
  bool fired_ = false;
};

ScriptedPort::ScriptedPort() {
  gPort = this;
  plat::SetSleepHook(&ScriptedPort::SleepHook);
}

ScriptedPort::~ScriptedPort() {
  plat::SetSleepHook(nullptr);
  gPort = nullptr;
}

void ScriptedPort::SleepHook(std::uint32_t milliseconds) {
  ScriptedPort* self = gPort;
  if (plat::CurrentThreadControl() != nullptr) {
    // A reader thread that sleeps takes nothing meanwhile: it counts as quiet.
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      ++self->sleepingReaders_;
    }
    self->cv_.notify_all();
    if (milliseconds == 0) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    --self->sleepingReaders_;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->guiSleeps_.push_back(milliseconds);
  }
  if (!self->WaitQuiet(kQuietLimit)) Fail("a reader thread neither ended nor waited for bytes");
}

void ScriptedPort::AddPort(const std::string& name, Device* device) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto p = std::make_unique<Port>();
  p->name = name;
  p->device = device;
  ports_.push_back(std::move(p));
}

void ScriptedPort::Deliver(const std::string& name, const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Port* p = Named(name)) ArrivedLocked(*p, bytes);
}

bool ScriptedPort::QuietLocked() const {
  int blocked = 0;
  for (const auto& p : ports_) {
    if (p->read.ov != nullptr && p->read.waiting) ++blocked;
  }
  return TThread::LiveCount() <= blocked + sleepingReaders_;
}

bool ScriptedPort::WaitQuiet(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!QuietLocked()) {
    // A thread that ends does not notify: look again soon.
    if (std::chrono::steady_clock::now() > deadline) return false;
    cv_.wait_for(lock, std::chrono::microseconds(200));
  }
  return true;
}

int ScriptedPort::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(ports_.begin(), ports_.end(), [](const auto& p) { return p->handle != 0; }));
}

int ScriptedPort::LiveEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(events_.size());
}

std::size_t ScriptedPort::Unread(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = Named(name);
  return p != nullptr ? p->rx.size() : 0;
}

std::vector<std::uint32_t> ScriptedPort::TakeGuiSleeps() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint32_t> out;
  out.swap(guiSleeps_);
  return out;
}

plat::Dcb ScriptedPort::Line(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = Named(name);
  return p != nullptr ? p->dcb : plat::Dcb{};
}

ScriptedPort::Port* ScriptedPort::Named(const std::string& name) {
  for (auto& p : ports_) {
    if (p->name == name) return p.get();
  }
  return nullptr;
}

const ScriptedPort::Port* ScriptedPort::Named(const std::string& name) const {
  for (const auto& p : ports_) {
    if (p->name == name) return p.get();
  }
  return nullptr;
}

ScriptedPort::Port* ScriptedPort::Lookup(plat::Handle h) {
  const auto v = reinterpret_cast<std::uintptr_t>(h);
  if (v != 0) {
    for (auto& p : ports_) {
      if (p->handle == v) return p.get();
    }
  }
  plat::SetLastError(plat::kErrorInvalidHandle);
  return nullptr;
}

void ScriptedPort::FinishReadLocked(Port& p, std::uint32_t status, std::uint32_t count) {
  if (p.read.ov == nullptr) return;
  p.read.ov->Internal = status;
  p.read.ov->InternalHigh = count;
  p.read = Pending{};
  cv_.notify_all();
}

void ScriptedPort::ArrivedLocked(Port& p, const Bytes& bytes) {
  if (p.handle == 0) return;  // nobody listens on a closed port
  p.rx.insert(p.rx.end(), bytes.begin(), bytes.end());
  if (p.read.ov != nullptr && p.rx.size() >= p.read.count) {
    std::copy_n(p.rx.begin(), p.read.count, p.read.buffer);
    p.rx.erase(p.rx.begin(), p.rx.begin() + p.read.count);
    FinishReadLocked(p, 0, p.read.count);
  }
}

plat::Handle ScriptedPort::Open(const char* path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = path != nullptr ? Named(path) : nullptr;
  if (p == nullptr) {
    plat::SetLastError(plat::kErrorFileNotFound);
    return plat::InvalidHandle();
  }
  if (p->handle != 0) {
    plat::SetLastError(plat::kErrorAccessDenied);
    return plat::InvalidHandle();
  }
  p->handle = nextHandle_++;
  p->dcb = plat::Dcb{};
  p->dcb.BaudRate = 9600;
  p->timeouts = plat::CommTimeouts{};
  p->dtr = p->rts = false;
  p->rx.clear();
  return AsHandle(p->handle);
}

bool ScriptedPort::Close(plat::Handle h) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  FinishReadLocked(*p, plat::kErrorOperationAborted, 0);
  p->handle = 0;
  p->rx.clear();
  return true;
}

plat::Handle ScriptedPort::NewEvent() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uintptr_t e = nextHandle_++;
  events_.insert(e);
  return AsHandle(e);
}

bool ScriptedPort::ResetEvent(plat::Handle event) {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.count(reinterpret_cast<std::uintptr_t>(event)) != 0 || Refuse(plat::kErrorInvalidHandle);
}

bool ScriptedPort::CloseEvent(plat::Handle event) {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.erase(reinterpret_cast<std::uintptr_t>(event)) != 0 || Refuse(plat::kErrorInvalidHandle);
}

bool ScriptedPort::GetState(plat::Handle h, plat::Dcb& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  dcb = p->dcb;
  return true;
}

bool ScriptedPort::SetState(plat::Handle h, const plat::Dcb& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  p->dcb = dcb;
  return true;
}

bool ScriptedPort::SetupQueues(plat::Handle h, std::uint32_t, std::uint32_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lookup(h) != nullptr;
}

bool ScriptedPort::GetTimeouts(plat::Handle h, plat::CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  timeouts = p->timeouts;
  return true;
}

bool ScriptedPort::SetTimeouts(plat::Handle h, const plat::CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  p->timeouts = timeouts;
  return true;
}

bool ScriptedPort::Purge(plat::Handle h, std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  if ((flags & ~plat::kPurgeAllFlags) != 0) return Refuse(plat::kErrorInvalidParameter);
  if (flags & plat::kPurgeRxAbort) FinishReadLocked(*p, plat::kErrorOperationAborted, 0);
  if (flags & plat::kPurgeRxClear) p->rx.clear();
  return true;
}

bool ScriptedPort::Drain(plat::Handle h, std::uint32_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lookup(h) != nullptr;  // writes complete at once: nothing is ever queued
}

bool ScriptedPort::Escape(plat::Handle h, std::uint32_t function) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  switch (function) {
    case plat::kSetRts: p->rts = true; break;
    case plat::kClrRts: p->rts = false; break;
    case plat::kSetDtr: p->dtr = true; break;
    case plat::kClrDtr: p->dtr = false; break;
    default: return Refuse(plat::kErrorInvalidParameter);
  }
  Bytes answer;
  if (p->device != nullptr) p->device->Escaped(function, p->dtr, p->rts, answer);
  ArrivedLocked(*p, answer);
  return true;
}

bool ScriptedPort::Read(plat::Handle h, void* buffer, std::uint32_t count, std::uint32_t* done,
                        plat::Overlapped& ov) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  if (p->read.ov != nullptr || (buffer == nullptr && count > 0)) return Refuse(plat::kErrorInvalidParameter);
  if (done != nullptr) *done = 0;
  if (p->rx.size() >= count) {
    std::copy_n(p->rx.begin(), count, static_cast<std::uint8_t*>(buffer));
    p->rx.erase(p->rx.begin(), p->rx.begin() + count);
    ov.Internal = 0;
    ov.InternalHigh = count;
    if (done != nullptr) *done = count;
    return true;
  }
  p->read.ov = &ov;
  p->read.buffer = static_cast<std::uint8_t*>(buffer);
  p->read.count = count;
  ov.Internal = kPending;
  ov.InternalHigh = 0;
  return Refuse(plat::kErrorIoPending);
}

bool ScriptedPort::Write(plat::Handle h, const void* data, std::uint32_t count, std::uint32_t* done,
                         plat::Overlapped& ov) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = Lookup(h);
  if (p == nullptr) return false;
  if (data == nullptr && count > 0) return Refuse(plat::kErrorInvalidParameter);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const Bytes written(bytes, bytes + count);
  Bytes answer;
  if (p->device != nullptr) p->device->Written(written, p->dcb, answer);
  ArrivedLocked(*p, answer);
  ov.Internal = 0;
  ov.InternalHigh = count;
  if (done != nullptr) *done = count;
  return true;
}

bool ScriptedPort::Result(plat::Handle h, plat::Overlapped& ov, std::uint32_t* done, bool wait) {
  if (done != nullptr) *done = 0;
  plat::ThreadControl* control = wait ? plat::CurrentThreadControl() : nullptr;
  Waker waker(*this);
  // Armed outside the port's lock: a stop calls the waker under the control's
  // lock, and the waker takes the port's lock.
  const bool stopAlready = control != nullptr && !control->ArmWaker(&waker);
  const bool armed = control != nullptr && !stopAlready;

  bool ok = false;
  std::uint32_t error = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    Port* p = Lookup(h);
    if (p == nullptr) {
      error = plat::kErrorInvalidHandle;
    } else {
      while (p->read.ov == &ov) {
        if (stopAlready || waker.Fired()) {
          FinishReadLocked(*p, plat::kErrorOperationAborted, 0);
          break;
        }
        if (!wait) break;
        p->read.waiting = true;
        cv_.notify_all();  // a waiting reader may make the port quiet
        cv_.wait(lock);
        if (p->read.ov == &ov) p->read.waiting = false;
      }
      if (ov.Internal == kPending) {
        error = plat::kErrorIoIncomplete;
      } else if (ov.Internal != 0) {
        error = static_cast<std::uint32_t>(ov.Internal);
      } else {
        ok = true;
        if (done != nullptr) *done = static_cast<std::uint32_t>(ov.InternalHigh);
      }
    }
  }
  if (armed) control->DisarmWaker();
  if (!ok) plat::SetLastError(error);
  return ok;
}

// ---------------------------------------------------------------------------

int QuietToolkit::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  boxes.push_back(Box{text, caption, flags});
  return (flags & 0x0F) == tk::kMbRetryCancel ? tk::kIdCancel : tk::kIdOk;
}

Session::Session() {
  plat::SetSerial(&port);
  tk::SetBackend(&ui);
  Application = &app;
}

Session::~Session() {
  Check(TThread::LiveCount() == 0, "a reader thread was left running");
  TThread::JoinAll();
  Check(port.OpenHandles() == 0, "a port was left open");
  Check(port.LiveEvents() == 0, "an event was left behind");
  Check(ui.exceptions == 0, "an exception reached the program entry");
  Application = nullptr;
}

TAsyncComm* ConnectPlug(const std::string& name) {
  PlugPort = plat::Serial().Open(name.c_str());
  Check(PlugPort != plat::InvalidHandle(), "the plug's port does not open");
  auto* comm = new TAsyncComm(nullptr);
  comm->AttachPort(PlugPort);
  comm->SetLine(1, true);
  SharedComm.store(comm, std::memory_order_release);
  return comm;
}

}  // namespace fuzzing
