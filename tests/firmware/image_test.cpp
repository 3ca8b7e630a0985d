// The built-in image carries the committed file line for line.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"

// Built by plug_firmware_image() from data/small.hex with SYMBOL SmallTestImage.
extern const char* const SmallTestImage[];
extern const std::size_t SmallTestImageLineCount;

namespace {

// Lines of a file, each with its LF.
std::vector<std::string> fileLines(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::string> lines;
  for (std::size_t pos = 0, lf; (lf = text.find('\n', pos)) != std::string::npos; pos = lf + 1)
    lines.push_back(text.substr(pos, lf + 1 - pos));
  return lines;
}

struct ImageCase {
  const char* name;
  const char* const* image;
  const std::size_t* count;
  const char* hexPath;
  std::size_t expectedLines;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.name; }

class BuiltImage : public testing::TestWithParam<ImageCase> {};

TEST_P(BuiltImage, MatchesFileLineForLine) {
  const ImageCase& c = GetParam();
  const std::vector<std::string> lines = fileLines(c.hexPath);
  ASSERT_EQ(lines.size(), c.expectedLines);
  EXPECT_EQ(*c.count, c.expectedLines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_NE(c.image[i], nullptr) << "entry " << i;
    EXPECT_EQ(std::string(c.image[i]), lines[i]) << "entry " << i;
    EXPECT_EQ(std::strchr(c.image[i], '\r'), nullptr);
    EXPECT_EQ(std::strchr(c.image[i], '\n'), c.image[i] + std::strlen(c.image[i]) - 1);
  }
  EXPECT_EQ(c.image[lines.size()], nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, BuiltImage,
    testing::Values(ImageCase{"Release", FirmwareImage, &FirmwareImageLineCount, PLUG_FIRMWARE_HEX, 7681},
                    ImageCase{"Small", SmallTestImage, &SmallTestImageLineCount, PLUG_SMALL_HEX, 7}),
    [](const testing::TestParamInfo<ImageCase>& p) { return std::string(p.param.name); });

}  // namespace
