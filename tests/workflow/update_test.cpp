// The update workflow end to end: search, report, boot monitor, erase, upload
// of the built-in image, monitor exit; and its failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "firmware/firmware_image.h"
#include "serial/threads.h"
#include "sim/hexflash.h"
#include "tests/support/workflow_fixture.h"

namespace testing_support {
namespace {

using Op = sim::HostLogEntry::Op;
const std::string kCarried = "Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26";

// The flash 0x10000..0x37FFF as the image programs it into erased flash,
// worked out from its lines independently of the plug's loader.
std::vector<std::uint8_t> ExpectedFlash() {
  std::vector<std::string> lines(FirmwareImage, FirmwareImage + FirmwareImageLineCount);
  std::string error;
  auto flash = sim::FlashFromHexLines(lines, error);
  EXPECT_TRUE(flash.has_value()) << error;
  return flash.value_or(std::vector<std::uint8_t>{});
}

// The upload's progress as the window logic records it.
struct ProgressRecord : flow::Observer {
  struct Step {
    long lines, totalLines, bytes, totalBytes;
  };
  std::vector<Step> steps;
  void UploadProgress(long lines, long totalLines, long bytes, long totalBytes) override {
    steps.push_back({lines, totalLines, bytes, totalBytes});
  }
};

class UpdateTest : public WorkflowTest {
 protected:
  TForm1& ReportShown(const sim::PlugConfig& config = {}) {
    plug = &bench.Attach(kCom1, config);
    TForm1& form = OpenWindow();
    form.BSearch->Click();
    EXPECT_TRUE(WaitForReport());
    return form;
  }

  // Index in the port's host log of the last write of exactly these bytes.
  long LastWriteOf(const std::string& bytes) {
    const auto log = bench.Log(kCom1);
    for (long i = static_cast<long>(log.size()) - 1; i >= 0; --i) {
      if (log[i].op == Op::Write && log[i].bytes == Bytes(bytes)) return i;
    }
    return -1;
  }

  int WritesOf(const std::string& bytes) {
    int n = 0;
    for (const auto& w : Writes(kCom1)) n += w == Bytes(bytes) ? 1 : 0;
    return n;
  }

  // After the tool ended: a new run of it searches and shows the plug's banner.
  void ExpectTheCarriedFirmwareOnANewSearch() {
    CloseWindow();
    TApplication next;
    Application = &next;
    Form1 = new TForm1(&next);
    next.CreateForm(Form1);
    Form1->BSearch->Click();
    EXPECT_TRUE(WaitForReport());
    EXPECT_EQ((*Form1->Memo1->Lines)[1], "\"" + kCarried + "\"");
    EXPECT_EQ(plug->Banner(), kCarried);
    CloseWindow();
    Application = &app;
  }

