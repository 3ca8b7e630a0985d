#include <io.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <iostream>
#include <streambuf>
#include <string>

#include "frontends/console_platform.h"
#include "frontends/console_toolkit.h"
#include "platform/serial_win32.h"

// Last: its A/W macros must not rename the seam's members above.
#include <windows.h>

namespace console {
namespace {

// Writes the UTF-8 text of a stream to a console window as UTF-16
// (WriteConsoleW): the console shows every character whatever its code page,
// and the code page is left alone. A character cut between two flushes is
// held back until it is whole.
class ConsoleOutput final : public std::streambuf {
 public:
  explicit ConsoleOutput(HANDLE console) : console_(console) { setp(buffer_, buffer_ + sizeof buffer_); }

 protected:
  int_type overflow(int_type ch) override {
    if (Flush() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }
  int sync() override { return Flush(); }

 private:
  // Bytes at the end that begin a UTF-8 sequence not yet complete.
  static std::size_t CutTail(const std::string& text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
      const auto c = static_cast<unsigned char>(text[text.size() - back]);
      if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
      const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      return need > back ? back : 0;
    }
    return 0;
  }

  int Flush() {
    pending_.append(pbase(), pptr());
    setp(buffer_, buffer_ + sizeof buffer_);
    const std::size_t whole = pending_.size() - CutTail(pending_);
    if (whole == 0) return 0;
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(whole), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(whole), wide.data(), n);
    pending_.erase(0, whole);
    // In pieces: older consoles refuse long writes.
    for (std::size_t at = 0; at < wide.size();) {
      DWORD written = 0;
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(wide.size() - at, 4096));
      if (!::WriteConsoleW(console_, wide.data() + at, piece, &written, nullptr) || written == 0) return -1;
      at += written;
    }
    return 0;
  }

  HANDLE console_;
  char buffer_[1024];
  std::string pending_;
};

// Points the stream at the console when its handle is one.
void WriteToConsole(std::ostream& stream, DWORD which) {
  const HANDLE handle = ::GetStdHandle(which);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) return;
  stream.flush();
  stream.rdbuf(new ConsoleOutput(handle));  // lives as long as the program
}

}  // namespace

plat::Win32Serial& Machine() {
  static plat::Win32Serial serial;
  // The device manager only when the ports are listed (ListPorts).
  static const bool set = [] {
    serial.DeviceNames = false;
    return true;
  }();
  (void)set;
  return serial;
}

plat::SerialApi& MachineSerial() { return Machine(); }

std::string PortPath(const std::string& name) {
  // Device names other than COM1..COM9 open only through the \\.\ prefix.
  if (name.rfind("\\\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

std::string PortLabel(const std::string& path) {
  return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

std::vector<plat::PortEntry> ListPorts() {
  Machine().DeviceNames = true;
  std::vector<plat::PortEntry> ports = Machine().Ports();
  for (plat::PortEntry& p : ports) p.about = tk::Cp1252ToUtf8(p.about);  // the registry's ANSI text
  return ports;
}

// A console, not any character device: the C runtime's _isatty() also says
// yes to NUL, which scripts give as input.
bool IsTerminal(std::FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

void PrepareTerminal() {
  WriteToConsole(std::cout, STD_OUTPUT_HANDLE);
  WriteToConsole(std::cerr, STD_ERROR_HANDLE);
}

namespace {
std::atomic<int> gInterrupts{0};
std::atomic<bool> gClosing{false};

// Runs on a thread of its own. After a close, logoff or shutdown the system
// ends the process when this returns (or a few seconds later): it does not
// return, and the tool ends by itself meanwhile.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      gInterrupts.fetch_add(1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      gClosing.store(true);
      for (;;) ::Sleep(1000);
    default:
      return FALSE;
  }
}
}  // namespace

void InstallStopHandlers() {
  // A parent may have handed down "ignore Ctrl+C"; this tool takes it.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
int Interrupts() { return gInterrupts.load(); }
bool Closing() { return gClosing.load(); }

namespace {

// Whether a whole line waits in a console's input: Enter among the pending
// key presses (the console hands out nothing before it).
bool LineTyped(HANDLE console) {
  INPUT_RECORD records[64];
  DWORD count = 0;
  if (!::PeekConsoleInputW(console, records, 64, &count)) return true;  // let the read tell
  for (DWORD i = 0; i < count; ++i) {
    const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
    if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.wVirtualKeyCode == VK_RETURN) return true;
  }
  return false;
}

// Whether a read of one byte would not block.
bool InputReady(HANDLE input, bool console, bool pipe, bool inLine) {
  if (console) return inLine || LineTyped(input);
  if (!pipe) return true;  // a file or NUL never blocks
  DWORD waiting = 0;
  // A pipe whose writer has gone: the read tells the end.
  return !::PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr) || waiting > 0;
}

}  // namespace

bool ReadAnswer(std::string& line, const std::function<bool()>& stop) {
  line.clear();
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  const bool console = ::GetConsoleMode(input, &mode) != 0;
  const bool pipe = !console && ::GetFileType(input) == FILE_TYPE_PIPE;
  bool inLine = false;  // a console hands out the rest of a line at once
  for (;;) {
    if (stop && stop()) return false;
    if (!InputReady(input, console, pipe, inLine)) {
      ::Sleep(50);
      continue;
    }
    char c = 0;
    DWORD n = 0;
    if (!::ReadFile(input, &c, 1, &n, nullptr) || n == 0) return !line.empty();
    inLine = true;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line += c;
  }
}

void KeepSystemAwake(bool on) {
  ::SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

}  // namespace console
