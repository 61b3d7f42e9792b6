// A sandbox machine for fuzz targets: made once in a temporary folder when
// first asked for, its platform current on the fuzzing thread, and removed
// when the process ends normally. Fuzz targets write their input into it and
// read it back through the machine's real services.
#ifndef QV_FUZZ_FUZZ_MACHINE_H_
#define QV_FUZZ_FUZZ_MACHINE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sandbox/machine.h"
#include "platform/sandbox/sandbox_platform.h"

namespace qv::fuzz {

// The machine of this family (one of each at most), made on first use.
// The last one asked for is the current platform.
sandbox::SandboxPlatform& FuzzMachine(sandbox::Family family = sandbox::Family::kNt);

// The host path of a Windows path of the machine ("" when it has none).
std::string HostPathOf(sandbox::SandboxPlatform& machine, const std::string& windows_path);

// Writes bytes to the file at windows_path through the machine's file system
// (folders on the way are made); aborts when that fails, which is a fault of
// the set-up, not a finding.
void PutFile(sandbox::SandboxPlatform& machine, const std::string& windows_path,
             std::string_view bytes);

// A folder outside every machine that nothing may touch: a fuzz target
// checks it is unchanged after each input.
const std::string& OutsideFolder();
// What lies below a host folder, sorted: "f SIZE PATH" for each regular file,
// "d PATH" for anything else.
std::string ListTree(const std::string& host_path);

// Removes a host folder and everything below it.
void RemoveHostTree(const std::string& host_path);

// Aborts with message (a finding of the fuzz target) when condition is false.
void Check(bool condition, const char* message);

// Reads the input as consecutive pieces: each Take gives the bytes up to the
// next separator byte (or the rest), consuming the separator.
class Pieces {
 public:
  Pieces(const uint8_t* data, size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  std::string Take(char separator = '\0');
  std::string_view Rest() const { return rest_; }
  bool empty() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace qv::fuzz

#endif  // QV_FUZZ_FUZZ_MACHINE_H_
