// HTTPS end to end: qvserver serving over TLS with certificates of a
// throwaway authority, and qvinit runs that check them (or fail the way an
// unreachable server fails, with the reason in the report).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/qvinit_fixture.h"
#include "tests/test_authority.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kLocalNames[] = "IP:127.0.0.1,DNS:localhost";

class HttpsTest : public QvinitTest {
 protected:
  HttpsTest() : authority_(dir_) {}

  // qvserver over TLS with the sample catalog; its base address, or "".
  std::string Serve(const TestAuthority::Issued& issued) {
    return ServeChild({"--tls-cert", issued.cert, "--tls-key", issued.key});
  }

  TestAuthority authority_;
};

TEST_F(HttpsTest, OnlineRunsCheckTheServersCertificate) {
  const TestAuthority::Issued local = authority_.Issue("local", kLocalNames, 2);
  const TestAuthority::Issued other = authority_.Issue("other", "DNS:other.example", 2);
  const TestAuthority::Issued ended = authority_.Issue("ended", kLocalNames, -1);
  struct Case {
    const char* name;
    const TestAuthority::Issued* issued;  // null: the plain server
    bool trust_authority;
    bool plain_objects;  // the business objects on the plain server
    const char* reason;  // "" for a run that installs
  };
  const Case cases[] = {
      {"trusted authority", &local, true, false, ""},
      {"system store only", &local, false, false, "unable to get local issuer certificate"},
      {"certificate for another name", &other, true, false, "target host name"},
      {"expired certificate", &ended, true, false, "certificate has expired"},
      {"plain http beside a trusted authority", nullptr, true, false, ""},
      {"downloads from an unknown authority", &local, false, true,
       "unable to get local issuer certificate"},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string base = server_->base_url();
    if (c.issued != nullptr) {
      base = Serve(*c.issued);
      ASSERT_EQ(base.rfind("https://127.0.0.1:", 0), 0u) << base;
    }
    const std::string machine = NewMachine("m" + std::to_string(++count));
    const std::string objects = c.plain_objects ? server_->base_url() : base;
    std::vector<std::string> args = OnlineFrom(base + "/", objects + "/bo");
    if (c.trust_authority) args.insert(args.begin(), {"--ca-file", authority_.ca_file()});
    const Outcome o = Qvinit(machine, args);
    const bool installed = HostExists(machine + "/" + kClient + "qvclient.dll");
    if (std::string(c.reason).empty()) {
      EXPECT_EQ(o.exit_code, 0) << o.err << o.out;
      EXPECT_EQ(o.Events(), (std::vector<std::string>{"Init", "Done", "Done"}));
      EXPECT_TRUE(installed);
      // The client is handed the address it was reached at, login ID inside.
      const std::string scheme = base.substr(0, base.find("://") + 3);
      EXPECT_THAT(WaitForFile(machine + "/" + kClient + "qvlaunch.args"),
                  ::testing::ContainsRegex(scheme + "[0-9a-f]{32}@127\\.0\\.0\\.1:"));
      continue;
    }
    EXPECT_FALSE(installed);
    if (c.plain_objects) {  // as a download that cannot connect
      EXPECT_EQ(o.exit_code, 3) << o.err << o.out;
      ASSERT_NE(o.Find("msgbox"), nullptr) << o.out;
      EXPECT_THAT((*o.Find("msgbox"))["text"].get<std::string>(), HasSubstr("downloading"));
      // The box names the address; the report says why.
      ASSERT_NE(o.Find("transfer"), nullptr) << o.out;
      EXPECT_THAT((*o.Find("transfer"))["error"].get<std::string>(), HasSubstr(c.reason));
      continue;
    }
    // As an unreachable server: the data space's error.
    EXPECT_EQ(o.exit_code, 1) << o.err << o.out;
    const nlohmann::json* error = o.Find("error");
    ASSERT_NE(error, nullptr) << o.out;
    EXPECT_EQ((*error)["source"], "RDS.DataSpace");
    EXPECT_THAT((*error)["description"].get<std::string>(), HasSubstr(c.reason));
  }
}

TEST_F(HttpsTest, ServeRefusesCertificatesItCannotUseBeforeListening) {
  const TestAuthority::Issued local = authority_.Issue("local", kLocalNames, 2);
  const TestAuthority::Issued other = authority_.Issue("other", kLocalNames, 2);
  WriteHostFile(dir_ + "/garbage.pem", "not a certificate\n");
  struct Case {
    std::vector<std::string> options;
    int exit_code;
    const char* message;
  };
  const Case cases[] = {
      {{"--tls-cert", local.cert}, 2, "--tls-key"},
      {{"--tls-key", local.key}, 2, "--tls-cert"},
      {{"--tls-cert", dir_ + "/missing.pem", "--tls-key", local.key}, 1, "missing.pem"},
      {{"--tls-cert", local.cert, "--tls-key", dir_ + "/missing.key"}, 1, "missing.key"},
      {{"--tls-cert", dir_ + "/garbage.pem", "--tls-key", local.key}, 1, "cannot be used"},
      {{"--tls-cert", local.cert, "--tls-key", other.key}, 1, "does not belong"},
  };
  for (const Case& c : cases) {
    // A server that started anyway would never end: timeout stops it.
    std::vector<std::string> argv = {"timeout",        "30",       QvserverPath(), "serve",
                                     catalog_.db_path, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const CommandResult r = RunCommand(argv);
    SCOPED_TRACE(argv.back());
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_THAT(r.out, Not(HasSubstr("listening")));
  }

  // A client speaking plain HTTP to the TLS server gets no answer, and the
  // server goes on serving.
  const std::string base = Serve(local);
  ASSERT_EQ(base.rfind("https://127.0.0.1:", 0), 0u);
  httplib::Client plain("127.0.0.1", std::stoi(base.substr(base.find_last_of(':') + 1)));
  plain.set_read_timeout(10, 0);
  const auto answer = plain.Get("/installs/setup.html");
  EXPECT_TRUE(!answer || answer->status != 200);
  EXPECT_TRUE(served_->Running());
  served_->Signal(SIGTERM);
  EXPECT_EQ(served_->Wait(), 0);
}

}  // namespace
}  // namespace qv::testing
