// The console tool's command line and the exit status it ends with.
//
// The tool drives the window logic (TForm1) through the console toolkit; what
// it reports is derived from the workflow's typed record (flow::Observer): how
// the workflow ended and where, the ports that failed, and the second search
// after an update that proves the firmware the plug now runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/observer.h"

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
  kInternal = 9,      // a fault inside the tool ended it; the plug's mode left as on any end
};

// How a plug found waiting in its boot monitor is answered.
enum class Rescue { Ask, Yes, No };

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
  // Derived: --update --yes repeats a broken-off update, --yes or --quiet
  // alone leave the plug in its monitor, otherwise the question is asked.
  Rescue rescue = Rescue::Ask;
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

// The reasons of the search, for people and for scripts ("absent", ...).
const char* PortFaultWords(flow::PortFault why);
const char* PortFaultCode(flow::PortFault why);

// What the window logic did in one run, as its record told it.
struct Observed {
  bool ended = false;  // the workflow told how it ended
  flow::Result result = flow::Result::NoPlug;
  flow::Stage stage = flow::Stage::Search;  // where it ended
  bool portError = false;                   // a port could not be opened or set up
  // The second search after an update: run, the plug answered it with
  // bannerAfter (Windows-1252), compared with the carried banner.
  bool proofRun = false;
  bool proofAnswered = false;
  std::string bannerAfter;
  std::string carriedBanner;
};

struct Outcome {
  ExitStatus status = kNoPlug;
  std::string name;  // for scripts: "verified", "no-plug", ...
  std::string text;  // for people (UTF-8)
};

Outcome Conclude(const Observed& observed);

}  // namespace cli
