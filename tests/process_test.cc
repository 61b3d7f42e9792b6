// Reading of Windows command lines: argument splitting and the program
// names tried for a command line.
#include "platform/process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct SplitCase {
  const char* text;
  std::vector<std::string> expected;
};

TEST(SplitWindowsArgumentsTest, FollowsRuntimeRules) {
  const std::vector<SplitCase> cases = {
      // Blanks and tabs separate; runs of them count once.
      {"", {}},
      {"   \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  lead  and   trail  ", {"lead", "and", "trail"}},
      // Quotes group, also in the middle of an argument.
      {R"("abc" d e)", {"abc", "d", "e"}},
      {R"(d"e f"g h)", {"de fg", "h"}},
      {R"("" x)", {"", "x"}},
      {R"("a b)", {"a b"}},
      // Backslashes not before a quote are literal.
      {R"(a\\b d)", {R"(a\\b)", "d"}},
      {R"(\\server\share\ C:\dir\)", {R"(\\server\share\)", R"(C:\dir\)"}},
      // 2n+1 backslashes before a quote: n backslashes and a literal quote.
      {R"(a\"b c)", {R"(a"b)", "c"}},
      {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
      // 2n backslashes before a quote: n backslashes, the quote toggles.
      {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
      {R"("C:\dir\\" next)", {R"(C:\dir\)", "next"}},
      // "" inside a quoted part: a literal quote and the part stays open.
      {R"(a"b"" c d)", {R"(ab" c d)"}},
      {R"("say ""hi"" now" x)", {R"(say "hi" now)", "x"}},
      // Command lines the installer builds.
      {R"( /q:a /c:"dasetup.exe /q /n")", {"/q:a", "/c:dasetup.exe /q /n"}},
      {R"( /s "C:\Program Files\Ostrel\x.dll")",
       {"/s", R"(C:\Program Files\Ostrel\x.dll)"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(SplitWindowsArguments(c.text), c.expected) << "text: " << c.text;
  }
}

TEST(SplitWindowsArgumentsTest, KeepsNonAsciiBytes) {
  const std::string text = "\xC3\xA9t\xC3\xA9 \"na\xC3\xAFve x\"";
  EXPECT_THAT(SplitWindowsArguments(text),
              ElementsAre("\xC3\xA9t\xC3\xA9", "na\xC3\xAFve x"));
}

MATCHER_P2(IsCandidate, program, arguments, "") {
  return arg.program == program && arg.arguments == arguments;
}

TEST(ProgramCandidatesTest, UnquotedPathIsTriedAtEveryBlankShortestFirst) {
  EXPECT_THAT(
      ProgramCandidates(R"(C:\Program Files\a b.exe x)"),
      ElementsAre(IsCandidate(R"(C:\Program)", R"( Files\a b.exe x)"),
                  IsCandidate(R"(C:\Program Files\a)", " b.exe x"),
                  IsCandidate(R"(C:\Program Files\a b.exe)", " x"),
                  IsCandidate(R"(C:\Program Files\a b.exe x)", "")));
}

TEST(ProgramCandidatesTest, BlankRunsAndTabsEndOneCandidateEach) {
  EXPECT_THAT(ProgramCandidates("  a  \tb c "),
              ElementsAre(IsCandidate("a", "  \tb c "),
                          IsCandidate("a  \tb", " c "),
                          IsCandidate("a  \tb c", " ")));
  EXPECT_THAT(ProgramCandidates("prog.exe"),
              ElementsAre(IsCandidate("prog.exe", "")));
}

TEST(ProgramCandidatesTest, QuotedProgramIsTheOnlyCandidate) {
  EXPECT_THAT(ProgramCandidates(R"("C:\Program Files\a b.exe" /s "x y")"),
              ElementsAre(IsCandidate(R"(C:\Program Files\a b.exe)",
                                      R"( /s "x y")")));
  // The arguments begin right after the closing quote.
  EXPECT_THAT(ProgramCandidates(R"( "C:\a.exe"x)"),
              ElementsAre(IsCandidate(R"(C:\a.exe)", "x")));
  // Without a closing quote the rest of the line is the program.
  EXPECT_THAT(ProgramCandidates(R"("C:\Program Files\a b.exe)"),
              ElementsAre(IsCandidate(R"(C:\Program Files\a b.exe)", "")));
}

TEST(ProgramCandidatesTest, EmptyProgramGivesNoCandidate) {
  EXPECT_THAT(ProgramCandidates(""), IsEmpty());
  EXPECT_THAT(ProgramCandidates(" \t "), IsEmpty());
  EXPECT_THAT(ProgramCandidates(R"("" x.exe)"), IsEmpty());
}

}  // namespace
}  // namespace qv
