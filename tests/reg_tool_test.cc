// The registry machine tool: reading KEY as reg.exe writes it, and the text
// of query, set and export.
#include "platform/sandbox/reg_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "tests/test_util.h"

namespace qv::sandbox {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ParseRegKeyTest, RootsShortAndLongInAnyCase) {
  struct Case {
    const char* text;
    RegHandle root;
    const char* sub_key;
  };
  const Case cases[] = {
      {"HKLM\\SOFTWARE\\Microsoft", kHkeyLocalMachine, "SOFTWARE\\Microsoft"},
      {"hkey_local_machine\\Software\\", kHkeyLocalMachine, "Software"},
      {"HKCR\\CLSID", kHkeyClassesRoot, "CLSID"},
      {"HKEY_CLASSES_ROOT", kHkeyClassesRoot, ""},
      {"HkCu\\Software", kHkeyCurrentUser, "Software"},
      {"HKEY_CURRENT_USER\\", kHkeyCurrentUser, ""},
      {"HKU\\.DEFAULT", kHkeyUsers, ".DEFAULT"},
      {"HKEY_USERS\\S-1-5-18\\Software", kHkeyUsers, "S-1-5-18\\Software"},
  };
  for (const Case& c : cases) {
    RegHandle root = 0;
    std::string sub_key = "junk";
    Status s = ParseRegKey(c.text, &root, &sub_key);
    ASSERT_TRUE(s.ok()) << c.text << ": " << s.ToString();
    EXPECT_EQ(root, c.root) << c.text;
    EXPECT_EQ(sub_key, c.sub_key) << c.text;
  }
}

TEST(ParseRegKeyTest, UnknownRootsAreNamed) {
  for (const char* text :
       {"HKXX\\Software", "HKLMX\\A", "HKEY_LOCAL\\A", "SOFTWARE\\Microsoft", "HKCC\\System", ""}) {
    RegHandle root = 1;
    std::string sub_key;
    Status s = ParseRegKey(text, &root, &sub_key);
    EXPECT_EQ(s.code(), static_cast<uint32_t>(kErrorInvalidParameter)) << text;
    EXPECT_EQ(root, 0u);
  }
  RegHandle root = 0;
  std::string sub_key;
  Status s = ParseRegKey("HKXX\\Software", &root, &sub_key);
  EXPECT_THAT(s.message(), HasSubstr("unknown registry root \"HKXX\""));
  EXPECT_THAT(s.message(), HasSubstr("HKLM"));
  s = ParseRegKey("\\\\server\\HKLM\\Software", &root, &sub_key);
  EXPECT_THAT(s.message(), HasSubstr("other machines"));
}

class RegToolTest : public ::testing::Test {
 protected:
  SandboxRegistry& reg() { return machine_.registry(); }
  const TextCodec& codec() { return machine_.machine().codec(); }

  void Put(RegHandle root, const std::string& key, const std::string& name, uint32_t type,
           const std::string& bytes) {
    testing::PutRegValue(reg(), root, key, name, type, bytes);
  }

  std::string Query(const std::string& key, const std::optional<std::string>& value) {
    std::string out;
    Status s = RegQuery(reg(), codec(), key, value, &out);
    EXPECT_TRUE(s.ok()) << key << ": " << s.ToString();
    return out;
  }

  // A key holding one value of every kind the tool shows.
  void MakeSample() {
    const std::string key = "SOFTWARE\\Sample";
    Put(kHkeyLocalMachine, key, "", kRegSz, std::string("default\0", 8));
    Put(kHkeyLocalMachine, key, "Path", kRegSz, std::string("C:\\Dir \"x\"\0", 11));
    Put(kHkeyLocalMachine, key, "Count", kRegDword, std::string("\x2a\0\0\0", 4));
    Put(kHkeyLocalMachine, key, "List", kRegMultiSz, std::string("one\0two\0\0", 9));
    Put(kHkeyLocalMachine, key, "Blob", kRegBinary, std::string("\x01\x02\xff", 3));
    Put(kHkeyLocalMachine, key, "Expand", kRegExpandSz, std::string("%W%\0", 4));
    Put(kHkeyLocalMachine, key + "\\Zeta", "z", kRegSz, std::string("z\0", 2));
    Put(kHkeyLocalMachine, key + "\\alpha", "Odd", kRegSz, std::string("a\0b\0", 4));
  }

