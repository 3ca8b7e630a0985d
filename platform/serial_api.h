// The serial-port seam: the handful of port operations the tool needs, shaped
// like the Win32 communications API so that the Win32 backend is a thin layer
// and the other backends (POSIX termios, the simulated plug) reproduce the same
// observable results.
//
// Conventions shared by every backend:
// - A call that fails returns false (or InvalidHandle() for Open) and leaves its
//   error code in LastError() of the calling thread.
// - A null handle is refused with kErrorInvalidHandle; InvalidHandle() is never a
//   valid port.
// - Read/Write start an overlapped transfer on the direction's Overlapped record.
//   They return true when the transfer completed at once (count in *done), or
//   false with LastError() == kErrorIoPending when it must be waited for with
//   Result(wait = true).
// - A pending read completes only when every requested byte has arrived (the
//   tool runs without read time-outs). It is aborted, Result() returning false
//   with kErrorOperationAborted, by Purge() with kPurgeRxAbort, and by a stop
//   request of the worker thread that waits for it (plat::ThreadControl), also
//   when the stop came before the read started.
// - A pending write completes when all bytes are accepted, or after its write
//   time-out with the count written so far (Result() then returns true).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

using Handle = void*;

inline Handle InvalidHandle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }

// Error codes (values as on Windows, so diagnostics read the same everywhere).
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorBadCommand = 22;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::uint32_t kErrorOperationAborted = 995;
constexpr std::uint32_t kErrorIoIncomplete = 996;
constexpr std::uint32_t kErrorIoPending = 997;

// Purge flags.
constexpr std::uint32_t kPurgeTxAbort = 0x0001;
constexpr std::uint32_t kPurgeRxAbort = 0x0002;
constexpr std::uint32_t kPurgeTxClear = 0x0004;
constexpr std::uint32_t kPurgeRxClear = 0x0008;
constexpr std::uint32_t kPurgeAllFlags = 0x000F;

// Modem-line functions for Escape().
constexpr std::uint32_t kSetRts = 3;
constexpr std::uint32_t kClrRts = 4;
constexpr std::uint32_t kSetDtr = 5;
constexpr std::uint32_t kClrDtr = 6;

constexpr std::uint8_t kDtrControlDisable = 0;
constexpr std::uint8_t kDtrControlEnable = 1;
constexpr std::uint8_t kDtrControlHandshake = 2;
constexpr std::uint8_t kRtsControlDisable = 0;
constexpr std::uint8_t kRtsControlEnable = 1;
constexpr std::uint8_t kRtsControlHandshake = 2;
constexpr std::uint8_t kRtsControlToggle = 3;

constexpr std::uint8_t kNoParity = 0;
constexpr std::uint8_t kOddParity = 1;
constexpr std::uint8_t kEvenParity = 2;
constexpr std::uint8_t kMarkParity = 3;
constexpr std::uint8_t kSpaceParity = 4;

constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kOne5StopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;

// Line errors reported by ClearError() (Win32 CE_ values).
constexpr std::uint32_t kCeRxOver = 0x0001;
constexpr std::uint32_t kCeOverrun = 0x0002;
constexpr std::uint32_t kCeRxParity = 0x0004;
constexpr std::uint32_t kCeFrame = 0x0008;
constexpr std::uint32_t kCeBreak = 0x0010;

