#include "serial/asynccomm.h"

#include <cstdio>

#include "platform/modestring.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

namespace {

bool StopRequested() {
  const plat::ThreadControl* control = plat::CurrentThreadControl();
  return control != nullptr && control->StopRequested();
}

}  // namespace

TAsyncComm::TAsyncComm(plat::Handle handle) : PortHandle(handle) {
  auto& api = plat::Serial();
  WriteOverlapped = plat::Overlapped{};
  ReadOverlapped = plat::Overlapped{};
  WriteOverlapped.hEvent = api.NewEvent();
  ReadOverlapped.hEvent = api.NewEvent();
  api.ResetEvent(WriteOverlapped.hEvent);
  api.ResetEvent(ReadOverlapped.hEvent);
  if (handle != nullptr) {
    PurgeAll();
    SetTimeouts();
  }
}

TAsyncComm::~TAsyncComm() {
  auto& api = plat::Serial();
  api.CloseEvent(WriteOverlapped.hEvent);
  api.CloseEvent(ReadOverlapped.hEvent);
  if (PortHandle != nullptr) PurgeAll();
}

void TAsyncComm::AttachPort(plat::Handle handle) {
  PortHandle = handle;
  if (NoPort()) return;
  auto& api = plat::Serial();
  api.ResetEvent(WriteOverlapped.hEvent);
  api.ResetEvent(ReadOverlapped.hEvent);
  api.CloseEvent(WriteOverlapped.hEvent);
  api.CloseEvent(ReadOverlapped.hEvent);
  WriteOverlapped.hEvent = api.NewEvent();
  ReadOverlapped.hEvent = api.NewEvent();
  readFailShown_.store(false);
  SetTimeouts();
  PurgeAll();
}

bool TAsyncComm::SetTimeouts() {
  auto& api = plat::Serial();
  plat::CommTimeouts t;
  api.GetTimeouts(PortHandle, t);
  t.ReadIntervalTimeout = 0;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 1;
  t.WriteTotalTimeoutConstant = 2000;
  return api.SetTimeouts(PortHandle, t);
}

bool TAsyncComm::SetLine(int selector, bool ctsFlow) {
  if (NoPort()) return false;
  const char* preset = nullptr;
  switch (selector) {
    case 1: preset = "baud=115200 parity=N data=8 stop=1"; break;
    case 2: preset = "baud=57600 parity=N data=8 stop=1"; break;
    case 3: preset = "baud=9600 parity=N data=8 stop=1"; break;
    default: return false;
  }
  auto& api = plat::Serial();
  plat::Dcb dcb;
  if (!api.GetState(PortHandle, dcb)) return false;
  dcb.fOutxCtsFlow = ctsFlow;
  // The preset names no flow control, so it turns all flow control off again.
  if (!plat::ApplyModeString(dcb, preset)) return false;
  if (selector == 3) dcb.fOutxCtsFlow = false;
  plat::ClearLeftoverSettings(dcb);
  return api.SetState(PortHandle, dcb);
}

void TAsyncComm::PurgeInput() {
  if (NoPort()) return;
  plat::Serial().Purge(PortHandle, plat::kPurgeRxClear);
}

void TAsyncComm::PurgeAll() {
  if (NoPort()) return;
  plat::Serial().Purge(PortHandle, plat::kPurgeAllFlags);
}

bool TAsyncComm::Drain() {
  if (NoPort()) return false;
  return plat::Serial().Drain(PortHandle, 2000);
}

void TAsyncComm::ClearLineError() {
  if (PortHandle != nullptr && !NoPort() && !StopRequested()) plat::Serial().ClearError(PortHandle, nullptr);
}

void TAsyncComm::ShowWriteError() {
  WriteErrorShown = true;
  if (Application != nullptr) Application->MessageBox("Fehler beim Schreiben auf COM", "FEHLER", tk::kMbOk);
}

int TAsyncComm::WriteData(int length, const void* data) {
  if (WriteFailed || NoPort()) return 0;
  if (length < 0) return 0;
  auto& api = plat::Serial();
  std::uint32_t done = 0;
  if (api.Write(PortHandle, data, static_cast<std::uint32_t>(length), &done, WriteOverlapped)) {
    WriteFailed = false;
    return static_cast<int>(done);
  }
  if (plat::LastError() != plat::kErrorIoPending) {
    if (PortHandle != nullptr) {
      ClearLineError();
      tk::OutputDebugString("AsyncComm::WriteData Write failed");
      ShowWriteError();
    }
    return 0;
  }
  if (api.Result(PortHandle, WriteOverlapped, &done, true)) {
    WriteFailed = false;
    return static_cast<int>(done);
  }
  ClearLineError();
  ShowWriteError();
  WriteFailed = true;
  return 0;
}

int TAsyncComm::ReadData(int count, void* buffer) {
  if (NoPort()) return 0;
  if (count < 0) return 0;
  auto& api = plat::Serial();
  std::uint32_t done = 0;
  if (api.Read(PortHandle, buffer, static_cast<std::uint32_t>(count), &done, ReadOverlapped)) {
    readFailShown_.store(false, std::memory_order_relaxed);
    return static_cast<int>(done);
  }
  const std::uint32_t error = plat::LastError();
  if (error == plat::kErrorIoPending) {
    if (api.Result(PortHandle, ReadOverlapped, &done, true)) {
      readFailShown_.store(false, std::memory_order_relaxed);
      return static_cast<int>(done);
    }
    ClearLineError();
    return 0;
  }
  // A read refused because its thread was already asked to stop is an abort
  // like any other: no diagnostic. (A driver that aborts on error refuses
  // with the same code, without any stop.)
  if (PortHandle != nullptr && !StopRequested()) {
    ClearLineError();
    if (!readFailShown_.exchange(true, std::memory_order_relaxed)) {
      char text[64];
      std::snprintf(text, sizeof text, "AsyncComm::ReadData Read failed: GetLastError = 0x%X\n",
                    static_cast<unsigned>(error));
      tk::OutputDebugString(text);
    }
  }
  return 0;
}
