// qvinit on a machine whose disk fills up: the machine lives on a small
// tmpfs that the test mounts in a mount namespace of its own (unshare), so
// a download, an expansion or a placement runs out of room part of the way.
// Nothing is lost (the installed copy keeps its bytes, no temporary is left
// in the staging folder) and the message says that the disk is full.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/cab_pack.h"
#include "tests/qvinit_fixture.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;

constexpr char kOldBytes[] = "the installed copy, version 1.0";

struct DiskCase {
  const char* name;
  std::string location;  // where the list says the file comes from
  bool compressed;
  std::string staging;  // the staging folder's names afterwards
  std::string says;     // in the message box
};

class FullDiskTest : public QvinitTest {
 protected:
  // Runs the list's one file on a fresh machine in a tmpfs of `mib` MiB;
  // the shell prints "exit=<status>", then the target's bytes after
  // "target=" and the staging folder's names after "temp=".
  CommandResult RunOnSmallDisk(int mib, const std::string& report) {
    const std::string mount = dir_ + "/small";
    fs::create_directories(mount);
    const std::string client = mount + "/m/drive_c/Program Files/Ostrel/Quillmark/Client";
    const std::string script =
        "set -e; mount -t tmpfs -o size=" + std::to_string(mib) + "m tmpfs '" + mount + "'; '" +
        QvinitPath() + "' machine init '" + mount + "/m' >/dev/null; mkdir -p '" + client +
        "'; printf '%s' '" + kOldBytes + "' > '" + client + "/target.bin'; set +e; '" +
        QvinitPath() + "' --headless --machine '" + mount + "/m' --report '" + report +
        "' --password-stdin startup-v2 '" + server_->base_url() + "/' '" + server_->base_url() +
        "/bo' '" + catalog_.key_name + "' '" + catalog_.login + "' x >/dev/null 2>&1; " +
        "echo exit=$?; printf 'target='; cat '" + client + "/target.bin'; echo; printf 'temp='; " +
        "ls '" + mount + "/m/drive_c/Program Files/Ostrel/Quillmark/Temp' | tr '\\n' ' '; echo";
    return RunCommand({"unshare", "-Urm", "sh", "-c", script}, "demo\n");
  }
};

TEST_F(FullDiskTest, AFullDiskLosesNothingAndSaysSo) {
  if (RunCommand({"unshare", "-Urm", "true"}).exit_code != 0) {
    GTEST_SKIP() << "no mount namespace can be made here";
  }
  // 12 MiB that cannot be packed small: downloaded, they fit in the 16 MiB
  // disk once, not twice (the staged archive and what it expands to), and
  // not beside the 12 MiB already staged by the case before.
  std::string bytes(size_t{12} << 20, '\0');
  uint32_t state = 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  WriteHostFile(catalog_.files_dir + "/big/target.bin", bytes + bytes);
  WriteHostFile(dir_ + "/staging/target.bin", bytes);
  fs::create_directories(catalog_.files_dir + "/packed");
  ASSERT_TRUE(server::PackFile(dir_ + "/staging/target.bin",
                               catalog_.files_dir + "/packed/target.bin.cmp")
                  .ok());
  // What may stay in the staging folder: a downloaded archive whose
  // expansion failed is kept there, as after any failed expansion.
  const std::vector<DiskCase> cases = {
      {"a download that does not fit", "big/target.bin", false, "temp=\n", ": the disk is full."},
      {"an expansion that does not fit", "packed/target.bin.cmp", true, "temp=target.bin.cmp \n",
       "No space left on device"},
  };
  for (const DiskCase& c : cases) {
    SCOPED_TRACE(c.name);
    ListRecord record{1, "target.bin", c.location, 2, "2.0", "CLIENTDIR"};
    std::string list = ListDocument({record});
    if (c.compressed) {
      nlohmann::json doc = nlohmann::json::parse(list);
      doc["records"][0][10] = true;
      list = doc.dump();
    }
    ASSERT_TRUE(server_->storage().PutInstallList(catalog_.key_name, list).ok());
    const std::string report = dir_ + "/disk.jsonl";
    const CommandResult r = RunOnSmallDisk(16, report);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("target=" + std::string(kOldBytes) + "\n"));
    EXPECT_THAT(r.out, HasSubstr(c.staging)) << "something was left in the staging folder";
    EXPECT_THAT(ReadHostFile(report), HasSubstr(c.says)) << r.out;
  }
}

}  // namespace
}  // namespace qv::testing
