// The tool in a terminal or a script: the real window logic with the console
// front-end, on the machine's serial ports or on a simulated plug. See
// HelpText() in console_cli.cpp for the options and the exit status.
//
// It presses "Quor Plug suchen" at once; when the plug's version is shown it
// offers the update ([U]pdate / [B]eenden), or presses it itself with
// --update. After a successful update it searches the plug again on the same
// port, for up to 15 s, and compares the banner the plug then reports with
// the one the tool carries. A plug that waits in its boot monitor (an update
// broken off) is offered for a repeat of its update; --update --yes answers
// Yes, --yes or --quiet alone No, and otherwise the question is asked.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/main.h"
#include "discovery/searchplug.h"
#include "platform/port_memory.h"
#include "frontends/console_cli.h"
#include "frontends/console_platform.h"
#include "frontends/console_toolkit.h"
#include "frontends/json_writer.h"
#include "sim/bench.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kToolName = "plugupdate-console";
// The project's version, which the build gives (the version records and the
// release packages carry the same).
constexpr const char* kToolVersion = PLUG_VERSION;
constexpr auto kProofTime = std::chrono::seconds(15);
// The plug starts its new firmware after the monitor exit; the second search
// begins after this moment (inside kProofTime), so that the exit has surely
// left the line at the monitor's speed before the port is set to 1200 baud.
constexpr std::uint32_t kRestartPauseMs = 1000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Time taken per stage of the run, in the order the stages began.
class Stages {
 public:
  void Begin(const std::string& name) {
    End();
    current_ = name;
    start_ = Clock::now();
  }
  void End() {
    if (current_.empty()) return;
    const double s = Seconds(Clock::now() - start_);
    for (auto& [n, t] : done_) {
      if (n == current_) {
        t += s;
        current_.clear();
        return;
      }
    }
    done_.emplace_back(current_, s);
    current_.clear();
  }
  const std::vector<std::pair<std::string, double>>& Done() const { return done_; }

 private:
  std::string current_;
  Clock::time_point start_{};
  std::vector<std::pair<std::string, double>> done_;
};

const char* StageName(flow::Stage stage) {
  switch (stage) {
    case flow::Stage::Search: return "search";
    case flow::Stage::Report: return "report";
    case flow::Stage::MonitorSwitch: return "monitor";
    case flow::Stage::Erase: return "erase";
    case flow::Stage::Upload: return "upload";
    case flow::Stage::Finish: return "finish";
    case flow::Stage::Proof: return "verify";
  }
  return "";
}

struct PortFailure {
  std::string port;
  flow::PortFault why;
  std::uint32_t code;
};

// The run as the window logic records it. During the second search after an
// update only the banner the plug reports counts; the rest of that search is
// not the run's.
class RunRecord final : public flow::Observer {
 public:
  void StageEntered(flow::Stage stage) override {
    if (proving_) return;
    stages.Begin(StageName(stage));
    if (stage == flow::Stage::Search) ports.clear();  // each try of the search anew
    if (stage == flow::Stage::Upload) uploadStart = Clock::now();
  }
  void PortFailed(const std::string& port, flow::PortFault why, std::uint32_t code) override {
    if (!proving_) ports.push_back({port, why, code});
  }
  void PlugFound(const std::string& port, const std::string& id) override {
    if (proving_) return;
    foundPort = port;
    identifier = id;
  }
  void MonitorFound(const std::string& port) override {
    if (!proving_) foundPort = port;
  }
  void BannerReported(const std::string& banner) override {
    if (proving_) {
      observed.proofAnswered = true;
      observed.bannerAfter = banner;
    } else {
      haveBefore = true;
      bannerBefore = banner;
    }
  }
  void UploadProgress(long lines, long /*totalLines*/, long bytes, long imageBytes) override {
    linesSent = lines;
    bytesSent = bytes;
    totalBytes = imageBytes;
  }
  void Ended(flow::Result result, flow::Stage stage) override {
    if (proving_) return;
    stages.End();
    observed.ended = true;
    observed.result = result;
    observed.stage = stage;
    ended = true;
  }

  void BeginProof() {
    proving_ = true;
    observed.proofRun = true;
    stages.Begin(StageName(flow::Stage::Proof));
  }
  void EndProof() {
    proving_ = false;
    stages.End();
  }

  cli::Observed observed;
  bool ended = false;  // since the last look
  Stages stages;
  std::vector<PortFailure> ports;  // of the last try of the search
  std::string foundPort;           // where the plug (or its monitor) answered
  std::string identifier;
  bool haveBefore = false;
  std::string bannerBefore;
  long linesSent = 0, bytesSent = 0, totalBytes = 0;
  Clock::time_point uploadStart{};

