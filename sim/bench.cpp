#include "sim/bench.h"

#include <algorithm>
#include <cstring>

#include "platform/priority.h"
#include "platform/thread.h"

namespace sim {
namespace {

constexpr std::uintptr_t kStatusPending = 0x103;

plat::Handle ToHandle(std::uintptr_t v) { return reinterpret_cast<plat::Handle>(v); }
std::uintptr_t FromHandle(plat::Handle h) { return reinterpret_cast<std::uintptr_t>(h); }

bool Fail(std::uint32_t code) {
  plat::SetLastError(code);
  return false;
}

}  // namespace

// Registered with the reading thread's control while Result() waits, so that
// a stop request ends the wait.
class Bench::Waker final : public plat::StopWaker {
 public:
  explicit Waker(Bench& bench) : bench_(bench) {}
  void WakeForStop() override {
    std::lock_guard<std::mutex> lock(bench_.mutex_);
    fired_ = true;
    bench_.hostCv_.notify_all();
  }
  bool Fired() const { return fired_; }  // under the bench lock

 private:
  Bench& bench_;
  bool fired_ = false;
};

Bench::Bench(Timing timing) : timing_(timing) {
  scheduler_ = std::thread([this] { SchedulerMain(); });
}

Bench::~Bench() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    for (auto& [name, p] : ports_) {
      if (p->read.ov) FinishLocked(*p, p->read, plat::kErrorOperationAborted, 0);
      if (p->write.ov) FinishLocked(*p, p->write, plat::kErrorOperationAborted, p->write.queued);
    }
  }
  schedCv_.notify_all();
  hostCv_.notify_all();
  scheduler_.join();
}

// ---------------------------------------------------------------- set-up

Bench::Port& Bench::PortNamedLocked(const std::string& name) {
  auto& slot = ports_[name];
  if (!slot) {
    slot = std::make_unique<Port>();
    slot->name = name;
  }
  return *slot;
}

const Bench::Port* Bench::FindNamedLocked(const std::string& name) const {
  auto it = ports_.find(name);
  return it == ports_.end() ? nullptr : it->second.get();
}

Plug& Bench::Attach(const std::string& name, PlugConfig config) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port& p = PortNamedLocked(name);
  p.presence = Presence::Present;
  p.plug = std::make_unique<Plug>(std::move(config));
  p.plug->SetWireTiming(timing_ == Timing::Wire);
  if (p.handle != 0) LinesLocked(p, Clock::now());
  return *p.plug;
}

void Bench::AddPort(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  PortNamedLocked(name).presence = Presence::Present;
}

void Bench::SetAbsent(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  PortNamedLocked(name).presence = Presence::Absent;
}

void Bench::SetBusy(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  PortNamedLocked(name).presence = Presence::Busy;
}

void Bench::SetOpenFails(const std::string& name, std::uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port& p = PortNamedLocked(name);
  p.presence = Presence::Failing;
  p.openError = error;
}

void Bench::SetKind(const std::string& name, plat::PortKind kind, std::string about) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port& p = PortNamedLocked(name);
  p.kind = kind;
  p.about = std::move(about);
}

std::vector<plat::PortEntry> Bench::Ports() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<plat::PortEntry> list;
  for (const auto& [name, p] : ports_) {
    if (p->presence != Presence::Absent) list.push_back({name, p->kind, p->about});
  }
  return list;
}

void Bench::Replug(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port& p = PortNamedLocked(name);
  if (p.handle != 0) return;
  p.gone = false;
  p.presence = Presence::Present;
}

Plug* Bench::PlugOn(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p ? p->plug.get() : nullptr;
}

void Bench::SetSetupQueuesFails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  setupQueuesFails_ = fails;
}

void Bench::SetAdapterFaults(const std::string& name, AdapterFaults faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  PortNamedLocked(name).faults = std::move(faults);
}

void Bench::SetOutQueueSize(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  outQueueSize_ = std::max<std::size_t>(bytes, 1);
}

// ---------------------------------------------------------------- helpers

