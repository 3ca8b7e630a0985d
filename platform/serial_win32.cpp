// Win32 serial backend. Every port operation is the matching communications
// call; a failure leaves ::GetLastError() in plat::LastError().
//
// Pending transfers are tracked on their records (made once by NewEvent(), so
// no transfer allocates): PurgeComm(PURGE_RXABORT) does not release a pending
// overlapped ReadFile everywhere (Wine on a pty keeps it waiting), CancelIoEx
// on that read does, so a purge with kPurgeRxAbort (and kPurgeTxAbort for
// writes) also cancels the port's pending transfers. A stop request of the
// reading worker thread cancels its read the same way.
//
// Under Wine a pseudo-terminal takes only 8 data bits without parity; SetState
// runs it so instead of failing (HoldsOnly8Bits below).
#include "platform/serial_win32.h"

#include <windows.h>

#include "platform/thread.h"

#include <algorithm>

namespace plat {

struct Win32Serial::IoRecord {
  OVERLAPPED ov{};
  HANDLE event = nullptr;
  bool read = false;         // direction of the last transfer started on it
  Handle pendingOn = nullptr;  // the port its transfer is pending on; null: none
};

// The open port of a handle, checked under the backend's lock, which it holds
// for as long as it lives; false, with kErrorInvalidHandle, for a handle that
// is not an open port. Every entry point checks its port through this one
// helper. The system serialises the calls on a port; the lock guards the
// backend's own tables, so entry points that wait check with a temporary.
class Win32Serial::PortLock {
 public:
  PortLock(Win32Serial& api, Handle port) : lock_(api.mutex_) {
    open_ = port != nullptr && port != InvalidHandle() && api.ports_.count(port) != 0;
    if (!open_) plat::SetLastError(kErrorInvalidHandle);
  }
  explicit operator bool() const { return open_; }

 private:
  std::lock_guard<std::mutex> lock_;
  bool open_ = false;
};

namespace {

bool Fail() {
  plat::SetLastError(static_cast<std::uint32_t>(::GetLastError()));
  return false;
}

bool FailWith(std::uint32_t code) {
  plat::SetLastError(code);
  return false;
}

HANDLE H(Handle h) { return static_cast<HANDLE>(h); }

// Ends a read that a stop request of its worker thread interrupts.
class CancelOnStop final : public StopWaker {
 public:
  CancelOnStop(HANDLE port, OVERLAPPED* ov) : port_(port), ov_(ov) {}
  void WakeForStop() override { ::CancelIoEx(port_, ov_); }

 private:
  HANDLE port_;
  OVERLAPPED* ov_;
};

// Wine on a pseudo-terminal: the terminal driver keeps 8 data bits without
// parity whatever it is told, and the C library's check of what the driver
// kept (tcsetattr reads the settings back) makes SetCommState fail with
// ERROR_INVALID_PARAMETER after the speed is set. Then, and only for a valid
// frame (5 to 8 bits, no/odd/even/mark/space parity) other than 8N, the frame
// is taken as 8N: a pseudo-terminal carries bytes, not frames. The port must report the asked
// speed and 8 bits (Wine's parity report of a pseudo-terminal is unreliable).
// Windows itself never gets here.
bool HoldsOnly8Bits(HANDLE port, const DCB& wanted) {
  const bool validFrame = wanted.ByteSize >= 5 && wanted.ByteSize <= 8 && wanted.Parity <= SPACEPARITY;
  if (!validFrame || (wanted.ByteSize == 8 && wanted.Parity == NOPARITY)) return false;
  if (!Win32Serial::RunsOnWine()) return false;
  DCB now{};
  now.DCBlength = sizeof(DCB);
  if (!::GetCommState(port, &now)) return false;
  return now.BaudRate == wanted.BaudRate && now.ByteSize == 8;
}

}  // namespace

// --- ports ------------------------------------------------------------------

Handle Win32Serial::Open(const char* path) {
  HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return InvalidHandle();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ports_.insert(h);
  return h;
}

bool Win32Serial::Close(Handle port) {
  {
    PortLock locked(*this, port);
    if (!locked) return false;
    ports_.erase(port);
    // Closing the handle ends its pending transfers.
    for (IoRecord* rec : records_) {
      if (rec->pendingOn == port) rec->pendingOn = nullptr;
    }
  }
  if (!::CloseHandle(H(port))) return Fail();
  return true;
}

// --- events -----------------------------------------------------------------

Handle Win32Serial::NewEvent() {
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    Fail();
    return nullptr;
  }
  auto* rec = new IoRecord;
  rec->event = event;
  std::lock_guard<std::mutex> lock(mutex_);
  records_.insert(rec);
  return rec;
}