 private:
  bool proving_ = false;
};

// The console front-end of this tool; it answers the boxes of the second
// search after an update itself.
class ToolConsole final : public tk::ConsoleBackend {
 public:
  using ConsoleBackend::ConsoleBackend;

  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    if (!proving_) return ConsoleBackend::MessageBox(text, caption, flags);
    const int answer = ProofAnswer(flags);
    tk::OutputDebugString(("second search: box \"" + caption + "\", answered " + std::to_string(answer)).c_str());
    return answer;
  }

  void ControlChanged(TControl& control, tk::Change what) override {
    if (proving_) return;  // the second search is not shown step by step
    ConsoleBackend::ControlChanged(control, what);
  }

  // The second search: a search that finds nothing is retried until the
  // deadline; any other question is answered with No or Cancel.
  void BeginProof(Clock::time_point deadline) {
    proving_ = true;
    deadline_ = deadline;
  }
  void EndProof() { proving_ = false; }

 private:
  int ProofAnswer(unsigned flags) {
    switch (flags & 0x0F) {
      case tk::kMbRetryCancel:
        if (Clock::now() + std::chrono::milliseconds(500) >= deadline_) return tk::kIdCancel;
        plat::Sleep(500);  // the plug is still starting its firmware
        return tk::kIdRetry;
      case 4: return 7;   // Yes/No: No
      case 3: return tk::kIdCancel;
      case 1: return tk::kIdCancel;
      default: return tk::kIdOk;
    }
  }

  bool proving_ = false;
  Clock::time_point deadline_{};
};

