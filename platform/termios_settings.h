// The conversion between the line settings (Dcb) and termios flags, apart
// from any descriptor, for the POSIX serial backend.
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/serial_api.h"

namespace plat::termios_settings {

// The B constant of a speed; false when it has none.
bool SpeedCode(std::uint32_t baud, speed_t& code);
// The speed of a B constant; 0 for one not in the table.
std::uint32_t BaudOf(speed_t code);

// Changes t as the Dcb says: raw mode, frame, flow control, the XON/XOFF
// characters, no driver time-outs. Every member a setting owns is cleared
// before it is set, so nothing of what t held before survives. A speed
// without a B constant is left to the caller (freeSpeed true) when the
// platform can set it. False, with error set, for settings termios cannot
// carry.
bool ToTermios(const Dcb& d, termios& t, bool& freeSpeed, std::uint32_t& error);

// Overwrites the members termios holds (the speed when it has a B
// constant); the others keep their value in d.
void FromTermios(const termios& t, Dcb& d);

}  // namespace plat::termios_settings
