// modRegistry's nine operations on a sandbox machine: what they leave in the
// registry, what they read back through the 50-byte buffer, and the platform
// calls they make (through a recording wrapper), failed ones included.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sandbox/sandbox_registry.h"
#include "system/modRegistry.h"
#include "tests/recording_registry.h"
#include "tests/test_util.h"

namespace qv {
namespace {

constexpr const char* kCurrentVersion = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// Raw bytes as the machine holds them, made or read past the module.
using testing::PutRegValue;
using testing::RegKeyExists;
using testing::RegValue;

class ModRegistryTest : public ::testing::Test {
 protected:
  sandbox::SandboxRegistry& reg() { return machine_.registry(); }
  void TearDown() override {
    // No operation may leave a handle open, whatever it returned.
    EXPECT_EQ(reg().OpenHandleCount(), 0u);
  }

  testing::TestMachine machine_;
};

// The two families of four differ only in their root.
struct Family {
  RegHandle root;
  bool (*create)(const std::string&);
  bool (*set)(const std::string&, const std::string&, const std::string&);
  bool (*delete_value)(const std::string&, const std::string&);
  bool (*delete_key)(const std::string&);
};

const Family kFamilies[] = {
    {kHkeyClassesRoot, CreateKeyHKCR, SetStringValueHKCR, DeleteValueHKCR, DeleteKeyHKCR},
    {kHkeyLocalMachine, CreateKeyHKLM, SetStringValueHKLM, DeleteValueHKLM, DeleteKeyHKLM},
};

TEST_F(ModRegistryTest, CreateKey) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.root);
    EXPECT_TRUE(f.create("QVTest\\Inner"));
    EXPECT_TRUE(RegKeyExists(reg(), f.root, "QVTest\\Inner"));
    // An existing key counts as success and keeps its values.
    PutRegValue(reg(), f.root, "QVTest", "Kept", kRegSz, std::string("v\0", 2));
    EXPECT_TRUE(f.create("qvtest"));
    EXPECT_EQ(RegValue(reg(), f.root, "QVTest", "Kept"), std::string("v\0", 2));
    EXPECT_FALSE(f.create("\\Leading"));
  }
  // Each family works under its own root only.
  EXPECT_TRUE(CreateKeyHKCR("OnlyClasses"));
  EXPECT_FALSE(RegKeyExists(reg(), kHkeyLocalMachine, "OnlyClasses"));
}

TEST_F(ModRegistryTest, SetStringValue) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.root);
    ASSERT_TRUE(f.create("QVTest"));
    // The text is stored without a terminating zero.
    EXPECT_TRUE(f.set("QVTest", "QVTestVal", "TestVal"));
    uint32_t type = 0;
    EXPECT_EQ(RegValue(reg(), f.root, "QVTest", "QVTestVal", &type), "TestVal");
    EXPECT_EQ(type, kRegSz);
    EXPECT_TRUE(f.set("QVTest", "QVTestVal", "Other"));
    EXPECT_EQ(RegValue(reg(), f.root, "QVTest", "qvtestval"), "Other");
    EXPECT_TRUE(f.set("QVTest", "Empty", ""));
    EXPECT_EQ(RegValue(reg(), f.root, "QVTest", "Empty"), "");

    // A missing key is not made.
    EXPECT_FALSE(f.set("QVMissing\\Deeper", "QVTestVal", "TestVal"));
    EXPECT_FALSE(RegKeyExists(reg(), f.root, "QVMissing"));
  }
}

TEST_F(ModRegistryTest, DeleteValue) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.root);
    ASSERT_TRUE(f.create("QVTest"));
    ASSERT_TRUE(f.set("QVTest", "QVTestVal", "TestVal"));
    EXPECT_TRUE(f.delete_value("QVTest", "QVTESTVAL"));
    EXPECT_EQ(RegValue(reg(), f.root, "QVTest", "QVTestVal"), std::nullopt);
    EXPECT_TRUE(RegKeyExists(reg(), f.root, "QVTest"));
    EXPECT_FALSE(f.delete_value("QVTest", "QVTestVal"));
    EXPECT_FALSE(f.delete_value("QVMissing", "QVTestVal"));
  }
}

