// The hand-written PE images and the demo's sample catalog: versions read
// back by the platform's own reader, files where the list says, and a list
// and user the server accepts.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "install/modInstall.h"
#include "installlist/install_list.h"
#include "platform/recordset.h"
#include "platform/sandbox/pe_version.h"
#include "server/pe_image.h"
#include "server/sample_catalog.h"
#include "server/storage.h"
#include "tests/pe_version_reader.h"
#include "tests/server_fixture.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

// The file version of an image as "a.b.c.d", from fixed file information
// that carries its signature; "" when the reader finds none.
std::string FixedVersion(const std::string& image) {
  const std::optional<testing::Found> found = testing::ReadVersion(image);
  if (!found || found->info.signature != 0xFEEF04BDu) return "";
  return found->file_version;
}

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(PeImageTest, VersionIsReadBackByThePlatformReader) {
  for (const auto& [major, minor, build, revision] :
       std::vector<std::array<uint16_t, 4>>{{3, 0, 148, 0}, {65535, 1, 0, 65535}, {0, 0, 0, 0}}) {
    PeImageInfo info;
    info.major = major;
    info.minor = minor;
    info.build = build;
    info.revision = revision;
    info.file_name = "qvtest.dll";
    info.description = "Test library \xc3\xa9";  // not ASCII
    const std::string image = MakePeImage(info);
    const std::string version = std::to_string(major) + "." + std::to_string(minor) + "." +
                                std::to_string(build) + "." + std::to_string(revision);
    EXPECT_EQ(FixedVersion(image), version);
    // The "FileVersion" string: its key, padding, then the text.
    const size_t key = image.find(Utf16("FileVersion") + std::string(2, '\0'));
    ASSERT_NE(key, std::string::npos);
    EXPECT_EQ(image.find(Utf16(version) + std::string(2, '\0'), key), key + 26);
    EXPECT_EQ(image.size() % 512, 0u);
  }
}

TEST(SampleCatalogTest, WritesFilesListAndUser) {
  const std::string dir = testing::MakeTempDir("qvsample");
  SampleCatalog catalog;
  Status status = WriteSampleCatalog(dir + "/demo", &catalog);
  ASSERT_TRUE(status.ok()) << status.ToString();
  SampleCatalog again;
  EXPECT_EQ(WriteSampleCatalog(dir + "/demo", &again).code(), kErrorAlreadyExists);

  const auto storage = testing::OpenStorage(catalog.db_path);
  ASSERT_NE(storage, nullptr);
  bool valid = false;
  ASSERT_TRUE(storage->CheckUser(catalog.key_name, catalog.login, catalog.password, &valid).ok());
  EXPECT_TRUE(valid);
  bool found = false;
  std::string document;
  int64_t generation = 0;
  ASSERT_TRUE(storage->GetInstallList(catalog.key_name, &found, &document, &generation).ok());
  ASSERT_TRUE(found);
  Recordset list;
  ASSERT_TRUE(list.ParseJson(document).ok());
  ASSERT_TRUE(ValidateInstallList(list).ok());
  ASSERT_EQ(list.recordcount(), static_cast<int32_t>(catalog.records.size()));

  bool has_pe = false, has_font = false, has_versioned = false, has_run = false,
       launch_last = false;
  // Each record's file is where it says, as it says: a cabinet holding it
  // when compressed, the version it names when a PE image.
  for (int32_t i = 0; i < list.recordcount(); ++i, list.MoveNext()) {
    InstallRecord record;
    ASSERT_TRUE(ReadInstallRecord(list, &record).ok());
    launch_last = record.IsLaunchRecord();
    const std::string bytes =
        testing::ReadHostFile(catalog.files_dir + "/" + record.download_location);
    ASSERT_FALSE(bytes.empty()) << record.download_location;
    if (record.is_compressed) {
      EXPECT_EQ(bytes.substr(0, 4), "MSCF");
      EXPECT_NE(bytes.find(record.file_name), std::string::npos);
    } else if (bytes.substr(0, 2) == "MZ") {
      has_pe = true;
      EXPECT_EQ(FixedVersion(bytes), record.file_version);
    }
    if (record.file_name.ends_with(".exe")) {
      EXPECT_EQ(bytes.substr(0, 2), "#!");
    }
    has_font |= record.install_location == "FONTSDIR";
    has_versioned |= record.install_type == itReplaceVersioned;
    has_run |= record.install_type == itRun;
  }
  EXPECT_TRUE(has_pe && has_font && has_versioned && has_run && launch_last);
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace qv::server