  sim::Plug* plug = nullptr;
};

TEST_F(UpdateTest, UpdatesThePlugFromStartToEnd) {
  TForm1& form = ReportShown();
  ProgressRecord record;
  form.Observer = &record;
  form.BUpdate->Click();
  form.Observer = nullptr;

  // The record counts every line and the image's bytes sent so far, up to
  // the whole image.
  ASSERT_EQ(record.steps.size(), FirmwareImageLineCount);
  long sent = 0, image = 0;
  for (std::size_t i = 0; i < FirmwareImageLineCount; ++i) image += static_cast<long>(std::strlen(FirmwareImage[i]));
  for (std::size_t i = 0; i < FirmwareImageLineCount; ++i) {
    const ProgressRecord::Step& step = record.steps[i];
    sent += static_cast<long>(std::strlen(FirmwareImage[i]));
    ASSERT_EQ(std::tie(step.lines, step.totalLines, step.bytes, step.totalBytes),
              std::make_tuple(static_cast<long>(i + 1), static_cast<long>(FirmwareImageLineCount), sent, image))
        << "line " << i + 1;
  }
  EXPECT_EQ(record.steps.back().bytes, image);

  // The flash holds the image byte for byte; what it does not write stays erased.
  EXPECT_TRUE(plug->Flash() == ExpectedFlash());
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
  EXPECT_TRUE(plug->Errors().empty()) << plug->Errors().front();
  EXPECT_EQ(plug->EraseCount(), 1);

  // Exactly one 'x', after the last line, then the port is purged and closed.
  EXPECT_EQ(plug->ExitCount(), 1);
  EXPECT_EQ(WritesOf("x"), 1);
  const long exitAt = LastWriteOf("x");
  const long eofAt = LastWriteOf(":00000001FF\n");
  ASSERT_GE(eofAt, 0);
  EXPECT_GT(exitAt, eofAt);
  const auto log = bench.Log(kCom1);
  ASSERT_EQ(log.back().op, Op::Close);
  for (long i = exitAt + 1; i < static_cast<long>(log.size()); ++i) EXPECT_NE(log[i].op, Op::Write);

  // Every line went out as stored, one write each, after the monitor commands.
  const auto writes = Writes(kCom1);
  const auto first = std::find(writes.begin(), writes.end(), Bytes(FirmwareImage[0]));
  ASSERT_NE(first, writes.end());
  EXPECT_EQ(*(first - 1), Bytes("l"));
  EXPECT_EQ(*(first - 2), Bytes("37fff\r"));
  EXPECT_EQ(*(first - 3), Bytes("10000\r"));
  EXPECT_EQ(*(first - 4), Bytes("e"));
  for (std::size_t i = 0; i < FirmwareImageLineCount; ++i) {
    ASSERT_EQ(*(first + static_cast<long>(i)), Bytes(FirmwareImage[i])) << "line " << i + 1;
  }

  // The gauge rose 1, 2, ..., 100 and went back to 0.
  std::vector<int> expected;
  for (int p = 1; p <= 100; ++p) expected.push_back(p);
  expected.push_back(0);
  EXPECT_EQ(ui.GaugeValues(), expected);
  // It counts one line more than the image holds, so it reaches 100 % with
  // line ceil(99 * (lines + 1) / 100), after that line's write, before the next.
  const std::size_t fullAt = (99 * (FirmwareImageLineCount + 1) + 99) / 100;
  std::vector<sim::TimePoint> lineWrites;
  for (const auto& e : log) {
    if (e.op == Op::Write && lineWrites.size() < FirmwareImageLineCount &&
        e.bytes == Bytes(FirmwareImage[lineWrites.size()])) {
      lineWrites.push_back(e.time);
    }
  }
  const auto gauge = ui.EventsOf(Event::Kind::Progress);
  const auto full = std::find_if(gauge.begin(), gauge.end(), [](const Event& e) { return e.value == 100; });
  ASSERT_NE(full, gauge.end());
  ASSERT_LT(fullAt, lineWrites.size());
  EXPECT_GE(full->at, lineWrites[fullAt - 1]) << "100 % before line " << fullAt;
  EXPECT_LE(full->at, lineWrites[fullAt]) << "100 % after line " << fullAt + 1;

  // The status texts of the run, in order.
  const auto status = ui.StatusTexts();
  const std::vector<std::string> tail = {"Switch to Monitor Mode ...", "Updating Plug ...", "Erasing Flash ...",
                                         "Uploading Firmware ... ",    "Ready",             "Ready"};
  ASSERT_GE(status.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(status.end() - static_cast<long>(tail.size()), status.end()), tail);

  // Beep, then the success box, then the end of the tool.
  const auto events = ui.Events();
  const auto beep = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.kind == Event::Kind::Beep; });
  const auto box = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.kind == Event::Kind::Box; });
  ASSERT_NE(beep, events.end());
  ASSERT_NE(box, events.end());
  EXPECT_LT(beep - events.begin(), box - events.begin());
  EXPECT_EQ(beep->value, 0);
  EXPECT_EQ(box->caption, "Plug geflasht");
  EXPECT_EQ(box->text,
            "Der Plug wurde erfolgreich geflasht.\nDie eingestellten Parameter wurden auf default\nWerte "
            "zur\xFC" "ckgesetzt.");
  EXPECT_EQ(box->value, 0x40);
  EXPECT_EQ(ui.Boxes().size(), 1u);
  EXPECT_TRUE(app.Terminated());

  // Shutdown was held back from before the monitor request to after the
  // end-of-file line, and released before the box.
  const auto busy = ui.EventsOf(Event::Kind::Busy);
  ASSERT_EQ(busy.size(), 2u);
  EXPECT_EQ(busy[0].value, 1);
  EXPECT_EQ(busy[0].text,
            "Der Quor Plug wird gerade aktualisiert. Bitte warten Sie, bis das Update beendet ist.");
  EXPECT_EQ(busy[1].value, 0);
  const long monitorAt = LastWriteOf(std::string("\x01\xF8\x00\x00", 4));
  ASSERT_GE(monitorAt, 0);
  EXPECT_LE(busy[0].at, log[static_cast<std::size_t>(monitorAt)].time);
  EXPECT_GE(busy[1].at, log[static_cast<std::size_t>(eofAt)].time);
  EXPECT_LE(busy[1].at, box->at);

  // The window is back at its start state; the exit sends nothing more.
  EXPECT_EQ(SharedComm.load(), nullptr);
  EXPECT_EQ(PlugPort, nullptr);
  EXPECT_EQ(form.UpdateState, 0);
  EXPECT_TRUE(form.BSearch->Enabled());
  EXPECT_FALSE(form.BUpdate->Enabled());
  EXPECT_TRUE(form.BExit->Enabled());
  EXPECT_EQ(form.LStatus->Caption(), "Ready");
  const std::size_t logSize = bench.Log(kCom1).size();
  CloseWindow();
  EXPECT_EQ(bench.Log(kCom1).size(), logSize);

  // The restarted plug reports the carried firmware on the next search.
  ExpectTheCarriedFirmwareOnANewSearch();
}

