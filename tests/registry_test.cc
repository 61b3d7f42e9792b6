// The sandbox machine's registry: keys and values, handles, the user's
// rights, the two families' DeleteKey, damaged databases and sharing one
// registry.db between objects and processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "platform/sandbox/sandbox_registry.h"
#include "tests/child_process.h"
#include "tests/test_util.h"

namespace qv::sandbox {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorKeyDeleted = 1018;
constexpr const char* kCurrentVersion = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

using testing::RegKeyExists;

// Makes path; fails the test when it cannot.
RegHandle MustCreate(Registry& reg, RegHandle root, const std::string& path,
                     uint32_t sam = kKeyAllAccess) {
  RegHandle handle = 0;
  EXPECT_EQ(reg.CreateKeyEx(root, path, 0, "", 0, sam, &handle, nullptr), 0u) << path;
  return handle;
}

uint32_t SetBytes(Registry& reg, RegHandle key, const std::string& name, uint32_t type,
                  const std::string& bytes) {
  return reg.SetValueEx(key, name, 0, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
}

// Reads a whole value; returns the call's result.
uint32_t GetBytes(Registry& reg, RegHandle key, const std::string& name, std::string* bytes,
                  uint32_t* type = nullptr) {
  uint32_t size = 0;
  uint32_t rc = reg.QueryValueEx(key, name, nullptr, type, nullptr, &size);
  if (rc != 0) return rc;
  bytes->assign(size, '\0');
  return reg.QueryValueEx(key, name, nullptr, type, reinterpret_cast<uint8_t*>(bytes->data()),
                          &size);
}

class RegistryTest : public ::testing::Test {
 protected:
  SandboxRegistry& reg() { return machine_.registry(); }

  testing::TestMachine machine_;
};

TEST_F(RegistryTest, CreateMakesEveryLevelAndReportsDisposition) {
  RegHandle key = 0;
  uint32_t disposition = 0;
  ASSERT_EQ(reg().CreateKeyEx(kHkeyLocalMachine, "SOFTWARE\\Ostrel\\Quillmark", 0, "", 0,
                              kKeyCreateSubKey, &key, &disposition),
            0u);
  EXPECT_EQ(disposition, kRegCreatedNewKey);
  EXPECT_NE(key, 0u);
  EXPECT_EQ(reg().CloseKey(key), 0u);

  ASSERT_EQ(reg().CreateKeyEx(kHkeyLocalMachine, "software\\OSTREL\\quillmark", 0, "", 0,
                              kKeyCreateSubKey, &key, &disposition),
            0u);
  EXPECT_EQ(disposition, kRegOpenedExistingKey);
  EXPECT_EQ(reg().CloseKey(key), 0u);

  // Names keep the case they were made with.
  std::vector<std::string> subkeys;
  ASSERT_EQ(reg().EnumKey(kHkeyLocalMachine, "SOFTWARE\\ostrel", nullptr, &subkeys), 0u);
  EXPECT_THAT(subkeys, ElementsAre("Quillmark"));
  std::string stored;
  ASSERT_EQ(reg().StoredKeyPath(kHkeyLocalMachine, "software\\ostrel\\QUILLMARK", &stored), 0u);
  EXPECT_EQ(stored, "SOFTWARE\\Ostrel\\Quillmark");

  // Below an open handle.
  RegHandle parent = MustCreate(reg(), kHkeyCurrentUser, "Software\\Parent");
  reg().CloseKey(MustCreate(reg(), parent, "Child\\Grandchild"));
  reg().CloseKey(parent);
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyCurrentUser, "Software\\Parent\\Child\\Grandchild"));
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, PathForms) {
  RegHandle key = 0;
  // A trailing separator is ignored.
  EXPECT_EQ(reg().CreateKeyEx(kHkeyCurrentUser, "Software\\Trail\\", 0, "", 0, kKeyAllAccess, &key,
                              nullptr),
            0u);
  reg().CloseKey(key);
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyCurrentUser, "Software\\Trail"));
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyCurrentUser, "Software\\Trail\\\\"));

  // A leading separator or an empty level is refused, and nothing is made.
  EXPECT_EQ(reg().CreateKeyEx(kHkeyCurrentUser, "\\Software\\Lead", 0, "", 0, kKeyAllAccess, &key,
                              nullptr),
            kErrorBadPathname);
  EXPECT_EQ(reg().CreateKeyEx(kHkeyCurrentUser, "Software\\\\Double", 0, "", 0, kKeyAllAccess, &key,
                              nullptr),
            kErrorBadPathname);
  EXPECT_EQ(reg().OpenKeyEx(kHkeyCurrentUser, "\\Software", 0, kKeyRead, &key), kErrorBadPathname);
  EXPECT_EQ(reg().DeleteKey(kHkeyCurrentUser, "Software\\\\Trail"), kErrorBadPathname);
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyCurrentUser, "Software\\Lead"));
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyCurrentUser, "Software\\Double"));

  // An empty path opens the key itself through a new handle.
  RegHandle software = MustCreate(reg(), kHkeyCurrentUser, "Software");
  RegHandle same = 0;
  ASSERT_EQ(reg().OpenKeyEx(software, "", 0, kKeyAllAccess, &same), 0u);
  EXPECT_NE(same, software);
  EXPECT_EQ(SetBytes(reg(), same, "Marker", kRegSz, "x"), 0u);
  std::string bytes;
  EXPECT_EQ(GetBytes(reg(), software, "marker", &bytes), 0u);
  EXPECT_EQ(bytes, "x");
  reg().CloseKey(same);
  reg().CloseKey(software);
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, MissingKeysAndSeparateRoots) {
  RegHandle key = 1234;
  EXPECT_EQ(reg().OpenKeyEx(kHkeyLocalMachine, "SOFTWARE\\Nothing", 0, kKeyRead, &key),
            kErrorFileNotFound);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
  reg().CloseKey(MustCreate(reg(), kHkeyClassesRoot, "QVOnlyHere"));
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyClassesRoot, "qvonlyhere"));
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyLocalMachine, "SOFTWARE\\Classes\\QVOnlyHere"));
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyCurrentUser, "QVOnlyHere"));
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyUsers, "QVOnlyHere"));
}

