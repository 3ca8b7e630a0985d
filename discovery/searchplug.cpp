#include "discovery/searchplug.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/modestring.h"
#include "serial/asynccomm.h"

std::atomic<bool> PnPStarted{false};
std::atomic<bool> PnPComplete{false};
std::atomic<bool> SetupReady{false};
char SetupResponse[16] = {};

namespace {

constexpr char kAccepted[2][11] = {
    {'(', 0x01, '$', 'Q', 'Z', 'M', '1', '0', '1', '0', ')'},
    {'(', 0x01, '$', 'Q', 'Z', 'M', '1', '0', '1', '1', ')'},
};
constexpr char kSetupRequest[] = "QUOR PLUG SETUP";
constexpr char kSetupResponse[] = "QUOR PLUG READY";
constexpr int kSetupLength = 15;

// One tick of a wait: the flag is tested first, then 10 ms sleep.
constexpr int kPnPTicks = 400;
constexpr int kSetupTicks = 200;

// The serial Plug-and-Play enumeration: each step with what it does to the
// device and the wait behind it.
struct LineStep {
  std::uint32_t function;
  std::uint32_t waitMs;
};
constexpr LineStep kPnPSequence[] = {
    {plat::kClrRts, 0},    // RTS off: the device must not send yet
    {plat::kSetDtr, 200},  // DTR on: the device powers up
    {plat::kClrDtr, 200},  // DTR off: reset pulse
    {plat::kSetDtr, 200},  // DTR on again: the device starts from reset
    {plat::kSetRts, 200},  // RTS on: the device sends its identifier now
};

std::string WithCode(const char* text, std::uint32_t code) {
  return std::string(text) + std::to_string(static_cast<std::int32_t>(code));
}

}  // namespace

// --- reader threads ---------------------------------------------------------

TLesePnP::TLesePnP(TAsyncComm* comm) : Comm(comm) { FreeOnTerminate = true; }

void TLesePnP::Execute() {
  int pos = 0;
  for (;;) {
    char byte = 0;
    const int got = Comm->ReadData(1, &byte);
    if (Terminated() || got != 1) {
      // Stopped, or the port failed: the text ends here, incomplete.
      Buffer[pos] = 0;
      return;
    }
    // The identifier comes at 7 data bits; a driver that hands the eighth bit
    // (the stop bit) over as well would make "(" arrive as 0xA8.
    byte = static_cast<char>(byte & 0x7F);
    Started->store(true, std::memory_order_release);
    Buffer[pos++] = byte;
    if (byte == ')') {
      Buffer[pos] = 0;
      Complete->store(true, std::memory_order_release);
      return;
    }
    if (pos >= Capacity - 1) {
      // Full without ")": never write past the buffer; the stage treats this
      // like an identifier that never ends.
      Buffer[pos] = 0;
      return;
    }
  }
}

TLeseSetupRes::TLeseSetupRes(TAsyncComm* comm) : Comm(comm) { FreeOnTerminate = true; }

void TLeseSetupRes::Execute() {
  Ready->store(false, std::memory_order_release);
  int pos = 0;
  for (;;) {
    char byte = 0;
    const int got = Comm->ReadData(1, &byte);
    if (Terminated() || got != 1) {
      Buffer[pos] = 0;
      return;
    }
    Buffer[pos++] = byte;
    if (byte != kSetupResponse[pos - 1]) return;
    if (pos == kSetupLength) {
      Ready->store(true, std::memory_order_release);
      return;
    }
  }
}

// --- TSuchePlug -------------------------------------------------------------

TSuchePlug::TSuchePlug(TAsyncComm* comm, TStrings* log, bool showErrors)
    : Comm(comm), Log(log), ShowErrors(showErrors) {}

void TSuchePlug::AddLog(const std::string& line) {
  if (Log != nullptr) Log->Add(line);
  // Also for the debugger output, where support can tell a busy port (#5)
  // from a missing one (#2) and from a silent plug.
  tk::OutputDebugString((line + "\n").c_str());
}

