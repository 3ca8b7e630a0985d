// upload_bench: the firmware update against the simulated plug, with the wire
// modelled at 57600 baud 8N1, once with a 4 KiB driver output queue ahead of
// the wire and once with only a 16-byte transmit FIFO. For each run it prints
// the upload time against the wire time, how busy the line was, the longest
// idle gap, the host's CPU time and heap allocations per line, and checks the
// plug's flash afterwards.
//
//   upload_bench [--lines N] [--only queue|fifo] [--load N]
//
// --lines N uploads only the first N lines and the end-of-file record; the
// window's Update button always takes the whole image, so such a run does
// what the button does with the shorter image (monitor switch, TFwUpdateSA,
// 'x'). --load N runs N threads that only spin, beside the update; the
// update runs as it ships (its streaming thread raises its own priority).
//
// The line's busy and idle time is the simulated transmitter's own record
// (sim::Bench::HostWireActivity): a character starts at the later of its
// arrival in the queue and the end of the one before it, whenever the
// simulator's scheduler thread woke up.
#include <fcntl.h>
#include <pthread.h>
#include <termios.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/main.h"
#include "bench/alloc_count.h"
#include "firmware/firmware_image.h"
#include "platform/queue_backend.h"
#include "platform/serial_posix.h"
#include "serial/asynccomm.h"
#include "serial/commands.h"
#include "serial/threads.h"
#include "sim/bench.h"
#include "sim/hexflash.h"
#include "update/fwupdatestringarray.h"

namespace {

using sim::Clock;
using sim::TimePoint;
using namespace std::chrono_literals;

const std::string kCom1 = "\\\\.\\COM1";
const std::string kCom2 = "\\\\.\\COM2";
const char* const kEofRecord = ":00000001FF\n";

double Sec(std::chrono::nanoseconds d) { return std::chrono::duration<double>(d).count(); }
double Ms(std::chrono::nanoseconds d) { return std::chrono::duration<double, std::milli>(d).count(); }

double ClockSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Threads that only spin, to load the machine beside the update.
class Load {
 public:
  explicit Load(int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        std::uint64_t n = 0;
        while (!stop_.load(std::memory_order_relaxed)) n = n * 6364136223846793005ULL + 1;
        sink_.fetch_add(n, std::memory_order_relaxed);
      });
    }
    for (auto& t : threads_) {
      clockid_t c{};
      if (pthread_getcpuclockid(t.native_handle(), &c) == 0) clocks_.push_back(c);
    }
  }
  ~Load() {
    stop_.store(true);
    for (auto& t : threads_) t.join();
  }
  Load(const Load&) = delete;
  Load& operator=(const Load&) = delete;

  double CpuSeconds() const;
  int Threads() const { return static_cast<int>(threads_.size()); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> sink_{0};
  std::vector<std::thread> threads_;
  std::vector<clockid_t> clocks_;
};

double Load::CpuSeconds() const {
  double sum = 0;
  for (clockid_t c : clocks_) sum += ClockSeconds(c);
  return sum;
}

const Load* gLoad = nullptr;

// What the GUI thread and the process had used at one moment.
struct HostSample {
  TimePoint wall{};
  double processCpu = 0;
  double guiCpu = 0;
  double loadCpu = 0;
  benchalloc::Counts allocs;
  long voluntarySwitches = 0;
  long involuntarySwitches = 0;
};

// Taken on the GUI thread.
HostSample TakeSample() {
  HostSample s;
  s.processCpu = ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
  s.guiCpu = ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
  s.loadCpu = gLoad != nullptr ? gLoad->CpuSeconds() : 0.0;
  s.allocs = benchalloc::Snapshot();
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  s.voluntarySwitches = ru.ru_nvcsw;
  s.involuntarySwitches = ru.ru_nivcsw;
  s.wall = Clock::now();
  return s;
}

