// A toolkit backend for a terminal: shows the window's state as lines of text.
//
//   == <form caption> ==            when the form's window is built
//   [status] <text>                 each caption change of a label
//     | <line>                      each line added to a memo
//   [##########..........]  50%     the gauge, redrawn in place with \r while it
//                                   moves, ended by a newline when it goes back
//                                   to its minimum. A status change while the bar
//                                   is open is shown behind the percentage;
//                                   other lines are printed above the bar.
//   [progress]  50%                 the gauge in steps (for a log file): one
//                                   plain line each time it passes a tenth.
//   Either form can carry a detail text behind the percentage (bytes sent,
//   rate, time left), supplied by the program.
//   (beep)                          MessageBeep
//   [error] <text>                  ShowException
//
// Message boxes are prompts: caption, text and the buttons ("[OK]",
// "[R]etry [C]ancel"), answered by a line from the input stream (the key
// letter or the button's name, case-insensitive; an empty line takes the
// first button). At the end of the input the box is answered with Cancel when
// it has one, else with its last button. With an auto answer set, boxes are
// answered without reading: OK always, Retry/Cancel and Yes/No with the
// answers chosen for them.
//
// Verbose mode adds button changes (enable, caption, focus), the application
// title, and debugger output on the error stream ("[debug] <text>").
//
// The system's texts are Windows-1252 bytes; they are written as UTF-8.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/queue_backend.h"

namespace tk {

// Converts Windows-1252 bytes to UTF-8. The five bytes that code page leaves
// unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) become U+FFFD.
std::string Cp1252ToUtf8(std::string_view text);

class ConsoleBackend : public QueueBackend {
 public:
  // out: the window's state and the prompts; in: answers to prompts;
  // err: debugger output (verbose mode). The streams must outlive the backend.
  ConsoleBackend(std::ostream& out, std::istream& in, std::ostream& err);
  // On std::cout, std::cin and std::cerr.
  ConsoleBackend();

  void SetVerbose(bool verbose) { verbose_ = verbose; }
  // Answers every box without asking: OK boxes with kIdOk, Retry/Cancel boxes
  // with idForRetryCancel (kIdRetry or kIdCancel), Yes/No boxes with
  // idForYesNo (kIdYes or kIdNo), other boxes with their first button unless
  // idForRetryCancel is one of theirs.
  void SetAutoAnswer(int idForRetryCancel, int idForYesNo = kIdNo);
  void ClearAutoAnswer() { autoAnswer_ = 0; }
  // Whether the answer read for a prompt is written after it. On by default
  // except for a terminal on std::cin, which echoes it itself.
  void SetEchoAnswers(bool echo) { echoAnswers_ = echo; }
  // Cells of the gauge's bar (default 20).
  void SetBarWidth(int cells) { barWidth_ = cells > 0 ? cells : 1; }
  // How the gauge is shown: a bar redrawn in place (default), or a plain line
  // at each tenth.
  enum class Progress { Bar, Steps };
  void SetProgressStyle(Progress style) { progressStyle_ = style; }
  // Text behind the gauge's percentage, asked for at each change (UTF-8).
  void SetProgressDetail(std::function<std::string()> detail) { progressDetail_ = std::move(detail); }
  // Called with true when the window logic begins work that must not be
  // broken off (the update), with false when it ends.
  void SetBusyHook(std::function<void(bool busy)> hook) { busyHook_ = std::move(hook); }

  void SetTitle(const std::string& title) override;
  void FormCreated(TForm& form) override;
  void FormDestroying(TForm& form) override;
  void ControlChanged(TControl& control, Change what) override;
  void RepaintNow(TControl& control) override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  void Beep(unsigned type) override;
  void DebugOutput(const char* text) override;
  void ShowException(const std::string& text) override;
  void BusyBegin(const std::string& reason) override;
  void BusyEnd() override;

 private:
  // Writes whole lines (UTF-8, each ended by a newline) above the gauge bar.
  void PrintLines(const std::string& lines);
  std::string BarLine() const;
  void RedrawBar();
  void HideBar();
  void DrawBar(int percent);
  void PrintStep(int percent);
  void EndBar();
  void GaugeChanged(const TCGauge& gauge);
  int AskUser(unsigned flags);

  std::ostream& out_;
  std::istream& in_;
  std::ostream& err_;
  std::mutex outMutex_;  // Beep and DebugOutput may come from any thread
  std::atomic<bool> verbose_{false};
  int autoAnswer_ = 0;
  int autoYesNo_ = kIdNo;
  bool echoAnswers_ = true;
  int barWidth_ = 20;
  Progress progressStyle_ = Progress::Bar;
  std::function<std::string()> progressDetail_;
  std::function<void(bool)> busyHook_;
  int lastStep_ = 0;       // the last tenth printed in steps (percent)
  int barPercent_ = 0;     // the percentage the bar shows
  bool barOpen_ = false;   // a bar line is on the screen, without newline
  std::size_t barCells_ = 0;  // characters of the bar line as drawn last
  std::string barHead_;    // "[###...]  42%"
  std::string barStatus_;  // status text shown behind the bar (UTF-8)
};

}  // namespace tk