void TSuchePlug::Fail(ProbeFault why, std::uint32_t code) { Failures.push_back({PortName, why, code}); }

FoundPort TSuchePlug::FindPlug() {
  Failures.clear();
  for (const std::string& name : Ports) {
    const plat::Handle port = Probe(name.c_str());
    if (port != nullptr) return {port, name};
  }
  return {};
}

plat::Handle TSuchePlug::Probe(const char* portName) {
  std::snprintf(PortName, sizeof PortName, "%s", portName);
  AddLog(std::string("Open Port ") + PortName);
  if (OpenPort() && ReadPnPId(PortHandle) && SetFastLine() && SetupHandshake()) return PortHandle;
  return nullptr;
}

void TSuchePlug::ClosePort() {
  auto& api = plat::Serial();
  api.Purge(PortHandle, plat::kPurgeAllFlags);
  api.Close(PortHandle);
  PortHandle = nullptr;
}

bool TSuchePlug::OpenPort() {
  auto& api = plat::Serial();
  PortHandle = api.Open(PortName);
  if (PortHandle == plat::InvalidHandle() || PortHandle == nullptr) {
    const std::uint32_t code = plat::LastError();
    AddLog(WithCode("Cannot open Port, GetLastError: #", code));
    Fail(code == plat::kErrorFileNotFound ? ProbeFault::Absent : ProbeFault::Busy, code);
    return false;
  }
  AddLog("COM opened successfully");
  api.Purge(PortHandle, plat::kPurgeAllFlags);

  plat::Dcb dcb;
  if (!api.GetState(PortHandle, dcb)) {
    const std::uint32_t code = plat::LastError();
    if (ShowErrors) {
      Application->MessageBox(WithCode("Error getting DCB\nGetLastError: ", code).c_str(), "FEHLER", tk::kMbOk);
    }
    AddLog(WithCode("GetCommState failed, GetLastError: #", code));
    Fail(ProbeFault::SettingsRefused, code);
    // Opened exclusively: left open, it would block every later search.
    ClosePort();
    return false;
  }
  plat::ApplyModeString(dcb, "baud=1200 parity=N data=7 stop=1");
  dcb.fBinary = true;
  dcb.fOutxDsrFlow = false;
  dcb.fDtrControl = plat::kDtrControlDisable;
  dcb.fOutxCtsFlow = false;
  dcb.fRtsControl = plat::kRtsControlDisable;
  plat::ClearLeftoverSettings(dcb);
  if (!api.SetState(PortHandle, dcb)) {
    Fail(ProbeFault::SettingsRefused, plat::LastError());
    if (ShowErrors) Application->MessageBox("Error setting DCB", "FEHLER", tk::kMbOk);
    AddLog("SetCommState failed");
    ClosePort();
    return false;
  }
  AddLog("Set to: 1200 N 7 1");
  Comm->AttachPort(PortHandle);
  Comm->PurgeAll();
  return true;
}