// A window backend that shows nothing. Boxes are answered as a user would who
// confirms a notice and cancels a retry question, and kept for the check.
class NullBackend final : public tk::QueueBackend {
 public:
  void SetTitle(const std::string&) override {}
  void ControlChanged(TControl&, tk::Change) override {}
  void RepaintNow(TControl&) override {}
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    Keep(boxes_, caption + ": " + text);
    return (flags & 0x0F) == tk::kMbRetryCancel ? tk::kIdCancel : tk::kIdOk;
  }
  void Beep(unsigned) override {}
  void DebugOutput(const char* text) override { Keep(debug_, text); }
  void ShowException(const std::string& text) override { Keep(boxes_, "exception: " + text); }

  std::vector<std::string> Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }
  std::vector<std::string> Debug() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return debug_;
  }

 private:
  void Keep(std::vector<std::string>& to, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    to.push_back(std::move(text));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> boxes_;
  std::vector<std::string> debug_;
};

struct LineTimes {
  TimePoint called{};    // the write of the line was called
  TimePoint returned{};  // ... and returned: the driver had taken the whole line
};

// The serial API the product sees: the simulated bench, with the HEX lines'
// writes timed on the way. The image lines are recognised by their address,
// as the uploader hands each line's text to the write unchanged. The GUI
// thread's allocations inside the simulator are counted apart.
class MeteredSerial final : public plat::SerialApi {
 public:
  MeteredSerial(sim::Bench& bench, const char* const* image, std::size_t lines)
      : bench_(bench), image_(image), lineCount_(lines), times_(lines) {}

  plat::Handle Open(const char* path) override {
    benchalloc::SimCall sim;
    return bench_.Open(path);
  }
  bool Close(plat::Handle port) override {
    benchalloc::SimCall sim;
    return bench_.Close(port);
  }
  plat::Handle NewEvent() override {
    benchalloc::SimCall sim;
    return bench_.NewEvent();
  }
  bool ResetEvent(plat::Handle event) override {
    benchalloc::SimCall sim;
    return bench_.ResetEvent(event);
  }
  bool CloseEvent(plat::Handle event) override {
    benchalloc::SimCall sim;
    return bench_.CloseEvent(event);
  }
  bool GetState(plat::Handle port, plat::Dcb& dcb) override {
    benchalloc::SimCall sim;
    return bench_.GetState(port, dcb);
  }
  bool SetState(plat::Handle port, const plat::Dcb& dcb) override {
    benchalloc::SimCall sim;
    return bench_.SetState(port, dcb);
  }
  bool SetupQueues(plat::Handle port, std::uint32_t in, std::uint32_t out) override {
    benchalloc::SimCall sim;
    return bench_.SetupQueues(port, in, out);
  }
  bool GetTimeouts(plat::Handle port, plat::CommTimeouts& t) override {
    benchalloc::SimCall sim;
    return bench_.GetTimeouts(port, t);
  }
  bool SetTimeouts(plat::Handle port, const plat::CommTimeouts& t) override {
    benchalloc::SimCall sim;
    return bench_.SetTimeouts(port, t);
  }
  bool Purge(plat::Handle port, std::uint32_t flags) override {
    benchalloc::SimCall sim;
    return bench_.Purge(port, flags);
  }
  bool Drain(plat::Handle port, std::uint32_t timeoutMs) override {
    benchalloc::SimCall sim;
    return bench_.Drain(port, timeoutMs);
  }
  bool Escape(plat::Handle port, std::uint32_t function) override {
    benchalloc::SimCall sim;
    return bench_.Escape(port, function);
  }
  bool Read(plat::Handle port, void* buffer, std::uint32_t count, std::uint32_t* done,
            plat::Overlapped& ov) override {
    benchalloc::SimCall sim;
    return bench_.Read(port, buffer, count, done, ov);
  }

  bool Write(plat::Handle port, const void* data, std::uint32_t count, std::uint32_t* done,
             plat::Overlapped& ov) override {
    const bool gui = benchalloc::OnGuiThread();
    if (gui && next_ < lineCount_ && data == image_[next_]) {
      if (next_ == 0) start_ = TakeSample();
      current_ = next_++;
      times_[*current_].called = Clock::now();
      writeOv_ = &ov;
    }
    if (gui && count == 1 && static_cast<const std::uint8_t*>(data)[0] == cmd::kMonitorExit[0]) {
      ++exitWrites_;
      if (!exitAt_) exitAt_ = Clock::now();
    }
    bool ok;
    {
      benchalloc::SimCall sim;
      ok = bench_.Write(port, data, count, done, ov);
    }
    if (gui && current_ && (ok || plat::LastError() != plat::kErrorIoPending)) LineDone();
    return ok;
  }

