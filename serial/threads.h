// Reader threads of report mode and of the boot monitor, and PlugControl, the
// prompt waits and the switch into the boot monitor.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/thread.h"
#include "serial/commands.h"

class TForm;

// Cuts the plug's byte stream into report frames and posts each one to the
// window it is given as WM_PLUGREPORT (an oversized header as WM_PLUGENDAPP).
// Created running; frees itself when it ends. Stop: Terminate() (through
// Control()), then PurgeAll on SharedComm.
class TReadC99 final : public TThread {
 public:
  explicit TReadC99(TForm* sink);

  std::int32_t WantedCount = 4;
  std::uint8_t* FrameBuffer = nullptr;
  bool ExpectHeader = true;
  std::uint8_t RxBuffer[ReportLengthLimit];

 protected:
  void Execute() override;

 private:
  // Returns false when the reader must read nothing more (oversized header).
  bool Assemble();
  void Deliver();
  bool refused_ = false;
  TForm* const sink_;
};

// Watches the incoming bytes for one character. Created running; destroyed
// (with a wait for its end) by the wait that created it.
class TReadChar final : public TThread {
 public:
  explicit TReadChar(char target);
  ~TReadChar() override;

  const char Target;
  std::atomic<bool> Found{false};

 protected:
  void Execute() override;
};

// Sleeps ms in steps of 10 ms; false at the first step at which stop says so
// (without stop, the whole ms and true).
bool PauseUnlessStopped(std::uint32_t ms, const std::function<bool()>& stop);

// Commands and waits on the shared serial-port object. Holds no state.
class PlugControl {
 public:
  // True when '>' arrived within the ticks (one tick: event pump + 10 ms).
  bool WaitForPrompt(int ticks);
  bool WaitForPrompt(int ticks, const std::function<bool()>& stop);
  bool WaitForChar(char character, int ticks);
  // The same wait, given up at the first tick at which stop says so.
  bool WaitForChar(char character, int ticks, const std::function<bool()>& stop);
  int SendMonitorRequest();
  int SendReportEnd();
  // The boot monitor's line: 57600 8N1 without flow control.
  bool SetMonitorLine();
  // Drops the input, sends the wake-up ESC ESC and waits for '>'. False at
  // once when the wake-up could not be written whole, or a stop came first
  // (then nothing is sent).
  bool WakeMonitor(int ticks, const std::function<bool()>& stop = nullptr);
  // Looks for a boot monitor on a port just set to its line: the wake-up,
  // then, where no '>' came within the ticks, the end of a load that may have
  // been cut off mid-line (line end, end-of-file record) and at most ticks
  // more for '>'. Nothing else is sent; never the monitor exit. A stop ends
  // the look at once, with nothing more sent.
  bool FindMonitor(int ticks, const std::function<bool()>& stop = nullptr);
  // Report mode -> boot monitor at 57600 baud; true once its '>' arrived.
  // Stops early only at a write that failed (its box shown); a write that
  // ended short at its time-out (CTS held off) does not stop the switch.
  // A stop ends its pauses and waits at once, false, and nothing more is sent.
  bool EnterMonitorMode(const std::function<bool()>& stop = nullptr);
};
