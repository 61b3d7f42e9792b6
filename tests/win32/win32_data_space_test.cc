// The WinINet data space against the reference server, started by
// run_wine_tests.sh: QV_TEST_BOSERVER is its business-object address, with
// the account alice (password "secret") under the key name KEY.
#include "platform/win32/win32_data_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/data_space_protocol.h"
#include "platform/win32/windows_api.h"

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

// The Windows version as the system's registry gives it: "a.b".
std::string RegistryWindowsVersion() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return "";
  }
  DWORD major = 0, minor = 0, size = sizeof(DWORD);
  std::string version;
  if (RegQueryValueExW(key, L"CurrentMajorVersionNumber", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&major), &size) == ERROR_SUCCESS) {
    size = sizeof(DWORD);
    RegQueryValueExW(key, L"CurrentMinorVersionNumber", nullptr, nullptr,
                     reinterpret_cast<BYTE*>(&minor), &size);
    version = std::to_string(major) + "." + std::to_string(minor);
  } else {
    char text[32] = {};
    size = sizeof(text) - 1;
    if (RegQueryValueExA(key, "CurrentVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                         &size) == ERROR_SUCCESS) {
      version = text;
    }
  }
  RegCloseKey(key);
  return version;
}

TEST(Win32DataSpaceTest, RequestsNameTheWindowsThatRuns) {
  const char* http = std::getenv("QV_TEST_HTTP");
  const char* served = std::getenv("QV_TEST_SERVED");
  if (http == nullptr || served == nullptr) GTEST_SKIP() << "run_wine_tests.sh sets the server";
  const std::string version = RegistryWindowsVersion();
  ASSERT_FALSE(version.empty());
  Win32DataSpace space;
  std::unique_ptr<BusinessObject> object;
  ASSERT_TRUE(space.CreateObject("QVBO_V2.Init", std::string(http) + "/agent", &object).ok());
  std::vector<std::string> arguments = {"KEY", "alice", "secret", "127.0.0.1"};
  CallResult result;
  object->Call("LoginUser", &arguments, &result);  // answered 404
  std::ifstream seen(std::string(served) + "\\agent.txt");
  std::string agent;
  std::getline(seen, agent);
  EXPECT_EQ(agent, "qv/3.00.0148 (Windows NT " + version + ")");
}

}  // namespace
}  // namespace qv::win32
