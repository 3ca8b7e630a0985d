#include "frontends/console_cli.h"

#include <algorithm>

namespace cli {
namespace {

// Captions of the boxes the window logic shows (Windows-1252).
constexpr const char* kNoPlugCaption = "Keinen Plug gefunden";
constexpr const char* kTooOldCaption = "Kein Update m\xF6glich";
constexpr const char* kNoMonitorCaption = "Kein Monitor Modus";
constexpr const char* kUpdateErrorCaption = "Update Fehler";
constexpr const char* kFlashedCaption = "Plug geflasht";
constexpr const char* kRescueCaption = "Quor Plug im Monitor Modus";
constexpr const char* kErrorCaption = "FEHLER";  // serial errors: a write that failed

bool Value(const std::string& arg, const char* name, std::string& value) {
  const std::string prefix = std::string(name) + "=";
  if (arg.rfind(prefix, 0) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

}  // namespace

Parsed ParseOptions(const std::vector<std::string>& args) {
  Parsed p;
  Options& o = p.options;
  bool simOnly = false;  // an option of the simulated plug was given
  auto fail = [&p](std::string error) {
    p.ok = false;
    p.error = std::move(error);
    return p;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    if (a == "--port") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return fail("--port needs a port name");
      o.ports.push_back(args[++i]);
    } else if (Value(a, "--port", value)) {
      if (value.empty()) return fail("--port needs a port name");
      o.ports.push_back(value);
    } else if (a == "--list-ports") {
      o.listPorts = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--update") {
      o.update = true;
    } else if (a == "--yes" || a == "-y") {
      o.yes = true;
    } else if (a == "--no-verify") {
      o.verify = false;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--serial") {
      // The machine's serial ports: the default; kept for older scripts.
    } else if (a == "--sim") {
      o.sim = true;
      o.simPort = "COM1";
    } else if (Value(a, "--sim", value)) {
      if (value != "COM1" && value != "COM2" && value != "none") {
        return fail("--sim takes COM1, COM2 or none, not '" + value + "'");
      }
      o.sim = true;
      o.simPort = value;
    } else if (a == "--wire") {
      o.wire = simOnly = true;
    } else if (Value(a, "--product", value)) {
      if (value.size() != 4) return fail("--product takes four characters, as 1011");
      o.product = value;
      simOnly = true;
    } else {
      return fail("unknown option '" + a + "'");
    }
  }
  if (simOnly && !o.sim) return fail("--wire and --product are options of the simulated plug (--sim)");
  if (o.sim && !o.ports.empty()) return fail("--port names a serial port; the simulated plug (--sim) has none");
  if (o.quiet && o.verbose) return fail("--quiet and --verbose exclude each other");
  p.ok = true;
  return p;
}

std::string HelpText(const std::string& program) {
  return "usage: " + program + " [options]\n"
         "\n"
         "Finds the QUOR Plug on a serial port, shows its firmware version and, on\n"
         "request, brings it to the firmware revision this tool carries.\n"
         "\n"
         "  --port NAME     probe this port; repeat for more, tried in the order given\n"
         "                  (Windows: COM5 or \\\\.\\COM5; Linux: /dev/ttyUSB0, a\n"
         "                  /dev/serial/by-id/ link). Default: COM1, then COM2\n"
         "                  (on Linux /dev/ttyS0, then /dev/ttyS1)\n"
         "  --list-ports    list this machine's serial ports and exit\n"
         "  --update        update the plug without asking\n"
         "  --yes, -y       answer every message box without asking: OK, and Cancel\n"
         "                  where a search may be retried; a plug found waiting in\n"
         "                  its boot monitor is updated there only with --update\n"
         "  --no-verify     after an update, do not search the plug again to see the\n"
         "                  new firmware running (the result is then 6)\n"
         "  --json          one JSON object with the outcome on standard output;\n"
         "                  everything else goes to standard error\n"
         "  --quiet, -q     print only the result; ask nothing (update only with --update)\n"
         "  --verbose, -v   also show button changes and diagnostics\n"
         "  --sim[=COM1|COM2|none]  a simulated plug instead of serial ports, with\n"
         "                  --wire (real line speed) and --product=NNNN (1010: too old)\n"
         "  --version       the tool's version and the firmware revision it carries\n"
         "  --help, -h      this text\n"
         "\n"
         "Exit status:\n"
         "  0  the plug runs the carried firmware (verified after the update), or no\n"
         "     update was asked and the plug's version was shown\n"
         "  1  no plug found\n"
         "  2  usage error\n"
         "  3  the plug is too old to be updated\n"
         "  4  the plug's boot monitor was not reached (nothing was changed)\n"
         "  5  the update failed, or was found broken off and not finished: the plug\n"
         "     waits in its boot monitor; run the tool with --update --yes to finish\n"
         "  6  updated, but the new firmware was not seen running (the plug answered\n"
         "     with another banner, did not answer within 15 s, or --no-verify)\n"
         "  7  port error: a port could not be opened, set up or written\n"
         "  8  interrupted (Ctrl+C, the console closed, SIGTERM) before the update\n"
         "     began: the plug was left as found. Interrupted during the update, the\n"
         "     tool ends with 5 (interrupted-in-monitor)\n"
         "\n"
         "Ctrl+C during the update (on a terminal): the first one only tells that the\n"
         "update is running, a second one stops it at the next line; the plug then\n"
         "waits in its boot monitor, and the next run with --update --yes finishes it.\n";
}

Outcome Conclude(const Observed& observed) {
  if (observed.stop == Observed::Stop::InMonitor) {
    return {kUpdateFailed, "interrupted-in-monitor",
            "stopped on request; the plug waits in its boot monitor: run the tool with --update --yes to finish "
            "the update"};
  }
  if (observed.stop == Observed::Stop::BeforeUpdate) {
    return {kInterrupted, "interrupted", "stopped on request before the update; the plug was left as found"};
  }
  const auto& boxes = observed.boxCaptions;
  const auto saw = [&boxes](const char* caption) {
    return std::find(boxes.begin(), boxes.end(), caption) != boxes.end();
  };
  if (saw(kTooOldCaption)) {
    return {kTooOld, "too-old", "the plug is too old to be updated; please contact the support"};
  }
  if (saw(kErrorCaption)) {
    const bool updating = saw(kNoMonitorCaption) || saw(kUpdateErrorCaption) || saw(kFlashedCaption);
    return {kPortError, "port-error",
            updating ? "writing to the port failed during the update; if the plug waits in its boot monitor, "
                       "run the tool again to finish the update"
                     : "writing to the port failed"};
  }
  if (saw(kNoMonitorCaption)) {
    return {kNoMonitor, "no-monitor", "the plug did not switch to its boot monitor; nothing was changed"};
  }
  if (saw(kUpdateErrorCaption)) {
    return {kUpdateFailed, "update-failed",
            "the update failed; the plug waits in its boot monitor: run the tool again to finish the update"};
  }
  if (saw(kFlashedCaption)) {
    switch (observed.proof) {
      case Proof::Verified:
        return {kOk, "verified", "updated and verified: the plug runs the carried firmware"};
      case Proof::OtherBanner:
        return {kNotVerified, "other-banner", "updated, but after its restart the plug reports another firmware"};
      case Proof::NotAnswering:
        return {kNotVerified, "not-answering", "updated, but the plug did not answer within 15 s of its restart"};
      case Proof::NotRun:
        break;
    }
    return {kNotVerified, "not-verified", "updated; the new firmware was not checked (--no-verify)"};
  }
  if (saw(kRescueCaption)) {
    return {kUpdateFailed, "in-monitor",
            "the plug waits in its boot monitor with an update broken off; run the tool with --update --yes to "
            "finish it"};
  }
  if (observed.reportShown) return {kOk, "version-shown", "the plug's firmware version was shown"};
  if (observed.portError) return {kPortError, "port-error", "no plug found, and a port could not be opened or set up"};
  if (saw(kNoPlugCaption)) return {kNoPlug, "no-plug", "no plug found"};
  return {kNoPlug, "no-plug", "no plug answered the search with its version"};
}

}  // namespace cli