  bool InQueue(plat::Handle port, std::uint32_t& count) override {
    benchalloc::SimCall sim;
    return bench_.InQueue(port, count);
  }
  bool Result(plat::Handle port, plat::Overlapped& ov, std::uint32_t* done, bool wait) override {
    bool ok;
    {
      benchalloc::SimCall sim;
      ok = bench_.Result(port, ov, done, wait);
    }
    if (benchalloc::OnGuiThread() && current_ && &ov == writeOv_ && wait) LineDone();
    return ok;
  }

  // ---- after the run ----
  std::size_t LinesWritten() const { return next_; }
  bool Complete() const { return end_.has_value(); }
  const std::vector<LineTimes>& Times() const { return times_; }
  const HostSample& Start() const { return start_; }
  const HostSample& End() const { return *end_; }
  int ExitWrites() const { return exitWrites_; }
  std::optional<TimePoint> ExitAt() const { return exitAt_; }

 private:
  void LineDone() {
    const std::size_t i = *current_;
    current_.reset();
    writeOv_ = nullptr;
    times_[i].returned = Clock::now();
    if (i + 1 == lineCount_) end_ = TakeSample();
  }

  sim::Bench& bench_;
  const char* const* image_;
  const std::size_t lineCount_;
  // GUI thread only, taken before the upload so that it allocates nothing.
  std::vector<LineTimes> times_;
  std::size_t next_ = 0;
  std::optional<std::size_t> current_;  // the line whose write is under way
  const plat::Overlapped* writeOv_ = nullptr;
  HostSample start_;
  std::optional<HostSample> end_;
  int exitWrites_ = 0;
  std::optional<TimePoint> exitAt_;
};

// The flash 0x10000..0x37FFF as the lines program it into erased flash.
std::vector<std::uint8_t> ExpectedFlash(const std::vector<const char*>& lines) {
  std::vector<std::string> text;
  for (const char* line : lines) {
    if (line == nullptr) break;
    text.emplace_back(line);
  }
  std::string error;
  return sim::FlashFromHexLines(text, error).value_or(std::vector<std::uint8_t>{});
}

// What the window's Update button does, with another image for the uploader.
void UpdateLikeTheButton(TForm1& form, const char* const* image) {
  form.BUpdate->SetEnabled(false);
  form.BExit->SetEnabled(false);
  PlugControl control;
  if (!control.EnterMonitorMode()) {
    ResetToReady(&form, &PlugPort);
    return;
  }
  form.UpdateState = 2;
  TFwUpdateSA update("", 0, form.CGauge1, form.LStatus);
  update.Image = image;
  const bool ok = update.UpdateFromImage();
  if (ok) SendToPlug(1, cmd::kMonitorExit);
  ResetToReady(&form, &PlugPort);
}

struct RunConfig {
  const char* key;    // for --only
  const char* title;
  std::size_t outQueue;
};

const RunConfig kRuns[] = {
    {"queue", "driver queue 4 KiB: a write completes once its bytes fit into a 4096-byte driver output queue",
     4096},
    {"fifo",
     "no driver queue, 16-byte FIFO: a write completes once its bytes fit into a 16-byte transmit FIFO "
     "(it returns with the last 16 bytes of the line still to send)",
     16},
};

