// plat::SerialApi on termios. See serial_posix.h for the port names and the
// handle rules, serial_api.h for the contract every backend keeps.
//
// Locking: the backend's table lock (Impl::mutex) is only held to look a
// handle up; a port's own lock (PortLock) is held for every change of the
// port's state and around the non-blocking read()/write() calls, never while
// waiting. The table lock is never taken while a port lock is held. A waiting
// Result() arms its thread's stop waker and disarms it without the port lock,
// because the waker is called under the ThreadControl's lock.
//
// Nothing is allocated per transfer or per wait: a port is made with its
// transfer slots and their eventfds (see Transfer), and events are made once
// by NewEvent().
#include "platform/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/linux_termios.h"
#include "platform/termios_settings.h"
#include "platform/thread.h"

namespace plat {
namespace {

using termios_settings::BaudOf;
using termios_settings::SpeedCode;
using termios_settings::ToTermios;

using Clock = std::chrono::steady_clock;

// Escape functions beyond the modem lines (Win32 values).
constexpr std::uint32_t kSetXoff = 1;
constexpr std::uint32_t kSetXon = 2;
constexpr std::uint32_t kSetBreak = 8;
constexpr std::uint32_t kClrBreak = 9;

// Error code of a failed system call outside the transfers.
std::uint32_t FromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOTTY:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    default:
      return kErrorGenFailure;
  }
}

bool FailWith(std::uint32_t code) {
  SetLastError(code);
  return false;
}

// Fails with the error of the system call that has just failed.
bool Fail() { return FailWith(FromErrno(errno)); }

void Signal(int fd) {
  const std::uint64_t one = 1;
  // A full counter already means "woken".
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

// A pseudo-terminal has no transmitter: a write hands its bytes to the master
// at once, and a flush of the output would take them back from there before
// the master's reader saw them. Only a real line's output queue is flushed.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;  // the Unix 98 pseudo-terminal slaves
}

void EmptyWakeCounter(int fd) {
  std::uint64_t value;
  while (::read(fd, &value, sizeof value) > 0) {
  }
}

// Ends a blocked wait when its thread is asked to stop. Runs under the
// ThreadControl's lock: it only writes to the wait's own eventfd.
class FdWaker final : public StopWaker {
 public:
  explicit FdWaker(int fd) : fd_(fd) {}
  void WakeForStop() override { Signal(fd_); }

 private:
  int fd_;
};

using EventState = std::shared_ptr<std::atomic<bool>>;

// Transfers a port keeps at the same time, at most: one per Overlapped record
// of the caller (the tool uses one for reading and one for writing).
constexpr std::size_t kTransferSlots = 8;

// A transfer slot of a port, made with the port, so that no transfer and no
// wait allocates anything. A transfer started on an Overlapped record takes
// the record's slot (or a free one) and is found by its record. The slot's
// eventfd lets a purge, a close or a stop request end a Result() that waits.
struct Transfer {
  const Overlapped* ov = nullptr;  // null: the slot is free
  bool superseded = false;         // a newer transfer on ov has its own slot
  int waits = 0;                   // Result() calls waiting; the slot is kept meanwhile
  int wakeFd = -1;
  bool write = false;
  std::uint8_t* in = nullptr;
  const std::uint8_t* out = nullptr;
  std::uint32_t count = 0;
  std::uint32_t done = 0;
  bool hasDeadline = false;
  Clock::time_point deadline;
  bool finished = false;
  bool ok = false;
  std::uint32_t error = 0;
  bool delivered = false;  // the caller has its result
  EventState event;

  void Finish(bool success, std::uint32_t code) {
    finished = true;
    ok = success;
    error = code;
    if (event) event->store(true, std::memory_order_release);
  }

  // Empties the slot for a transfer on 'record' (null: frees it).
  void Reset(const Overlapped* record) {
    const int fd = wakeFd;
    *this = Transfer{};
    wakeFd = fd;
    ov = record;
  }
};

struct Port {
  int fd = -1;
  std::mutex mutex;
  bool closed = false;
  Dcb dcb;
  CommTimeouts timeouts;
  std::array<Transfer, kTransferSlots> transfers;

  Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port() {
    if (fd >= 0) {
      ::ioctl(fd, TIOCNXCL);
      ::close(fd);  // also drops the flock
    }
    for (Transfer& t : transfers) {
      if (t.wakeFd >= 0) ::close(t.wakeFd);
    }
  }

