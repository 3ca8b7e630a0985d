// Helpers for the simulated-plug tests: small firmware images with the header
// layout and their Intel HEX text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace simtest {

inline const char* const kCom1 = "\\\\.\\COM1";
inline const char* const kCom2 = "\\\\.\\COM2";

// A report frame of type 05 with its payload.
inline std::string Frame(std::uint8_t code, const std::string& payload) {
  std::string f{'\x05', static_cast<char>(code), static_cast<char>(payload.size() >> 8),
                static_cast<char>(payload.size() & 0xFF)};
  return f + payload;
}

inline const char* const kNewBanner = "Orvane QUOR PLUG Firmware Revision 9.9.9 Build Jan 02 2003 10:00:00";

// Image for 0x10000: header "QP", five offsets, text pieces, valid marker at
// 0x20, then `filler` bytes of a counting pattern.
inline std::vector<std::uint8_t> MakeImage(std::size_t filler = 64, bool valid = true) {
  const char* pieces[5] = {"Orvane QUOR PLUG", "Firmware Revision", "9.9.9", "Jan 02 2003",
                           "10:00:00"};
  std::vector<std::uint8_t> img(0x40, 0x00);
  img[0] = 0x51;
  img[1] = 0x50;
  img[0x20] = valid ? 0xA5 : 0x00;
  for (int i = 0; i < 5; ++i) {
    const std::size_t off = img.size();
    img[2 + 2 * i] = static_cast<std::uint8_t>(off & 0xFF);
    img[3 + 2 * i] = static_cast<std::uint8_t>(off >> 8);
    img.insert(img.end(), pieces[i], pieces[i] + std::char_traits<char>::length(pieces[i]) + 1);
  }
  for (std::size_t i = 0; i < filler; ++i) img.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  return img;
}

inline std::string Record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> b{static_cast<std::uint8_t>(data.size()),
                              static_cast<std::uint8_t>(address >> 8),
                              static_cast<std::uint8_t>(address & 0xFF), type};
  b.insert(b.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto v : b) sum += v;
  b.push_back(static_cast<std::uint8_t>((0x100 - (sum & 0xFF)) & 0xFF));
  std::string s = ":";
  char hex[3];
  for (auto v : b) {
    std::snprintf(hex, sizeof hex, "%02X", v);
    s += hex;
  }
  return s + "\n";
}

// HEX text for bytes at `base`, records of `per` bytes (a record is not split
// at a 64 KiB boundary), with the end record.
inline std::string ToHex(std::uint32_t base, const std::vector<std::uint8_t>& bytes, std::size_t per = 16) {
  std::string out;
  std::uint32_t upper = 0xFFFFFFFF;
  for (std::size_t i = 0; i < bytes.size(); i += per) {
    const std::uint32_t a = base + static_cast<std::uint32_t>(i);
    if ((a >> 16) != upper) {
      upper = a >> 16;
      out += Record(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
    }
    const std::size_t n = std::min(per, bytes.size() - i);
    out += Record(0x00, static_cast<std::uint16_t>(a & 0xFFFF),
                  std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                                            bytes.begin() + static_cast<std::ptrdiff_t>(i + n)));
  }
  return out + ":00000001FF\n";
}

inline std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace simtest
