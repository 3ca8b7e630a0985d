#include "sim/plug.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::string_view kSetupString = "QUOR PLUG SETUP";
constexpr std::string_view kReadyString = "QUOR PLUG READY";
// A line end, then the end-of-file record: what ends a load cut off mid-line.
constexpr std::string_view kEndOfLoad = "\n:00000001FF\n";

// Each wait of the identification sequence is nominally 200 ms. The plug
// accepts anything from 150 ms to 1500 ms: shorter means the host did not
// wait at all, longer means it stalled (a busy machine may take a while, so
// the upper bound is generous).
constexpr auto kWaitMin = milliseconds(150);
constexpr auto kWaitMax = milliseconds(1500);

constexpr auto kIdentStart = milliseconds(10);   // RTS rise to first byte start
constexpr auto kIdentLateFirst = milliseconds(400);
constexpr auto kSetupLatency = milliseconds(2);
constexpr auto kReportLatency = milliseconds(1);

constexpr Wire kIdentWire{1200, 7, plat::kNoParity, plat::kOneStopBit};
constexpr Wire kSetupWire{115200, 8, plat::kNoParity, plat::kOneStopBit};
constexpr Wire kMonitorWire{57600, 8, plat::kNoParity, plat::kOneStopBit};

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
  return buf;
}

std::string Ms(nanoseconds d) {
  return std::to_string(std::chrono::duration_cast<milliseconds>(d).count()) + " ms";
}

std::string DescribeLine(const plat::Dcb& d) {
  static const char kParity[] = "NOEMS";
  std::string s = std::to_string(d.BaudRate) + " " + std::to_string(d.ByteSize) +
                  (d.Parity < 5 ? kParity[d.Parity] : '?') +
                  (d.StopBits == plat::kOneStopBit ? "1" : d.StopBits == plat::kTwoStopBits ? "2" : "1.5");
  if (d.fOutxCtsFlow) s += " octs";
  if (d.fOutxDsrFlow) s += " odsr";
  if (d.fOutX || d.fInX) s += " xon";
  if (d.fRtsControl == plat::kRtsControlHandshake) s += " rts=hs";
  if (d.fDtrControl == plat::kDtrControlHandshake) s += " dtr=hs";
  return s;
}

bool Matches(const plat::Dcb& d, const Wire& w) {
  return d.BaudRate == w.baud && d.ByteSize == w.dataBits && d.Parity == w.parity &&
         d.StopBits == w.stopBits;
}

