// The simulated serial backend: ports by name, each with a sim::Plug on its
// wire (or nothing), behind the plat::SerialApi contract.
//
// Handles are numbers looked up in a table, never dereferenced; a closed
// handle is never handed out again, so a stale one is refused (error 6).
//
// Timing: one scheduler thread per Bench moves the plug's bytes into the
// port's input queue at their due times. A host thread that waits for its
// write moves the wire on itself when the write is due to complete, so that
// the scheduler's own lateness (on a busy machine) never holds the host back. In Timing::Instant (the default for
// tests) host writes reach the plug at once and the plug answers without wire
// time, except for its identifier, which always comes at 1200-baud timing.
// In Timing::Wire every byte in both directions takes its character time; a
// write completes once its bytes fit into the driver's output queue, or at its
// write time-out with the count queued so far. The character on the wire is
// beyond recall: a purge of the output discards only what waits behind it, and
// a close lets it arrive before the lines drop.
//
// Every member is safe to call from any thread. The destructor stops the
// scheduler; no thread outlives the Bench.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial_api.h"
#include "sim/plug.h"

namespace sim {

enum class Timing { Instant, Wire };

// What a real driver or USB serial adapter may do to a port, as switches.
struct AdapterFaults {
  // Settings an earlier program left on the port: Open starts with them (a
  // Windows driver keeps them across opens). Modelled: abort on error (after
  // a line error every read and write fails with 995 until ClearError) and
  // NUL stripping (0x00 bytes from the plug are dropped).
  std::optional<plat::Dcb> leftover;
  // The plug's power-up (DTR rising) puts a framing error on the line.
  bool framingErrorOnPowerUp = false;
  // At 7 data bits, characters arrive with the eighth bit (the stop bit) set.
  bool eighthBitUnmasked = false;
  // A change of speed leaves one junk byte (0xF0) in the input.
  bool junkOnSpeedChange = false;
  // The last byte that arrived before a change of speed is handed over once
  // more after the next purge of the input.
  bool lateByteAfterPurge = false;
  // A USB adapter's own transmit buffer: a byte that has left the driver's
  // queue reaches the wire only this much later, while the queue already
  // reports empty. A transmit purge or a close drops what it still holds.
  std::chrono::milliseconds adapterHolds{0};
  // Output that never leaves the driver's queue: every drain fails with
  // ERROR_SEM_TIMEOUT, at once.
  bool drainFails = false;
};

struct HostLogEntry {
  enum class Op { Open, Close, SetState, Escape, SetupQueues, SetTimeouts, Purge, Write, ClearError };
  TimePoint time;
  Op op = Op::Open;
  bool ok = true;
  plat::Dcb dcb;                    // SetState: the new settings; Write: the settings in force
  std::uint32_t value = 0;          // Escape: function; Purge: flags
  std::vector<std::uint8_t> bytes;  // Write
  plat::CommTimeouts timeouts;      // SetTimeouts
};

// What the host-to-plug transmitter of a port did over a window of time (wire
// mode): characters on the wire, and the stretches in between when it had
// nothing to send. A character counts once it has left the transmitter whole
// (a purge drops the one on its way).
struct WireActivity {
  std::chrono::nanoseconds busy{};         // a character on the wire
  std::chrono::nanoseconds longestIdle{};  // longest stretch without one
  TimePoint longestIdleFrom{};             // where that stretch began
  int idleStretches = 0;                   // stretches without a character
  std::optional<TimePoint> ranDryAt;       // last time in the window the transmitter ran out of characters
};

class Bench final : public plat::SerialApi {
 public:
  explicit Bench(Timing timing = Timing::Instant);
  ~Bench() override;
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // ---- set-up ----
  // Puts a plug on the port (creating the port, replacing an earlier plug).
  Plug& Attach(const std::string& name, PlugConfig config = {});
  // A port that exists with nothing attached (opens, stays silent).
  void AddPort(const std::string& name);
  void SetAbsent(const std::string& name);  // Open fails with 2
  void SetBusy(const std::string& name);    // Open fails with 5
  // Open fails with this error (a driver that cannot start the device, say).
  void SetOpenFails(const std::string& name, std::uint32_t error);
  // What the machine's list of ports (Ports()) tells of the port; every port
  // that is not absent is listed, as a serial port unless told otherwise.
  void SetKind(const std::string& name, plat::PortKind kind, std::string about = {});
  // The cable of an unplugged port is back, with the same plug on it (once the
  // host has closed its handle of the port).
  void Replug(const std::string& name);
  Plug* PlugOn(const std::string& name);    // null when nothing is attached
  void SetSetupQueuesFails(bool fails);     // SetupQueues fails with 50
  void SetOutQueueSize(std::size_t bytes);  // wire mode driver output queue (default 4096)
  void SetAdapterFaults(const std::string& name, AdapterFaults faults);
  // A busy machine: the thread that waits for the next read to complete
  // (once) runs on only this much after its bytes arrived.
  void DelayNextReadWake(std::chrono::milliseconds delay);

  // ---- plat::SerialApi ----
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
  // Instant mode: nothing is ever queued. Wire mode: waits until the output
  // queue is empty, its last character delivered. Then, in both, the margin
  // every backend's Drain keeps (plat::DrainMarginMicroseconds).
  bool Drain(plat::Handle port, std::uint32_t timeoutMs) override;
  bool Escape(plat::Handle port, std::uint32_t function) override;
  bool Read(plat::Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
            plat::Overlapped& ov) override;
  bool Write(plat::Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
             plat::Overlapped& ov) override;
  bool Result(plat::Handle port, plat::Overlapped& ov, std::uint32_t* done, bool wait) override;
  bool ClearError(plat::Handle port, std::uint32_t* errors) override;
  // What is due has arrived, however late the scheduler runs.
  bool InQueue(plat::Handle port, std::uint32_t& count) override;
  // Every port that is not absent, by name.
  std::vector<plat::PortEntry> Ports() override;

