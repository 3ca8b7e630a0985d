#include "tests/support/recording_toolkit.h"

#include <thread>

namespace testing_support {

RecordingBackend::RecordingBackend() = default;

void RecordingBackend::QueueAnswers(std::vector<int> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.insert(answers_.end(), answers.begin(), answers.end());
}

void RecordingBackend::Record(Event e) {
  e.at = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(e));
}

std::vector<Event> RecordingBackend::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<Event> RecordingBackend::EventsOf(Event::Kind kind) const {
  std::vector<Event> out;
  for (const auto& e : Events()) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

std::vector<int> RecordingBackend::GaugeValues() const {
  std::vector<int> out;
  for (const auto& e : EventsOf(Event::Kind::Progress)) out.push_back(e.value);
  return out;
}

std::vector<std::string> RecordingBackend::StatusTexts() const {
  std::vector<std::string> out;
  for (const auto& e : EventsOf(Event::Kind::Caption)) {
    if (e.control == "LStatus") out.push_back(e.text);
  }
  return out;
}

int RecordingBackend::Pumps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pumps_;
}

bool RecordingBackend::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void RecordingBackend::SetTitle(const std::string& title) {
  Record(Event{Event::Kind::Title, "", title, "", 0, 0, {}});
}

void RecordingBackend::ControlChanged(TControl& control, tk::Change what) {
  Event e{Event::Kind::Caption, control.Name(), "", "", 0, 0, {}};
  switch (what) {
    case tk::Change::Caption:
      e.text = control.Caption();
      break;
    case tk::Change::Enabled:
      e.kind = Event::Kind::Enabled;
      e.value = control.Enabled() ? 1 : 0;
      break;
    case tk::Change::Focus:
      e.kind = Event::Kind::Focus;
      break;
    case tk::Change::Progress:
      e.kind = Event::Kind::Progress;
      e.value = static_cast<TCGauge&>(control).Progress();
      break;
    case tk::Change::LineAdded: {
      e.kind = Event::Kind::LineAdded;
      const TStrings& lines = *static_cast<TMemo&>(control).Lines;
      e.text = lines[lines.Count() - 1];
      break;
    }
    case tk::Change::LineDeleted:
      e.kind = Event::Kind::LineDeleted;
      break;
  }
  Record(std::move(e));
}

void RecordingBackend::RepaintNow(TControl& control) {
  Record(Event{Event::Kind::Repaint, control.Name(), "", "", 0, 0, {}});
}

int RecordingBackend::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  int answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!answers_.empty()) {
      answer = answers_.front();
      answers_.pop_front();
    } else {
      const unsigned buttons = flags & 0x0F;
      answer = buttons == tk::kMbRetryCancel ? tk::kIdCancel : buttons == tk::kMbYesNo ? tk::kIdNo : tk::kIdOk;
    }
  }
  Event e{Event::Kind::Box, "", text, caption, static_cast<int>(flags), answer, {}};
  if (OnBox) OnBox(e);
  Record(e);
  return answer;
}

void RecordingBackend::ProcessMessages() {
  int pass;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pass = ++pumps_;
  }
  if (OnPump) OnPump(pass);
  DispatchPosted();
}

void RecordingBackend::Beep(unsigned type) {
  Record(Event{Event::Kind::Beep, "", "", "", static_cast<int>(type), 0, {}});
}

void RecordingBackend::BusyBegin(const std::string& reason) {
  Record(Event{Event::Kind::Busy, "", reason, "", 1, 0, {}});
}

void RecordingBackend::BusyEnd() { Record(Event{Event::Kind::Busy, "", "", "", 0, 0, {}}); }

void RecordingBackend::DebugOutput(const char* text) {
  Record(Event{Event::Kind::Debug, "", text, "", 0, 0, {}});
}

void RecordingBackend::ShowException(const std::string& text) {
  Record(Event{Event::Kind::Exception, "", text, "", 0, 0, {}});
}

}  // namespace testing_support
