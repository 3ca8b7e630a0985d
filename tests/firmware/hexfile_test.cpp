// Properties of the committed firmware file, read with a parser of its own
// (not the checker the build uses), so both have to agree with the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSpanFirst = 0x10000, kSpanLast = 0x2E022, kFlashLast = 0x37FFF;

struct Record {
  std::string line;  // without LF
  int type = -1;
  unsigned offset = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t first = 0, last = 0;  // data records: first and last address
  bool wellFormed = false;            // ':' + uppercase hex pairs, count and checksum fit
};

struct HexFile {
  std::string text;
  std::vector<Record> records;
  std::vector<int> writes = std::vector<int>(kFlashLast + 1);
  std::vector<std::uint8_t> value = std::vector<std::uint8_t>(kFlashLast + 1, 0xFF);
};

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}

Record parseRecord(const std::string& line, std::uint32_t bank) {
  Record r;
  r.line = line;
  if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return r;
  std::vector<std::uint8_t> b;
  unsigned sum = 0;
  for (std::size_t i = 1; i < line.size(); i += 2) {
    const int hi = nibble(line[i]), lo = nibble(line[i + 1]);
    if (hi < 0 || lo < 0) return r;
    b.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    sum += b.back();
  }
  r.type = b[3];
  r.offset = static_cast<unsigned>(b[1] * 256 + b[2]);
  r.data.assign(b.begin() + 4, b.end() - 1);
  r.first = (bank << 16) + r.offset;  // no wrap at a 64 KiB boundary
  r.last = r.first + static_cast<std::uint32_t>(r.data.size()) - 1;
  r.wellFormed = b[0] == r.data.size() && sum % 256 == 0;
  return r;
}

const HexFile& hexFile() {
  static const HexFile file = [] {
    HexFile f;
    std::ifstream in(PLUG_FIRMWARE_HEX, std::ios::binary);
    f.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::uint32_t bank = 0;
    for (std::size_t pos = 0, lf; (lf = f.text.find('\n', pos)) != std::string::npos; pos = lf + 1) {
      Record r = parseRecord(f.text.substr(pos, lf - pos), bank);
      if (r.type == 4 && r.data.size() == 2) bank = static_cast<std::uint32_t>(r.data[0] << 8 | r.data[1]);
      if (r.type == 0)
        for (std::size_t i = 0; i < r.data.size() && r.first + i <= kFlashLast; ++i) {
          ++f.writes[r.first + i];
          f.value[r.first + i] = r.data[i];
        }
      f.records.push_back(std::move(r));
    }
    return f;
  }();
  return file;
}

const Record& line(std::size_t n) { return hexFile().records.at(n - 1); }

TEST(FirmwareHexFile, TextIsLfTerminatedUppercaseRecords) {
  const HexFile& f = hexFile();
  EXPECT_EQ(f.text.size(), 336504u);
  EXPECT_EQ(f.text.find('\r'), std::string::npos);
  ASSERT_FALSE(f.text.empty());
  EXPECT_EQ(f.text.back(), '\n');
  ASSERT_EQ(f.records.size(), 7681u);
  for (std::size_t i = 0; i < f.records.size(); ++i) {
    const Record& r = f.records[i];
    SCOPED_TRACE("line " + std::to_string(i + 1));
    EXPECT_TRUE(r.wellFormed) << r.line;
    EXPECT_GE(r.line.size() + 1, 12u);
    EXPECT_LE(r.line.size() + 1, 44u);
  }
}

TEST(FirmwareHexFile, RecordKindsAndSizes) {
  int full = 0, shortOnes = 0, banks = 0, starts = 0, ends = 0;
  std::size_t shortBytes = 0;
  for (const Record& r : hexFile().records) {
    switch (r.type) {
      case 0:
        if (r.data.size() == 16) ++full;
        if (r.data.size() >= 1 && r.data.size() <= 15) {
          ++shortOnes;
          shortBytes += r.data.size();
        }
        break;
      case 4:
        ++banks;
        EXPECT_EQ(r.offset, 0u);
        ASSERT_EQ(r.data.size(), 2u);
        EXPECT_EQ(r.data[0], 0);
        EXPECT_TRUE(r.data[1] == 1 || r.data[1] == 2) << r.line;
        break;
      case 3:
        ++starts;
        EXPECT_EQ(r.line, ":00000003FD");
        break;
      case 1: ++ends; break;
      default: ADD_FAILURE() << "record type " << r.type << ": " << r.line;
    }
  }
  EXPECT_EQ(full, 7603);
  EXPECT_EQ(shortOnes, 71);
  EXPECT_EQ(shortBytes, 508u);
  EXPECT_EQ(banks, 5);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(hexFile().records.back().line, ":00000001FF");
}

