#include "sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace sim {
namespace {

std::uint32_t BaudOf(speed_t s) {
  switch (s) {
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

}  // namespace

plat::Dcb HostLineFromTerminal(std::uint32_t baud, unsigned cflag, unsigned iflag) {
  plat::Dcb d;
  d.BaudRate = baud;
  d.fBinary = true;
  switch (cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
  }
  if (baud == 1200) d.ByteSize = 7;  // a pty cannot carry 7 data bits
  d.fParity = (cflag & PARENB) != 0;
  d.Parity = !d.fParity ? plat::kNoParity : (cflag & PARODD) ? plat::kOddParity : plat::kEvenParity;
  d.StopBits = (cflag & CSTOPB) ? plat::kTwoStopBits : plat::kOneStopBit;
  const bool rtscts = (cflag & CRTSCTS) != 0;
  d.fOutxCtsFlow = rtscts;
  d.fRtsControl = rtscts ? plat::kRtsControlHandshake : plat::kRtsControlEnable;
  d.fDtrControl = plat::kDtrControlEnable;
  d.fOutX = (iflag & IXON) != 0;
  d.fInX = (iflag & IXOFF) != 0;
  return d;
}

PtyLink::PtyLink(Plug& plug) : plug_(plug) { plug_.SetWireTiming(true); }

PtyLink::~PtyLink() { Close(); }

void PtyLink::Close() {
  if (openWatch_ >= 0) ::close(openWatch_);
  openWatch_ = -1;
  if (slaveHold_ >= 0) ::close(slaveHold_);
  if (master_ >= 0) ::close(master_);
  slaveHold_ = master_ = -1;
}

bool PtyLink::Open() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    error_ = std::string("pseudo-terminal: ") + std::strerror(errno);
    Close();
    return false;
  }
  char name[256];
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    error_ = std::string("ptsname: ") + std::strerror(errno);
    Close();
    return false;
  }
  slavePath_ = name;
  slaveHold_ = ::open(name, O_RDWR | O_NOCTTY);
  termios t{};
  if (slaveHold_ < 0 || ::tcgetattr(slaveHold_, &t) != 0) {
    error_ = slavePath_ + ": " + std::strerror(errno);
    Close();
    return false;
  }
  ::cfmakeraw(&t);  // no echo or line editing unless the program asks for it
  ::cfsetispeed(&t, B9600);
  ::cfsetospeed(&t, B9600);
  ::tcsetattr(slaveHold_, TCSANOW, &t);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  openWatch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (openWatch_ >= 0) ::inotify_add_watch(openWatch_, name, IN_OPEN);
  return true;
}

void PtyLink::NoticeOpen(TimePoint now) {
  alignas(inotify_event) char events[1024];
  while (openWatch_ >= 0 && ::read(openWatch_, events, sizeof events) > 0) openedAt_ = now;
}

void PtyLink::Enumerate(TimePoint now) {
  // The sequence as a well-behaved host performs it, ending now.
  using std::chrono::milliseconds;
  const TimePoint t0 = now - milliseconds(600);
  plug_.SetLines(t0, false, false, host_);
  plug_.SetLines(t0, true, false, host_);
  plug_.SetLines(t0 + milliseconds(200), false, false, host_);
  plug_.SetLines(t0 + milliseconds(400), true, false, host_);
  plug_.SetLines(now, true, true, host_);
  enumeratedAt_ = now;
  ++enumerations_;
}

void PtyLink::ReadSettings(TimePoint now) {
  termios t{};
  if (::tcgetattr(master_, &t) != 0) return;
  host_ = HostLineFromTerminal(BaudOf(::cfgetospeed(&t)), static_cast<unsigned>(t.c_cflag),
                               static_cast<unsigned>(t.c_iflag));
  if (host_.BaudRate != lastBaud_) {
    lastBaud_ = host_.BaudRate;
    if (lastBaud_ == 1200) {
      Enumerate(now);
      openedAt_.reset();
    }
  }
  // An open of the port with the line left at 1200 baud starts one too, but
  // not within a second of the last one: an open noticed after the switch
  // (late on a busy machine, or a second open of the device, as Wine may do)
  // belongs to that identification, and a second one would cut into the
  // identifier being sent (about 0.3 s at 1200 baud).
  if (openedAt_ && now - *openedAt_ >= std::chrono::milliseconds(200)) {
    const bool recent = enumeratedAt_ && *openedAt_ - *enumeratedAt_ < std::chrono::seconds(1);
    if (lastBaud_ == 1200 && !recent) Enumerate(now);
    openedAt_.reset();
  }
}

bool PtyLink::Step(std::chrono::milliseconds maxWait) {
  if (master_ < 0) return false;
  TimePoint now = Clock::now();

  NoticeOpen(now);
  ReadSettings(now);

  auto wait = maxWait;
  if (auto due = plug_.NextDue()) {
    const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(*due - now);
    wait = std::clamp(until, std::chrono::milliseconds(0), maxWait);
  }
  pollfd p{master_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
  now = Clock::now();
  if (ready > 0 && (p.revents & POLLIN)) {
    ReadSettings(now);  // the program may have changed them just before writing
    std::uint8_t buf[512];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    std::size_t at = 0;
    while (n > 0 && at < static_cast<std::size_t>(n)) {
      const auto acc = plug_.Receive(now, buf + at, static_cast<std::size_t>(n) - at, host_);
      at += acc.count;
      if (acc.fault == Plug::Fault::Unplug) {
        unplugged_ = true;
        plug_.SetLines(now, false, false, host_);
        Close();  // the program's port goes away
        return false;
      }
      if (acc.fault == Plug::Fault::WriteError) ++writeErrors_;  // a pty has no failing write: counted only
    }
  }

  std::vector<Plug::OutByte> out;
  plug_.Collect(now, out);
  std::vector<std::uint8_t> bytes;
  for (const auto& o : out) {
    if (auto v = Garble(o.wire, host_, o.value)) bytes.push_back(*v);
  }
  std::size_t sent = 0;
  for (int tries = 0; sent < bytes.size() && tries < 1000; ++tries) {
    const ssize_t w = ::write(master_, bytes.data() + sent, bytes.size() - sent);
    if (w > 0) {
      sent += static_cast<std::size_t>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

void PtyLink::Run(const std::atomic<bool>& stop) {
  while (!stop.load() && Step(std::chrono::milliseconds(5))) {
  }
}

}  // namespace sim