Bench::Port* Bench::LookupLocked(plat::Handle h, bool allowGone) {
  auto it = handles_.find(FromHandle(h));
  if (h == nullptr || h == plat::InvalidHandle() || it == handles_.end()) {
    plat::SetLastError(plat::kErrorInvalidHandle);
    return nullptr;
  }
  if (it->second->gone && !allowGone) {
    plat::SetLastError(plat::kErrorBadCommand);
    return nullptr;
  }
  return it->second;
}

void Bench::LogLocked(Port& p, HostLogEntry::Op op, bool ok) {
  HostLogEntry e;
  e.time = Clock::now();
  e.op = op;
  e.ok = ok;
  e.dcb = p.dcb;
  e.timeouts = p.timeouts;
  p.log.push_back(std::move(e));
}

void Bench::SignalLocked(plat::Handle event) {
  auto it = events_.find(FromHandle(event));
  if (it != events_.end()) it->second = true;
}

void Bench::FinishLocked(Port&, Transfer& t, std::uint32_t error, std::uint32_t count) {
  if (t.ov == nullptr) return;
  t.ov->Internal = error;
  t.ov->InternalHigh = count;
  SignalLocked(t.ov->hEvent);
  t = Transfer{};
  hostCv_.notify_all();
}

void Bench::LinesLocked(Port& p, TimePoint now) {
  if (p.plug) p.plug->SetLines(now, p.dtr, p.rts, p.dcb);
  PumpLocked(p, now);
  KickLocked();
}

void Bench::KickLocked() { schedCv_.notify_all(); }

void Bench::FaultLocked(Port& p, Plug::Fault fault) {
  if (fault == Plug::Fault::WriteError) {
    p.tx.clear();
    if (p.write.ov) {
      FinishLocked(p, p.write, plat::kErrorGenFailure, p.write.queued);
    } else {
      p.stickyWriteError = plat::kErrorGenFailure;
    }
  } else if (fault == Plug::Fault::Unplug) {
    p.gone = true;
    p.presence = Presence::Absent;
    p.tx.clear();
    p.rx.clear();
    p.dtr = p.rts = false;
    if (p.plug) p.plug->SetLines(Clock::now(), false, false, p.dcb);
    if (p.read.ov) FinishLocked(p, p.read, plat::kErrorBadCommand, 0);
    if (p.write.ov) FinishLocked(p, p.write, plat::kErrorBadCommand, p.write.queued);
  }
}

void Bench::LineErrorLocked(Port& p, std::uint32_t error) {
  p.lineErrors |= error;
  if (!p.dcb.fAbortOnError || p.ioAborted) return;
  p.ioAborted = true;
  if (p.read.ov) FinishLocked(p, p.read, plat::kErrorOperationAborted, 0);
  if (p.write.ov) FinishLocked(p, p.write, plat::kErrorOperationAborted, p.write.queued);
}

