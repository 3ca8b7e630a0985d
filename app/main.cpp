#include "app/main.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "discovery/searchplug.h"
#include "platform/port_memory.h"
#include "serial/asynccomm.h"
#include "serial/commands.h"
#include "serial/threads.h"
#include "update/fwupdatestringarray.h"

TReadC99* ReportReader = nullptr;
TForm1* Form1 = nullptr;

const char* const CarriedRevision = "1.63.2";
const char* const CarriedBanner = "Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26";

namespace {

constexpr const char* kAppTitle = "QUOR Plug Update";

constexpr const char* kNoPlugCaption = "Keinen Plug gefunden";
constexpr const char* kTooOldText =
    "Ihr Quor Plug ist sehr alt und l\xE4\xDFt sich nicht\nupdaten. Setzen Sie sich bitte mit dem "
    "Support\nin Verbindung.";
constexpr const char* kTooOldCaption = "Kein Update m\xF6glich";
constexpr const char* kNoMonitorText = "Konnte nicht in Monitor Modus schalten";
constexpr const char* kNoMonitorCaption = "Kein Monitor Modus";
constexpr const char* kUpdateErrorText = "Fehler beim Updaten des alten Quor Plug";
constexpr const char* kUpdateErrorCaption = "Update Fehler";
constexpr const char* kFlashedText =
    "Der Plug wurde erfolgreich geflasht.\nDie eingestellten Parameter wurden auf default\nWerte "
    "zur\xFC"
    "ckgesetzt.";
constexpr const char* kFlashedCaption = "Plug geflasht";
constexpr const char* kRescueCaption = "Quor Plug im Monitor Modus";
constexpr const char* kRescueText =
    "An %s wartet ein Quor Plug im Monitor Modus.\nEin Update wurde nicht beendet.\nSoll das Update jetzt "
    "wiederholt werden?";
// Why Windows may not shut down while the update runs.
constexpr const char* kUpdatingReason =
    "Der Quor Plug wird gerade aktualisiert. Bitte warten Sie, bis das Update beendet ist.";

constexpr unsigned kNotice = tk::kMbOk | tk::kMbIconInformation;  // 0x40
constexpr unsigned kNoPlugFlags = tk::kMbRetryCancel | tk::kMbIconQuestion;  // 0x25
constexpr unsigned kRescueFlags = tk::kMbYesNo | tk::kMbIconQuestion;        // 0x24

// A boot monitor answers its wake-up (or the end of a load cut off) at once;
// each wait only bounds the time a port without one costs.
constexpr int kMonitorProbeTicks = 100;
// A receiver needs the line to settle after the change of speed and DTR/RTS
// going up, as in the switch from report mode.
constexpr std::uint32_t kMonitorLineSettleMs = 500;

TAsyncComm* Comm() { return CurrentComm(); }

// "COMn" after the device prefix "\\.\"; any other name as it stands.
std::string ShownPort(const std::string& name) { return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name; }

// The memo's words for why a port gave no plug (Windows-1252).
std::string PortFaultText(const ProbeFailure& f) {
  switch (f.why) {
    case ProbeFault::Absent: return "nicht vorhanden";
    case ProbeFault::Busy: return "von einem anderen Programm belegt";
    case ProbeFault::OpenFailed:
      return "konnte nicht ge\xF6" "ffnet werden (Fehler " + std::to_string(f.code) + ")";
    case ProbeFault::SettingsRefused: return "Einstellungen vom Treiber abgelehnt";
    case ProbeFault::Silent: return "keine Antwort";
    case ProbeFault::NotAPlug: return "Antwort erhalten, aber kein Quor Plug";
    case ProbeFault::NoSetupAnswer: return "Quor Plug erkannt, aber keine Setup-Antwort";
  }
  return "";
}

// "Keinen Plug an COM1/2 gefunden. ...": the COM ports searched as one
// group of numbers, at the place of the first; any other name (a device
// path) as it stands; the parts joined by ", ".
std::string NoPlugText(const std::vector<std::string>& ports) {
  std::vector<std::string> parts;
  std::size_t comPart = 0;
  bool haveCom = false;
  for (const std::string& port : ports) {
    const int n = ComNumber(port);
    if (n == 0) {
      parts.push_back(ShownPort(port));
    } else if (!haveCom) {
      haveCom = true;
      comPart = parts.size();
      parts.push_back("COM" + std::to_string(n));
    } else {
      parts[comPart] += "/" + std::to_string(n);
    }
  }
  std::string text = "Keinen Plug an ";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : ", ") + parts[i];
  return text + " gefunden.\nBitte erneut versuchen.";
}

