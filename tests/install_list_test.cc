// The install list: its required fields, reading the current record the way
// the run does, and a list carried from a copy-only run to a local one.
#include "engine/install_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace qv {
namespace {

using ::testing::HasSubstr;

TEST(InstallListTest, RequiredFieldsAreChecked) {
  EXPECT_TRUE(ValidateInstallList(NewInstallList()).ok());
  const std::vector<std::string> required = {
      "SequenceID", "FileName", "DownloadLocation", "InstallType", "FileVersion"};
  for (const std::string& missing : required) {
    Recordset list;  // the other fields, spelt in lower case
    for (std::string name : required) {
      if (name == missing) continue;
      for (char& c : name) c = static_cast<char>(std::tolower(c));
      list.AddField(name, FieldType::kString);
    }
    EXPECT_THAT(ValidateInstallList(list).message(), HasSubstr(missing));
  }
}

TEST(InstallListTest, ReadsTheCurrentRecordAsTheRunDoes) {
  Recordset list;
  ASSERT_TRUE(list.ParseJson(R"({"format": "qv-installlist", "version": 1,
    "fields": [{"name": "SequenceID", "type": "number"},
               {"name": "FileName", "type": "string"},
               {"name": "DownloadLocation", "type": "string"},
               {"name": "InstallType", "type": "number"},
               {"name": "FileVersion", "type": "string"},
               {"name": "AltCheck", "type": "string"},
               {"name": "AltCheckRegValue", "type": "string"},
               {"name": "IsQVObject", "type": "integer"},
               {"name": "isCompressed", "type": "integer"}],
    "records": [
      [null, "a.dll", "a.cmp", 2.5, "  1.2.3  ", "<SYSTEMDIR>\\a.dll", "  ", 0, -1],
      [9999, "client.exe", "client.exe", 3, "2", "SOFTWARE\\X", "Version", 5, 0],
      [9998.5, "b.ttf", "b.ttf", 3.5, "1", null, null, null, null],
      [1, null, "c", 40000, "1", null, null, null, null]
    ]})").ok());

  InstallRecord r;
  ASSERT_TRUE(ReadInstallRecord(list, &r).ok());
  EXPECT_FALSE(r.IsLaunchRecord());  // an empty SequenceID is below 9999
  EXPECT_EQ(r.install_type, 2);
  EXPECT_EQ(r.file_version, "1.2.3");
  EXPECT_TRUE(r.HasFileCheck());
  EXPECT_FALSE(r.HasRegistryCheck());  // a blank value name is not used
  EXPECT_EQ(r.install_location, "");   // the list has no such field
  EXPECT_FALSE(r.is_qv_object);
  EXPECT_TRUE(r.is_compressed);  // read through "IsCompressed"

  list.MoveNext();
  ASSERT_TRUE(ReadInstallRecord(list, &r).ok());
  EXPECT_TRUE(r.IsLaunchRecord());
  EXPECT_TRUE(r.HasRegistryCheck());
  EXPECT_FALSE(r.HasFileCheck());
  EXPECT_TRUE(r.is_qv_object);
  EXPECT_FALSE(r.is_compressed);

  list.MoveNext();
  ASSERT_TRUE(ReadInstallRecord(list, &r).ok());
  EXPECT_FALSE(r.IsLaunchRecord());
  EXPECT_EQ(r.install_type, 4);
  EXPECT_FALSE(r.HasRegistryCheck() || r.HasFileCheck());
  EXPECT_FALSE(r.is_qv_object || r.is_compressed);  // null flags are off

  // An empty FileName and an InstallType out of range are reported; the
  // rest is read and the type installs nothing.
  list.MoveNext();
  Status s = ReadInstallRecord(list, &r);
  EXPECT_THAT(s.message(), HasSubstr("record 4"));
  EXPECT_THAT(s.message(), HasSubstr("FileName"));
  EXPECT_EQ(r.download_location, "c");
  EXPECT_EQ(r.install_type, 0);

  list.MoveNext();
  EXPECT_EQ(ReadInstallRecord(list, &r).code(), kErrorNoMoreItems);
}

TEST(InstallListTest, CopyOnlyListOpensAgainInLocalMode) {
  testing::TestMachine machine;
  ASSERT_TRUE(CurrentPlatform().files->CreateDirectory("C:\\Gathered").ok());
  const std::string path = std::string("C:\\Gathered\\") + kInstallListFileName;

  Recordset served = NewInstallList();
  const char* names[] = {"qv1.dll", "a.dll", "client.exe"};
  for (int i = 0; i < 3; ++i) {
    InstallRecord r;
    r.sequence_id = i == 2 ? 9999 : i + 1;
    r.file_name = names[i];
    r.download_location = std::string(names[i]) + ".cmp";
    r.install_type = static_cast<int16_t>(i + 1);
    r.file_version = "1.0." + std::to_string(i);
    r.alt_check_reg_value = i == 1 ? " Version " : "";
    r.is_qv_object = i != 1;
    r.is_compressed = i != 1;
    ASSERT_TRUE(AppendInstallRecord(&served, r).ok());
  }
  // The copy is saved before the developer filter is set.
  ASSERT_TRUE(served.save(path).ok());
  ASSERT_TRUE(served.SetFilter(kDeveloperFilter).ok());
  EXPECT_EQ(served.recordcount(), 1);

  Recordset local;
  ASSERT_TRUE(local.Open(path).ok());
  ASSERT_TRUE(ValidateInstallList(local).ok());
  EXPECT_EQ(local.recordcount(), 3);
  EXPECT_EQ(local.records(), served.records());
  for (int i = 0; i < 3; ++i, local.MoveNext()) {
    InstallRecord r;
    ASSERT_TRUE(ReadInstallRecord(local, &r).ok());
    EXPECT_EQ(r.file_name, names[i]);
    EXPECT_EQ(r.IsLaunchRecord(), i == 2);
    EXPECT_EQ(r.install_type, i + 1);
    EXPECT_EQ(r.HasRegistryCheck(), i == 1);
    EXPECT_EQ(r.is_qv_object, i != 1);
  }
  EXPECT_TRUE(local.Eof());
}

}  // namespace
}  // namespace qv
