#include "update/fwupdate.h"

#include <cstring>
#include <iostream>

#include "serial/asynccomm.h"
#include "serial/connection.h"
#include "platform/priority.h"
#include "platform/thread.h"
#include "serial/asynccomm.h"
#include "serial/commands.h"
#include "serial/threads.h"

TFwUpdate::TFwUpdate(const std::string& fileName, std::uint8_t option, TCGauge* gauge, TLabel* label,
                     std::uint8_t verbose)
    : FileName(fileName), Option(option), Verbose(verbose), Gauge(gauge), StatusLabel(label),
      Plug(new PlugControl) {}

TFwUpdate::~TFwUpdate() { delete Plug; }

bool TFwUpdate::SendWhole(const char* text, std::size_t length) {
  return SendToPlug(static_cast<std::uint16_t>(length), text) == static_cast<int>(length);
}

bool TFwUpdate::SendLine(const char* line, std::size_t length) {
  lineCut_ = true;
  if (!SendWhole(line, length)) return false;
  lineCut_ = false;
  return true;
}

void TFwUpdate::CloseLoad() {
  if (!loading_) return;
  loading_ = false;
  // The prompt that answers the record is the only one that counts.
  DropInput();
  SendCommand(cmd::kEndOfFileRecord);
  if (TAsyncComm* comm = CurrentComm()) comm->Drain();
}

void TFwUpdate::StopNow() {
  if (!Stopped) stoppedAt_ = std::chrono::steady_clock::now();
  Stopped = true;
  // A line cut off by a failed write gets no record behind it.
  if (!lineCut_) CloseLoad();
}

bool TFwUpdate::StopHere() {
  if (!Stopped && StopRequested && StopRequested()) {
    Stopped = true;
    stoppedAt_ = std::chrono::steady_clock::now();
  }
  return Stopped;
}

void TFwUpdate::DropInput() {
  if (TAsyncComm* comm = CurrentComm()) {
    comm->Drain();
    comm->PurgeInput();
  }
}

namespace {
// What a stopped update keeps of its time for the monitor exit's drain, the
// port's close and the front end's last words.
constexpr std::chrono::milliseconds kStopReserve{300};
}  // namespace

bool TFwUpdate::ProgramFlash(int count, std::FILE* source) {
  if (Events.Erasing) Events.Erasing();
  if (StatusLabel != nullptr) {
    StatusLabel->SetCaption("Erasing Flash ...");
    StatusLabel->Repaint();
  }
  Application->ProcessMessages();

  // Each command is followed by a bounded wait for the monitor's answer. The
  // waits only pace the sequence; a command that cannot be written ends it.
  // A stop before the erase range is complete waits for the command under way
  // to be answered, so that the monitor is left at its prompt; a stop during
  // the erase is taken at once (the monitor comes back to its prompt when it
  // is done), and one after the load command closes the load.
  const auto stop = [this] { return StopHere(); };
  if (StopHere() || !SendCommand(cmd::kErase)) return false;
  Plug->WaitForChar(cmd::kColon, 50);
  if (!SendCommand(cmd::kEraseFirst)) return false;
  Plug->WaitForChar(cmd::kColon, 50);
  if (!SendCommand(cmd::kEraseLast)) return false;
  Plug->WaitForChar(cmd::kPrompt, 300, stop);
  if (StopHere() || !SendCommand(cmd::kLoad)) return false;
  loading_ = true;
  Plug->WaitForChar(cmd::kLoadReady, 100, stop);
  Plug->WaitForChar(cmd::kLoadReady, 10, stop);

  {
    // Each line's write returns while its last characters are still going
    // out; coming back late to write the next one leaves the wire idle. The
    // streaming runs at a raised priority, and only the streaming.
    const plat::RaisedThreadPriority raised;
    if (!Download(count, source)) return false;
  }
  // Unless stopped, the image's own last line, its end-of-file record, has
  // ended the load.
  if (!Stopped) loading_ = false;
  if (Stopped) {
    // After the last whole line: the monitor leaves its load state. Its
    // prompt is waited for as long as the time left to a stop allows.
    CloseLoad();
    const auto deadline = stoppedAt_ + StopBudget - kStopReserve;
    Plug->WaitForChar(cmd::kPrompt, 200, [deadline] { return std::chrono::steady_clock::now() >= deadline; });
    return false;
  }
  // The monitor confirms the end-of-file record, the last line, with its
  // prompt (the input was dropped before that line went out); without it the
  // flash cannot be trusted.
  return Plug->WaitForPrompt(200);
}

void TFwUpdate::BeginDownload(const std::string& caption) {
  if (Events.Uploading) Events.Uploading();
  if (Gauge != nullptr) Gauge->SetProgress(0);
  if (StatusLabel != nullptr) {
    StatusLabel->SetCaption(caption);
    StatusLabel->Repaint();
  }
}

bool TFwUpdate::ShowProgress(int percentage, int& highest) {
  if (percentage <= highest) return false;
  highest = percentage;
  if (Gauge != nullptr) Gauge->SetProgress(percentage);
  return true;
}

void TFwUpdate::EndDownload() {
  if (Gauge != nullptr) Gauge->SetProgress(0);
  if (StatusLabel != nullptr) {
    StatusLabel->SetCaption("Ready");
    StatusLabel->Repaint();
  }
  if (Verbose != 0) std::cout << "done" << std::endl;
  if (Gauge != nullptr) Gauge->Repaint();
  plat::Sleep(1);
}

bool TFwUpdate::Download(int count, std::FILE* source) {
  BeginDownload("Downloading File " + FileName);
  int highest = 0;
  int counter = 0;
  bool ok = true;
  if (source != nullptr) {
    std::rewind(source);
    char line[256];
    while (!std::feof(source) && !std::ferror(source)) {
      if (StopHere()) break;  // at a line boundary, before the next line
      // A line: characters up to and including the next line feed, at most 255.
      std::size_t n = 0;
      while (n < 255) {
        const int c = std::getc(source);
        if (c == EOF) break;
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
      }
      if (n == 0) continue;
      // Only the monitor's answer to the last line counts.
      const int next = std::getc(source);
      if (next == EOF) {
        DropInput();
      } else {
        std::ungetc(next, source);
      }
      if (!SendLine(line, n)) {
        ok = false;
        break;
      }
      ++counter;
      if (ShowProgress(counter * 100 / count, highest) && Verbose != 0) std::cout << '.' << std::flush;
      Application->ProcessMessages();
    }
  }
  EndDownload();
  return ok;
}