// Moves due bytes both ways and finishes the transfers that can finish.
void Bench::PumpLocked(Port& p, TimePoint now) {
  // Host to plug (wire mode): one byte per character time.
  if (timing_ == Timing::Wire) {
    // A pending write moves on as the output queue drains: a byte joins it
    // when a place frees up, even when the scheduler comes late. A write
    // whose time-out passed before that place freed up has ended with what
    // fitted by then, however late this pump runs.
    auto refill = [this, &p](TimePoint at) {
      if (!p.write.ov || p.gone) return;
      if (p.write.deadline && *p.write.deadline < at) {
        FinishLocked(p, p.write, 0, p.write.queued);
        return;
      }
      while (!p.write.rest.empty() && p.tx.size() < outQueueSize_) {
        if (p.tx.empty()) StartHeadLocked(p, std::max(at, p.txFreeAt));
        p.tx.push_back(p.write.rest.front());
        p.write.rest.erase(p.write.rest.begin());
        ++p.write.queued;
      }
    };
    while (!p.tx.empty() && p.txNextDue <= now && !p.gone) {
      const std::uint8_t b = p.tx.front();
      p.tx.pop_front();
      const TimePoint at = p.txNextDue;
      p.txFreeAt = at;
      if (!p.txBusy.empty() && p.txHeadStart <= p.txBusy.back().second) {
        p.txBusy.back().second = std::max(p.txBusy.back().second, at);
      } else {
        p.txBusy.emplace_back(p.txHeadStart, at);
      }
      if (!p.tx.empty()) StartHeadLocked(p, at);
      TransmitLocked(p, at, &b, 1);
      refill(at);
    }
    if (p.write.ov && !p.gone) {
      refill(now);
      if (p.write.rest.empty()) {
        FinishLocked(p, p.write, 0, p.write.queued);
      } else if (p.write.deadline && *p.write.deadline <= now) {
        FinishLocked(p, p.write, 0, p.write.queued);  // time-out: what fitted counts
      }
    }
  }
  // What the adapter held and is due now.
  while (!p.held.empty() && p.held.front().due <= now && !p.gone) {
    const Port::Held h = p.held.front();
    p.held.pop_front();
    DeliverLocked(p, h.due, &h.value, 1, h.dcb);
  }
  // Plug to host.
  if (p.plug) {
    std::vector<Plug::OutByte> bytes;
    p.plug->Collect(now, bytes);
    if (p.handle != 0 && !p.gone) {
      for (const auto& ob : bytes) {
        auto v = Garble(ob.wire, p.dcb, ob.value);
        if (!v) continue;
        if (ob.wire.baud != p.dcb.BaudRate || ob.wire.parity != p.dcb.Parity ||
            ob.wire.stopBits != p.dcb.StopBits) {
          LineErrorLocked(p, plat::kCeFrame);
        }
        if (p.faults.eighthBitUnmasked && p.dcb.ByteSize == 7) *v = static_cast<std::uint8_t>(*v | 0x80);
        if (p.dcb.fNull && *v == 0) continue;
        p.rx.push_back(*v);
        p.lastReceived = *v;
      }
    }
  }
  if (p.read.ov && !p.ioAborted && p.rx.size() >= p.read.count) {
    const std::uint32_t n = p.read.count;
    std::copy_n(p.rx.begin(), n, p.read.buffer);
    p.rx.erase(p.rx.begin(), p.rx.begin() + n);
    FinishLocked(p, p.read, 0, n);
  }
}

TimePoint Bench::WriteDoneAtLocked(const Port& p) const {
  // The queue is full while a write waits: each character that leaves makes
  // room for one more of the write, the last one joins when the rest's
  // count of characters has left.
  TimePoint at = Clock::now();
  if (!p.tx.empty() && !p.write.rest.empty()) {
    at = p.txNextDue + static_cast<std::int64_t>(p.write.rest.size() - 1) * CharTime(p.dcb);
  }
  if (p.write.deadline) at = std::min(at, *p.write.deadline);
  return at;
}

void Bench::TransmitLocked(Port& p, TimePoint at, const std::uint8_t* bytes, std::size_t count) {
  if (p.faults.adapterHolds.count() > 0) {
    for (std::size_t i = 0; i < count; ++i) p.held.push_back({at + p.faults.adapterHolds, bytes[i], p.dcb});
    return;
  }
  DeliverLocked(p, at, bytes, count, p.dcb);
}

void Bench::DeliverLocked(Port& p, TimePoint at, const std::uint8_t* bytes, std::size_t count,
                          const plat::Dcb& dcb) {
  if (!p.plug || p.handle == 0) return;
  const auto acc = p.plug->Receive(at, bytes, count, dcb);
  if (acc.fault != Plug::Fault::None) FaultLocked(p, acc.fault);
}

void Bench::StartHeadLocked(Port& p, TimePoint start) {
  p.txHeadStart = start;
  p.txNextDue = start + CharTime(p.dcb);
}

std::optional<TimePoint> Bench::NextWakeLocked() {
  std::optional<TimePoint> next;
  auto consider = [&next](TimePoint t) {
    if (!next || t < *next) next = t;
  };
  for (auto& [name, p] : ports_) {
    if (p->plug) {
      if (auto t = p->plug->NextDue()) consider(*t);
    }
    if (!p->tx.empty()) consider(p->txNextDue);
    if (!p->held.empty()) consider(p->held.front().due);
    if (p->write.ov && p->write.deadline) consider(*p->write.deadline);
  }
  return next;
}