bool TSuchePlug::ReadPnPId(plat::Handle port) {
  auto& api = plat::Serial();
  std::memset(PnPString, 0, sizeof PnPString);
  PnPStarted.store(false);
  PnPComplete.store(false);

  auto* reader = new TLesePnP(Comm);
  reader->Buffer = PnPString;
  reader->Started = &PnPStarted;
  reader->Complete = &PnPComplete;
  reader->Capacity = PnPCapacity;
  const std::shared_ptr<plat::ThreadControl> control = reader->Control();
  reader->Resume();  // the reader frees itself; only control is used below

  for (const LineStep& step : kPnPSequence) {
    api.Escape(port, step.function);
    if (step.waitMs != 0) plat::Sleep(step.waitMs);
  }
  AddLog("PnP-Sequence written");

  if (PnPStarted.load(std::memory_order_acquire)) {
    for (int tick = 0; tick < kPnPTicks; ++tick) {
      if (PnPComplete.load(std::memory_order_acquire)) break;
      plat::Sleep(10);
      Application->ProcessMessages();
    }
    if (PnPComplete.load(std::memory_order_acquire) &&
        (std::memcmp(PnPString, kAccepted[0], 10) == 0 || std::memcmp(PnPString, kAccepted[1], 10) == 0)) {
      AddLog("correct PnP-String received");
      control->WaitFinished();
      return true;
    }
  }

  if (!PnPComplete.load(std::memory_order_acquire)) control->RequestStop();
  // The diagnostic follows the flags as they stand after the stop request.
  const bool complete = PnPComplete.load(std::memory_order_acquire);
  Fail(PnPStarted.load(std::memory_order_acquire) ? ProbeFault::NotAPlug : ProbeFault::Silent, 0);
  if (!PnPStarted.load(std::memory_order_acquire)) {
    AddLog("no PnP-String received");
  } else if (complete) {
    AddLog("complete, but wrong PnP-String received:");
    AddLog(PnPString);
  } else {
    AddLog("not complete PnP-String received");
  }
  api.Purge(port, plat::kPurgeAllFlags);
  // The reader may still be returning from its aborted read and writes its
  // terminator into PnPString: this object must outlive it.
  control->WaitFinished();
  api.Close(port);
  PortHandle = nullptr;
  return false;
}

bool TSuchePlug::SetFastLine() {
  auto& api = plat::Serial();
  // The queue sizes are advice to the driver. A driver that takes no advice
  // (some virtual COM ports, Wine) says "not supported": go on without it.
  if (!api.SetupQueues(PortHandle, 16384, 2048) && plat::LastError() != plat::kErrorNotSupported) {
    Fail(ProbeFault::SettingsRefused, plat::LastError());
    // Opened exclusively: left open, it would block every later search.
    ClosePort();
    return false;
  }
  plat::Dcb dcb;
  api.GetState(PortHandle, dcb);
  plat::ApplyModeString(dcb, "baud=115200 parity=N data=8 stop=1");
  dcb.XonLim = 500;
  dcb.XoffLim = 2000;
  dcb.fRtsControl = plat::kRtsControlHandshake;
  dcb.fOutxCtsFlow = true;
  plat::ClearLeftoverSettings(dcb);
  if (!api.SetState(PortHandle, dcb)) {
    Fail(ProbeFault::SettingsRefused, plat::LastError());
    if (ShowErrors) Application->MessageBox("Error setting the DCB", "FEHLER", tk::kMbOk);
    ClosePort();
    return false;
  }
  // A change of speed can leave a junk byte in the input, which would stand
  // in front of the setup response; the plug answers only after the request.
  api.Purge(PortHandle, plat::kPurgeRxClear);
  AddLog("Set to: 115200 N 8 1, flow control on");
  return true;
}

bool TSuchePlug::SetupHandshake() {
  SetupReady.store(false);
  std::memset(SetupResponse, 0, sizeof SetupResponse);
  auto* reader = new TLeseSetupRes(Comm);
  reader->Ready = &SetupReady;
  reader->Buffer = SetupResponse;
  const std::shared_ptr<plat::ThreadControl> control = reader->Control();
  reader->Resume();

  AddLog("Schreibe Setup Request String");
  Comm->WriteData(kSetupLength, kSetupRequest);

  for (int tick = 0; tick < kSetupTicks; ++tick) {
    if (SetupReady.load(std::memory_order_acquire)) break;
    plat::Sleep(10);
  }
  if (SetupReady.load(std::memory_order_acquire)) {
    AddLog("correct Response received, O.K.");
    control->WaitFinished();
    return true;
  }
  if (!control->Finished()) control->RequestStop();
  plat::Serial().Purge(PortHandle, plat::kPurgeAllFlags);
  control->WaitFinished();
  // The reader has ended: its bytes can be read safely now.
  Fail(ProbeFault::NotAPlug, 0);
  AddLog("incorrect Response received:");
  AddLog(SetupResponse);
  plat::Serial().Close(PortHandle);
  PortHandle = nullptr;
  return false;
}
