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
#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/queue_backend.h"

namespace tk {

// Converts Windows-1252 bytes to UTF-8. The five bytes that code page leaves
// unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) become U+FFFD.
std::string Cp1252ToUtf8(std::string_view text);

// Text for a terminal, a file or a pipe, written by a thread of its own: a
// write that blocks (a full pipe, a console window held by a selection or the
// Pause key) never holds up the thread that produced the text, which may be
// the one that streams the image. What a stream flushes goes out whole and in
// order; a redraw of the progress that has not begun to go out when the next
// one comes is replaced by it. Nothing else is ever dropped.
class OutputQueue {
 public:
  OutputQueue();
  // Finish().
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // From now on the stream's text goes through the queue to the stream
  // buffer it had.
  void Attach(std::ostream& stream);
  // Waits until everything queued has gone out, ends the thread and gives
  // each attached stream its own buffer back.
  void Finish();

  // One piece of text for target; redraw: it may be replaced by the next.
  void Put(std::streambuf* target, std::string text, bool redraw);

  // The stream buffer of an attached stream.
  class Buffer final : public std::streambuf {
   public:
    Buffer(OutputQueue& queue, std::streambuf* target) : queue_(queue), target_(target) {}
    std::streambuf* Target() const { return target_; }
    // What was written since the last flush, as a progress redraw.
    void CommitRedraw();

   protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

   private:
    void Commit(bool redraw);
    OutputQueue& queue_;
    std::streambuf* const target_;
    std::mutex mutex_;
    std::string pending_;
  };

 private:
  struct Piece {
    std::streambuf* target;
    std::string text;
    bool redraw;
  };
  void Write();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece> pieces_;
  bool ending_ = false;
  std::vector<std::pair<std::ostream*, std::unique_ptr<Buffer>>> attached_;
  std::thread writer_;
};

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
  // Reads a typed answer for a box instead of the input stream: false at the
  // end of the input (or when the reader gave up waiting).
  void SetAnswerReader(std::function<bool(std::string& line)> reader) { answerReader_ = std::move(reader); }
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
  // progress: a redraw for a new position of the gauge, which the output
  // queue may replace by a newer one.
  void RedrawBar(bool progress = false);
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
  std::function<bool(std::string&)> answerReader_;
  int lastStep_ = 0;       // the last tenth printed in steps (percent)
  int barPercent_ = 0;     // the percentage the bar shows
  bool barOpen_ = false;   // a bar line is on the screen, without newline
  std::size_t barCells_ = 0;  // characters of the bar line as drawn last
  std::size_t barWidest_ = 0; // the widest bar line since the bar opened
  std::string barHead_;    // "[###...]  42%"
  std::string barStatus_;  // status text shown behind the bar (UTF-8)
};

}  // namespace tk
