// Where the tool keeps, from one run to the next, the port of an update it
// started and has not finished: the one port on which a plug is known to wait
// in its boot monitor.
//
// Backends: the machine's own (Windows: the string value UnfinishedUpdatePort
// under HKCU\Software\Quor\PlugUpdate, shared by both Windows programs; POSIX:
// the file plugupdate/unfinished-port under $XDG_STATE_HOME, by default
// ~/.local/state), and one in the process's memory for tests and simulated
// runs. A call that fails returns false and leaves its error in LastError().
#pragma once

#include <cstdint>
#include <string>

namespace plat {

class PortMemory {
 public:
  virtual ~PortMemory() = default;
  // The remembered port into port, empty when none is remembered.
  virtual bool Load(std::string& port) = 0;
  virtual bool Store(const std::string& port) = 0;
  // Forgets the port; nothing remembered is no failure.
  virtual bool Erase() = 0;
  // Where the port is kept, for diagnostics.
  virtual std::string Where() const = 0;
};

// Kept in the process's memory only.
class MemoryPortMemory final : public PortMemory {
 public:
  bool Load(std::string& port) override;
  bool Store(const std::string& port) override;
  bool Erase() override;
  std::string Where() const override { return "memory"; }
  // A store that fails every call with this error (0: works).
  void FailWith(std::uint32_t code) { failWith_ = code; }

 private:
  std::string port_;
  std::uint32_t failWith_ = 0;
};

// The machine's own, made on first use.
PortMemory& MachinePortMemory();

// The process-wide current memory, chosen by main() or by a test; null: no
// port is remembered and none is read.
PortMemory* CurrentPortMemory();
void SetPortMemory(PortMemory* memory);

}  // namespace plat
