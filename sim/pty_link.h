// The plug on the master side of a pseudo-terminal, so that real programs can
// open the slave device and talk to it like to a serial port.
//
// A pty has no modem lines and always carries 8 data bits. The link therefore
// reads the line settings the program gave the slave (tcgetattr on the master
// reflects them on Linux) and takes a change of the speed to 1200 baud as the
// completed DTR/RTS enumeration: the plug sees a well-timed sequence ending at
// that moment and sends its identifier. At 1200 baud the 7 data bits the plug
// expects are assumed, whatever the terminal says.
//
// Single-threaded: Step() or Run() on one thread; the plug's accessors stay
// usable from any other.
#pragma once

#include <optional>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/serial_api.h"
#include "sim/plug.h"

namespace sim {

class PtyLink {
 public:
  explicit PtyLink(Plug& plug);
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Creates the pseudo-terminal; false with Error() on failure.
  bool Open();
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& Error() const { return error_; }

  // One round: line settings, bytes from the program, the plug's due bytes.
  // Waits at most maxWait for input. False once the link has ended (the plug
  // was unplugged, or the pty failed).
  bool Step(std::chrono::milliseconds maxWait);
  // Steps until stop is set or the link ends.
  void Run(const std::atomic<bool>& stop);

  int Enumerations() const { return enumerations_.load(); }
  bool Unplugged() const { return unplugged_.load(); }
  std::size_t WriteErrors() const { return writeErrors_.load(); }

 private:
  void ReadSettings(TimePoint now);
  void NoticeOpen(TimePoint now);
  void Enumerate(TimePoint now);
  void Close();

  Plug& plug_;
  int master_ = -1;
  int slaveHold_ = -1;  // keeps the slave side alive between the program's opens
  // Tells when the program opens the slave. A program that searches the
  // same port again finds the line at 1200 baud already, where a real port's
  // lines dropped at its close: an open that is not followed by a switch to
  // 1200 baud, with the line at 1200 baud 200 ms later, starts the
  // enumeration then.
  int openWatch_ = -1;
  std::optional<TimePoint> openedAt_;
  std::optional<TimePoint> enumeratedAt_;
  std::string slavePath_;
  std::string error_;
  plat::Dcb host_;
  std::uint32_t lastBaud_ = 0;
  std::atomic<int> enumerations_{0};
  std::atomic<bool> unplugged_{false};
  std::atomic<std::size_t> writeErrors_{0};
};

// Line settings of a terminal as the plug's host line (see PtyLink).
plat::Dcb HostLineFromTerminal(std::uint32_t baud, unsigned cflag, unsigned iflag);

}  // namespace sim