bool NoFlowControl(const plat::Dcb& d) {
  return !d.fOutxCtsFlow && !d.fOutxDsrFlow && !d.fOutX && !d.fInX &&
         d.fRtsControl != plat::kRtsControlHandshake &&
         d.fDtrControl != plat::kDtrControlHandshake;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

nanoseconds CharTime(std::uint32_t baud, std::uint8_t dataBits, std::uint8_t parity,
                     std::uint8_t stopBits) {
  if (baud == 0) return nanoseconds(0);
  // In half bits, so that 1.5 stop bits stay exact.
  unsigned halfBits = 2u * (1u + dataBits + (parity != plat::kNoParity ? 1u : 0u));
  halfBits += stopBits == plat::kOneStopBit ? 2u : stopBits == plat::kOne5StopBits ? 3u : 4u;
  return nanoseconds(static_cast<std::int64_t>(halfBits) * 500'000'000LL / baud);
}

nanoseconds CharTime(const Wire& w) { return CharTime(w.baud, w.dataBits, w.parity, w.stopBits); }

nanoseconds CharTime(const plat::Dcb& d) {
  return CharTime(d.BaudRate, d.ByteSize, d.Parity, d.StopBits);
}

std::optional<std::uint8_t> Garble(const Wire& plug, const plat::Dcb& host, std::uint8_t byte) {
  if (plug.baud != host.BaudRate || plug.parity != host.Parity || plug.stopBits != host.StopBits) {
    return std::uint8_t{0xFF};  // framing garbage
  }
  const unsigned plugMask = (1u << plug.dataBits) - 1u;
  const unsigned hostMask = (1u << host.ByteSize) - 1u;
  unsigned v = byte & plugMask;
  if (host.ByteSize > plug.dataBits) {
    v |= hostMask & ~plugMask;  // the stop bit (a mark) is read as data
  } else {
    v &= hostMask;
  }
  return static_cast<std::uint8_t>(v);
}

std::string BuildIdentifier(const std::string& product, const std::string& extras) {
  std::string s = "(\x01$QZM" + product + extras;
  unsigned sum = static_cast<unsigned char>(')');
  for (char c : s) sum += static_cast<unsigned char>(c);
  return s + Hex2(sum) + ")";
}

std::optional<std::string> BannerFromFlash(const std::vector<std::uint8_t>& flash) {
  if (flash.size() < 0x21 || flash[0] != 0x51 || flash[1] != 0x50 || flash[0x20] != 0xA5) {
    return std::nullopt;
  }
  std::string pieces[5];
  for (int i = 0; i < 5; ++i) {
    std::size_t off = flash[2 + 2 * i] | (std::size_t{flash[3 + 2 * i]} << 8);
    std::size_t end = off;
    while (end < flash.size() && flash[end] != 0) ++end;
    if (end >= flash.size()) return std::nullopt;
    pieces[i].assign(flash.begin() + static_cast<std::ptrdiff_t>(off),
                     flash.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return pieces[0] + " " + pieces[1] + " " + pieces[2] + " Build " + pieces[3] + " " + pieces[4];
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::Off: return "off";
    case Mode::Idle: return "idle";
    case Mode::Setup: return "setup";
    case Mode::Command: return "command";
    case Mode::Monitor: return "monitor";
  }
  return "?";
}

Plug::Plug(PlugConfig config)
    : config_(std::move(config)), banner_(config_.banner), flash_(kFlashSize, 0x00) {
  // An update broken off earlier: the half-written firmware must not start.
  firmwareInstalled_ = !config_.startInMonitor;
}

std::optional<TimePoint> Plug::CtsOffUntil(TimePoint now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (now >= ctsOffUntil_) return std::nullopt;
  return ctsOffUntil_;
}

void Plug::SetConfig(const PlugConfig& config) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool bannerChanged = config.banner != config_.banner;
  config_ = config;
  if (bannerChanged && firmwareInstalled_) banner_ = config_.banner;
}

PlugConfig Plug::Config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void Plug::SetWireTiming(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  wireTiming_ = on;
}

// ---------------------------------------------------------------- lines

void Plug::PowerOffLocked() {
  mode_ = Mode::Off;
  out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(outHead_), out_.end());
  setupBuf_.clear();
  frame_.clear();
  monitorRequested_ = false;
  escs_ = 0;
  line_.clear();
  lineBroken_ = false;
  upper_ = 0;
  loadError_ = false;
  lastLoadClean_ = false;
  uploadBytes_ = 0;
  busyUntil_ = TimePoint{};
  deafUntil_ = TimePoint{};
  ctsOffUntil_ = TimePoint{};
  lastDue_ = TimePoint{};
}

void Plug::PowerOnLocked(TimePoint) {
  if (firmwareInstalled_) {
    mode_ = Mode::Idle;
  } else if (config_.startInLoad) {
    // Left by an upload cut off mid-line: the monitor takes what comes as
    // the rest of that line.
    mode_ = Mode::Monitor;
    mon_ = Mon::Loading;
    line_ = ":10A0";
  } else {
    mode_ = Mode::Monitor;  // no firmware to start: the monitor waits for its wake-up
    mon_ = Mon::Wake;
  }
}

