// Windows command lines, read as the sandbox machine's process launcher must
// read them to behave as Windows does: where the program name ends
// (ProgramCandidates) and how the argument text splits into arguments
// (SplitWindowsArguments, the C runtime's rules). Windows itself does this
// for a real machine, so only the sandbox needs it. Text is UTF-8.
#ifndef QV_PLATFORM_SANDBOX_WINDOWS_COMMAND_LINE_H_
#define QV_PLATFORM_SANDBOX_WINDOWS_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace qv {

// Splits a command line's argument text by the rules of the C runtime:
// blanks and tabs separate arguments; "..." groups (a quoted part may sit in
// the middle of an argument, and "" gives an empty argument); 2n backslashes
// before a quote give n backslashes and the quote opens or closes a quoted
// part; 2n+1 backslashes before a quote give n backslashes and a literal
// quote; backslashes anywhere else are literal. Inside a quoted part, ""
// gives a literal quote and the part stays open (the rule of the runtimes
// since 2008; older ones closed the part after it).
std::vector<std::string> SplitWindowsArguments(const std::string& text);

// One reading of a command line: the program text and the argument text that
// follows it (beginning with the blank after the program, if any).
struct ProgramCandidate {
  std::string program;
  std::string arguments;
};

// The readings that CreateProcess tries, in order, for a command line given
// without an application name. Leading blanks are skipped. A quoted first
// token gives one reading: the text up to the closing quote (or the end of
// the line when there is none) is the program, what follows the quote the
// arguments. An unquoted line gives one reading at every run of blanks,
// shortest first, and then the whole line (trailing blanks dropped). An empty
// line, or an empty quoted program, gives none.
std::vector<ProgramCandidate> ProgramCandidates(const std::string& command_line);

}  // namespace qv

#endif  // QV_PLATFORM_SANDBOX_WINDOWS_COMMAND_LINE_H_
