// A serial port whose calls fail as a test says: for the error paths that a
// device cannot be made to produce.
#pragma once

#include <atomic>

#include "platform/serial_api.h"

namespace testing_support {

class ScriptedSerial : public plat::SerialApi {
 public:
  enum class WriteOutcome { Complete, FailAtOnce, PendingFails, PendingShort };
  WriteOutcome write = WriteOutcome::Complete;
  int writeCalls = 0;
  std::uint32_t readError = plat::kErrorGenFailure;
  // Non-zero: the call fails with this code.
  std::uint32_t getStateError = 0;
  std::uint32_t setStateError = 0;
  std::uint32_t setupQueuesError = 0;
  int closes = 0;
  std::atomic<int> readCalls{0};
  std::atomic<int> clearErrorCalls{0};

  plat::Handle Open(const char*) override { return reinterpret_cast<plat::Handle>(0x10); }
  bool Close(plat::Handle) override {
    ++closes;
    return true;
  }
  plat::Handle NewEvent() override { return reinterpret_cast<plat::Handle>(0x20); }
  bool ResetEvent(plat::Handle) override { return true; }
  bool CloseEvent(plat::Handle) override { return true; }
  bool GetState(plat::Handle, plat::Dcb&) override { return Outcome(getStateError); }
  bool SetState(plat::Handle, const plat::Dcb&) override { return Outcome(setStateError); }
  bool SetupQueues(plat::Handle, std::uint32_t, std::uint32_t) override { return Outcome(setupQueuesError); }
  bool GetTimeouts(plat::Handle, plat::CommTimeouts&) override { return true; }
  bool SetTimeouts(plat::Handle, const plat::CommTimeouts&) override { return true; }
  bool Purge(plat::Handle, std::uint32_t) override { return true; }
  bool Drain(plat::Handle, std::uint32_t) override { return true; }
  bool Escape(plat::Handle, std::uint32_t) override { return true; }
  bool Read(plat::Handle, void*, std::uint32_t, std::uint32_t*, plat::Overlapped&) override {
    ++readCalls;
    plat::SetLastError(readError);
    return false;
  }
  bool ClearError(plat::Handle, std::uint32_t* errors) override {
    ++clearErrorCalls;
    if (errors != nullptr) *errors = 0;
    return true;
  }
  bool Write(plat::Handle h, const void*, std::uint32_t count, std::uint32_t* done, plat::Overlapped&) override {
    ++writeCalls;
    if (h == nullptr) {
      plat::SetLastError(plat::kErrorInvalidHandle);
      return false;
    }
    pending_ = count;
    switch (write) {
      case WriteOutcome::Complete:
        *done = count;
        return true;
      case WriteOutcome::FailAtOnce:
        plat::SetLastError(plat::kErrorGenFailure);
        return false;
      default:
        plat::SetLastError(plat::kErrorIoPending);
        return false;
    }
  }
  bool Result(plat::Handle, plat::Overlapped&, std::uint32_t* done, bool) override {
    if (write == WriteOutcome::PendingShort) {
      *done = pending_ - 1;
      return true;
    }
    plat::SetLastError(plat::kErrorGenFailure);
    return false;
  }

 private:
  static bool Outcome(std::uint32_t error) {
    if (error == 0) return true;
    plat::SetLastError(error);
    return false;
  }
  std::uint32_t pending_ = 0;
};

}  // namespace testing_support