void Bench::SchedulerMain() {
  // The scheduler stands for the hardware and the driver's interrupts, which
  // no busy program holds up: it runs at a raised priority where it may.
  // Preempted while holding the lock, it would hold up the host instead.
  const plat::RaisedThreadPriority raised;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const TimePoint now = Clock::now();
    for (auto& [name, p] : ports_) PumpLocked(*p, now);
    if (auto next = NextWakeLocked()) {
      schedCv_.wait_until(lock, *next);
    } else {
      schedCv_.wait(lock);
    }
  }
}

// ---------------------------------------------------------------- SerialApi

plat::Handle Bench::Open(const char* path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (path == nullptr) {
    plat::SetLastError(plat::kErrorFileNotFound);
    return plat::InvalidHandle();
  }
  Port& p = PortNamedLocked(path);
  std::uint32_t error = 0;
  if (p.presence == Presence::Absent) {
    error = plat::kErrorFileNotFound;
  } else if (p.presence == Presence::Busy || p.handle != 0) {
    error = plat::kErrorAccessDenied;
  } else if (p.presence == Presence::Failing) {
    error = p.openError;
  }
  if (error != 0) {
    LogLocked(p, HostLogEntry::Op::Open, false);
    plat::SetLastError(error);
    return plat::InvalidHandle();
  }
  p.handle = nextHandle_;
  nextHandle_ += 4;
  handles_[p.handle] = &p;
  p.dcb = plat::Dcb{};
  p.dcb.BaudRate = 9600;
  p.dcb.fBinary = true;
  if (p.faults.leftover) p.dcb = *p.faults.leftover;
  p.lineErrors = 0;
  p.ioAborted = false;
  p.timeouts = plat::CommTimeouts{};
  p.rx.clear();
  p.tx.clear();
  p.held.clear();
  p.lastReceived.reset();
  p.lateByte.reset();
  p.stickyWriteError = 0;
  ++p.openCount;
  LogLocked(p, HostLogEntry::Op::Open, true);
  return ToHandle(p.handle);
}

bool Bench::Close(plat::Handle h) {
  std::unique_lock<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h, true);
  if (!p) return false;
  if (timing_ == Timing::Wire && !p->gone && !p->tx.empty()) {
    // Like a driver's close: the character on the wire cannot be called back,
    // it arrives before the lines drop; what waits behind it is discarded.
    if (p->write.ov) FinishLocked(*p, p->write, plat::kErrorOperationAborted, p->write.queued);
    p->tx.resize(1);
    while (!p->tx.empty() && !p->gone && !stop_) {
      hostCv_.wait_until(lock, p->txNextDue);
      PumpLocked(*p, Clock::now());
    }
    p = LookupLocked(h, true);
    if (!p) return false;
  }
  // What the adapter still holds is lost with the close; what was due has gone.
  PumpLocked(*p, Clock::now());
  p->held.clear();
  if (p->read.ov) FinishLocked(*p, p->read, plat::kErrorOperationAborted, 0);
  if (p->write.ov) FinishLocked(*p, p->write, plat::kErrorOperationAborted, p->write.queued);
  handles_.erase(p->handle);
  p->handle = 0;
  p->rx.clear();
  p->tx.clear();
  LogLocked(*p, HostLogEntry::Op::Close, true);
  if (!p->gone) {
    p->dtr = p->rts = false;
    LinesLocked(*p, Clock::now());
  }
  return true;
}

plat::Handle Bench::NewEvent() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uintptr_t h = nextHandle_;
  nextHandle_ += 4;
  events_[h] = false;
  return ToHandle(h);
}

bool Bench::ResetEvent(plat::Handle event) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = events_.find(FromHandle(event));
  if (it == events_.end()) return Fail(plat::kErrorInvalidHandle);
  it->second = false;
  return true;
}

