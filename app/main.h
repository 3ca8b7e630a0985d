// The main window, its connection to the plug, and the program entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/connection.h"
#include "app/observer.h"
#include "platform/serial_api.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

class TFwUpdate;
class TReadC99;
class TSuchePlug;
struct FoundPort;

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
  // A stop request outside the update: the record ends with Interrupted and
  // the application with it, as closing the window ends it; destroying the
  // window then runs the exit sequence for the plug's mode.
  void Interrupt();

  // Report mode.
  void EnterReportMode();
  void SendReportRequest();
  void WMPlugReport(tk::Message& message);
  void ShowPlugReport(const std::uint8_t* frame);
  void LeaveReportMode();
  // Boot monitor.
  void LeaveMonitorMode();
  // After no plug answered its identification: looks for a plug waiting in
  // its boot monitor (an update broken off) where one is known to wait: on the
  // ports the person named, in order, then on the remembered port of an
  // unfinished update; no other port gets a byte. The open port on which the
  // monitor answered, attached to SharedComm, with its name; a null handle
  // with every port it opened closed again.
  FoundPort FindPlugInMonitor(TSuchePlug* search, const std::function<bool()>& stop);
  // Asks whether the update of the plug found in its monitor on port is to be
  // repeated; runs it (the connection becomes the window's) or leaves the
  // plug alone and closes the port.
  void OfferRescue(plat::Handle port, const char* portName);
  // The update from the boot monitor on: erase, upload, monitor exit, result.
  // busy ends when the upload has.
  void UpdateInMonitor(tk::BusyScope& busy);

  TMemo* Memo1;
  TButton* BSearch;
  TButton* BUpdate;
  TButton* BExit;
  TLabel* LStatus;
  TCGauge* CGauge1;

  // The plug's mode as far as the tool drove it: 0 idle, 1 report mode,
  // 2 boot monitor.
  std::uint8_t UpdateState = 0;

  // The ports the person named, in order (the window's command line, the
  // console's --port): the search probes these alone. Empty: COM1, COM2 and
  // the machine's other ports (DefaultSearchPorts), listed anew at each try.
  std::vector<std::string> SearchPorts;
  // Whether a search that found no plug looks for one waiting in its boot
  // monitor; a front end's search for proof after an update does not.
  bool LookForMonitor = true;
  // Told what happens, if set; the window program sets none.
  flow::Observer* Observer = nullptr;
  // A front end's stop request, asked at the update's safe points (the window
  // sets none). A stop from the monitor switch on ends the update at a line
  // boundary, closes the load and leaves the plug at its monitor prompt,
  // without the monitor exit; StoppedInMonitor then tells so, and the record
  // ends with InterruptedInMonitor.
  std::function<bool()> StopRequested;
  bool StoppedInMonitor = false;
  // The system ends the session (the form's kWmEndSession): the process may
  // end once this returns. Before the monitor switch nothing is sent; a
  // switch under way ends the update before its first command; a load under
  // way is closed after its last whole line, the end-of-file record drained to
  // the wire, before this returns. The update then ends as after a stop.
  void SessionEnding();

 private:
  // The observer, or one that ignores everything.
  flow::Observer& Record();
  void Enter(flow::Stage stage);
  void End(flow::Result result);
  // Each port of the search that gave no plug, and why, to the observer.
  void TellPortFailures(const TSuchePlug& search);
  // True when a write to the plug failed on this connection (its box shown).
  static bool WriteFailedHere();
  flow::Stage stage_ = flow::Stage::Search;
  bool sessionEnding_ = false;
  // The update running in UpdateInMonitor, null at any other time.
  TFwUpdate* update_ = nullptr;
  // The port of the connection, as in the search's list.
  std::string portName_;
  // The memo lines of the last search's ports, the last ones of the memo.
  int searchLines_ = 0;
  // Stops the report reader, aborts its read and waits until it has ended.
  void StopReportReader();
  std::shared_ptr<plat::ThreadControl> reportReaderControl_;
};

extern TForm1* Form1;

// Closes the connection and returns the window to its start state.
void ResetToReady(TForm1* form, plat::Handle* port);

// The port of an update the tool started and has not finished, kept across
// runs in plat::CurrentPortMemory(): remembered just before the monitor
// switch, forgotten once the monitor was left by its exit after a complete
// upload. A memory that cannot be read or written is told to the debugger
// output and otherwise ignored: it never stops an update.
void RememberUnfinishedPort(const std::string& port);
void ForgetUnfinishedPort();
// Empty when none is remembered (or it cannot be read).
std::string UnfinishedPort();

// The program entry, after main() has chosen the serial and toolkit backends
// and created Application; ports: the ports the person named (empty: the
// machine's). Returns 0.
int PlugMain(const std::vector<std::string>& ports = {});
