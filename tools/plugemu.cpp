// plugemu: the simulated plug on a pseudo-terminal. Prints the slave path for
// a program to open as its serial port; on Ctrl+C (or SIGTERM) prints what the
// plug saw: exits, flash against a HEX file, violations, and ends. On SIGUSR1
// it prints the same and goes on, so one plug can serve several runs.
//
//   plugemu [--hex FILE] [--product NNNN] [--banner TEXT] [--silent]
//           [--erase-ms N] [--no-final-prompt] [--keep-banner] [--monitor]
//           [--cut-load] [--link PATH] [--pause-ms N] [--restart-ms N]
//
// --pause-ms: a pause after each round of the link in which records were
// programmed, which slows the upload (a round reads at most 512 bytes) to
// leave time to interrupt it; everything else runs at full speed.
// --no-final-prompt: the boot monitor does not confirm the end of the upload.
// --keep-banner: after 'x' the plug restarts with its old banner, as a plug
// whose new firmware does not start would.
// --restart-ms: after 'x' the plug answers no identification for N ms, as a
// plug slow to start its new firmware.
// --monitor starts the plug as an update that was broken off left it: no valid
// firmware, waiting in its boot monitor for the wake-up.
// --cut-load starts it as an upload cut off mid-line leaves a plug that kept
// its power: the monitor in its load state, taking what comes as the rest of
// a HEX line, answering '>' only after the end-of-file record. The plug keeps
// its power when the host drops DTR.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sim/hexflash.h"
#include "sim/plug.h"
#include "sim/pty_link.h"

namespace {

std::atomic<bool> gStop{false};
std::atomic<bool> gReport{false};

void OnSignal(int) { gStop = true; }
void OnReport(int) { gReport = true; }

// The flash as it should be after erasing and loading the file.
std::optional<std::vector<std::uint8_t>> FlashFromHexFile(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  auto flash = sim::FlashFromHexLines(lines, error);
  if (!flash) error = path + ": " + error;
  return flash;
}

// What the plug saw, printed as one block; 0 when the flash (if a file was
// given) equals the file's and the host behaved.
int PrintVerdict(const sim::Plug& plug, const sim::PtyLink& link,
                 const std::optional<std::vector<std::uint8_t>>& expected, const std::string& hexPath) {
  std::printf("enumerations: %d\n", link.Enumerations());
  std::printf("exits ('x'): %d\n", plug.ExitCount());
  std::printf("erases: %d, records programmed: %d\n", plug.EraseCount(), plug.RecordsProgrammed());
  std::printf("banner: %s\n", plug.Banner().c_str());
  if (link.Unplugged()) std::printf("unplugged during the upload\n");
  std::printf("last load: %s\n", plug.LastLoadClean() ? "clean, ended by the end-of-file record" : "none or not clean");
  std::printf("monitor prompt: %s\n", plug.AtMonitorPrompt() ? "waiting" : "no");
  std::printf("monitor probes ignored by running firmware: %d\n", plug.MonitorProbesIgnored());
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
  std::fflush(stdout);
  return violations.empty() ? status : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: plugemu [--hex FILE] [--product NNNN] [--banner TEXT] [--silent]\n"
               "               [--erase-ms N] [--no-final-prompt] [--keep-banner] [--monitor]\n"
               "               [--cut-load] [--link PATH] [--pause-ms N] [--restart-ms N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sim::PlugConfig config;
  std::string hexPath;
  std::string linkPath;
  bool keepBanner = false;
  int pauseMs = 0;
  int restartMs = 0;
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
    } else if (a == "--pause-ms" && hasValue) {
      pauseMs = std::atoi(argv[++i]);
    } else if (a == "--restart-ms" && hasValue) {
      restartMs = std::atoi(argv[++i]);
    } else if (a == "--link" && hasValue) {
      linkPath = argv[++i];
    } else if (a == "--silent") {
      config.silent = true;
    } else if (a == "--no-final-prompt") {
      config.noFinalPrompt = true;
    } else if (a == "--keep-banner") {
      keepBanner = true;
    } else if (a == "--monitor") {
      config.startInMonitor = true;
    } else if (a == "--cut-load") {
      config.startInMonitor = true;
      config.startInLoad = true;
      config.keepsPower = true;
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
  std::signal(SIGUSR1, OnReport);
  const std::string oldBanner = config.banner;
  int exits = 0;
  int records = 0;
  const auto never = std::chrono::steady_clock::time_point::max();
  auto wakeAt = never;  // when a plug silent after its restart answers again
  while (!gStop.load() && link.Step(std::chrono::milliseconds(5))) {
    if (gReport.exchange(false)) PrintVerdict(plug, link, expected, hexPath);
    if (wakeAt != never && std::chrono::steady_clock::now() >= wakeAt) {
      sim::PlugConfig c = plug.Config();
      c.silent = false;
      plug.SetConfig(c);
      wakeAt = never;
    }
    if (plug.ExitCount() != exits) {
      // After each restart the plug keeps silent for a while, or reports
      // the banner it had before.
      exits = plug.ExitCount();
      sim::PlugConfig c = plug.Config();
      if (restartMs > 0) {
        c.silent = true;
        plug.SetConfig(c);
        wakeAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(restartMs);
      }
      if (keepBanner) {
        c.banner = oldBanner + " ";  // a changed banner replaces the running one
        plug.SetConfig(c);
        c.banner = oldBanner;
        plug.SetConfig(c);
      }
    }
    if (pauseMs > 0 && plug.RecordsProgrammed() != records) {
      records = plug.RecordsProgrammed();
      ::usleep(static_cast<useconds_t>(pauseMs) * 1000);
    }
  }
  if (!linkPath.empty()) ::unlink(linkPath.c_str());

  return PrintVerdict(plug, link, expected, hexPath);
}