// Whether the run is to stop, asked at the workflow's safe points. A close,
// logoff, shutdown, SIGTERM or SIGHUP stops it at once, and so does Ctrl+C
// before the update begins. From the monitor switch on, a person at a
// terminal is told at the first Ctrl+C what a stop means, and the second one
// stops it; without a terminal the first one does.
class StopRule {
 public:
  StopRule(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

  void SetUpdating(bool updating) { updating_ = updating; }
  bool Requested() {
    if (console::Closing()) return true;
    // A press that only brought the warning stops nothing, also later.
    const int presses = console::Interrupts() - (warned_ ? 1 : 0);
    if (presses <= 0) return false;
    if (!updating_ || !terminal_ || warned_) return true;
    warned_ = true;
    out_ << "\n[stop] the update is running. Press Ctrl+C again to stop it: the plug then waits in its boot "
            "monitor, and the next run with --update --yes finishes the update."
         << std::endl;
    return false;
  }

 private:
  std::ostream& out_;
  const bool terminal_;
  bool updating_ = false;
  bool warned_ = false;
};

// Pumps the window's events until done() or the deadline.
template <typename Done>
void PumpUntil(Clock::time_point deadline, Done done) {
  while (Clock::now() < deadline && !done()) {
    Application->ProcessMessages();
    plat::Sleep(10);
  }
}

// The person's answer; a stop request ends the wait for it at once.
bool AskForUpdate(std::ostream& out, StopRule& stop) {
  out << "Buttons: [U]pdate  [B]eenden > " << std::flush;
  std::string answer;
  if (!console::ReadAnswer(answer, [&stop] { return stop.Requested(); })) return false;
  return !answer.empty() && (answer[0] == 'u' || answer[0] == 'U');
}

std::string Clock2(double seconds) {
  const long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[48];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// "123456/336504 bytes  5.6 kB/s  0:42 left" while the image is uploaded.
std::string UploadDetail(const RunRecord& record) {
  const long bytes = record.bytesSent;
  std::string text = std::to_string(bytes) + "/" + std::to_string(record.totalBytes) + " bytes";
  const double elapsed = Seconds(Clock::now() - record.uploadStart);
  if (bytes > 0 && elapsed > 0.2) {
    const double rate = static_cast<double>(bytes) / elapsed;
    char more[64];
    std::snprintf(more, sizeof more, "  %.1f kB/s  %s left", rate / 1000.0,
                  Clock2(static_cast<double>(record.totalBytes - bytes) / rate).c_str());
    text += more;
  }
  return text;
}

// What the JSON reports besides the outcome; null fields where nothing is known.
struct Report {
  std::string port;
  std::string product;
  const std::string* before = nullptr;
  const std::string* after = nullptr;
  const RunRecord* record = nullptr;
};

void PrintJson(const Report& r, const cli::Outcome& outcome) {
  json::Writer w;
  w.BeginObject();
  w.Utf8String("tool", std::string(kToolName) + " " + kToolVersion);
  r.port.empty() ? w.Null("port") : w.Utf8String("port", r.port);
  r.product.empty() ? w.Null("product") : w.String("product", r.product);
  r.before != nullptr ? w.String("banner_before", *r.before) : w.Null("banner_before");
  r.after != nullptr ? w.String("banner_after", *r.after) : w.Null("banner_after");
  w.String("carried_banner", CarriedBanner);
  w.Utf8String("result", outcome.name);
  w.Int("exit_status", outcome.status);
  w.Utf8String("message", outcome.text);
  w.Int("lines_sent", r.record != nullptr ? r.record->linesSent : 0);
  w.Int("bytes_sent", r.record != nullptr ? r.record->bytesSent : 0);
  w.BeginObject("seconds");
  if (r.record != nullptr) {
    for (const auto& [name, s] : r.record->stages.Done()) w.Fixed(name, s, 3);
  }
  w.EndObject();
  w.BeginArray("ports");
  if (r.record != nullptr) {
    for (const PortFailure& f : r.record->ports) {
      w.BeginObject().Utf8String("port", f.port).Utf8String("reason", cli::PortFaultCode(f.why));
      w.Int("code", static_cast<long>(f.code)).EndObject();
    }
  }
  w.EndArray();
  w.EndObject();
  std::cout << w.Text() << std::endl;
}

const char* KindWord(plat::PortKind kind) {
  switch (kind) {
    case plat::PortKind::Serial: return "serial";
    case plat::PortKind::Usb: return "USB";
    case plat::PortKind::Bluetooth: return "Bluetooth";
  }
  return "";
}

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

// --- the steps of main ---------------------------------------------------------

// Usage errors, --help, --version and --list-ports: the status to end with, or
// -1 when the tool is to run.
int AnswerWithoutRunning(const cli::Parsed& parsed, bool json) {
  if (!parsed.ok) {
    std::cerr << kToolName << ": " << parsed.error << "\n(" << kToolName << " --help tells more)\n";
    if (json) PrintJson(Report{}, cli::Outcome{cli::kUsage, "usage-error", parsed.error});
    return cli::kUsage;
  }
  const cli::Options& options = parsed.options;
  if (options.help) {
    std::cout << cli::HelpText(kToolName);
    return cli::kOk;
  }
  if (options.version) {
    std::cout << kToolName << " " << kToolVersion << "\ncarries the plug firmware " << CarriedRevision << ": "
              << tk::Cp1252ToUtf8(CarriedBanner) << "\n";
    return cli::kOk;
  }
  if (options.listPorts) {
    // In the order a search without --port probes them.
    const auto ports = InSearchOrder(console::ListPorts());
    for (const plat::PortEntry& p : ports) {
      std::cout << console::PortLabel(p.name) << "  " << KindWord(p.kind) << (p.about.empty() ? "" : "  " + p.about)
                << (p.kind == plat::PortKind::Bluetooth ? "  (searched only when named with --port)" : "") << "\n";
    }
    if (ports.empty()) std::cerr << kToolName << ": no serial ports found\n";
    return cli::kOk;
  }
  return -1;
}

// The serial backend and the ports to search: the machine's, or a bench with
// the simulated plug.
struct Backends {
  std::unique_ptr<sim::Bench> bench;
  sim::Plug* plug = nullptr;
  std::vector<std::string> ports;  // empty: the window's own list
  plat::MemoryPortMemory simMemory;

  explicit Backends(const cli::Options& options) {
    if (!options.sim) {
      for (const std::string& p : options.ports) ports.push_back(console::PortPath(p));
      plat::SetSerial(&console::MachineSerial());
      plat::SetPortMemory(&plat::MachinePortMemory());
      return;
    }
    // A simulated plug's unfinished update is no concern of the machine's.
    plat::SetPortMemory(&simMemory);
    bench = std::make_unique<sim::Bench>(options.wire ? sim::Timing::Wire : sim::Timing::Instant);
    bench->AddPort("\\\\.\\COM1");
    bench->AddPort("\\\\.\\COM2");
    if (options.simPort != "none") {
      sim::PlugConfig config;
      config.product = options.product;
      plug = &bench->Attach("\\\\.\\" + options.simPort, config);
    }
    plat::SetSerial(bench.get());
  }
  ~Backends() {
    plat::SetSerial(nullptr);
    plat::SetPortMemory(nullptr);
  }
  Backends(const Backends&) = delete;
  Backends& operator=(const Backends&) = delete;
};

// The text streams of a run: human text goes to standard error when standard
// output carries the JSON, and nowhere but the result with --quiet.
struct Streams {
  std::ostream& human;
  std::FILE* humanFile;
  std::ostream silent{nullptr};
  std::ostream& shown;

  explicit Streams(const cli::Options& o)
      : human(o.json ? std::cerr : std::cout), humanFile(o.json ? stderr : stdout), shown(o.quiet ? silent : human) {}
};

void SetUpConsole(ToolConsole& toolkit, const cli::Options& options, const Streams& streams,
                  const RunRecord& record, StopRule& stop) {
  console::InstallStopHandlers();
  toolkit.SetBusyHook([&stop](bool busy) {
    console::KeepSystemAwake(busy);
    stop.SetUpdating(busy);
  });
  toolkit.SetAnswerReader([&stop](std::string& line) {
    return console::ReadAnswer(line, [&stop] { return stop.Requested(); });
  });
  toolkit.SetVerbose(options.verbose);
  toolkit.SetEchoAnswers(!console::IsTerminal(stdin));
  if (options.rescue != cli::Rescue::Ask) {
    toolkit.SetAutoAnswer(tk::kIdCancel, options.rescue == cli::Rescue::Yes ? tk::kIdYes : tk::kIdNo);
  }
  if (!console::IsTerminal(streams.humanFile)) toolkit.SetProgressStyle(tk::ConsoleBackend::Progress::Steps);
  toolkit.SetProgressDetail([&record] { return UploadDetail(record); });
}

std::string Label(const cli::Options& options, const std::string& path) {
  return options.sim ? path.substr(path.rfind('\\') + 1) : console::PortLabel(path);
}

// The search, and the update when it is asked for. Ports that failed count as a
// port error unless they were the default ports and simply absent.
void Search(const cli::Options& options, RunRecord& record, std::ostream& shown, StopRule& stop) {
  Form1->BSearch->Click();
  PumpUntil(Clock::now() + std::chrono::seconds(10),
            [&] { return record.ended || Application->Terminated() || stop.Requested(); });
  for (PortFailure& f : record.ports) {
    f.port = Label(options, f.port);  // as the user names it, here and in the JSON
    const bool absentDefault = options.ports.empty() && f.why == flow::PortFault::Absent;
    if (f.why == flow::PortFault::Absent || f.why == flow::PortFault::Busy || f.why == flow::PortFault::OpenFailed ||
        f.why == flow::PortFault::SettingsRefused) {
      record.observed.portError = record.observed.portError || !absentDefault;
    }
    shown << "[port] " << f.port << ": " << cli::PortFaultWords(f.why);
    if (f.code != 0) shown << " (error " << f.code << ")";
    shown << "\n";
  }
  const bool reported = record.ended && record.observed.result == flow::Result::Reported;
  if (reported && !stop.Requested() &&
      (options.update || (!options.quiet && !options.yes && AskForUpdate(shown, stop)))) {
    Form1->BUpdate->Click();
  }
  // Stopped before the update (a stop within it ends the update itself); a
  // search that found nothing after the stop came was not the run's answer.
  const bool beforeTheUpdate = !record.ended || record.observed.result == flow::Result::Reported ||
                               record.observed.result == flow::Result::NoPlug;
  if (beforeTheUpdate && stop.Requested()) Form1->Interrupt();
}

// After an update: the plug searched again on its port, in a new application
// as a new start of the tool would, with the same window.
void Prove(const cli::Options& options, RunRecord& record, ToolConsole& toolkit, TApplication& proofApplication,
           std::ostream& shown, StopRule& stop) {
  shown << "[proof] searching the plug again on " << Label(options, record.foundPort) << " ..." << std::endl;
  const auto deadline = Clock::now() + kProofTime;
  record.BeginProof();
  toolkit.BeginProof(deadline);
  TThread::JoinAll();  // no reader thread runs at this moment
  plat::Sleep(kRestartPauseMs);
  proofApplication.MainForm = Form1;
  Application = &proofApplication;
  Form1->SearchPorts = {record.foundPort};
  // A plug that is starting its new firmware gets the search's bytes and
  // nothing else: no wake-up, no end of a load.
  Form1->LookForMonitor = false;
  Form1->BSearch->Click();
  PumpUntil(deadline, [&] { return record.observed.proofAnswered || stop.Requested(); });
  toolkit.EndProof();
  record.EndProof();
  if (record.observed.proofAnswered) {
    shown << "[proof] the plug reports \"" << tk::Cp1252ToUtf8(record.observed.bannerAfter) << "\"\n";
  }
}

// Runs the window logic: search, update, proof; then its exit sequence.
void Run(const cli::Options& options, const Backends& backends, RunRecord& record, ToolConsole& toolkit,
         std::ostream& shown, StopRule& stop) {
  TApplication application;
  TApplication proofApplication;
  Application = &application;
  Application->Initialize();
  Application->SetTitle("QUOR Plug Update");
  Form1 = new TForm1(Application);
  Form1->Observer = &record;
  Form1->StopRequested = [&stop] { return stop.Requested(); };
  if (!backends.ports.empty()) Form1->SearchPorts = backends.ports;
  Application->CreateForm(Form1);

  const auto end = [] {
    Application->Terminate();
    delete Form1;  // the exit sequence: leaves the plug's mode, closes the port
    Form1 = nullptr;
    TThread::JoinAll();
    Application = nullptr;
  };
  try {
    Search(options, record, shown, stop);
    if (record.observed.result == flow::Result::Flashed && options.verify && !record.foundPort.empty()) {
      Prove(options, record, toolkit, proofApplication, shown, stop);
    }
  } catch (...) {
    // A fault inside the tool: it ends as closing the window would.
    end();
    throw;
  }
  end();
}

int ReportOutcome(const cli::Options& options, const Backends& backends, RunRecord& record,
                  const Streams& streams) {
  if (backends.plug != nullptr && options.verbose) {
    const sim::Plug& plug = *backends.plug;
    streams.shown << "simulated plug: firmware \"" << tk::Cp1252ToUtf8(plug.Banner()) << "\", monitor exits "
                  << plug.ExitCount() << ", host violations " << plug.Violations().size() << "\n";
    for (const auto& v : plug.Violations()) streams.shown << "  violation: " << v << "\n";
  }
  record.observed.carriedBanner = CarriedBanner;
  const cli::Outcome outcome = cli::Conclude(record.observed);
  const std::string port = record.foundPort.empty() ? std::string() : Label(options, record.foundPort);
  streams.human << kToolName << ": " << outcome.name << ": " << outcome.text;
  if (!port.empty()) streams.human << " (port " << port << ")";
  streams.human << " [exit " << outcome.status << "]" << std::endl;
  if (options.json) {
    Report r{port, record.identifier.substr(0, 7), record.haveBefore ? &record.bannerBefore : nullptr,
             record.observed.proofAnswered ? &record.observed.bannerAfter : nullptr, &record};
    PrintJson(r, outcome);
  }
  return outcome.status;
}

// A fault inside the tool ended the run: its own status and result.
int ReportFault(const cli::Options& options, const RunRecord& record, const Streams& streams,
                const std::string& what) {
  const cli::Outcome outcome{cli::kInternal, "internal-error",
                             "internal fault (" + what + "); the plug's mode was left as on any end"};
  const std::string port = record.foundPort.empty() ? std::string() : Label(options, record.foundPort);
  streams.human << kToolName << ": " << outcome.name << ": " << outcome.text;
  if (!port.empty()) streams.human << " (port " << port << ")";
  streams.human << " [exit " << outcome.status << "]" << std::endl;
  if (options.json) PrintJson(Report{port, record.identifier.substr(0, 7), nullptr, nullptr, &record}, outcome);
  return outcome.status;
}

}  // namespace

int main(int argc, char** argv) {
  console::PrepareTerminal();
  // No write to the console, a file or a pipe runs on the thread that
  // streams the image: the text goes out on a thread of its own.
  tk::OutputQueue output;
  output.Attach(std::cout);
  output.Attach(std::cerr);
  const cli::Parsed parsed = cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  const int early = AnswerWithoutRunning(parsed, WantsJson(argc, argv));
  if (early >= 0) return early;
  const cli::Options& options = parsed.options;

  const Streams streams(options);
  const Backends backends(options);
  RunRecord record;
  ToolConsole toolkit(streams.shown, std::cin, streams.human);
  StopRule stop(streams.human, console::IsTerminal(stdin));
  SetUpConsole(toolkit, options, streams, record, stop);
  tk::SetBackend(&toolkit);
  try {
    Run(options, backends, record, toolkit, streams.shown, stop);
  } catch (const std::exception& e) {
    tk::SetBackend(nullptr);
    return ReportFault(options, record, streams, e.what());
  } catch (...) {
    tk::SetBackend(nullptr);
    return ReportFault(options, record, streams, "unknown exception");
  }
  tk::SetBackend(nullptr);
  return ReportOutcome(options, backends, record, streams);
}
