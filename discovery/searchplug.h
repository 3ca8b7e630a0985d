// Finding the plug: probes the ports of its list in order, COM1 then COM2
// unless the owner names others. A probe opens the port at 1200 7N1,
// runs the serial Plug-and-Play line sequence, reads and checks the identifier,
// switches to 115200 8N1 with RTS/CTS flow control and completes the setup
// handshake. A successful probe leaves the port open and attached to the
// shared TAsyncComm and hands its handle to the caller.
#pragma once

#include <atomic>
#include <cstddef>
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

class TSuchePlug {
 public:
  // log: optional diagnostic lines; showErrors: also show line-setting
  // failures in message boxes.
  TSuchePlug(TAsyncComm* comm, TStrings* log, bool showErrors);

  // Probes the ports of Ports in order until one answers. portName (size
  // bytes, 9 unless given) receives the name of the last port probed, cut to
  // fit and always terminated. The open port, or null.
  plat::Handle FindPlug(char* portName, std::size_t size = 9);
  // One port. A port that sent a complete identifier but gave no usable
  // plug (another device, or a plug whose setup failed) is noted in
  // Answered.
  plat::Handle Probe(const char* portName);
  // True when the last FindPlug noted the port: some device answers there
  // that is not a plug in its boot monitor, and nothing is sent to it.
  bool Answered(const std::string& portName) const;
  char* GetPnPString() { return PnPString; }

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

 private:
  // The ports of the last FindPlug that sent a complete identifier and gave
  // no usable plug.
  std::vector<std::string> answered_;
  void AddLog(const std::string& line);
  // Purges and closes PortHandle after a failed stage.
  void ClosePort();
};
