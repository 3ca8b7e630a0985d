// What the console tool needs from the machine beyond the seams: its real
// serial backend, the names of its serial ports, and its terminal. One
// implementation per system (console_platform_posix.cpp, _win32.cpp).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial_api.h"

namespace console {

// The machine's serial backend (termios or Win32), made on first use.
plat::SerialApi& MachineSerial();

// A port name as the user gave it, as the serial backend opens it: on Windows
// "COM5" becomes "\\.\COM5"; on Linux "ttyUSB0" becomes "/dev/ttyUSB0".
std::string PortPath(const std::string& name);
// The name of a port as it is shown and reported: on Windows "COM5", on
// Linux the device path ("\\.\COM1" is /dev/ttyS0 there, or PLUG_COM1).
std::string PortLabel(const std::string& path);

// The serial ports this machine has, as the machine's serial backend lists
// them, with what is known of each in UTF-8.
std::vector<plat::PortEntry> ListPorts();

// Whether the stream writes to a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);
// Gets std::cout and std::cerr ready for UTF-8 text: where one is a Windows
// console it writes UTF-16 to the console; files and pipes get the UTF-8
// bytes. The console's code page stays as it is.
void PrepareTerminal();
// Stop requests from outside the tool. The handlers only count: Ctrl+C and
// Ctrl+Break (SIGINT) in Interrupts(); the console closed, logoff, shutdown
// (SIGTERM, SIGHUP) in Closing(). On Windows a close, logoff or shutdown
// gives the tool the few seconds the system allows to end by itself; Ctrl+C
// counts also where the parent process had it ignored.
void InstallStopHandlers();
int Interrupts();
bool Closing();

// Reads one line of the person's answer from standard input, without its
// line end. Waits for it as long as stop() says no, asking every 50 ms or so:
// false when stop() said yes, and at the end of the input with nothing read.
bool ReadAnswer(std::string& line, const std::function<bool()>& stop);

// Keeps the system from going to sleep (on) until it is let go (off), on
// systems that would sleep while a program works without a person at it.
void KeepSystemAwake(bool on);

}  // namespace console
