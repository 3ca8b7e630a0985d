// What the window logic does, as typed facts. TForm1 tells an optional
// observer each stage it enters, each port of the search that gave no plug and
// why, the plug it found, the banner the plug reported, the upload's progress
// and how the workflow ended. The window's own texts and boxes are one
// rendering of these facts; a front end that reports in its own words (the
// console tool's lines, exit status and JSON) takes them from here and never
// from a caption, label or memo line.
//
// Every call comes on the GUI thread, in the order the facts happen.
#pragma once

#include <cstdint>
#include <string>

namespace flow {

enum class Stage {
  Search,         // probing the ports for a plug (and for one in its boot monitor)
  Report,         // report mode: waiting for the plug's version
  MonitorSwitch,  // switching the plug into its boot monitor
  Erase,          // erasing the flash
  Upload,         // streaming the image
  Finish,         // leaving the monitor
  Proof,          // a front end's second search after the update
};

// Why a port of the search's list gave no plug.
enum class PortFault {
  Absent,           // the port does not exist
  Busy,             // in use by another program, or access denied
  OpenFailed,       // not to be opened for another reason (the code tells)
  SettingsRefused,  // the driver refused a line setting
  Silent,           // nothing answered the identification
  NotAPlug,         // something answered, but no plug (another device, a broken
                    // identifier)
  NoSetupAnswer,    // a plug's identifier, but no or a wrong setup answer
};

// How a workflow ended.
enum class Result {
  NoPlug,                // no port gave a plug; each port's fault came before
  TooOld,                // a plug too old to be updated
  Reported,              // the plug's version is shown, the update may be asked for
  NoMonitor,             // the boot monitor was not reached
  UpdateFailed,          // the update stopped (see the stage); the plug waits in its monitor
  Flashed,               // programmed, the monitor left: the plug starts the new firmware
  RescueDeclined,        // a plug found in its boot monitor was left there
  PortError,             // writing to the plug's port failed for good
  Interrupted,           // stopped before the monitor switch; the plug left as found
  InterruptedInMonitor,  // stopped in the switch, erase or upload; the plug waits at its
                         // monitor prompt for the next run to finish the update
};

class Observer {
 public:
  virtual ~Observer() = default;

  virtual void StageEntered(Stage /*stage*/) {}
  // port as in the search's list; code the system error where there was one.
  virtual void PortFailed(const std::string& /*port*/, PortFault /*why*/, std::uint32_t /*code*/) {}
  // identifier: the characters after "(", 0x01, "$" up to the first zero.
  virtual void PlugFound(const std::string& /*port*/, const std::string& /*identifier*/) {}
  virtual void MonitorFound(const std::string& /*port*/) {}
  // The plug's version text (Windows-1252), as the window shows it.
  virtual void BannerReported(const std::string& /*banner*/) {}
  // After each line of the image that reached the driver.
  virtual void UploadProgress(long /*lines*/, long /*totalLines*/, long /*bytes*/, long /*totalBytes*/) {}
  // stage: where the workflow was when it ended.
  virtual void Ended(Result /*result*/, Stage /*stage*/) {}
};

}  // namespace flow