flow::PortFault ToPortFault(ProbeFault why) {
  switch (why) {
    case ProbeFault::Absent: return flow::PortFault::Absent;
    case ProbeFault::Busy: return flow::PortFault::Busy;
    case ProbeFault::OpenFailed: return flow::PortFault::OpenFailed;
    case ProbeFault::SettingsRefused: return flow::PortFault::SettingsRefused;
    case ProbeFault::Silent: return flow::PortFault::Silent;
    case ProbeFault::NoSetupAnswer: return flow::PortFault::NoSetupAnswer;
    case ProbeFault::NotAPlug: break;
  }
  return flow::PortFault::NotAPlug;
}

}  // namespace

// --- window -----------------------------------------------------------------

TForm1::TForm1(TApplication* /*owner*/) {
  // The client area of a 322 x 258 window with the standard frame at 96 dpi.
  ClientWidth = 314;
  ClientHeight = 231;
  Left = 682;
  Top = 387;
  Centered = true;
  Color = tk::Color::BtnFace;
  FontName = "MS Sans Serif";
  FontHeight = -11;
  SetCaption(kAppTitle);

  Memo1 = Add<TMemo>("Memo1", TRect{0, 0, 314, 129});
  Memo1->TabOrder = 3;
  BSearch = Add<TButton>("BSearch", TRect{8, 144, 97, 25});
  BSearch->SetCaption("Quor Plug &suchen");
  BSearch->TabOrder = 0;
  BSearch->OnClick = [this](TObject* sender) { BSearchClick(sender); };
  BUpdate = Add<TButton>("BUpdate", TRect{121, 144, 72, 25});
  BUpdate->SetCaption("&Update");
  BUpdate->SetEnabled(false);
  BUpdate->TabOrder = 1;
  BUpdate->OnClick = [this](TObject* sender) { BUpdateClick(sender); };
  BExit = Add<TButton>("BExit", TRect{208, 144, 75, 25});
  BExit->SetCaption("&Beenden");
  BExit->TabOrder = 2;
  BExit->OnClick = [this](TObject* sender) { BExitClick(sender); };
  LStatus = Add<TLabel>("LStatus", TRect{8, 176, 281, 13});
  LStatus->SetCaption("Ready");
  LStatus->AutoSize = false;
  CGauge1 = Add<TCGauge>("CGauge1", TRect{2, 200, 295, 20});

  SetCaption(Caption() + " (Fw " + CarriedRevision + ")");
  UpdateState = 0;
}

