// plugemu: the simulated plug on a pseudo-terminal. Prints the slave path for
// a program to open as its serial port; on Ctrl+C (or SIGTERM) prints what the
// plug saw: exits, flash against a HEX file, violations.
//
//   plugemu [--hex FILE] [--product NNNN] [--banner TEXT] [--silent]
//           [--erase-ms N] [--link PATH]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sim/plug.h"
#include "sim/pty_link.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop = true; }

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The flash as it should be after erasing and loading the file.
std::optional<std::vector<std::uint8_t>> FlashFromHexFile(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::vector<std::uint8_t> flash(sim::kFlashSize, 0xFF);
  std::uint32_t upper = 0;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    std::vector<std::uint8_t> b;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      const int hi = Hex(line[i]);
      const int lo = Hex(line[i + 1]);
      if (hi < 0 || lo < 0) break;
      b.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    if (line[0] != ':' || b.size() < 5 || b.size() != b[0] + 5u) {
      error = path + ":" + std::to_string(number) + ": not an Intel HEX record";
      return std::nullopt;
    }
    if (b[3] == 0x04) upper = (std::uint32_t{b[4]} << 8) | b[5];
    if (b[3] == 0x01) break;
    if (b[3] != 0x00) continue;
    const std::uint32_t base = (upper << 16) + (std::uint32_t{b[1]} << 8) + b[2];
    for (std::uint32_t i = 0; i < b[0]; ++i) {
      const std::uint32_t a = base + i;
      if (a < sim::kFlashBase || a > sim::kFlashEnd) {
        error = path + ":" + std::to_string(number) + ": address outside the flash";
        return std::nullopt;
      }
      flash[a - sim::kFlashBase] = b[4 + i];
    }
  }
  return flash;
}

int Usage() {
  std::fprintf(stderr,
               "usage: plugemu [--hex FILE] [--product NNNN] [--banner TEXT] [--silent]\n"
               "               [--erase-ms N] [--link PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sim::PlugConfig config;
  std::string hexPath;
  std::string linkPath;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--hex" && hasValue) {
      hexPath = argv[++i];
    } else if (a == "--product" && hasValue) {
      config.product = argv[++i];
    } else if (a == "--banner" && hasValue) {
      config.banner = argv[++i];
    } else if (a == "--erase-ms" && hasValue) {
      config.eraseTimeMs = std::atoi(argv[++i]);
    } else if (a == "--link" && hasValue) {
      linkPath = argv[++i];
    } else if (a == "--silent") {
      config.silent = true;
    } else {
      return Usage();
    }
  }

  std::optional<std::vector<std::uint8_t>> expected;
  if (!hexPath.empty()) {
    std::string error;
    expected = FlashFromHexFile(hexPath, error);
    if (!expected) {
      std::fprintf(stderr, "plugemu: %s\n", error.c_str());
      return 1;
    }
  }

  sim::Plug plug(config);
  sim::PtyLink link(plug);
  if (!link.Open()) {
    std::fprintf(stderr, "plugemu: %s\n", link.Error().c_str());
    return 1;
  }
  if (!linkPath.empty()) {
    ::unlink(linkPath.c_str());
    if (::symlink(link.SlavePath().c_str(), linkPath.c_str()) != 0) {
      std::fprintf(stderr, "plugemu: cannot link %s\n", linkPath.c_str());
    }
  }
  std::printf("%s\n", link.SlavePath().c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  link.Run(gStop);
  if (!linkPath.empty()) ::unlink(linkPath.c_str());

  std::printf("enumerations: %d\n", link.Enumerations());
  std::printf("exits ('x'): %d\n", plug.ExitCount());
  std::printf("erases: %d, records programmed: %d\n", plug.EraseCount(), plug.RecordsProgrammed());
  std::printf("banner: %s\n", plug.Banner().c_str());
  if (link.Unplugged()) std::printf("unplugged during the upload\n");
  int status = 0;
  if (expected) {
    const auto flash = plug.Flash();
    auto diff = std::mismatch(flash.begin(), flash.end(), expected->begin());
    if (diff.first == flash.end()) {
      std::printf("flash: equals %s\n", hexPath.c_str());
    } else {
      std::printf("flash: differs from %s first at %05X\n", hexPath.c_str(),
                  static_cast<unsigned>(sim::kFlashBase + (diff.first - flash.begin())));
      status = 1;
    }
  }
  const auto violations = plug.Violations();
  std::printf("violations: %zu\n", violations.size());
  for (const auto& v : violations) std::printf("  %s\n", v.c_str());
  const auto errors = plug.Errors();
  if (!errors.empty()) std::printf("plug errors: %zu\n", errors.size());
  for (const auto& e : errors) std::printf("  %s\n", e.c_str());
  return violations.empty() ? status : 1;
}
