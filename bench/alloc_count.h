// Heap allocation counts of the benchmark program: every operator new and
// new[] of the process goes through the replacements in alloc_count.cpp.
// Allocations that bypass them (malloc and friends called by the C library or
// by code that calls them directly) are not seen.
#pragma once

#include <cstdint>

namespace benchalloc {

struct Counts {
  std::uint64_t all = 0;     // every thread
  std::uint64_t gui = 0;     // the thread marked as the GUI thread
  std::uint64_t guiSim = 0;  // ... while it was inside a call into the simulator
};

Counts Snapshot();

// Marks the calling thread as the GUI thread.
void MarkGuiThread();
bool OnGuiThread();

// While one lives, the GUI thread's allocations count as the simulator's.
class SimCall {
 public:
  SimCall();
  ~SimCall();
  SimCall(const SimCall&) = delete;
  SimCall& operator=(const SimCall&) = delete;
};

}  // namespace benchalloc
