// The conversion between the line settings (Dcb) and termios flags, apart
// from the descriptor: plain functions over the structs, see the header.
#include "platform/termios_settings.h"

#include "platform/linux_termios.h"

namespace plat::termios_settings {

namespace {

struct Speed {
  std::uint32_t baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800}, {500000, B500000}, {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

}  // namespace

bool SpeedCode(std::uint32_t baud, speed_t& code) {
  for (const Speed& s : kSpeeds) {
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  }
  return false;
}

std::uint32_t BaudOf(speed_t code) {
  for (const Speed& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

bool ToTermios(const Dcb& d, termios& t, bool& freeSpeed, std::uint32_t& error) {
  error = kErrorInvalidParameter;
  speed_t speed = B38400;
  freeSpeed = !SpeedCode(d.BaudRate, speed);
#ifdef PLUG_FREE_SPEEDS
  if (freeSpeed && d.BaudRate == 0) return false;
#else
  if (freeSpeed) return false;
#endif
  if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > kSpaceParity || d.StopBits > kTwoStopBits) return false;
  // As on a 16550: 1.5 stop bits only with 5 data bits, 2 only with more.
  if (d.StopBits == kOne5StopBits && d.ByteSize != 5) return false;
  if (d.StopBits == kTwoStopBits && d.ByteSize == 5) return false;
#ifndef CMSPAR
  if (d.Parity == kMarkParity || d.Parity == kSpaceParity) return false;
#endif

  // Raw mode: no line editing, no translation, no signals, no echo.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  t.c_cflag |= CLOCAL | CREAD;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[d.ByteSize - 5];
  switch (d.Parity) {
    case kOddParity:
      t.c_cflag |= PARENB | PARODD;
      break;
    case kEvenParity:
      t.c_cflag |= PARENB;
      break;
#ifdef CMSPAR
    case kMarkParity:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case kSpaceParity:
      t.c_cflag |= PARENB | CMSPAR;
      break;
#endif
    default:
      break;
  }
  if (d.fParity && d.Parity != kNoParity) t.c_iflag |= INPCK;
  if (d.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
  if (d.fOutxCtsFlow || d.fRtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
  if (d.fOutX) t.c_iflag |= IXON;
  if (d.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  // Reads never wait in the driver: Result() polls.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return false;
  return true;
}

void FromTermios(const termios& t, Dcb& d) {
  if (std::uint32_t baud = BaudOf(::cfgetospeed(&t)); baud != 0) d.BaudRate = baud;
  switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
  }
  bool stick = false;
#ifdef CMSPAR
  stick = (t.c_cflag & CMSPAR) != 0;
#endif
  const bool odd = (t.c_cflag & PARODD) != 0;
  if ((t.c_cflag & PARENB) == 0) {
    d.Parity = kNoParity;
  } else if (stick) {
    d.Parity = odd ? kMarkParity : kSpaceParity;
  } else {
    d.Parity = odd ? kOddParity : kEvenParity;
  }
  if ((t.c_cflag & CSTOPB) == 0) {
    d.StopBits = kOneStopBit;
  } else {
    d.StopBits = d.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
  }
  const bool ctsFlow = d.fOutxCtsFlow || d.fRtsControl == kRtsControlHandshake;
  if ((t.c_cflag & CRTSCTS) != 0 && !ctsFlow) {
    d.fOutxCtsFlow = true;
    d.fRtsControl = kRtsControlHandshake;
  } else if ((t.c_cflag & CRTSCTS) == 0 && ctsFlow) {
    d.fOutxCtsFlow = false;
    if (d.fRtsControl == kRtsControlHandshake) d.fRtsControl = kRtsControlEnable;
  }
  d.fOutX = (t.c_iflag & IXON) != 0;
  d.fInX = (t.c_iflag & IXOFF) != 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

}  // namespace plat::termios_settings
