// TFwUpdate: one reprogramming of the plug through its boot monitor: erase the
// flash range, start the load command, stream Intel HEX lines (Download) and
// wait for the monitor's final prompt. The plug must already be in its boot
// monitor at 57600 baud.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/toolkit.h"
#include "serial/commands.h"

class PlugControl;

// What an update tells whoever made it, besides its gauge and label: the step
// it enters and each line of the image that reached the driver. Each member
// may be left empty.
struct UpdateEvents {
  std::function<void()> Erasing;
  std::function<void()> Uploading;
  std::function<void(long lines, long totalLines, long bytes, long totalBytes)> LineSent;
};

class TFwUpdate {
 public:
  TFwUpdate(const std::string& fileName, std::uint8_t option, TCGauge* gauge, TLabel* label,
            std::uint8_t verbose);
  TFwUpdate(const TFwUpdate&) = delete;
  TFwUpdate& operator=(const TFwUpdate&) = delete;
  virtual ~TFwUpdate();

  // count: the number of lines that Download takes as 100 %; source: handed
  // to Download. True only when every command and line went out whole and the
  // monitor answered the last line with its prompt.
  bool ProgramFlash(int count, std::FILE* source);
  // Sends the lines of source (opened by the caller) to the plug, with
  // progress. False when a line could not be written whole; no line is sent
  // after that.
  virtual bool Download(int count, std::FILE* source);

  // Asked at each safe point (before the erase, during the erase and the
  // load's start, after each whole line); true stops the update there. A load
  // that has begun is closed with the end-of-file record, so that the monitor
  // waits at its prompt; the wait for that prompt ends within StopBudget of
  // the stop. Unset: never stops.
  std::function<bool()> StopRequested;
  // Set when the update ended at a stop request.
  bool Stopped = false;
  // From a stop request to the end of the update, at most.
  static constexpr std::chrono::milliseconds StopBudget{2000};
  // Stops the update from inside one of its waits or its upload's event
  // pump, for a caller after which the process may end at any moment (the
  // session ends): a load under way is closed at once after its last whole
  // line, and the end-of-file record has left the port when this returns.
  // The update then returns as after a stop request, without a second record.
  void StopNow();

  std::string FileName;
  std::uint8_t Option;
  std::uint8_t Verbose;
  TCGauge* Gauge;
  TLabel* StatusLabel;
  PlugControl* Plug;
  UpdateEvents Events;

 protected:
  // Whether a stop was asked for; notes it, and when, in Stopped.
  bool StopHere();
  // Lets the lines still queued for the port go out, then drops what the
  // plug sent so far: the monitor's prompt that follows then answers what is
  // sent next, never an earlier line (a driver or adapter queue holds up to
  // 0.7 s of lines, whose prompt would come after a purge made at once).
  static void DropInput();
  // Sends one command or line; true when it went out whole.
  static bool SendWhole(const char* text, std::size_t length);
  // Sends one line of the image; a line that did not go out whole leaves the
  // load cut mid-line.
  bool SendLine(const char* line, std::size_t length);
  template <std::size_t N>
  static bool SendCommand(const char (&text)[N]) {
    return SendWhole(text, cmd::Length(text));
  }

  // What both download loops share: the gauge at 0 and the caption shown at
  // the start; the gauge moved only when the whole percentage rises (true
  // then); and the end: gauge at 0, "Ready", a repaint of both.
  void BeginDownload(const std::string& caption);
  bool ShowProgress(int percentage, int& highest);
  void EndDownload();

 private:
  std::chrono::steady_clock::time_point stoppedAt_{};
  // After the last whole line of a load under way: the end-of-file record,
  // drained to the wire. Once per load.
  void CloseLoad();
  bool loading_ = false;  // the load command went out, its end-of-file record not yet
  bool lineCut_ = false;  // a line is being written, or did not go out whole
};
