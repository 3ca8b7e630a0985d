#include "tools/hexcheck.h"

#include <cstdio>
#include <optional>

namespace plug::hex {
namespace {

std::string hex32(std::uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%05llX", static_cast<unsigned long long>(value));
  return buf;
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Checker {
 public:
  // Checks one line (without its LF); returns the fault, if any.
  std::optional<std::string> line(std::string_view text) {
    if (sawEnd_) return "line after the end-of-file record";
    if (text.find('\r') != std::string_view::npos) return "CR in line";
    if (text.empty()) return "empty line";
    if (text.size() + 1 > kMaxLineLength)
      return "line longer than " + std::to_string(kMaxLineLength) + " characters";
    if (text.front() != ':') return "line does not start with ':'";

    const std::string_view digits = text.substr(1);
    for (char c : digits) {
      if (digitValue(c) >= 0) continue;
      if (c >= 'a' && c <= 'f') return "lowercase hex digit";
      return "character other than a hex digit";
    }
    if (digits.size() % 2 != 0) return "odd number of hex digits";
    if (digits.size() < 10) return "record too short";

    std::vector<std::uint8_t> bytes(digits.size() / 2);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(digitValue(digits[2 * i]) * 16 + digitValue(digits[2 * i + 1]));
      sum = static_cast<std::uint8_t>(sum + bytes[i]);
    }
    const std::size_t count = bytes[0];
    if (bytes.size() != count + 5)
      return "byte count " + std::to_string(count) + " does not match the line length";
    if (sum != 0) return "bad checksum";

    const unsigned offset = static_cast<unsigned>(bytes[1] << 8 | bytes[2]);
    switch (bytes[3]) {
      case 0x00: return data(offset, count);
      case 0x01:
        if (count != 0) return "end-of-file record with data";
        sawEnd_ = true;
        return std::nullopt;
      case 0x03: return std::nullopt;
      case 0x04:
        if (count != 2) return "extended linear address record without exactly 2 data bytes";
        if (offset != 0) return "extended linear address record with non-zero offset";
        bank_ = static_cast<std::uint32_t>(bytes[4] << 8 | bytes[5]);
        return std::nullopt;
      default: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "record type %02X not allowed", bytes[3]);
        return std::string(buf);
      }
    }
  }

  bool sawEnd() const { return sawEnd_; }

 private:
  std::optional<std::string> data(unsigned offset, std::size_t count) const {
    if (count == 0) return std::nullopt;
    // 64-bit: a high bank plus offset plus count must not wrap around.
    const std::uint64_t first = (std::uint64_t{bank_} << 16) + offset;
    const std::uint64_t last = first + count - 1;
    if (first < kLowestAddress || last > kHighestAddress)
      return "data at " + hex32(first) + ".." + hex32(last) + " outside " + hex32(kLowestAddress) +
             ".." + hex32(kHighestAddress);
    return std::nullopt;
  }

  std::uint32_t bank_ = 0;
  bool sawEnd_ = false;
};

}  // namespace

CheckResult checkHexText(std::string_view text) {
  CheckResult result;
  auto fail = [&result](std::size_t line, std::string error) {
    result.line = line;
    result.error = std::move(error);
    result.lines.clear();
    return result;
  };
  if (text.empty()) return fail(1, "empty file");

  Checker checker;
  std::size_t lineNo = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    ++lineNo;
    const std::size_t lf = text.find('\n', pos);
    const bool hasLf = lf != std::string_view::npos;
    const std::size_t end = hasLf ? lf : text.size();
    if (auto fault = checker.line(text.substr(pos, end - pos))) return fail(lineNo, *fault);
    if (!hasLf) return fail(lineNo, "no LF at the end of the last line");
    result.lines.push_back(text.substr(pos, end + 1 - pos));
    pos = end + 1;
  }
  if (!checker.sawEnd()) return fail(lineNo, "no end-of-file record");
  result.ok = true;
  return result;
}

std::string describeFault(std::string_view name, const CheckResult& result) {
  return std::string(name) + ":" + std::to_string(result.line) + ": " + result.error;
}

}  // namespace plug::hex
