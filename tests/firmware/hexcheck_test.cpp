// The checker behind hex2image: what the boot monitor must not receive.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "tools/hexcheck.h"

namespace {

using plug::hex::checkHexText;

// A record line (no LF) with a correct checksum over exactly these bytes.
std::string raw(std::vector<std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  bytes.push_back(static_cast<std::uint8_t>(0x100 - sum));
  std::string line = ":";
  for (std::uint8_t b : bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  }
  return line;
}

std::string record(std::uint8_t type, unsigned offset, std::size_t count, std::uint8_t fill = 0x5A) {
  std::vector<std::uint8_t> b = {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(offset >> 8),
                                 static_cast<std::uint8_t>(offset & 0xFF), type};
  b.insert(b.end(), count, fill);
  return raw(b);
}

std::string bank(unsigned value) {
  return raw({2, 0, 0, 4, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)});
}

// A good file: bank 1, a record crossing into bank 2, bank 3 up to the last
// flash byte, start record, end of file.
const std::vector<std::string> kGood = {
    bank(1), record(0, 0x0000, 16), record(0, 0xFFF8, 16), bank(3),
    record(0, 0x7FF0, 16), ":00000003FD", ":00000001FF",
};

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

// kGood with line `n` (1-based) replaced; the replacement may hold extra lines.
std::string withLine(std::size_t n, const std::string& replacement) {
  std::vector<std::string> lines = kGood;
  lines[n - 1] = replacement;
  return join(lines);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Damage {
  const char* name;
  std::string text;
  std::size_t line;
  const char* error;  // part of the expected message
};

void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

class RefusedFile : public testing::TestWithParam<Damage> {};

TEST_P(RefusedFile, NamesLineAndFault) {
  const Damage& d = GetParam();
  const auto r = checkHexText(d.text);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.line, d.line);
  EXPECT_NE(r.error.find(d.error), std::string::npos) << r.error;
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(plug::hex::describeFault("fw/x.hex", r).rfind("fw/x.hex:" + std::to_string(d.line) + ": ", 0), 0u);
}

const std::string kLine2 = kGood[1];

INSTANTIATE_TEST_SUITE_P(
    Checker, RefusedFile,
    testing::Values(
        Damage{"MissingColon", withLine(2, kLine2.substr(1)), 2, "':'"},
        Damage{"LeadingSpace", withLine(2, " " + kLine2), 2, "':'"},
        Damage{"LowercaseHex", withLine(3, lower(kGood[2])), 3, "lowercase"},
        Damage{"NotHex", withLine(2, kLine2.substr(0, 9) + "G" + kLine2.substr(10)), 2, "hex digit"},
        Damage{"OddDigits", withLine(2, kLine2 + "0"), 2, "odd number"},
        Damage{"TooShort", withLine(2, ":00000000"), 2, "too short"},
        Damage{"CountTooLarge", withLine(2, raw({16, 0, 0, 0, 1, 2, 3})), 2, "byte count"},
        Damage{"CountTooSmall", withLine(2, raw({1, 0, 0, 0, 1, 2, 3})), 2, "byte count"},
        Damage{"BadChecksum", withLine(3, kGood[2].substr(0, kGood[2].size() - 1) + "0"), 3, "checksum"},
        Damage{"CrLf", withLine(2, kLine2 + "\r"), 2, "CR"},
        Damage{"CrInside", withLine(5, kGood[4].substr(0, 7) + "\r" + kGood[4].substr(7)), 5, "CR"},
        Damage{"EmptyLine", withLine(2, kLine2 + "\n"), 3, "empty line"},
        Damage{"TypeTwo", withLine(2, raw({2, 0, 0, 2, 0x10, 0})), 2, "type 02"},
        Damage{"TypeFive", withLine(6, raw({4, 0, 0, 5, 0, 0, 0, 0})), 6, "type 05"},
        Damage{"BankWithFourBytes", withLine(4, raw({4, 0, 0, 4, 0, 3, 0, 0})), 4, "2 data bytes"},
        Damage{"BankWithOffset", withLine(4, raw({2, 0, 1, 4, 0, 3})), 4, "offset"},
        Damage{"DataBeforeAnyBank", withLine(1, ":00000003FD"), 2, "outside"},
        Damage{"DataBelowFlash", withLine(1, bank(0)), 2, "outside"},
        Damage{"DataAboveFlash", withLine(4, bank(4)), 5, "outside"},
        Damage{"DataRunsPastFlash", withLine(5, record(0, 0x7FF8, 16)), 5, "outside"},
        Damage{"DataInTopBank", withLine(4, bank(0xFFFF)), 5, "outside"},
        Damage{"EndWithData", withLine(7, raw({1, 0, 0, 1, 0})), 7, "end-of-file record with data"},
        Damage{"NoEndRecord", join({kGood.begin(), kGood.end() - 1}), 6, "no end-of-file"},
        Damage{"EndNotLast", withLine(6, ":00000001FF"), 7, "after the end-of-file"},
        Damage{"LineAfterEnd", withLine(7, ":00000001FF\n" + kLine2), 8, "after the end-of-file"},
        Damage{"BlankLineAfterEnd", withLine(7, ":00000001FF\n"), 8, "after the end-of-file"},
        Damage{"NoFinalLf", join(kGood).substr(0, join(kGood).size() - 1), 7, "no LF"},
        Damage{"LineOf256", withLine(2, record(0, 0, 122)), 2, "longer than 255"},
        Damage{"EmptyFile", "", 1, "empty file"}),
    [](const testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

struct Accepted {
  const char* name;
  std::string text;
};

void PrintTo(const Accepted& c, std::ostream* os) { *os << c.name; }

class AcceptedFile : public testing::TestWithParam<Accepted> {};

TEST_P(AcceptedFile, KeepsEveryLineWithItsLf) {
  const std::string& text = GetParam().text;
  const auto r = checkHexText(text);
  ASSERT_TRUE(r.ok) << plug::hex::describeFault("x.hex", r);
  std::string rejoined;
  for (std::string_view l : r.lines) {
    EXPECT_EQ(l.back(), '\n');
    rejoined += l;
  }
  EXPECT_EQ(rejoined, text);
}

INSTANTIATE_TEST_SUITE_P(
    Checker, AcceptedFile,
    testing::Values(Accepted{"Small", join(kGood)},
                    Accepted{"LineOf255", withLine(2, record(0, 0, 121))},
                    Accepted{"BankAgain", withLine(6, bank(1) + "\n" + record(0, 0x0020, 1, 0xA5))},
                    Accepted{"StartRecordWithAddress", withLine(6, raw({4, 0, 0, 3, 0, 0, 0x12, 0x34}))}),
    [](const testing::TestParamInfo<Accepted>& p) { return std::string(p.param.name); });

TEST(Checker, AcceptsReleaseFile) {
  std::ifstream in(PLUG_FIRMWARE_HEX, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto r = checkHexText(text);
  ASSERT_TRUE(r.ok) << plug::hex::describeFault(PLUG_FIRMWARE_HEX, r);
  EXPECT_EQ(r.lines.size(), 7681u);
  EXPECT_EQ(r.lines.back(), ":00000001FF\n");
}

}  // namespace