TEST_F(UpdateTest, NoMonitorPromptGivesOneBoxAndTheStartState) {
  sim::PlugConfig config;
  config.noWakePrompt = true;
  TForm1& form = ReportShown(config);
  form.BUpdate->Click();

  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Kein Monitor Modus");
  EXPECT_EQ(boxes[0].text, "Konnte nicht in Monitor Modus schalten");
  EXPECT_EQ(boxes[0].value, 0x40);
  const auto busy = ui.EventsOf(Event::Kind::Busy);
  ASSERT_EQ(busy.size(), 2u);
  EXPECT_EQ(busy[1].value, 0);
  EXPECT_LE(busy[1].at, boxes[0].at) << "shutdown is free again before the box waits for the user";
  EXPECT_EQ(SharedComm.load(), nullptr);
  EXPECT_EQ(PlugPort, nullptr);
  EXPECT_EQ(form.UpdateState, 0);
  EXPECT_TRUE(form.BSearch->Enabled());
  EXPECT_FALSE(app.Terminated());
  EXPECT_FALSE(bench.IsOpen(kCom1));
  // Monitor request, report end, wake-up: nothing after that.
  const auto writes = Writes(kCom1);
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes[writes.size() - 3], (std::vector<std::uint8_t>{0x01, 0xF8, 0x00, 0x00}));
  EXPECT_EQ(writes[writes.size() - 2], (std::vector<std::uint8_t>{0x01, 0xF6, 0x00, 0x00}));
  EXPECT_EQ(writes.back(), (std::vector<std::uint8_t>{0x1B, 0x1B}));
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
}

struct UploadFault {
  const char* name;
  void (*configure)(sim::PlugConfig&);
  int writeErrorBoxes;  // "Fehler beim Schreiben auf COM" boxes before "Update Fehler"
  bool rescued;         // a new search then finds the plug in its monitor and finishes the update
  int stopAfterLines = 0;  // a stop requested once this many lines went out: no box, the
                           // end-of-file record after the last whole line, the tool ends
  std::string stopAfterWrite = "";  // a stop requested once this write went out (the erase
                                    // range, a step of the monitor switch): taken at once,
                                    // nothing more is sent
  bool sessionEnds = false;  // the stop is the system's end of the session, during the
                             // upload's event pump: the record is out and drained when
                             // the form's dispatch returns
};

void PrintTo(const UploadFault& f, std::ostream* os) { *os << f.name; }

class UploadFaultTest : public UpdateTest, public ::testing::WithParamInterface<UploadFault> {};