bool Bench::CloseEvent(plat::Handle event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (events_.erase(FromHandle(event)) == 0) return Fail(plat::kErrorInvalidHandle);
  return true;
}

bool Bench::GetState(plat::Handle h, plat::Dcb& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  dcb = p->dcb;
  return true;
}

bool Bench::SetState(plat::Handle h, const plat::Dcb& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > plat::kSpaceParity ||
      dcb.StopBits > plat::kTwoStopBits || dcb.fDtrControl > plat::kDtrControlHandshake ||
      dcb.fRtsControl > plat::kRtsControlToggle || dcb.XonChar == dcb.XoffChar) {
    HostLogEntry e;
    e.time = Clock::now();
    e.op = HostLogEntry::Op::SetState;
    e.ok = false;
    e.dcb = dcb;
    p->log.push_back(e);
    return Fail(plat::kErrorInvalidParameter);
  }
  const bool speedChanged = dcb.BaudRate != p->dcb.BaudRate;
  const bool dtrWasOn = p->dtr;
  p->dcb = dcb;
  p->dtr = dcb.fDtrControl != plat::kDtrControlDisable;
  p->rts = dcb.fRtsControl != plat::kRtsControlDisable;
  LogLocked(*p, HostLogEntry::Op::SetState, true);
  if (speedChanged && p->faults.junkOnSpeedChange) p->rx.push_back(0xF0);
  if (speedChanged && p->faults.lateByteAfterPurge && p->lastReceived) p->lateByte = p->lastReceived;
  if (!dtrWasOn && p->dtr && p->faults.framingErrorOnPowerUp) LineErrorLocked(*p, plat::kCeFrame);
  LinesLocked(*p, Clock::now());
  return true;
}

bool Bench::SetupQueues(plat::Handle h, std::uint32_t, std::uint32_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  LogLocked(*p, HostLogEntry::Op::SetupQueues, !setupQueuesFails_);
  if (setupQueuesFails_) return Fail(plat::kErrorNotSupported);
  return true;
}

bool Bench::GetTimeouts(plat::Handle h, plat::CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  timeouts = p->timeouts;
  return true;
}

bool Bench::SetTimeouts(plat::Handle h, const plat::CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  p->timeouts = timeouts;
  LogLocked(*p, HostLogEntry::Op::SetTimeouts, true);
  return true;
}

bool Bench::Purge(plat::Handle h, std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  const bool ok = (flags & ~plat::kPurgeAllFlags) == 0;
  LogLocked(*p, HostLogEntry::Op::Purge, ok);
  p->log.back().value = flags;
  if (!ok) return Fail(plat::kErrorInvalidParameter);
  if (flags & plat::kPurgeRxAbort) FinishLocked(*p, p->read, plat::kErrorOperationAborted, 0);
  if (flags & plat::kPurgeTxAbort) {
    FinishLocked(*p, p->write, plat::kErrorOperationAborted, p->write.queued);
  }
  if (flags & plat::kPurgeRxClear) {
    p->rx.clear();
    if (p->lateByte) p->rx.push_back(*p->lateByte);
    p->lateByte.reset();
  }
  // The character on the wire cannot be called back (wire mode); what the
  // adapter holds and has not sent yet is dropped.
  if (flags & plat::kPurgeTxClear) {
    PumpLocked(*p, Clock::now());
    if (!p->tx.empty()) p->tx.resize(1);
    p->held.clear();
  }
  if (p->read.ov && !p->rx.empty()) PumpLocked(*p, Clock::now());
  return true;
}

bool Bench::Drain(plat::Handle h, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const TimePoint deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint32_t baud = 0;
  for (;;) {
    Port* p = LookupLocked(h);
    if (!p) return false;
    if (p->faults.drainFails) return Fail(plat::kErrorSemTimeout);
    baud = p->dcb.BaudRate;
    if (p->tx.empty()) {
      p->drained = Clock::now();
      break;
    }
    if (Clock::now() >= deadline) return Fail(plat::kErrorSemTimeout);
    hostCv_.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(1)));
  }
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::microseconds(plat::DrainMarginMicroseconds(baud)));
  return true;
}

