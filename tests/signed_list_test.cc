// Signed install lists end to end: "qvserver key generate", a qvserver that
// signs what it serves (--signing-key), and qvinit runs on machines that
// trust a key (--trust-key, ListTrustKey) or none. Every reason a list is
// refused for is ListTrustTest's; here, that the runs act on the verdict.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/qvinit_fixture.h"
#include "tests/test_authority.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;

constexpr char kTrustKey[] = R"(HKLM\SOFTWARE\Ostrel\Quillmark)";

class SignedListTest : public QvinitTest {
 protected:
  // A key pair in dir_/name; its public key as printed.
  std::string GenerateKey(const std::string& name) {
    const CommandResult r = RunCommand({QvserverPath(), "key", "generate", dir_ + "/" + name});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  }

  // Starts qvserver with the sample catalog, signing with the key in
  // dir_/key_name; its base address.
  std::string ServeSigned(const std::string& key_name, const std::string& validity = "",
                          std::vector<std::string> more = {}) {
    more.insert(more.end(), {"--signing-key", dir_ + "/" + key_name + "/list-signing.key"});
    if (!validity.empty()) more.insert(more.end(), {"--list-validity", validity});
    return ServeChild(more);
  }

  static std::string Query(const std::string& machine, const std::string& value) {
    return RunCommand({QvinitPath(), "machine", "reg", machine, "query", kTrustKey, value}).out;
  }

  // What a refused run shows and leaves: the box, exit status 4, no Done,
  // nothing installed.
  static void ExpectRefused(const Outcome& o, const std::string& machine,
                            const std::string& reason) {
    EXPECT_EQ(o.exit_code, 4) << o.err << o.out;
    ASSERT_NE(o.Find("msgbox"), nullptr) << o.out;
    EXPECT_THAT((*o.Find("msgbox"))["text"].get<std::string>(),
                HasSubstr("The install list could not be trusted: " + reason));
    EXPECT_EQ(o.Events(), std::vector<std::string>{"Init"});
    EXPECT_EQ((*o.Find("final"))["outcome"], "untrusted");
    EXPECT_FALSE(HostExists(machine + "/" + kClient + "qvclient.dll"));
  }
};

