#include "bench/alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace benchalloc {
namespace {

std::atomic<std::uint64_t> gAll{0};
std::atomic<std::uint64_t> gGui{0};
std::atomic<std::uint64_t> gGuiSim{0};
thread_local bool tGui = false;
thread_local int tSimDepth = 0;

void Count() {
  gAll.fetch_add(1, std::memory_order_relaxed);
  if (tGui) {
    gGui.fetch_add(1, std::memory_order_relaxed);
    if (tSimDepth > 0) gGuiSim.fetch_add(1, std::memory_order_relaxed);
  }
}

void* Allocate(std::size_t n) {
  Count();
  return std::malloc(n == 0 ? 1 : n);
}

void* AllocateAligned(std::size_t n, std::align_val_t al) {
  Count();
  std::size_t alignment = static_cast<std::size_t>(al);
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* p = nullptr;
  if (posix_memalign(&p, alignment, n == 0 ? 1 : n) != 0) return nullptr;
  return p;
}

void* OrThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

Counts Snapshot() {
  Counts c;
  c.all = gAll.load(std::memory_order_relaxed);
  c.gui = gGui.load(std::memory_order_relaxed);
  c.guiSim = gGuiSim.load(std::memory_order_relaxed);
  return c;
}

void MarkGuiThread() { tGui = true; }
bool OnGuiThread() { return tGui; }

SimCall::SimCall() { ++tSimDepth; }
SimCall::~SimCall() { --tSimDepth; }

}  // namespace benchalloc

// The replacements: all forms, so that every pair of new and delete matches.
void* operator new(std::size_t n) { return benchalloc::OrThrow(benchalloc::Allocate(n)); }
void* operator new[](std::size_t n) { return benchalloc::OrThrow(benchalloc::Allocate(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return benchalloc::Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return benchalloc::Allocate(n); }
void* operator new(std::size_t n, std::align_val_t al) {
  return benchalloc::OrThrow(benchalloc::AllocateAligned(n, al));
}
void* operator new[](std::size_t n, std::align_val_t al) {
  return benchalloc::OrThrow(benchalloc::AllocateAligned(n, al));
}
void* operator new(std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  return benchalloc::AllocateAligned(n, al);
}
void* operator new[](std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  return benchalloc::AllocateAligned(n, al);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