  // Makes the slots' eventfds; false with errno set.
  bool MakeWakeFds() {
    for (Transfer& t : transfers) {
      t.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (t.wakeFd < 0) return false;
    }
    return true;
  }

  // The last transfer started on a record; null when there is none.
  Transfer* Find(const Overlapped* ov) {
    for (Transfer& t : transfers) {
      if (t.ov == ov && !t.superseded) return &t;
    }
    return nullptr;
  }

  // Takes a slot for a new transfer on ov: the record's own, unless a wait
  // still holds it, else one whose result has been collected. Null when
  // every slot holds a transfer that is still wanted.
  Transfer* Start(const Overlapped* ov) {
    Transfer* slot = nullptr;
    for (Transfer& t : transfers) {
      if (t.ov != ov || t.superseded) continue;
      if (t.waits == 0) {
        slot = &t;
      } else {
        t.superseded = true;  // its wait still gets its own result
      }
    }
    for (std::size_t i = 0; slot == nullptr && i < transfers.size(); ++i) {
      Transfer& t = transfers[i];
      if (t.waits == 0 && (t.ov == nullptr || t.delivered)) slot = &t;
    }
    if (slot != nullptr) slot->Reset(ov);
    return slot;
  }

  // Ends every unfinished transfer of one direction with 'code' and wakes its
  // waits. Caller holds the lock.
  void Abort(bool write, std::uint32_t code) {
    for (Transfer& t : transfers) {
      if (t.ov == nullptr || t.write != write) continue;
      if (!t.finished) t.Finish(false, code);
      if (t.waits > 0) Signal(t.wakeFd);
    }
  }

  // Moves the transfer on as far as the descriptor allows without blocking.
  // Caller holds the lock.
  void Progress(Transfer& t) {
    if (t.finished) return;
    while (t.done < t.count) {
      const std::uint32_t left = t.count - t.done;
      const ssize_t n = t.write ? ::write(fd, t.out + t.done, left) : ::read(fd, t.in + t.done, left);
      if (n > 0) {
        t.done += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
      t.Finish(false, kErrorGenFailure);  // device gone (EIO) or failing
      return;
    }
    if (t.done == t.count) {
      t.Finish(true, 0);
    } else if (t.write && t.hasDeadline && Clock::now() >= t.deadline) {
      t.Finish(true, 0);  // time-out: completes with the count written so far
    }
  }
};

// The open port of a handle, locked for as long as this lives; false, with
// kErrorInvalidHandle, for a handle that is not an open port. Every entry
// point checks its port through this one helper.
class PortLock {
 public:
  explicit PortLock(std::shared_ptr<Port> port) : port_(std::move(port)) {
    if (port_ != nullptr) {
      lock_ = std::unique_lock<std::mutex>(port_->mutex);
      if (!port_->closed) return;
      lock_.unlock();
      port_ = nullptr;
    }
    SetLastError(kErrorInvalidHandle);
  }
  explicit operator bool() const { return port_ != nullptr; }
  Port* operator->() const { return port_.get(); }
  Port& operator*() const { return *port_; }
  std::unique_lock<std::mutex>& Lock() { return lock_; }

