// Mode strings as the line settings take them.
//
// Input: a line setting to start from (the first bytes) and the mode string
// (the rest). Checked beyond "no crash": a refused string leaves the setting
// untouched; an accepted one gives a setting in range (a named speed not 0, 5 to 8
// data bits, a known parity and stop-bit count, parity checking exactly when
// a parity is named), binary mode, no flow control unless the string names
// some, and applying the same string again changes nothing.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/support/check.h"
#include "platform/modestring.h"

using fuzzing::Check;

namespace {

bool Same(const plat::Dcb& a, const plat::Dcb& b) {
  return a.BaudRate == b.BaudRate && a.fBinary == b.fBinary && a.fParity == b.fParity &&
         a.fOutxCtsFlow == b.fOutxCtsFlow && a.fOutxDsrFlow == b.fOutxDsrFlow && a.fDtrControl == b.fDtrControl &&
         a.fDsrSensitivity == b.fDsrSensitivity && a.fTXContinueOnXoff == b.fTXContinueOnXoff && a.fOutX == b.fOutX &&
         a.fInX == b.fInX && a.fErrorChar == b.fErrorChar && a.fNull == b.fNull && a.fRtsControl == b.fRtsControl &&
         a.fAbortOnError == b.fAbortOnError && a.XonLim == b.XonLim && a.XoffLim == b.XoffLim &&
         a.ByteSize == b.ByteSize && a.Parity == b.Parity && a.StopBits == b.StopBits && a.XonChar == b.XonChar &&
         a.XoffChar == b.XoffChar && a.ErrorChar == b.ErrorChar && a.EofChar == b.EofChar && a.EvtChar == b.EvtChar;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return -1;
  plat::Dcb start;
  start.BaudRate = static_cast<std::uint32_t>(data[0]) << 8 | data[1];
  start.fParity = data[2] & 1;
  start.fOutxCtsFlow = data[2] & 2;
  start.fOutxDsrFlow = data[2] & 4;
  start.fOutX = data[2] & 8;
  start.fInX = data[2] & 16;
  start.fDsrSensitivity = data[2] & 32;
  start.fBinary = data[2] & 64;
  start.fDtrControl = static_cast<std::uint8_t>(data[3] & 3);
  start.fRtsControl = static_cast<std::uint8_t>(data[3] >> 2 & 3);
  start.ByteSize = static_cast<std::uint8_t>(5 + (data[4] & 3));
  start.Parity = static_cast<std::uint8_t>(data[4] >> 2 & 3);
  start.StopBits = static_cast<std::uint8_t>(data[4] >> 4 & 1);
  start.XonLim = data[5];
  const std::string mode(reinterpret_cast<const char*>(data + 6), size - 6);  // ends at its first NUL as a C string

  plat::Dcb dcb = start;
  if (!plat::ApplyModeString(dcb, mode.c_str())) {
    Check(Same(dcb, start), "a refused mode string changed the setting");
    return 0;
  }
  Check(dcb.ByteSize >= 5 && dcb.ByteSize <= 8, "data bits out of range");
  Check(dcb.Parity <= plat::kSpaceParity && dcb.StopBits <= plat::kTwoStopBits, "parity or stop bits out of range");
  Check(dcb.fBinary, "an accepted mode string left binary mode off");
  Check(dcb.XonLim == start.XonLim && dcb.XonChar == start.XonChar, "a member no mode string names changed");
  std::string lower(mode.c_str());
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  Check(lower.find("baud=") != std::string::npos ? dcb.BaudRate != 0 : dcb.BaudRate == start.BaudRate,
        "the speed does not follow the mode string");
  if (lower.find("parity=") != std::string::npos) {
    Check(dcb.fParity == (dcb.Parity != plat::kNoParity), "parity checking does not follow the parity");
  }
  bool flowNamed = false;
  for (const char* key : {"xon=", "odsr=", "octs=", "idsr=", "dtr=", "rts="}) {
    flowNamed = flowNamed || lower.find(key) != std::string::npos;
  }
  if (!flowNamed) {
    Check(!dcb.fOutX && !dcb.fInX && !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fDsrSensitivity &&
              dcb.fDtrControl == plat::kDtrControlEnable && dcb.fRtsControl == plat::kRtsControlEnable,
          "a mode string without flow control left some on");
  }
  plat::Dcb again = dcb;
  Check(plat::ApplyModeString(again, mode.c_str()) && Same(again, dcb), "applying the same mode string again changed it");
  return 0;
}
