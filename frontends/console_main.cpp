// The tool in a terminal: the real window logic with the console front-end,
// on the simulated plug (default) or on real serial ports.
//
//   plugupdate-console [--sim=COM1|COM2|none] [--wire] [--product=NNNN]
//                      [--serial] [--update] [--yes] [--verbose]
//
// It presses "Quor Plug suchen" at once; when the plug's version is shown it
// offers the update ([U]pdate / [B]eenden), or presses it itself with --update.
// --yes answers every message box without asking (Retry/Cancel with Cancel;
// the question whether to repeat a broken-off update with Yes only together
// with --update, else with No).
// --serial uses the machine's serial ports (COMn is /dev/ttyS<n-1>, or the
// device named by the environment variable PLUG_COMn).
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/main.h"
#include "frontends/console_toolkit.h"
#include "platform/serial_posix.h"
#include "sim/bench.h"

namespace {

struct Options {
  std::string simPort = "COM1";
  bool wire = false;
  bool serial = false;
  bool update = false;
  bool yes = false;
  bool verbose = false;
  std::string product = "1011";
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--sim=", 0) == 0) {
      o.simPort = a.substr(6);
      if (o.simPort != "COM1" && o.simPort != "COM2" && o.simPort != "none") return false;
    } else if (a.rfind("--product=", 0) == 0) {
      o.product = a.substr(10);
      if (o.product.size() != 4) return false;
    } else if (a == "--wire") {
      o.wire = true;
    } else if (a == "--serial") {
      o.serial = true;
    } else if (a == "--update") {
      o.update = true;
    } else if (a == "--yes") {
      o.yes = true;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else {
      return false;
    }
  }
  return true;
}

// Pumps the window's events until the search has come to an end: the report is
// shown, the search was given up, or the tool ends.
void WaitForSearchEnd() {
  for (int i = 0; i < 1000; ++i) {
    if (Application->Terminated() || Form1->BUpdate->Enabled() || Form1->BSearch->Enabled()) return;
    Application->ProcessMessages();
    plat::Sleep(10);
  }
}

bool AskForUpdate() {
  std::cout << "Buttons: [U]pdate  [B]eenden > " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'u' || answer[0] == 'U');
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::cerr << "usage: " << argv[0]
              << " [--sim=COM1|COM2|none] [--wire] [--product=NNNN] [--serial] [--update] [--yes] [--verbose]\n";
    return 2;
  }

  std::unique_ptr<sim::Bench> bench;
  std::unique_ptr<plat::PosixSerial> posix;
  sim::Plug* plug = nullptr;
  if (options.serial) {
    posix = std::make_unique<plat::PosixSerial>();
    plat::SetSerial(posix.get());
  } else {
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

  tk::ConsoleBackend console;
  console.SetVerbose(options.verbose);
  if (options.yes) console.SetAutoAnswer(tk::kIdCancel, options.update ? tk::kIdYes : tk::kIdNo);
  tk::SetBackend(&console);
  TApplication application;
  Application = &application;

  Application->Initialize();
  Application->SetTitle("QUOR Plug Update");
  Form1 = new TForm1(Application);
  Application->CreateForm(Form1);

  Form1->BSearch->Click();
  WaitForSearchEnd();
  if (!Application->Terminated() && Form1->BUpdate->Enabled()) {
    if (options.update || AskForUpdate()) {
      Form1->BUpdate->Click();
    } else {
      Form1->BExit->Click();
    }
  }
  Application->Terminate();
  delete Form1;  // the exit sequence
  Form1 = nullptr;
  TThread::JoinAll();

  if (plug != nullptr) {
    std::cout << "\nsimulated plug: firmware \"" << plug->Banner() << "\", monitor exits " << plug->ExitCount()
              << ", host violations " << plug->Violations().size() << "\n";
    for (const auto& v : plug->Violations()) std::cout << "  violation: " << v << "\n";
  }
  Application = nullptr;
  return 0;
}