TEST_P(UploadFaultTest, EndsInUpdateErrorAndANewSearchFinishesTheUpdateInTheMonitor) {
  sim::PlugConfig config;
  GetParam().configure(config);
  TForm1& form = ReportShown(config);
  const int stopAt = GetParam().stopAfterLines;
  const std::string& stopAfter = GetParam().stopAfterWrite;
  const bool stopping = stopAt > 0 || !stopAfter.empty();
  const auto lines = [this] {
    const auto all = Writes(kCom1);
    return std::count_if(all.begin(), all.end(), [](const auto& w) { return !w.empty() && w[0] == ':'; });
  };
  std::optional<sim::TimePoint> stopSeen;
  const auto seen = [&stopSeen](bool stop) {
    if (stop && !stopSeen) stopSeen = sim::Clock::now();
    return stop;
  };
  if (stopAt > 0 && !GetParam().sessionEnds) form.StopRequested = [&] { return seen(lines() >= stopAt); };
  if (!stopAfter.empty()) form.StopRequested = [&] { return WritesOf(stopAfter) > 0; };
  bool sessionEnded = false;
  if (GetParam().sessionEnds) {
    ui.OnPump = [&](int) {
      if (sessionEnded || lines() < stopAt) return;
      sessionEnded = true;
      stopSeen = sim::Clock::now();
      tk::Message end;
      end.Msg = tk::kWmEndSession;
      end.WParam = 1;
      form.Dispatch(end);
      // From here on the process may end at any moment.
      const auto all = Writes(kCom1);
      ASSERT_EQ(all.back(), Bytes(cmd::kEndOfFileRecord)) << "no end-of-file record when the dispatch returned";
      EXPECT_EQ(std::count_if(all.begin(), all.end() - 1, [](const auto& w) { return !w.empty() && w[0] == ':'; }),
                stopAt) << "image lines before the record";
      const auto log = bench.Log(kCom1);
      ASSERT_TRUE(bench.LastDrained(kCom1).has_value());
      EXPECT_GE(*bench.LastDrained(kCom1), log.back().time) << "the record was not drained";
    };
  }
  form.BUpdate->Click();
  ui.OnPump = nullptr;
  EXPECT_EQ(sessionEnded, GetParam().sessionEnds);
  // Asked for from the moment that write went out.
  if (!stopAfter.empty() && LastWriteOf(stopAfter) >= 0) {
    stopSeen = bench.Log(kCom1)[static_cast<std::size_t>(LastWriteOf(stopAfter))].time;
  }

  const auto boxes = ui.Boxes();
  if (stopping) {
    // Whatever the monitor does, the stop has ended the update within 2 s.
    ASSERT_TRUE(stopSeen.has_value());
    EXPECT_LT(sim::Clock::now() - *stopSeen, std::chrono::milliseconds(2000));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(form.StoppedInMonitor);
  }
  if (!stopAfter.empty()) {
    // Nothing after that write (after the erase range the monitor ends its
    // erase at its prompt; in the switch no wake-up and no 'e' follows).
    EXPECT_EQ(Writes(kCom1).back(), Bytes(stopAfter));
  } else if (stopAt > 0) {
    const auto all = Writes(kCom1);
    // At a line boundary the record goes out as it stands, no empty line before it.
    const auto eof = std::find(all.begin(), all.end(), Bytes(":00000001FF\n"));
    ASSERT_NE(eof, all.end()) << "no end-of-file record";
    EXPECT_EQ(std::count_if(all.begin(), eof, [](const auto& w) { return !w.empty() && w[0] == ':'; }), stopAt);
    EXPECT_EQ(eof + 1, all.end()) << "sent after the end-of-file record";
  } else {
    ASSERT_EQ(boxes.size(), static_cast<std::size_t>(GetParam().writeErrorBoxes + 1));
    for (int i = 0; i < GetParam().writeErrorBoxes; ++i) {
      EXPECT_EQ(boxes[i].text, "Fehler beim Schreiben auf COM");
      EXPECT_EQ(boxes[i].caption, "FEHLER");
    }
    EXPECT_EQ(boxes.back().caption, "Update Fehler");
    EXPECT_EQ(boxes.back().text, "Fehler beim Updaten des alten Quor Plug");
    EXPECT_EQ(boxes.back().value, 0x40);
  }
  // No 'x', or one whose write failed: the plug did not leave its monitor.
  const int exitsTried = WritesOf("x");
  EXPECT_EQ(exitsTried, config.exitWriteError ? 1 : 0);
  EXPECT_EQ(plug->ExitCount(), 0);
  EXPECT_TRUE(ui.EventsOf(Event::Kind::Beep).empty());
  EXPECT_EQ(SharedComm.load(), nullptr);
  EXPECT_EQ(PlugPort, nullptr);
  EXPECT_EQ(form.UpdateState, 0);
  EXPECT_TRUE(form.BSearch->Enabled());
  EXPECT_EQ(form.CGauge1->Progress(), 0);
  EXPECT_EQ(app.Terminated(), stopping);
  // Remembered before the switch, and kept: the plug waits in its monitor.
  std::string remembered;
  EXPECT_TRUE(memory.Load(remembered));
  EXPECT_EQ(remembered, kCom1);
  if (!GetParam().rescued) return;

  // The cause is gone (cable back in, clean line); the plug waits in its
  // boot monitor and answers no identification.
  bench.Replug(kCom1);
  sim::PlugConfig clean;
  clean.keepsPower = config.keepsPower;
  plug->SetConfig(clean);
  form.StopRequested = nullptr;
  const std::size_t violations = plug->Violations().size();
  const std::size_t eventsBefore = ui.Events().size();
  ui.QueueAnswers({tk::kIdYes});
  form.BSearch->Click();

  const auto events = ui.Events();
  const std::vector<Event> rescue(events.begin() + static_cast<long>(eventsBefore), events.end());
  std::vector<Event> rescueBoxes;
  std::vector<int> busy;  // shutdown held back (1) and released (0), in order
  for (const auto& e : rescue) {
    if (e.kind == Event::Kind::Box) rescueBoxes.push_back(e);
    if (e.kind == Event::Kind::Busy) busy.push_back(e.value);
    if (e.kind == Event::Kind::Enabled && e.control == "BUpdate") {
      EXPECT_EQ(e.value, 0) << "BUpdate enabled";
    }
  }
  ASSERT_EQ(rescueBoxes.size(), 2u);
  EXPECT_EQ(rescueBoxes[0].caption, "Quor Plug im Monitor Modus");
  EXPECT_EQ(rescueBoxes[0].text,
            "An COM1 wartet ein Quor Plug im Monitor Modus.\nEin Update wurde nicht beendet.\nSoll das Update "
            "jetzt wiederholt werden?");
  EXPECT_EQ(rescueBoxes[0].value, 0x24);
  EXPECT_EQ(rescueBoxes[1].caption, "Plug geflasht");
  EXPECT_EQ(busy, (std::vector<int>{1, 0}));
  EXPECT_TRUE(plug->Flash() == ExpectedFlash());
  EXPECT_EQ(plug->ExitCount(), 1);
  EXPECT_EQ(WritesOf("x"), exitsTried + 1);
  EXPECT_EQ(plug->Violations().size(), violations) << plug->Violations().back();
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(form.UpdateState, 0);
  // The monitor was left after a complete upload: nothing is remembered.
  EXPECT_TRUE(memory.Load(remembered));
  EXPECT_EQ(remembered, "");
  ExpectTheCarriedFirmwareOnANewSearch();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UploadFaultTest,
    ::testing::Values(
        UploadFault{"MissingFinalPrompt", [](sim::PlugConfig& c) { c.noFinalPrompt = true; }, 0, true},
        // The erase outlasts its 300-tick wait: the load starts while the
        // monitor is still busy, and the monitor refuses the load. A tick is
        // a 10 ms sleep plus the message loop, which lasts twice that and more
        // under Wine on a busy machine: the erase lasts a minute.
        UploadFault{"SlowErase", [](sim::PlugConfig& c) { c.eraseTimeMs = 60000; }, 0, false},
        UploadFault{"LostBytes",
                    [](sim::PlugConfig& c) {
                      c.loseAfter = 100000;
                      c.loseCount = 5;
                    },
                    0, true},
        UploadFault{"WriteError", [](sim::PlugConfig& c) { c.writeErrorAfter = 150000; }, 1, true},
        UploadFault{"Unplug", [](sim::PlugConfig& c) { c.unplugAfter = 150000; }, 1, true},
        // The whole image confirmed, but the monitor exit cannot be written:
        // the plug may still wait in its monitor, so no success.
        UploadFault{"ExitWriteError", [](sim::PlugConfig& c) { c.exitWriteError = true; }, 1, true},
        // The plug keeps its power: its monitor stays in the load state, in
        // the middle of a line, and answers no wake-up.
        UploadFault{"UnplugMidLineKeepingPower",
                    [](sim::PlugConfig& c) {
                      c.unplugAfter = 150020;
                      c.keepsPower = true;
                    },
                    1, true},
        // The monitor answers '>' half way through the load and nothing after
        // the last line: that early prompt is no confirmation.
        UploadFault{"PromptMidLoadNoneAtTheEnd",
                    [](sim::PlugConfig& c) {
                      c.promptAfter = 150000;
                      c.noFinalPrompt = true;
                    },
                    0, false},
        UploadFault{"StopRequested", [](sim::PlugConfig&) {}, 0, true, 700},
        // No prompt after the end-of-file record: the wait for it is cut short.
        UploadFault{"StopRequestedNoPromptAfterTheLoad", [](sim::PlugConfig& c) { c.noFinalPrompt = true; }, 0,
                    false, 700},
        // The erase outlasts the 2 s of a stop.
        UploadFault{"StopRequestedDuringTheErase", [](sim::PlugConfig& c) { c.eraseTimeMs = 2500; }, 0, false, 0,
                    "37fff\r"},
        // A plug without a monitor: the switch (4 s to its "Kein Monitor
        // Modus") ends at once, before the wake-up.
        UploadFault{"StopRequestedInTheSwitch", [](sim::PlugConfig& c) { c.noWakePrompt = true; }, 0, false, 0,
                    std::string("\x01\xF6\x00\x00", 4)},
        UploadFault{"SessionEnds", [](sim::PlugConfig&) {}, 0, false, 700, "", true}),
    [](const ::testing::TestParamInfo<UploadFault>& param) { return std::string(param.param.name); });

