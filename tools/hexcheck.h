#pragma once
// Checks an Intel HEX text against what the plug's boot monitor accepts.
//
// Accepted: lines of ':' + uppercase hex pairs (byte count, 16-bit offset,
// record type, data, checksum), each ended by exactly one LF; record types
// 00 (data), 01 (end of file, no data, last line), 03 (start segment address)
// and 04 (extended linear address: two data bytes, offset 0). Every data byte
// must land in kLowestAddress..kHighestAddress, where a byte's address is
// (last type-04 value << 16) + offset + index; a record may run on past a
// 64 KiB boundary into the next bank.
// Refused: anything else, including a CR anywhere, blank lines, a missing
// final LF and lines longer than kMaxLineLength characters.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plug::hex {

inline constexpr std::uint32_t kLowestAddress = 0x10000;
inline constexpr std::uint32_t kHighestAddress = 0x37FFF;
// The upload code sends one line per piece, LF included, and a piece holds
// at most this many characters.
inline constexpr std::size_t kMaxLineLength = 255;

struct CheckResult {
  bool ok = false;
  std::size_t line = 0;  // 1-based line of the first fault; 0 when ok
  std::string error;     // what is wrong with that line; empty when ok
  // When ok: every line of the text in order, each with its trailing LF.
  std::vector<std::string_view> lines;
};

// Checks `text`; on success the views in `lines` point into `text`.
CheckResult checkHexText(std::string_view text);

// "<name>:<line>: <error>", the form the tools print.
std::string describeFault(std::string_view name, const CheckResult& result);

// The C++ source that carries a checked text (result.ok): `symbol`[] with one
// string per line, each ending in "\n", then nullptr, and `symbol`LineCount.
std::string renderImageSource(std::string_view inputName, const std::string& symbol,
                              const CheckResult& checked);

}  // namespace plug::hex