void Plug::SetLines(TimePoint now, bool dtr, bool rts, const plat::Dcb& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto checkWait = [&](const char* what) {
    const auto d = now - seqTime_;
    if (d < kWaitMin || d > kWaitMax) {
      ViolationLocked(std::string("identification: wait ") + what + " took " + Ms(d) +
                      " (150..1500 ms)");
      seqBroken_ = true;
    }
  };
  // A plug with its own supply is reset by nothing the host does to DTR.
  const bool ownSupply = config_.keepsPower && mode_ != Mode::Off;
  // Falling edges first, then rising ones, DTR before RTS.
  if (dtr_ && !dtr) {
    dtr_ = false;
    if (!ownSupply) PowerOffLocked();
    if (!rts_ && seqStep_ == 1) {
      checkWait("after the first DTR on");
      seqStep_ = 2;
      seqTime_ = now;
    } else {
      seqStep_ = 0;
      seqBroken_ = false;
    }
  }
  if (rts_ && !rts) {
    rts_ = false;
    seqStep_ = 0;  // RTS off begins the sequence
    seqBroken_ = false;
  }
  if (!dtr_ && dtr) {
    dtr_ = true;
    if (!ownSupply) PowerOnLocked(now);
    if (rts_) {
      seqStep_ = 0;
    } else if (seqStep_ == 0) {
      seqStep_ = 1;
      seqTime_ = now;
      seqBroken_ = false;
    } else if (seqStep_ == 2) {
      checkWait("with DTR off");
      seqStep_ = 3;
      seqTime_ = now;
    }
  }
  if (!rts_ && rts) {
    rts_ = true;
    if (!dtr_) {
      if (seqStep_ > 0) {
        ViolationLocked("identification: RTS raised while DTR was off in the DTR sequence");
      }
      seqStep_ = 0;
    } else {
      OnRtsRiseLocked(now, host);
    }
  }
}

void Plug::OnRtsRiseLocked(TimePoint now, const plat::Dcb& host) {
  const int step = seqStep_;
  seqStep_ = 0;
  if (mode_ != Mode::Idle) return;  // only running firmware takes part
  if (step != 3) {
    ViolationLocked("identification: RTS raised after " + std::to_string(step) +
                    " of 3 DTR steps (RTS off; DTR on; DTR off; DTR on; RTS on)");
    return;
  }
  bool ok = !seqBroken_;
  const auto d = now - seqTime_;
  if (d < kWaitMin || d > kWaitMax) {
    ViolationLocked("identification: wait before RTS on took " + Ms(d) + " (150..1500 ms)");
    ok = false;
  }
  if (!Matches(host, kIdentWire) || !NoFlowControl(host)) {
    ViolationLocked("identification: host line " + DescribeLine(host) +
                    " when RTS rose (expected 1200 7N1, no flow control)");
    ok = false;
  }
  if (!ok || config_.silent) return;

  std::string bytes;
  if (config_.noiseBeforeId) bytes += static_cast<char>(*config_.noiseBeforeId);
  std::string id = BuildIdentifier(config_.product, config_.idExtras);
  if (config_.noClosingParen) id.pop_back();
  bytes += id;

  const auto step7 = CharTime(kIdentWire);
  TimePoint due = config_.lateFirstByte ? now + kIdentLateFirst : now + kIdentStart + step7;
  for (char c : bytes) {
    out_.push_back(OutByte{due, static_cast<std::uint8_t>(c), kIdentWire});
    lastDue_ = due;
    due += step7;
  }
  ++identAnswers_;
  identAt_ = now;
  if (!config_.noClosingParen) {
    mode_ = Mode::Setup;
    setupBuf_.clear();
  }
}

// ---------------------------------------------------------------- output

Wire Plug::OwnWireLocked() const {
  switch (mode_) {
    case Mode::Setup:
    case Mode::Command: return kSetupWire;
    case Mode::Monitor: return kMonitorWire;
    default: return kIdentWire;
  }
}

