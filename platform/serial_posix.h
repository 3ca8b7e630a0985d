// The POSIX serial backend: plat::SerialApi on termios.
//
// Port names: "\\.\COMn" (or "COMn") opens the device named by the environment
// variable PLUG_COMn when it is set, else /dev/ttyS<n-1>. An absolute device
// path is opened as it is.
//
// Handles are tokens looked up in the backend's tables, never pointers; a
// closed handle stays refused (kErrorInvalidHandle) for the life of the
// process, because tokens are not reused.
//
// Line settings: SetState writes the whole terminal configuration (raw mode,
// no driver time-outs) and keeps the Dcb members termios has no place for, so
// that GetState gives them back; the members termios holds are read back from
// the terminal (a pseudo-terminal, for one, always carries 8 data bits and no
// parity). Speeds without a B constant are set exactly on Linux. Abort on
// error, NUL stripping and the error character have no termios counterpart:
// the line runs as with them off (what the tool always asks for).
//
// Reads and writes run on the non-blocking descriptor and are waited for with
// poll() in Result(). A pending read is ended by Purge(kPurgeRxAbort), by
// Close(), and by the stop request of the TThread that waits for it; a pending
// write by Purge(kPurgeTxAbort), Close() and its write time-out. A port holds
// the last transfer of up to eight Overlapped records at a time (made with the
// port: no transfer allocates); a transfer on a ninth record, while the other
// eight are pending or their results not collected, is refused with
// kErrorInvalidParameter.
#pragma once

#include <memory>
#include <string>

#include "platform/serial_api.h"

namespace plat {

class PosixSerial final : public SerialApi {
 public:
  PosixSerial();
  ~PosixSerial() override;
  PosixSerial(const PosixSerial&) = delete;
  PosixSerial& operator=(const PosixSerial&) = delete;

  Handle Open(const char* path) override;
  bool Close(Handle port) override;

  Handle NewEvent() override;
  bool ResetEvent(Handle event) override;
  bool CloseEvent(Handle event) override;

  bool GetState(Handle port, Dcb& dcb) override;
  bool SetState(Handle port, const Dcb& dcb) override;
  bool SetupQueues(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool GetTimeouts(Handle port, CommTimeouts& timeouts) override;
  bool SetTimeouts(Handle port, const CommTimeouts& timeouts) override;
  bool Purge(Handle port, std::uint32_t flags) override;
  bool Drain(Handle port, std::uint32_t timeoutMs) override;
  bool Escape(Handle port, std::uint32_t function) override;

  bool Read(Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
            Overlapped& ov) override;
  bool Write(Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
             Overlapped& ov) override;
  bool Result(Handle port, Overlapped& ov, std::uint32_t* done, bool wait) override;
  // termios neither stops transfers after a line error nor reports one here:
  // no errors, for a valid port.
  bool ClearError(Handle port, std::uint32_t* errors) override;
  bool InQueue(Handle port, std::uint32_t& count) override;
  // See serial_posix_ports.cpp.
  std::vector<PortEntry> Ports() override;

  // The device path that Open() uses for a port name; empty when the name
  // is neither a COM port nor an absolute path.
  static std::string DevicePath(const char* name);

  // Whether a signalled event (a transfer on its Overlapped finished).
  bool EventSignalled(Handle event);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace plat