 private:
  std::shared_ptr<Port> port_;  // outlives the lock: declared first
  std::unique_lock<std::mutex> lock_;
};

// Handles are tokens from one counter for ports and events alike, so neither
// is taken for the other, and no token is given out twice.
std::atomic<std::uintptr_t> gNextToken{0x1000};

Handle NewToken() { return reinterpret_cast<Handle>(gNextToken.fetch_add(0x10)); }

// Overwrites the members termios holds; the others keep their value in d.
void FromTermios(int fd, const termios& t, Dcb& d) {
  termios_settings::FromTermios(t, d);
#ifdef PLUG_FREE_SPEEDS
  if (BaudOf(::cfgetospeed(&t)) == 0) {
    if (std::uint32_t free = linux_termios::FreeSpeed(fd); free != 0) d.BaudRate = free;
  }
#else
  (void)fd;
#endif
}

// Sets or clears modem lines; false with errno on failure.
bool ModemLines(int fd, int bits, bool on) {
  return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// A pseudo-terminal has no modem lines: that is no failure of SetState.
bool NoModemLines(int e) { return e == ENOTTY || e == EINVAL; }

// A pseudo-terminal keeps 8 data bits without parity whatever it is told, and
// the C library's read-back check in tcsetattr then fails with EINVAL once the
// speed already stood at the asked value (so a second open of the same
// terminal fails where the first passed). A pseudo-terminal carries bytes,
// not frames: a frame other than 8N is taken as 8N there, as the Wine backend
// does. A port with modem lines is never one.
bool PtyKeptEightBits(int fd, int error, const Dcb& wanted) {
  if (error != EINVAL || (wanted.ByteSize == 8 && wanted.Parity == kNoParity)) return false;
  int lines = 0;
  if (::ioctl(fd, TIOCMGET, &lines) == 0 || !NoModemLines(errno)) return false;
  termios now;
  speed_t speed = B0;
  return ::tcgetattr(fd, &now) == 0 && (now.c_cflag & CSIZE) == CS8 && SpeedCode(wanted.BaudRate, speed) &&
         ::cfgetospeed(&now) == speed;
}

}  // namespace

struct PosixSerial::Impl {
  std::mutex mutex;
  std::map<Handle, std::shared_ptr<Port>> ports;
  std::map<Handle, EventState> events;

  std::shared_ptr<Port> FindPort(Handle h) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = ports.find(h);
    return it == ports.end() ? nullptr : it->second;
  }

  EventState FindEvent(Handle h) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = events.find(h);
    return it == events.end() ? nullptr : it->second;
  }

  bool StartTransfer(Handle h, Overlapped& ov, bool write, void* buffer, std::uint32_t count,
                     std::uint32_t* done);
  void Wait(Port& port, Transfer& t, std::unique_lock<std::mutex>& lock);
};

PosixSerial::PosixSerial() : impl_(std::make_unique<Impl>()) {}

PosixSerial::~PosixSerial() = default;

std::string PosixSerial::DevicePath(const char* name) {
  if (name == nullptr) return {};
  std::string_view s(name);
  if (!s.empty() && s.front() == '/') return std::string(s);
  if (s.starts_with("\\\\.\\")) s.remove_prefix(4);
  if (s.size() < 4 || (s[0] | 0x20) != 'c' || (s[1] | 0x20) != 'o' || (s[2] | 0x20) != 'm') return {};
  const std::string_view digits = s.substr(3);
  if (digits.size() > 3 || digits.front() == '0') return {};
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return {};
    n = n * 10 + (c - '0');
  }
  if (n > 255) return {};
  const std::string var = "PLUG_COM" + std::to_string(n);
  if (const char* env = std::getenv(var.c_str()); env != nullptr && *env != '\0') return env;
  return "/dev/ttyS" + std::to_string(n - 1);
}


Handle PosixSerial::Open(const char* path) {
  const std::string device = DevicePath(path);
  if (device.empty()) {
    SetLastError(kErrorFileNotFound);
    return InvalidHandle();
  }
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail();
    return InvalidHandle();
  }
  auto port = std::make_shared<Port>();
  port->fd = fd;  // closed by ~Port from here on
  termios t;
  if (::tcgetattr(fd, &t) != 0) {
    SetLastError(kErrorFileNotFound);  // not a terminal: no port by that name
    return InvalidHandle();
  }
  // flock keeps out every other opener of this device, root included and
  // this process included; TIOCEXCL keeps out openers that don't flock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
    SetLastError(errno == EWOULDBLOCK ? kErrorAccessDenied : FromErrno(errno));
    port->fd = -1;  // not ours to un-TIOCEXCL
    ::close(fd);
    return InvalidHandle();
  }
  if (!port->MakeWakeFds()) {
    Fail();
    return InvalidHandle();
  }
  port->dcb.fBinary = true;
  port->dcb.fDtrControl = kDtrControlEnable;  // the driver raises DTR and RTS on open
  port->dcb.fRtsControl = kRtsControlEnable;
  FromTermios(fd, t, port->dcb);

  const Handle h = NewToken();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->ports.emplace(h, std::move(port));
  return h;
}