TEST_F(ModRegistryTest, DeleteKey) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.root);
    ASSERT_TRUE(f.create("QVTest\\Child"));
    // Subkeys are not removed first, so on NT the parent stays.
    EXPECT_FALSE(f.delete_key("QVTest"));
    EXPECT_TRUE(RegKeyExists(reg(), f.root, "QVTest\\Child"));
    EXPECT_TRUE(f.delete_key("QVTest\\Child"));
    ASSERT_TRUE(f.set("QVTest", "v", "with a value"));
    EXPECT_TRUE(f.delete_key("QVTest"));
    EXPECT_FALSE(RegKeyExists(reg(), f.root, "QVTest"));
    EXPECT_FALSE(f.delete_key("QVTest"));
  }
}

TEST_F(ModRegistryTest, ReadsTheSeededProgramFilesFolderAndNothingMissing) {
  // Stored with its terminating zero: 17 bytes.
  ASSERT_EQ(RegValue(reg(), kHkeyLocalMachine, kCurrentVersion, "ProgramFilesDir"),
            std::string("C:\\Program Files\0", 17));
  EXPECT_EQ(GetStringValueHKLM(kCurrentVersion, "ProgramFilesDir"), "C:\\Program Files");
  EXPECT_EQ(GetStringValueHKLM("software\\microsoft\\windows\\currentversion", "programfilesdir"),
            "C:\\Program Files");
  // A missing key or value reads as "", and so does a key of
  // HKEY_CLASSES_ROOT: reading is under HKEY_LOCAL_MACHINE only.
  EXPECT_EQ(GetStringValueHKLM("SOFTWARE\\QVMissing", "ProgramFilesDir"), "");
  EXPECT_EQ(GetStringValueHKLM(kCurrentVersion, "QVMissing"), "");
  ASSERT_TRUE(CreateKeyHKCR("QVClassesOnly"));
  ASSERT_TRUE(SetStringValueHKCR("QVClassesOnly", "v", "x"));
  EXPECT_EQ(GetStringValueHKLM("QVClassesOnly", "v"), "");
}

TEST_F(ModRegistryTest, ReadIsLimitedByItsBufferAndDropsTheLastReportedByte) {
  const std::string key = "SOFTWARE\\QVRead";
  const std::string text49(49, 'a');
  PutRegValue(reg(), kHkeyLocalMachine, key, "Fits", kRegSz, text49 + '\0');
  PutRegValue(reg(), kHkeyLocalMachine, key, "TooLong", kRegSz, std::string(50, 'b') + '\0');
  PutRegValue(reg(), kHkeyLocalMachine, key, "Fifty", kRegSz, std::string(50, 'c'));
  EXPECT_EQ(GetStringValueHKLM(key, "Fits"), text49);
  EXPECT_EQ(GetStringValueHKLM(key, "TooLong"), "");
  // 50 bytes fit; the last one is taken for the terminating zero.
  EXPECT_EQ(GetStringValueHKLM(key, "Fifty"), std::string(49, 'c'));
  // Written by the control itself: no terminating zero, so a character goes.
  ASSERT_TRUE(SetStringValueHKLM(key, "Written", "TestVal"));
  EXPECT_EQ(GetStringValueHKLM(key, "Written"), "TestVa");
  // A number's bytes are taken as characters.
  PutRegValue(reg(), kHkeyLocalMachine, key, "Number", kRegDword, std::string("ABCD", 4));
  EXPECT_EQ(GetStringValueHKLM(key, "Number"), "ABC");
  // Text ends at its first zero; a value with no bytes reads as "".
  PutRegValue(reg(), kHkeyLocalMachine, key, "Zero", kRegSz, std::string("AB\0CD\0", 6));
  EXPECT_EQ(GetStringValueHKLM(key, "Zero"), "AB");
  PutRegValue(reg(), kHkeyLocalMachine, key, "Nothing", kRegSz, "");
  EXPECT_EQ(GetStringValueHKLM(key, "Nothing"), "");
  PutRegValue(reg(), kHkeyLocalMachine, key, "One", kRegSz, std::string("\0", 1));
  EXPECT_EQ(GetStringValueHKLM(key, "One"), "");
}

