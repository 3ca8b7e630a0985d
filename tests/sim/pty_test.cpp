// The plug behind a pseudo-terminal, opened the way a program opens a port.
#include "sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

// Reads up to n bytes within the time limit.
std::string ReadFor(int fd, std::size_t n, std::chrono::milliseconds limit) {
  std::string got;
  const auto end = sim::Clock::now() + limit;
  while (got.size() < n && sim::Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) > 0) {
      char buf[256];
      const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
      if (r > 0) got.append(buf, static_cast<std::size_t>(r));
    }
  }
  return got;
}

void SetLine(int fd, speed_t speed, bool rtscts) {
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  if (rtscts) t.c_cflag |= CRTSCTS; else t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
}

TEST(PtyLink, TerminalSettingsBecomeHostLine) {
  const plat::Dcb ident = sim::HostLineFromTerminal(1200, CS8 | CREAD, 0);
  EXPECT_EQ(ident.ByteSize, 7);  // the pty's 8 bits are taken as the 7 the plug wants
  EXPECT_FALSE(ident.fOutxCtsFlow);
  const plat::Dcb setup = sim::HostLineFromTerminal(115200, CS8 | CRTSCTS | PARENB | PARODD | CSTOPB, IXON);
  EXPECT_EQ(setup.ByteSize, 8);
  EXPECT_TRUE(setup.fOutxCtsFlow);
  EXPECT_EQ(setup.fRtsControl, plat::kRtsControlHandshake);
  EXPECT_EQ(setup.Parity, plat::kOddParity);
  EXPECT_EQ(setup.StopBits, plat::kTwoStopBits);
  EXPECT_TRUE(setup.fOutX);
}

TEST(PtyLink, IdentifiesOnSwitchTo1200AndAnswersSetup) {
  sim::Plug plug;
  sim::PtyLink link(plug);
  ASSERT_TRUE(link.Open()) << link.Error();
  std::atomic<bool> stop{false};
  std::thread runner([&] { link.Run(stop); });

  const int fd = ::open(link.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  SetLine(fd, B1200, false);
  const std::string id = sim::BuildIdentifier("1011", sim::PlugConfig{}.idExtras);
  EXPECT_EQ(ReadFor(fd, id.size(), 1500ms), id);
  SetLine(fd, B115200, true);
  ASSERT_EQ(::write(fd, "QUOR PLUG SETUP", 15), 15);
  EXPECT_EQ(ReadFor(fd, 15, 1000ms), "QUOR PLUG READY");

  stop = true;
  runner.join();
  ::close(fd);
  EXPECT_EQ(link.Enumerations(), 1);
  EXPECT_TRUE(plug.Violations().empty()) << plug.Violations().front();
}

}  // namespace
