// The serial Plug-and-Play identifier and the setup answer as their readers
// (TLesePnP, TLeseSetupRes) receive them, through TSuchePlug::FindPlug.
//
// Input: a flags byte, two bytes of identifier length (big-endian), the
// identifier the device sends when the enumeration sequence raises RTS, and
// the answer it gives to the setup request. Flags bit 0: the device sits on
// COM2 (COM1 then answers nothing); bit 1: the other port does not exist.
//
// Checked against the identifier rules: the identifier is read at 7 data
// bits, so each byte counts without its eighth bit; the plug is found exactly
// when the identifier is complete within the reader's buffer, its first ten
// bytes are one of the two accepted ones, and the answer begins, after at
// most 16 bytes that are not its 'Q', with the 15 characters of the ready
// text (what the device sent after ")" is purged with
// the switch to 115200 baud, before the setup request); the identifier (7-bit)
// and the answer are kept as received and never past their buffers; a failed
// probe closes its port; no reader thread is left.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "discovery/searchplug.h"
#include "fuzz/support/fuzz_port.h"
#include "serial/asynccomm.h"

namespace {

using fuzzing::Bytes;
using fuzzing::Check;

const std::string kCom1 = "\\\\.\\COM1";
const std::string kCom2 = "\\\\.\\COM2";
constexpr char kReady[] = "QUOR PLUG READY";
constexpr char kSetup[] = "QUOR PLUG SETUP";
const char kAccepted[2][10] = {{'(', 0x01, '$', 'Q', 'Z', 'M', '1', '0', '1', '0'},
                               {'(', 0x01, '$', 'Q', 'Z', 'M', '1', '0', '1', '1'}};

class Answering final : public fuzzing::Device {
 public:
  Answering(Bytes identifier, Bytes answer) : identifier_(std::move(identifier)), answer_(std::move(answer)) {}
  void Escaped(std::uint32_t function, bool dtr, bool rts, Bytes& answer) override {
    // RTS raised with DTR on ends the enumeration sequence: the identifier.
    if (function == plat::kSetRts && dtr && rts) answer = identifier_;
  }
  void Written(const Bytes& bytes, const plat::Dcb& line, Bytes& answer) override {
    if (bytes == Bytes(kSetup, kSetup + 15)) {
      Check(line.BaudRate == 115200 && line.ByteSize == 8 && line.fOutxCtsFlow, "setup request on the wrong line");
      answer = answer_;
    }
  }

 private:
  Bytes identifier_;
  Bytes answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3 || size > 4096) return -1;
  const bool onCom2 = (data[0] & 1) != 0;
  const bool otherAbsent = (data[0] & 2) != 0;
  const std::size_t idLength = std::min<std::size_t>(static_cast<std::size_t>(data[1]) * 256 + data[2], size - 3);
  const Bytes identifier(data + 3, data + 3 + idLength);
  const Bytes answer(data + 3 + idLength, data + size);

  // The model.
  Bytes seven(identifier);  // the identifier as the 7-bit reader takes it
  for (auto& b : seven) b = static_cast<std::uint8_t>(b & 0x7F);
  const auto close = std::find(seven.begin(), seven.end(), ')');
  const std::size_t closeAt = static_cast<std::size_t>(close - seven.begin());
  const bool complete = close != seven.end() && closeAt < static_cast<std::size_t>(PnPCapacity) - 1;
  const bool accepted = complete && closeAt >= 10 &&
                        (std::memcmp(seven.data(), kAccepted[0], 10) == 0 ||
                         std::memcmp(seven.data(), kAccepted[1], 10) == 0);
  // What followed ")" is purged with the switch to 115200 baud: the setup
  // reader sees the answer alone. It passes over at most 16 bytes before the
  // answer's 'Q' (a byte an adapter hands over late after the purge).
  std::size_t skipped = 0;
  while (skipped < answer.size() && skipped < 16 && answer[skipped] != 'Q') ++skipped;
  const Bytes setupStream(answer.begin() + static_cast<std::ptrdiff_t>(skipped), answer.end());
  std::size_t answerKept = 0;  // what the setup reader stores: up to the first wrong byte
  while (answerKept < setupStream.size() && answerKept < 15) {
    const bool right = setupStream[answerKept] == static_cast<std::uint8_t>(kReady[answerKept]);
    ++answerKept;
    if (!right) break;
  }
  const bool ready = setupStream.size() >= 15 && std::memcmp(setupStream.data(), kReady, 15) == 0;
  const bool found = accepted && ready;

  fuzzing::Session s;
  Answering plug(identifier, answer);
  const std::string& plugPort = onCom2 ? kCom2 : kCom1;
  const std::string& otherPort = onCom2 ? kCom1 : kCom2;
  s.port.AddPort(plugPort, &plug);
  if (!otherAbsent) s.port.AddPort(otherPort, nullptr);

  auto* comm = new TAsyncComm(nullptr);
  auto* search = new TSuchePlug(comm, nullptr, false);
  const FoundPort result = search->FindPlug();
  const plat::Handle handle = result.handle;

  Check(TThread::LiveCount() == 0, "a reader thread outlived the search");
  Check((handle != nullptr) == found, "the search result does not follow the identifier and the answer");
  Check(s.port.OpenHandles() == (found ? 1 : 0), "a failed probe left its port open");
  Check(s.ui.boxes.empty(), "the search showed a message box");
  Check(result.name == (found ? plugPort : std::string()), "the port name is not the one that answered");
  Check(search->PnPString[PnPCapacity - 1] == 0, "the identifier buffer is not terminated");
  if (found) {
    Check(std::memcmp(search->PnPString, seven.data(), closeAt + 1) == 0,
          "the identifier is not kept as received");
    for (std::size_t i = closeAt + 1; i < static_cast<std::size_t>(PnPCapacity); ++i) {
      Check(search->PnPString[i] == 0, "bytes behind the identifier");
    }
    Check(s.port.Unread(plugPort) == setupStream.size() - 15, "the setup reader read past the ready text");
  } else if (accepted) {
    // The probe got as far as the setup answer, and the other port's probe
    // (silent or absent) never does.
    Check(std::equal(setupStream.begin(), setupStream.begin() + static_cast<std::ptrdiff_t>(answerKept),
                     reinterpret_cast<const std::uint8_t*>(SetupResponse)) &&
              SetupResponse[answerKept] == 0,
          "the setup answer is not kept as received");
  }

  if (handle != nullptr) plat::Serial().Close(handle);
  delete search;
  delete comm;
  return 0;
}