void Plug::SendByteLocked(TimePoint earliest, std::uint8_t byte) {
  const Wire w = OwnWireLocked();
  TimePoint due = std::max(earliest, lastDue_);
  if (wireTiming_) due += CharTime(w);
  out_.push_back(OutByte{due, byte, w});
  lastDue_ = due;
}

void Plug::SendLocked(TimePoint earliest, const std::vector<std::uint8_t>& bytes) {
  for (auto b : bytes) SendByteLocked(earliest, b);
}

void Plug::SendSlowLocked(TimePoint earliest, const std::vector<std::uint8_t>& bytes) {
  const std::size_t piece = config_.slowPieceBytes;
  TimePoint t = earliest;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % piece == 0) t = std::max(t, lastDue_) + milliseconds(config_.slowPieceIntervalMs);
    SendByteLocked(t, bytes[i]);
  }
}

std::optional<TimePoint> Plug::Collect(TimePoint now, std::vector<OutByte>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (outHead_ < out_.size() && out_[outHead_].due <= now) out.push_back(out_[outHead_++]);
  if (outHead_ == out_.size()) {
    out_.clear();
    outHead_ = 0;
    return std::nullopt;
  }
  return out_[outHead_].due;
}

std::optional<TimePoint> Plug::NextDue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (outHead_ == out_.size()) return std::nullopt;
  return out_[outHead_].due;
}

// ---------------------------------------------------------------- input

bool Plug::ListensLocked(const plat::Dcb& host, std::string& why) const {
  switch (mode_) {
    case Mode::Off:
      why = "host sent while the plug had no power (DTR off)";
      return false;
    case Mode::Idle:
      why = "host sent before the plug was identified";
      return false;
    case Mode::Setup:
    case Mode::Command:
      if (!Matches(host, kSetupWire) || !host.fOutxCtsFlow ||
          host.fRtsControl != plat::kRtsControlHandshake) {
        why = std::string(ModeName(mode_)) + ": host line " + DescribeLine(host) +
              " (expected 115200 8N1 octs rts=hs)";
        return false;
      }
      return true;
    case Mode::Monitor:
      if (!Matches(host, kMonitorWire) || !NoFlowControl(host)) {
        why = "monitor: host line " + DescribeLine(host) + " (expected 57600 8N1, no flow control)";
        return false;
      }
      return true;
  }
  return false;
}

Plug::Accepted Plug::Receive(TimePoint now, const std::uint8_t* data, std::size_t count,
                             const plat::Dcb& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string why;
  if (!ListensLocked(host, why)) {
    // Running firmware that was not identified takes what a host sends when
    // it looks for a boot monitor where no plug answered (the wake-up, the
    // end of a cut-off load) as noise.
    const std::string bytes(data, data + count);
    const bool monitorProbe = bytes == "\x1B\x1B" || bytes == kEndOfLoad;
    if (mode_ == Mode::Idle && monitorProbe && Matches(host, kMonitorWire)) {
      ++probesIgnored_;
    } else {
      ViolationLocked(why);
    }
    return Accepted{count, Fault::None};
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (config_.exitWriteError && !writeErrorFired_ && mode_ == Mode::Monitor && mon_ == Mon::Prompt &&
        line_.empty() && data[i] == 'x') {
      writeErrorFired_ = true;
      return Accepted{i, Fault::WriteError};
    }
    if (mode_ == Mode::Monitor && mon_ == Mon::Loading) {
      if (config_.writeErrorAfter && !writeErrorFired_ && uploadBytes_ >= *config_.writeErrorAfter) {
        writeErrorFired_ = true;
        return Accepted{i, Fault::WriteError};
      }
      if (config_.unplugAfter && !unplugFired_ && uploadBytes_ >= *config_.unplugAfter) {
        unplugFired_ = true;
        return Accepted{i, Fault::Unplug};
      }
    }
    ByteLocked(now, data[i]);
  }
  return Accepted{count, Fault::None};
}