bool PosixSerial::Close(Handle h) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->ports.find(h);
    if (it == impl_->ports.end()) return FailWith(kErrorInvalidHandle);
    port = std::move(it->second);
    impl_->ports.erase(it);
  }
  // A wait that still runs keeps the descriptor open until it has returned.
  std::lock_guard<std::mutex> lock(port->mutex);
  port->closed = true;
  port->Abort(false, kErrorOperationAborted);
  port->Abort(true, kErrorOperationAborted);
  return true;
}

Handle PosixSerial::NewEvent() {
  const Handle h = NewToken();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->events.emplace(h, std::make_shared<std::atomic<bool>>(false));
  return h;
}

bool PosixSerial::ResetEvent(Handle event) {
  EventState state = impl_->FindEvent(event);
  if (state == nullptr) return FailWith(kErrorInvalidHandle);
  state->store(false, std::memory_order_release);
  return true;
}

bool PosixSerial::CloseEvent(Handle event) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->events.erase(event) == 0) return FailWith(kErrorInvalidHandle);
  return true;
}

bool PosixSerial::EventSignalled(Handle event) {
  EventState state = impl_->FindEvent(event);
  return state != nullptr && state->load(std::memory_order_acquire);
}

bool PosixSerial::GetState(Handle h, Dcb& dcb) {
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  termios t;
  if (::tcgetattr(port->fd, &t) != 0) return Fail();
  dcb = port->dcb;
  FromTermios(port->fd, t, dcb);
  return true;
}

bool PosixSerial::SetState(Handle h, const Dcb& dcb) {
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  termios t;
  if (::tcgetattr(port->fd, &t) != 0) return Fail();
  std::uint32_t error = 0;
  bool freeSpeed = false;
  if (!ToTermios(dcb, t, freeSpeed, error)) return FailWith(error);
#ifdef PLUG_FREE_SPEEDS
  const bool applied = freeSpeed ? linux_termios::SetWithFreeSpeed(port->fd, t, dcb.BaudRate)
                                 : ::tcsetattr(port->fd, TCSANOW, &t) == 0;
#else
  const bool applied = ::tcsetattr(port->fd, TCSANOW, &t) == 0;
#endif
  if (!applied) {
    const int setError = errno;
    if (!PtyKeptEightBits(port->fd, setError, dcb)) return FailWith(FromErrno(setError));
  }
  // DTR/RTS as the Dcb says. Handshake lines start raised; with CRTSCTS the
  // driver drives RTS from then on. Toggle mode idles low.
  const bool dtr = dcb.fDtrControl != kDtrControlDisable;
  const bool rts = dcb.fRtsControl == kRtsControlEnable || dcb.fRtsControl == kRtsControlHandshake;
  if (!ModemLines(port->fd, TIOCM_DTR, dtr) && !NoModemLines(errno)) return Fail();
  if (!ModemLines(port->fd, TIOCM_RTS, rts) && !NoModemLines(errno)) return Fail();
  port->dcb = dcb;
  return true;
}

bool PosixSerial::SetupQueues(Handle h, std::uint32_t, std::uint32_t) {
  // The kernel's queues have fixed sizes: the advice is taken and ignored.
  PortLock port(impl_->FindPort(h));
  return static_cast<bool>(port);
}

bool PosixSerial::GetTimeouts(Handle h, CommTimeouts& timeouts) {
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  timeouts = port->timeouts;
  return true;
}

bool PosixSerial::SetTimeouts(Handle h, const CommTimeouts& timeouts) {
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  port->timeouts = timeouts;
  return true;
}

bool PosixSerial::Purge(Handle h, std::uint32_t flags) {
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  if ((flags & ~kPurgeAllFlags) != 0) return FailWith(kErrorInvalidParameter);
  // tcflush does not wake a read that waits in poll(): the aborts do.
  if ((flags & kPurgeRxAbort) != 0) port->Abort(false, kErrorOperationAborted);
  if ((flags & kPurgeTxAbort) != 0) port->Abort(true, kErrorOperationAborted);
  if ((flags & kPurgeRxClear) != 0 && ::tcflush(port->fd, TCIFLUSH) != 0) return Fail();
  if ((flags & kPurgeTxClear) != 0 && !IsPseudoTerminal(port->fd) && ::tcflush(port->fd, TCOFLUSH) != 0) {
    return Fail();
  }
  return true;
}

