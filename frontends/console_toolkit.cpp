#include "frontends/console_toolkit.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <vector>

namespace tk {
namespace {

// Windows-1252 0x80..0x9F; 0 marks the unassigned bytes.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88..8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98..9F
};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Characters on the terminal (UTF-8 continuation bytes take no cell).
std::size_t Cells(const std::string& utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// A caption without its accelerator marks ("&Update" -> "Update", "&&" -> "&").
std::string PlainCaption(const std::string& caption) {
  std::string plain;
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    plain += caption[i];
  }
  return plain;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

struct Button {
  int id;
  const char* label;  // as shown, with the key letter in brackets
  const char* name;   // as typed
};

constexpr Button kOkButton{kIdOk, "[OK]", "ok"};
constexpr Button kCancelButton{kIdCancel, "[C]ancel", "cancel"};
constexpr Button kAbortButton{3, "[A]bort", "abort"};
constexpr Button kRetryButton{kIdRetry, "[R]etry", "retry"};
constexpr Button kIgnoreButton{5, "[I]gnore", "ignore"};
constexpr Button kYesButton{6, "[Y]es", "yes"};
constexpr Button kNoButton{7, "[N]o", "no"};

// The buttons of a box by the low four bits of its flags, as Win32 has them.
std::vector<Button> ButtonsOf(unsigned flags) {
  switch (flags & 0x0F) {
    case 1: return {kOkButton, kCancelButton};
    case 2: return {kAbortButton, kRetryButton, kIgnoreButton};
    case 3: return {kYesButton, kNoButton, kCancelButton};
    case 4: return {kYesButton, kNoButton};
    case 5: return {kRetryButton, kCancelButton};
    default: return {kOkButton};
  }
}

std::string ButtonRow(const std::vector<Button>& buttons) {
  std::string row;
  for (const Button& b : buttons) {
    if (!row.empty()) row += ' ';
    row += b.label;
  }
  return row + " > ";
}

// The button a typed answer names: its key letter or its name; -1 for none.
int Match(const std::vector<Button>& buttons, std::string answer) {
  answer.erase(0, answer.find_first_not_of(" \t\r"));
  answer.erase(answer.find_last_not_of(" \t\r") + 1);
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (answer.empty()) return buttons.front().id;
  for (const Button& b : buttons) {
    if (answer == b.name || (answer.size() == 1 && answer[0] == b.name[0])) return b.id;
  }
  return -1;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    char32_t c = byte;
    if (byte >= 0x80 && byte <= 0x9F) {
      c = kHighControls[byte - 0x80];
      if (c == 0) c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// --- output queue -------------------------------------------------------------

OutputQueue::OutputQueue() : writer_([this] { Write(); }) {}

OutputQueue::~OutputQueue() { Finish(); }

void OutputQueue::Attach(std::ostream& stream) {
  stream.flush();
  auto buffer = std::make_unique<Buffer>(*this, stream.rdbuf());
  stream.rdbuf(buffer.get());
  std::lock_guard<std::mutex> lock(mutex_);
  attached_.emplace_back(&stream, std::move(buffer));
}

void OutputQueue::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writer_.joinable()) return;
  }
  for (auto& [stream, buffer] : attached_) stream->flush();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  writer_.join();
  for (auto& [stream, buffer] : attached_) stream->rdbuf(buffer->Target());
}

void OutputQueue::Put(std::streambuf* target, std::string text, bool redraw) {
  if (text.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (redraw && !pieces_.empty() && pieces_.back().redraw && pieces_.back().target == target) {
      pieces_.back().text = std::move(text);  // the older one never went out
      return;
    }
    pieces_.push_back(Piece{target, std::move(text), redraw});
  }
  changed_.notify_all();
}

void OutputQueue::Write() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !pieces_.empty() || ending_; });
    if (pieces_.empty()) return;  // ending, and everything went out
    Piece piece = std::move(pieces_.front());
    pieces_.pop_front();
    lock.unlock();
    piece.target->sputn(piece.text.data(), static_cast<std::streamsize>(piece.text.size()));
    piece.target->pubsync();
    lock.lock();
  }
}

OutputQueue::Buffer::int_type OutputQueue::Buffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ += traits_type::to_char_type(ch);
  return ch;
}

std::streamsize OutputQueue::Buffer::xsputn(const char* text, std::streamsize count) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.append(text, static_cast<std::size_t>(count));
  return count;
}

int OutputQueue::Buffer::sync() {
  Commit(false);
  return 0;
}

void OutputQueue::Buffer::CommitRedraw() { Commit(true); }

void OutputQueue::Buffer::Commit(bool redraw) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    text.swap(pending_);
  }
  queue_.Put(target_, std::move(text), redraw);
}

// --- console backend -----------------------------------------------------------