// The image is in and the exit written, but the port never reports it sent:
// closed now, the port may drop it, and the plug may still wait in its monitor.
TEST_F(UpdateTest, AnExitTheDriverNeverReportsSentIsNoSuccess) {
  TForm1& form = ReportShown();
  sim::AdapterFaults stuck;
  stuck.drainFails = true;
  bench.SetAdapterFaults(kCom1, stuck);
  form.BUpdate->Click();

  ASSERT_FALSE(ui.Boxes().empty());
  EXPECT_EQ(ui.Boxes().back().caption, "Update Fehler");
  EXPECT_EQ(WritesOf("x"), 1);
  EXPECT_FALSE(app.Terminated());
  std::string remembered;
  EXPECT_TRUE(memory.Load(remembered));
  EXPECT_EQ(remembered, kCom1);
}

TEST_F(UpdateTest, AReportStillQueuedWhenTheUpdateBeginsIsDropped) {
  TForm1& form = ReportShown();
  const int lines = form.Memo1->Lines->Count();
  const std::size_t eventsBefore = ui.Events().size();
  bool posted = false;
  ui.OnPump = [&](int) {
    if (posted) return;
    posted = true;
    // The plug's version report a second time, as the reader hands it over.
    const std::string text = "Orvane QUOR PLUG Firmware Revision 1.60.4";
    auto* frame = new std::uint8_t[4 + text.size()];
    const std::uint8_t header[] = {0x05, 0xDD, 0x00, static_cast<std::uint8_t>(text.size())};
    std::memcpy(frame, header, 4);
    std::memcpy(frame + 4, text.data(), text.size());
    if (!tk::PostMessage(&form, WM_PLUGREPORT, reinterpret_cast<std::uintptr_t>(frame), 4)) delete[] frame;
  };
  form.BUpdate->Click();
  ui.OnPump = nullptr;

  ASSERT_TRUE(posted);
  EXPECT_EQ(ui.Boxes().back().caption, "Plug geflasht");
  EXPECT_EQ(form.Memo1->Lines->Count(), lines);
  const auto events = ui.Events();
  for (std::size_t i = eventsBefore; i < events.size(); ++i) {
    if (events[i].kind == Event::Kind::Enabled && events[i].control == "BUpdate") {
      EXPECT_EQ(events[i].value, 0) << "Update enabled during the update";
    }
  }
}

