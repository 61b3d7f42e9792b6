// qvinit through a man in the middle: the download and business-object
// addresses both point at a proxy that passes the real server's answers on
// and changes them on the way (a byte of a file, a body cut to a length it
// announces, the install list swapped). The list was published with its
// files' digests and sizes; what reaches the client folder, the copy folder
// and a local run from it is what the list states, or nothing (a list that
// states no digests lets a changed file through). Without a
// trust key a swapped or replayed list is believed; with a server that
// signs and a machine that trusts its key, it is refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "tests/qvinit_fixture.h"
#include "tests/tamper_proxy.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kOldBytes[] = "MZ the copy installed before, version 1.0";
constexpr char kNewerA[] = "MZ the newer a.dll";
constexpr char kNotInstalled[] =
    "a.dll does not match the install list (size or checksum); it was not installed.";
constexpr char kNotKept[] =
    "a.dll does not match the install list (size or checksum); it was not kept.";

// What the proxy does to the run.
enum class Tamper { kNone, kByte, kCut, kSwap };

class TamperTest : public QvinitTest {
 protected:
  TamperTest() : proxy_(server_->base_url()) {}

  void SetUp() override {
    PutList({{1, "a.dll", "chk/a.dll", 2, "2.0", "CLIENTDIR"},
             {2, "b.dll", "chk/b.dll", 2, "2.0", "CLIENTDIR"}});
    for (const std::string name : {"a.dll", "b.dll", "other.dll"}) {
      WriteHostFile(dir_ + "/" + name, Contents(name));
      std::vector<std::string> argv = {QvserverPath(),     "publish",         catalog_.db_path,
                                       catalog_.files_dir, dir_ + "/" + name, "--as",
                                       "chk/" + name};
      // other.dll is in no record: it is served, and only a swapped list
      // names it.
      if (name != "other.dll") argv.insert(argv.end(), {"--list", catalog_.key_name});
      const CommandResult r = RunCommand(argv);
      ASSERT_EQ(r.exit_code, 0) << r.err;
    }
  }

  static std::string Contents(const std::string& name) {
    return "MZ" + std::string(50000, name[0]) + " the published " + name;
  }
  // Which of the test's files path holds, by name: "a.dll" (as published),
  // "other.dll", "old", "newer", or "absent" (a failure's message stays
  // short).
  static std::string Held(const std::string& path) {
    if (!HostExists(path)) return "absent";
    const std::string bytes = ReadHostFile(path);
    for (const char* name : {"a.dll", "b.dll", "other.dll"}) {
      if (bytes == Contents(name)) return name;
    }
    if (bytes == kOldBytes) return "old";
    if (bytes == kNewerA) return "newer";
    return std::to_string(bytes.size()) + " other bytes";
  }

  // The stored list with a.dll's record pointed at other.dll: a list a man
  // in the middle could make.
  std::string SwappedList() {
    bool found = false;
    std::string text;
    int64_t generation = 0;
    EXPECT_TRUE(
        server_->storage().GetInstallList(catalog_.key_name, &found, &text, &generation).ok());
    nlohmann::json doc = nlohmann::json::parse(text);
    PointAAtOther(&doc);
    return doc.dump();
  }
  // Points a.dll's record in doc at other.dll, with that file's own digest
  // and size.
  static void PointAAtOther(nlohmann::json* doc) {
    const std::string other = Contents("other.dll");
    SetInA({{"DownloadLocation", "chk/other.dll"},
            {"FileSHA256", Sha256Hex(other.data(), other.size())},
            {"FileSize", other.size()}},
           doc);
  }

  // Sets fields of a.dll's record in the list document doc.
  static void SetInA(const std::map<std::string, nlohmann::json>& values, nlohmann::json* doc) {
    std::map<std::string, size_t> at;  // field name -> position in a record
    for (const auto& field : (*doc)["fields"]) at.emplace(field["name"], at.size());
    for (auto& record : (*doc)["records"]) {
      if (record[at["FileName"]] != "a.dll") continue;
      for (const auto& [name, value] : values) record[at.at(name)] = value;
    }
  }

  void Apply(Tamper tamper) {
    proxy_.PassEverything();
    if (tamper == Tamper::kByte) proxy_.ChangeByte("/chk/a.dll");
    if (tamper == Tamper::kCut) proxy_.Cut("/chk/a.dll");
    if (tamper == Tamper::kSwap) proxy_.SwapList(SwappedList());
  }