bool PosixSerial::Drain(Handle h, std::uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint32_t baud = 0;
  for (;;) {
    {
      PortLock port(impl_->FindPort(h));
      if (!port) return false;
      baud = port->dcb.BaudRate;
      int queued = 0;
      if (::ioctl(port->fd, TIOCOUTQ, &queued) != 0) return Fail();
      if (queued == 0) break;
    }
    if (Clock::now() >= deadline) return FailWith(kErrorSemTimeout);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The queue is empty; the UART and the adapter may still hold characters.
  std::this_thread::sleep_for(std::chrono::microseconds(DrainMarginMicroseconds(baud)));
  return true;
}

bool PosixSerial::ClearError(Handle h, std::uint32_t* errors) {
  if (errors != nullptr) *errors = 0;
  PortLock port(impl_->FindPort(h));
  return static_cast<bool>(port);
}

bool PosixSerial::InQueue(Handle h, std::uint32_t& count) {
  count = 0;
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  int waiting = 0;
  if (::ioctl(port->fd, TIOCINQ, &waiting) != 0) return Fail();
  count = static_cast<std::uint32_t>(std::max(waiting, 0));
  return true;
}

bool PosixSerial::Escape(Handle h, std::uint32_t function) {
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  bool ok;
  switch (function) {
    case kSetRts: ok = ModemLines(port->fd, TIOCM_RTS, true); break;
    case kClrRts: ok = ModemLines(port->fd, TIOCM_RTS, false); break;
    case kSetDtr: ok = ModemLines(port->fd, TIOCM_DTR, true); break;
    case kClrDtr: ok = ModemLines(port->fd, TIOCM_DTR, false); break;
    case kSetXoff: ok = ::tcflow(port->fd, TCOOFF) == 0; break;
    case kSetXon: ok = ::tcflow(port->fd, TCOON) == 0; break;
    case kSetBreak: ok = ::ioctl(port->fd, TIOCSBRK) == 0; break;
    case kClrBreak: ok = ::ioctl(port->fd, TIOCCBRK) == 0; break;
    default: return FailWith(kErrorInvalidParameter);
  }
  if (!ok) return FailWith(NoModemLines(errno) ? kErrorNotSupported : FromErrno(errno));
  return true;
}

// --- transfers --------------------------------------------------------------

bool PosixSerial::Impl::StartTransfer(Handle h, Overlapped& ov, bool write, void* buffer, std::uint32_t count,
                                      std::uint32_t* done) {
  EventState event;
  if (ov.hEvent != nullptr) {
    event = FindEvent(ov.hEvent);
    if (event == nullptr) return FailWith(kErrorInvalidHandle);
    event->store(false, std::memory_order_release);
  }
  PortLock port(FindPort(h));
  if (!port) return false;
  Transfer* started = port->Start(&ov);
  if (started == nullptr) return FailWith(kErrorInvalidParameter);  // too many transfers at once
  Transfer& t = *started;
  t.write = write;
  t.in = write ? nullptr : static_cast<std::uint8_t*>(buffer);
  t.out = write ? static_cast<const std::uint8_t*>(buffer) : nullptr;
  t.count = count;
  t.event = std::move(event);
  if (write) {
    const std::uint64_t ms = std::uint64_t{port->timeouts.WriteTotalTimeoutMultiplier} * count +
                             port->timeouts.WriteTotalTimeoutConstant;
    if (ms != 0) {
      t.hasDeadline = true;
      t.deadline = Clock::now() + std::chrono::milliseconds(ms);
    }
  }
  port->Progress(t);
  ov.InternalHigh = t.done;
  if (!t.finished) {
    ov.Internal = kErrorIoPending;
    return FailWith(kErrorIoPending);
  }
  t.delivered = true;
  ov.Internal = t.error;
  if (!t.ok) return FailWith(t.error);
  if (done != nullptr) *done = t.done;
  return true;
}

bool PosixSerial::Read(Handle h, void* buffer, std::uint32_t count, std::uint32_t* done, Overlapped& ov) {
  if (done != nullptr) *done = 0;
  if (buffer == nullptr && count != 0) return FailWith(kErrorInvalidParameter);
  // A stop requested before the read starts ends it at once.
  if (ThreadControl* control = CurrentThreadControl(); control != nullptr && control->StopRequested()) {
    if (impl_->FindPort(h) == nullptr) return FailWith(kErrorInvalidHandle);
    return FailWith(kErrorOperationAborted);
  }
  return impl_->StartTransfer(h, ov, false, buffer, count, done);
}

bool PosixSerial::Write(Handle h, const void* data, std::uint32_t count, std::uint32_t* done, Overlapped& ov) {
  if (done != nullptr) *done = 0;
  if (data == nullptr && count != 0) return FailWith(kErrorInvalidParameter);
  return impl_->StartTransfer(h, ov, true, const_cast<void*>(data), count, done);
}

// Waits until the transfer has finished: all bytes moved, aborted, failed,
// timed out (writes) or stopped (reads of a TThread). Called with the port
// locked and t.waits counting this wait; returns with the port locked.
void PosixSerial::Impl::Wait(Port& port, Transfer& t, std::unique_lock<std::mutex>& lock) {
  const bool write = t.write;
  EmptyWakeCounter(t.wakeFd);  // wake-ups meant for an earlier transfer of the slot
  // Only reads end on the stop request; a write has its time-out. The waker
  // is armed and disarmed without the port lock (it runs under the
  // ThreadControl's lock).
  ThreadControl* control = write ? nullptr : CurrentThreadControl();
  FdWaker waker(t.wakeFd);
  lock.unlock();
  const bool stopped = control != nullptr && !control->ArmWaker(&waker);
  lock.lock();
  if (stopped) {
    if (!t.finished) t.Finish(false, kErrorOperationAborted);
    return;
  }
  bool broken = false;  // hang-up or a failing poll()
  for (;;) {
    port.Progress(t);
    if (t.finished) break;
    if (broken) {
      t.Finish(false, kErrorGenFailure);
      break;
    }
    if (control != nullptr && control->StopRequested()) {
      t.Finish(false, kErrorOperationAborted);
      break;
    }
    int timeout = -1;
    if (t.hasDeadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(t.deadline - Clock::now()).count();
      timeout = static_cast<int>(std::max<decltype(left)>(left, 1));
    }
    pollfd fds[2] = {{port.fd, static_cast<short>(write ? POLLOUT : POLLIN), 0}, {t.wakeFd, POLLIN, 0}};
    lock.unlock();
    const int n = ::poll(fds, 2, timeout);
    const int pollErrno = errno;
    lock.lock();
    if (n < 0 && pollErrno != EINTR) broken = true;
    if (n > 0 && fds[1].revents != 0) EmptyWakeCounter(t.wakeFd);
    // Bytes that came with the hang-up are still taken by the next Progress.
    if (n > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) broken = true;
  }
  if (control != nullptr) {
    lock.unlock();
    control->DisarmWaker();
    lock.lock();
  }
}

bool PosixSerial::Result(Handle h, Overlapped& ov, std::uint32_t* done, bool wait) {
  if (done != nullptr) *done = 0;
  PortLock port(impl_->FindPort(h));
  if (!port) return false;
  Transfer* found = port->Find(&ov);
  if (found == nullptr) return FailWith(kErrorInvalidParameter);
  Transfer& t = *found;
  port->Progress(t);
  if (!t.finished && wait) {
    ++t.waits;
    impl_->Wait(*port, t, port.Lock());
    --t.waits;
  }
  ov.InternalHigh = t.done;
  if (!t.finished) {
    ov.Internal = kErrorIoPending;
    return FailWith(kErrorIoIncomplete);
  }
  t.delivered = true;
  ov.Internal = t.error;
  const bool ok = t.ok;
  const std::uint32_t error = t.error;
  // Bytes read before an abort are lost; a write tells how far it came.
  if (done != nullptr && (ok || t.write)) *done = t.done;
  if (t.superseded && t.waits == 0) t.Reset(nullptr);  // a newer transfer has the record
  if (!ok) return FailWith(error);
  return true;
}

}  // namespace plat
