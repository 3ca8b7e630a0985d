// Runs a fuzz target's entry on given files, or on every file of given
// folders, without the fuzzer: how the normal and sanitizer builds replay the
// committed corpus (and a found input) as a test. PLUG_FUZZ_REPEAT=N runs
// each input N times and prints the resident set size after each input, to
// show slow growth that no single run reveals.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Run(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot open\n", file.string().c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const char* repeat = std::getenv("PLUG_FUZZ_REPEAT");
  const long times = repeat != nullptr ? std::max(1L, std::atol(repeat)) : 1;
  std::printf("%s: %zu bytes\n", file.string().c_str(), bytes.size());
  std::fflush(stdout);
  for (long i = 0; i < times; ++i) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  if (times > 1) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) std::printf("  after %ld runs: %s\n", times, line.c_str());
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        if (!Run(entry.path())) return 1;
        ++runs;
      }
    } else {
      if (!Run(arg)) return 1;
      ++runs;
    }
  }
  std::printf("%d inputs, no fault\n", runs);
  return runs > 0 ? 0 : 1;
}
