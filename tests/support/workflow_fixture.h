// The real main window against simulated plugs on COM1 and COM2, with the
// recording toolkit, real threads and real time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/main.h"
#include "serial/asynccomm.h"
#include "sim/bench.h"
#include "tests/support/seam_fixture.h"

namespace testing_support {

inline const std::string kCom1 = "\\\\.\\COM1";
inline const std::string kCom2 = "\\\\.\\COM2";

class WorkflowTest : public SeamFixture {
 protected:
  explicit WorkflowTest(sim::Timing timing = sim::Timing::Instant) : SeamFixture(bench), bench(timing) {
    bench.AddPort(kCom1);
    bench.AddPort(kCom2);
  }

  void TearDown() override {
    CloseWindow();
    TThread::JoinAll();
    EXPECT_EQ(bench.OpenHandleCount(), 0) << "a port was left open";
    EXPECT_EQ(bench.LiveEventCount(), 0) << "an event was left behind";
  }

  // Builds and shows the main window, as the program entry does.
  TForm1& OpenWindow() {
    Form1 = new TForm1(&app);
    app.CreateForm(Form1);
    return *Form1;
  }

  // Destroys the window: its exit sequence runs.
  void CloseWindow() {
    delete Form1;
    Form1 = nullptr;
  }

  // Pumps the window's events until the report has been shown.
  bool WaitForReport(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    return ui.PumpUntil([] { return Form1->BUpdate->Enabled(); }, timeout);
  }

  // Everything the host wrote to a port, in order.
  std::vector<std::uint8_t> Sent(const std::string& port) { return bench.HostBytes(port); }

  // The writes to a port, one entry per write call.
  std::vector<std::vector<std::uint8_t>> Writes(const std::string& port) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& e : bench.Log(port)) {
      if (e.op == sim::HostLogEntry::Op::Write) out.push_back(e.bytes);
    }
    return out;
  }

  sim::Bench bench;
};

inline std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace testing_support