bool Bench::Escape(plat::Handle h, std::uint32_t function) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  bool ok = true;
  const bool dtrWasOn = p->dtr;
  switch (function) {
    case plat::kSetDtr: p->dtr = true; break;
    case plat::kClrDtr: p->dtr = false; break;
    case plat::kSetRts: p->rts = true; break;
    case plat::kClrRts: p->rts = false; break;
    default: ok = false; break;
  }
  LogLocked(*p, HostLogEntry::Op::Escape, ok);
  p->log.back().value = function;
  if (!ok) return Fail(plat::kErrorInvalidParameter);
  if (!dtrWasOn && p->dtr && p->faults.framingErrorOnPowerUp) LineErrorLocked(*p, plat::kCeFrame);
  LinesLocked(*p, Clock::now());
  return true;
}

bool Bench::Read(plat::Handle h, void* buffer, std::uint32_t count, std::uint32_t* done,
                 plat::Overlapped& ov) {
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  if (p->read.ov != nullptr || (buffer == nullptr && count > 0)) {
    return Fail(plat::kErrorInvalidParameter);
  }
  if (p->ioAborted) return Fail(plat::kErrorOperationAborted);
  if (done) *done = 0;
  auto ev = events_.find(FromHandle(ov.hEvent));
  if (ev != events_.end()) ev->second = false;
  PumpLocked(*p, Clock::now());
  if (p->rx.size() >= count) {
    std::copy_n(p->rx.begin(), count, static_cast<std::uint8_t*>(buffer));
    p->rx.erase(p->rx.begin(), p->rx.begin() + count);
    ov.Internal = 0;
    ov.InternalHigh = count;
    SignalLocked(ov.hEvent);
    if (done) *done = count;
    return true;
  }
  p->read.ov = &ov;
  p->read.buffer = static_cast<std::uint8_t*>(buffer);
  p->read.count = count;
  ov.Internal = kStatusPending;
  ov.InternalHigh = 0;
  return Fail(plat::kErrorIoPending);
}

