// The serial-port seam on the Win32 communications API: overlapped I/O on the
// COM port's file handle. Windows only; <windows.h> stays inside the .cpp.
#pragma once

#include <mutex>
#include <set>

#include "platform/serial_api.h"

namespace plat {

class Win32Serial final : public SerialApi {
 public:
  Win32Serial() = default;
  Win32Serial(const Win32Serial&) = delete;
  Win32Serial& operator=(const Win32Serial&) = delete;
  ~Win32Serial() override = default;

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
  bool ClearError(Handle port, std::uint32_t* errors) override;
  bool InQueue(Handle port, std::uint32_t& count) override;
  // The serial-port map of the registry; see serial_win32_ports.cpp.
  std::vector<PortEntry> Ports() override;
  // Whether Ports() asks the device manager for each port's friendly name
  // and bus. That loads the setup API, and with it user32, for good: a
  // console program that has user32 loaded is no longer told of logoff and
  // shutdown, so the console tool asks only to list the ports. Without it
  // the kind comes from the device's name in the map.
  bool DeviceNames = true;

  // Transfers started and not yet finished by Result() (for tests).
  int PendingCount(Handle port, bool reads);

  // True under Wine, where SetState runs a pseudo-terminal that holds only
  // 8 data bits without parity at 8N instead of failing (see the .cpp).
  static bool RunsOnWine();

  struct IoRecord;  // what NewEvent() hands out: OVERLAPPED + its event

 private:
  class PortLock;

  IoRecord* ValidRecordLocked(const Overlapped& ov);
  IoRecord* ValidRecord(const Overlapped& ov);
  bool StartTransfer(Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
                     Overlapped& ov, bool read);
  void Track(Handle port, IoRecord* rec, bool add);

  // Every record is made once by NewEvent() and knows the port its transfer
  // is pending on, so that a transfer allocates nothing.
  std::mutex mutex_;
  std::set<Handle> ports_;
  std::set<IoRecord*> records_;
};

}  // namespace plat
