// Files checked against the size and SHA-256 that their install list states:
// published with "qvserver publish --list", changed on the server's disk or
// not, then fetched by qvinit from the real server. Gathering and local runs,
// and changes on the way, are in tamper_test.cc.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/qvinit_fixture.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kMismatch[] = "does not match the install list";

// What happens to a.dll on the server's disk (or in the folder) after it was
// published.
enum class Change { kNone, kByte, kCut };

void Apply(Change change, const std::string& path) {
  std::string bytes = ReadHostFile(path);
  if (change == Change::kByte) bytes[bytes.size() / 2] ^= 1;
  if (change == Change::kCut) bytes.pop_back();
  if (change != Change::kNone) WriteHostFile(path, bytes);
}

class ServedFileCheckTest : public QvinitTest {
 protected:
  // Lists a.dll and b.dll and publishes them below chk/ in the files folder;
  // with stated, publish fills in their digests and sizes in the list.
  void PublishPair(bool stated) {
    PutList({{1, "a.dll", "chk/a.dll", 2, "1.0", "CLIENTDIR"},
             {2, "b.dll", "chk/b.dll", 2, "1.0", "CLIENTDIR"}});
    for (const std::string name : {"a.dll", "b.dll"}) {
      WriteHostFile(dir_ + "/" + name, Contents(name));
      std::vector<std::string> argv = {QvserverPath(),     "publish", catalog_.db_path,
                                       catalog_.files_dir, dir_ + "/" + name, "--as",
                                       "chk/" + name};
      if (stated) argv.insert(argv.end(), {"--list", catalog_.key_name});
      const CommandResult r = RunCommand(argv);
      ASSERT_EQ(r.exit_code, 0) << r.err;
    }
  }
  static std::string Contents(const std::string& name) {
    return "MZ" + std::string(70000, name[0]) + " the published " + name;
  }
  std::string Served(const std::string& name) const { return catalog_.files_dir + "/chk/" + name; }
  static std::string Boxes(const Outcome& o) {
    std::string boxes;
    for (const auto& r : o.report) {
      if (r.contains("msgbox")) boxes += r["msgbox"]["text"].get<std::string>() + "\n";
    }
    return boxes;
  }
  // Checks that b.dll is in folder as published, and a.dll as the server
  // has it when a_expected, else not at all; and the boxes say so.
  void ExpectPair(const Outcome& o, const std::string& folder, bool a_expected) {
    EXPECT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(ReadHostFile(folder + "b.dll"), Contents("b.dll"));
    if (a_expected) {
      EXPECT_EQ(ReadHostFile(folder + "a.dll"), ReadHostFile(Served("a.dll")));
      EXPECT_THAT(Boxes(o), Not(HasSubstr(kMismatch)));
    } else {
      EXPECT_FALSE(std::filesystem::exists(folder + "a.dll"));
      EXPECT_THAT(Boxes(o), HasSubstr("a.dll " + std::string(kMismatch)));
    }
  }
};

TEST_F(ServedFileCheckTest, AnOnlineRunInstallsOnlyFilesThatMatchTheirList) {
  struct Case {
    const char* name;
    bool stated;
    Change change;
    bool a_installed;
  };
  const Case cases[] = {
      {"matching", true, Change::kNone, true},
      {"byte", true, Change::kByte, false},
      {"cut", true, Change::kCut, false},
      {"unstated", false, Change::kByte, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublishPair(c.stated);
    Apply(c.change, Served("a.dll"));
    const std::string machine = NewMachine(c.name);
    ExpectPair(Qvinit(machine, Online("startup-v2", "x")), machine + "/" + kClient,
               c.a_installed);
  }
}

}  // namespace
}  // namespace qv::testing