TEST(FirmwareHexFile, RecordOrder) {
  struct Landmark {
    std::size_t line;
    int type;
    std::uint32_t first, last;  // data: address range; type 04: bank in `first`
  };
  const Landmark landmarks[] = {
      {1, 4, 1, 0},           {2, 0, 0x10000, 0x1000B}, {3, 0, 0x10020, 0x1002F},
      {4090, 0, 0x1FFFC, 0x2000B}, {4091, 4, 2, 0},     {4092, 0, 0x2000C, 0x2001B},
      {7456, 0, 0x2D345, 0x2D345}, {7457, 4, 1, 0},     {7458, 0, 0x10ED0, 0x10EDF},
      {7462, 0, 0x10F10, 0x10F13}, {7463, 4, 2, 0},     {7464, 0, 0x2D348, 0x2D357},
      {7677, 0, 0x2E021, 0x2E022}, {7678, 3, 0, 0},     {7679, 4, 1, 0},
      {7680, 0, 0x10020, 0x10020}, {7681, 1, 0, 0},
  };
  for (const Landmark& m : landmarks) {
    const Record& r = line(m.line);
    SCOPED_TRACE("line " + std::to_string(m.line) + ": " + r.line);
    ASSERT_EQ(r.type, m.type);
    if (m.type == 0) {
      EXPECT_EQ(r.first, m.first);
      EXPECT_EQ(r.last, m.last);
    } else if (m.type == 4) {
      EXPECT_EQ(r.data.at(1), m.first);
    }
  }
  // Data runs between the bank records climb: each record starts above where
  // the previous one ended.
  const std::pair<std::size_t, std::size_t> runs[] = {{2, 4090}, {4092, 7456}, {7458, 7462}, {7464, 7677}};
  for (const auto& [from, to] : runs)
    for (std::size_t n = from; n <= to; ++n) {
      ASSERT_EQ(line(n).type, 0) << "line " << n;
      if (n > from) {
        EXPECT_GT(line(n).first, line(n - 1).last) << "line " << n;
      }
    }
}

TEST(FirmwareHexFile, WrittenAddresses) {
  const HexFile& f = hexFile();
  std::size_t total = 0, distinct = 0;
  std::uint32_t lowest = kFlashLast, highest = 0;
  for (const Record& r : f.records)
    if (r.type == 0) {
      total += r.data.size();
      EXPECT_GE(r.first, kSpanFirst);
      EXPECT_LE(r.last, kFlashLast);
    }
  for (std::uint32_t a = 0; a <= kFlashLast; ++a)
    if (f.writes[a] > 0) {
      ++distinct;
      lowest = std::min(lowest, a);
      highest = std::max(highest, a);
      if (a != 0x10020) {
        EXPECT_EQ(f.writes[a], 1) << std::hex << a;
      }
    }
  EXPECT_EQ(total, 122156u);
  EXPECT_EQ(distinct, 122155u);
  EXPECT_EQ(lowest, kSpanFirst);
  EXPECT_EQ(highest, kSpanLast);

  // 0x10020 is sent twice: erased in line 3, the image-valid marker last.
  EXPECT_EQ(f.writes[0x10020], 2);
  EXPECT_EQ(line(3).data.at(0), 0xFF);
  EXPECT_EQ(line(7680).data, std::vector<std::uint8_t>{0xA5});
  EXPECT_EQ(f.value[0x10020], 0xA5);
}

TEST(FirmwareHexFile, ErasedStretches) {
  const HexFile& f = hexFile();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps;  // first, last
  for (std::uint32_t a = kSpanFirst; a <= kSpanLast; ++a)
    if (f.writes[a] == 0) {
      if (!gaps.empty() && gaps.back().second + 1 == a) gaps.back().second = a;
      else gaps.emplace_back(a, a);
    }
  ASSERT_EQ(gaps.size(), 18u);
  using Gap = std::pair<std::uint32_t, std::uint32_t>;
  const Gap large[] = {{0x1000C, 0x1001F}, {0x10F14, 0x10FFF}, {0x2D028, 0x2D1FF}};
  std::uint32_t smallCount = 0, smallBytes = 0;
  bool sawBetweenTail = false;
  for (const Gap& g : gaps) {
    if (std::find(std::begin(large), std::end(large), g) != std::end(large)) continue;
    const std::uint32_t size = g.second - g.first + 1;
    EXPECT_GE(size, 1u);
    EXPECT_LE(size, 3u) << std::hex << g.first;
    ++smallCount;
    smallBytes += size;
    sawBetweenTail |= g == Gap{0x2D346, 0x2D347};
  }
  EXPECT_EQ(smallCount, 15u);
  EXPECT_EQ(smallBytes, 32u);
  EXPECT_TRUE(sawBetweenTail);
  for (std::uint32_t a = kSpanLast + 1; a <= kFlashLast; ++a) ASSERT_EQ(f.writes[a], 0) << std::hex << a;
}

TEST(FirmwareHexFile, HeaderPointsAtBannerPieces) {
  const HexFile& f = hexFile();
  EXPECT_EQ(f.value[0x10000], 'Q');
  EXPECT_EQ(f.value[0x10001], 'P');
  const char* const expected[] = {"Orvane QUOR PLUG", "Firmware Revision", "1.63.2", "Dec 10 2002", "16:08:26"};
  std::string pieces[5];
  for (int i = 0; i < 5; ++i) {
    const std::uint32_t at = kSpanFirst + f.value[0x10002u + 2 * i] + 256u * f.value[0x10003u + 2 * i];
    for (std::uint32_t a = at;; ++a) {
      ASSERT_LT(a, 0x20000u) << "piece " << i << " runs out of bank 1";
      ASSERT_EQ(f.writes[a], 1) << "piece " << i << " uses unwritten or rewritten " << std::hex << a;
      ASSERT_FALSE(a >= 0x10ED0 && a <= 0x10F13) << "piece " << i << " in the calibration table";
      if (f.value[a] == 0) break;
      pieces[i] += static_cast<char>(f.value[a]);
    }
    EXPECT_EQ(pieces[i], expected[i]);
  }
  EXPECT_EQ(pieces[0] + " " + pieces[1] + " " + pieces[2] + " Build " + pieces[3] + " " + pieces[4],
            "Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26");
}

}  // namespace