// Runs the update once; prints its figures; true when the plug ended up right.
bool Run(const RunConfig& cfg, const std::vector<const char*>& image, bool viaButton) {
  std::printf("\n== %s\n", cfg.title);
  std::fflush(stdout);
  const std::size_t lineCount = image.size() - 1;
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < lineCount; ++i) bytes += std::strlen(image[i]);

  sim::Bench bench(sim::Timing::Wire);
  bench.SetOutQueueSize(cfg.outQueue);
  bench.AddPort(kCom1);
  bench.AddPort(kCom2);
  sim::Plug& plug = bench.Attach(kCom1);
  MeteredSerial api(bench, image.data(), lineCount);
  NullBackend ui;
  TApplication app;
  plat::SetSerial(&api);
  tk::SetBackend(&ui);
  Application = &app;

  const TimePoint t0 = Clock::now();
  Form1 = new TForm1(&app);
  app.CreateForm(Form1);
  TForm1& form = *Form1;
  form.BSearch->Click();
  while (!form.BUpdate->Enabled() && Clock::now() - t0 < 30s) {
    app.ProcessMessages();
    plat::Sleep(2);
  }
  const bool reported = form.BUpdate->Enabled();
  const TimePoint tReport = Clock::now();
  if (reported) {
    if (viaButton) {
      form.BUpdate->Click();
    } else {
      UpdateLikeTheButton(form, image.data());
    }
  }
  const TimePoint tDone = Clock::now();
  delete Form1;
  Form1 = nullptr;
  TThread::JoinAll();

  std::vector<std::string> failures;
  auto expect = [&failures](bool ok, const std::string& what) {
    if (!ok) failures.push_back(what);
  };
  expect(reported, "no report within 30 s");
  expect(api.Complete() && api.LinesWritten() == lineCount,
         "lines written whole: " + std::to_string(api.LinesWritten()) + " of " + std::to_string(lineCount));

  std::printf("  search and report         %9.3f s\n", Sec(tReport - t0));
  if (api.Complete()) {
    const auto& times = api.Times();
    const TimePoint first = times.front().called;
    const TimePoint lastReturned = times.back().returned;
    const TimePoint until = api.ExitAt().value_or(tDone);
    const auto ranDry = bench.HostWireActivity(kCom1, first, until).ranDryAt;
    const TimePoint uploadEnd = ranDry.value_or(until);
    const auto act = bench.HostWireActivity(kCom1, first, uploadEnd);
    const auto upload = uploadEnd - first;
    const auto ch = sim::CharTime(57600, 8, plat::kNoParity, plat::kOneStopBit);
    const auto wire = static_cast<std::int64_t>(bytes) * ch;

    std::printf("  monitor switch and erase  %9.3f s\n", Sec(first - tReport));
    std::printf("  upload time               %9.3f s   = wire time %.3f s + %.3f s (%.2f %% of the wire time)\n",
                Sec(upload), Sec(wire), Sec(upload - wire), 100.0 * Sec(upload) / Sec(wire));
    std::printf("  line utilisation          %9.2f %%   (a character on the wire for %.3f s)\n",
                100.0 * Sec(act.busy) / Sec(upload), Sec(act.busy));
    // The gap ends when a write puts the next byte into the queue.
    std::size_t before = lineCount;
    for (std::size_t i = 0; i < lineCount; ++i) {
      if (times[i].called >= act.longestIdleFrom) {
        before = i;
        break;
      }
    }
    std::printf("  longest idle gap          %9.4f ms  at %.3f s into the upload, before line %zu; "
                "%d idle stretches, %.4f ms idle in all\n",
                Ms(act.longestIdle), Sec(act.longestIdleFrom - first), before + 1, act.idleStretches,
                Ms(upload - act.busy));
    if (before > 0 && before < lineCount) {
      // Whose the gap was: the line before it returned late, or the host
      // took long to write the next one.
      std::printf("                            line %zu: its write blocked %.3f ms; %.3f ms from its return "
                  "to the write of line %zu\n",
                  before, Ms(times[before - 1].returned - times[before - 1].called),
                  Ms(times[before].called - times[before - 1].returned), before + 1);
    }

    // The host's side, over the host window.
    std::chrono::nanoseconds blockedSum{}, blockedMax{}, turnSum{}, turnMax{};
    for (std::size_t i = 0; i < lineCount; ++i) {
      const auto blocked = times[i].returned - times[i].called;
      blockedSum += blocked;
      blockedMax = std::max(blockedMax, std::chrono::nanoseconds(blocked));
      if (i > 0) {
        const auto turn = times[i].called - times[i - 1].returned;
        turnSum += turn;
        turnMax = std::max(turnMax, std::chrono::nanoseconds(turn));
      }
    }
    const double n = static_cast<double>(lineCount);
    std::printf("  line writes               blocked %.3f ms a line (max %.3f ms); from a write's return to "
                "the next line's write %.3f ms (max %.3f ms)\n",
                Ms(blockedSum) / n, Ms(blockedMax), lineCount > 1 ? Ms(turnSum) / (n - 1) : 0.0, Ms(turnMax));
    // How late the host came back from each write: the write was due to
    // complete when its last byte found room in the queue, which the writes
    // alone give (a character starts at the later of its arrival and the end
    // of the one before).
    {
      const auto log = bench.Log(kCom1);
      std::chrono::nanoseconds lateSum{}, lateMax{};
      std::size_t lateOver1ms = 0, line = 0;
      TimePoint end{};
      for (const auto& w : log) {
        if (w.op != sim::HostLogEntry::Op::Write || w.bytes.empty()) continue;
        const auto chr = sim::CharTime(w.dcb);
        end = std::max(w.time, end) + static_cast<std::int64_t>(w.bytes.size()) * chr;
        if (w.time < first || line >= lineCount) continue;
        const TimePoint due = std::max(w.time, end - static_cast<std::int64_t>(cfg.outQueue) * chr);
        const auto late = std::max(std::chrono::nanoseconds(0), std::chrono::nanoseconds(times[line].returned - due));
        lateSum += late;
        lateMax = std::max(lateMax, late);
        if (late > 1ms) ++lateOver1ms;
        ++line;
      }
      std::printf("  host's return from writes %9.3f ms after the write was due to complete, on average (max %.3f ms; "
                  "%zu lines over 1 ms)\n",
                  Ms(lateSum) / n, Ms(lateMax), lateOver1ms);
    }
    const HostSample& s = api.Start();
    const HostSample& e = api.End();
    const auto hostWindow = lastReturned - first;
    const double cpu = e.processCpu - s.processCpu;
    const double guiCpu = e.guiCpu - s.guiCpu;
    std::printf("  host window               %9.3f s\n", Sec(hostWindow));
    const double loadCpu = e.loadCpu - s.loadCpu;
    std::printf("  CPU time of the process   %9.3f s   (%.2f %% of the host window); GUI thread %.3f s, "
                "simulator %.3f s, load threads %.3f s\n",
                cpu, 100.0 * cpu / Sec(hostWindow), guiCpu, cpu - guiCpu - loadCpu, loadCpu);
    std::printf("  GUI thread switches       %9ld voluntary, %ld involuntary (%.2f and %.2f a line)\n",
                e.voluntarySwitches - s.voluntarySwitches, e.involuntarySwitches - s.involuntarySwitches,
                static_cast<double>(e.voluntarySwitches - s.voluntarySwitches) / n,
                static_cast<double>(e.involuntarySwitches - s.involuntarySwitches) / n);
    const double all = static_cast<double>(e.allocs.all - s.allocs.all);
    const double gui = static_cast<double>(e.allocs.gui - s.allocs.gui);
    const double guiSim = static_cast<double>(e.allocs.guiSim - s.allocs.guiSim);
    std::printf("  heap allocations          %9.0f = %.2f a line: product code on the GUI thread %.2f, "
                "simulator calls %.2f, other threads %.2f\n",
                all, all / n, (gui - guiSim) / n, guiSim / n, (all - gui) / n);
    if (api.ExitAt()) std::printf("  final prompt until 'x'    %9.3f s\n", Sec(*api.ExitAt() - uploadEnd));
    expect(ranDry.has_value(), "the transmitter never ran dry before 'x'");
  }
  std::printf("  whole run                 %9.3f s\n", Sec(tDone - t0));

  expect(plug.Flash() == ExpectedFlash(image), "flash differs from the image");
  expect(api.ExitWrites() == 1, "'x' written " + std::to_string(api.ExitWrites()) + " times");
  expect(plug.ExitCount() == 1, "'x' seen " + std::to_string(plug.ExitCount()) + " times by the plug");
  expect(plug.EraseCount() == 1, "erased " + std::to_string(plug.EraseCount()) + " times");
  for (const auto& v : plug.Violations()) expect(false, "plug: " + v);
  for (const auto& v : plug.Errors()) expect(false, "plug error: " + v);
  const auto boxes = ui.Boxes();
  if (viaButton) {
    expect(boxes.size() == 1 && boxes[0].rfind("Plug geflasht:", 0) == 0, "not the one success box");
    expect(app.Terminated(), "the tool did not end after the update");
  } else {
    expect(boxes.empty(), "message boxes shown");
  }
  for (const auto& b : boxes) {
    if (b.rfind("Plug geflasht:", 0) != 0) expect(false, "box " + b);
  }
  expect(bench.OpenHandleCount() == 0, "a port was left open");
  expect(bench.LiveEventCount() == 0, "an event was left behind");
  expect(TThread::LiveCount() == 0, "a thread was left running");

  if (failures.empty()) {
    std::printf("  check                     PASS (flash equals the image, 'x' written once and seen once by "
                "the plug, no protocol violations%s)\n",
                viaButton ? ", success box" : "");
  } else {
    std::printf("  check                     FAIL\n");
    for (const auto& f : failures) std::printf("    - %s\n", f.c_str());
  }
  std::fflush(stdout);

  Application = nullptr;
  tk::SetBackend(nullptr);
  plat::SetSerial(nullptr);
  return failures.empty();
}

