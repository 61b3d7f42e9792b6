// Installing a staged file: expansion, placement under the hourglass, font
// registration on both families, and a file that cannot be expanded.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/sandbox/sandbox_fonts.h"
#include "server/cab_pack.h"
#include "tests/engine_fixture.h"

namespace qv {
namespace {

constexpr char kFontsKey9x[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts";
constexpr char kFontsKeyNt[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// A ".cmp" archive holding a file of that name and contents, made by the
// server's packer.
std::string Pack(const std::string& name, const std::string& contents) {
  const std::string dir = testing::MakeTempDir("qvpack");
  testing::WriteHostFile(dir + "/" + name, contents);
  EXPECT_TRUE(server::PackFile(dir + "/" + name, dir + "/out.cmp").ok());
  std::string archive = testing::ReadHostFile(dir + "/out.cmp");
  testing::RemoveTree(dir);
  return archive;
}

// The members a run sets for one staged file.
void Prepare(ctlInit_V3& control, const std::string& name, int16_t type, const std::string& target,
             bool compressed, bool font) {
  control.msFileName = name;
  control.miInstallType = type;
  control.msTargetPath = target;
  control.msFileVersion = "1.0.0.0";
  control.mbIsCompressed = compressed;
  control.mbIsFont = font;
}

TEST(InstallCurrentFileTest, CompressedFontIsExpandedPlacedAndRegistered) {
  for (sandbox::Family family : {sandbox::Family::kNt, sandbox::Family::k9x}) {
    const bool is_9x = family == sandbox::Family::k9x;
    SCOPED_TRACE(is_9x ? "9x" : "NT");
    testing::TestMachine m(family);
    InitFolders();
    ctlInit_V3 control;
    const std::string target = gsDirFonts + "\\q.ttf";
    m.WriteFile(gsDirTemp + "\\q.ttf.cmp", Pack("q.ttf", "glyphs"));
    Prepare(control, "q.ttf", itReplace, target, true, true);
    control.InstallCurrentFile();

    EXPECT_EQ(m.ReadFile(target), "glyphs");
    EXPECT_FALSE(m.Exists(gsDirTemp + "\\q.ttf.cmp"));
    EXPECT_EQ(m.Hklm(is_9x ? kFontsKey9x : kFontsKeyNt, "Quillmark Font q.ttf"), "q.ttf");
    EXPECT_EQ(m.Hklm(is_9x ? kFontsKeyNt : kFontsKey9x, "Quillmark Font q.ttf"), std::nullopt);
    auto* fonts = static_cast<sandbox::SandboxFonts*>(m.platform().fonts);
    EXPECT_EQ(fonts->loaded(), std::vector<std::string>{target});
    EXPECT_EQ(fonts->broadcasts(), 1);
    EXPECT_EQ(control.panel().mouse_pointer, kPointerDefault);
  }
}

TEST(InstallCurrentFileTest, PlacementUnderTheHourglassRaisesNothing) {
  testing::TestMachine m;
  InitFolders();
  ctlInit_V3 control;
  int done = 0;
  control.Subscribe(ControlEvent::kDone, [&] { ++done; });

  m.WriteFile(gsDirTemp + "\\a.dll", "a");
  Prepare(control, "a.dll", itReplace, gsDirClient + "\\a.dll", false, false);
  const int repaints = m.ui().repaints;
  control.InstallCurrentFile();
  EXPECT_EQ(m.ReadFile(gsDirClient + "\\a.dll"), "a");
  EXPECT_EQ(m.ui().repaints, repaints + 2);
  EXPECT_EQ(control.panel().mouse_pointer, kPointerDefault);
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(static_cast<sandbox::SandboxFonts*>(m.platform().fonts)->loaded().empty());
}

TEST(InstallCurrentFileTest, FileThatCannotBeExpandedIsLeftAlone) {
  testing::TestMachine m;
  InitFolders();
  ctlInit_V3 control;
  int done = 0;
  control.Subscribe(ControlEvent::kDone, [&] { ++done; });
  const std::string archive = gsDirTemp + "\\setup.exe.cmp";
  m.WriteFile(archive, "not an archive");
  m.WriteFile(gsDirTemp + "\\setup.exe", "#!/bin/sh\nexit 0\n");  // stale
  Prepare(control, "setup.exe", itRun, gsDirClient + "\\setup.exe", true, false);
  const int repaints = m.ui().repaints;
  control.InstallCurrentFile();

  ASSERT_EQ(m.ui().boxes.size(), 1u);
  // The reason stands between the two fixed lines.
  const std::string text = m.ui().boxes[0].text;
  const std::string first = "There was an error expanding file " + archive + "\r" + archive +
                            " is not a cabinet: ";
  const std::string last =
      "\rInstallation of other files will be completed, but this may cause future errors.";
  EXPECT_EQ(text.substr(0, first.size()), first) << text;
  ASSERT_GT(text.size(), first.size() + last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2);
  EXPECT_EQ(m.ui().boxes[0].style, 0);
  EXPECT_EQ(m.ui().repaints, repaints);
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(m.Exists(archive));
}

}  // namespace
}  // namespace qv
