#include "platform/serial_api.h"

namespace plat {
namespace {
thread_local std::uint32_t tLastError = 0;
SerialApi* gSerial = nullptr;
}  // namespace

std::uint32_t LastError() { return tLastError; }
void SetLastError(std::uint32_t code) { tLastError = code; }

SerialApi& Serial() { return *gSerial; }
void SetSerial(SerialApi* api) { gSerial = api; }

}  // namespace plat