  testing::TestMachine machine_;
};

TEST_F(RegToolTest, QueryOneValue) {
  MakeSample();
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample", "Path"), "C:\\Dir \"x\"\n");
  EXPECT_EQ(Query("hklm\\software\\sample\\", "PATH"), "C:\\Dir \"x\"\n");
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample", ""), "default\n");
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample", "Count"), "0x2a\n");
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample", "List"), "one\ntwo\n");
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample", "Blob"), "0102FF\n");
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample", "Expand"), "%W%\n");
  EXPECT_EQ(Query("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                  "CurrentVersion",
                  "ProgramFilesDir"),
            "C:\\Program Files\n");
}

TEST_F(RegToolTest, QueryListsTheKey) {
  MakeSample();
  EXPECT_EQ(Query("HKLM\\software\\sample", std::nullopt),
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample\n"
            "    (Default)    REG_SZ    default\n"
            "    Blob    REG_BINARY    0102FF\n"
            "    Count    REG_DWORD    0x2a\n"
            "    Expand    REG_EXPAND_SZ    %W%\n"
            "    List    REG_MULTI_SZ    one\\0two\n"
            "    Path    REG_SZ    C:\\Dir \"x\"\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample\\alpha\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample\\Zeta\n");
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\Sample\\Zeta", std::nullopt),
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample\\Zeta\n"
            "    z    REG_SZ    z\n");
}

TEST_F(RegToolTest, QueryOfMissingKeyOrValue) {
  std::string out = "stale";
  Status s = RegQuery(reg(), codec(), "HKLM\\SOFTWARE\\Nothing", "v", &out);
  EXPECT_EQ(s.code(), static_cast<uint32_t>(kErrorFileNotFound));
  EXPECT_THAT(s.message(), HasSubstr("HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing"));
  EXPECT_EQ(out, "");
  s = RegQuery(reg(), codec(), "HKLM\\SOFTWARE", "Nothing", &out);
  EXPECT_EQ(s.code(), static_cast<uint32_t>(kErrorFileNotFound));
  EXPECT_THAT(s.message(), HasSubstr("Nothing"));
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST_F(RegToolTest, SetStoresTextWithItsZeroAndMakesTheKey) {
  ASSERT_TRUE(RegSet(reg(), codec(), "HKLM\\SOFTWARE\\New\\Deeper", "Name", "Crème").ok());
  uint32_t type = 0;
  EXPECT_EQ(testing::RegValue(reg(), kHkeyLocalMachine, "SOFTWARE\\New\\Deeper", "Name", &type),
            std::string("Cr\xE8me\0", 6));
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\New\\Deeper", "name"), "Crème\n");

  // Overwrites an existing value.
  ASSERT_TRUE(RegSet(reg(), codec(), "HKLM\\SOFTWARE\\New\\Deeper", "NAME", "again").ok());
  EXPECT_EQ(Query("HKLM\\SOFTWARE\\New\\Deeper", "Name"), "again\n");
  EXPECT_FALSE(RegSet(reg(), codec(), "HKLM\\a\\\\b", "v", "d").ok());
  EXPECT_EQ(reg().OpenHandleCount(), 0u);
}

TEST(RegToolRestrictedTest, ToolActsForTheMachine) {
  testing::TestMachine machine(Family::kNt, /*admin=*/false);
  SandboxRegistry& reg = machine.registry();
  Status s = RegSet(reg, machine.machine().codec(), "HKLM\\SOFTWARE\\Tool", "v", "d");
  EXPECT_TRUE(s.ok()) << s.ToString();
  // The registry is the user's again afterwards.
  EXPECT_FALSE(reg.system_access());
  RegHandle handle = 0;
  EXPECT_EQ(reg.OpenKeyEx(kHkeyLocalMachine, "SOFTWARE\\Tool", 0, kKeySetValue, &handle),
            static_cast<uint32_t>(kErrorAccessDenied));
}

TEST_F(RegToolTest, ExportOfAKeyAndItsSubkeys) {
  MakeSample();
  std::string out;
  Status s = RegExport(reg(), codec(), "hklm\\software\\SAMPLE", &out);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(out,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample]\n"
            "@=\"default\"\n"
            "\"Blob\"=hex:01,02,ff\n"
            "\"Count\"=dword:0000002a\n"
            "\"Expand\"=hex(2):25,00,57,00,25,00,00,00\n"
            "\"List\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,"
            "00,00\n"
            "\"Path\"=\"C:\\\\Dir \\\"x\\\"\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample\\alpha]\n"
            "\"Odd\"=hex(1):61,00,00,00,62,00,00,00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sample\\Zeta]\n"
            "\"z\"=\"z\"\n"
            "\n");
}