void Plug::ByteLocked(TimePoint now, std::uint8_t b) {
  if (now < deafUntil_) {
    ViolationLocked(std::string(deafWhy_) + ": byte 0x" + Hex2(b) + " lost, " +
                    Ms(deafUntil_ - now) + " too early");
    return;
  }
  switch (mode_) {
    case Mode::Setup: {
      setupBuf_ += static_cast<char>(b);
      if (kSetupString.substr(0, setupBuf_.size()) != setupBuf_) {
        ViolationLocked("setup: unexpected byte 0x" + Hex2(b));
        setupBuf_.clear();
        return;
      }
      if (setupBuf_.size() < kSetupString.size()) return;
      setupBuf_.clear();
      ++setupAnswers_;
      setupAt_ = now;
      std::string answer(kReadyString);
      switch (config_.setupAnswer) {
        case SetupAnswer::Normal: break;
        case SetupAnswer::WrongFirstByte: answer[0] = 'W'; break;
        case SetupAnswer::None: answer.clear(); break;
        case SetupAnswer::ExtraBytes: answer += config_.setupExtra; break;
      }
      if (config_.setupAnswer == SetupAnswer::None) return;  // stays in setup
      mode_ = Mode::Command;
      frame_.clear();
      SendLocked(now + kSetupLatency, std::vector<std::uint8_t>(answer.begin(), answer.end()));
      return;
    }
    case Mode::Command: CommandByteLocked(now, b); return;
    case Mode::Monitor: MonitorByteLocked(now, b); return;
    default: return;
  }
}

void Plug::CommandByteLocked(TimePoint now, std::uint8_t b) {
  if (frame_.empty() && b == static_cast<std::uint8_t>(kSetupString[0])) {
    mode_ = Mode::Setup;  // the host repeats its setup string
    setupBuf_.clear();
    ByteLocked(now, b);
    return;
  }
  frame_.push_back(b);
  if (frame_[0] != 0x01) {
    ViolationLocked("command: unexpected byte 0x" + Hex2(b));
    frame_.clear();
    return;
  }
  if (frame_.size() < 4) return;
  const std::vector<std::uint8_t> f = std::move(frame_);
  frame_.clear();
  if (f[2] != 0 || f[3] != 0 || (f[1] != 0xF6 && f[1] != 0xF7 && f[1] != 0xF8)) {
    ViolationLocked("command: unknown frame 01 " + Hex2(f[1]) + " " + Hex2(f[2]) + " " + Hex2(f[3]));
    return;
  }
  if (f[1] == 0xF7) {
    ++reportRequests_;
    HeardLocked(now, Heard::ReportRequest);
    monitorRequested_ = false;
    SendReportsLocked(now);
  } else if (f[1] == 0xF8) {
    HeardLocked(now, Heard::MonitorRequest);
    if (config_.ctsHoldMs > 0) {
      // CTS stays off while the monitor starts; no report end is needed.
      ctsOffUntil_ = now + milliseconds(config_.ctsHoldMs);
      mode_ = Mode::Monitor;
      mon_ = Mon::Wake;
      escs_ = 0;
      deafUntil_ = now + milliseconds(std::max(config_.ctsHoldMs, config_.monitorStartMs));
      deafWhy_ = "start of the monitor behind the held CTS";
      return;
    }
    monitorRequested_ = true;
    deafUntil_ = now + milliseconds(config_.monitorSwitchMs);
    deafWhy_ = "switch to the monitor after its request";
  } else {
    HeardLocked(now, Heard::ReportEnd);
    // Report end: whatever has not left the plug yet is not sent.
    auto first = std::find_if(out_.begin() + static_cast<std::ptrdiff_t>(outHead_), out_.end(),
                              [now](const OutByte& o) { return o.due > now; });
    out_.erase(first, out_.end());
    lastDue_ = out_.size() > outHead_ ? out_.back().due : now;
    if (monitorRequested_) {
      monitorRequested_ = false;
      mode_ = Mode::Monitor;
      mon_ = Mon::Wake;
      escs_ = 0;
      deafUntil_ = now + milliseconds(config_.monitorStartMs);
      deafWhy_ = "start of the monitor after the report end";
    }
  }
}