ConsoleBackend::ConsoleBackend(std::ostream& out, std::istream& in, std::ostream& err)
    : out_(out), in_(in), err_(err) {}

ConsoleBackend::ConsoleBackend() : ConsoleBackend(std::cout, std::cin, std::cerr) {
  echoAnswers_ = ::isatty(STDIN_FILENO) == 0;
}

void ConsoleBackend::SetAutoAnswer(int idForRetryCancel, int idForYesNo) {
  autoAnswer_ = idForRetryCancel;
  autoYesNo_ = idForYesNo;
}

std::string ConsoleBackend::BarLine() const {
  return barStatus_.empty() ? barHead_ : barHead_ + "  " + barStatus_;
}

void ConsoleBackend::RedrawBar(bool progress) {
  auto* queued = progress ? dynamic_cast<OutputQueue::Buffer*>(out_.rdbuf()) : nullptr;
  if (queued != nullptr) out_.flush();  // what came before goes out as it is
  const std::string line = BarLine();
  const std::size_t cells = Cells(line);
  out_ << '\r' << line;
  // Blank out the rest of a longer earlier line and come back. A queued
  // redraw may take the place of one that never went out: it blanks as far
  // as any line of this bar reached.
  const std::size_t drawn = queued != nullptr ? std::max(barCells_, barWidest_) : barCells_;
  if (drawn > cells) out_ << std::string(drawn - cells, ' ') << std::string(drawn - cells, '\b');
  if (queued != nullptr) {
    queued->CommitRedraw();
  } else {
    out_.flush();
  }
  barCells_ = cells;
  barWidest_ = std::max(barWidest_, cells);
  barOpen_ = true;
}

void ConsoleBackend::HideBar() {
  if (barOpen_) out_ << '\r' << std::string(barCells_, ' ') << '\r';
}

void ConsoleBackend::PrintLines(const std::string& lines) {
  HideBar();
  out_ << lines;
  if (barOpen_) {
    barCells_ = 0;
    barWidest_ = 0;
    RedrawBar();
  }
  out_.flush();
}

void ConsoleBackend::PrintStep(int percent) {
  const std::string step = std::to_string(percent);
  const std::string detail = progressDetail_ ? progressDetail_() : std::string();
  PrintLines("[progress] " + std::string(3 - std::min<std::size_t>(3, step.size()), ' ') + step + "%" +
             (detail.empty() ? "" : "  " + detail) + "\n");
}

void ConsoleBackend::DrawBar(int percent) {
  const int filled = percent * barWidth_ / 100;
  char number[8];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  if (progressStyle_ == Progress::Steps) {
    if (percent < lastStep_ + 10) return;
    lastStep_ = percent - percent % 10;
    // The full step waits for the end of the gauge's run (GaugeChanged).
    if (lastStep_ < 100) PrintStep(lastStep_);
    return;
  }
  barPercent_ = percent;
  const std::string detail = progressDetail_ ? progressDetail_() : std::string();
  barHead_ = "[" + std::string(static_cast<std::size_t>(filled), '#') +
             std::string(static_cast<std::size_t>(barWidth_ - filled), '.') + "] " + number +
             (detail.empty() ? "" : "  " + detail);
  RedrawBar(true);
}

void ConsoleBackend::EndBar() {
  if (!barOpen_) return;
  out_ << '\n';
  out_.flush();
  barOpen_ = false;
  barCells_ = 0;
  barWidest_ = 0;
  barHead_.clear();
  barStatus_.clear();
}

void ConsoleBackend::GaugeChanged(const TCGauge& gauge) {
  if (gauge.Progress() <= gauge.MinValue) {
    // The gauge is full before the last lines of a run are out: what is
    // shown last is the full step, or the bar, with the detail at the end.
    if (progressStyle_ == Progress::Steps && lastStep_ >= 100) PrintStep(100);
    if (progressStyle_ == Progress::Bar && barOpen_ && progressDetail_) DrawBar(barPercent_);
    lastStep_ = 0;
    EndBar();
  } else {
    const int span = gauge.MaxValue - gauge.MinValue;
    DrawBar(span > 0 ? (gauge.Progress() - gauge.MinValue) * 100 / span : 100);
  }
}

void ConsoleBackend::SetTitle(const std::string& title) {
  if (!verbose_) return;
  std::lock_guard<std::mutex> lock(outMutex_);
  PrintLines("[title] " + Cp1252ToUtf8(title) + "\n");
}

void ConsoleBackend::FormCreated(TForm& form) {
  QueueBackend::FormCreated(form);
  std::lock_guard<std::mutex> lock(outMutex_);
  PrintLines("== " + Cp1252ToUtf8(form.Caption()) + " ==\n");
}

void ConsoleBackend::FormDestroying(TForm& form) {
  {
    std::lock_guard<std::mutex> lock(outMutex_);
    EndBar();
  }
  QueueBackend::FormDestroying(form);
}