TEST_F(SignedListTest, KeyGenerateWritesAPairOnceAndPrintsThePublicKey) {
  const std::string key = GenerateKey("keys");
  EXPECT_EQ(key.size(), 44u);  // fits the 50-byte registry read with its NUL
  EXPECT_EQ(ReadHostFile(dir_ + "/keys/list-signing.pub"), key + "\n");
  struct stat info {};
  ASSERT_EQ(stat((dir_ + "/keys/list-signing.key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string secret = ReadHostFile(dir_ + "/keys/list-signing.key");

  const CommandResult again = RunCommand({QvserverPath(), "key", "generate", dir_ + "/keys"});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_THAT(again.err, HasSubstr("never overwritten"));
  EXPECT_EQ(ReadHostFile(dir_ + "/keys/list-signing.key"), secret);
  EXPECT_NE(GenerateKey("other"), key);
}

TEST_F(SignedListTest, OnlineRunsUseOnlyListsTheTrustedKeySigned) {
  const std::string key = GenerateKey("keys");
  const std::string plain = server_->base_url();
  const std::string signing = ServeSigned("keys");
  // The serial is the stored list's generation.
  bool found = false;
  std::string document;
  int64_t serial = 0;
  ASSERT_TRUE(
      server_->storage().GetInstallList(catalog_.key_name, &found, &document, &serial).ok());
  ASSERT_TRUE(found);
  struct Case {
    const char* name;
    const std::string* server;
    const std::string* trust;  // null: the machine trusts no key
    const char* reason;        // "" for a run that installs
  };
  // A serial used before: TheSerialGrowsWithTheListNotWithRequests; an
  // older one: TamperTest's replayed list.
  const Case cases[] = {
      {"signed, trusted key", &signing, &key, ""},
      {"signed, no trust key", &signing, nullptr, ""},
      {"unsigned, no trust key", &plain, nullptr, ""},
      {"unsigned, trusted key", &plain, &key, "it is not signed"},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string machine = NewMachine("m" + std::to_string(++count));
    std::vector<std::string> args = OnlineFrom(*c.server + "/", *c.server + "/bo");
    if (c.trust != nullptr) args.insert(args.begin(), {"--trust-key", *c.trust});
    const Outcome o = Qvinit(machine, args);
    if (*c.reason != '\0') {
      ExpectRefused(o, machine, c.reason);
      EXPECT_EQ(Query(machine, "ListSerial"), "") << "a refused list's serial kept";
      continue;
    }
    EXPECT_EQ(o.exit_code, 0) << o.err << o.out;
    EXPECT_TRUE(HostExists(machine + "/" + kClient + "qvclient.dll"));
    // A trusting machine keeps the newest serial it used.
    EXPECT_EQ(Query(machine, "ListSerial"),
              c.trust != nullptr ? std::to_string(serial) + "\n" : "");
  }
}

TEST_F(SignedListTest, TheSerialGrowsWithTheListNotWithRequests) {
  const std::string key = GenerateKey("keys");
  const std::string signing = ServeSigned("keys");
  const std::string machine = NewMachine("m");
  std::vector<std::string> args = OnlineFrom(signing + "/", signing + "/bo");
  args.insert(args.begin(), {"--trust-key", key});
  ASSERT_EQ(Qvinit(machine, args).exit_code, 0);
  const std::string first = Query(machine, "ListSerial");
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(Qvinit(machine, args).exit_code, 0);
  EXPECT_EQ(Query(machine, "ListSerial"), first);

  // The same list stored again (as "list import" does) is a change.
  bool found = false;
  std::string document;
  int64_t generation = 0;
  ASSERT_TRUE(
      server_->storage().GetInstallList(catalog_.key_name, &found, &document, &generation).ok());
  ASSERT_TRUE(server_->storage().PutInstallList(catalog_.key_name, document).ok());
  ASSERT_EQ(Qvinit(machine, args).exit_code, 0);
  EXPECT_GT(std::stoll(Query(machine, "ListSerial")), std::stoll(first));
}

TEST_F(SignedListTest, ListsPastTheirValidityAreRefused) {
  const std::string key = GenerateKey("keys");
  const std::string signing = ServeSigned("keys", "0");
  const std::string machine = NewMachine("m");
  std::vector<std::string> args = OnlineFrom(signing + "/", signing + "/bo");
  args.insert(args.begin(), {"--trust-key", key});
  ExpectRefused(Qvinit(machine, args), machine, "it expired on 20");
}

TEST_F(SignedListTest, ACopyOnlyFolderKeepsTheSignatureForLocalRuns) {
  const std::string key = GenerateKey("keys");
  const std::string signing = ServeSigned("keys");
  const std::string gather = NewMachine("gather");
  ASSERT_EQ(RunCommand({"mkdir", "-p", gather + "/drive_c/Copy"}).exit_code, 0);
  std::vector<std::string> copy = OnlineFrom(signing + "/", signing + "/bo");
  copy.back() = "COPYONLY";
  copy.insert(copy.begin(), {"--pick", R"(C:\Copy)", "--trust-key", key});
  Outcome o = Qvinit(gather, copy);
  ASSERT_EQ(o.exit_code, 0) << o.err << o.out;
  const std::string saved = gather + "/drive_c/Copy/installlist.rst";
  ASSERT_TRUE(nlohmann::json::parse(ReadHostFile(saved)).contains("signature"));

  struct Case {
    const char* name;
    std::string from, to;  // an edit of installlist.rst; "" none
    const char* reason;
  };
  const Case cases[] = {
      {"as copied", "", "", ""},
      {"a record edited", "qvclient.dll", "qvclient.dlx", "its signature does not match"},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string machine = NewMachine("local" + std::to_string(++count));
    fs::copy(gather + "/drive_c/Copy", machine + "/drive_c/Media", fs::copy_options::recursive);
    if (!c.from.empty()) {
      std::string text = ReadHostFile(machine + "/drive_c/Media/installlist.rst");
      const size_t at = text.find(c.from);
      ASSERT_NE(at, std::string::npos);
      text.replace(at, c.from.size(), c.to);
      WriteHostFile(machine + "/drive_c/Media/installlist.rst", text);
    }
    o = Qvinit(machine, {"--trust-key", key, "local", R"(C:\Media)"});
    if (*c.reason != '\0') {
      ExpectRefused(o, machine, c.reason);
      continue;
    }
    EXPECT_EQ(o.exit_code, 0) << o.err << o.out;
    EXPECT_TRUE(HostExists(machine + "/" + kClient + "qvclient.dll"));
  }
}

// Everything at once: HTTPS, records that state their files' digests, a
// signed list and a machine that trusts its key install the whole catalog,
// as a plain run does.
TEST_F(SignedListTest, TheCatalogInstallsOverHttpsWithVerifiedFilesAndASignedList) {
  const std::string key = GenerateKey("keys");
  const std::string list = dir_ + "/list.rst";
  ASSERT_EQ(
      RunCommand({QvserverPath(), "list", "export", catalog_.db_path, catalog_.key_name, list})
          .exit_code,
      0);
  const CommandResult filled = RunCommand({QvserverPath(), "list", "import", catalog_.db_path,
                                           catalog_.key_name, list, "--files", catalog_.files_dir});
  ASSERT_EQ(filled.exit_code, 0) << filled.err;
  ASSERT_EQ(
      RunCommand({QvserverPath(), "list", "export", catalog_.db_path, catalog_.key_name, list})
          .exit_code,
      0);
  ASSERT_THAT(ReadHostFile(list), HasSubstr("FileSHA256"));

  ASSERT_EQ(RunCommand({"mkdir", "-p", dir_ + "/ca"}).exit_code, 0);
  const TestAuthority authority(dir_ + "/ca");
  const TestAuthority::Issued issued = authority.Issue("server", "IP:127.0.0.1", 2);
  const std::string secure =
      ServeSigned("keys", "", {"--tls-cert", issued.cert, "--tls-key", issued.key});
  ASSERT_EQ(secure.rfind("https://", 0), 0u) << secure;

  const std::string plain_machine = NewMachine("plain");
  const std::string plain_url = server_->base_url();
  const Outcome plain = Qvinit(plain_machine, OnlineFrom(plain_url + "/", plain_url + "/bo"));
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const std::string machine = NewMachine("secure");
  std::vector<std::string> args = OnlineFrom(secure + "/", secure + "/bo");
  args.insert(args.begin(), {"--trust-key", key, "--ca-file", authority.ca_file()});
  const Outcome o = Qvinit(machine, args);
  EXPECT_EQ(o.exit_code, 0) << o.err << o.out;
  EXPECT_EQ(o.Find("msgbox"), nullptr) << o.out;
  EXPECT_EQ(o.Events(), plain.Events());
  // The same files with the same bytes and fonts; the launch record's
  // program writes its arguments (another server's address) when it gets to it.
  const std::string launched = std::string(kClient) + "qvlaunch.args";
  std::map<std::string, std::string> want = InstalledState(plain_machine);
  std::map<std::string, std::string> got = InstalledState(machine);
  ASSERT_GT(want.size(), 4u);
  want.erase(launched);
  got.erase(launched);
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace qv::testing
