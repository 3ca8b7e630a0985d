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
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/main.h"
#include "firmware/firmware_image.h"
#include "frontends/console_cli.h"
#include "frontends/console_platform.h"
#include "frontends/console_toolkit.h"
#include "frontends/json_writer.h"
#include "sim/bench.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kToolName = "plugupdate-console";
constexpr const char* kToolVersion = "1.0";
constexpr auto kProofTime = std::chrono::seconds(15);

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The serial backend as the window logic uses it, watched: which port each
// handle is, the ports that could not be opened or set up, and the HEX lines
// written (each begins with ':').
class WatchedSerial final : public plat::SerialApi {
 public:
  struct Failure {
    std::string path;
    std::uint32_t code;
    const char* what;
  };

  explicit WatchedSerial(plat::SerialApi& inner) : inner_(inner) {}

  plat::Handle Open(const char* path) override {
    plat::Handle h = inner_.Open(path);
    const std::uint32_t code = plat::LastError();
    std::lock_guard<std::mutex> lock(mutex_);
    if (h == plat::InvalidHandle() || h == nullptr) {
      failures_.push_back({path, code, "cannot open"});
    } else {
      names_[h] = path;
      lastOpened_ = path;
    }
    plat::SetLastError(code);
    return h;
  }
  bool Close(plat::Handle port) override { return inner_.Close(port); }
  plat::Handle NewEvent() override { return inner_.NewEvent(); }
  bool ResetEvent(plat::Handle event) override { return inner_.ResetEvent(event); }
  bool CloseEvent(plat::Handle event) override { return inner_.CloseEvent(event); }
  bool GetState(plat::Handle port, plat::Dcb& dcb) override {
    return Noted(port, inner_.GetState(port, dcb), "cannot read the settings of");
  }
  bool SetState(plat::Handle port, const plat::Dcb& dcb) override {
    return Noted(port, inner_.SetState(port, dcb), "cannot set up");
  }
  bool SetupQueues(plat::Handle port, std::uint32_t in, std::uint32_t out) override {
    return inner_.SetupQueues(port, in, out);
  }
  bool GetTimeouts(plat::Handle port, plat::CommTimeouts& t) override { return inner_.GetTimeouts(port, t); }
  bool SetTimeouts(plat::Handle port, const plat::CommTimeouts& t) override { return inner_.SetTimeouts(port, t); }
  bool Purge(plat::Handle port, std::uint32_t flags) override { return inner_.Purge(port, flags); }
  bool Drain(plat::Handle port, std::uint32_t timeoutMs) override { return inner_.Drain(port, timeoutMs); }
  bool Escape(plat::Handle port, std::uint32_t function) override { return inner_.Escape(port, function); }
  bool Read(plat::Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
            plat::Overlapped& ov) override {
    return inner_.Read(port, buffer, count, done, ov);
  }
  bool Write(plat::Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
             plat::Overlapped& ov) override {
    if (count > 0 && static_cast<const char*>(data)[0] == ':') {
      if (lines_.fetch_add(1) == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        uploadStart_ = Clock::now();
      }
      bytes_ += count;
    }
    return inner_.Write(port, data, count, done, ov);
  }
  bool Result(plat::Handle port, plat::Overlapped& ov, std::uint32_t* done, bool wait) override {
    return inner_.Result(port, ov, done, wait);
  }

  std::string NameOf(plat::Handle port) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(port);
    return it != names_.end() ? it->second : std::string();
  }
  // The port opened last: where a search that ended without a connection
  // (a plug found in its boot monitor and updated there) found the plug.
  std::string LastOpened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastOpened_;
  }
  std::vector<Failure> Failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
  }
  long Lines() const { return lines_.load(); }
  long Bytes() const { return bytes_.load(); }
  Clock::time_point UploadStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploadStart_;
  }

 private:
  bool Noted(plat::Handle port, bool ok, const char* what) {
    if (ok) return true;
    const std::uint32_t code = plat::LastError();
    const std::string name = NameOf(port);
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back({name, code, what});
    plat::SetLastError(code);
    return false;
  }

  plat::SerialApi& inner_;
  std::mutex mutex_;
  std::map<plat::Handle, std::string> names_;
  std::string lastOpened_;
  std::vector<Failure> failures_;
  std::atomic<long> lines_{0};
  std::atomic<long> bytes_{0};
  Clock::time_point uploadStart_{};
};

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
  const std::string& Current() const { return current_; }
  const std::vector<std::pair<std::string, double>>& Done() const { return done_; }

 private:
  std::string current_;
  Clock::time_point start_{};
  std::vector<std::pair<std::string, double>> done_;
};

