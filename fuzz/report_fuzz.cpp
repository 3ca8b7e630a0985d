// Report frames as the frame reader receives them, through the real window.
//
// Input: one byte that says where the stream is cut, then the bytes the plug
// sends after the report request. The first part arrives in answer to the
// request; the window handles what the reader posted; then the second part
// arrives (a plug that goes on sending), the window handles that too, and the
// window is closed, which stops the reader.
//
// Checked against a model of the stream: the version shown is the first
// version report's text, the update button is enabled exactly when one came,
// an oversized header ends the application and nothing after it is
// delivered, the reader ends when the window closes (also in the middle of a
// frame; a half-built frame that is not released shows as a leak), the report
// end reaches the plug, and no port, event or thread is left.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/main.h"
#include "fuzz/support/fuzz_port.h"
#include "serial/asynccomm.h"
#include "serial/commands.h"
#include "serial/threads.h"

namespace {

using fuzzing::Bytes;
using fuzzing::Check;

const std::string kCom1 = "\\\\.\\COM1";

// Answers the report request with the first part of the stream.
class ReportingPlug final : public fuzzing::Device {
 public:
  explicit ReportingPlug(Bytes first) : first_(std::move(first)) {}
  void Written(const Bytes& bytes, const plat::Dcb&, Bytes& answer) override {
    if (bytes == Bytes(cmd::kReportRequest, cmd::kReportRequest + 4)) {
      ++requests;
      answer.insert(answer.end(), first_.begin(), first_.end());
    }
    if (bytes == Bytes(cmd::kReportEnd, cmd::kReportEnd + 4)) ++reportEnds;
  }
  int requests = 0;
  int reportEnds = 0;

 private:
  Bytes first_;
};

// What the reader makes of a stream, frame by frame.
struct Model {
  std::size_t pos = 0;       // bytes of the stream taken as whole frames
  int versionReports = 0;    // complete 05 DD frames
  std::string firstVersion;  // the text of the first one
  bool oversized = false;    // a header of ReportLengthLimit or more was read

  // Cuts frames from stream[pos...]; stops at an incomplete frame.
  void Take(const Bytes& stream) {
    while (!oversized && stream.size() - pos >= 4) {
      const std::size_t length = static_cast<std::size_t>(stream[pos + 2]) * 256 + stream[pos + 3];
      if (length >= static_cast<std::size_t>(ReportLengthLimit)) {
        oversized = true;
        return;
      }
      if (stream.size() - pos - 4 < length) return;
      if (stream[pos] == cmd::kVersionReportType && stream[pos + 1] == cmd::kVersionReportCode) {
        if (versionReports++ == 0) {
          const char* text = reinterpret_cast<const char*>(stream.data() + pos + 4);
          const void* zero = std::memchr(text, 0, length);
          firstVersion.assign(text, zero != nullptr ? static_cast<const char*>(zero) - text : length);
        }
      }
      pos += 4 + length;
    }
  }
};

// Lets the reader take what it can, then handles what it posted, until
// nothing moves any more.
void Settle(fuzzing::Session& s) {
  do {
    Check(s.port.WaitQuiet(std::chrono::milliseconds(10000)), "the frame reader neither ended nor waited");
  } while (s.ui.Pump() > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 20000) return -1;
  const std::size_t cut = 1 + (size - 1) * data[0] / 255;
  const Bytes first(data + 1, data + cut);
  const Bytes second(data + cut, data + size);

  fuzzing::Session s;
  ReportingPlug plug(first);
  s.port.AddPort(kCom1, &plug);

  // The state after a successful search.
  fuzzing::ConnectPlug(kCom1);
  Form1 = new TForm1(&s.app);
  s.app.CreateForm(Form1);

  Form1->EnterReportMode();
  Check(plug.requests == 1, "the report request did not go out once");
  Settle(s);

  Model model;
  Bytes stream = first;
  model.Take(stream);
  // Once the version is shown the reader has been stopped: the rest of the
  // stream is for nobody.
  const bool readerStopped = model.versionReports > 0;
  s.port.Deliver(kCom1, second);
  Settle(s);
  if (!readerStopped && !model.oversized) {
    stream.insert(stream.end(), second.begin(), second.end());
    model.Take(stream);
  }

  Check(Form1->BUpdate->Enabled() == (model.versionReports > 0), "update button does not follow the version report");
  Check(Form1->Memo1->Lines->Count() == 6 * model.versionReports, "not one text per version report");
  if (model.versionReports > 0) {
    Check((*Form1->Memo1->Lines)[1] == "\"" + model.firstVersion + "\"", "the version shown is not the plug's");
  }
  Check(s.app.Terminated() == model.oversized, "an oversized header and the end of the tool do not agree");
  Check(s.ui.boxes.empty(), "a message box was shown");
  if (model.versionReports == 0) {
    // The reader still runs and waits for the rest of a frame or a header.
    Check(ReportReader != nullptr, "the reader is gone before it was stopped");
  } else {
    Check(ReportReader == nullptr && TThread::LiveCount() == 0, "the reader did not end after the version report");
  }

  const bool reportMode = Form1->UpdateState == 1;
  Check(reportMode, "the window left report mode on its own");
  // The exit sequence: report end, reader stopped, port released.
  delete Form1;
  Form1 = nullptr;
  Check(plug.reportEnds == 1, "the report end did not reach the plug");
  Check(TThread::LiveCount() == 0, "the reader did not end when the window closed");
  Check(SharedComm.load() == nullptr && PlugPort == nullptr, "the window kept its connection");
  ReportReader = nullptr;
  return 0;
}