void Plug::SendReportsLocked(TimePoint now) {
  if (config_.version == VersionReport::NoReports) return;
  std::vector<std::uint8_t> bytes;
  auto frame = [&bytes](std::uint8_t type, std::uint8_t code, std::size_t length,
                        const std::vector<std::uint8_t>& payload) {
    bytes.push_back(type);
    bytes.push_back(code);
    bytes.push_back(static_cast<std::uint8_t>(length >> 8));
    bytes.push_back(static_cast<std::uint8_t>(length & 0xFF));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
  };
  if (config_.otherReportFirst) frame(0x05, 0x01, 2, {0x00, 0x01});
  for (const auto& f : config_.framesBefore) bytes.insert(bytes.end(), f.begin(), f.end());

  std::vector<std::uint8_t> payload(banner_.begin(), banner_.end());
  payload.push_back(0x00);
  switch (config_.version) {
    case VersionReport::Normal:
    case VersionReport::NoReports: frame(0x05, 0xDD, payload.size(), payload); break;
    case VersionReport::EmptyPayload: frame(0x05, 0xDD, 0, {}); break;
    case VersionReport::NoZeroByte:
      payload.pop_back();
      frame(0x05, 0xDD, payload.size(), payload);
      break;
    case VersionReport::Twice:
      frame(0x05, 0xDD, payload.size(), payload);
      frame(0x05, 0xDD, payload.size(), payload);
      break;
    case VersionReport::Length4050:
    case VersionReport::Length4049:
      payload.resize(config_.version == VersionReport::Length4050 ? 4050 : 4049, 0x00);
      frame(0x05, 0xDD, payload.size(), payload);
      break;
  }
  for (const auto& f : config_.framesAfter) bytes.insert(bytes.end(), f.begin(), f.end());

  if (config_.slowPieceBytes > 0) {
    SendSlowLocked(now + kReportLatency, bytes);
  } else {
    SendLocked(now + kReportLatency, bytes);
  }
}

