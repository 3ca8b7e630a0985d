// The main window, its connection to the plug, and the program entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_api.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

class TAsyncComm;
class TReadC99;

// The one serial-port object of the current connection, null without one.
// Reader threads look it up before every read.
extern std::atomic<TAsyncComm*> SharedComm;
// The open port on which the plug answered, null without one. The window alone
// closes it.
extern plat::Handle PlugPort;
// The running report-frame reader, null when none runs.
extern TReadC99* ReportReader;

// The firmware revision the tool carries and its banner.
extern const char* const CarriedRevision;
extern const char* const CarriedBanner;

class TForm1 : public TForm {
 public:
  explicit TForm1(TApplication* owner);
  // The exit sequence: leaves the plug's mode, releases the connection.
  ~TForm1() override;

  void Dispatch(tk::Message& message) override;

  void BSearchClick(TObject* sender);
  void BUpdateClick(TObject* sender);
  void BExitClick(TObject* sender);

  // Report mode.
  void EnterReportMode();
  void SendReportRequest();
  void WMPlugReport(tk::Message& message);
  void ShowPlugReport(const std::uint8_t* frame);
  void LeaveReportMode();
  // Boot monitor.
  void LeaveMonitorMode();

  TMemo* Memo1;
  TButton* BSearch;
  TButton* BUpdate;
  TButton* BExit;
  TLabel* LStatus;
  TCGauge* CGauge1;

  // The plug's mode as far as the tool drove it: 0 idle, 1 report mode,
  // 2 boot monitor.
  std::uint8_t UpdateState = 0;

  // The ports the search probes, in order. The window program keeps COM1 and
  // COM2; the console tool sets the ports its user names.
  std::vector<std::string> SearchPorts{"\\\\.\\COM1", "\\\\.\\COM2"};
  // The identifier of the plug the last search found (after "(", 0x01, "$"),
  // for a front-end that reports it.
  std::string PlugIdentifier;

 private:
  // Stops the report reader, aborts its read and waits until it has ended.
  void StopReportReader();
  std::shared_ptr<plat::ThreadControl> reportReaderControl_;
};

extern TForm1* Form1;

// Writes count bytes through SharedComm; the count written, or 0.
int SendToPlug(std::uint16_t count, const void* data);
// Closes the connection and returns the window to its start state.
void ResetToReady(TForm1* form, plat::Handle* port);

// The program entry, after main() has chosen the serial and toolkit backends
// and created Application. Returns 0.
int PlugMain();
