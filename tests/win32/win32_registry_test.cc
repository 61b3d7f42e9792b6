// The registry backend against Wine's registry: round trips of every value
// type with the size rules, dispositions, and the error codes Windows gives.
#include "platform/win32/win32_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qv::win32 {
namespace {

constexpr char kTestKey[] = "Software\\QvWin32BackendTest";

class Win32RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        registry_.CreateKeyEx(kHkeyCurrentUser, kTestKey, 0, "", 0, kKeyAllAccess, &key_, nullptr),
        0u);
  }
  void TearDown() override {
    registry_.CloseKey(key_);
    registry_.DeleteKey(kHkeyCurrentUser, std::string(kTestKey) + "\\Child\\Grandchild");
    registry_.DeleteKey(kHkeyCurrentUser, std::string(kTestKey) + "\\Child");
    EXPECT_EQ(registry_.DeleteKey(kHkeyCurrentUser, kTestKey), 0u);
    EXPECT_EQ(registry_.OpenHandleCount(), 0u);
  }

  Win32Registry registry_;
  RegHandle key_ = 0;
};

TEST_F(Win32RegistryTest, ValuesRoundTripWithTheirSizes) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string data;
  } cases[] = {
      {"Text", kRegSz, std::string("C:\\Qv\0", 6)},
      {"Unterminated", kRegSz, "abc"},
      {"Expand", kRegExpandSz, std::string("%WINDIR%\0", 9)},
      {"Binary", kRegBinary, std::string("\x00\x01\xFF\x80", 4)},
      {"Number", kRegDword, std::string("\x94\x00\x00\x03", 4)},
      {"Multi", kRegMultiSz, std::string("a\0bc\0\0", 6)},
      {"Empty", kRegBinary, ""},
      {"", kRegSz, std::string("default\0", 8)},  // the key's default value
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.data.data());
    ASSERT_EQ(
        registry_.SetValueEx(key_, c.name, 0, c.type, bytes, static_cast<uint32_t>(c.data.size())),
        0u);
    // The size alone.
    uint32_t type = 0;
    uint32_t size = 0;
    ASSERT_EQ(registry_.QueryValueEx(key_, c.name, nullptr, &type, nullptr, &size), 0u);
    EXPECT_EQ(type, c.type);
    const uint32_t stored = size;
    EXPECT_GE(stored, c.data.size());
    // A buffer one byte short is left alone and told the size.
    if (stored > 0) {
      std::string small(stored - 1, '#');
      size = stored - 1;
      EXPECT_EQ(registry_.QueryValueEx(key_, c.name, nullptr, nullptr,
                                       reinterpret_cast<uint8_t*>(small.data()), &size),
                234u);  // ERROR_MORE_DATA
      EXPECT_EQ(size, stored);
      EXPECT_EQ(small, std::string(stored - 1, '#'));
    }
    // A buffer of the size given holds the bytes as stored.
    std::string read(stored + 4, '#');
    size = static_cast<uint32_t>(read.size());
    ASSERT_EQ(registry_.QueryValueEx(key_, c.name, nullptr, &type,
                                     reinterpret_cast<uint8_t*>(read.data()), &size),
              0u);
    EXPECT_EQ(size, stored);
    EXPECT_EQ(read.substr(0, c.data.size()), c.data);
  }
}

TEST_F(Win32RegistryTest, KeysReportWhatWindowsReports) {
  RegHandle child = 0;
  uint32_t disposition = 0;
  ASSERT_EQ(registry_.CreateKeyEx(key_, "Child\\Grandchild", 0, "", 0, kKeyAllAccess, &child,
                                  &disposition),
            0u);
  EXPECT_EQ(disposition, kRegCreatedNewKey);
  EXPECT_EQ(registry_.CloseKey(child), 0u);
  ASSERT_EQ(registry_.CreateKeyEx(key_, "child\\GRANDCHILD", 0, "", 0, kKeyAllAccess, &child,
                                  &disposition),
            0u);
  EXPECT_EQ(disposition, kRegOpenedExistingKey);
  EXPECT_EQ(registry_.CloseKey(child), 0u);

  RegHandle opened = 0;
  const RegHandle unknown = 0x7777;
  struct Case {
    const char* what;
    uint32_t result;
    uint32_t expected;
  } cases[] = {
      {"open a missing key", registry_.OpenKeyEx(key_, "Missing", 0, kKeyRead, &opened), 2},
      {"query a missing value",
       registry_.QueryValueEx(key_, "Missing", nullptr, nullptr, nullptr, nullptr), 2},
      {"delete a missing value", registry_.DeleteValue(key_, "Missing"), 2},
      {"delete a key with subkeys", registry_.DeleteKey(key_, "Child"), 5},
      {"use an unknown handle", registry_.DeleteValue(unknown, "x"), 6},
      {"close an unknown handle", registry_.CloseKey(unknown), 6},
      {"close a root", registry_.CloseKey(kHkeyLocalMachine), 0},
      {"delete a leaf key", registry_.DeleteKey(key_, "Child\\Grandchild"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(Win32RegistryTest, RootsReachTheMachineKeys) {
  RegHandle key = 0;
  ASSERT_EQ(
      registry_.OpenKeyEx(kHkeyLocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                          kKeyRead, &key),
      0u);
  char name[64] = {};
  uint32_t size = sizeof(name);
  uint32_t type = 0;
  EXPECT_EQ(registry_.QueryValueEx(key, "CurrentVersion", nullptr, &type,
                                   reinterpret_cast<uint8_t*>(name), &size),
            0u);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, std::strlen(name) + 1);
  EXPECT_EQ(registry_.CloseKey(key), 0u);
}

}  // namespace
}  // namespace qv::win32