// Line settings, member for member the Win32 device-control block.
struct Dcb {
  std::uint32_t BaudRate = 0;
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  std::uint8_t fDtrControl = kDtrControlDisable;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  std::uint8_t fRtsControl = kRtsControlDisable;
  bool fAbortOnError = false;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = kNoParity;
  std::uint8_t StopBits = kOneStopBit;
  char XonChar = 0x11;
  char XoffChar = 0x13;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

// Turns off what an earlier program may have left on a port and the tool
// never uses; a driver keeps them across opens. Abort on error would stop
// every transfer after one framing error until ClearError(), NUL stripping
// and error-character replacement change the bytes that arrive, XON/XOFF and
// DSR flow control or sensitivity hold or drop them. The XON and XOFF
// characters are set although XON/XOFF stays off: a driver that reports
// them equal (both 0, say) makes every change of settings fail.
inline void ClearLeftoverSettings(Dcb& dcb) {
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.fAbortOnError = false;
  dcb.fNull = false;
  dcb.fErrorChar = false;
  dcb.fOutX = false;
  dcb.fInX = false;
  dcb.fOutxDsrFlow = false;
  dcb.fDsrSensitivity = false;
}

// How long Drain() goes on waiting once the driver's output queue is empty:
// the UART's FIFO and a USB adapter's own buffer still hold characters then,
// and a transmit purge (or a close) right after would throw them away. 20 ms,
// or 20 character times at the line's speed where that is longer.
inline std::uint32_t DrainMarginMicroseconds(std::uint32_t baud) {
  constexpr std::uint32_t kFloorUs = 20000;
  if (baud == 0) return kFloorUs;
  const std::uint64_t chars = 20ull * 10 * 1000000 / baud;
  return chars > kFloorUs ? static_cast<std::uint32_t>(chars) : kFloorUs;
}

// What kind of port a serial port of the machine is.
enum class PortKind {
  Serial,     // a UART of the PC, or one whose kind the system does not tell
  Usb,        // a USB serial adapter
  Bluetooth,  // a virtual port of a Bluetooth connection: opening it starts the radio link
};

// One serial port of the machine as the system lists it.
struct PortEntry {
  std::string name;  // as Open() takes it ("\\.\COM5", "/dev/ttyUSB0")
  PortKind kind = PortKind::Serial;
  std::string about;  // what the system knows of the device (friendly name, by-id name, driver), UTF-8; may be empty
};

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// One record per transfer direction. hEvent is an event made by NewEvent() of
// the same backend; backends may keep their own bookkeeping of the pending
// transfer behind it.
struct Overlapped {
  std::uintptr_t Internal = 0;
  std::uintptr_t InternalHigh = 0;
  std::uint32_t Offset = 0;
  std::uint32_t OffsetHigh = 0;
  Handle hEvent = nullptr;
};

class SerialApi {
 public:
  virtual ~SerialApi() = default;

  // Opens a port by device path ("\\.\COM1") for overlapped reading and
  // writing with exclusive access. InvalidHandle() and an error on failure.
  virtual Handle Open(const char* path) = 0;
  virtual bool Close(Handle port) = 0;

  // Unnamed manual-reset event, created non-signalled.
  virtual Handle NewEvent() = 0;
  virtual bool ResetEvent(Handle event) = 0;
  virtual bool CloseEvent(Handle event) = 0;

  virtual bool GetState(Handle port, Dcb& dcb) = 0;
  virtual bool SetState(Handle port, const Dcb& dcb) = 0;
  // Advises the driver of its queue sizes. A driver that takes no advice
  // reports kErrorNotSupported.
  virtual bool SetupQueues(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool GetTimeouts(Handle port, CommTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(Handle port, const CommTimeouts& timeouts) = 0;
  virtual bool Purge(Handle port, std::uint32_t flags) = 0;
  // Waits until the bytes written so far have left the port: the driver's
  // output queue is empty and, after that, DrainMarginMicroseconds() have
  // passed for what the transmitter and the adapter still hold. False with kErrorSemTimeout when that takes longer than
  // timeoutMs (output held back by flow control, for example).
  virtual bool Drain(Handle port, std::uint32_t timeoutMs) = 0;
  virtual bool Escape(Handle port, std::uint32_t function) = 0;

  virtual bool Read(Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
                    Overlapped& ov) = 0;
  virtual bool Write(Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
                     Overlapped& ov) = 0;
  // Waits (wait = true) for the transfer on ov and gives its count.
  virtual bool Result(Handle port, Overlapped& ov, std::uint32_t* done, bool wait) = 0;
  // Gives the line errors seen since the last call (kCe... flags, into
  // *errors when not null) and clears them; with abort on error set, this is
  // what lets transfers run again after an error. A port that keeps no error
  // state reports none.
  virtual bool ClearError(Handle /*port*/, std::uint32_t* errors) {
    if (errors != nullptr) *errors = 0;
    return true;
  }
  // Bytes that have arrived at the port and wait in the driver's input queue,
  // taken by no read yet (Win32: the cbInQue of ClearCommError, which also
  // clears the line errors). Tells whether a device has begun to answer while
  // the thread that reads its answer has not run yet. A backend that cannot
  // tell fails with kErrorNotSupported.
  virtual bool InQueue(Handle port, std::uint32_t& count);
  // The serial ports the machine has now, in no particular order. Opens no
  // port. A backend that knows of none gives an empty list.
  virtual std::vector<PortEntry> Ports() { return {}; }
};

// Error code of the calling thread's last failed call.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// The process-wide current backend, chosen by main() or by a test.
SerialApi& Serial();
void SetSerial(SerialApi* api);

}  // namespace plat