void ConsoleBackend::ControlChanged(TControl& control, Change what) {
  std::lock_guard<std::mutex> lock(outMutex_);
  const std::string caption = Cp1252ToUtf8(PlainCaption(control.Caption()));
  switch (control.Kind()) {
    case ControlKind::Label: {
      if (what != Change::Caption) return;
      std::string text = Cp1252ToUtf8(control.Caption());
      std::replace(text.begin(), text.end(), '\n', ' ');
      if (barOpen_) {
        // Beside the moving bar, so that a status per step does not scroll.
        barStatus_ = std::move(text);
        RedrawBar();
      } else {
        PrintLines("[status] " + text + "\n");
      }
      return;
    }
    case ControlKind::Memo:
      if (what == Change::LineAdded) {
        const TStrings& lines = *static_cast<TMemo&>(control).Lines;
        if (lines.Count() == 0) return;
        std::string text;
        for (const std::string& line : SplitLines(Cp1252ToUtf8(lines[lines.Count() - 1]))) {
          text += "  | " + line + "\n";
        }
        PrintLines(text);
      }
      return;
    case ControlKind::Gauge:
      if (what == Change::Progress) GaugeChanged(static_cast<TCGauge&>(control));
      return;
    case ControlKind::Button:
      if (!verbose_) return;
      if (what == Change::Enabled) {
        PrintLines("[button] " + caption + (control.Enabled() ? " enabled\n" : " disabled\n"));
      } else if (what == Change::Caption) {
        PrintLines("[button] caption " + caption + "\n");
      } else if (what == Change::Focus) {
        PrintLines("[button] focus " + caption + "\n");
      }
      return;
  }
}

void ConsoleBackend::RepaintNow(TControl&) {
  std::lock_guard<std::mutex> lock(outMutex_);
  out_.flush();
}

int ConsoleBackend::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  const std::vector<Button> buttons = ButtonsOf(flags);
  std::string box = "[" + Cp1252ToUtf8(caption) + "]\n";
  for (const std::string& line : SplitLines(Cp1252ToUtf8(text))) box += "  " + line + "\n";
  box += ButtonRow(buttons);
  std::unique_lock<std::mutex> lock(outMutex_);
  const bool hadBar = barOpen_;
  HideBar();
  barOpen_ = false;  // the bar comes back below the answer
  out_ << box;
  out_.flush();

  int answer = -1;
  bool automatic = false;
  if (autoAnswer_ != 0) {
    automatic = true;
    answer = buttons.front().id;
    const int wanted = (flags & 0x0F) == kMbYesNo ? autoYesNo_ : autoAnswer_;
    for (const Button& b : buttons) {
      if (b.id == wanted) answer = b.id;
    }
  } else {
    lock.unlock();  // other threads may print while the user thinks
    answer = AskUser(flags);
    lock.lock();
  }
  std::string name;
  for (const Button& b : buttons) {
    if (b.id == answer) name = b.name;
  }
  if (automatic) {
    out_ << name << " (auto)\n";
  } else if (echoAnswers_) {
    out_ << name << "\n";
  }
  if (hadBar) {
    barCells_ = 0;
    barWidest_ = 0;
    RedrawBar();
  }
  out_.flush();
  return answer;
}

int ConsoleBackend::AskUser(unsigned flags) {
  const std::vector<Button> buttons = ButtonsOf(flags);
  std::string line;
  const auto next = [this, &line] {
    return answerReader_ ? answerReader_(line) : static_cast<bool>(std::getline(in_, line));
  };
  while (next()) {
    const int id = Match(buttons, line);
    if (id >= 0) return id;
    std::lock_guard<std::mutex> lock(outMutex_);
    out_ << ButtonRow(buttons);
    out_.flush();
  }
  // No more input: the answer that changes nothing.
  for (const Button& b : buttons) {
    if (b.id == kIdCancel) return kIdCancel;
  }
  return buttons.back().id;
}

void ConsoleBackend::BusyBegin(const std::string&) {
  if (busyHook_) busyHook_(true);
}

void ConsoleBackend::BusyEnd() {
  if (busyHook_) busyHook_(false);
}

void ConsoleBackend::Beep(unsigned) {
  std::lock_guard<std::mutex> lock(outMutex_);
  PrintLines("(beep)\n");
}

void ConsoleBackend::DebugOutput(const char* text) {
  if (!verbose_ || text == nullptr) return;
  std::string line = Cp1252ToUtf8(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(outMutex_);
  err_ << "[debug] " << line << '\n';
  err_.flush();
}

void ConsoleBackend::ShowException(const std::string& text) {
  std::lock_guard<std::mutex> lock(outMutex_);
  PrintLines("[error] " + Cp1252ToUtf8(text) + "\n");
}

}  // namespace tk