bool Bench::Write(plat::Handle h, const void* data, std::uint32_t count, std::uint32_t* done,
                  plat::Overlapped& ov) {
  std::unique_lock<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  if (p->write.ov != nullptr || (data == nullptr && count > 0)) {
    return Fail(plat::kErrorInvalidParameter);
  }
  if (p->ioAborted) return Fail(plat::kErrorOperationAborted);
  const TimePoint now = Clock::now();
  if (timing_ == Timing::Wire) {
    // What is due leaves first, as if the scheduler were never late: a byte
    // must not go onto the wire before it was written.
    PumpLocked(*p, now);
    if (p->gone) return Fail(plat::kErrorBadCommand);
  }
  if (done) *done = 0;
  auto ev = events_.find(FromHandle(ov.hEvent));
  if (ev != events_.end()) ev->second = false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  LogLocked(*p, HostLogEntry::Op::Write, true);
  p->log.back().time = now;  // the moment the bytes reached the driver
  p->log.back().bytes.assign(bytes, bytes + count);
  p->hostBytes.insert(p->hostBytes.end(), bytes, bytes + count);

  auto complete = [&](std::uint32_t error, std::uint32_t n) {
    ov.Internal = error;
    ov.InternalHigh = n;
    SignalLocked(ov.hEvent);
    if (error != 0) return Fail(plat::kErrorIoPending);  // the failure shows in Result()
    if (done) *done = n;
    return true;
  };

  if (p->stickyWriteError != 0) {
    const std::uint32_t e = p->stickyWriteError;
    p->stickyWriteError = 0;
    return complete(e, 0);
  }

  if (timing_ == Timing::Instant && p->faults.adapterHolds.count() > 0) {
    TransmitLocked(*p, now, bytes, count);
    KickLocked();
    return complete(0, count);
  }
  if (timing_ == Timing::Instant) {
    TimePoint at = now;
    if (p->plug && p->dcb.fOutxCtsFlow) {
      if (const auto ctsBack = p->plug->CtsOffUntil(now)) {
        // CTS held off: nothing leaves until it comes back or the write's
        // time-out ends it, short and without an error.
        const auto& t = p->timeouts;
        const bool timed = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
        const TimePoint deadline =
            now + std::chrono::milliseconds(std::uint64_t{t.WriteTotalTimeoutMultiplier} * count +
                                            t.WriteTotalTimeoutConstant);
        const TimePoint until = timed ? std::min(*ctsBack, deadline) : *ctsBack;
        while (Clock::now() < until && !stop_) hostCv_.wait_until(lock, until);
        p = LookupLocked(h);
        if (!p) return false;
        at = Clock::now();
        if (timed && *ctsBack > deadline) return complete(0, 0);
      }
    }
    Plug::Accepted acc{count, Plug::Fault::None};
    if (p->plug) acc = p->plug->Receive(at, bytes, count, p->dcb);
    const auto n = static_cast<std::uint32_t>(acc.count);
    switch (acc.fault) {
      case Plug::Fault::None: break;
      case Plug::Fault::WriteError:
        PumpLocked(*p, now);
        return complete(plat::kErrorGenFailure, n);
      case Plug::Fault::Unplug:
        FaultLocked(*p, acc.fault);
        return complete(plat::kErrorBadCommand, n);
    }
    PumpLocked(*p, now);
    KickLocked();
    return complete(0, count);
  }

  // Wire mode: into the driver's output queue as far as it fits.
  std::uint32_t queued = 0;
  while (queued < count && p->tx.size() < outQueueSize_) {
    if (p->tx.empty()) StartHeadLocked(*p, std::max(now, p->txFreeAt));
    p->tx.push_back(bytes[queued++]);
  }
  KickLocked();
  if (queued == count) return complete(0, count);
  p->write.ov = &ov;
  p->write.rest.assign(bytes + queued, bytes + count);
  p->write.queued = queued;
  p->write.count = count;
  const auto& t = p->timeouts;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
    p->write.deadline = now + std::chrono::milliseconds(std::uint64_t{t.WriteTotalTimeoutMultiplier} * count +
                                                        t.WriteTotalTimeoutConstant);
  }
  ov.Internal = kStatusPending;
  ov.InternalHigh = 0;
  return Fail(plat::kErrorIoPending);
}

bool Bench::Result(plat::Handle h, plat::Overlapped& ov, std::uint32_t* done, bool wait) {
  if (done) *done = 0;
  plat::ThreadControl* control = wait ? plat::CurrentThreadControl() : nullptr;
  Waker waker(*this);
  bool stopAlready = false;
  // Never armed or disarmed under the bench lock: a stop request calls the
  // waker under the control's lock, and the waker takes the bench lock.
  if (control != nullptr && !control->ArmWaker(&waker)) stopAlready = true;
  const bool armed = control != nullptr && !stopAlready;

  bool ok = false;
  std::uint32_t error = 0;
  std::chrono::milliseconds lateBy{0};
  {
    std::unique_lock<std::mutex> lock(mutex_);
    Port* p = LookupLocked(h, true);
    if (!p) {
      error = plat::LastError();
    } else {
      auto pending = [&]() -> Transfer* {
        if (p->read.ov == &ov) return &p->read;
        if (p->write.ov == &ov) return &p->write;
        return nullptr;
      };
      PumpLocked(*p, Clock::now());
      const bool waitedRead = wait && p->read.ov == &ov;
      while (Transfer* t = pending()) {
        if (stopAlready || waker.Fired()) {
          FinishLocked(*p, *t, plat::kErrorOperationAborted, t == &p->write ? p->write.queued : 0);
          break;
        }
        if (!wait) break;
        if (t == &p->write && timing_ == Timing::Wire) {
          // The waiting thread moves the wire on itself at the moment its
          // write completes, as a driver's interrupt would: how late the
          // scheduler thread wakes does not hold the host back.
          hostCv_.wait_until(lock, WriteDoneAtLocked(*p));
          PumpLocked(*p, Clock::now());
        } else {
          hostCv_.wait(lock);
        }
      }
      if (ov.Internal == kStatusPending) {
        error = plat::kErrorIoIncomplete;
      } else if (ov.Internal != 0) {
        error = static_cast<std::uint32_t>(ov.Internal);
        if (done) *done = static_cast<std::uint32_t>(ov.InternalHigh);
      } else {
        ok = true;
        if (done) *done = static_cast<std::uint32_t>(ov.InternalHigh);
        if (waitedRead) std::swap(lateBy, readWakeDelay_);
      }
    }
  }
  if (lateBy.count() > 0) std::this_thread::sleep_for(lateBy);
  if (armed) control->DisarmWaker();
  if (!ok) plat::SetLastError(error);
  return ok;
}