  // Publishes new contents for a.dll under an address of its own (the old
  // one stays served) and points its record there: export, edit, import
  // with the files' digests filled in.
  void PublishNewA(const std::string& contents) {
    WriteHostFile(dir_ + "/new-a.dll", contents);
    CommandResult r = RunCommand({QvserverPath(), "publish", catalog_.db_path, catalog_.files_dir,
                                  dir_ + "/new-a.dll", "--as", "chk/2/a.dll"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string file = dir_ + "/list.json";
    r = RunCommand({QvserverPath(), "list", "export", catalog_.db_path, catalog_.key_name, file});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(ReadHostFile(file));
    SetInA({{"DownloadLocation", "chk/2/a.dll"}}, &doc);
    WriteHostFile(file, doc.dump());
    r = RunCommand({QvserverPath(), "list", "import", catalog_.db_path, catalog_.key_name, file,
                    "--files", catalog_.files_dir});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  // Both addresses through the proxy.
  std::vector<std::string> ThroughProxy(const std::string& remote = "x") {
    return {"startup-v2",      proxy_.Url("/"), proxy_.Url("/bo"),
            catalog_.key_name, catalog_.login,  remote};
  }

  // The folder C:\NAME of machine, made when missing.
  static std::string Folder(const std::string& machine, const std::string& name) {
    const std::string path = machine + "/drive_c/" + name + "/";
    std::filesystem::create_directories(path);
    return path;
  }

  TamperProxy proxy_;
};

TEST_F(TamperTest, AnOnlineRunInstallsOnlyWhatTheListStates) {
  struct Case {
    const char* name;
    Tamper tamper;
    std::string a_after;  // what a.dll in the client folder holds afterwards (Held)
    const char* box;      // in the message boxes ("" for none)
    bool stated = true;   // the list states the files' digests and sizes
  };
  const Case cases[] = {
      {"passed on untouched", Tamper::kNone, "a.dll", ""},
      {"one byte of a.dll changed", Tamper::kByte, "old", kNotInstalled},
      {"a.dll cut, its length announced to match", Tamper::kCut, "old", kNotInstalled},
      // What signing the list is for: a list is believed as it comes, and
      // the file it names matches the digest beside it.
      {"the list swapped, no trust key", Tamper::kSwap, "other.dll", ""},
      // A list that states nothing checks nothing (last: it replaces the list).
      {"one byte changed, no digests stated", Tamper::kByte,
       std::to_string(Contents("a.dll").size()) + " other bytes", "", false},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.stated) {
      PutList({{1, "a.dll", "chk/a.dll", 2, "2.0", "CLIENTDIR"},
               {2, "b.dll", "chk/b.dll", 2, "2.0", "CLIENTDIR"}});
    }
    Apply(c.tamper);
    const std::string machine = NewMachine("m" + std::to_string(++count));
    const std::string client = machine + "/" + kClient;
    WriteHostFile(client + "a.dll", kOldBytes);
    const Outcome o = Qvinit(machine, ThroughProxy());
    EXPECT_EQ(o.exit_code, 0) << o.err;
    EXPECT_EQ(Held(client + "a.dll"), c.a_after);
    EXPECT_EQ(Held(client + "b.dll"), "b.dll");
    if (*c.box == '\0') {
      EXPECT_THAT(o.Boxes(), Not(HasSubstr("does not match")));
    } else {
      EXPECT_THAT(o.Boxes(), HasSubstr(c.box));
    }
  }
}

TEST_F(TamperTest, CopyOnlyAndLocalRunsKeepOnlyWhatTheListStates) {
  struct Case {
    const char* name;
    Tamper tamper;         // on the way to the copy-only run
    bool changed_on_disk;  // a.dll changed in the gathered folder afterwards
    bool a_gathered;
    const char* copy_box;   // in the copy-only run's boxes ("" for none)
    const char* local_box;  // in the local run's boxes
  };
  const Case cases[] = {
      {"a byte changed on the way", Tamper::kByte, false, false, kNotKept,
       "There was an error downloading file C:\\Media\\chk/a.dll"},
      {"a.dll cut on the way", Tamper::kCut, false, false, kNotKept,
       "There was an error downloading file C:\\Media\\chk/a.dll"},
      {"a byte changed in the folder", Tamper::kNone, true, true, "", kNotInstalled},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Apply(c.tamper);
    const std::string gather = NewMachine("gather" + std::to_string(++count));
    const std::string copy = Folder(gather, "Copy");
    std::vector<std::string> args = ThroughProxy("COPYONLY");
    args.insert(args.begin(), {"--pick", R"(C:\Copy)"});
    const Outcome gathered = Qvinit(gather, args);
    EXPECT_EQ(gathered.exit_code, 0) << gathered.err;
    EXPECT_EQ(Held(copy + "chk/b.dll"), "b.dll");
    EXPECT_EQ(Held(copy + "chk/a.dll"), c.a_gathered ? "a.dll" : "absent");
    if (*c.copy_box == '\0') {
      EXPECT_THAT(gathered.Boxes(), Not(HasSubstr("does not match")));
    } else {
      EXPECT_THAT(gathered.Boxes(), HasSubstr(c.copy_box));
    }

    // The folder carried to a machine without the network.
    const std::string offline = NewMachine("offline" + std::to_string(count));
    std::filesystem::copy(copy, Folder(offline, "Media"), std::filesystem::copy_options::recursive);
    if (c.changed_on_disk) {
      std::string bytes = ReadHostFile(offline + "/drive_c/Media/chk/a.dll");
      bytes[bytes.size() / 2] ^= 0x20;
      WriteHostFile(offline + "/drive_c/Media/chk/a.dll", bytes);
    }
    const Outcome local = Qvinit(offline, {"local", R"(C:\Media)"});
    EXPECT_EQ(local.exit_code, 0) << local.err;
    EXPECT_FALSE(HostExists(offline + "/" + kClient + "a.dll"));
    EXPECT_EQ(Held(offline + "/" + kClient + "b.dll"), "b.dll");
    EXPECT_THAT(local.Boxes(), HasSubstr(c.local_box));
  }
}

// What the list's serial is for: an answer recorded before a.dll was
// replaced, played again later, puts the old a.dll back.
TEST_F(TamperTest, AnOldListReplayedWithoutATrustKeyPutsTheOldFileBack) {
  const std::string machine = NewMachine("m");
  const std::string a = machine + "/" + kClient + "a.dll";
  Outcome o = Qvinit(machine, ThroughProxy());
  ASSERT_EQ(o.exit_code, 0) << o.err;
  ASSERT_EQ(Held(a), "a.dll");
  const std::string recorded = proxy_.RecordedList();

  PublishNewA(kNewerA);
  o = Qvinit(machine, ThroughProxy());
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(Held(a), "newer");

  proxy_.ReplayList(recorded);
  o = Qvinit(machine, ThroughProxy());
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(Held(a), "a.dll");
  EXPECT_THAT(o.Boxes(), Not(HasSubstr("does not match")));
}

// With a server that signs its lists and a machine that trusts its key, the
// list itself is checked: one changed on the way and one recorded earlier
// and played again after a newer one was used are refused, and nothing of
// them is installed.
TEST_F(TamperTest, ASignedListSwappedOrReplayedIsRefused) {
  CommandResult r = RunCommand({QvserverPath(), "key", "generate", dir_ + "/keys"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string trust_key = r.out.substr(0, r.out.find('\n'));
  const std::string signing = ServeChild({"--signing-key", dir_ + "/keys/list-signing.key"});
  ASSERT_FALSE(signing.empty());
  TamperProxy proxy(signing);
  const std::vector<std::string> args = {
      "--trust-key",    trust_key,         "startup-v2",   proxy.Url("/"),
      proxy.Url("/bo"), catalog_.key_name, catalog_.login, "x"};
  const std::string trusting = NewMachine("trusting");
  const std::string a = trusting + "/" + kClient + "a.dll";
  Outcome o = Qvinit(trusting, args);
  ASSERT_EQ(o.exit_code, 0) << o.err << o.out;
  ASSERT_EQ(Held(a), "a.dll");
  const std::string recorded = proxy.RecordedList();

  // Each refused run: exit 4, the reason in its one box, no event after
  // Init, a.dll keeps what it held and b.dll is not fetched.
  auto expect_refused = [](const Outcome& o, const std::string& client, const std::string& a_held,
                           const std::string& reason) {
    EXPECT_EQ(o.exit_code, 4) << o.err << o.out;
    EXPECT_EQ(o.Boxes(),
              "The install list could not be trusted: " + reason + ".\r\rNothing was installed.\n");
    EXPECT_EQ(o.Events(), std::vector<std::string>{"Init"});
    EXPECT_EQ(Held(client + "a.dll"), a_held);
    EXPECT_FALSE(HostExists(client + "b.dll"));
  };

  // a.dll pointed at other.dll, the signature kept.
  nlohmann::json answer = nlohmann::json::parse(recorded);
  PointAAtOther(&answer["result"]);
  proxy.ReplayList(answer.dump());
  const std::string swapped = NewMachine("swapped");
  WriteHostFile(swapped + "/" + kClient + "a.dll", kOldBytes);
  expect_refused(Qvinit(swapped, args), swapped + "/" + kClient, "old",
                 "its signature does not match");

  // A newer list used once raises the machine's serial; the old answer
  // played again is then refused.
  proxy.PassEverything();
  PublishNewA(kNewerA);
  o = Qvinit(trusting, args);
  ASSERT_EQ(o.exit_code, 0) << o.err << o.out;
  ASSERT_EQ(Held(a), "newer");
  RemoveTree(trusting + "/" + kClient + "b.dll");
  auto serial = [](const std::string& answer) {
    return std::to_string(
        nlohmann::json::parse(answer)["result"]["signature"]["serial"].get<int64_t>());
  };
  const std::string newest = serial(proxy.RecordedList());
  EXPECT_EQ(RunCommand({QvinitPath(), "machine", "reg", trusting, "query",
                        R"(HKLM\SOFTWARE\Ostrel\Quillmark)", "ListSerial"})
                .out,
            newest + "\n");
  const std::string reason = "it is older than one already used (serial " + serial(recorded) +
                             ", " + newest + " was used)";
  proxy.ReplayList(recorded);
  expect_refused(Qvinit(trusting, args), trusting + "/" + kClient, "newer", reason);
}

}  // namespace
}  // namespace qv::testing
