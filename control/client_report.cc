// The client report of StartupV2.
#include "control/client_report.h"

#include <algorithm>
#include <cstdint>

namespace qv {
namespace {

std::string Signed32(uint64_t figure) {
  const auto capped = static_cast<uint32_t>(std::min<uint64_t>(figure, UINT32_MAX));
  return std::to_string(static_cast<int32_t>(capped));
}

}  // namespace

std::string BuildClientReport(const MemoryStatus& memory, bool has_install_rights) {
  std::string report;
  auto line = [&report](const std::string& text) { report += text + "\r\n"; };
  line("Available Page File = " + Signed32(memory.available_page_file));
  line("Available Physical Memory = " + Signed32(memory.available_physical));
  line("Available Virtual Memory = " + Signed32(memory.available_virtual));
  line("Memory Load = %" + Signed32(memory.memory_load));
  line("Total Page File = " + Signed32(memory.total_page_file));
  line("Total Physical Memory = " + Signed32(memory.total_physical));
  line("Total Virtual Memory = " + Signed32(memory.total_virtual));
  line(std::string("Has admin access = ") + (has_install_rights ? "Yes" : "No"));
  return report;
}

}  // namespace qv