TEST_F(RegToolTest, ExportWrapsLongHexLists) {
  std::string bytes, expected = "\"Data\"=hex:";
  char piece[4];
  for (int i = 0; i < 100; ++i) {
    bytes.push_back(static_cast<char>(i));
    std::snprintf(piece, sizeof(piece), "%02x", i);
    expected += (i > 0 ? "," : "") + std::string(piece);
  }
  Put(kHkeyCurrentUser, "Software\\Wide", "Data", kRegBinary, bytes);
  Put(kHkeyCurrentUser, "Software\\Wide", "Other", 11, std::string("\x01\0\0\0\0\0\0\0", 8));
  std::string out;
  ASSERT_TRUE(RegExport(reg(), codec(), "HKCU\\Software\\Wide", &out).ok());

  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  // A line that goes on ends in "\", the next is indented by two blanks;
  // joined, the list is whole.
  std::string joined = out;
  for (size_t at; (at = joined.find("\\\n  ")) != std::string::npos;) joined.erase(at, 4);
  EXPECT_NE(joined, out);
  EXPECT_THAT(joined, HasSubstr(expected + "\n"));
  EXPECT_THAT(out, HasSubstr("\"Other\"=hex(b):01,00,00,00,00,00,00,00\n"));
}

TEST_F(RegToolTest, ExportOfEverything) {
  std::string out;
  ASSERT_TRUE(RegExport(reg(), codec(), std::nullopt, &out).ok());
  EXPECT_THAT(out, StartsWith("Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_CLASSES_ROOT]\n"));
  EXPECT_THAT(out, HasSubstr("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows"
                             "\\CurrentVersion]\n"));
  EXPECT_THAT(out, HasSubstr("\"ProgramFilesDir\"=\"C:\\\\Program Files\"\n"));
  EXPECT_THAT(out, HasSubstr("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows"
                             "\\CurrentVersion\\RunOnceEx]\n"));
  // The roots come in their order.
  const size_t classes = out.find("[HKEY_CLASSES_ROOT]");
  const size_t user = out.find("[HKEY_CURRENT_USER]");
  const size_t machine = out.find("[HKEY_LOCAL_MACHINE]");
  const size_t users = out.find("[HKEY_USERS]");
  EXPECT_LT(classes, user);
  EXPECT_LT(user, machine);
  EXPECT_LT(machine, users);
  EXPECT_NE(users, std::string::npos);

  Status s = RegExport(reg(), codec(), "HKLM\\SOFTWARE\\Missing", &out);
  EXPECT_EQ(s.code(), static_cast<uint32_t>(kErrorFileNotFound));
}

}  // namespace
}  // namespace qv::sandbox
