#include "serial/threads.h"

#include <cstring>

#include "serial/connection.h"
#include "platform/toolkit.h"
#include "serial/asynccomm.h"

namespace {
// Pause of a reader after its read failed without a stop request.
constexpr std::uint32_t kReadRetryMs = 10;
}  // namespace

// --- TReadC99 ---------------------------------------------------------------

TReadC99::TReadC99(TForm* sink) : sink_(sink) {
  FreeOnTerminate = true;
  Resume();
}

void TReadC99::Execute() {
  while (!Terminated()) {
    if (refused_) {
      plat::Sleep(1);
      continue;
    }
    while (WantedCount <= 0 && !Terminated()) plat::Sleep(1);
    TAsyncComm* comm = CurrentComm();
    if (comm == nullptr) {
      plat::Sleep(1);
      continue;
    }
    const int got = comm->ReadData(WantedCount, RxBuffer);
    if (got == WantedCount && !Terminated() && !Application->Terminated()) {
      if (!Assemble()) refused_ = true;
    } else if (got == 0 && !Terminated()) {
      // The port failed (an adapter pulled out, a line error): try again
      // later, without spinning.
      plat::Sleep(kReadRetryMs);
    }
  }
  // A half-built frame is never delivered.
  delete[] FrameBuffer;
  FrameBuffer = nullptr;
}

bool TReadC99::Assemble() {
  if (ExpectHeader) {
    ExpectHeader = false;
    const int length = RxBuffer[2] * 256 + RxBuffer[3];
    WantedCount = length;
    if (length >= ReportLengthLimit) {
      // The GUI thread ends the application as if the user had closed it.
      tk::PostMessage(sink_, WM_PLUGENDAPP, 0, 0);
      return false;
    }
    FrameBuffer = new std::uint8_t[static_cast<std::size_t>(length) + 4];
    std::memcpy(FrameBuffer, RxBuffer, 4);
    if (length != 0) return true;
    ExpectHeader = true;
    WantedCount = 4;
    Deliver();
    return true;
  }
  ExpectHeader = true;
  std::memcpy(FrameBuffer + 4, RxBuffer, static_cast<std::size_t>(WantedCount));
  WantedCount = 4;
  Deliver();
  return true;
}

void TReadC99::Deliver() {
  std::uint8_t* frame = FrameBuffer;
  FrameBuffer = nullptr;
  // The frame belongs to the window from here on; if it cannot take it, the
  // block must not be lost.
  if (!tk::PostMessage(sink_, WM_PLUGREPORT, reinterpret_cast<std::uintptr_t>(frame), 4)) delete[] frame;
}

// --- TReadChar --------------------------------------------------------------

TReadChar::TReadChar(char target) : Target(target) { Resume(); }

TReadChar::~TReadChar() {
  Terminate();
  WaitFor();
}

void TReadChar::Execute() {
  while (!Terminated()) {
    char cell = 0;
    TAsyncComm* comm = CurrentComm();
    const int got = comm != nullptr ? comm->ReadData(1, &cell) : 0;
    if (got == 1 && cell == Target) {
      Found.store(true, std::memory_order_release);
      return;
    }
    // A port that fails at once must not make this loop spin.
    if (got == 0 && !Terminated()) plat::Sleep(kReadRetryMs);
  }
}

// --- PlugControl ------------------------------------------------------------

bool PlugControl::WaitForPrompt(int ticks) { return WaitForChar(cmd::kPrompt, ticks); }

bool PlugControl::WaitForPrompt(int ticks, const std::function<bool()>& stop) {
  return WaitForChar(cmd::kPrompt, ticks, stop);
}

bool PlugControl::WaitForChar(char character, int ticks) { return WaitForChar(character, ticks, nullptr); }

