#include "sim/hexflash.h"

#include "sim/plug.h"

namespace sim {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> FlashFromHexLines(const std::vector<std::string>& lines,
                                                           std::string& error) {
  std::vector<std::uint8_t> flash(kFlashSize, 0xFF);
  std::uint32_t upper = 0;
  int number = 0;
  for (std::string line : lines) {
    ++number;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    std::vector<std::uint8_t> b;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      const int hi = HexDigit(line[i]);
      const int lo = HexDigit(line[i + 1]);
      if (hi < 0 || lo < 0) break;
      b.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    if (line[0] != ':' || b.size() < 5 || b.size() != b[0] + 5u) {
      error = "line " + std::to_string(number) + ": not an Intel HEX record";
      return std::nullopt;
    }
    if (b[3] == 0x04) upper = (std::uint32_t{b[4]} << 8) | b[5];
    if (b[3] == 0x01) break;
    if (b[3] != 0x00) continue;
    const std::uint32_t base = (upper << 16) + (std::uint32_t{b[1]} << 8) + b[2];
    for (std::uint32_t i = 0; i < b[0]; ++i) {
      const std::uint32_t a = base + i;
      if (a < kFlashBase || a > kFlashEnd) {
        error = "line " + std::to_string(number) + ": address outside the flash";
        return std::nullopt;
      }
      flash[a - kFlashBase] &= b[4 + i];
    }
  }
  return flash;
}

}  // namespace sim
