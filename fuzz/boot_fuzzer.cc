// Fuzzes what the next start of a sandbox machine takes up: the "[rename]"
// lines of wininit.ini on a 9x machine and the PendingFileRenameOperations
// value on an NT machine. A start carries them out or reports them as
// problems, clears them, and changes nothing outside the machine.
//
// Input: the first byte chooses the family (even: 9x, odd: NT); the rest is
// the wininit.ini file or the value's bytes (a multi-string).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/registry.h"
#include "platform/sandbox/boot.h"
#include "platform/sandbox/sandbox_file_system.h"

namespace {

using qv::fuzz::Check;
using qv::sandbox::Family;

// Files a rename can name, put back before each input.
void PutFixture(qv::sandbox::SandboxPlatform& machine) {
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\a.txt", "a");
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\b.txt", "bb");
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\Sub\\c.txt", "ccc");
}

bool PendingValueExists(qv::Registry& registry) {
  qv::RegHandle key = 0;
  if (registry.OpenKeyEx(qv::kHkeyLocalMachine, qv::sandbox::kSessionManagerKey, 0,
                         qv::kKeyQueryValue, &key) != 0) {
    return false;
  }
  uint32_t size = 0;
  const bool exists = registry.QueryValueEx(key, qv::sandbox::kPendingRenamesValue, nullptr,
                                            nullptr, nullptr, &size) == 0;
  registry.CloseKey(key);
  return exists;
}

void SetPendingValue(qv::Registry& registry, const std::string& bytes) {
  qv::RegHandle key = 0;
  Check(registry.CreateKeyEx(qv::kHkeyLocalMachine, qv::sandbox::kSessionManagerKey, 0, "", 0,
                             qv::kKeyAllAccess, &key, nullptr) == 0,
        "cannot make the session manager key");
  Check(registry.SetValueEx(key, qv::sandbox::kPendingRenamesValue, 0, qv::kRegMultiSz,
                            reinterpret_cast<const uint8_t*>(bytes.data()),
                            static_cast<uint32_t>(bytes.size())) == 0,
        "cannot set the pending renames");
  registry.CloseKey(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Family family = (data[0] & 1) != 0 ? Family::kNt : Family::k9x;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto& machine = qv::fuzz::FuzzMachine(family);
  static const std::string outside_before = qv::fuzz::ListTree(qv::fuzz::OutsideFolder());
  PutFixture(machine);
  qv::Registry& registry = *machine.platform()->registry;
  if (family == Family::kNt) {
    SetPendingValue(registry, text);
  } else {
    qv::fuzz::PutFile(machine, "C:\\Windows\\wininit.ini", text);
  }

  qv::sandbox::BootReport report;
  const qv::Status booted = qv::sandbox::BootMachine(&machine, &report);
  Check(booted.ok(), "a start failed on what it was to take up");
  if (family == Family::kNt) {
    Check(!PendingValueExists(registry), "the pending renames were not cleared");
  } else {
    uint32_t attributes = 0;
    Check(!machine.platform()->files->GetFileAttributes("C:\\Windows\\wininit.ini", &attributes)
               .ok(),
          "wininit.ini was not taken up");
  }
  Check(report.run_once.size() == 0, "a start ran entries nobody wrote");
  Check(qv::fuzz::ListTree(qv::fuzz::OutsideFolder()) == outside_before,
        "a start changed a folder outside the machine");
  qv::fuzz::RemoveHostTree(qv::fuzz::HostPathOf(machine, "C:\\Fuzz"));
  return 0;
}
