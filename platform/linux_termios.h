// The Linux kernel's own terminal settings (struct termios2 and its ioctl
// requests), which carry the speed in baud, for the speeds that have no B
// constant. They live in a file of their own because the C library declares
// neither the struct nor its requests, and the kernel's header that does
// (<asm/termbits.h>) clashes with <termios.h> in the same translation unit.
#pragma once

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__))
#define PLUG_FREE_SPEEDS 1

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace plat::linux_termios {

struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kSpeedBits = 0010017;              // CBAUD
constexpr tcflag_t kInputSpeedBits = 0010017u << 16;  // CIBAUD: 0 = as the output
constexpr tcflag_t kOtherSpeed = 0010000;             // BOTHER

// Applies t with 'baud' as its speed in one request.
inline bool SetWithFreeSpeed(int fd, const termios& t, std::uint32_t baud) {
  KernelTermios2 k{};
  k.c_iflag = t.c_iflag;
  k.c_oflag = t.c_oflag;
  k.c_cflag = (t.c_cflag & ~(kSpeedBits | kInputSpeedBits)) | kOtherSpeed;
  k.c_lflag = t.c_lflag;
  k.c_line = t.c_line;
  std::copy_n(t.c_cc, std::size(k.c_cc), k.c_cc);
  k.c_ispeed = baud;
  k.c_ospeed = baud;
  return ::ioctl(fd, kSetTermios2, &k) == 0;
}

// The output speed in baud; 0 when the kernel does not say.
inline std::uint32_t FreeSpeed(int fd) {
  KernelTermios2 k{};
  return ::ioctl(fd, kGetTermios2, &k) == 0 ? k.c_ospeed : 0;
}

}  // namespace plat::linux_termios

#endif