TEST_F(UpdateTest, ClosingTheWindowDuringTheUpdateEndsTheToolAfterIt) {
  TForm1& form = ReportShown();
  ui.OnPump = [&form](int) {
    if (form.UpdateState == 2) form.Close();
  };
  form.BUpdate->Click();
  ui.OnPump = nullptr;
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(plug->ExitCount(), 1);
  EXPECT_EQ(plug->Flash(), ExpectedFlash());
  CloseWindow();
  EXPECT_EQ(WritesOf("x"), 1);
}

TEST_F(UpdateTest, AnExceptionDuringTheUploadLeavesShutdownFree) {
  TForm1& form = ReportShown();
  // Thrown from inside the upload (an allocation that failed, say).
  ui.OnPump = [this](int) {
    if (plug->UploadBytes() > 1000) throw std::runtime_error("no memory");
  };
  EXPECT_THROW(form.BUpdate->Click(), std::runtime_error);
  ui.OnPump = nullptr;
  const auto busy = ui.EventsOf(Event::Kind::Busy);
  ASSERT_EQ(busy.size(), 2u);
  EXPECT_EQ(busy[0].value, 1);
  EXPECT_EQ(busy[1].value, 0);
  // The exit sequence then leaves the boot monitor as on any other end.
  CloseWindow();
  EXPECT_EQ(WritesOf("x"), 1);
}

