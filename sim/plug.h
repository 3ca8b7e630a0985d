// The simulated plug: the device end of the serial link, independent of the
// transport that carries its bytes.
//
// A transport (sim::Bench, the pseudo-terminal emulator) tells the plug what
// the host does - modem lines, line settings, bytes written - and collects the
// bytes the plug sends, each stamped with the time it has fully arrived on the
// host's side of the wire and with the plug's own line settings, so that the
// transport can garble it for a host whose settings differ (Garble()).
//
// Every public member takes the plug's one mutex, so the observation accessors
// are safe to call from a test thread while the host's threads drive the plug.
// The plug never calls back into its transport.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial_api.h"

namespace sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// The plug's own side of the wire.
struct Wire {
  std::uint32_t baud = 0;
  std::uint8_t dataBits = 8;
  std::uint8_t parity = plat::kNoParity;
  std::uint8_t stopBits = plat::kOneStopBit;
};

// Time one character takes on a line: start + data + parity + stop bits.
std::chrono::nanoseconds CharTime(std::uint32_t baud, std::uint8_t dataBits, std::uint8_t parity,
                                  std::uint8_t stopBits);
std::chrono::nanoseconds CharTime(const Wire& wire);
std::chrono::nanoseconds CharTime(const plat::Dcb& host);

// What a host with the given settings receives for a byte the plug sent with
// its wire settings: the byte itself, a mangled byte, or nothing.
std::optional<std::uint8_t> Garble(const Wire& plug, const plat::Dcb& host, std::uint8_t byte);

// The serial Plug-and-Play identifier the plug sends: "(" 0x01 "$" "QZM",
// product, extension fields, checksum, ")".
std::string BuildIdentifier(const std::string& product, const std::string& extras);

// Banner of a firmware image in flash (flash[0] is address 0x10000), or
// nothing when the image is not valid (header, text pieces, valid marker).
std::optional<std::string> BannerFromFlash(const std::vector<std::uint8_t>& flash);

enum class SetupAnswer { Normal, WrongFirstByte, None, ExtraBytes };

enum class VersionReport {
  Normal,       // banner followed by one 0x00
  NoReports,    // the report request is answered with nothing at all
  EmptyPayload, // version report with length 0
  NoZeroByte,   // banner without the closing 0x00
  Twice,        // the version report comes a second time
  Length4050,   // a version header announcing 4050 bytes, with that payload
  Length4049,   // a version header announcing 4049 bytes, with that payload
};

struct PlugConfig {
  std::string banner = "Orvane QUOR PLUG Firmware Revision 1.60.4 Build Jul 17 2001 09:12:44";

  // Identification.
  bool silent = false;                    // never answers the identification
  std::string product = "1011";           // four characters after "QZM"
  std::string idExtras = "\\0001\\MODEM\\\\Quor Plug";  // fields between product and checksum
  std::optional<std::uint8_t> noiseBeforeId;  // one byte sent before "("
  bool noClosingParen = false;            // the identifier never ends
  bool lateFirstByte = false;             // first identifier byte ~400 ms after RTS rose

  // Setup.
  SetupAnswer setupAnswer = SetupAnswer::Normal;
  std::string setupExtra = "XYZ";         // sent after the answer with SetupAnswer::ExtraBytes

  // Reports.
  bool otherReportFirst = true;           // type 0x05 code 0x01 before the version report
  std::vector<std::vector<std::uint8_t>> framesBefore;  // raw frames before the version report
  std::vector<std::vector<std::uint8_t>> framesAfter;   // raw frames after it
  VersionReport version = VersionReport::Normal;
  std::size_t slowPieceBytes = 0;         // >0: report bytes come in pieces of this size
  int slowPieceIntervalMs = 20;           // ... one piece per interval