void Plug::MonitorByteLocked(TimePoint now, std::uint8_t b) {
  if (mon_ == Mon::Erasing) {
    if (now < busyUntil_) {
      ViolationLocked("monitor: byte 0x" + Hex2(b) + " while erasing");
      return;
    }
    mon_ = Mon::Prompt;
  }
  switch (mon_) {
    case Mon::Wake:
    case Mon::Prompt:
      if (b == 0x1B) {
        if (++escs_ < 2) return;
        escs_ = 0;
        HeardLocked(now, Heard::WakeUp);
        const bool first = mon_ == Mon::Wake;
        mon_ = Mon::Prompt;
        if (!config_.noWakePrompt) {
          SendByteLocked(first ? now + milliseconds(config_.wakePromptDelayMs) : now, '>');
        }
        return;
      }
      escs_ = 0;
      if (mon_ != Mon::Prompt) {
        ViolationLocked("monitor: byte 0x" + Hex2(b) + " before the wake-up (ESC ESC)");
        return;
      }
      if (!line_.empty() || b == ':') {
        // A HEX line outside a load (the end of a load that is not there)
        // is taken up to its line end and ignored.
        line_ = b == '\n' ? std::string() : line_ + static_cast<char>(b);
        return;
      }
      if (b == 'e') {
        line_.clear();
        mon_ = Mon::EraseFirst;
        SendByteLocked(now, ':');
      } else if (b == 'l') {
        line_.clear();
        lineBroken_ = false;
        upper_ = 0;
        loadError_ = false;
        lastLoadClean_ = false;
        uploadBytes_ = 0;
        mon_ = Mon::Loading;
        SendByteLocked(now, 'd');
      } else if (b == 'x') {
        ++exits_;
        HeardLocked(now, Heard::Exit);
        auto banner = lastLoadClean_ ? BannerFromFlash(flash_) : std::nullopt;
        if (banner) {
          firmwareInstalled_ = true;
          banner_ = *banner;
          PowerOffLocked();  // restarts like a freshly powered plug
          mode_ = Mode::Idle;
          seqStep_ = 0;
        } else {
          mon_ = Mon::Wake;  // nothing valid to start: stays in the monitor
        }
      } else if (b != '\r' && b != '\n') {
        ViolationLocked("monitor: unknown command 0x" + Hex2(b));
      }
      return;
    case Mon::EraseFirst:
    case Mon::EraseLast: {
      if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'f')) {
        if (line_.size() < 8) {
          line_ += static_cast<char>(b);
          return;
        }
      } else if (b == '\r' && !line_.empty()) {
        const auto v = static_cast<std::uint32_t>(std::stoul(line_, nullptr, 16));
        line_.clear();
        if (mon_ == Mon::EraseFirst) {
          eraseFirst_ = v;
          mon_ = Mon::EraseLast;
          SendByteLocked(now, ':');
          return;
        }
        if (eraseFirst_ >= kFlashBase && v <= kFlashEnd && eraseFirst_ <= v) {
          std::fill(flash_.begin() + (eraseFirst_ - kFlashBase), flash_.begin() + (v - kFlashBase) + 1,
                    std::uint8_t{0xFF});
          ++erases_;
          firmwareInstalled_ = false;
          lastLoadClean_ = false;
          busyUntil_ = now + milliseconds(config_.eraseTimeMs);
          mon_ = Mon::Erasing;
          SendByteLocked(busyUntil_, '>');
        } else {
          char buf[64];
          std::snprintf(buf, sizeof buf, "erase range %X..%X outside %X..%X", eraseFirst_, v,
                        kFlashBase, kFlashEnd);
          ErrorLocked(buf);
          mon_ = Mon::Prompt;
          SendByteLocked(now, '!');
        }
        return;
      }
      ViolationLocked("monitor: erase address byte 0x" + Hex2(b) + " (lowercase hex and CR expected)");
      line_.clear();
      mon_ = Mon::Prompt;
      SendByteLocked(now, '!');
      return;
    }
    case Mon::Loading: {
      const std::size_t index = uploadBytes_++;
      if (config_.promptAfter && index == *config_.promptAfter) SendByteLocked(now, '>');
      if (config_.loseAfter && index >= *config_.loseAfter &&
          index < *config_.loseAfter + config_.loseCount) {
        return;  // lost on the way
      }
      if (b == 0x1B) {
        // A control character breaks the line off (a wake-up typed into an
        // upload that was cut off): the line is dropped, not an error.
        line_.clear();
        lineBroken_ = true;
      } else if (b == '\n') {
        std::string line = std::move(line_);
        line_.clear();
        if (!line.empty() && !lineBroken_) RecordLocked(now, line);
        lineBroken_ = false;
      } else if (lineBroken_) {
        // the rest of a broken line
      } else if (b == '\r') {
        ViolationLocked("load: HEX line ended by CR (LF only expected)");
      } else if (line_.size() < 1024) {
        line_ += static_cast<char>(b);
      }
      return;
    }
    case Mon::Erasing: return;
  }
}

