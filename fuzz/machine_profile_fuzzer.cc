// Fuzzes the machine profile (machine.json): a text that parses writes a
// profile that parses again to the same profile, and the profile file read
// from disk gives what the text gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/sandbox/machine_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qv::fuzz::Check;
  using qv::sandbox::MachineProfile;
  const std::string text(reinterpret_cast<const char*>(data), size);
  MachineProfile parsed;
  const bool parsed_ok = qv::sandbox::ParseProfile(text, &parsed).ok();

  static const std::string path = qv::fuzz::OutsideFolder() + "/../machine.json";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size(),
        "cannot write the profile file");
  std::fclose(file);
  MachineProfile loaded;
  const bool loaded_ok = qv::sandbox::LoadProfileFile(path, &loaded).ok();
  Check(parsed_ok == loaded_ok, "the file and the text are read differently");
  if (!parsed_ok) return 0;

  const std::string written = qv::sandbox::SerializeProfile(parsed);
  Check(qv::sandbox::SerializeProfile(loaded) == written, "the file and the text differ");
  MachineProfile again;
  Check(qv::sandbox::ParseProfile(written, &again).ok(), "a written profile cannot be read");
  Check(qv::sandbox::SerializeProfile(again) == written, "a written profile reads otherwise");
  return 0;
}