Win32Serial::IoRecord* Win32Serial::ValidRecordLocked(const Overlapped& ov) {
  auto* rec = static_cast<IoRecord*>(ov.hEvent);
  if (rec == nullptr || records_.count(rec) == 0) {
    plat::SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return rec;
}

Win32Serial::IoRecord* Win32Serial::ValidRecord(const Overlapped& ov) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ValidRecordLocked(ov);
}

bool Win32Serial::ResetEvent(Handle event) {
  Overlapped ov;
  ov.hEvent = event;
  IoRecord* rec = ValidRecord(ov);
  if (rec == nullptr) return false;
  if (!::ResetEvent(rec->event)) return Fail();
  return true;
}

bool Win32Serial::CloseEvent(Handle event) {
  Overlapped ov;
  ov.hEvent = event;
  IoRecord* rec = ValidRecord(ov);
  if (rec == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(rec);
  }
  BOOL ok = ::CloseHandle(rec->event);
  DWORD err = ::GetLastError();
  delete rec;
  if (!ok) return FailWith(static_cast<std::uint32_t>(err));
  return true;
}

// --- line settings ------------------------------------------------------------

bool Win32Serial::GetState(Handle port, Dcb& d) {
  if (!PortLock(*this, port)) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!::GetCommState(H(port), &dcb)) return Fail();
  d.BaudRate = dcb.BaudRate;
  d.fBinary = dcb.fBinary != 0;
  d.fParity = dcb.fParity != 0;
  d.fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
  d.fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
  d.fDtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  d.fDsrSensitivity = dcb.fDsrSensitivity != 0;
  d.fTXContinueOnXoff = dcb.fTXContinueOnXoff != 0;
  d.fOutX = dcb.fOutX != 0;
  d.fInX = dcb.fInX != 0;
  d.fErrorChar = dcb.fErrorChar != 0;
  d.fNull = dcb.fNull != 0;
  d.fRtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  d.fAbortOnError = dcb.fAbortOnError != 0;
  d.XonLim = dcb.XonLim;
  d.XoffLim = dcb.XoffLim;
  d.ByteSize = dcb.ByteSize;
  d.Parity = dcb.Parity;
  d.StopBits = dcb.StopBits;
  d.XonChar = dcb.XonChar;
  d.XoffChar = dcb.XoffChar;
  d.ErrorChar = dcb.ErrorChar;
  d.EofChar = dcb.EofChar;
  d.EvtChar = dcb.EvtChar;
  return true;
}

bool Win32Serial::SetState(Handle port, const Dcb& d) {
  if (!PortLock(*this, port)) return false;
  // Read-modify-write: members the seam does not carry keep the driver's values.
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!::GetCommState(H(port), &dcb)) return Fail();
  dcb.BaudRate = d.BaudRate;
  dcb.fBinary = d.fBinary;
  dcb.fParity = d.fParity;
  dcb.fOutxCtsFlow = d.fOutxCtsFlow;
  dcb.fOutxDsrFlow = d.fOutxDsrFlow;
  dcb.fDtrControl = d.fDtrControl & 3u;
  dcb.fDsrSensitivity = d.fDsrSensitivity;
  dcb.fTXContinueOnXoff = d.fTXContinueOnXoff;
  dcb.fOutX = d.fOutX;
  dcb.fInX = d.fInX;
  dcb.fErrorChar = d.fErrorChar;
  dcb.fNull = d.fNull;
  dcb.fRtsControl = d.fRtsControl & 3u;
  dcb.fAbortOnError = d.fAbortOnError;
  dcb.XonLim = d.XonLim;
  dcb.XoffLim = d.XoffLim;
  dcb.ByteSize = d.ByteSize;
  dcb.Parity = d.Parity;
  dcb.StopBits = d.StopBits;
  dcb.XonChar = d.XonChar;
  dcb.XoffChar = d.XoffChar;
  dcb.ErrorChar = d.ErrorChar;
  dcb.EofChar = d.EofChar;
  dcb.EvtChar = d.EvtChar;
  if (::SetCommState(H(port), &dcb)) return true;
  const DWORD err = ::GetLastError();
  if (err == ERROR_INVALID_PARAMETER && HoldsOnly8Bits(H(port), dcb)) {
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.fParity = FALSE;
    if (::SetCommState(H(port), &dcb)) return true;
  }
  return FailWith(static_cast<std::uint32_t>(err));
}