TEST_F(ModRegistryTest, TextGoesThroughTheCodePage) {
  const std::string key = "SOFTWARE\\QVCodePage";
  ASSERT_TRUE(CreateKeyHKLM(key));
  ASSERT_TRUE(SetStringValueHKLM(key, "Café", "Crème brûlée"));
  // Code page 1252: one byte a character, still no terminating zero.
  EXPECT_EQ(RegValue(reg(), kHkeyLocalMachine, key, "Caf\xE9"),
            "Cr\xE8me br\xFBl\xE9"
            "e");
  PutRegValue(reg(), kHkeyLocalMachine, key, "Stored", kRegSz,
              std::string("Cr\xE8me br\xFBl\xE9"
                          "e\0",
                          13));
  EXPECT_EQ(GetStringValueHKLM(key, "STORED"), "Crème brûlée");
  EXPECT_EQ(GetStringValueHKLM(key, "CAFÉ"), "Crème brûlé");
}

class ModRegistryCallsTest : public ModRegistryTest {
 protected:
  std::vector<std::string>& calls() { return recorded_.registry.calls; }

  testing::RecordedRegistry recorded_{machine_};
};

// Each operation makes only its own calls, with the rights it needs, and
// closes what it opened, also when a call fails.
TEST_F(ModRegistryCallsTest, EachOperationMakesItsCallsAndClosesWhatItOpened) {
  const std::string open_key = "Open SOFTWARE\\QVTest options=0 sam=2";
  const std::string set = "Set QVTestVal type=1 size=7";
  struct Case {
    const char* what;
    std::function<bool()> op;
    bool result;
    std::vector<std::string> calls;
    bool refuse_write = false;
  };
  const Case cases[] = {
      {"create asks only to create subkeys",
       [] { return CreateKeyHKLM("SOFTWARE\\QVTest"); },
       true,
       {"Create SOFTWARE\\QVTest class=\"\" options=0 sam=4 reserved=0", "Close"}},
      {"write",
       [] { return SetStringValueHKLM("SOFTWARE\\QVTest", "QVTestVal", "TestVal"); },
       true,
       {open_key, set, "Close"}},
      {"a failed write",
       [] { return SetStringValueHKLM("SOFTWARE\\QVTest", "QVTestVal", "TestVal"); },
       false,
       {open_key, set, "Close"},
       true},
      {"a write whose open fails",
       [] { return SetStringValueHKLM("SOFTWARE\\QVMissing", "QVTestVal", "TestVal"); },
       false,
       {"Open SOFTWARE\\QVMissing options=0 sam=2"}},
      {"delete value",
       [] { return DeleteValueHKLM("SOFTWARE\\QVTest", "QVTestVal"); },
       true,
       {open_key, "DeleteValue QVTestVal", "Close"}},
      {"a delete value whose open fails",
       [] { return DeleteValueHKLM("SOFTWARE\\QVMissing", "QVTestVal"); },
       false,
       {"Open SOFTWARE\\QVMissing options=0 sam=2"}},
      {"delete key",
       [] { return DeleteKeyHKLM("SOFTWARE\\QVTest"); },
       true,
       {"DeleteKey SOFTWARE\\QVTest"}},
      {"read through a fifty-byte buffer",
       [] { return GetStringValueHKLM(kCurrentVersion, "ProgramFilesDir") == "C:\\Program Files"; },
       true,
       {std::string("Open ") + kCurrentVersion + " options=0 sam=131097",
        "Query ProgramFilesDir size=50", "Close"}},
      {"a read whose open fails",
       [] { return GetStringValueHKLM("SOFTWARE\\QVMissing", "v") == ""; },
       true,
       {"Open SOFTWARE\\QVMissing options=0 sam=131097"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    calls().clear();
    recorded_.registry.changes.clear();
    recorded_.registry.refuse_change = c.refuse_write ? 0 : -1;
    EXPECT_EQ(c.op(), c.result);
    EXPECT_EQ(calls(), c.calls);
  }
}

}  // namespace
}  // namespace qv