TEST_F(RegistryTest, ValuesKeepTheirBytesTypeAndNameCase) {
  RegHandle key = MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\Values");
  // Text without a terminating zero stays without one.
  ASSERT_EQ(SetBytes(reg(), key, "QVTestVal", kRegSz, "TestVal"), 0u);
  std::string bytes;
  uint32_t type = 0;
  ASSERT_EQ(GetBytes(reg(), key, "qvtestval", &bytes, &type), 0u);
  EXPECT_EQ(bytes, "TestVal");
  EXPECT_EQ(type, kRegSz);

  const std::string binary("\x00\x01\xff\x00", 4);
  ASSERT_EQ(SetBytes(reg(), key, "Binary", kRegBinary, binary), 0u);
  ASSERT_EQ(GetBytes(reg(), key, "BINARY", &bytes, &type), 0u);
  EXPECT_EQ(bytes, binary);
  EXPECT_EQ(type, kRegBinary);

  // The default value, and a value of no bytes at all.
  ASSERT_EQ(SetBytes(reg(), key, "", kRegSz, std::string("dflt\0", 5)), 0u);
  ASSERT_EQ(SetBytes(reg(), key, "Empty", kRegSz, ""), 0u);
  uint32_t size = 99;
  EXPECT_EQ(reg().QueryValueEx(key, "Empty", nullptr, &type, nullptr, &size), 0u);
  EXPECT_EQ(size, 0u);

  // Overwriting through another spelling keeps the first name.
  ASSERT_EQ(SetBytes(reg(), key, "QVTESTVAL", kRegDword, std::string("\x2a\0\0\0", 4)), 0u);
  std::vector<SandboxRegistry::Value> values;
  ASSERT_EQ(reg().EnumKey(key, "", &values, nullptr), 0u);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0].name, "");
  EXPECT_EQ(values[0].data, std::string("dflt\0", 5));
  EXPECT_EQ(values[1].name, "Binary");
  EXPECT_EQ(values[2].name, "Empty");
  EXPECT_EQ(values[3].name, "QVTestVal");
  EXPECT_EQ(values[3].type, kRegDword);
  EXPECT_EQ(values[3].data, std::string("\x2a\0\0\0", 4));
  reg().CloseKey(key);
}

