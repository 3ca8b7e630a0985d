#include "platform/serial_api.h"

namespace plat {
namespace {
thread_local std::uint32_t tLastError = 0;
SerialApi* gSerial = nullptr;
}  // namespace

std::uint32_t LastError() { return tLastError; }
void SetLastError(std::uint32_t code) { tLastError = code; }

bool SerialApi::InQueue(Handle /*port*/, std::uint32_t& count) {
  count = 0;
  SetLastError(kErrorNotSupported);
  return false;
}

SerialApi& Serial() { return *gSerial; }
void SetSerial(SerialApi* api) { gSerial = api; }

}  // namespace plat
