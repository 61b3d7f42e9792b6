// The WinINet data space against the reference server, started by
// run_wine_tests.sh: QV_TEST_BOSERVER is its business-object address, with
// the account alice (password "secret") under the key name KEY.
#include "platform/win32/win32_data_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/data_space_protocol.h"

namespace qv::win32 {
namespace {

TEST(Win32DataSpaceTest, LoginCallsReachTheServerAndComeBack) {
  const char* server = std::getenv("QV_TEST_BOSERVER");
  if (server == nullptr) GTEST_SKIP() << "QV_TEST_BOSERVER is not set (run_wine_tests.sh sets it)";
  struct Case {
    std::string server;
    std::string password;
    int32_t error;           // of the call
    bool login_id_expected;  // a refused login answers ""
  };
  const char* closed = std::getenv("QV_TEST_CLOSED");
  const Case cases[] = {
      {server, "secret", kErrorSuccess, true},
      {server, "wrong", kErrorSuccess, false},
      {closed == nullptr ? "" : std::string(closed) + "/bo", "secret", kErrorServerUnreachable,
       false},
  };
  Win32DataSpace space;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server + " " + c.password);
    std::unique_ptr<BusinessObject> object;
    ASSERT_TRUE(space.CreateObject("QVBO_V2.Init", c.server, &object).ok());
    // Two calls on one object: the second reuses its connection.
    for (int call = 0; call < 2; ++call) {
      std::vector<std::string> arguments = {"KEY", "alice", c.password, "127.0.0.1"};
      CallResult result;
      const ErrorInfo error = object->Call("LoginUser", &arguments, &result);
      EXPECT_EQ(error.number, c.error) << error.description;
      EXPECT_EQ(!result.text.empty(), c.login_id_expected);
      if (c.error == kErrorSuccess) {
        EXPECT_EQ(arguments[1], "alice");  // given back
      }
    }
  }
  std::unique_ptr<BusinessObject> none;
  EXPECT_EQ(space.CreateObject("QVBO_V2.Init", "", &none).number, kErrorServerUnreachable);
}

}  // namespace
}  // namespace qv::win32
