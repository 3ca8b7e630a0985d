// A toolkit backend for tests: it records everything the window logic shows
// (control changes, repaints, message boxes, beeps, debugger output), answers
// message boxes from a script, and runs posted messages like the real loop.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/queue_backend.h"

namespace testing_support {

struct Event {
  enum class Kind { Caption, Enabled, Focus, Progress, LineAdded, LineDeleted, Repaint, Box, Beep, Debug, Exception, Title, Busy };
  Kind kind;
  std::string control;  // control name, empty for application-wide events
  std::string text;     // caption, line, box text, debugger text
  std::string caption;  // box caption
  int value = 0;        // enabled, progress, box flags; busy: 1 begin, 0 end
  int answer = 0;       // box answer
  std::chrono::steady_clock::time_point at;
};

class RecordingBackend : public tk::QueueBackend {
 public:
  RecordingBackend();

  // Answers for message boxes, used in order; when they run out, OK boxes are
  // answered kIdOk, Retry/Cancel boxes kIdCancel and Yes/No boxes kIdNo.
  void QueueAnswers(std::vector<int> answers);
  // Runs on every pass of the event pump (before posted messages), with the
  // number of passes so far: a test's stand-in for the user during a wait.
  std::function<void(int pass)> OnPump;
  // Runs when a box is shown, before it is answered.
  std::function<void(const Event& box)> OnBox;

  std::vector<Event> Events() const;
  std::vector<Event> EventsOf(Event::Kind kind) const;
  std::vector<Event> Boxes() const { return EventsOf(Event::Kind::Box); }
  // The positions the gauge was set to, in order.
  std::vector<int> GaugeValues() const;
  // The captions the status label showed, in order.
  std::vector<std::string> StatusTexts() const;
  int Pumps() const;

  // Pumps events until pred() holds or the time is up; returns pred().
  bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

  void SetTitle(const std::string& title) override;
  void ControlChanged(TControl& control, tk::Change what) override;
  void RepaintNow(TControl& control) override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  void ProcessMessages() override;
  void Beep(unsigned type) override;
  void DebugOutput(const char* text) override;
  void ShowException(const std::string& text) override;
  void BusyBegin(const std::string& reason) override;
  void BusyEnd() override;

 private:
  void Record(Event e);
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::deque<int> answers_;
  int pumps_ = 0;
};

}  // namespace testing_support