// Plugs that take their time over the switch into the boot monitor; the
// update still ends flashed.
struct SlowSwitch {
  const char* name;
  void (*configure)(sim::PlugConfig&);
};

void PrintTo(const SlowSwitch& s, std::ostream* os) { *os << s.name; }

class SlowSwitchTest : public UpdateTest, public ::testing::WithParamInterface<SlowSwitch> {};

TEST_P(SlowSwitchTest, TheUpdateEndsFlashed) {
  sim::PlugConfig config;
  GetParam().configure(config);
  TForm1& form = ReportShown(config);
  form.BUpdate->Click();
  const auto boxes = ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Plug geflasht");
  EXPECT_TRUE(plug->Flash() == ExpectedFlash());
  EXPECT_EQ(plug->ExitCount(), 1);
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
}

INSTANTIATE_TEST_SUITE_P(
    Plugs, SlowSwitchTest,
    ::testing::Values(
        // The wake-up answered after 2.2 s is still within the wait of 300
        // ticks (at least 3 s).
        SlowSwitch{"LateWakePrompt", [](sim::PlugConfig& c) { c.wakePromptDelayMs = 2200; }},
        // CTS held off 2.5 s after the monitor request: the report end,
        // written 100 ms after it, ends short at its time-out (4 + 2000 ms)
        // without an error, and the switch goes on to the wake-up at 57600,
        // which comes 3.1 s after the request, once the monitor listens.
        SlowSwitch{"CtsHeldAfterTheMonitorRequest", [](sim::PlugConfig& c) { c.ctsHoldMs = 2500; }}),
    [](const ::testing::TestParamInfo<SlowSwitch>& param) { return std::string(param.param.name); });

TEST_F(UpdateTest, WindowDestroyedInTheBootMonitorSendsTheExitBeforeClosingThePort) {
  // An adapter that still holds the exit when its queue reports empty.
  sim::AdapterFaults holds;
  holds.adapterHolds = std::chrono::milliseconds(16);
  bench.SetAdapterFaults(kCom1, holds);
  TForm1& form = ReportShown();
  // Bring the plug into its boot monitor as the update does, then end the tool.
  PlugControl control;
  ASSERT_TRUE(control.EnterMonitorMode());
  form.UpdateState = 2;
  CloseWindow();

  EXPECT_EQ(plug->ExitCount(), 1);
  const auto log = bench.Log(kCom1);
  const long exitAt = LastWriteOf("x");
  ASSERT_GE(exitAt, 0);
  // After the exit: the purge of the exit sequence, then the close.
  ASSERT_GE(log.size(), static_cast<std::size_t>(exitAt + 3));
  EXPECT_EQ(log[exitAt + 1].op, Op::Purge);
  EXPECT_EQ(log[exitAt + 1].value, 0x0Fu);
  EXPECT_EQ(log.back().op, Op::Close);
  EXPECT_TRUE(plug->Violations().empty()) << plug->Violations().front();
}

}  // namespace
}  // namespace testing_support
