// The HEX checker and the converter that turns a checked file into the
// image's source, on any text.
//
// Checked beyond "no crash": a text the checker accepts is re-read here
// record by record (':' and uppercase digit pairs, byte count, checksum, the
// four allowed types, every data byte inside the flash range, the end-of-file
// record last) and its lines joined give the text back; a refused text names
// a line that exists and a fault; the converter's source carries exactly the
// accepted lines, in order, and their count.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/support/check.h"
#include "tools/hexcheck.h"

using fuzzing::Check;
using fuzzing::Fail;

namespace {

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Re-reads one accepted line; the bank of the last type-04 record carries over.
void Reread(std::string_view line, std::uint32_t& bank, bool& sawEnd) {
  Check(!sawEnd, "a line after the end-of-file record was accepted");
  Check(line.size() >= 12 && line.size() <= plug::hex::kMaxLineLength, "an accepted line has a wrong length");
  Check(line.front() == ':' && line.back() == '\n', "an accepted line is not ':' ... LF");
  const std::string_view digits = line.substr(1, line.size() - 2);
  Check(digits.size() % 2 == 0, "an accepted line has an odd digit count");
  std::uint8_t bytes[128];
  const std::size_t n = digits.size() / 2;
  Check(n <= sizeof bytes, "an accepted line is too long");
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = Digit(digits[2 * i]);
    const int lo = Digit(digits[2 * i + 1]);
    Check(hi >= 0 && lo >= 0, "an accepted line holds a character other than an uppercase digit");
    bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    sum += bytes[i];
  }
  Check(bytes[0] + 5u == n, "an accepted line's byte count is wrong");
  Check(sum % 256 == 0, "an accepted line's checksum is wrong");
  const std::uint32_t offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
  switch (bytes[3]) {
    case 0x00:
      for (std::uint32_t i = 0; i < bytes[0]; ++i) {
        const std::uint64_t address = (std::uint64_t{bank} << 16) + offset + i;
        Check(address >= plug::hex::kLowestAddress && address <= plug::hex::kHighestAddress,
              "accepted data lies outside the flash range");
      }
      break;
    case 0x01:
      Check(bytes[0] == 0, "an accepted end-of-file record has data");
      sawEnd = true;
      break;
    case 0x03: break;
    case 0x04:
      Check(bytes[0] == 2 && offset == 0, "an accepted bank record is malformed");
      bank = static_cast<std::uint32_t>(bytes[4] << 8 | bytes[5]);
      break;
    default: Fail("an accepted record has a type the monitor does not take");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const plug::hex::CheckResult result = plug::hex::checkHexText(text);

  if (!result.ok) {
    Check(result.lines.empty(), "a refused text hands out lines");
    std::size_t lineCount = 1;
    for (char c : text) lineCount += c == '\n';
    Check(result.line >= 1 && result.line <= lineCount, "a refusal names a line that does not exist");
    Check(!result.error.empty(), "a refusal names no fault");
    Check(plug::hex::describeFault("f.hex", result) == "f.hex:" + std::to_string(result.line) + ": " + result.error,
          "the fault is not described as name:line: fault");
    return 0;
  }

  std::string joined;
  std::uint32_t bank = 0;
  bool sawEnd = false;
  for (std::string_view line : result.lines) {
    Reread(line, bank, sawEnd);
    joined += line;
  }
  Check(sawEnd, "a text without end-of-file record was accepted");
  Check(joined == text, "the accepted lines are not the text");
  Check(result.line == 0 && result.error.empty(), "an accepted text carries a fault");

  // The converter: one string literal per line, the LF written as "\n".
  const std::string source = plug::hex::renderImageSource("f.hex", "Image", result);
  std::size_t pos = source.find("const char* const Image[] = {\n");
  Check(pos != std::string::npos, "the source does not define the image");
  pos = source.find('\n', pos) + 1;
  for (std::string_view line : result.lines) {
    const std::string expected =
        "    \"" + std::string(line.substr(0, line.size() - 1)) + "\\n\",\n";
    Check(source.compare(pos, expected.size(), expected) == 0, "the source does not carry a line as it is");
    pos += expected.size();
  }
  Check(source.compare(pos, 15, "    nullptr,\n};") == 0, "the image does not end with nullptr");
  Check(source.find("ImageLineCount = " + std::to_string(result.lines.size()) + ";\n") != std::string::npos,
        "the source gives another line count");
  return 0;
}
