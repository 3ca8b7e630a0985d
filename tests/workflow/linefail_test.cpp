// Discovery when the port refuses its line settings: the message boxes and
// diagnostics of a visible search, and the port closed again.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/main.h"
#include "discovery/searchplug.h"
#include "serial/asynccomm.h"
#include "serial/threads.h"
#include "tests/support/seam_fixture.h"
#include "tests/support/scripted_serial.h"

namespace testing_support {
namespace {

class LineFailTest : public SeamFixture {
 protected:
  LineFailTest() : SeamFixture(serial) {}
  ScriptedSerial serial;
  TStringList log;
};

TEST_F(LineFailTest, UnreadableSettingsAreShownAndThePortClosed) {
  serial.getStateError = 31;
  TAsyncComm comm(nullptr);
  TSuchePlug search(&comm, &log, true);
  EXPECT_EQ(search.Probe("\\\\.\\COM1"), nullptr);
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, "Error getting DCB\nGetLastError: 31");
  EXPECT_EQ(ui.Boxes()[0].caption, "FEHLER");
  EXPECT_EQ(ui.Boxes()[0].value, 0);
  EXPECT_EQ(log.Lines().back(), "GetCommState failed, GetLastError: #31");
  EXPECT_EQ(serial.closes, 1);
  EXPECT_EQ(search.PortHandle, nullptr);
}

TEST_F(LineFailTest, RefusedSettingsAreShownAndThePortClosed) {
  serial.setStateError = 87;
  TAsyncComm comm(nullptr);
  TSuchePlug search(&comm, &log, true);
  EXPECT_EQ(search.Probe("\\\\.\\COM1"), nullptr);
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, "Error setting DCB");
  EXPECT_EQ(log.Lines().back(), "SetCommState failed");
  EXPECT_EQ(serial.closes, 1);
}

TEST_F(LineFailTest, SilentSearchShowsNothing) {
  serial.setStateError = 87;
  TAsyncComm comm(nullptr);
  TSuchePlug search(&comm, nullptr, false);
  EXPECT_EQ(search.FindPlug().handle, nullptr);
  ASSERT_EQ(search.Failures.size(), 2u);
  for (const ProbeFailure& f : search.Failures) {
    EXPECT_EQ(f.why, ProbeFault::SettingsRefused) << f.port;
    EXPECT_EQ(f.code, 87u) << f.port;
  }
  EXPECT_TRUE(ui.Boxes().empty());
  EXPECT_EQ(serial.closes, 2);
}

TEST_F(LineFailTest, FastLineFailureClosesThePort) {
  TAsyncComm comm(nullptr);
  TSuchePlug search(&comm, &log, true);
  search.PortHandle = serial.Open("\\\\.\\COM1");
  serial.setStateError = 87;
  EXPECT_FALSE(search.SetFastLine());
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, "Error setting the DCB");
  EXPECT_EQ(search.PortHandle, nullptr);
  EXPECT_GE(serial.closes, 1);

  // Queue advice refused for another reason than "not supported" is still
  // only advice: it is logged, and the port goes on to its fast line.
  serial.setStateError = 0;
  serial.setupQueuesError = 31;
  search.PortHandle = serial.Open("\\\\.\\COM1");
  const int closes = serial.closes;
  EXPECT_TRUE(search.SetFastLine());
  EXPECT_EQ(serial.closes, closes);
  EXPECT_NE(search.PortHandle, nullptr);
  EXPECT_EQ(ui.Boxes().size(), 1u) << "no box for the queue sizes";
  const auto& lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "SetupComm failed, GetLastError: #31"), lines.end());
  const auto debug = ui.EventsOf(Event::Kind::Debug);
  EXPECT_TRUE(std::any_of(debug.begin(), debug.end(),
                          [](const Event& e) { return e.text == "SetupComm failed, GetLastError: #31\n"; }));
}

TEST_F(LineFailTest, MonitorSwitchStopsAtItsFirstFailedWriteButNotAtAShortOne) {
  serial.write = ScriptedSerial::WriteOutcome::FailAtOnce;
  auto* comm = new TAsyncComm(nullptr);
  comm->AttachPort(serial.Open("\\\\.\\COM1"));
  SharedComm.store(comm);
  PlugControl control;
  EXPECT_FALSE(control.EnterMonitorMode());
  EXPECT_EQ(serial.writeCalls, 1);
  ASSERT_EQ(ui.Boxes().size(), 1u);
  EXPECT_EQ(ui.Boxes()[0].text, "Fehler beim Schreiben auf COM");

  // Writes that end short at their time-out, the monitor request's first (a
  // plug that holds CTS off before it): the switch goes on to its wake-up.
  serial.write = ScriptedSerial::WriteOutcome::PendingShort;
  serial.writeCalls = 0;
  EXPECT_FALSE(control.EnterMonitorMode());
  EXPECT_EQ(serial.writeCalls, 3);  // request, report end, wake-up
  EXPECT_EQ(ui.Boxes().size(), 1u);
  SharedComm.store(nullptr);
  delete comm;
}

}  // namespace
}  // namespace testing_support
