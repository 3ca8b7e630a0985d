// What the fuzz drivers run the system's code on: a serial backend whose ports
// answer from a script instead of a simulated wire, a sleep that returns as
// soon as the reader threads have taken what they can, and a window backend
// that shows nothing.
//
// The port keeps the serial seam's contract (serial_api.h): a read completes
// once all its bytes are there, and ends early only on a purge with
// kPurgeRxAbort or its thread's stop request (also one made before the read).
// Writes complete at once; the device behind the port sees every write,
// modem-line change and sleep of the GUI thread and may answer with bytes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fuzz/support/check.h"
#include "platform/queue_backend.h"
#include "platform/serial_api.h"

class TAsyncComm;

namespace fuzzing {

using Bytes = std::vector<std::uint8_t>;

// The far end of one port. Every call runs under the port's lock: append
// answers to `answer`, never call back into the port.
class Device {
 public:
  virtual ~Device() = default;
  virtual void Escaped(std::uint32_t /*function*/, bool /*dtr*/, bool /*rts*/, Bytes& /*answer*/) {}
  virtual void Written(const Bytes& /*bytes*/, const plat::Dcb& /*line*/, Bytes& /*answer*/) {}
};

class ScriptedPort final : public plat::SerialApi {
 public:
  ScriptedPort();
  ~ScriptedPort() override;

  // A port that can be opened; device may be null (a silent port). Ports
  // never added do not exist.
  void AddPort(const std::string& name, Device* device);
  // Bytes arriving on a port now, as if its device sent them.
  void Deliver(const std::string& name, const Bytes& bytes);
  // Waits until every running reader thread waits for bytes that are not
  // there, or sleeps, or has ended. False when that took longer than limit.
  bool WaitQuiet(std::chrono::milliseconds limit);

  int OpenHandles() const;
  int LiveEvents() const;
  // Bytes received on the port and not read yet.
  std::size_t Unread(const std::string& name) const;
  // The GUI thread's sleeps since the last call, in milliseconds.
  std::vector<std::uint32_t> TakeGuiSleeps();
  plat::Dcb Line(const std::string& name) const;

  plat::Handle Open(const char* path) override;
  bool Close(plat::Handle port) override;
  plat::Handle NewEvent() override;
  bool ResetEvent(plat::Handle event) override;
  bool CloseEvent(plat::Handle event) override;
  bool GetState(plat::Handle port, plat::Dcb& dcb) override;
  bool SetState(plat::Handle port, const plat::Dcb& dcb) override;
  bool SetupQueues(plat::Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool GetTimeouts(plat::Handle port, plat::CommTimeouts& timeouts) override;
  bool SetTimeouts(plat::Handle port, const plat::CommTimeouts& timeouts) override;
  bool Purge(plat::Handle port, std::uint32_t flags) override;
  bool Drain(plat::Handle port, std::uint32_t timeoutMs) override;
  bool Escape(plat::Handle port, std::uint32_t function) override;
  bool Read(plat::Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
            plat::Overlapped& ov) override;
  bool Write(plat::Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
             plat::Overlapped& ov) override;
  bool Result(plat::Handle port, plat::Overlapped& ov, std::uint32_t* done, bool wait) override;

 private:
  class Waker;
  struct Pending {
    plat::Overlapped* ov = nullptr;
    std::uint8_t* buffer = nullptr;
    std::uint32_t count = 0;
    bool waiting = false;  // a thread waits for it in Result()
  };
  struct Port {
    std::string name;
    Device* device = nullptr;
    std::uintptr_t handle = 0;  // 0: closed
    plat::Dcb dcb;
    plat::CommTimeouts timeouts;
    bool dtr = false;
    bool rts = false;
    Bytes rx;
    Pending read;
  };

  static void SleepHook(std::uint32_t milliseconds);
  Port* Lookup(plat::Handle h);
  Port* Named(const std::string& name);
  const Port* Named(const std::string& name) const;
  void ArrivedLocked(Port& p, const Bytes& bytes);
  void FinishReadLocked(Port& p, std::uint32_t status, std::uint32_t count);
  bool QuietLocked() const;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::uintptr_t nextHandle_ = 0x100;
  std::set<std::uintptr_t> events_;
  int sleepingReaders_ = 0;
  std::vector<std::uint32_t> guiSleeps_;
};

// Shows nothing; counts what a user would see.
class QuietToolkit final : public tk::QueueBackend {
 public:
  struct Box {
    std::string text;
    std::string caption;
    unsigned flags;
  };
  std::vector<Box> boxes;
  int exceptions = 0;

  // Dispatches the messages posted so far; how many.
  int Pump() { return DispatchPosted(); }

  void SetTitle(const std::string&) override {}
  void ControlChanged(TControl&, tk::Change) override {}
  void RepaintNow(TControl&) override {}
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  void Beep(unsigned) override {}
  void DebugOutput(const char*) override {}
  void ShowException(const std::string&) override { ++exceptions; }
};

// One fuzz input's world: the scripted port as the serial backend and its
// sleep, the quiet toolkit, a fresh application object. The destructor checks
// that no thread, port or event is left and restores the real sleep.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  ScriptedPort port;
  QuietToolkit ui;
  TApplication app;
};

// The connection as a successful search leaves it: the port `name` open,
// attached to a new serial-port object set to the 115200-baud line, both
// published as the connection (PlugPort, SharedComm). Whoever ends the
// connection (the window, or the caller) releases both.
TAsyncComm* ConnectPlug(const std::string& name);

}  // namespace fuzzing
