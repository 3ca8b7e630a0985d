// The byte sequences the tool sends to the plug, and the report frames the plug
// sends back in report mode. Command frames are a bare 4-byte header; the boot
// monitor takes short texts and answers with single prompt characters.
//
//   offset 0: type (0x01 for commands; 0x05 for the firmware-version report)
//   offset 1: code
//   offset 2: payload length, 16-bit big-endian
//   offset 4: payload
#pragma once

#include <cstddef>
#include <cstdint>

namespace cmd {

// The length of a command on the wire: a byte sequence whole, a text without
// its terminating NUL.
template <std::size_t N>
constexpr std::uint16_t Length(const std::uint8_t (&)[N]) {
  return static_cast<std::uint16_t>(N);
}
template <std::size_t N>
constexpr std::uint16_t Length(const char (&)[N]) {
  return static_cast<std::uint16_t>(N - 1);
}

constexpr std::uint8_t kReportRequest[4] = {0x01, 0xF7, 0x00, 0x00};
constexpr std::uint8_t kMonitorRequest[4] = {0x01, 0xF8, 0x00, 0x00};
constexpr std::uint8_t kReportEnd[4] = {0x01, 0xF6, 0x00, 0x00};
constexpr std::uint8_t kMonitorWakeUp[2] = {0x1B, 0x1B};
constexpr std::uint8_t kMonitorExit[1] = {0x78};  // 'x'

// Boot-monitor commands: erase, with the first and the last address of the
// range (lowercase hexadecimal, each ended by a carriage return), and load,
// after which the monitor takes Intel HEX lines until the end-of-file record.
constexpr char kErase[] = "e";
constexpr char kEraseFirst[] = "10000\r";
constexpr char kEraseLast[] = "37fff\r";
constexpr char kLoad[] = "l";
// The end of a load: the end-of-file record and its line end, as the image's
// lines end. A load stopped at a line boundary takes it as it stands.
constexpr char kEndOfFileRecord[] = ":00000001FF\n";
// The end of a load that may have been cut off in the middle of a line: a
// line end first, which ends that line, then the end-of-file record.
constexpr char kEndOfCutLoad[] = "\n:00000001FF\n";

constexpr std::uint8_t kVersionReportType = 0x05;
constexpr std::uint8_t kVersionReportCode = 0xDD;

// Boot-monitor prompt characters.
constexpr char kPrompt = '>';
constexpr char kColon = ':';
constexpr char kLoadReady = 'd';

}  // namespace cmd

// Window message that carries one report frame (wParam: the frame block,
// allocated with new[]; lParam: 4). The receiver releases the block.
constexpr unsigned WM_PLUGREPORT = 0x8032;
// Window message with which the frame reader asks the GUI thread to end the
// application.
constexpr unsigned WM_PLUGENDAPP = 0x8033;

// A header announcing this many payload bytes or more is refused.
constexpr int ReportLengthLimit = 4050;
