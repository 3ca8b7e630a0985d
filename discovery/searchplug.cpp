#include "discovery/searchplug.h"

#include <algorithm>
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
// Bytes the setup reader passes over before the answer starts, at most.
constexpr int kSetupSkip = 16;

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

// --- the ports of a search ----------------------------------------------------

int ComNumber(const std::string& name) {
  std::size_t at = name.rfind("\\\\.\\", 0) == 0 ? 4 : 0;
  if (name.size() < at + 4) return 0;
  for (const char c : {'c', 'o', 'm'}) {
    if ((name[at++] | 0x20) != c) return 0;
  }
  if (name[at] == '0') return 0;
  int n = 0;
  for (; at < name.size(); ++at) {
    if (name[at] < '0' || name[at] > '9' || n > 9999) return 0;
    n = n * 10 + (name[at] - '0');
  }
  return n;
}

std::vector<plat::PortEntry> InSearchOrder(std::vector<plat::PortEntry> machine) {
  // COM1 and COM2 first, then by number; names without one (device paths)
  // after them in the order the machine gave; Bluetooth ports last.
  const auto rank = [](const plat::PortEntry& e) {
    const int n = ComNumber(e.name);
    return std::make_pair(e.kind == plat::PortKind::Bluetooth, n == 0 ? 1 << 30 : n);
  };
  std::stable_sort(machine.begin(), machine.end(),
                   [&](const plat::PortEntry& a, const plat::PortEntry& b) { return rank(a) < rank(b); });
  return machine;
}

std::vector<std::string> DefaultSearchPorts(const std::vector<plat::PortEntry>& machine) {
  std::vector<std::string> ports{"\\\\.\\COM1", "\\\\.\\COM2"};
  for (const plat::PortEntry& e : InSearchOrder(machine)) {
    const int n = ComNumber(e.name);
    if (e.kind == plat::PortKind::Bluetooth || n == 1 || n == 2) continue;
    if (std::find(ports.begin(), ports.end(), e.name) == ports.end()) ports.push_back(e.name);
  }
  return ports;
}

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
  int skipped = 0;
  for (;;) {
    char byte = 0;
    const int got = Comm->ReadData(1, &byte);
    if (Terminated() || got != 1) {
      Buffer[pos] = 0;
      return;
    }
    // An adapter can hand over, after the purge behind the change of speed,
    // a byte that came before it: what stands before the answer's first
    // character is passed over, up to kSetupSkip bytes.
    if (pos == 0 && byte != kSetupResponse[0] && skipped < kSetupSkip) {
      ++skipped;
      continue;
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

FoundPort TSuchePlug::FindPlug(const std::function<bool()>& stop) {
  Failures.clear();
  answered_.clear();
  stop_ = stop;
  FoundPort found;
  for (const std::string& name : Ports) {
    if (Stopped()) break;
    const plat::Handle port = Probe(name.c_str());
    if (port != nullptr) {
      found = {port, name};
      break;
    }
  }
  stop_ = nullptr;
  return found;
}

plat::Handle TSuchePlug::Probe(const char* portName) {
  std::snprintf(PortName, sizeof PortName, "%s", portName);
  AddLog(std::string("Open Port ") + PortName);
  if (!OpenPort()) return nullptr;
  const bool identified = ReadPnPId(PortHandle);
  if (identified && SetFastLine() && SetupHandshake()) return PortHandle;
  if (identified || PnPComplete.load(std::memory_order_acquire)) answered_.emplace_back(PortName);
  return nullptr;
}

bool TSuchePlug::AnswersIdentification(const char* portName, const std::function<bool()>& stop) {
  std::snprintf(PortName, sizeof PortName, "%s", portName);
  if (!OpenPort()) return false;
  stop_ = stop;
  // Where nothing or another device answered, the port is closed already.
  const bool identified = ReadPnPId(PortHandle);
  stop_ = nullptr;
  if (identified) ClosePort();
  if (!identified && !PnPComplete.load(std::memory_order_acquire)) return false;
  answered_.emplace_back(PortName);
  return true;
}

bool TSuchePlug::Answered(const std::string& portName) const {
  return std::find(answered_.begin(), answered_.end(), portName) != answered_.end();
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
    Fail(code == plat::kErrorFileNotFound    ? ProbeFault::Absent
         : code == plat::kErrorAccessDenied ? ProbeFault::Busy
                                            : ProbeFault::OpenFailed,
         code);
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

  bool stopped = false;
  for (const LineStep& step : kPnPSequence) {
    stopped = Stopped();
    if (stopped) break;
    api.Escape(port, step.function);
    if (step.waitMs != 0) plat::Sleep(step.waitMs);
  }
  if (!stopped) AddLog("PnP-Sequence written");

  // On a busy machine the reader may not have run yet although the plug's
  // identifier is arriving: what waits at the port counts as its start too.
  // Only a port at which nothing arrived is silent.
  std::uint32_t waiting = 0;
  const bool started =
      !stopped && (PnPStarted.load(std::memory_order_acquire) || (api.InQueue(port, waiting) && waiting > 0));
  if (started) {
    for (int tick = 0; tick < kPnPTicks; ++tick) {
      if (PnPComplete.load(std::memory_order_acquire)) break;
      stopped = Stopped();
      if (stopped) break;
      plat::Sleep(10);
      Application->ProcessMessages();
    }
    if (!stopped && PnPComplete.load(std::memory_order_acquire) &&
        (std::memcmp(PnPString, kAccepted[0], 10) == 0 || std::memcmp(PnPString, kAccepted[1], 10) == 0)) {
      AddLog("correct PnP-String received");
      control->WaitFinished();
      return true;
    }
  }

  if (!PnPComplete.load(std::memory_order_acquire)) control->RequestStop();
  // The diagnostic follows the flags as they stand after the stop request.
  const bool complete = PnPComplete.load(std::memory_order_acquire);
  // A probe cut short by a stop says nothing about the port.
  if (!stopped) Fail(PnPStarted.load(std::memory_order_acquire) ? ProbeFault::NotAPlug : ProbeFault::Silent, 0);
  if (stopped) {
    AddLog("search stopped");
  } else if (!PnPStarted.load(std::memory_order_acquire)) {
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
  // (some virtual COM ports, Wine, adapters that refuse the sizes) says so:
  // the port still works, the search goes on without it.
  if (!api.SetupQueues(PortHandle, 16384, 2048)) {
    AddLog(WithCode("SetupComm failed, GetLastError: #", plat::LastError()));
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

  bool stopped = false;
  for (int tick = 0; tick < kSetupTicks; ++tick) {
    if (SetupReady.load(std::memory_order_acquire)) break;
    stopped = Stopped();
    if (stopped) break;
    plat::Sleep(10);
  }
  if (!stopped && SetupReady.load(std::memory_order_acquire)) {
    AddLog("correct Response received, O.K.");
    control->WaitFinished();
    return true;
  }
  if (!control->Finished()) control->RequestStop();
  plat::Serial().Purge(PortHandle, plat::kPurgeAllFlags);
  control->WaitFinished();
  // The reader has ended: its bytes can be read safely now.
  if (stopped) {
    AddLog("search stopped");
  } else {
    Fail(ProbeFault::NoSetupAnswer, 0);
    AddLog("incorrect Response received:");
    AddLog(SetupResponse);
  }
  plat::Serial().Close(PortHandle);
  PortHandle = nullptr;
  return false;
}