bool Win32Serial::RunsOnWine() {
  static const bool wine = [] {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

bool Win32Serial::SetupQueues(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) {
  if (!PortLock(*this, port)) return false;
  // Some drivers (and Wine) take no advice: ERROR_NOT_SUPPORTED goes to the caller.
  if (!::SetupComm(H(port), inQueue, outQueue)) return Fail();
  return true;
}

bool Win32Serial::GetTimeouts(Handle port, CommTimeouts& t) {
  if (!PortLock(*this, port)) return false;
  COMMTIMEOUTS ct{};
  if (!::GetCommTimeouts(H(port), &ct)) return Fail();
  t.ReadIntervalTimeout = ct.ReadIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = ct.ReadTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = ct.ReadTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = ct.WriteTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = ct.WriteTotalTimeoutConstant;
  return true;
}

bool Win32Serial::SetTimeouts(Handle port, const CommTimeouts& t) {
  if (!PortLock(*this, port)) return false;
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
  ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  if (!::SetCommTimeouts(H(port), &ct)) return Fail();
  return true;
}

bool Win32Serial::Purge(Handle port, std::uint32_t flags) {
  PortLock locked(*this, port);
  if (!locked) return false;
  BOOL ok = ::PurgeComm(H(port), flags);
  DWORD err = ok ? 0 : ::GetLastError();
  for (IoRecord* rec : records_) {
    if (rec->pendingOn != port) continue;
    if ((flags & (rec->read ? kPurgeRxAbort : kPurgeTxAbort)) != 0) ::CancelIoEx(H(port), &rec->ov);
  }
  if (!ok) return FailWith(static_cast<std::uint32_t>(err));
  return true;
}

bool Win32Serial::Drain(Handle port, std::uint32_t timeoutMs) {
  if (!PortLock(*this, port)) return false;
  const DWORD start = ::GetTickCount();
  DWORD queryError = 0;  // a driver that refuses to tell its queue
  for (;;) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(H(port), &errors, &stat)) {
      queryError = ::GetLastError();
      break;
    }
    if (stat.cbOutQue == 0) break;
    if (::GetTickCount() - start >= timeoutMs) {
      plat::SetLastError(kErrorSemTimeout);
      return false;
    }
    ::Sleep(1);
  }
  // The driver's queue is empty, or it would not say: the UART and a USB
  // adapter's own buffer may still hold characters (the monitor exit just
  // written, say), which PURGE_TXCLEAR would throw away.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const std::uint32_t baud = ::GetCommState(H(port), &dcb) ? dcb.BaudRate : 0;
  ::Sleep((DrainMarginMicroseconds(baud) + 999) / 1000);
  if (queryError != 0) {
    plat::SetLastError(queryError);
    return false;
  }
  return true;
}

bool Win32Serial::ClearError(Handle port, std::uint32_t* errors) {
  if (errors != nullptr) *errors = 0;
  if (!PortLock(*this, port)) return false;
  DWORD flags = 0;
  if (!::ClearCommError(H(port), &flags, nullptr)) return Fail();
  if (errors != nullptr) *errors = static_cast<std::uint32_t>(flags);
  return true;
}

bool Win32Serial::InQueue(Handle port, std::uint32_t& count) {
  count = 0;
  if (!PortLock(*this, port)) return false;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(H(port), &errors, &stat)) return Fail();
  count = static_cast<std::uint32_t>(stat.cbInQue);
  return true;
}