  // Boot monitor.
  bool startInMonitor = false;            // no valid firmware in flash: every power-on ends in the monitor
  bool noWakePrompt = false;              // ESC ESC is not answered with '>'
  int wakePromptDelayMs = 0;              // the first wake-up is answered this late
  // A plug with a supply of its own: DTR going down (the host closing the
  // port, the cable pulled) does not reset it, so a monitor stays where the
  // host left it, in the middle of a HEX line if need be.
  bool keepsPower = false;
  // With startInMonitor: the monitor waits in its load state in the middle of
  // a line, as an upload cut off with the plug powered leaves it.
  bool startInLoad = false;
  // After the monitor request the plug holds CTS off this long while its
  // monitor starts; it is in the monitor when CTS comes back (0: no hold).
  int ctsHoldMs = 0;
  // The switch from report mode into the boot monitor takes the plug time of
  // its own: after the monitor request it is deaf while it prepares the
  // switch, and after the report end its monitor starts and hears nothing
  // before then. Bytes that come too early are lost (and are violations).
  int monitorSwitchMs = 80;
  int monitorStartMs = 700;
  int eraseTimeMs = 50;
  bool noFinalPrompt = false;             // a clean end-of-file record gets no '>'
  // The monitor sends one '>' in the middle of the load, once this many bytes
  // of the HEX stream after 'l' have come, and goes on loading.
  std::optional<std::size_t> promptAfter;

  // Upload faults, counted in bytes of the HEX stream after 'l'.
  std::optional<std::size_t> loseAfter;   // drop loseCount bytes after this many
  std::size_t loseCount = 0;
  std::optional<std::size_t> writeErrorAfter;  // the host's write fails (error 31)
  std::optional<std::size_t> unplugAfter;      // the port disappears (error 22)
  bool exitWriteError = false;  // the host's write of the monitor exit 'x' fails (error 31)
};

// Commands the plug understood, with the time they reached it.
enum class Heard { ReportRequest, MonitorRequest, ReportEnd, WakeUp, Exit };
struct HeardEntry {
  TimePoint at;
  Heard what;
};

enum class Mode {
  Off,       // no power (DTR off)
  Idle,      // running firmware, waits for the identification sequence
  Setup,     // identified, listens at 115200 8N1 for the setup string
  Command,   // command/report mode
  Monitor,   // boot monitor at 57600 8N1
};

const char* ModeName(Mode mode);

constexpr std::uint32_t kFlashBase = 0x10000;
constexpr std::uint32_t kFlashEnd = 0x37FFF;  // last address
constexpr std::size_t kFlashSize = kFlashEnd - kFlashBase + 1;

class Plug {
 public:
  struct OutByte {
    TimePoint due;     // fully arrived at the host's end
    std::uint8_t value;
    Wire wire;         // the plug's settings when it sent the byte
  };

  // What the transport must do after handing over host bytes.
  enum class Fault { None, WriteError, Unplug };
  struct Accepted {
    std::size_t count = 0;  // bytes taken off the wire (all, unless a fault stopped the write)
    Fault fault = Fault::None;
  };

  explicit Plug(PlugConfig config = {});
  Plug(const Plug&) = delete;
  Plug& operator=(const Plug&) = delete;

  void SetConfig(const PlugConfig& config);
  PlugConfig Config() const;

  // Wire timing: every byte the plug sends takes its character time. Without
  // it bytes come at once, except the identifier, which always has 1200-baud
  // timing.
  void SetWireTiming(bool on);

  // ---- driven by the transport ----
  // Modem lines and the host's settings at that moment.
  void SetLines(TimePoint now, bool dtr, bool rts, const plat::Dcb& host);
  // Bytes the host sent, with the host's settings in force.
  Accepted Receive(TimePoint now, const std::uint8_t* data, std::size_t count,
                   const plat::Dcb& host);
  // Moves the bytes due at or before now to out; gives the due time of the
  // next byte still waiting, if any.
  std::optional<TimePoint> Collect(TimePoint now, std::vector<OutByte>& out);
  std::optional<TimePoint> NextDue() const;

