#include "platform/modestring.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace plat {
namespace {

bool ParseOnOff(std::string_view v, bool& out) {
  if (v == "on") { out = true; return true; }
  if (v == "off") { out = false; return true; }
  return false;
}

bool ParseUnsigned(std::string_view v, unsigned long& out) {
  if (v.empty() || v.size() > 9) return false;
  out = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<unsigned long>(c - '0');
  }
  return true;
}

}  // namespace

bool ApplyModeString(Dcb& dcb, const char* mode) {
  if (mode == nullptr) return false;
  Dcb d = dcb;
  bool flowNamed = false;
  std::string_view rest(mode);
  while (!rest.empty()) {
    const auto start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const auto end = rest.find(' ');
    const std::string_view item = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);

    const auto eq = item.find('=');
    if (eq == std::string_view::npos) return false;
    std::string key(item.substr(0, eq));
    std::string_view value = item.substr(eq + 1);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    unsigned long n = 0;
    if (key == "baud") {
      if (!ParseUnsigned(value, n) || n == 0) return false;
      d.BaudRate = static_cast<std::uint32_t>(n);
    } else if (key == "parity") {
      if (value.size() != 1) return false;
      switch (std::toupper(static_cast<unsigned char>(value[0]))) {
        case 'N': d.Parity = kNoParity; break;
        case 'O': d.Parity = kOddParity; break;
        case 'E': d.Parity = kEvenParity; break;
        case 'M': d.Parity = kMarkParity; break;
        case 'S': d.Parity = kSpaceParity; break;
        default: return false;
      }
      d.fParity = d.Parity != kNoParity;
    } else if (key == "data") {
      if (!ParseUnsigned(value, n) || n < 5 || n > 8) return false;
      d.ByteSize = static_cast<std::uint8_t>(n);
    } else if (key == "stop") {
      if (value == "1") d.StopBits = kOneStopBit;
      else if (value == "1.5") d.StopBits = kOne5StopBits;
      else if (value == "2") d.StopBits = kTwoStopBits;
      else return false;
    } else if (key == "xon") {
      bool on = false;
      if (!ParseOnOff(value, on)) return false;
      d.fOutX = d.fInX = on;
      flowNamed = true;
    } else if (key == "odsr") {
      if (!ParseOnOff(value, d.fOutxDsrFlow)) return false;
      flowNamed = true;
    } else if (key == "octs") {
      if (!ParseOnOff(value, d.fOutxCtsFlow)) return false;
      flowNamed = true;
    } else if (key == "idsr") {
      if (!ParseOnOff(value, d.fDsrSensitivity)) return false;
      flowNamed = true;
    } else if (key == "dtr") {
      if (value == "on") d.fDtrControl = kDtrControlEnable;
      else if (value == "off") d.fDtrControl = kDtrControlDisable;
      else if (value == "hs") d.fDtrControl = kDtrControlHandshake;
      else return false;
      flowNamed = true;
    } else if (key == "rts") {
      if (value == "on") d.fRtsControl = kRtsControlEnable;
      else if (value == "off") d.fRtsControl = kRtsControlDisable;
      else if (value == "hs") d.fRtsControl = kRtsControlHandshake;
      else if (value == "tg") d.fRtsControl = kRtsControlToggle;
      else return false;
      flowNamed = true;
    } else {
      return false;
    }
  }
  if (!flowNamed) {
    d.fOutX = false;
    d.fInX = false;
    d.fOutxCtsFlow = false;
    d.fOutxDsrFlow = false;
    d.fDsrSensitivity = false;
    d.fDtrControl = kDtrControlEnable;
    d.fRtsControl = kRtsControlEnable;
  }
  d.fBinary = true;
  dcb = d;
  return true;
}

}  // namespace plat
