#pragma once
// The plug firmware the tool carries (revision 1.63.2), as the lines of its
// Intel HEX file: one entry per line in file order, each ending in its single
// "\n", followed by a nullptr entry. Generated at build time from
// firmware/quorplug-1.63.2.hex by hex2image, which refuses a damaged file.

#include <cstddef>

extern const char* const FirmwareImage[];

// Number of lines, i.e. of entries before the nullptr.
extern const std::size_t FirmwareImageLineCount;
