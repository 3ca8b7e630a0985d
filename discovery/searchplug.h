// Finding the plug: probes the ports of its list in order (COM1, COM2, then
// the machine's other ports; see DefaultSearchPorts) unless the owner names
// others. A probe opens the port at 1200 7N1,
// runs the serial Plug-and-Play line sequence, reads and checks the identifier,
// switches to 115200 8N1 with RTS/CTS flow control and completes the setup
// handshake. A successful probe leaves the port open and attached to the
// shared TAsyncComm and hands its handle to the caller.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_api.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

class TAsyncComm;

// Hand-over flags between the reader threads and the GUI thread. The reader
// completes its text before it sets a flag (release); the GUI thread reads the
// text after it has seen the flag (acquire) or after the reader has ended.
extern std::atomic<bool> PnPStarted;
extern std::atomic<bool> PnPComplete;
extern std::atomic<bool> SetupReady;
extern char SetupResponse[16];

constexpr int PnPCapacity = 512;
// Room for a device path with its terminator ("\\.\COM1" takes 9 bytes; a
// device path such as /dev/serial/by-id/... takes more).
constexpr std::size_t PortNameCapacity = 260;

// Reads the identifier byte by byte up to ")". Frees itself when it ends.
class TLesePnP final : public TThread {
 public:
  explicit TLesePnP(TAsyncComm* comm);

  TAsyncComm* Comm;
  char* Buffer = nullptr;
  std::atomic<bool>* Started = nullptr;
  std::atomic<bool>* Complete = nullptr;
  int Capacity = 0;

 protected:
  void Execute() override;
};

// Reads the setup response and compares it with "QUOR PLUG READY" byte by byte.
// Frees itself when it ends.
class TLeseSetupRes final : public TThread {
 public:
  explicit TLeseSetupRes(TAsyncComm* comm);

  TAsyncComm* Comm;
  std::atomic<bool>* Ready = nullptr;
  char* Buffer = nullptr;

 protected:
  void Execute() override;
};

// Why a probed port gave no plug.
enum class ProbeFault {
  Absent,           // the port does not exist
  Busy,             // in use by another program, or access denied
  OpenFailed,       // not to be opened for another reason (the code tells)
  SettingsRefused,  // the driver refused a line setting
  Silent,           // no identifier came
  NotAPlug,         // something answered, but not a plug: a wrong or broken identifier
  NoSetupAnswer,    // a plug's identifier came, but no or a wrong setup answer
};

struct ProbeFailure {
  std::string port;     // as in the list
  ProbeFault why;
  std::uint32_t code;   // the system error where there was one, else 0
};

// The port a search found: its open handle and its name as in the list; a
// null handle and an empty name when none answered.
struct FoundPort {
  plat::Handle handle = nullptr;
  std::string name;
};

// The ports a search probes when the person named none: COM1 and COM2 (as
// the program always looked there, listed by the machine or not), then the
// machine's other ports in number order. Bluetooth ports are left out:
// opening one starts a radio connection that can take many seconds.
std::vector<std::string> DefaultSearchPorts(const std::vector<plat::PortEntry>& machine);
// The machine's ports in that order, the Bluetooth ones at the end.
std::vector<plat::PortEntry> InSearchOrder(std::vector<plat::PortEntry> machine);
// The number n of a port named "COMn" or "\\.\COMn" (any case), else 0.
int ComNumber(const std::string& name);

class TSuchePlug {
 public:
  // log: optional diagnostic lines; showErrors: also show line-setting
  // failures in message boxes.
  TSuchePlug(TAsyncComm* comm, TStrings* log, bool showErrors);

  // Probes the ports of Ports in order until one answers. Failures then holds
  // each port before it that gave no plug, and why. When stop says so
  // (between ports and in the waits of a probe) the search ends at once
  // without a plug; the port being probed is closed and not counted.
  FoundPort FindPlug(const std::function<bool()>& stop = nullptr);
  // One port: the open handle, or null with the reason added to Failures. A
  // port that sent a complete identifier but gave no usable plug (another
  // device, or a plug whose setup failed) is noted in Answered.
  plat::Handle Probe(const char* portName);
  // True when the last FindPlug noted the port: some device answers there
  // that is not a plug in its boot monitor, and nothing is sent to it.
  bool Answered(const std::string& portName) const;
  char* GetPnPString() { return PnPString; }
  // The identification alone on one port that FindPlug did not probe: true
  // when a device answered there (a plug or another), which Answered then
  // notes. The port is closed again either way. A stop ends it as in
  // FindPlug, with false.
  bool AnswersIdentification(const char* portName, const std::function<bool()>& stop = nullptr);

  bool OpenPort();
  bool ReadPnPId(plat::Handle port);
  bool SetFastLine();
  bool SetupHandshake();

  // The ports FindPlug probes, in order.
  std::vector<std::string> Ports{"\\\\.\\COM1", "\\\\.\\COM2"};
  char PortName[PortNameCapacity] = {};
  plat::Handle PortHandle = nullptr;
  TAsyncComm* Comm;
  TStrings* Log;
  bool ShowErrors;
  char PnPString[PnPCapacity] = {};
  // The ports of the last FindPlug (or of the probes since) that gave no plug.
  std::vector<ProbeFailure> Failures;

 private:
  // The ports of the last FindPlug that sent a complete identifier and gave
  // no usable plug.
  std::vector<std::string> answered_;
  // The stop of the FindPlug that runs, else empty.
  std::function<bool()> stop_;
  bool Stopped() const { return stop_ && stop_(); }
  void Fail(ProbeFault why, std::uint32_t code);
  void AddLog(const std::string& line);
  // Purges and closes PortHandle after a failed stage.
  void ClosePort();
};