TEST_F(RegistryTest, QueryValueExSizes) {
  RegHandle key = MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\Sizes");
  ASSERT_EQ(SetBytes(reg(), key, "Text", kRegSz, std::string("Hello\0", 6)), 0u);

  uint32_t type = 0;
  uint32_t size = 0;
  // No buffer: the size alone.
  EXPECT_EQ(reg().QueryValueEx(key, "Text", nullptr, &type, nullptr, &size), 0u);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, kRegSz);

  // Too small: the size needed, nothing copied.
  uint8_t small[5] = {'#', '#', '#', '#', '#'};
  size = sizeof(small);
  EXPECT_EQ(reg().QueryValueEx(key, "Text", nullptr, &type, small, &size),
            static_cast<uint32_t>(kErrorMoreData));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(small), 5), "#####");

  // Exactly large enough, and larger: the bytes and their count. The type may
  // be left out.
  uint8_t exact[6] = {};
  size = sizeof(exact);
  EXPECT_EQ(reg().QueryValueEx(key, "Text", nullptr, nullptr, exact, &size), 0u);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(exact), 6), std::string("Hello\0", 6));
  uint8_t large[50];
  std::fill(std::begin(large), std::end(large), '#');
  size = sizeof(large);
  EXPECT_EQ(reg().QueryValueEx(key, "Text", nullptr, &type, large, &size), 0u);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(large[6], '#');

  size = sizeof(large);
  EXPECT_EQ(reg().QueryValueEx(key, "Missing", nullptr, &type, large, &size), kErrorFileNotFound);
  reg().CloseKey(key);
}

TEST_F(RegistryTest, HandleLifetime) {
  RegHandle a = MustCreate(reg(), kHkeyCurrentUser, "Software\\A");
  RegHandle b = MustCreate(reg(), kHkeyCurrentUser, "Software\\B");
  RegHandle a2 = MustCreate(reg(), kHkeyCurrentUser, "Software\\A");
  std::set<RegHandle> handles = {a, b, a2};
  EXPECT_EQ(handles.size(), 3u);
  for (RegHandle h : handles) {
    EXPECT_LT(h, kHkeyClassesRoot);
    EXPECT_NE(h, 0u);
  }
  EXPECT_EQ(reg().OpenHandleCount(), 3u);

  EXPECT_EQ(reg().CloseKey(a), 0u);
  EXPECT_EQ(reg().CloseKey(a), static_cast<uint32_t>(kErrorInvalidHandle));
  EXPECT_EQ(reg().OpenHandleCount(), 2u);
  // A closed handle and one never given out are both unknown.
  for (RegHandle bad : {a, RegHandle{0x7777}, RegHandle{0}}) {
    RegHandle out = 0;
    std::string bytes;
    EXPECT_EQ(SetBytes(reg(), bad, "v", kRegSz, "x"), kErrorInvalidHandle);
    EXPECT_EQ(GetBytes(reg(), bad, "v", &bytes), kErrorInvalidHandle);
    EXPECT_EQ(reg().DeleteValue(bad, "v"), kErrorInvalidHandle);
    EXPECT_EQ(reg().DeleteKey(bad, "x"), kErrorInvalidHandle);
    EXPECT_EQ(reg().OpenKeyEx(bad, "", 0, kKeyRead, &out), kErrorInvalidHandle);
    EXPECT_EQ(reg().CreateKeyEx(bad, "x", 0, "", 0, kKeyRead, &out, nullptr), kErrorInvalidHandle);
  }
  // Roots are always valid, and closing one changes nothing.
  EXPECT_EQ(reg().CloseKey(kHkeyLocalMachine), 0u);
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyLocalMachine, kCurrentVersion));
  reg().CloseKey(b);
  reg().CloseKey(a2);
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, HandleRightsAreChecked) {
  reg().CloseKey(MustCreate(reg(), kHkeyCurrentUser, "Software\\Rights"));
  RegHandle read = 0;
  ASSERT_EQ(reg().OpenKeyEx(kHkeyCurrentUser, "Software\\Rights", 0, kKeyRead, &read), 0u);
  EXPECT_EQ(SetBytes(reg(), read, "v", kRegSz, "x"), kErrorAccessDenied);
  EXPECT_EQ(reg().DeleteValue(read, "v"), kErrorAccessDenied);

  RegHandle write = 0;
  ASSERT_EQ(reg().OpenKeyEx(kHkeyCurrentUser, "Software\\Rights", 0, kKeySetValue, &write), 0u);
  EXPECT_EQ(SetBytes(reg(), write, "v", kRegSz, "x"), 0u);
  std::string bytes;
  // Reading needs KEY_QUERY_VALUE, which a write-only handle lacks.
  EXPECT_EQ(GetBytes(reg(), write, "v", &bytes), kErrorAccessDenied);
  EXPECT_EQ(GetBytes(reg(), read, "v", &bytes), 0u);
  EXPECT_EQ(reg().DeleteValue(write, "v"), 0u);
  EXPECT_EQ(reg().DeleteValue(write, "v"), kErrorFileNotFound);
  reg().CloseKey(read);
  reg().CloseKey(write);
}

