// Applies a mode string such as "baud=115200 parity=N data=8 stop=1" to line
// settings, the same way on every platform.
#pragma once

#include "platform/serial_api.h"

namespace plat {

// Sets speed, parity, data bits and stop bits from the string. A string that
// names no flow control ("xon=", "odsr=", "octs=", "dtr=", "rts=", "idsr=")
// also sets the line to no flow control: XON/XOFF off, CTS and DSR output flow
// control off, DSR sensitivity off, DTR and RTS enabled (held on). Every other
// member keeps its value. Returns false, leaving dcb untouched, when the string
// has an unknown key or a value out of range.
bool ApplyModeString(Dcb& dcb, const char* mode);

}  // namespace plat
