#include "frontends/console_cli.h"


namespace cli {
namespace {

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
  if (o.yes || o.quiet) o.rescue = o.yes && o.update ? Rescue::Yes : Rescue::No;
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
         "                  /dev/serial/by-id/ link). Default: COM1, COM2, then the\n"
         "                  machine's other ports in number order, Bluetooth ports\n"
         "                  left out (Linux: /dev/ttyS0, /dev/ttyS1, then every\n"
         "                  /dev/ttyUSB* and /dev/ttyACM*). A plug waiting in its\n"
         "                  boot monitor is looked for only on ports named here\n"
         "                  and on the port of an update left unfinished\n"
         "  --list-ports    list the serial ports in the order a search takes them,\n"
         "                  with their kind and what the system knows of each\n"
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
         "  9  internal fault: the tool itself failed (out of memory, say) and ended\n"
         "     as closing it would, leaving the plug's mode (internal-error)\n"
         "\n"
         "Ctrl+C during the update (on a terminal): the first one only tells that the\n"
         "update is running, a second one stops it at the next line; the plug then\n"
         "waits in its boot monitor, and the next run with --update --yes finishes it.\n";
}

const char* PortFaultWords(flow::PortFault why) {
  switch (why) {
    case flow::PortFault::Absent: return "no such port";
    case flow::PortFault::Busy: return "in use by another program, or access denied";
    case flow::PortFault::OpenFailed: return "could not be opened";
    case flow::PortFault::NoSetupAnswer: return "a plug answered, but not its setup request";
    case flow::PortFault::SettingsRefused: return "line settings refused";
    case flow::PortFault::Silent: return "no answer";
    case flow::PortFault::NotAPlug: return "answered, but not a plug";
  }
  return "";
}

const char* PortFaultCode(flow::PortFault why) {
  switch (why) {
    case flow::PortFault::Absent: return "absent";
    case flow::PortFault::Busy: return "busy";
    case flow::PortFault::OpenFailed: return "open-failed";
    case flow::PortFault::NoSetupAnswer: return "no-setup-answer";
    case flow::PortFault::SettingsRefused: return "settings-refused";
    case flow::PortFault::Silent: return "silent";
    case flow::PortFault::NotAPlug: return "not-a-plug";
  }
  return "";
}

namespace {

Outcome Proven(const Observed& o) {
  if (!o.proofRun) return {kNotVerified, "not-verified", "updated; the new firmware was not checked (--no-verify)"};
  if (!o.proofAnswered) {
    return {kNotVerified, "not-answering", "updated, but the plug did not answer within 15 s of its restart"};
  }
  if (o.bannerAfter == o.carriedBanner) {
    return {kOk, "verified", "updated and verified: the plug runs the carried firmware"};
  }
  return {kNotVerified, "other-banner", "updated, but after its restart the plug reports another firmware"};
}

bool Updating(flow::Stage stage) {
  return stage == flow::Stage::MonitorSwitch || stage == flow::Stage::Erase || stage == flow::Stage::Upload ||
         stage == flow::Stage::Finish;
}

}  // namespace

Outcome Conclude(const Observed& o) {
  if (!o.ended) return {kNoPlug, "no-plug", "no plug answered the search with its version"};
  switch (o.result) {
    case flow::Result::TooOld:
      return {kTooOld, "too-old", "the plug is too old to be updated; please contact the support"};
    case flow::Result::PortError:
      return {kPortError, "port-error",
              Updating(o.stage) ? "writing to the port failed during the update; if the plug waits in its boot "
                                  "monitor, run the tool again to finish the update"
                                : "writing to the port failed"};
    case flow::Result::NoMonitor:
      return {kNoMonitor, "no-monitor", "the plug did not switch to its boot monitor; nothing was changed"};
    case flow::Result::UpdateFailed:
      return {kUpdateFailed, "update-failed",
              "the update failed; the plug waits in its boot monitor: run the tool again to finish the update"};
    case flow::Result::Flashed:
      return Proven(o);
    case flow::Result::RescueDeclined:
      return {kUpdateFailed, "in-monitor",
              "the plug waits in its boot monitor with an update broken off; run the tool with --update --yes "
              "to finish it"};
    case flow::Result::InterruptedInMonitor:
      return {kUpdateFailed, "interrupted-in-monitor",
              "interrupted; the plug waits in its boot monitor: run the tool with --update --yes to finish the "
              "update"};
    case flow::Result::Interrupted:
      return {kInterrupted, "interrupted", "interrupted before the update; the plug was left as it was found"};
    case flow::Result::Reported:
      return {kOk, "version-shown", "the plug's firmware version was shown"};
    case flow::Result::NoPlug:
      break;
  }
  if (o.portError) return {kPortError, "port-error", "no plug found, and a port could not be opened or set up"};
  return {kNoPlug, "no-plug", "no plug found"};
}

}  // namespace cli