bool PlugControl::WaitForChar(char character, int ticks, const std::function<bool()>& stop) {
  // The waiter is stopped, its read aborted and the thread ended on every way
  // out of the wait, also when an exception passes through the event pump.
  struct Waiter {
    TReadChar* reader;
    ~Waiter() {
      reader->Terminate();
      if (TAsyncComm* comm = CurrentComm()) comm->PurgeAll();
      delete reader;
    }
  } waiter{new TReadChar(character)};
  bool found = false;
  for (int i = 0; i < ticks && !found; ++i) {
    if (stop && stop()) break;
    Application->ProcessMessages();
    plat::Sleep(10);
    found = waiter.reader->Found.load(std::memory_order_acquire);
  }
  return found;
}

int PlugControl::SendMonitorRequest() {
  TAsyncComm* comm = CurrentComm();
  return comm != nullptr ? comm->WriteData(cmd::Length(cmd::kMonitorRequest), cmd::kMonitorRequest) : 0;
}

int PlugControl::SendReportEnd() {
  TAsyncComm* comm = CurrentComm();
  return comm != nullptr ? comm->WriteData(cmd::Length(cmd::kReportEnd), cmd::kReportEnd) : 0;
}

bool PauseUnlessStopped(std::uint32_t ms, const std::function<bool()>& stop) {
  if (!stop) {
    plat::Sleep(ms);
    return true;
  }
  for (std::uint32_t slept = 0; slept < ms; slept += 10) {
    if (stop()) return false;
    plat::Sleep(ms - slept < 10 ? ms - slept : 10);
  }
  return !stop();
}

bool PlugControl::SetMonitorLine() {
  TAsyncComm* comm = CurrentComm();
  // The preset turns flow control off again, whatever ctsFlow says.
  return comm != nullptr && comm->SetLine(2, true);
}

namespace {

// Writes a whole command; false where it did not go out whole.
template <typename Byte, std::size_t N>
bool SendWhole(TAsyncComm& comm, const Byte (&command)[N]) {
  return comm.WriteData(cmd::Length(command), command) == cmd::Length(command);
}

}  // namespace

bool PlugControl::WakeMonitor(int ticks, const std::function<bool()>& stop) {
  TAsyncComm* comm = CurrentComm();
  if (comm == nullptr || (stop && stop())) return false;
  comm->PurgeInput();  // whatever arrived before belongs to no answer
  return SendWhole(*comm, cmd::kMonitorWakeUp) && WaitForPrompt(ticks, stop);
}

bool PlugControl::FindMonitor(int ticks, const std::function<bool()>& stop) {
  TAsyncComm* comm = CurrentComm();
  if (comm == nullptr || (stop && stop())) return false;
  comm->PurgeInput();  // whatever arrived before belongs to no answer
  // A write that does not go out whole ends the look: nothing more goes to
  // this port.
  if (!SendWhole(*comm, cmd::kMonitorWakeUp)) return false;
  if (WaitForPrompt(ticks, stop)) return true;
  if (stop && stop()) return false;
  // A monitor whose upload was cut off takes the wake-up as part of a HEX
  // line; it answers once that load has ended.
  return SendWhole(*comm, cmd::kEndOfCutLoad) && WaitForPrompt(ticks, stop);
}

bool PlugControl::EnterMonitorMode(const std::function<bool()>& stop) {
  // A write that failed has shown its box; the next one would only fail
  // again. One that ended short at its time-out (the plug held CTS off while
  // its monitor started) is no reason to stop.
  auto failed = [] {
    TAsyncComm* comm = CurrentComm();
    return comm == nullptr || comm->LastWriteFailed;
  };
  SendMonitorRequest();
  if (failed() || !PauseUnlessStopped(100, stop)) return false;
  SendReportEnd();
  if (failed() || !PauseUnlessStopped(500, stop)) return false;
  SetMonitorLine();
  if (!PauseUnlessStopped(500, stop)) return false;  // the plug's monitor starts up meanwhile
  return WakeMonitor(300, stop);
}
