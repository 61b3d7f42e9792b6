// The text codec on code page 1252 and the UTF-16 helpers, by Windows' own
// conversion tables.
#include "platform/win32/win32_text_codec.h"

#include <gtest/gtest.h>

#include "platform/win32/win32_wide_text.h"

namespace qv::win32 {
namespace {

TEST(Win32TextCodecTest, ConvertsToAndFromCodePage1252) {
  const Win32TextCodec codec(1252);
  EXPECT_EQ(codec.code_page(), 1252u);
  struct Case {
    std::string utf8;
    std::string ansi;
    std::string back;  // what FromAnsi gives for ansi
  } cases[] = {
      {"", "", ""},
      {"plain ASCII", "plain ASCII", "plain ASCII"},
      {"caf\xC3\xA9", "caf\xE9", "caf\xC3\xA9"},       // e acute
      {"\xE2\x82\xAC 5", "\x80 5", "\xE2\x82\xAC 5"},  // euro sign at 0x80
      {"\xE2\x80\x9Cq\xE2\x80\x9D", "\x93q\x94", "\xE2\x80\x9Cq\xE2\x80\x9D"},
      {"\xCE\xA9 ok", "? ok", "? ok"},  // omega is not in 1252, and "O" is no fit
      {"\xE4\xB8\xAD", "?", "?"},       // nor is a CJK ideograph
      {std::string("a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(codec.ToAnsi(c.utf8), c.ansi) << c.utf8;
    EXPECT_EQ(codec.FromAnsi(c.ansi), c.back) << c.utf8;
  }
}

TEST(Win32TextCodecTest, WideTextRoundTripsUtf8) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"C:\\Program Files\\x.dll", L"C:\\Program Files\\x.dll"},
      {"\xC3\xA9\xE2\x82\xAC", L"\u00E9\u20AC"},
      {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},  // outside the basic plane: a surrogate pair
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.utf8;
    EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.utf8;
  }
  EXPECT_EQ(Utf8ToWide("\xFF"), L"\uFFFD");  // invalid UTF-8
}

}  // namespace
}  // namespace qv::win32
