// Soak run: many whole updates in one process, each through the real window
// against a fresh simulated plug (no wire timing): search, report, Update
// button, erase, upload of the built-in image, monitor exit, success box.
// After every update the process must be back where it was: the same number
// of threads and open file descriptors, no port or event left open in the
// simulated backend, no thread left unjoined, and no more live heap blocks
// than after the warm-up updates (counted by replacing the global operator
// new and delete in this program; mallinfo2's bytes in use are shown too).
//
// PLUG_SOAK_UPDATES sets the number of updates (default 3, the CI run); the
// figures of every update are printed.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <new>
#include <string>
#include <vector>

#include "app/main.h"
#include "firmware/firmware_image.h"
#include "sim/bench.h"
#include "sim/hexflash.h"
#include "tests/support/recording_toolkit.h"

// ---- live heap blocks: every global operator new and delete of the program --

namespace {
std::atomic<long> gLiveBlocks{0};

void* Allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

const std::string kCom1 = "\\\\.\\COM1";
const std::string kCom2 = "\\\\.\\COM2";

int Entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    closedir(d);
  }
  return n;
}

struct Figures {
  int threads;
  int fds;  // the listing's own descriptor included, the same every time
  long liveBlocks;
  std::size_t heapInUse;
};

Figures Measure() {
  return Figures{Entries("/proc/self/task"), Entries("/proc/self/fd"), gLiveBlocks.load(),
                 mallinfo2().uordblks};
}

int Updates() {
  const char* v = std::getenv("PLUG_SOAK_UPDATES");
  const int n = v != nullptr ? std::atoi(v) : 3;
  return std::max(n, 3);
}

// One whole update in a fresh world; false with a reason when it went wrong.
::testing::AssertionResult OneUpdate(const std::vector<std::uint8_t>& expectedFlash) {
  sim::Bench bench;
  testing_support::RecordingBackend ui;
  TApplication app;
  plat::SetSerial(&bench);
  tk::SetBackend(&ui);
  Application = &app;
  sim::Plug& plug = bench.Attach(kCom1);
  bench.AddPort(kCom2);

  Form1 = new TForm1(&app);
  app.CreateForm(Form1);
  Form1->BSearch->Click();
  const bool reported = ui.PumpUntil([] { return Form1->BUpdate->Enabled(); }, std::chrono::seconds(30));
  if (reported) Form1->BUpdate->Click();
  delete Form1;
  Form1 = nullptr;
  TThread::JoinAll();
  Application = nullptr;

  const auto boxes = ui.Boxes();
  const int openHandles = bench.OpenHandleCount();
  const int liveEvents = bench.LiveEventCount();
  if (!reported) {
    // What the search told the debugger output, and the boxes, say why.
    auto failure = ::testing::AssertionFailure() << "no version report";
    for (const auto& e : ui.Events()) {
      if (e.kind == testing_support::Event::Kind::Debug) failure << "\n  " << e.text;
      if (e.kind == testing_support::Event::Kind::Box) failure << "\n  box: " << e.caption;
    }
    return failure;
  }
  if (boxes.size() != 1 || boxes[0].caption != "Plug geflasht") return ::testing::AssertionFailure() << "no success box";
  if (plug.Flash() != expectedFlash) return ::testing::AssertionFailure() << "the flash is not the image";
  if (plug.ExitCount() != 1) return ::testing::AssertionFailure() << "'x' seen " << plug.ExitCount() << " times";
  if (!plug.Violations().empty()) return ::testing::AssertionFailure() << plug.Violations().front();
  if (openHandles != 0 || liveEvents != 0) {
    return ::testing::AssertionFailure() << openHandles << " ports and " << liveEvents << " events left open";
  }
  if (TThread::UnjoinedCount() != 0) return ::testing::AssertionFailure() << "a thread was left unjoined";
  return ::testing::AssertionSuccess();
}

TEST(Soak, RepeatedUpdatesLeaveNothingBehind) {
  std::vector<std::string> lines(FirmwareImage, FirmwareImage + FirmwareImageLineCount);
  std::string error;
  const auto flash = sim::FlashFromHexLines(lines, error);
  ASSERT_TRUE(flash.has_value()) << error;
  lines.clear();
  lines.shrink_to_fit();

  const int updates = Updates();
  // The first updates make what lives for the whole process (thread
  // registry, static buffers): the steady state is taken after them.
  constexpr int kWarmUp = 2;
  Figures steady{};
  Figures peak{};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= updates; ++i) {
    ASSERT_TRUE(OneUpdate(*flash)) << "update " << i;
    const Figures f = Measure();
    std::printf("soak: update %d: threads %d, fds %d, live heap blocks %ld, heap in use %zu bytes\n", i, f.threads,
                f.fds, f.liveBlocks, f.heapInUse);
    if (i == kWarmUp) steady = peak = f;
    if (i <= kWarmUp) continue;
    EXPECT_EQ(f.threads, steady.threads) << "update " << i;
    EXPECT_EQ(f.fds, steady.fds) << "update " << i;
    EXPECT_LE(f.liveBlocks, steady.liveBlocks) << "update " << i << ": heap blocks grow";
    peak.liveBlocks = std::max(peak.liveBlocks, f.liveBlocks);
    peak.heapInUse = std::max(peak.heapInUse, f.heapInUse);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("soak: %d updates in %.1f s (%.2f s each); after update %d: %d threads, %d fds, %ld live heap blocks, "
              "%zu bytes in use; highest after it: %ld blocks, %zu bytes\n",
              updates, seconds, seconds / updates, kWarmUp, steady.threads, steady.fds, steady.liveBlocks,
              steady.heapInUse, peak.liveBlocks, peak.heapInUse);
}

}  // namespace
