// A test host that drives a plat::SerialApi the way the tool does: mode
// strings, the identification sequence with real sleeps, reads on a worker
// thread, overlapped writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/modestring.h"
#include "platform/serial_api.h"
#include "platform/thread.h"
#include "sim/plug.h"

namespace simtest {

// Reads `count` bytes, one Read per `chunk` bytes, noting when each chunk
// completed.
class ReadThread final : public TThread {
 public:
  ReadThread(plat::SerialApi& api, plat::Handle port, std::uint32_t count, std::uint32_t chunk)
      : api_(api), port_(port), count_(count), chunk_(chunk) {}
  ~ReadThread() override {
    Terminate();
    WaitFor();
  }

  bool waitForStop = false;  // read only after a stop request
  std::vector<std::uint8_t> bytes;
  std::vector<sim::TimePoint> times;
  bool ok = true;
  std::uint32_t error = 0;

 protected:
  void Execute() override {
    while (waitForStop && !Terminated()) plat::Sleep(1);
    plat::Overlapped ov;
    ov.hEvent = api_.NewEvent();
    while (bytes.size() < count_) {
      const std::uint32_t n = std::min<std::uint32_t>(chunk_, count_ - static_cast<std::uint32_t>(bytes.size()));
      std::vector<std::uint8_t> buf(n);
      std::uint32_t done = 0;
      if (!api_.Read(port_, buf.data(), n, &done, ov)) {
        if (plat::LastError() != plat::kErrorIoPending || !api_.Result(port_, ov, &done, true)) {
          ok = false;
          error = plat::LastError();
          break;
        }
      }
      times.push_back(sim::Clock::now());
      bytes.insert(bytes.end(), buf.begin(), buf.begin() + done);
    }
    api_.CloseEvent(ov.hEvent);
  }

 private:
  plat::SerialApi& api_;
  plat::Handle port_;
  std::uint32_t count_;
  std::uint32_t chunk_;
};

class Host {
 public:
  Host(plat::SerialApi& api, const char* name) : api_(api) {
    port_ = api_.Open(name);
    EXPECT_NE(port_, plat::InvalidHandle()) << name << " error " << plat::LastError();
    ov_.hEvent = api_.NewEvent();
  }
  ~Host() {
    if (port_ != plat::InvalidHandle()) api_.Close(port_);
    api_.CloseEvent(ov_.hEvent);
  }

  plat::Handle Port() const { return port_; }

  // Line settings from a mode string plus extra flow settings.
  void Line(const char* mode, bool ctsFlow = false, std::uint8_t rts = 0xFF, std::uint8_t dtr = 0xFF) {
    plat::Dcb d;
    ASSERT_TRUE(api_.GetState(port_, d));
    ASSERT_TRUE(plat::ApplyModeString(d, mode));
    d.fOutxCtsFlow = ctsFlow;
    if (rts != 0xFF) d.fRtsControl = rts;
    if (dtr != 0xFF) d.fDtrControl = dtr;
    ASSERT_TRUE(api_.SetState(port_, d));
  }

  // The serial Plug-and-Play enumeration at 1200 7N1.
  void Identify(const char* mode = "baud=1200 parity=N data=7 stop=1", int wait = 200) {
    Line(mode, false, plat::kRtsControlDisable, plat::kDtrControlDisable);
    api_.Escape(port_, plat::kClrRts);
    api_.Escape(port_, plat::kSetDtr);
    plat::Sleep(static_cast<std::uint32_t>(wait));
    api_.Escape(port_, plat::kClrDtr);
    plat::Sleep(static_cast<std::uint32_t>(wait));
    api_.Escape(port_, plat::kSetDtr);
    plat::Sleep(static_cast<std::uint32_t>(wait));
    api_.Escape(port_, plat::kSetRts);
  }

  void ToSetupLine() { Line("baud=115200 parity=N data=8 stop=1", true, plat::kRtsControlHandshake); }
  void ToMonitorLine() { Line("baud=57600 parity=N data=8 stop=1"); }

  // Writes and waits; false with the error code on failure.
  bool Write(const std::string& s, std::uint32_t* written = nullptr) {
    std::uint32_t done = 0;
    bool ok = api_.Write(port_, s.data(), static_cast<std::uint32_t>(s.size()), &done, ov_);
    if (!ok && plat::LastError() == plat::kErrorIoPending) ok = api_.Result(port_, ov_, &done, true);
    if (written) *written = done;
    return ok;
  }

  // Reads `count` bytes on a worker thread; gives what came within `limit`
  // (an unfinished read is then aborted by a purge).
  std::string Read(std::uint32_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(1000),
                   std::uint32_t chunk = 0xFFFFFFFF) {
    ReadThread r(api_, port_, count, chunk);
    r.Resume();
    const auto end = sim::Clock::now() + limit;
    while (!r.Control()->Finished() && sim::Clock::now() < end) plat::Sleep(2);
    if (!r.Control()->Finished()) api_.Purge(port_, plat::kPurgeRxAbort);
    r.WaitFor();
    lastTimes = r.times;
    lastError = r.ok ? 0 : r.error;
    return std::string(r.bytes.begin(), r.bytes.end());
  }

  std::vector<sim::TimePoint> lastTimes;
  std::uint32_t lastError = 0;

 private:
  plat::SerialApi& api_;
  plat::Handle port_ = plat::InvalidHandle();
  plat::Overlapped ov_;
};

}  // namespace simtest
