// Where a Windows command line's program name ends, and how its argument text
// splits into arguments.
#include "platform/sandbox/windows_command_line.h"

#include <cstddef>

namespace qv {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitWindowsArguments(const std::string& text) {
  std::vector<std::string> arguments;
  const size_t n = text.size();
  size_t i = 0;
  while (true) {
    while (i < n && IsBlank(text[i])) ++i;
    if (i >= n) break;

    // One argument: runs until a blank outside a quoted part.
    std::string argument;
    bool quoted = false;
    while (i < n) {
      const char c = text[i];
      if (!quoted && IsBlank(c)) break;
      if (c == '\\') {
        size_t backslashes = 0;
        while (i < n && text[i] == '\\') {
          ++backslashes;
          ++i;
        }
        if (i < n && text[i] == '"') {
          argument.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            argument.push_back('"');  // escaped quote
            ++i;
          }
          // With an even count the quote is left for the next round, where
          // it opens or closes a quoted part.
        } else {
          argument.append(backslashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && text[i + 1] == '"') {
          // "" inside a quoted part: a literal quote, the part stays open.
          argument.push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      argument.push_back(c);
      ++i;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::vector<ProgramCandidate> ProgramCandidates(
    const std::string& command_line) {
  std::vector<ProgramCandidate> candidates;
  const size_t n = command_line.size();
  size_t start = 0;
  while (start < n && IsBlank(command_line[start])) ++start;
  if (start >= n) return candidates;

  if (command_line[start] == '"') {
    const size_t close = command_line.find('"', start + 1);
    ProgramCandidate candidate;
    if (close == std::string::npos) {
      candidate.program = command_line.substr(start + 1);
    } else {
      candidate.program = command_line.substr(start + 1, close - start - 1);
      candidate.arguments = command_line.substr(close + 1);
    }
    if (!candidate.program.empty()) candidates.push_back(std::move(candidate));
    return candidates;
  }

  // Unquoted: every blank that ends a run of non-blanks is a place where the
  // program name may end.
  for (size_t i = start + 1; i < n; ++i) {
    if (IsBlank(command_line[i]) && !IsBlank(command_line[i - 1])) {
      candidates.push_back({command_line.substr(start, i - start),
                            command_line.substr(i)});
    }
  }
  if (!IsBlank(command_line[n - 1])) {
    candidates.push_back({command_line.substr(start), std::string()});
  }
  return candidates;
}

}  // namespace qv
