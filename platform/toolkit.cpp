#include "platform/toolkit.h"

#include <utility>

TApplication* Application = nullptr;

namespace tk {
namespace {
Backend* gBackend = nullptr;
}

Backend& Current() { return *gBackend; }
void SetBackend(Backend* backend) { gBackend = backend; }

bool PostMessage(TForm* form, unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (form == nullptr || gBackend == nullptr) return false;
  Message m;
  m.Msg = msg;
  m.WParam = wParam;
  m.LParam = lParam;
  return gBackend->Post(*form, m);
}

void MessageBeep(unsigned type) { gBackend->Beep(type); }

void OutputDebugString(const char* text) {
  if (gBackend != nullptr) gBackend->DebugOutput(text);
}

void BusyBegin(const char* reason) {
  if (gBackend != nullptr) gBackend->BusyBegin(reason);
}

void BusyEnd() {
  if (gBackend != nullptr) gBackend->BusyEnd();
}

}  // namespace tk

// --- controls ---------------------------------------------------------------

TControl::TControl(TForm* owner, tk::ControlKind kind, std::string name, TRect bounds)
    : owner_(owner), kind_(kind), name_(std::move(name)), bounds_(bounds) {}

void TControl::Changed(tk::Change what) {
  if (owner_ != nullptr && owner_->Created()) tk::Current().ControlChanged(*this, what);
}

void TControl::SetCaption(const std::string& caption) {
  caption_ = caption;
  Changed(tk::Change::Caption);
}

void TControl::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Changed(tk::Change::Enabled);
}

void TControl::SetFocus() {
  if (owner_ == nullptr) return;
  owner_->active_ = this;
  Changed(tk::Change::Focus);
}

bool TControl::Focused() const { return owner_ != nullptr && owner_->ActiveControl() == this; }

void TControl::Repaint() {
  if (owner_ != nullptr && owner_->Created()) tk::Current().RepaintNow(*this);
}

void TButton::Click() {
  if (Enabled() && OnClick) OnClick(this);
}

void TCGauge::SetProgress(int value) {
  if (value < MinValue) value = MinValue;
  if (value > MaxValue) value = MaxValue;
  if (value == progress_) return;
  progress_ = value;
  Changed(tk::Change::Progress);
}

namespace {
// The memo's line list tells the backend about every added line.
class MemoLines : public TStringList {
 public:
  explicit MemoLines(TMemo* memo) : memo_(memo) {}
  void Add(const std::string& line) override;
  void Delete(int index) override {
    if (index < 0 || index >= Count()) return;
    TStringList::Delete(index);
    memo_->LineDeleted();
  }

 private:
  TMemo* memo_;
};
}  // namespace

TMemo::TMemo(TForm* owner, std::string name, TRect bounds)
    : TControl(owner, tk::ControlKind::Memo, std::move(name), bounds), Lines(new MemoLines(this)) {
  Color = tk::Color::Menu;
}

TMemo::~TMemo() { delete Lines; }

void MemoLines::Add(const std::string& line) {
  TStringList::Add(line);
  memo_->LineAdded();
}

// --- forms ------------------------------------------------------------------

TForm::TForm() = default;

TForm::~TForm() {
  if (created_) tk::Current().FormDestroying(*this);
  if (Application != nullptr && Application->MainForm == this) Application->MainForm = nullptr;
}

void TForm::SetCaption(const std::string& caption) {
  caption_ = caption;
  // A form's caption only changes before its window exists.
}

void TForm::Dispatch(tk::Message& message) {
  if (message.Msg == tk::kWmClose) Close();
}

void TForm::Close() {
  if (Application != nullptr && Application->MainForm == this) Application->Terminate();
}

// --- application ------------------------------------------------------------

void TApplication::SetTitle(const std::string& title) {
  title_ = title;
  tk::Current().SetTitle(title);
}

void TApplication::CreateForm(TForm* form) {
  if (MainForm == nullptr) MainForm = form;
  form->created_ = true;
  tk::Current().FormCreated(*form);
}

void TApplication::Run() {
  if (!Terminated()) tk::Current().RunLoop();
}

void TApplication::ProcessMessages() { tk::Current().ProcessMessages(); }

void TApplication::Terminate() {
  terminated_.store(true, std::memory_order_release);
  tk::Current().Wake();
}

int TApplication::MessageBox(const char* text, const char* caption, unsigned flags) {
  return tk::Current().MessageBox(text, caption, flags);
}

void TApplication::ShowException(const std::exception& e) { tk::Current().ShowException(e.what()); }