bool Bench::ClearError(plat::Handle h, std::uint32_t* errors) {
  if (errors) *errors = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  LogLocked(*p, HostLogEntry::Op::ClearError, true);
  p->log.back().value = p->lineErrors;
  if (errors) *errors = p->lineErrors;
  p->lineErrors = 0;
  p->ioAborted = false;
  PumpLocked(*p, Clock::now());
  return true;
}

void Bench::DelayNextReadWake(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  readWakeDelay_ = delay;
}

bool Bench::InQueue(plat::Handle h, std::uint32_t& count) {
  count = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  Port* p = LookupLocked(h);
  if (!p) return false;
  PumpLocked(*p, Clock::now());
  count = static_cast<std::uint32_t>(p->rx.size());
  return true;
}

// ---------------------------------------------------------------- observation

std::vector<HostLogEntry> Bench::Log(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p ? p->log : std::vector<HostLogEntry>{};
}

std::optional<TimePoint> Bench::LastDrained(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p ? p->drained : std::nullopt;
}

int Bench::OpenCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p ? p->openCount : 0;
}

bool Bench::IsOpen(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p && p->handle != 0;
}

std::size_t Bench::InputWaiting(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p ? p->rx.size() : 0;
}

int Bench::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}

std::vector<std::uint8_t> Bench::HostBytes(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p ? p->hostBytes : std::vector<std::uint8_t>{};
}

int Bench::LiveEventCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(events_.size());
}

bool Bench::Dtr(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p && p->dtr;
}

bool Bench::Rts(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p && p->rts;
}

bool Bench::Unplugged(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  return p && p->gone;
}

WireActivity Bench::HostWireActivity(const std::string& name, TimePoint from, TimePoint to) const {
  WireActivity a;
  if (to <= from) return a;
  std::lock_guard<std::mutex> lock(mutex_);
  const Port* p = FindNamedLocked(name);
  std::vector<std::pair<TimePoint, TimePoint>> spans;
  if (p != nullptr) {
    spans = p->txBusy;
    // The character on its way counts from when it went onto the wire; the
    // transmitter has not run dry while it is there.
    if (!p->tx.empty()) {
      if (!spans.empty() && p->txHeadStart <= spans.back().second) {
        spans.back().second = std::max(spans.back().second, p->txNextDue);
      } else {
        spans.emplace_back(p->txHeadStart, p->txNextDue);
      }
    }
  }
  const bool sending = p != nullptr && !p->tx.empty();
  auto idle = [&a](TimePoint begin, TimePoint end) {
    if (end <= begin) return;
    ++a.idleStretches;
    if (end - begin > a.longestIdle) {
      a.longestIdle = end - begin;
      a.longestIdleFrom = begin;
    }
  };
  // The spans are in time order and do not touch.
  auto it = std::upper_bound(spans.begin(), spans.end(), from,
                             [](TimePoint t, const std::pair<TimePoint, TimePoint>& s) { return t < s.second; });
  TimePoint cursor = from;
  for (; it != spans.end() && it->first < to; ++it) {
    const TimePoint begin = std::max(it->first, from);
    const TimePoint end = std::min(it->second, to);
    idle(cursor, begin);
    a.busy += end - begin;
    const bool last = it + 1 == spans.end();
    if (it->second <= to && !(last && sending)) a.ranDryAt = it->second;
    cursor = end;
  }
  idle(cursor, to);
  return a;
}

}  // namespace sim
