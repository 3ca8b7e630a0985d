#include "platform/port_memory.h"

#include <atomic>

#include "platform/serial_api.h"

namespace plat {
namespace {
std::atomic<PortMemory*> gMemory{nullptr};

bool Failed(std::uint32_t code) {
  if (code == 0) return false;
  SetLastError(code);
  return true;
}
}  // namespace

bool MemoryPortMemory::Load(std::string& port) {
  if (Failed(failWith_)) return false;
  port = port_;
  return true;
}

bool MemoryPortMemory::Store(const std::string& port) {
  if (Failed(failWith_)) return false;
  port_ = port;
  return true;
}

bool MemoryPortMemory::Erase() {
  if (Failed(failWith_)) return false;
  port_.clear();
  return true;
}

PortMemory* CurrentPortMemory() { return gMemory.load(std::memory_order_acquire); }
void SetPortMemory(PortMemory* memory) { gMemory.store(memory, std::memory_order_release); }

}  // namespace plat