TEST_F(RegistryTest, NtDeleteKeyAndHandlesOnADeletedKey) {
  EXPECT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Missing"), kErrorFileNotFound);
  EXPECT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Missing\\Deeper"), kErrorFileNotFound);
  // Neither a root nor a key with subkeys can go.
  EXPECT_EQ(reg().DeleteKey(kHkeyCurrentUser, ""), kErrorAccessDenied);
  reg().CloseKey(MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\Tree\\Leaf"));
  EXPECT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Tree"), kErrorAccessDenied);
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyLocalMachine, "SOFTWARE\\Tree\\Leaf"));
  EXPECT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Tree\\Leaf"), 0u);
  EXPECT_EQ(reg().DeleteKey(kHkeyLocalMachine, "software\\TREE"), 0u);
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyLocalMachine, "SOFTWARE\\Tree"));

  // A key with values goes; a handle on it then fails every call but
  // CloseKey, also once a key of the same name, without the old value, is
  // made again.
  RegHandle key = MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\Doomed");
  ASSERT_EQ(SetBytes(reg(), key, "v", kRegSz, "x"), 0u);
  ASSERT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Doomed"), 0u);
  std::string bytes;
  RegHandle out = 0;
  EXPECT_EQ(GetBytes(reg(), key, "v", &bytes), kErrorKeyDeleted);
  EXPECT_EQ(SetBytes(reg(), key, "v", kRegSz, "y"), kErrorKeyDeleted);
  EXPECT_EQ(reg().DeleteValue(key, "v"), kErrorKeyDeleted);
  EXPECT_EQ(reg().CreateKeyEx(key, "Sub", 0, "", 0, kKeyAllAccess, &out, nullptr),
            kErrorKeyDeleted);
  RegHandle again = MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\Doomed");
  EXPECT_EQ(GetBytes(reg(), again, "v", &bytes), kErrorFileNotFound);
  EXPECT_EQ(GetBytes(reg(), key, "v", &bytes), kErrorKeyDeleted);
  reg().CloseKey(again);
  EXPECT_EQ(reg().CloseKey(key), 0u);
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST(Registry9xTest, DeleteKeyTakesTheWholeTree) {
  testing::TestMachine machine(Family::k9x);
  SandboxRegistry& reg = machine.registry();
  RegHandle leaf = MustCreate(reg, kHkeyLocalMachine, "SOFTWARE\\Tree\\A\\Leaf");
  ASSERT_EQ(SetBytes(reg, leaf, "v", kRegSz, "x"), 0u);
  reg.CloseKey(MustCreate(reg, kHkeyLocalMachine, "SOFTWARE\\Tree\\B"));
  RegHandle held = MustCreate(reg, kHkeyLocalMachine, "SOFTWARE\\Tree\\A");

  EXPECT_EQ(reg.DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Tree"), 0u);
  EXPECT_FALSE(RegKeyExists(reg, kHkeyLocalMachine, "SOFTWARE\\Tree"));
  // Handles open anywhere in the tree are dead.
  std::string bytes;
  EXPECT_EQ(GetBytes(reg, leaf, "v", &bytes), kErrorKeyDeleted);
  EXPECT_EQ(SetBytes(reg, held, "v", kRegSz, "x"), kErrorKeyDeleted);
  EXPECT_EQ(reg.CloseKey(leaf), 0u);
  EXPECT_EQ(reg.CloseKey(held), 0u);
  // Made again, nothing of the old tree comes back.
  leaf = MustCreate(reg, kHkeyLocalMachine, "SOFTWARE\\Tree\\A\\Leaf");
  EXPECT_EQ(GetBytes(reg, leaf, "v", &bytes), kErrorFileNotFound);
  reg.CloseKey(leaf);
  EXPECT_EQ(reg.OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, LatinOneNamesMatchWithoutRegardToCase) {
  const TextCodec& codec = machine_.machine().codec();
  RegHandle key = MustCreate(reg(), kHkeyCurrentUser, codec.ToAnsi("Software\\ÄRGER Über"));
  ASSERT_EQ(SetBytes(reg(), key, codec.ToAnsi("GRÖSSE"), kRegSz, "1"), 0u);
  reg().CloseKey(key);
  RegHandle again = 0;
  ASSERT_EQ(
      reg().OpenKeyEx(kHkeyCurrentUser, codec.ToAnsi("software\\ärger über"), 0, kKeyRead, &again),
      0u);
  std::string bytes;
  EXPECT_EQ(GetBytes(reg(), again, codec.ToAnsi("grösse"), &bytes), 0u);
  EXPECT_EQ(bytes, "1");
  reg().CloseKey(again);
}

// A user who may change only HKEY_CURRENT_USER.
class RestrictedRegistryTest : public ::testing::Test {
 protected:
  RestrictedRegistryTest() : machine_(Family::kNt, /*admin=*/false) {}
  SandboxRegistry& reg() { return machine_.registry(); }

  testing::TestMachine machine_;
};

TEST_F(RestrictedRegistryTest, WritesBelowProtectedRootsAreDenied) {
  for (RegHandle root : {kHkeyLocalMachine, kHkeyClassesRoot}) {
    RegHandle key = 0;
    // An existing key, opened by CreateKeyEx for writing: denied.
    const std::string existing = root == kHkeyLocalMachine ? kCurrentVersion : "CLSID";
    EXPECT_EQ(reg().CreateKeyEx(root, existing, 0, "", 0, kKeyCreateSubKey, &key, nullptr),
              kErrorAccessDenied);
    // A new key is a write even when only read rights are asked for.
    EXPECT_EQ(reg().CreateKeyEx(root, "QVTest", 0, "", 0, kKeyRead, &key, nullptr),
              kErrorAccessDenied);
    EXPECT_FALSE(RegKeyExists(reg(), root, "QVTest"));
    EXPECT_EQ(reg().OpenKeyEx(root, existing, 0, kKeySetValue, &key), kErrorAccessDenied);
    EXPECT_EQ(reg().OpenKeyEx(root, existing, 0, kKeyCreateSubKey, &key), kErrorAccessDenied);
    EXPECT_EQ(reg().OpenKeyEx(root, existing, 0, kKeyAllAccess, &key), kErrorAccessDenied);
    EXPECT_EQ(reg().DeleteKey(root, existing), kErrorAccessDenied);
    // A missing key is missing before it is forbidden.
    EXPECT_EQ(reg().DeleteKey(root, "QVTest"), kErrorFileNotFound);
    EXPECT_EQ(SetBytes(reg(), root, "v", kRegSz, "x"), kErrorAccessDenied);
  }
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST_F(RestrictedRegistryTest, ReadsWorkAndOwnRootIsWritable) {
  RegHandle key = 0;
  ASSERT_EQ(
      reg().CreateKeyEx(kHkeyLocalMachine, kCurrentVersion, 0, "", 0, kKeyRead, &key, nullptr), 0u);
  reg().CloseKey(key);
  ASSERT_EQ(reg().OpenKeyEx(kHkeyLocalMachine, kCurrentVersion, 0, kKeyRead, &key), 0u);
  std::string bytes;
  EXPECT_EQ(GetBytes(reg(), key, "ProgramFilesDir", &bytes), 0u);
  EXPECT_EQ(bytes, std::string("C:\\Program Files\0", 17));
  reg().CloseKey(key);

  key = MustCreate(reg(), kHkeyCurrentUser, "Software\\Mine");
  EXPECT_EQ(SetBytes(reg(), key, "v", kRegSz, "x"), 0u);
  reg().CloseKey(key);
  EXPECT_EQ(reg().DeleteKey(kHkeyCurrentUser, "Software\\Mine"), 0u);
}

TEST_F(RestrictedRegistryTest, SystemAccessActsForTheMachine) {
  reg().set_system_access(true);
  RegHandle key = MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\BySystem");
  EXPECT_EQ(SetBytes(reg(), key, "v", kRegSz, "x"), 0u);
  reg().CloseKey(key);
  reg().set_system_access(false);
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyLocalMachine, "SOFTWARE\\BySystem"));
  EXPECT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\BySystem"), kErrorAccessDenied);
}

TEST_F(RegistryTest, TwoObjectsShareOneDatabase) {
  std::unique_ptr<SandboxRegistry> other;
  ASSERT_TRUE(SandboxRegistry::Open(&machine_.machine(), false, &other).ok());

  RegHandle mine = MustCreate(reg(), kHkeyLocalMachine, "SOFTWARE\\Shared");
  ASSERT_EQ(SetBytes(reg(), mine, "v", kRegSz, "one"), 0u);
  RegHandle theirs = 0;
  ASSERT_EQ(other->OpenKeyEx(kHkeyLocalMachine, "SOFTWARE\\Shared", 0, kKeyAllAccess, &theirs), 0u);
  std::string bytes;
  ASSERT_EQ(GetBytes(*other, theirs, "v", &bytes), 0u);
  EXPECT_EQ(bytes, "one");
  ASSERT_EQ(SetBytes(*other, theirs, "v", kRegSz, "two"), 0u);
  ASSERT_EQ(GetBytes(reg(), mine, "v", &bytes), 0u);
  EXPECT_EQ(bytes, "two");
  // Handles belong to the object that gave them out.
  EXPECT_EQ(other->OpenHandleCount(), 1u);
  EXPECT_EQ(reg().OpenHandleCount(), 1u);

  // A key deleted through one object is gone for the other's handles too.
  reg().CloseKey(mine);
  ASSERT_EQ(reg().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Shared"), 0u);
  EXPECT_EQ(GetBytes(*other, theirs, "v", &bytes), kErrorKeyDeleted);
  other->CloseKey(theirs);

  // And what was written survives reopening the machine.
  reg().CloseKey(MustCreate(reg(), kHkeyCurrentUser, "Software\\Kept"));
  other.reset();
  machine_.Reopen();
  EXPECT_TRUE(RegKeyExists(reg(), kHkeyCurrentUser, "Software\\Kept"));
}

TEST_F(RegistryTest, WaitsForAnotherWriter) {
  // Another connection holds the write lock for a while; a change waits for
  // it instead of failing.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(machine_.machine().registry_db_path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::atomic<bool> released{false};
  std::thread holder([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    released = true;
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  });
  RegHandle key = 0;
  uint32_t rc = reg().CreateKeyEx(kHkeyCurrentUser, "Software\\Waited", 0, "", 0, kKeyAllAccess,
                                  &key, nullptr);
  const bool waited = released;
  holder.join();
  sqlite3_close(db);
  EXPECT_EQ(rc, 0u);
  EXPECT_TRUE(waited);
  reg().CloseKey(key);
}

TEST_F(RegistryTest, SeveralProcessesWriteOneKey) {
  // Four programs at once, each writing its own values through the machine
  // tool, while this process keeps the registry open too.
  reg().CloseKey(MustCreate(reg(), kHkeyCurrentUser, "Software\\Many"));
  constexpr int kChildren = 4;
  constexpr int kValues = 8;
  const std::string script = "i=0; while [ $i -lt " + std::to_string(kValues) +
                             " ]; do "
                             "\"$0\" machine reg \"$1\" set 'HKCU\\Software\\Many' \"c$2v$i\" x "
                             "|| exit 1; i=$((i+1)); done";
  std::vector<std::unique_ptr<testing::Child>> children;
  for (int c = 0; c < kChildren; ++c) {
    children.push_back(std::make_unique<testing::Child>(
        std::vector<std::string>{"/bin/sh", "-c", script, testing::QvinitPath(), machine_.root(),
                                 std::to_string(c)},
        std::vector<std::string>{}, /*stdout_pipe=*/false));
  }
  for (auto& child : children) EXPECT_EQ(child->Wait(), 0);
  std::vector<SandboxRegistry::Value> values;
  ASSERT_EQ(reg().EnumKey(kHkeyCurrentUser, "Software\\Many", &values, nullptr), 0u);
  EXPECT_EQ(values.size(), static_cast<size_t>(kChildren * kValues));
  std::string bytes;
  RegHandle key = MustCreate(reg(), kHkeyCurrentUser, "Software\\Many");
  EXPECT_EQ(GetBytes(reg(), key, "c3v7", &bytes), 0u);
  EXPECT_EQ(bytes, std::string("x\0", 2));
  reg().CloseKey(key);
}

// Opening registry.db of a machine that has no registry yet, or a damaged one.
class RegistryOpenTest : public ::testing::Test {
 protected:
  RegistryOpenTest() {
    dir_ = testing::MakeTempDir("qvregopen");
    Status s = Machine::Init(dir_ + "/m", Family::kNt, true, &machine_);
    EXPECT_TRUE(s.ok()) << s.ToString();
  }
  ~RegistryOpenTest() override {
    machine_.reset();
    testing::RemoveTree(dir_);
  }
  std::string db_path() const { return machine_->registry_db_path(); }

  std::string dir_;
  std::unique_ptr<Machine> machine_;
};

TEST_F(RegistryOpenTest, MissingDatabase) {
  ASSERT_NE(machine_, nullptr);
  std::unique_ptr<SandboxRegistry> reg;
  Status s = SandboxRegistry::Open(machine_.get(), false, &reg);
  EXPECT_EQ(s.code(), static_cast<uint32_t>(kErrorFileNotFound));
  EXPECT_THAT(s.message(), HasSubstr("registry.db is missing"));
  EXPECT_EQ(reg, nullptr);
  EXPECT_FALSE(testing::HostExists(db_path()));

  // With create the registry is made, with its four empty roots.
  s = SandboxRegistry::Open(machine_.get(), true, &reg);
  ASSERT_TRUE(s.ok()) << s.ToString();
  for (RegHandle root : {kHkeyClassesRoot, kHkeyCurrentUser, kHkeyLocalMachine, kHkeyUsers}) {
    std::vector<SandboxRegistry::Value> values;
    std::vector<std::string> subkeys;
    EXPECT_EQ(reg->EnumKey(root, "", &values, &subkeys), 0u);
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(subkeys.empty());
  }
  reg->CloseKey(MustCreate(*reg, kHkeyLocalMachine, "SOFTWARE"));
  reg.reset();
  // Opening it again keeps what is there.
  ASSERT_TRUE(SandboxRegistry::Open(machine_.get(), false, &reg).ok());
  EXPECT_TRUE(RegKeyExists(*reg, kHkeyLocalMachine, "SOFTWARE"));
}

TEST_F(RegistryOpenTest, DamagedOrForeignFilesAreRefusedAndKept) {
  ASSERT_NE(machine_, nullptr);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('keep me');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  // Another program's database, and a file that is no database at all.
  for (const std::string& contents : {testing::ReadHostFile(db_path()), std::string(4096, 'x')}) {
    testing::WriteHostFile(db_path(), contents);
    for (bool create : {false, true}) {
      std::unique_ptr<SandboxRegistry> reg;
      Status s = SandboxRegistry::Open(machine_.get(), create, &reg);
      EXPECT_FALSE(s.ok());
      EXPECT_THAT(s.message(), HasSubstr("registry.db is damaged"));
      EXPECT_EQ(reg, nullptr);
      EXPECT_EQ(testing::ReadHostFile(db_path()), contents);
    }
  }
  // An empty file is made into a registry only when asked to create one.
  testing::WriteHostFile(db_path(), "");
  std::unique_ptr<SandboxRegistry> reg;
  EXPECT_THAT(SandboxRegistry::Open(machine_.get(), false, &reg).message(),
              HasSubstr("registry.db is damaged"));
  EXPECT_TRUE(SandboxRegistry::Open(machine_.get(), true, &reg).ok());
}

TEST_F(RegistryOpenTest, NewerFormatIsRefused) {
  ASSERT_NE(machine_, nullptr);
  std::unique_ptr<SandboxRegistry> reg;
  ASSERT_TRUE(SandboxRegistry::Open(machine_.get(), true, &reg).ok());
  reg.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE meta SET value = '99' WHERE name = 'version'", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Status s = SandboxRegistry::Open(machine_.get(), false, &reg);
  EXPECT_FALSE(s.ok());
  EXPECT_THAT(s.message(), HasSubstr("newer"));
}

}  // namespace
}  // namespace qv::sandbox
