// hexgen: writes the plug firmware image, revision 1.63.2, as Intel HEX.
//
// The tool carries exactly this file, so its layout is fixed: which blocks
// are written, how they are cut into records and in which order the records
// come. The plug checks its own header and the image-valid marker, so those
// bytes are fixed too; everything else is filler from a small LCG. The output
// is the same, byte for byte, on every run and every host.
//
// Usage: hexgen <output.hex>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kFlashBase = 0x10000;  // first address the plug accepts
constexpr std::uint32_t kFlashEnd = 0x38000;   // one past the last
constexpr std::size_t kRecordBytes = 16;

// Firmware header at kFlashBase: "QP", then the offsets (from kFlashBase,
// little-endian) of the five NUL-terminated pieces the plug builds its
// banner from: "<maker/model> <label> <revision> Build <date> <time>".
constexpr std::uint32_t kHeaderSize = 12;
struct TextPiece {
  std::uint32_t address;
  std::string_view text;
};
constexpr TextPiece kBannerPieces[] = {
    {0x16480, "Orvane QUOR PLUG"},
    {0x16494, "Firmware Revision"},
    {0x164A8, "1.63.2"},
    {0x1A110, "Dec 10 2002"},
    {0x1A11C, "16:08:26"},
};

// Image-valid marker. The main block sends it erased (0xFF); the very last
// data record sets it, so an upload cut short leaves the image marked invalid.
constexpr std::uint32_t kMarkerAddress = 0x10020;
constexpr std::uint8_t kMarkerValid = 0xA5;

struct Block {
  std::uint32_t start;
  std::uint32_t size;
};

// Blocks of the main link output, in address order. Each block is cut into
// 16-byte records from its own start; the last record of a block is shorter
// when the size is not a multiple of 16. Addresses between blocks stay erased.
constexpr Block kMainBlocks[] = {
    {0x10000, kHeaderSize},
    // 0x10020 starts with the marker; 0x10ED0..0x10FFF is left for the
    // calibration table and its spare room.
    {0x10020, 1163}, {0x104AB, 57},   {0x104E4, 230},  {0x105CA, 1988},
    {0x10D91, 319},
    {0x11000, 295},  {0x11127, 247},  {0x1121E, 519},  {0x11425, 2662},
    {0x11E8B, 495},  {0x1207A, 1087}, {0x124B9, 955},  {0x12876, 5287},
    {0x13D1D, 404},  {0x13EB1, 9673}, {0x1647A, 2023}, {0x16C61, 1593},
    {0x1729A, 765},  {0x17598, 267},  {0x176A6, 1711}, {0x17D58, 6804},
    {0x197ED, 255},  {0x198EC, 249},  {0x199E6, 1157}, {0x19E6B, 669},
    {0x1A108, 565},  {0x1A33D, 246},  {0x1A433, 5574}, {0x1B9F9, 365},
    {0x1BB66, 7078},
    // Runs across the 64 KiB boundary into bank 2.
    {0x1D70C, 10839},
    {0x20163, 402},  {0x202F5, 502},  {0x204EB, 2300}, {0x20DE7, 154},
    {0x20E81, 3169}, {0x21AE2, 762},  {0x21DDC, 138},  {0x21E66, 3163},
    {0x22AC1, 1981}, {0x2327E, 154},  {0x23319, 2645}, {0x23D71, 1238},
    {0x24247, 358},  {0x243AD, 6881}, {0x25E8E, 5291}, {0x2733A, 515},
    {0x2753D, 4909}, {0x2886A, 4710}, {0x29AD0, 6825}, {0x2B579, 589},
    {0x2B7C6, 5457}, {0x2CD17, 632},  {0x2CF92, 150},
    // 0x2D028..0x2D1FF stays erased.
    {0x2D200, 81},   {0x2D254, 145},  {0x2D2E5, 97},
};

// Calibration table, patched in by the post-link step after the main output.
constexpr Block kCalibrationTable = {0x10ED0, 68};

