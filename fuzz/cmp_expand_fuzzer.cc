// Fuzzes the expansion of ".cmp" archives on a sandbox machine: the input is
// the archive, expanded into an empty folder by the machine's own expansion
// component. An expansion is all or nothing (a failure leaves the folder
// empty, with no temporary file), writes nothing outside its folder, and
// writes as many files as it says.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "platform/expander.h"

namespace {

using qv::fuzz::Check;

// Regular files in a listing made by ListTree.
int32_t FilesIn(const std::string& listing) {
  int32_t files = 0;
  size_t start = 0;
  while (start < listing.size()) {
    if (listing.compare(start, 2, "f ") == 0) ++files;
    const size_t end = listing.find('\n', start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& machine = qv::fuzz::FuzzMachine();
  static const std::string drive = machine.machine().DriveFolder('C');
  static const std::string drive_before = qv::fuzz::ListTree(drive);
  static const std::string outside_before = qv::fuzz::ListTree(qv::fuzz::OutsideFolder());
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\in.cmp",
                    std::string_view(reinterpret_cast<const char*>(data), size));
  Check(machine.platform()->files->CreateDirectory("C:\\Fuzz\\Out").ok(),
        "cannot make the destination");
  const std::string out = qv::fuzz::HostPathOf(machine, "C:\\Fuzz\\Out");

  std::unique_ptr<qv::Expander> expander = machine.platform()->new_expander();
  Check(expander != nullptr, "the machine has no expansion component");
  Check(expander->SetDestination("C:\\Fuzz\\Out").ok(), "the destination is refused");
  Check(expander->SetArchive("C:\\Fuzz\\in.cmp").ok(), "the archive is refused");
  // Half of the inputs (by a byte in the middle) ask for one entry only.
  const bool only_one = size > 0 && (data[size / 2] & 1) != 0;
  if (only_one) Check(expander->SetOnlyEntry("a.txt").ok(), "the entry name is refused");
  int32_t written = 0;
  const bool expanded = expander->Expand(&written).ok();
  expander.reset();

  const std::string result = qv::fuzz::ListTree(out);
  if (!expanded) {
    Check(result.empty(), "a failed expansion left something in its folder");
  } else {
    const int32_t files = FilesIn(result);
    Check(written >= files && (written == 0) == (files == 0),
          "the files written and the files found disagree");
    if (only_one) Check(written == 1, "one entry asked for, another count written");
  }
  qv::fuzz::RemoveHostTree(qv::fuzz::HostPathOf(machine, "C:\\Fuzz"));
  Check(qv::fuzz::ListTree(drive) == drive_before,
        "an expansion changed the machine outside its folder");
  Check(qv::fuzz::ListTree(qv::fuzz::OutsideFolder()) == outside_before,
        "an expansion changed a folder outside the machine");
  return 0;
}
