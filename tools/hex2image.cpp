// hex2image: turns a firmware .hex file into a C++ source that carries it.
//
// Usage: hex2image [--symbol NAME] <input.hex> <output.cpp>
//
// The output defines
//   extern const char* const NAME[];          // default NAME: FirmwareImage
//   extern const std::size_t NAMELineCount;
// with one string per line of the file, in file order, each ending in its
// "\n", followed by nullptr. A file the plug's boot monitor must not receive
// is refused: "<input>:<line>: <fault>" on stderr, exit status 1, and no
// output file (an older one is removed so a build cannot pick it up).

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "tools/hexcheck.h"

namespace {

bool isIdentifier(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

int usage() {
  std::cerr << "usage: hex2image [--symbol NAME] <input.hex> <output.cpp>\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string symbol = "FirmwareImage";
  int arg = 1;
  if (argc > 1 && std::string_view(argv[1]) == "--symbol") {
    if (argc < 3 || !isIdentifier(argv[2])) return usage();
    symbol = argv[2];
    arg = 3;
  }
  if (argc - arg != 2) return usage();
  const std::string inputName = argv[arg];
  const std::filesystem::path output = argv[arg + 1];

  std::error_code ec;
  std::filesystem::remove(output, ec);  // never leave a stale image behind

  std::ifstream in(inputName, std::ios::binary);
  if (!in) {
    std::cerr << inputName << ": cannot open\n";
    return 1;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    std::cerr << inputName << ": read error\n";
    return 1;
  }

  const plug::hex::CheckResult checked = plug::hex::checkHexText(text);
  if (!checked.ok) {
    std::cerr << plug::hex::describeFault(inputName, checked) << "\n";
    return 1;
  }

  const std::string source = plug::hex::renderImageSource(inputName, symbol, checked);
  std::filesystem::path temp = output;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(source.data(), static_cast<std::streamsize>(source.size()));
    out.close();
    if (!out) {
      std::filesystem::remove(temp, ec);
      std::cerr << output.string() << ": cannot write\n";
      return 1;
    }
  }
  std::filesystem::rename(temp, output, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    std::cerr << output.string() << ": cannot write\n";
    return 1;
  }
  return 0;
}
