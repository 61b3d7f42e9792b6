// Fuzzes the Windows command-line reading of the sandbox's process launcher:
// the arguments a text splits into come back unchanged when quoted again the
// way a Windows program quotes them, and the program readings of a line are
// pieces of that line, in the order described.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_machine.h"
#include "platform/sandbox/windows_command_line.h"

namespace {

using qv::fuzz::Check;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One argument quoted so that the C runtime's rules give it back: in
// quotes, with the backslashes before a quote (and before the closing
// quote) doubled and each quote escaped.
std::string Quote(const std::string& argument) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

void CheckCandidates(const std::string& line) {
  const std::vector<qv::ProgramCandidate> candidates = qv::ProgramCandidates(line);
  size_t start = 0;
  while (start < line.size() && IsBlank(line[start])) ++start;
  if (start == line.size()) {
    Check(candidates.empty(), "a blank line gives a program");
    return;
  }
  if (line[start] == '"') {
    Check(candidates.size() <= 1, "a quoted program read more than one way");
    for (const auto& c : candidates) {
      Check(!c.program.empty() && c.program.find('"') == std::string::npos,
            "a quoted program that is empty or holds a quote");
    }
    return;
  }
  size_t previous = 0;
  for (const auto& c : candidates) {
    Check(c.program.size() > previous, "program readings not shortest first");
    previous = c.program.size();
    Check(!IsBlank(c.program.front()) && !IsBlank(c.program.back()),
          "a program reading begins or ends with a blank");
    Check(line.compare(start, c.program.size() + c.arguments.size(), c.program + c.arguments) ==
              0,
          "a program reading that is not the line");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> arguments = qv::SplitWindowsArguments(text);
  std::string quoted;
  for (const std::string& a : arguments) quoted += (quoted.empty() ? "" : " ") + Quote(a);
  Check(qv::SplitWindowsArguments(quoted) == arguments, "quoted arguments split otherwise");
  CheckCandidates(text);
  CheckCandidates(quoted);
  return 0;
}