// Trailing blocks, sent after the calibration table.
constexpr Block kTailBlocks[] = {
    {0x2D348, 81},   {0x2D399, 49},  {0x2D3CA, 41},  {0x2D3F3, 17},
    {0x2D404, 897},  {0x2D785, 113}, {0x2D7F6, 403}, {0x2D989, 824},
    {0x2DCC3, 22},   {0x2DCD9, 117}, {0x2DD51, 722},
};

// Flash contents: LCG filler everywhere, then the header, the banner pieces
// and the erased marker on top.
class Flash {
 public:
  Flash() : bytes_(kFlashEnd - kFlashBase) {
    std::uint32_t state = 0x51503163u;
    for (auto& b : bytes_) {
      state = state * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(state >> 16);
    }
    std::uint8_t* header = at(kFlashBase);
    header[0] = 'Q';
    header[1] = 'P';
    std::uint8_t* slot = header + 2;
    for (const TextPiece& piece : kBannerPieces) {
      const std::uint32_t offset = piece.address - kFlashBase;
      *slot++ = static_cast<std::uint8_t>(offset & 0xFF);
      *slot++ = static_cast<std::uint8_t>(offset >> 8);
      std::memcpy(at(piece.address), piece.text.data(), piece.text.size());
      at(piece.address)[piece.text.size()] = 0;
    }
    *at(kMarkerAddress) = 0xFF;
  }

  std::span<const std::uint8_t> range(std::uint32_t address, std::size_t n) const {
    return {bytes_.data() + (address - kFlashBase), n};
  }

 private:
  std::uint8_t* at(std::uint32_t address) { return bytes_.data() + (address - kFlashBase); }

  std::vector<std::uint8_t> bytes_;
};

class HexWriter {
 public:
  // One data record at `address`; announces a new bank first when the record
  // starts in a different 64 KiB bank than the last one. A record may run on
  // into the next bank.
  void data(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    const std::uint32_t bank = address >> 16;
    if (!haveBank_ || bank != bank_) {
      const std::uint8_t value[2] = {static_cast<std::uint8_t>(bank >> 8),
                                     static_cast<std::uint8_t>(bank & 0xFF)};
      record(0x04, 0, value);
      bank_ = bank;
      haveBank_ = true;
    }
    record(0x00, static_cast<std::uint16_t>(address & 0xFFFF), bytes);
  }

  void block(const Flash& flash, Block b) {
    for (std::uint32_t done = 0; done < b.size;) {
      const std::uint32_t n = std::min<std::uint32_t>(kRecordBytes, b.size - done);
      data(b.start + done, flash.range(b.start + done, n));
      done += n;
    }
  }

  // Start segment address record; the boot monitor takes it without data.
  void startSegment() { record(0x03, 0, {}); }
  void endOfFile() { record(0x01, 0, {}); }

  const std::string& text() const { return text_; }

 private:
  void record(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    auto put = [&](std::uint8_t b) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      text_ += kDigits[b >> 4];
      text_ += kDigits[b & 0x0F];
      sum = static_cast<std::uint8_t>(sum + b);
    };
    text_ += ':';
    put(static_cast<std::uint8_t>(bytes.size()));
    put(static_cast<std::uint8_t>(offset >> 8));
    put(static_cast<std::uint8_t>(offset & 0xFF));
    put(type);
    for (std::uint8_t b : bytes) put(b);
    put(static_cast<std::uint8_t>(0x100 - sum));
    text_ += '\n';
  }

  std::string text_;
  std::uint32_t bank_ = 0;
  bool haveBank_ = false;
};

std::string buildImage() {
  const Flash flash;
  HexWriter out;
  for (const Block& b : kMainBlocks) out.block(flash, b);
  out.block(flash, kCalibrationTable);
  for (const Block& b : kTailBlocks) out.block(flash, b);
  out.startSegment();
  const std::uint8_t marker[1] = {kMarkerValid};
  out.data(kMarkerAddress, marker);
  out.endOfFile();
  return out.text();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: hexgen <output.hex>\n";
    return 2;
  }
  const std::string text = buildImage();
  // Binary mode: the file must have LF line ends on every host.
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    std::cerr << "hexgen: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