  // ---- observation ----
  std::vector<HostLogEntry> Log(const std::string& name) const;
  int OpenCount(const std::string& name) const;  // successful opens so far
  // When a Drain of the port last returned with its output delivered.
  std::optional<TimePoint> LastDrained(const std::string& name) const;
  bool IsOpen(const std::string& name) const;
  // Bytes that have arrived at the port and wait there, not yet read.
  std::size_t InputWaiting(const std::string& name) const;
  int OpenHandleCount() const;
  std::vector<std::uint8_t> HostBytes(const std::string& name) const;
  int LiveEventCount() const;
  bool Dtr(const std::string& name) const;
  bool Rts(const std::string& name) const;
  bool Unplugged(const std::string& name) const;
  // Wire mode: the host-to-plug direction of the port over [from, to].
  WireActivity HostWireActivity(const std::string& name, TimePoint from, TimePoint to) const;

 private:
  enum class Presence { Present, Absent, Busy, Failing };

  // One transfer in progress per direction.
  struct Transfer {
    plat::Overlapped* ov = nullptr;  // null: none pending
    std::uint8_t* buffer = nullptr;  // read destination
    std::uint32_t count = 0;
    std::vector<std::uint8_t> rest;  // write bytes not yet in the output queue
    std::uint32_t queued = 0;
    std::optional<TimePoint> deadline;
  };

  struct Port {
    std::string name;
    Presence presence = Presence::Absent;
    std::uint32_t openError = 0;  // Failing: the error Open gives
    plat::PortKind kind = plat::PortKind::Serial;
    std::string about;
    std::unique_ptr<Plug> plug;
    std::uintptr_t handle = 0;  // 0: closed
    bool gone = false;          // unplugged while open
    plat::Dcb dcb;
    plat::CommTimeouts timeouts;
    bool dtr = false;
    bool rts = false;
    std::deque<std::uint8_t> rx;
    std::deque<std::uint8_t> tx;  // wire mode output queue
    TimePoint txNextDue{};        // wire mode: arrival of the tx head byte at the plug
    std::optional<TimePoint> drained;
    TimePoint txFreeAt{};         // wire mode: when the transmitter is idle
    TimePoint txHeadStart{};      // wire mode: when the tx head byte went onto the wire
    // Wire mode: when the transmitter was sending, as merged [start, end) spans.
    std::vector<std::pair<TimePoint, TimePoint>> txBusy;
    std::uint32_t stickyWriteError = 0;
    AdapterFaults faults;
    std::uint32_t lineErrors = 0;  // kCe... since the last ClearError
    bool ioAborted = false;        // abort on error tripped: transfers fail
    Transfer read;
    Transfer write;
    // Bytes the adapter holds after they left the driver's queue: when each
    // goes onto the wire and the settings it was sent with.
    struct Held {
      TimePoint due;
      std::uint8_t value;
      plat::Dcb dcb;
    };
    std::deque<Held> held;
    std::optional<std::uint8_t> lastReceived;  // since the port was opened
    std::optional<std::uint8_t> lateByte;      // handed over after the next input purge
    std::vector<HostLogEntry> log;
    std::vector<std::uint8_t> hostBytes;
    int openCount = 0;
  };

  class Waker;

  Port& PortNamedLocked(const std::string& name);
  const Port* FindNamedLocked(const std::string& name) const;
  // The open port of a handle; null (LastError set) when refused.
  Port* LookupLocked(plat::Handle h, bool allowGone = false);
  void LogLocked(Port& p, HostLogEntry::Op op, bool ok);
  void SignalLocked(plat::Handle event);
  void FinishLocked(Port& p, Transfer& t, std::uint32_t error, std::uint32_t count);
  void LinesLocked(Port& p, TimePoint now);
  void PumpLocked(Port& p, TimePoint now);
  // Wire mode: when the pending write will have its last byte in the queue
  // (or reach its time-out).
  TimePoint WriteDoneAtLocked(const Port& p) const;
  // Puts the tx head byte onto the wire at start.
  void StartHeadLocked(Port& p, TimePoint start);
  // Hands a byte that left the driver's queue at 'at' to the wire (through
  // the adapter's buffer when it has one).
  void TransmitLocked(Port& p, TimePoint at, const std::uint8_t* bytes, std::size_t count);
  void DeliverLocked(Port& p, TimePoint at, const std::uint8_t* bytes, std::size_t count, const plat::Dcb& dcb);
  void FaultLocked(Port& p, Plug::Fault fault);
  // A line error; with abort on error set it ends the pending transfers.
  void LineErrorLocked(Port& p, std::uint32_t error);
  void KickLocked();
  std::optional<TimePoint> NextWakeLocked();
  void SchedulerMain();

  const Timing timing_;
  mutable std::mutex mutex_;
  std::condition_variable hostCv_;   // transfers finished
  std::condition_variable schedCv_;  // new work for the scheduler
  bool stop_ = false;
  bool setupQueuesFails_ = false;
  std::size_t outQueueSize_ = 4096;
  std::chrono::milliseconds readWakeDelay_{0};
  std::map<std::string, std::unique_ptr<Port>> ports_;
  std::map<std::uintptr_t, Port*> handles_;
  std::map<std::uintptr_t, bool> events_;  // signalled state
  std::uintptr_t nextHandle_ = 0x1000;
  std::thread scheduler_;
};

}  // namespace sim
