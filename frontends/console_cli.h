// The console tool's command line and the exit status it ends with.
//
// The tool drives the window logic (TForm1) through the console toolkit; what
// it reports is derived from what that logic did: the message boxes it
// showed, whether the plug's version was shown, and the second search after
// an update that proves the firmware the plug now runs.
#pragma once

#include <string>
#include <vector>

namespace cli {

enum ExitStatus {
  kOk = 0,            // verified, or no update asked and the plug's version shown
  kNoPlug = 1,        // no plug found
  kUsage = 2,         // the command line is wrong
  kTooOld = 3,        // the plug is too old to be updated
  kNoMonitor = 4,     // the boot monitor was not reached
  kUpdateFailed = 5,  // the update failed; the plug waits in its boot monitor
  kNotVerified = 6,   // updated, but the new firmware was not seen running
  kPortError = 7,     // a port could not be opened, set up or written
  kInterrupted = 8,   // stopped on request before the update began; the plug as found
};

struct Options {
  std::vector<std::string> ports;  // --port, in the order given
  bool listPorts = false;
  bool help = false;
  bool version = false;
  bool update = false;
  bool yes = false;
  bool verify = true;
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  // The simulated plug instead of serial ports.
  bool sim = false;
  std::string simPort = "COM1";  // where the simulated plug sits, or "none"
  bool wire = false;             // at the real line speed
  std::string product = "1011";  // its product number
};

struct Parsed {
  bool ok = false;
  std::string error;  // why not, for the user
  Options options;
};

// args without the program name.
Parsed ParseOptions(const std::vector<std::string>& args);

// The --help text.
std::string HelpText(const std::string& program);

// What the second search after an update found.
enum class Proof { NotRun, Verified, OtherBanner, NotAnswering };

// What the window logic did in one run.
struct Observed {
  std::vector<std::string> boxCaptions;  // every message box, in order (Windows-1252)
  bool reportShown = false;              // the plug's version was shown
  bool portError = false;                // a port could not be opened or set up
  Proof proof = Proof::NotRun;
  // Stopped on request (Ctrl+C, the console closed, SIGTERM, ...): before the
  // update began, or in it (the plug waits in its boot monitor).
  enum class Stop { None, BeforeUpdate, InMonitor } stop = Stop::None;
};

struct Outcome {
  ExitStatus status = kNoPlug;
  std::string name;  // for scripts: "verified", "no-plug", ...
  std::string text;  // for people (UTF-8)
};

Outcome Conclude(const Observed& observed);

}  // namespace cli