void Plug::RecordLocked(TimePoint now, const std::string& line) {
  auto fail = [&](const std::string& why) {
    loadError_ = true;
    ErrorLocked("record \"" + line.substr(0, 60) + "\": " + why);
  };
  if (line[0] != ':') return fail("no ':'");
  if ((line.size() - 1) % 2 != 0 || line.size() < 11) return fail("bad length");
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 1; i < line.size(); i += 2) {
    const int hi = HexDigit(line[i]);
    const int lo = HexDigit(line[i + 1]);
    if (hi < 0 || lo < 0) return fail("not uppercase hex");
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  if (bytes.size() != bytes[0] + 5u) return fail("byte count does not match");
  unsigned sum = 0;
  for (auto v : bytes) sum += v;
  if ((sum & 0xFF) != 0) return fail("checksum");
  const std::uint8_t n = bytes[0];
  switch (bytes[3]) {
    case 0x00: {
      const std::uint32_t base = (upper_ << 16) + (std::uint32_t{bytes[1]} << 8) + bytes[2];
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t addr = base + i;
        if (addr < kFlashBase || addr > kFlashEnd) return fail("address outside the flash");
        std::uint8_t& cell = flash_[addr - kFlashBase];
        const std::uint8_t data = bytes[4 + i];
        if ((cell & data) != data) {
          cell = static_cast<std::uint8_t>(cell & data);
          return fail("flash corrupted (bit already cleared)");
        }
        cell = static_cast<std::uint8_t>(cell & data);
      }
      ++records_;
      return;
    }
    case 0x01:
      if (n != 0) return fail("end record with data");
      mon_ = Mon::Prompt;
      if (loadError_) {
        SendByteLocked(now, '!');
      } else {
        lastLoadClean_ = true;
        if (!config_.noFinalPrompt) SendByteLocked(now, '>');
      }
      return;
    case 0x03:  // start address: nothing for the flash, whatever its length
      return;
    case 0x04:
      if (n != 2) return fail("upper address record length");
      upper_ = (std::uint32_t{bytes[4]} << 8) | bytes[5];
      return;
    default: return fail("record type " + Hex2(bytes[3]));
  }
}

// ---------------------------------------------------------------- bookkeeping

void Plug::ViolationLocked(std::string text) {
  if (!violations_.empty() && violations_.back() == text) return;
  violations_.push_back(std::move(text));
}

void Plug::HeardLocked(TimePoint now, Heard what) { heard_.push_back(HeardEntry{now, what}); }

void Plug::ErrorLocked(std::string text) { errors_.push_back(std::move(text)); }

void Plug::SetFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint32_t a = address + static_cast<std::uint32_t>(i);
    if (a >= kFlashBase && a <= kFlashEnd) flash_[a - kFlashBase] = bytes[i];
  }
}

#define SIM_GETTER(type, name, expr)            \
  type Plug::name() const {                     \
    std::lock_guard<std::mutex> lock(mutex_);   \
    return expr;                                \
  }
SIM_GETTER(std::vector<std::string>, Violations, violations_)
SIM_GETTER(std::vector<std::string>, Errors, errors_)
SIM_GETTER(Mode, CurrentMode, mode_)
SIM_GETTER(bool, Powered, mode_ != Mode::Off)
SIM_GETTER(int, IdentAnswers, identAnswers_)
SIM_GETTER(std::optional<TimePoint>, IdentAnsweredAt, identAt_)
SIM_GETTER(int, SetupAnswers, setupAnswers_)
SIM_GETTER(std::optional<TimePoint>, SetupAnsweredAt, setupAt_)
SIM_GETTER(int, ReportRequests, reportRequests_)
SIM_GETTER(std::vector<std::uint8_t>, Flash, flash_)
SIM_GETTER(int, ExitCount, exits_)
SIM_GETTER(int, MonitorProbesIgnored, probesIgnored_)
SIM_GETTER(std::string, Banner, banner_)
SIM_GETTER(int, EraseCount, erases_)
SIM_GETTER(int, RecordsProgrammed, records_)
SIM_GETTER(bool, LoadError, loadError_)
SIM_GETTER(bool, LastLoadClean, lastLoadClean_)
SIM_GETTER(bool, AtMonitorPrompt, mode_ == Mode::Monitor && mon_ == Mon::Prompt && line_.empty())
SIM_GETTER(std::size_t, UploadBytes, uploadBytes_)
SIM_GETTER(bool, FirmwareInstalled, firmwareInstalled_)
SIM_GETTER(std::vector<HeardEntry>, HeardLog, heard_)
#undef SIM_GETTER

}  // namespace sim