TForm1::~TForm1() {
  if (UpdateState == 1) {
    LeaveReportMode();
  } else if (UpdateState == 2) {
    LeaveMonitorMode();
  }
  // No reader runs any more: frames still queued for this window are released
  // here, they would be lost otherwise.
  tk::Current().DiscardPosted(*this, WM_PLUGREPORT, [](const tk::Message& m) {
    delete[] reinterpret_cast<std::uint8_t*>(m.WParam);
  });
  if (TAsyncComm* comm = Comm()) {
    comm->Drain();  // the mode exit must not be purged before it left
    comm->PurgeAll();
    SharedComm.store(nullptr, std::memory_order_release);
    delete comm;
  }
  if (PlugPort != nullptr) {
    plat::Serial().Close(PlugPort);
    PlugPort = nullptr;
  }
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::Dispatch(tk::Message& message) {
  if (message.Msg == WM_PLUGREPORT) {
    WMPlugReport(message);
    return;
  }
  if (message.Msg == tk::kWmEndSession) {
    if (message.WParam != 0) SessionEnding();
    return;
  }
  if (message.Msg == WM_PLUGENDAPP) {
    // An oversized report header: the tool ends as if the user closed it.
    Application->Terminate();
    Close();
    return;
  }
  TForm::Dispatch(message);
}

void TForm1::BExitClick(TObject* /*sender*/) { Application->Terminate(); }

void TForm1::Interrupt() {
  Application->Terminate();
  End(flow::Result::Interrupted);
}

void TForm1::SessionEnding() {
  sessionEnding_ = true;
  if (update_ != nullptr) update_->StopNow();
}

// --- search -----------------------------------------------------------------

void TForm1::BSearchClick(TObject* /*sender*/) {
  LStatus->SetCaption("Suche nach Plug ...");
  LStatus->Repaint();
  BSearch->SetEnabled(false);
  SharedComm.store(new TAsyncComm(nullptr), std::memory_order_release);
  auto* search = new TSuchePlug(Comm(), nullptr, false);
  const std::function<bool()> stop = [this] { return StopRequested && StopRequested(); };
  // A search that ends without a plug: the start state, no connection.
  const auto closeSearch = [this, search] {
    LStatus->SetCaption("Ready");
    BSearch->SetEnabled(true);
    TAsyncComm* comm = Comm();
    SharedComm.store(nullptr, std::memory_order_release);
    delete comm;
    delete search;
  };

  for (;;) {
    Enter(flow::Stage::Search);
    // The lines of the last try's ports make way for this one's.
    for (; searchLines_ > 0 && Memo1->Lines->Count() > 0; --searchLines_) {
      Memo1->Lines->Delete(Memo1->Lines->Count() - 1);
    }
    searchLines_ = 0;
    // The machine's ports are listed anew: an adapter may have been plugged in.
    search->Ports = SearchPorts.empty() ? DefaultSearchPorts(plat::Serial().Ports()) : SearchPorts;
    const FoundPort found = search->FindPlug(stop);
    PlugPort = found.handle;
    portName_ = found.name;
    if (PlugPort != nullptr) {
      TellPortFailures(*search);  // the ports before it
      break;
    }
    const std::vector<ProbeFailure> failures = search->Failures;
    // A plug whose update was broken off answers no identification: it waits
    // in its boot monitor, and only there can it be brought back.
    const FoundPort monitor = LookForMonitor && !stop() ? FindPlugInMonitor(search, stop) : FoundPort{};
    if (stop() && monitor.handle == nullptr) {
      // Stopped before the update: the ports probed so far are told, the
      // plug is left as found.
      TellPortFailures(*search);
      closeSearch();
      Interrupt();
      return;
    }
    if (monitor.handle != nullptr) {
      delete search;
      Record().MonitorFound(monitor.name);
      OfferRescue(monitor.handle, monitor.name.c_str());
      return;
    }
    search->Failures = failures;
    for (const ProbeFailure& f : failures) {
      Memo1->Lines->Add(ShownPort(f.port) + ": " + PortFaultText(f));
      ++searchLines_;
    }
    TellPortFailures(*search);
    const int answer = Application->MessageBox(NoPlugText(search->Ports).c_str(), kNoPlugCaption, kNoPlugFlags);
    if (answer == tk::kIdRetry) continue;
    closeSearch();
    End(flow::Result::NoPlug);
    return;
  }

  // The identifier follows "(", 0x01 and "$".
  char identifier[18];
  std::memcpy(identifier, search->GetPnPString() + 3, sizeof identifier);
  delete search;
  Record().PlugFound(portName_, std::string(identifier, std::find(identifier, identifier + sizeof identifier, 0)));

  if (std::memcmp(identifier, "QZM1010", 7) == 0) {
    Application->MessageBox(kTooOldText, kTooOldCaption, kNotice);
    Application->Terminate();
    End(flow::Result::TooOld);
    return;
  }
  EnterReportMode();
}

flow::Observer& TForm1::Record() {
  static flow::Observer none;
  return Observer != nullptr ? *Observer : none;
}

void TForm1::Enter(flow::Stage stage) {
  stage_ = stage;
  Record().StageEntered(stage);
}

void TForm1::End(flow::Result result) { Record().Ended(result, stage_); }

bool TForm1::WriteFailedHere() {
  const TAsyncComm* comm = Comm();
  return comm != nullptr && comm->WriteErrorShown;
}

void TForm1::TellPortFailures(const TSuchePlug& search) {
  for (const ProbeFailure& f : search.Failures) Record().PortFailed(f.port, ToPortFault(f.why), f.code);
}

FoundPort TForm1::FindPlugInMonitor(TSuchePlug* search, const std::function<bool()>& stop) {
  auto& api = plat::Serial();
  PlugControl control;
  std::vector<std::string> ports = SearchPorts;
  const std::string remembered = UnfinishedPort();
  if (!remembered.empty() && std::find(ports.begin(), ports.end(), remembered) == ports.end()) {
    ports.push_back(remembered);
  }
  for (const std::string& name : ports) {
    if (stop && stop()) break;
    std::snprintf(search->PortName, sizeof search->PortName, "%s", name.c_str());
    // A device answered the identification there: it is not a plug waiting
    // in its monitor, and it gets no byte.
    if (search->Answered(name)) continue;
    // A port the search did not probe under this name (the remembered one,
    // when other ports were named) is identified first: whatever answers
    // there is no plug waiting in its monitor.
    const bool searched = std::find(search->Ports.begin(), search->Ports.end(), name) != search->Ports.end();
    if (!searched && search->AnswersIdentification(name.c_str(), stop)) continue;
    if (!search->OpenPort()) continue;  // it closed again whatever it opened
    if (control.SetMonitorLine() && PauseUnlessStopped(kMonitorLineSettleMs, stop) &&
        control.FindMonitor(kMonitorProbeTicks, stop)) {
      return {search->PortHandle, name};
    }
    // No monitor here: nothing more goes to this port.
    api.Purge(search->PortHandle, plat::kPurgeAllFlags);
    api.Close(search->PortHandle);
    search->PortHandle = nullptr;
  }
  return {};
}

void TForm1::OfferRescue(plat::Handle port, const char* portName) {
  // The connection is the window's from here on, whatever the answer.
  PlugPort = port;
  portName_ = portName;
  char text[400];
  std::snprintf(text, sizeof text, kRescueText, ShownPort(portName).c_str());
  if (Application->MessageBox(text, kRescueCaption, kRescueFlags) != tk::kIdYes) {
    // Nothing more is sent: the half-written firmware must not start.
    ResetToReady(this, &PlugPort);
    // A stop that came while the question waited is no answer of the person's.
    if (StopRequested && StopRequested()) {
      Application->Terminate();
      End(flow::Result::InterruptedInMonitor);
      return;
    }
    End(flow::Result::RescueDeclined);
    return;
  }
  UpdateState = 2;
  BUpdate->SetEnabled(false);
  BExit->SetEnabled(false);
  RememberUnfinishedPort(portName_);  // a port the person named, too
  tk::BusyScope busy(kUpdatingReason);  // until the upload has ended
  UpdateInMonitor(busy);
}

void ResetToReady(TForm1* form, plat::Handle* port) {
  if (TAsyncComm* comm = Comm()) {
    // The monitor exit written just before must reach the plug: destroying
    // the object purges the port, which would discard it while still queued.
    comm->Drain();
    SharedComm.store(nullptr, std::memory_order_release);
    delete comm;
  }
  if (*port != nullptr) {
    plat::Serial().Close(*port);
    *port = nullptr;
  }
  form->LStatus->SetCaption("Ready");
  form->BSearch->SetEnabled(true);
  form->BUpdate->SetEnabled(false);
  form->BExit->SetEnabled(true);
  form->UpdateState = 0;
  Application->ProcessMessages();
}

// --- report mode ------------------------------------------------------------

void TForm1::EnterReportMode() {
  // The reader runs before the request goes out, so the answer cannot be missed.
  Enter(flow::Stage::Report);
  ReportReader = new TReadC99(this);
  reportReaderControl_ = ReportReader->Control();
  SendReportRequest();
  UpdateState = 1;
  // The window waits on; no version can come now.
  if (WriteFailedHere()) End(flow::Result::PortError);
}

void TForm1::SendReportRequest() { SendToPlug(cmd::Length(cmd::kReportRequest), cmd::kReportRequest); }

void TForm1::WMPlugReport(tk::Message& message) {
  auto* frame = reinterpret_cast<std::uint8_t*>(message.WParam);
  // A report still queued when the update began belongs to report mode: run
  // now, it would enable Update and purge the port under the update.
  if (stage_ == flow::Stage::Report) ShowPlugReport(frame);
  delete[] frame;
  TForm::Dispatch(message);
}

void TForm1::StopReportReader() {
  if (ReportReader != nullptr) {
    reportReaderControl_->RequestStop();
    ReportReader = nullptr;
  }
  if (TAsyncComm* comm = Comm()) comm->PurgeAll();
  // Only one reader may use the port at a time, and the port object must
  // outlive it: wait until the aborted read has returned and the reader ended.
  if (reportReaderControl_ != nullptr) {
    reportReaderControl_->WaitFinished();
    reportReaderControl_.reset();
    TThread::ReapFinished();
  }
}

void TForm1::ShowPlugReport(const std::uint8_t* frame) {
  if (frame[0] != cmd::kVersionReportType || frame[1] != cmd::kVersionReportCode) return;
  // The version text ends at its first zero byte, and never past the payload.
  const std::size_t length = static_cast<std::size_t>(frame[2]) * 256 + frame[3];
  const char* payload = reinterpret_cast<const char*>(frame + 4);
  const void* zero = std::memchr(payload, 0, length);
  const std::string version(payload, zero != nullptr ? static_cast<const char*>(zero) - payload : length);
  Record().BannerReported(version);

  Memo1->Lines->Add("Vorhandene Firmware-Version Ihres Quor Plug:");
  Memo1->Lines->Add("\"" + version + "\"");
  Memo1->Lines->Add("");
  Memo1->Lines->Add("Wenn Sie Ihren Quor Plug auf die Version");
  Memo1->Lines->Add(std::string("\"") + CarriedBanner + "\"");
  Memo1->Lines->Add("bringen wollen, dann dr\xFC" "cken Sie bitte die Taste \"Update\".");
  BUpdate->SetEnabled(true);
  StopReportReader();
  LStatus->SetCaption("Ready");
  BUpdate->SetFocus();
  End(flow::Result::Reported);
}

void TForm1::LeaveReportMode() {
  SendToPlug(cmd::Length(cmd::kReportEnd), cmd::kReportEnd);
  UpdateState = 0;
  if (ReportReader != nullptr) {
    // Stopping the reader purges the port: let the report end leave first.
    if (TAsyncComm* comm = Comm()) comm->Drain();
    StopReportReader();
  }
}

// --- update -----------------------------------------------------------------

void TForm1::BUpdateClick(TObject* /*sender*/) {
  BUpdate->SetEnabled(false);
  BExit->SetEnabled(false);
  LStatus->SetCaption("Switch to Monitor Mode ...");
  LStatus->Repaint();
  Enter(flow::Stage::MonitorSwitch);

  tk::BusyScope busy(kUpdatingReason);  // until the upload has ended
  // From the switch on the plug may be left in its boot monitor, where only
  // a look on this port finds it again.
  RememberUnfinishedPort(portName_);
  const std::function<bool()> stop = [this] { return sessionEnding_ || (StopRequested && StopRequested()); };
  auto* control = new PlugControl;
  const bool inMonitor = control->EnterMonitorMode(stop);
  delete control;
  if (!inMonitor && stop()) {
    // Stopped in the switch: nothing more goes to the plug, which may wait
    // in its boot monitor now; its port stays remembered for the next run.
    busy.End();
    sessionEnding_ = false;
    StoppedInMonitor = true;
    ResetToReady(this, &PlugPort);
    Application->Terminate();
    End(flow::Result::InterruptedInMonitor);
    return;
  }
  if (!inMonitor) {
    busy.End();
    const bool writeFailed = WriteFailedHere();
    Application->MessageBox(kNoMonitorText, kNoMonitorCaption, kNotice);
    ResetToReady(this, &PlugPort);
    End(writeFailed ? flow::Result::PortError : flow::Result::NoMonitor);
    return;
  }
  UpdateState = 2;
  UpdateInMonitor(busy);
}

void TForm1::UpdateInMonitor(tk::BusyScope& busy) {
  LStatus->SetCaption("Updating Plug ...");
  LStatus->Repaint();

  // Released on every path, also when an exception passes through.
  std::unique_ptr<TFwUpdateSA> update(new TFwUpdateSA("", 0, CGauge1, LStatus));
  update->StopRequested = [this] { return sessionEnding_ || (StopRequested && StopRequested()); };
  update->Events.Erasing = [this] { Enter(flow::Stage::Erase); };
  update->Events.Uploading = [this] { Enter(flow::Stage::Upload); };
  update->Events.LineSent = [this](long lines, long totalLines, long bytes, long totalBytes) {
    Record().UploadProgress(lines, totalLines, bytes, totalBytes);
  };
  // The session's end reaches the update through update_ while it runs, and
  // never after, also when an exception passes through.
  update_ = update.get();
  struct Running {
    TFwUpdate*& slot;
    ~Running() { slot = nullptr; }
  } running{update_};
  const bool result = update->UpdateFromImage();
  update_ = nullptr;
  sessionEnding_ = false;  // it ended this update
  StoppedInMonitor = update->Stopped;
  update.reset();
  busy.End();
  if (StoppedInMonitor) {
    // Stopped on request: the plug waits at its monitor prompt for the next
    // run; no box, and no exit (the half-written firmware must not start).
    ResetToReady(this, &PlugPort);
    Application->Terminate();
    End(flow::Result::InterruptedInMonitor);
    return;
  }
  if (!result) {
    // The plug stays in its boot monitor; no exit is sent.
    const bool writeFailed = WriteFailedHere();
    Application->MessageBox(kUpdateErrorText, kUpdateErrorCaption, kNotice);
    ResetToReady(this, &PlugPort);
    End(writeFailed ? flow::Result::PortError : flow::Result::UpdateFailed);
    return;
  }
  Enter(flow::Stage::Finish);
  const std::uint16_t exitLength = cmd::Length(cmd::kMonitorExit);
  const bool exitSent = SendToPlug(exitLength, cmd::kMonitorExit) == exitLength;
  // Written is not sent: an exit still in the port's queue when the port is
  // closed is dropped with it.
  TAsyncComm* comm = Comm();
  const bool exitOut = exitSent && comm != nullptr && comm->Drain();
  const bool writeFailed = WriteFailedHere();
  if (!exitOut || writeFailed) {
    // The image is in, but the plug may still wait in its boot monitor: no
    // success. Its port stays remembered, and the next search finishes the
    // update there.
    Application->MessageBox(kUpdateErrorText, kUpdateErrorCaption, kNotice);
    ResetToReady(this, &PlugPort);
    End(writeFailed ? flow::Result::PortError : flow::Result::UpdateFailed);
    return;
  }
  // The monitor was left after a complete upload: nothing waits there now.
  ForgetUnfinishedPort();
  ResetToReady(this, &PlugPort);
  tk::MessageBeep(0);
  Application->MessageBox(kFlashedText, kFlashedCaption, kNotice);
  Application->Terminate();
  End(flow::Result::Flashed);
}

void TForm1::LeaveMonitorMode() {
  SendToPlug(cmd::Length(cmd::kMonitorExit), cmd::kMonitorExit);
  UpdateState = 0;
}

// --- the remembered port ---------------------------------------------------

namespace {
void TellMemoryFailed(const char* what, const plat::PortMemory& memory) {
  tk::OutputDebugString((std::string("Cannot ") + what + " the port of the unfinished update (" + memory.Where() +
                         "), GetLastError: #" + std::to_string(plat::LastError()) + "\n")
                            .c_str());
}
}  // namespace

void RememberUnfinishedPort(const std::string& port) {
  plat::PortMemory* memory = plat::CurrentPortMemory();
  if (memory != nullptr && !memory->Store(port)) TellMemoryFailed("store", *memory);
}

void ForgetUnfinishedPort() {
  plat::PortMemory* memory = plat::CurrentPortMemory();
  if (memory != nullptr && !memory->Erase()) TellMemoryFailed("erase", *memory);
}

std::string UnfinishedPort() {
  plat::PortMemory* memory = plat::CurrentPortMemory();
  std::string port;
  if (memory == nullptr) return port;
  if (!memory->Load(port)) {
    TellMemoryFailed("read", *memory);
    port.clear();
  }
  return port;
}

// --- program entry ----------------------------------------------------------

int PlugMain(const std::vector<std::string>& ports) {
  try {
    Application->Initialize();
    Application->SetTitle(kAppTitle);
    Form1 = new TForm1(Application);
    Form1->SearchPorts = ports;
    Application->CreateForm(Form1);
    Application->Run();
  } catch (const std::exception& e) {
    Application->ShowException(e);
  }
  // Destroying the window runs its exit sequence.
  delete Form1;
  Form1 = nullptr;
  TThread::JoinAll();
  return 0;
}