// The console front-end of this tool: it also notes the boxes the window
// logic shows and the stages its status texts name, and answers the boxes of
// the second search after an update itself.
class ToolConsole final : public tk::ConsoleBackend {
 public:
  using ConsoleBackend::ConsoleBackend;

  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    if (proving_) {
      const int answer = ProofAnswer(flags);
      tk::OutputDebugString(("second search: box \"" + caption + "\", answered " + std::to_string(answer)).c_str());
      return answer;
    }
    captions_.push_back(caption);
    return ConsoleBackend::MessageBox(text, caption, flags);
  }

  void ControlChanged(TControl& control, tk::Change what) override {
    if (!proving_ && control.Kind() == tk::ControlKind::Label && what == tk::Change::Caption) {
      const std::string& c = control.Caption();
      if (c == "Suche nach Plug ...") {
        stages.Begin("search");
      } else if (c == "Switch to Monitor Mode ...") {
        stages.Begin("monitor");
      } else if (c == "Erasing Flash ...") {
        stages.Begin("erase");
      } else if (c.rfind("Uploading Firmware", 0) == 0) {
        stages.Begin("upload");
      } else if (c == "Ready" && stages.Current() == "upload") {
        stages.Begin("finish");
      }
    }
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

  const std::vector<std::string>& Captions() const { return captions_; }

  Stages stages;

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
  std::vector<std::string> captions_;
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

// The version texts the window showed in its memo, the last one, or empty.
bool LastReportedBanner(const TMemo& memo, std::string& banner) {
  const TStrings& lines = *memo.Lines;
  for (int i = lines.Count() - 2; i >= 0; --i) {
    if (lines[i] == "Vorhandene Firmware-Version Ihres Quor Plug:") {
      const std::string& quoted = lines[i + 1];
      banner = quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : std::string();
      return true;
    }
  }
  return false;
}

// Pumps the window's events until the search has come to an end: the report is
// shown, the search was given up, the tool ends, or the deadline passed.
void WaitForSearchEnd(Clock::time_point deadline, StopRule& stop) {
  while (Clock::now() < deadline) {
    if (Application->Terminated() || Form1->BUpdate->Enabled() || Form1->BSearch->Enabled() ||
        stop.Requested()) {
      return;
    }
    Application->ProcessMessages();
    plat::Sleep(10);
  }
}

bool AskForUpdate(std::ostream& out) {
  out << "Buttons: [U]pdate  [B]eenden > " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'u' || answer[0] == 'U');
}

std::string ErrorWords(std::uint32_t code) {
  switch (code) {
    case plat::kErrorFileNotFound: return "no such port";
    case plat::kErrorAccessDenied: return "access denied, or the port is in use";
    case plat::kErrorInvalidParameter: return "settings refused";
    default: return "error " + std::to_string(code);
  }
}

