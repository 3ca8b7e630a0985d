// The window-toolkit seam: the few controls, boxes and loop operations that the
// window logic uses, as plain portable objects. A backend (native Win32 window,
// console, recording double) gives them a face and delivers the user's input.
//
// Threading: every call here belongs to the GUI thread, except
// tk::PostMessage() and TApplication::Terminated(), which any thread may call.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TForm;
class TControl;

class TObject {
 public:
  virtual ~TObject() = default;
};

struct TRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
};

namespace tk {

// Colours: system colours by name, or an RGB value.
enum class Color { BtnFace, Menu, Window, Navy, White, Black };

enum class ControlKind { Button, Label, Gauge, Memo };

// What changed on a control, for the backend.
enum class Change { Caption, Enabled, Focus, Progress, LineAdded, LineDeleted };

// Message box flags and answers (Win32 values).
constexpr unsigned kMbOk = 0x00;
constexpr unsigned kMbYesNo = 0x04;
constexpr unsigned kMbRetryCancel = 0x05;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdRetry = 4;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Window messages the portable code uses.
constexpr unsigned kWmClose = 0x0010;
// The system's session ends (logoff, shutdown, restart) when WParam is not 0:
// the process may end at any moment after the form's dispatch returns.
constexpr unsigned kWmEndSession = 0x0016;
constexpr unsigned kWmUser = 0x0400;

struct Message {
  unsigned Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::intptr_t Result = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  virtual void SetTitle(const std::string& title) = 0;
  // Builds and shows the window of a fully constructed form with its controls.
  virtual void FormCreated(TForm& form) = 0;
  // The form is about to be destroyed; drop its window and messages.
  virtual void FormDestroying(TForm& form) = 0;
  virtual void ControlChanged(TControl& control, Change what) = 0;
  // Repaints the control at once, without waiting for the event loop.
  virtual void RepaintNow(TControl& control) = 0;
  // Modal; returns the button pressed (kIdOk, kIdRetry, kIdCancel, ...).
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
  // One pass of the event pump: handles every pending event and posted message.
  virtual void ProcessMessages() = 0;
  // The event loop: runs until the application is terminated.
  virtual void RunLoop() = 0;
  // Queues a message for the form's dispatch on the GUI thread. Any thread.
  virtual bool Post(TForm& form, const Message& message) = 0;
  // Removes every queued message 'msg' for the form, handing each to release.
  virtual void DiscardPosted(TForm& form, unsigned msg,
                             const std::function<void(const Message&)>& release) = 0;
  // Wakes a RunLoop that sleeps for events (after a terminate request).
  virtual void Wake() = 0;
  virtual void Beep(unsigned type) = 0;
  virtual void DebugOutput(const char* text) = 0;
  virtual void ShowException(const std::string& text) = 0;
  // A stretch of work that must not be cut off (the system's shutdown is
  // held back while it lasts, with the reason shown); a second begin only
  // renews the reason. Backends without such a notice ignore it.
  virtual void BusyBegin(const std::string& /*reason*/) {}
  virtual void BusyEnd() {}
};

Backend& Current();
void SetBackend(Backend* backend);

// Posts a message to a form from any thread.
bool PostMessage(TForm* form, unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
void MessageBeep(unsigned type);
void OutputDebugString(const char* text);
// The busy notice of the backend (see Backend::BusyBegin). GUI thread.
void BusyBegin(const char* reason);
void BusyEnd();

// Busy from its making until End() or until it goes out of scope, whichever
// comes first: an exception on the way cannot leave the system held back.
class BusyScope {
 public:
  explicit BusyScope(const char* reason) { BusyBegin(reason); }
  ~BusyScope() { End(); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  void End() {
    if (!active_) return;
    active_ = false;
    BusyEnd();
  }

 private:
  bool active_ = true;
};

}  // namespace tk

class TStrings {
 public:
  virtual ~TStrings() = default;
  virtual void Add(const std::string& line) = 0;
  // Removes the line at index (0 is the first); an index out of range does nothing.
  virtual void Delete(int index) = 0;
  virtual int Count() const = 0;
  virtual const std::string& operator[](int index) const = 0;
};

class TStringList : public TStrings {
 public:
  void Add(const std::string& line) override { lines_.push_back(line); }
  void Delete(int index) override {
    if (index >= 0 && index < Count()) lines_.erase(lines_.begin() + index);
  }
  int Count() const override { return static_cast<int>(lines_.size()); }
  const std::string& operator[](int index) const override { return lines_.at(static_cast<std::size_t>(index)); }
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

class TControl : public TObject {
 public:
  TControl(TForm* owner, tk::ControlKind kind, std::string name, TRect bounds);
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  tk::ControlKind Kind() const { return kind_; }
  const std::string& Name() const { return name_; }
  TForm* Owner() const { return owner_; }
  TRect Bounds() const { return bounds_; }

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // Makes the control the form's active control.
  void SetFocus();
  bool Focused() const;
  // Repaints the control at once.
  void Repaint();

  int TabOrder = -1;       // -1: not a tab stop
  tk::Color Color = tk::Color::BtnFace;
  void* Peer = nullptr;    // the backend's native object

 protected:
  void Changed(tk::Change what);

 private:
  TForm* owner_;
  tk::ControlKind kind_;
  std::string name_;
  TRect bounds_;
  std::string caption_;
  bool enabled_ = true;
};

class TButton : public TControl {
 public:
  TButton(TForm* owner, std::string name, TRect bounds)
      : TControl(owner, tk::ControlKind::Button, std::move(name), bounds) {}
  // Runs the click handler, as a press of the enabled button does.
  void Click();
  std::function<void(TObject* sender)> OnClick;
};

class TLabel : public TControl {
 public:
  TLabel(TForm* owner, std::string name, TRect bounds)
      : TControl(owner, tk::ControlKind::Label, std::move(name), bounds) {}
  bool AutoSize = false;
};

class TCGauge : public TControl {
 public:
  TCGauge(TForm* owner, std::string name, TRect bounds)
      : TControl(owner, tk::ControlKind::Gauge, std::move(name), bounds) {}
  int Progress() const { return progress_; }
  // Clamps to MinValue..MaxValue.
  void SetProgress(int value);
  int MinValue = 0;
  int MaxValue = 100;
  bool ShowText = true;
  tk::Color ForeColor = tk::Color::Navy;
  tk::Color BackColor = tk::Color::White;

 private:
  int progress_ = 0;
};

class TMemo : public TControl {
 public:
  TMemo(TForm* owner, std::string name, TRect bounds);
  ~TMemo() override;
  TStrings* Lines;
  bool ReadOnly = true;
  // Called by Lines for each added line.
  void LineAdded() { Changed(tk::Change::LineAdded); }
  // Called by Lines for each removed line.
  void LineDeleted() { Changed(tk::Change::LineDeleted); }
  bool AlignTop = true;
};

class TForm : public TObject {
 public:
  TForm();
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;
  ~TForm() override;

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);

  // The size of the client area the layout needs; the window around it is as
  // large as the system's frame and caption make it.
  int ClientWidth = 0;
  int ClientHeight = 0;
  // Placement of the window's outer corner.
  int Left = 0;
  int Top = 0;
  bool Centered = true;
  tk::Color Color = tk::Color::BtnFace;
  std::string FontName = "MS Sans Serif";
  int FontHeight = -11;

  const std::vector<std::unique_ptr<TControl>>& Controls() const { return controls_; }
  TControl* ActiveControl() const { return active_; }
  bool Created() const { return created_; }

  // The form's message dispatch. The base handles kWmClose (Close()).
  virtual void Dispatch(tk::Message& message);
  // Closes the window; closing the main form ends the application.
  void Close();

  void* Peer = nullptr;  // the backend's native window

 protected:
  template <class T>
  T* Add(std::string name, TRect bounds) {
    auto control = std::make_unique<T>(this, std::move(name), bounds);
    T* raw = control.get();
    controls_.push_back(std::move(control));
    return raw;
  }

 private:
  friend class TControl;
  friend class TApplication;
  std::string caption_;
  std::vector<std::unique_ptr<TControl>> controls_;
  TControl* active_ = nullptr;
  bool created_ = false;
};

class TApplication {
 public:
  void Initialize() {}
  void SetTitle(const std::string& title);
  const std::string& Title() const { return title_; }
  // Builds and shows the form's window; the first form becomes MainForm.
  void CreateForm(TForm* form);
  void Run();
  void ProcessMessages();
  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  int MessageBox(const char* text, const char* caption, unsigned flags);
  void ShowException(const std::exception& e);

  TForm* MainForm = nullptr;

 private:
  std::string title_;
  std::atomic<bool> terminated_{false};
};

extern TApplication* Application;
