// Fonts added to the running Windows: a font file (QV_TEST_FONT, which
// run_wine_tests.sh points at a TrueType font of the build machine) adds its
// faces; other files add none.
#include "platform/win32/win32_fonts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

TEST(Win32FontsTest, AddsTheFacesOfAFontFileOnly) {
  ScratchFolder folder;
  folder.Write("text.ttf", "not a font");
  const char* font = std::getenv("QV_TEST_FONT");
  struct Case {
    std::string path;
    bool adds;
  } cases[] = {
      {folder / "text.ttf", false},
      {folder / "missing.ttf", false},
      {font != nullptr ? font : "", font != nullptr},
  };
  Win32Fonts fonts;
  for (const Case& c : cases) {
    if (c.path.empty()) continue;
    EXPECT_EQ(fonts.AddFontResource(c.path) > 0, c.adds) << c.path;
  }
  fonts.BroadcastFontChange();  // returns with no window to wait for
  if (font == nullptr) GTEST_SKIP() << "QV_TEST_FONT is not set: no font file tried";
}

}  // namespace
}  // namespace qv::win32