bool Win32Serial::Escape(Handle port, std::uint32_t function) {
  if (!PortLock(*this, port)) return false;
  if (!::EscapeCommFunction(H(port), function)) return Fail();
  return true;
}

// --- transfers --------------------------------------------------------------

void Win32Serial::Track(Handle port, IoRecord* rec, bool add) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (add && ports_.count(port) != 0) {
    rec->pendingOn = port;
  } else if (!add && rec->pendingOn == port) {
    rec->pendingOn = nullptr;
  }
}

int Win32Serial::PendingCount(Handle port, bool reads) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const IoRecord* rec : records_) n += rec->pendingOn == port && rec->read == reads ? 1 : 0;
  return n;
}

bool Win32Serial::StartTransfer(Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
                                Overlapped& ov, bool read) {
  if (done != nullptr) *done = 0;
  if (!PortLock(*this, port)) return false;
  IoRecord* rec = ValidRecord(ov);
  if (rec == nullptr) return false;
  rec->read = read;
  rec->ov = OVERLAPPED{};
  rec->ov.hEvent = rec->event;
  if (!::ResetEvent(rec->event)) return Fail();

  // A read of a worker thread that has been told to stop is not started; one
  // that the stop request meets while it starts is cancelled.
  ThreadControl* control = read ? CurrentThreadControl() : nullptr;
  CancelOnStop waker(H(port), &rec->ov);
  if (control != nullptr && !control->ArmWaker(&waker)) return FailWith(kErrorOperationAborted);

  DWORD n = 0;
  BOOL ok = read ? ::ReadFile(H(port), buffer, count, &n, &rec->ov)
                 : ::WriteFile(H(port), buffer, count, &n, &rec->ov);
  DWORD err = ok ? 0 : ::GetLastError();
  if (!ok && err == ERROR_IO_PENDING) Track(port, rec, true);
  if (control != nullptr) {
    if (!ok && err == ERROR_IO_PENDING && control->StopRequested()) ::CancelIoEx(H(port), &rec->ov);
    control->DisarmWaker();
  }
  ov.Internal = rec->ov.Internal;
  ov.InternalHigh = rec->ov.InternalHigh;
  if (ok) {
    if (done != nullptr) *done = n;
    return true;
  }
  return FailWith(static_cast<std::uint32_t>(err));
}

bool Win32Serial::Read(Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
                       Overlapped& ov) {
  return StartTransfer(port, buffer, count, done, ov, true);
}

bool Win32Serial::Write(Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
                        Overlapped& ov) {
  return StartTransfer(port, const_cast<void*>(data), count, done, ov, false);
}

bool Win32Serial::Result(Handle port, Overlapped& ov, std::uint32_t* done, bool wait) {
  if (done != nullptr) *done = 0;
  if (!PortLock(*this, port)) return false;
  IoRecord* rec = ValidRecord(ov);
  if (rec == nullptr) return false;

  ThreadControl* control = (rec->read && wait) ? CurrentThreadControl() : nullptr;
  CancelOnStop waker(H(port), &rec->ov);
  DWORD n = 0;
  if (control != nullptr && !control->ArmWaker(&waker)) {
    // Stopped before the wait: abandon the read, but only once the system
    // has let go of the record.
    ::CancelIoEx(H(port), &rec->ov);
    ::GetOverlappedResult(H(port), &rec->ov, &n, TRUE);
    Track(port, rec, false);
    return FailWith(kErrorOperationAborted);
  }
  BOOL ok = ::GetOverlappedResult(H(port), &rec->ov, &n, wait ? TRUE : FALSE);
  DWORD err = ok ? 0 : ::GetLastError();
  if (control != nullptr) control->DisarmWaker();
  if (ok || err != ERROR_IO_INCOMPLETE) Track(port, rec, false);
  ov.Internal = rec->ov.Internal;
  ov.InternalHigh = rec->ov.InternalHigh;
  if (!ok) return FailWith(static_cast<std::uint32_t>(err));
  if (done != nullptr) *done = n;
  return true;
}

}  // namespace plat
