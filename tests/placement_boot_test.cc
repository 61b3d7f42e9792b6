// Files whose replacement waited for the next start of the machine arrive
// when the machine starts (qvinit machine boot), on both families.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/module_state.h"
#include "install/modInstall.h"
#include "platform/sandbox/sandbox_file_system.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::Family;

// The text of an HKLM value up to its first zero; "<missing>" when the value
// or its key is not there.
std::string HklmText(Platform& platform, const std::string& key, const std::string& name) {
  RegHandle handle = 0;
  if (platform.registry->OpenKeyEx(kHkeyLocalMachine, key, 0, kKeyQueryValue, &handle) != 0) {
    return "<missing>";
  }
  std::string data(4096, '\0');
  uint32_t size = static_cast<uint32_t>(data.size());
  const uint32_t rc = platform.registry->QueryValueEx(
      handle, name, nullptr, nullptr, reinterpret_cast<uint8_t*>(data.data()), &size);
  platform.registry->CloseKey(handle);
  if (rc != 0) return "<missing>";
  data.resize(size);
  return data.substr(0, data.find('\0'));
}

class PlacementBootTest : public ::testing::TestWithParam<Family> {};

TEST_P(PlacementBootTest, DeferredFilesArriveAtTheNextStart) {
  testing::TestMachine m(GetParam());
  InitFolders();
  gbRebootNeeded = false;

  struct File {
    int16_t type;
    std::string target;
  };
  const std::vector<File> files = {
      {itReplaceRegister, gsDirCommon + "\\shared lib.dll"},
      {itReplace, gsDirClient + "\\client.exe"},
      {itReplaceVersioned, gsDirClient + "\\data.mdb"},
  };
  for (const File& f : files) {
    m.WriteFile(f.target, "old");
    m.machine().mutable_profile()->files_in_use.push_back({f.target, false});
  }
  // A read-only file in use is replaced at the start all the same.
  ASSERT_TRUE(m.platform().files->SetFileAttributes(files[0].target, kFileAttributeReadOnly).ok());
  ASSERT_TRUE(m.machine().SaveProfile().ok());
  m.Reopen();

  std::vector<std::string> sources;
  for (const File& f : files) {
    const std::string source = gsDirTemp + f.target.substr(f.target.rfind('\\'));
    m.WriteFile(source, "new");
    sources.push_back(source);
    PlaceFile(source, f.type, f.target, "2.1.0.7");
    EXPECT_EQ(m.ReadFile(f.target), "old");
  }
  ASSERT_TRUE(gbRebootNeeded);

  m.Reopen();
  const testing::CommandResult boot =
      testing::RunCommand({testing::QvinitPath(), "machine", "boot", m.root()});
  m.Reopen();
  ASSERT_EQ(boot.exit_code, 0) << boot.out << boot.err;
  EXPECT_EQ(boot.out.find("problem"), std::string::npos) << boot.out;

  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].target);
    EXPECT_EQ(m.ReadFile(files[i].target), "new");
    EXPECT_FALSE(m.Exists(sources[i]));
  }
  EXPECT_EQ(GetFileVersionString(files[2].target), "2.1.0.7");

  // Nothing is left for another start.
  EXPECT_FALSE(m.Exists(gsDirWindows + "\\wininit.ini"));
  EXPECT_EQ(HklmText(m.platform(), sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue),
            "<missing>");
  const std::string run_once_ex = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";
  EXPECT_EQ(HklmText(m.platform(), run_once_ex, "QV" + files[0].target), "<missing>");
  // The registration entry named the replaced library and its entry point.
  EXPECT_EQ(
      HklmText(m.platform(), "SOFTWARE\\Quillmark Sandbox\\Registered Components", files[0].target),
      "DllRegisterServer");
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, PlacementBootTest,
                         ::testing::Values(Family::kNt, Family::k9x), [](const auto& info) {
                           return std::string(info.param == Family::kNt ? "Nt" : "NineX");
                         });

}  // namespace
}  // namespace qv
