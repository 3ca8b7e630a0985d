// The fuzz targets' checks beyond "no crash": a failed check stops the process
// with its message, which libFuzzer and the corpus replay report as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzing {

// Stops the process with a message: the input showed a fault.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

}  // namespace fuzzing
