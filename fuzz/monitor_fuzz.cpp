// The boot monitor's answers as the prompt waits (TReadChar through
// PlugControl) receive them: the switch into the monitor, then a series of
// waits for single characters as the flash programming makes them.
//
// Input: parts, each a length byte and that many bytes (the last part takes
// what is left). Part 1: what the plug sends in answer to the monitor request,
// while the line changes speed (the switch drops it). Part 2: its answer to
// the wake-up. Then for every further part: a selector byte (bits 0-1: the
// awaited character '>', ':', 'd' or 'x'; bits 2-4: ticks 0 to 7) and the
// bytes the plug answers to the command that precedes the wait.
//
// Checked: the switch writes exactly its commands on the right lines and
// pauses in between, and succeeds exactly when the wake-up's answer holds a
// '>'; a wait reports its character exactly when the answer holds it and the
// wait has a tick; each wait leaves no reader behind and nothing unread, so
// the next wait sees only its own answer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/main.h"
#include "fuzz/support/fuzz_port.h"
#include "serial/asynccomm.h"
#include "serial/commands.h"
#include "serial/threads.h"

namespace {

using fuzzing::Bytes;
using fuzzing::Check;

const std::string kCom1 = "\\\\.\\COM1";
constexpr std::uint8_t kCommand = 'e';

class Monitor final : public fuzzing::Device {
 public:
  void Written(const Bytes& bytes, const plat::Dcb& line, Bytes& answer) override {
    writes.push_back(bytes);
    lines.push_back(line);
    if (next < answers.size()) answer = answers[next++];
  }
  std::vector<Bytes> answers;  // one per write, in order
  std::size_t next = 0;
  std::vector<Bytes> writes;
  std::vector<plat::Dcb> lines;
};

bool Holds(const Bytes& bytes, std::uint8_t c) { return std::find(bytes.begin(), bytes.end(), c) != bytes.end(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return -1;
  std::vector<Bytes> parts;
  for (std::size_t pos = 0; pos < size;) {
    const std::size_t n = std::min<std::size_t>(data[pos], size - pos - 1);
    parts.emplace_back(data + pos + 1, data + pos + 1 + n);
    pos += 1 + n;
  }
  parts.resize(std::max<std::size_t>(parts.size(), 2));
  if (parts.size() > 40) return -1;

  fuzzing::Session s;
  Monitor plug;
  // Monitor request, report end, wake-up, then one command per wait.
  plug.answers = {parts[0], Bytes{}, parts[1]};
  for (std::size_t i = 2; i < parts.size(); ++i) {
    const Bytes& p = parts[i];
    plug.answers.push_back(p.empty() ? Bytes{} : Bytes(p.begin() + 1, p.end()));
  }
  s.port.AddPort(kCom1, &plug);
  TAsyncComm* comm = fuzzing::ConnectPlug(kCom1);
  s.port.TakeGuiSleeps();

  PlugControl control;
  const bool inMonitor = control.EnterMonitorMode();
  Check(inMonitor == Holds(parts[1], cmd::kPrompt), "the switch does not follow the monitor's '>'");
  Check(plug.writes.size() == 3 && plug.writes[0] == Bytes(cmd::kMonitorRequest, cmd::kMonitorRequest + 4) &&
            plug.writes[1] == Bytes(cmd::kReportEnd, cmd::kReportEnd + 4) &&
            plug.writes[2] == Bytes(cmd::kMonitorWakeUp, cmd::kMonitorWakeUp + 2),
        "the switch wrote other commands");
  Check(plug.lines[0].BaudRate == 115200 && plug.lines[2].BaudRate == 57600 && plug.lines[2].ByteSize == 8 &&
            plug.lines[2].Parity == plat::kNoParity && !plug.lines[2].fOutxCtsFlow,
        "the switch used the wrong lines");
  const std::vector<std::uint32_t> sleeps = s.port.TakeGuiSleeps();
  Check(sleeps.size() >= 3 && sleeps[0] == 100 && sleeps[1] == 500 && sleeps[2] == 500,
        "the switch does not pause 100, 500 and 500 ms");
  const std::size_t ticks = sleeps.size() - 3;
  Check(ticks >= 1 && ticks <= 300 && std::all_of(sleeps.begin() + 3, sleeps.end(), [](std::uint32_t ms) { return ms == 10; }),
        "the prompt wait does not tick in 10 ms");
  Check(inMonitor || ticks == 300, "the prompt wait gave up early");
  Check(TThread::LiveCount() == 0 && s.port.Unread(kCom1) == 0, "the prompt wait left a reader or bytes behind");

  static const std::uint8_t kTargets[4] = {'>', ':', 'd', 'x'};
  for (std::size_t i = 2; i < parts.size(); ++i) {
    const Bytes& p = parts[i];
    const std::uint8_t selector = p.empty() ? 0 : p[0];
    const auto target = static_cast<char>(kTargets[selector & 3]);
    const int waitTicks = (selector >> 2) & 7;
    comm->WriteData(1, &kCommand);
    const bool seen = control.WaitForChar(target, waitTicks);
    Check(seen == (waitTicks > 0 && Holds(plug.answers[i + 1], static_cast<std::uint8_t>(target))),
          "a wait does not follow the monitor's answer");
    Check(TThread::LiveCount() == 0 && s.port.Unread(kCom1) == 0, "a wait left a reader or bytes behind");
    const std::vector<std::uint32_t> waited = s.port.TakeGuiSleeps();
    Check(waited.size() <= static_cast<std::size_t>(waitTicks) && (seen || waited.size() == static_cast<std::size_t>(waitTicks)),
          "a wait took other ticks than asked");
  }

  SharedComm.store(nullptr, std::memory_order_release);
  delete comm;
  plat::Serial().Close(PlugPort);
  PlugPort = nullptr;
  return 0;
}