// The product's serial path on the real POSIX backend: every line through
// TAsyncComm::WriteData onto a pseudo-terminal whose other end a thread
// drains, with the writing thread's heap allocations (the product's code and
// the backend's together) counted over the lines.
bool SerialPathOnPosix(const std::vector<const char*>& image) {
  std::printf("\n== serial path on the POSIX backend: TAsyncComm::WriteData of every line onto a pseudo-terminal\n");
  const std::size_t lineCount = image.size() - 1;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname(master) == nullptr) {
    std::printf("  check                     FAIL (no pseudo-terminal)\n");
    if (master >= 0) ::close(master);
    return false;
  }
  const std::string slave = ::ptsname(master);
  termios raw{};
  if (::tcgetattr(master, &raw) == 0) {
    ::cfmakeraw(&raw);  // the other end only takes the bytes: no echo, no line editing
    ::tcsetattr(master, TCSANOW, &raw);
  }
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> received{0};
  std::thread drain([&] {
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    char buf[4096];
    while (!stop.load(std::memory_order_acquire)) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) {
        received.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
      } else {
        std::this_thread::sleep_for(100us);
      }
    }
  });

  plat::PosixSerial api;
  NullBackend ui;
  TApplication app;
  plat::SetSerial(&api);
  tk::SetBackend(&ui);
  Application = &app;
  std::uint64_t bytes = 0;
  std::size_t whole = 0;
  benchalloc::Counts before, after;
  TimePoint t0{}, t1{};
  const plat::Handle port = api.Open(slave.c_str());
  if (port != plat::InvalidHandle()) {
    TAsyncComm comm(nullptr);
    comm.AttachPort(port);
    comm.SetLine(2, false);
    before = benchalloc::Snapshot();
    t0 = Clock::now();
    for (std::size_t i = 0; i < lineCount; ++i) {
      const int n = static_cast<int>(std::strlen(image[i]));
      if (comm.WriteData(n, image[i]) == n) ++whole;
      bytes += static_cast<std::uint64_t>(n);
    }
    t1 = Clock::now();
    after = benchalloc::Snapshot();
    comm.Drain();
    // What the other end has not read yet is lost when the port closes.
    const auto end = Clock::now() + 10s;
    while (received.load() < bytes && Clock::now() < end) std::this_thread::sleep_for(1ms);
  }
  if (port != plat::InvalidHandle()) api.Close(port);
  stop.store(true, std::memory_order_release);
  drain.join();
  ::close(master);
  Application = nullptr;
  tk::SetBackend(nullptr);
  plat::SetSerial(nullptr);

  const std::uint64_t allocs = after.gui - before.gui;
  std::printf("  lines written whole       %9zu of %zu in %.3f s (a pseudo-terminal has no line speed); "
              "%llu bytes, %llu arrived\n",
              whole, lineCount, Sec(t1 - t0), static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(received.load()));
  std::printf("  heap allocations          %9llu = %.2f a line on the writing thread (TAsyncComm and the POSIX "
              "backend)\n",
              static_cast<unsigned long long>(allocs), static_cast<double>(allocs) / static_cast<double>(lineCount));
  const bool pass = port != plat::InvalidHandle() && whole == lineCount && received == bytes && allocs == 0;
  std::printf("  check                     %s\n", pass ? "PASS (every line whole, every byte arrived, no allocation)"
                                                       : "FAIL");
  std::fflush(stdout);
  return pass;
}

int Usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--lines N] [--only queue|fifo|posix] [--load N]\n", program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  benchalloc::MarkGuiThread();
  std::size_t total = FirmwareImageLineCount;
  std::size_t lines = total;
  const char* only = nullptr;
  int loadThreads = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--lines" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long v = std::strtoul(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || v == 0) return Usage(argv[0]);
      lines = std::min<std::size_t>(v, total);
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
      if (std::strcmp(only, "queue") != 0 && std::strcmp(only, "fifo") != 0 && std::strcmp(only, "posix") != 0) {
        return Usage(argv[0]);
      }
    } else if (arg == "--load" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long v = std::strtoul(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || v > 64) return Usage(argv[0]);
      loadThreads = static_cast<int>(v);
    } else {
      return Usage(argv[0]);
    }
  }
  if (total == 0 || std::strcmp(FirmwareImage[total - 1], kEofRecord) != 0) {
    std::fprintf(stderr, "the built-in image does not end in the end-of-file record\n");
    return 2;
  }

  // The whole image through the window's button, or a prefix and the
  // end-of-file record.
  const bool whole = lines >= total - 1;
  std::vector<const char*> image;
  if (whole) {
    image.assign(FirmwareImage, FirmwareImage + total);
  } else {
    image.assign(FirmwareImage, FirmwareImage + lines);
    image.push_back(FirmwareImage[total - 1]);
  }
  image.push_back(nullptr);
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i + 1 < image.size(); ++i) bytes += std::strlen(image[i]);
  const auto ch = sim::CharTime(57600, 8, plat::kNoParity, plat::kOneStopBit);

  std::printf("upload_bench: the update of the simulated plug, wire modelled at 57600 baud 8N1\n");
  std::printf("image: %zu lines, %llu bytes (%s)\n", image.size() - 1, static_cast<unsigned long long>(bytes),
              whole ? "the built-in image, through the window's Update button"
                    : "a prefix of the built-in image and its end-of-file record, as the Update button would");
  std::printf("wire time: %llu bytes x 10 bits / 57600 baud = %.2f s\n", static_cast<unsigned long long>(bytes),
              Sec(static_cast<std::int64_t>(bytes) * ch));
  std::printf(
      "definitions:\n"
      "  upload time       from the call that writes the first HEX line to the moment the plug has\n"
      "                    received the last byte of the last line (the end-of-file record)\n"
      "  line utilisation  time with a character on the host->plug wire / upload time\n"
      "  idle gap          a stretch of the upload time without a character on the wire: the\n"
      "                    transmitter had nothing to send\n"
      "  host window       from the call that writes the first HEX line to the return of the last\n"
      "                    line's write; write timings, CPU time and allocations are taken over it\n"
      "  line utilisation and idle gaps are the simulated transmitter's own record: a character\n"
      "                    starts at the later of its arrival in the queue and the end of the one\n"
      "                    before it\n"
      "  CPU time          CLOCK_PROCESS_CPUTIME_ID of the whole process; the GUI thread's own by\n"
      "                    CLOCK_THREAD_CPUTIME_ID; the load threads' by their own clocks; the rest is\n"
      "                    the simulator's wire scheduler, which wakes once per character\n"
      "  heap allocations  calls of the replaced global operator new/new[]; \"product code\" is the\n"
      "                    GUI thread outside calls into the simulated serial API (the window backend\n"
      "                    shows nothing); malloc calls from the C library are not counted; the last\n"
      "                    run counts the product's serial path on the real POSIX backend\n");
  std::printf("load: %d busy thread%s beside the update, on %u cores\n", loadThreads, loadThreads == 1 ? "" : "s",
              std::thread::hardware_concurrency());

  Load load(loadThreads);
  gLoad = &load;
  bool pass = true;
  for (const auto& run : kRuns) {
    if (only != nullptr && std::strcmp(only, run.key) != 0) continue;
    pass = Run(run, image, whole) && pass;
  }
  if (only == nullptr || std::strcmp(only, "posix") == 0) pass = SerialPathOnPosix(image) && pass;
  gLoad = nullptr;
  std::printf("\n%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}