std::string Clock2(double seconds) {
  const long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[48];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// "123456/336504 bytes  5.6 kB/s  0:42 left" while the image is uploaded.
std::string UploadDetail(WatchedSerial& serial, long total) {
  const long bytes = serial.Bytes();
  std::string text = std::to_string(bytes) + "/" + std::to_string(total) + " bytes";
  const double elapsed = Seconds(Clock::now() - serial.UploadStart());
  if (bytes > 0 && elapsed > 0.2) {
    const double rate = static_cast<double>(bytes) / elapsed;
    char more[64];
    std::snprintf(more, sizeof more, "  %.1f kB/s  %s left", rate / 1000.0,
                  Clock2(static_cast<double>(total - bytes) / rate).c_str());
    text += more;
  }
  return text;
}

void PrintJson(const std::string& port, const std::string& product, const std::string* before,
               const std::string* after, const cli::Outcome& outcome, WatchedSerial* serial,
               const Stages& stages) {
  json::Writer w;
  w.BeginObject();
  w.Utf8String("tool", std::string(kToolName) + " " + kToolVersion);
  port.empty() ? w.Null("port") : w.Utf8String("port", port);
  product.empty() ? w.Null("product") : w.String("product", product);
  before != nullptr ? w.String("banner_before", *before) : w.Null("banner_before");
  after != nullptr ? w.String("banner_after", *after) : w.Null("banner_after");
  w.String("carried_banner", CarriedBanner);
  w.Utf8String("result", outcome.name);
  w.Int("exit_status", outcome.status);
  w.Utf8String("message", outcome.text);
  w.Int("lines_sent", serial != nullptr ? serial->Lines() : 0);
  w.Int("bytes_sent", serial != nullptr ? serial->Bytes() : 0);
  w.BeginObject("seconds");
  for (const auto& [name, s] : stages.Done()) w.Fixed(name, s, 3);
  w.EndObject();
  w.EndObject();
  std::cout << w.Text() << std::endl;
}

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  console::PrepareTerminal();
  const cli::Parsed parsed = cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.ok) {
    std::cerr << kToolName << ": " << parsed.error << "\n(" << kToolName << " --help tells more)\n";
    if (WantsJson(argc, argv)) {
      const cli::Outcome usage{cli::kUsage, "usage-error", parsed.error};
      PrintJson("", "", nullptr, nullptr, usage, nullptr, Stages());
    }
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
    const auto ports = console::ListPorts();
    for (const auto& p : ports) std::cout << p.name << (p.about.empty() ? "" : "  " + p.about) << "\n";
    if (ports.empty()) std::cerr << kToolName << ": no serial ports found\n";
    return cli::kOk;
  }

  // Human text goes to standard error when standard output carries the JSON.
  std::ostream& human = options.json ? std::cerr : std::cout;
  std::FILE* humanFile = options.json ? stderr : stdout;
  std::ostream silent(nullptr);
  std::ostream& shown = options.quiet ? silent : human;

  std::unique_ptr<sim::Bench> bench;
  sim::Plug* plug = nullptr;
  std::vector<std::string> ports;
  if (options.sim) {
    bench = std::make_unique<sim::Bench>(options.wire ? sim::Timing::Wire : sim::Timing::Instant);
    bench->AddPort("\\\\.\\COM1");
    bench->AddPort("\\\\.\\COM2");
    if (options.simPort != "none") {
      sim::PlugConfig config;
      config.product = options.product;
      plug = &bench->Attach("\\\\.\\" + options.simPort, config);
    }
  } else {
    for (const std::string& p : options.ports) ports.push_back(console::PortPath(p));
  }
  WatchedSerial serial(bench ? static_cast<plat::SerialApi&>(*bench) : console::MachineSerial());
  plat::SetSerial(&serial);

  ToolConsole toolkit(shown, std::cin, human);
  toolkit.SetVerbose(options.verbose);
  toolkit.SetEchoAnswers(!console::IsTerminal(stdin));
  if (options.yes || options.quiet) {
    toolkit.SetAutoAnswer(tk::kIdCancel, options.yes && options.update ? tk::kIdYes : tk::kIdNo);
  }
  if (!console::IsTerminal(humanFile)) toolkit.SetProgressStyle(tk::ConsoleBackend::Progress::Steps);
  long imageBytes = 0;
  for (std::size_t i = 0; i < FirmwareImageLineCount; ++i) {
    imageBytes += static_cast<long>(std::strlen(FirmwareImage[i]));
  }
  toolkit.SetProgressDetail([&serial, imageBytes] { return UploadDetail(serial, imageBytes); });
  StopRule stop(human, console::IsTerminal(stdin));
  console::InstallStopHandlers();
  toolkit.SetBusyHook([&stop](bool busy) {
    console::KeepSystemAwake(busy);
    stop.SetUpdating(busy);
  });
  tk::SetBackend(&toolkit);
  TApplication application;
  TApplication proofApplication;
  Application = &application;

  Application->Initialize();
  Application->SetTitle("QUOR Plug Update");
  Form1 = new TForm1(Application);
  if (!ports.empty()) Form1->SearchPorts = ports;
  Form1->StopRequested = [&stop] { return stop.Requested(); };
  Application->CreateForm(Form1);

  cli::Observed observed;
  std::string port, product, before, after;
  bool haveBefore = false, haveAfter = false;

  Form1->BSearch->Click();
  WaitForSearchEnd(Clock::now() + std::chrono::seconds(10), stop);
  toolkit.stages.End();
  observed.reportShown = !Application->Terminated() && Form1->BUpdate->Enabled();
  const auto label = [&options](const std::string& path) {
    return options.sim ? path.substr(path.rfind('\\') + 1) : console::PortLabel(path);
  };
  // A plug found in its boot monitor was updated (or left alone) inside the
  // search, which closed its port again: it is on the port opened last.
  const bool rescued = std::find(toolkit.Captions().begin(), toolkit.Captions().end(),
                                 "Quor Plug im Monitor Modus") != toolkit.Captions().end();
  const std::string foundPath = PlugPort != nullptr ? serial.NameOf(PlugPort)
                                : rescued           ? serial.LastOpened()
                                                    : std::string();
  if (!foundPath.empty()) port = label(foundPath);
  product = Form1->PlugIdentifier.substr(0, 7);
  haveBefore = LastReportedBanner(*Form1->Memo1, before);
  // Ports that failed in the search; the ports tried by default may be absent.
  for (const auto& f : serial.Failures()) {
    const bool absentDefault = options.ports.empty() && f.code == plat::kErrorFileNotFound;
    if (!absentDefault) observed.portError = true;
    shown << "[port] " << f.what << " " << label(f.path) << ": " << ErrorWords(f.code) << "\n";
  }

  if (observed.reportShown && !stop.Requested()) {
    if (options.update || (!options.quiet && !options.yes && AskForUpdate(shown))) {
      Form1->BUpdate->Click();
      toolkit.stages.End();
    }
  }

  const auto& captions = toolkit.Captions();
  const bool flashed = std::find(captions.begin(), captions.end(), "Plug geflasht") != captions.end();
  if (Form1->StoppedInMonitor) {
    observed.stop = cli::Observed::Stop::InMonitor;
  } else if (!flashed && stop.Requested()) {
    observed.stop = cli::Observed::Stop::BeforeUpdate;
  }
  if (flashed && options.verify && !foundPath.empty()) {
    shown << "[proof] searching the plug again on " << port << " ..." << std::endl;
    toolkit.stages.Begin("verify");
    const auto deadline = Clock::now() + kProofTime;
    toolkit.BeginProof(deadline);
    // The update ended the application; the second search runs in a new one,
    // as a new start of the tool would, with the same window. No reader
    // thread runs at this moment.
    TThread::JoinAll();
    proofApplication.MainForm = Form1;
    Application = &proofApplication;
    Form1->SearchPorts = {foundPath};
    Form1->BSearch->Click();
    while (Clock::now() < deadline && !Form1->BUpdate->Enabled() && !stop.Requested()) {
      Application->ProcessMessages();
      plat::Sleep(10);
    }
    toolkit.EndProof();
    toolkit.stages.End();
    haveAfter = Form1->BUpdate->Enabled() && LastReportedBanner(*Form1->Memo1, after);
    observed.proof = !haveAfter ? cli::Proof::NotAnswering
                     : after == CarriedBanner ? cli::Proof::Verified
                                              : cli::Proof::OtherBanner;
    if (haveAfter) shown << "[proof] the plug reports \"" << tk::Cp1252ToUtf8(after) << "\"\n";
  }
  observed.boxCaptions = captions;

  Application->Terminate();
  delete Form1;  // the exit sequence
  Form1 = nullptr;
  TThread::JoinAll();
  tk::SetBackend(nullptr);
  Application = nullptr;

  if (plug != nullptr && options.verbose) {
    shown << "simulated plug: firmware \"" << tk::Cp1252ToUtf8(plug->Banner()) << "\", monitor exits "
          << plug->ExitCount() << ", host violations " << plug->Violations().size() << "\n";
    for (const auto& v : plug->Violations()) shown << "  violation: " << v << "\n";
  }

  const cli::Outcome outcome = cli::Conclude(observed);
  human << kToolName << ": " << outcome.name << ": " << outcome.text;
  if (!port.empty()) human << " (port " << port << ")";
  human << " [exit " << outcome.status << "]" << std::endl;
  if (options.json) {
    PrintJson(port, product, haveBefore ? &before : nullptr, haveAfter ? &after : nullptr, outcome, &serial,
              toolkit.stages);
  }
  plat::SetSerial(nullptr);
  return outcome.status;
}