  // ---- observation ----
  std::vector<std::string> Violations() const;  // host misbehaviour; empty when it behaved
  std::vector<std::string> Errors() const;      // device-side errors (bad records, ranges)
  Mode CurrentMode() const;
  bool Powered() const;
  int IdentAnswers() const;
  std::optional<TimePoint> IdentAnsweredAt() const;  // when RTS rose for the last answer
  int SetupAnswers() const;
  std::optional<TimePoint> SetupAnsweredAt() const;
  int ReportRequests() const;
  std::vector<std::uint8_t> Flash() const;      // 0x10000..0x37FFF
  int ExitCount() const;                        // 'x' received at the monitor prompt
  std::string Banner() const;
  int EraseCount() const;
  int RecordsProgrammed() const;
  bool LoadError() const;                       // of the current/last load
  bool LastLoadClean() const;
  bool AtMonitorPrompt() const;                 // in the boot monitor, waiting for a command
  std::size_t UploadBytes() const;              // HEX bytes heard since the last 'l'
  bool FirmwareInstalled() const;
  std::vector<HeardEntry> HeardLog() const;
  // Wake-ups and end-of-load records that running firmware took as noise.
  int MonitorProbesIgnored() const;
  // CTS as the plug drives it: off until the time given, if it holds it now.
  std::optional<TimePoint> CtsOffUntil(TimePoint now) const;

  // ---- test set-up ----
  void SetFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

 private:
  enum class Mon { Wake, Prompt, EraseFirst, EraseLast, Erasing, Loading };

  void PowerOffLocked();
  void PowerOnLocked(TimePoint now);
  void OnRtsRiseLocked(TimePoint now, const plat::Dcb& host);
  void SendLocked(TimePoint earliest, const std::vector<std::uint8_t>& bytes);
  void SendSlowLocked(TimePoint earliest, const std::vector<std::uint8_t>& bytes);
  void SendByteLocked(TimePoint earliest, std::uint8_t byte);
  void ByteLocked(TimePoint now, std::uint8_t b);
  void CommandByteLocked(TimePoint now, std::uint8_t b);
  void MonitorByteLocked(TimePoint now, std::uint8_t b);
  void RecordLocked(TimePoint now, const std::string& line);
  void SendReportsLocked(TimePoint now);
  bool ListensLocked(const plat::Dcb& host, std::string& why) const;
  void HeardLocked(TimePoint now, Heard what);
  void ViolationLocked(std::string text);
  void ErrorLocked(std::string text);
  Wire OwnWireLocked() const;

  mutable std::mutex mutex_;
  PlugConfig config_;
  bool wireTiming_ = false;

  // Lines as last seen.
  bool dtr_ = false;
  bool rts_ = false;

  // Identification sequence: steps matched (DTR on, DTR off, DTR on) and
  // their times; broken_ once a step went wrong.
  int seqStep_ = 0;
  TimePoint seqTime_{};
  bool seqBroken_ = false;

  Mode mode_ = Mode::Off;
  Mon mon_ = Mon::Wake;
  bool firmwareInstalled_ = true;
  std::string banner_;
  std::vector<std::uint8_t> flash_;

  std::vector<OutByte> out_;  // by due time
  std::size_t outHead_ = 0;
  TimePoint lastDue_{};       // arrival of the last byte queued

  std::string setupBuf_;
  std::vector<std::uint8_t> frame_;
  bool monitorRequested_ = false;
  int escs_ = 0;
  std::string line_;
  bool lineBroken_ = false;   // load: the current line was broken off, dropped at its end
  std::uint32_t eraseFirst_ = 0;
  TimePoint busyUntil_{};
  std::uint32_t upper_ = 0;
  bool loadError_ = false;
  bool lastLoadClean_ = false;
  std::size_t uploadBytes_ = 0;
  TimePoint deafUntil_{};     // switching into the monitor: bytes before this are lost
  TimePoint ctsOffUntil_{};   // CTS held off before this
  const char* deafWhy_ = "";
  bool writeErrorFired_ = false;
  bool unplugFired_ = false;

  std::vector<std::string> violations_;
  std::vector<std::string> errors_;
  int identAnswers_ = 0;
  std::optional<TimePoint> identAt_;
  int setupAnswers_ = 0;
  std::optional<TimePoint> setupAt_;
  int reportRequests_ = 0;
  int exits_ = 0;
  int probesIgnored_ = 0;
  int erases_ = 0;
  int records_ = 0;
  std::vector<HeardEntry> heard_;
};

}  // namespace sim
