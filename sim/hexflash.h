// What a HEX image should leave in the plug's flash, worked out from its
// record lines alone, apart from the plug's own loader: the oracle that tests,
// the benchmark and the emulator compare the plug's flash with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The flash 0x10000..0x37FFF after an erase and a load of these Intel HEX
// record lines (line ends may be included; blank lines are skipped; the
// end-of-file record ends the load). Programming only clears bits, as flash
// does. Nothing, with error "line N: ...", for a line that is not a record or a
// data byte outside the flash.
std::optional<std::vector<std::uint8_t>> FlashFromHexLines(const std::vector<std::string>& lines,
                                                           std::string& error);

}  // namespace sim
