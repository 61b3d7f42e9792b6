// Finding and reading the version resource of PE images: real DLLs of both
// widths made by the mingw-w64 tools, a large image, images without a
// version, and damaged copies of them (truncated, with lying sizes and
// counts, with directories that point back at themselves, with random bytes
// changed). Then the root query over crafted blocks, and the sandbox
// machine's VersionInfo over the same files.
#include "platform/sandbox/pe_version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/sandbox/sandbox_version_info.h"
#include "tests/pe_version_reader.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using testing::Found;
using testing::MemoryFile;
using testing::ReadVersion;

std::string Fixture(const std::string& name) {
  return testing::ReadHostFile(testing::FixturePath(name));
}

uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}
void Put32(std::string* s, size_t at, uint32_t v) { std::memcpy(s->data() + at, &v, 4); }
void Put16(std::string* s, size_t at, uint16_t v) { std::memcpy(s->data() + at, &v, 2); }

// Where the structures of a well-formed fixture lie, found by a plain walk,
// so that tests can damage them on purpose.
struct Layout {
  size_t start = 0;            // the start of the file
  size_t nt = 0;               // "PE\0\0"
  size_t optional = 0;         // optional header
  size_t directory_count = 0;  // NumberOfRvaAndSizes
  size_t resource_dir = 0;     // data directory 2
  size_t sections = 0;         // section table
  size_t rsrc_header = 0;      // the section header that holds the resources
  size_t tree = 0;             // file offset of the resource directory
  uint32_t tree_rva = 0;
  size_t type_entry = 0;  // the type-16 entry of the root directory
  size_t name_dir = 0;
  size_t language_dir = 0;
  size_t data_entry = 0;
  size_t block = 0;  // the VS_VERSIONINFO block
};

Layout LayoutOf(const std::string& image) {
  Layout l;
  l.nt = Get32(image, 0x3c);
  l.optional = l.nt + 24;
  const bool plus = static_cast<uint8_t>(image[l.optional]) == 0x0b &&
                    static_cast<uint8_t>(image[l.optional + 1]) == 0x02;
  l.directory_count = l.optional + (plus ? 108 : 92);
  l.resource_dir = l.optional + (plus ? 112 : 96) + 16;
  const uint16_t optional_size = static_cast<uint16_t>(Get32(image, l.nt + 20) & 0xFFFF);
  const uint16_t count = static_cast<uint16_t>(Get32(image, l.nt + 4) >> 16);
  l.sections = l.optional + optional_size;
  l.tree_rva = Get32(image, l.resource_dir);
  for (size_t i = 0; i < count; ++i) {
    const size_t h = l.sections + i * 40;
    const uint32_t va = Get32(image, h + 12);
    const uint32_t vsize = Get32(image, h + 8);
    if (l.tree_rva >= va && l.tree_rva < va + vsize) {
      l.rsrc_header = h;
      l.tree = Get32(image, h + 20) + (l.tree_rva - va);
    }
  }
  EXPECT_NE(l.rsrc_header, 0u) << "no section holds the resources";
  const size_t entries = l.tree + 16;
  const size_t n = (Get32(image, l.tree + 12) & 0xFFFF) + (Get32(image, l.tree + 12) >> 16);
  for (size_t i = 0; i < n; ++i) {
    if (Get32(image, entries + i * 8) == 16) l.type_entry = entries + i * 8;
  }
  EXPECT_NE(l.type_entry, 0u) << "no version type";
  l.name_dir = l.tree + (Get32(image, l.type_entry + 4) & 0x7FFFFFFF);
  l.language_dir = l.tree + (Get32(image, l.name_dir + 16 + 4) & 0x7FFFFFFF);
  l.data_entry = l.tree + Get32(image, l.language_dir + 16 + 4);
  l.block = l.tree + (Get32(image, l.data_entry) - l.tree_rva);
  return l;
}

// ---- Well-formed images ---------------------------------------------------

TEST(PeVersionTest, ReadsFixedVersionOfBothWidths) {
  struct Case {
    const char* fixture;
    const char* file_version;
    const char* product_version;
  };
  for (const Case& c : {
           Case{"v6_0_81_69_x64.dll", "6.0.81.69", "6.0.81.69"},
           Case{"v6_0_81_69_x86.dll", "6.0.81.69", "6.0.81.69"},
           Case{"v40000_1_2_3_x64.dll", "40000.1.2.3", "40000.1.2.3"},
           Case{"v65535_65535_65535_65535_x86.dll", "65535.65535.65535.65535",
                "65535.65535.65535.65535"},
           // Named and numbered types around the version, which has ID 2 in
           // German; its FileVersion string says 9.9.9.9 but the fixed
           // version rules.
           Case{"multi_v1_2_3_4_x64.dll", "1.2.3.4", "5.6.7.8"},
       }) {
    SCOPED_TRACE(c.fixture);
    const std::optional<Found> found = ReadVersion(Fixture(c.fixture));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->file_version, c.file_version);
    EXPECT_EQ(found->product_version, c.product_version);
    EXPECT_EQ(found->info.signature, 0xFEEF04BDu);
  }
}

TEST(PeVersionTest, LargeImageIsReadPiecewise) {
  // Several megabytes of data, opening with a decoy version block, lie
  // ahead of the resources.
  const std::string image = Fixture("big_v7_1_2_3_x64.dll");
  ASSERT_GT(image.size(), 5u << 20);
  MemoryFile file(image);
  const std::optional<Found> found = ReadVersion(file);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->file_version, "7.1.2.3");
  EXPECT_GT(found->resource.offset, 5u << 20);
  // Headers, a few directory entries and the block itself.
  EXPECT_LT(file.bytes_read(), 8u * 1024);
  EXPECT_LT(file.reads(), 40);
}

// A smaller buffer gets the start of the block only: the machine's reader
// below (SandboxVersionInfoTest) reads through ReadVersionResource.
TEST(PeVersionTest, TheResourceIsTheBlockThatStatesItsOwnLength) {
  const std::string image = Fixture("v6_0_81_69_x64.dll");
  MemoryFile file(image);
  VersionResource resource;
  ASSERT_TRUE(FindVersionResource(file, &resource));
  std::vector<uint8_t> full(resource.size);
  ASSERT_TRUE(ReadVersionResource(file, resource, resource.size, full.data()));
  EXPECT_EQ(full[0] | (full[1] << 8), static_cast<int>(resource.size));
}

// ---- Damaged images -------------------------------------------------------

TEST(PeVersionTest, TruncatedImagesHaveNoVersionUntilTheBlockIsWhole) {
  for (const char* name : {"v6_0_81_69_x64.dll", "v6_0_81_69_x86.dll", "multi_v1_2_3_4_x64.dll",
                           "big_v7_1_2_3_x64.dll"}) {
    SCOPED_TRACE(name);
    const std::string image = Fixture(name);
    VersionResource whole;
    ASSERT_TRUE(FindVersionResource(MemoryFile(image), &whole));
    const size_t block_end = whole.offset + whole.size;
    // Every length of the small images; of the large one, the headers, a
    // sample of its data, and everything from just before the resource.
    std::vector<size_t> cuts;
    const bool big = image.size() > (1u << 20);
    for (size_t i = 0; i < (big ? 2048 : image.size()); ++i) cuts.push_back(i);
    for (size_t i = 0; big && i < image.size(); i += 65521) cuts.push_back(i);
    for (size_t i = whole.offset - 1024; big && i < image.size(); ++i) cuts.push_back(i);
    for (size_t length : cuts) {
      MemoryFile file(image, length);
      EXPECT_EQ(ReadVersion(file).has_value(), length >= block_end) << "cut at " << length;
    }
  }
}

TEST(PeVersionTest, ResourcesLargerThanTheLimitAreRefused) {
  // Point the version at megabytes of the large image's data: within the
  // limit it is found (and is no version block), beyond it refused.
  const std::string original = Fixture("big_v7_1_2_3_x64.dll");
  const Layout layout = LayoutOf(original);
  std::string image = original;
  Put32(&image, layout.data_entry, layout.tree_rva - (3u << 20));
  VersionResource resource;
  Put32(&image, layout.data_entry + 4, kMaxVersionResourceSize);
  EXPECT_TRUE(FindVersionResource(MemoryFile(image), &resource));
  EXPECT_EQ(resource.size, kMaxVersionResourceSize);
  EXPECT_FALSE(ReadVersion(image).has_value());
  Put32(&image, layout.data_entry + 4, kMaxVersionResourceSize + 1);
  EXPECT_FALSE(FindVersionResource(MemoryFile(image), &resource));
}

// A change to an image at a place of its layout.
using Patch = std::function<void(std::string*, const Layout&)>;

Patch Set(size_t Layout::*at, size_t delta, uint32_t value, int width = 4) {
  return [=](std::string* s, const Layout& l) {
    if (width == 2) {
      Put16(s, l.*at + delta, static_cast<uint16_t>(value));
    } else {
      Put32(s, l.*at + delta, value);
    }
  };
}

// Points the first entry of a directory back at the directory itself.
Patch PointAtItself(size_t Layout::*directory) {
  return [=](std::string* s, const Layout& l) {
    Put32(s, l.*directory + 16 + 4, 0x80000000u | static_cast<uint32_t>(l.*directory - l.tree));
  };
}

TEST(PeVersionTest, LyingHeadersAndDirectories) {
  struct Damage {
    const char* what;
    Patch patch;
    bool still_found;
  };
  const std::vector<Damage> damages = {
      {"no MZ", Set(&Layout::start, 0, 0x5A5A, 2), false},
      {"e_lfanew past the end", Set(&Layout::start, 0x3c, 0xFFFFFFF0u), false},
      {"no PE signature", Set(&Layout::nt, 0, 0x5850), false},
      {"unknown optional header", Set(&Layout::optional, 0, 0x107, 2), false},
      {"optional header too small", Set(&Layout::nt, 20, 96, 2), false},
      {"two data directories", Set(&Layout::directory_count, 0, 2), false},
      {"huge data directory count", Set(&Layout::directory_count, 0, 0xFFFFFFFFu), true},
      {"no resource directory", Set(&Layout::resource_dir, 0, 0), false},
      {"resource directory of size 0", Set(&Layout::resource_dir, 4, 0), false},
      {"resources outside every section", Set(&Layout::resource_dir, 0, 0x7FFF0000u), false},
      {"no sections", Set(&Layout::nt, 6, 0, 2), false},
      {"65535 sections", Set(&Layout::nt, 6, 0xFFFF, 2), false},
      {"raw data past the end", Set(&Layout::rsrc_header, 20, 0xFFFFFE00u), false},
      {"raw size below the resources", Set(&Layout::rsrc_header, 16, 32), false},
      {"virtual size below the resources", Set(&Layout::rsrc_header, 8, 32), false},
      {"sizes overstated, data still in the file",
       [](std::string* s, const Layout& l) {
         Put32(s, l.rsrc_header + 8, 0xFFFFFFFFu);
         Put32(s, l.rsrc_header + 16, 0xFFFFFFFFu);
       },
       true},
      {"huge root entry counts", Set(&Layout::tree, 12, 0xFFFFFFFFu), false},
      {"version type not a directory", Set(&Layout::type_entry, 4, 0x18), false},
      {"version type points at the root", Set(&Layout::type_entry, 4, 0x80000000u), false},
      {"no names", Set(&Layout::name_dir, 12, 0), false},
      {"name points at its own directory", PointAtItself(&Layout::name_dir), false},
      {"language points at a directory", PointAtItself(&Layout::language_dir), false},
      {"data entry far outside", Set(&Layout::language_dir, 20, 0x7FFFFFF0u), false},
      {"data of size 0", Set(&Layout::data_entry, 4, 0), false},
      {"data larger than any version", Set(&Layout::data_entry, 4, 0x7FFFFFFFu), false},
      {"data running past the section", Set(&Layout::data_entry, 4, 0x10000), false},
      {"data where no section is", Set(&Layout::data_entry, 0, 0x10), false},
      {"block with a foreign key", Set(&Layout::block, 6, 'X', 2), false},
      {"block with a short value", Set(&Layout::block, 2, 40, 2), false},
      {"signature wiped (never checked)", Set(&Layout::block, 40, 0), true},
  };
  for (const char* name : {"v6_0_81_69_x64.dll", "v6_0_81_69_x86.dll"}) {
    const std::string original = Fixture(name);
    const Layout layout = LayoutOf(original);
    for (const Damage& d : damages) {
      SCOPED_TRACE(std::string(name) + ": " + d.what);
      std::string image = original;
      d.patch(&image, layout);
      const std::optional<Found> found = ReadVersion(image);
      EXPECT_EQ(found.has_value(), d.still_found);
      if (found) {
        EXPECT_EQ(found->file_version, "6.0.81.69");
      }
    }
  }
}

TEST(PeVersionTest, RandomDamageNeverReadsOutsideTheFile) {
  // Bytes changed at random in the headers and the resource tree; whatever
  // the parser concludes, it stays inside the file (the sanitizer build
  // checks every access) and what it finds lies inside the file.
  std::mt19937 random(20240611);
  for (const char* name : {"v6_0_81_69_x64.dll", "multi_v1_2_3_4_x64.dll"}) {
    const std::string original = Fixture(name);
    const Layout layout = LayoutOf(original);
    const size_t tree_end = std::min<size_t>(layout.tree + 0x200, original.size());
    for (int round = 0; round < 3000; ++round) {
      std::string image = original;
      const int changes = 1 + static_cast<int>(random() % 6);
      for (int i = 0; i < changes; ++i) {
        const bool in_tree = random() % 2 == 0;
        const size_t at = in_tree ? layout.tree + random() % (tree_end - layout.tree)
                                  : random() % (layout.sections + 80);
        image[at] = static_cast<char>(random() % 256);
      }
      if (random() % 4 == 0) image.resize(random() % image.size());
      MemoryFile file(image);
      VersionResource resource;
      if (FindVersionResource(file, &resource)) {
        ASSERT_GT(resource.size, 0u);
        ASSERT_LE(resource.size, kMaxVersionResourceSize);
        ASSERT_LE(resource.offset + resource.size, image.size());
        ReadVersion(file);
      }
    }
  }
}

// ---- The root query -------------------------------------------------------

// A version block: header, key, padding, a value of value_length bytes
// whose first word is the signature, then tail bytes of padding.
std::vector<uint8_t> MakeBlock(uint16_t value_length, const std::string& key = "VS_VERSION_INFO",
                               size_t tail = 0) {
  std::vector<uint8_t> block;
  auto put16 = [&block](uint16_t v) {
    block.push_back(static_cast<uint8_t>(v & 0xFF));
    block.push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(0);  // wLength, set below
  put16(value_length);
  put16(0);  // binary
  for (char c : key) put16(static_cast<uint8_t>(c));
  put16(0);
  while (block.size() % 4 != 0) block.push_back(0);
  for (uint16_t i = 0; i < value_length; ++i) {
    block.push_back(static_cast<uint8_t>(i));
  }
  block.resize(block.size() + tail, 0);
  block[0] = static_cast<uint8_t>(block.size() & 0xFF);
  block[1] = static_cast<uint8_t>(block.size() >> 8);
  return block;
}

TEST(QueryVersionRootTest, FindsTheValueBehindTheKey) {
  const std::vector<uint8_t> block = MakeBlock(52, "VS_VERSION_INFO", 12);
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(QueryVersionRoot(block.data(), block.size(), &value, &length));
  EXPECT_EQ(value, block.data() + 40);
  EXPECT_EQ(length, 52u);
  EXPECT_EQ(value[0], 0);  // the first byte of the value, not of the key
  EXPECT_EQ(value[51], 51);

  // A longer value is returned whole.
  const std::vector<uint8_t> longer = MakeBlock(60);
  ASSERT_TRUE(QueryVersionRoot(longer.data(), longer.size(), &value, &length));
  EXPECT_EQ(length, 60u);
}

TEST(QueryVersionRootTest, RefusesBlocksWithoutAWholeValue) {
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  // Too short a value.
  const std::vector<uint8_t> short_value = MakeBlock(51, "VS_VERSION_INFO", 8);
  EXPECT_FALSE(QueryVersionRoot(short_value.data(), short_value.size(), &value, &length));
  // The value just fits the buffer, then misses it by a byte.
  const std::vector<uint8_t> exact = MakeBlock(52);
  ASSERT_EQ(exact.size(), 92u);
  EXPECT_TRUE(QueryVersionRoot(exact.data(), 92, &value, &length));
  EXPECT_FALSE(QueryVersionRoot(exact.data(), 91, &value, &length));
  // The block's own length ends before the value, however large the buffer.
  std::vector<uint8_t> stated = MakeBlock(52, "VS_VERSION_INFO", 16);
  stated[0] = 80;
  stated[1] = 0;
  EXPECT_FALSE(QueryVersionRoot(stated.data(), stated.size(), &value, &length));
  // Another key, or a key without its terminating zero.
  const std::vector<uint8_t> other = MakeBlock(52, "VS_VERSION_INFX");
  EXPECT_FALSE(QueryVersionRoot(other.data(), other.size(), &value, &length));
  std::vector<uint8_t> unterminated = MakeBlock(52);
  unterminated[36] = 'O';
  EXPECT_FALSE(QueryVersionRoot(unterminated.data(), unterminated.size(), &value, &length));
  // No block at all.
  EXPECT_FALSE(QueryVersionRoot(nullptr, 100, &value, &length));
  EXPECT_FALSE(QueryVersionRoot(exact.data(), 39, &value, &length));
}

// ---- The sandbox machine's version reader -----------------------------------

class SandboxVersionInfoTest : public ::testing::Test {
 protected:
  void Place(const std::string& fixture, const std::string& windows_path) {
    machine_.WriteFile(windows_path, Fixture(fixture));
  }

  testing::TestMachine machine_;
  sandbox::SandboxVersionInfo versions_{machine_.platform().files};
};

TEST_F(SandboxVersionInfoTest, ReadsTheResourceOfAFileOnTheMachine) {
  const std::string path = R"(C:\Program Files\Quillmark Tools\library64.dll)";
  Place("v6_0_81_69_x64.dll", path);
  const uint32_t size = versions_.GetFileVersionInfoSize(path);
  ASSERT_GT(size, 0u);
  // Names match without regard to case and with "/" as separator.
  EXPECT_EQ(versions_.GetFileVersionInfoSize("c:/program files/QUILLMARK TOOLS/Library64.DLL"),
            size);

  std::vector<uint8_t> buffer(size);
  ASSERT_TRUE(versions_.GetFileVersionInfo(path, size, buffer.data()));
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(versions_.VerQueryValueRoot(buffer.data(), size, &value, &length));
  FixedFileInfo info;
  std::memcpy(&info, value, sizeof(info));
  EXPECT_EQ(testing::Dotted(info.file_version_ms, info.file_version_ls), "6.0.81.69");

  // A smaller buffer gets the start of the block only.
  std::vector<uint8_t> start(size, 0xEE);
  ASSERT_TRUE(versions_.GetFileVersionInfo(path, 20, start.data()));
  EXPECT_TRUE(std::equal(start.begin(), start.begin() + 20, buffer.begin()));
  EXPECT_EQ(start[20], 0xEE);
}

TEST_F(SandboxVersionInfoTest, FilesWithoutVersionHaveSizeZero) {
  Place("noversion_x64.dll", R"(C:\Windows\System32\plain.dll)");
  Place("noresources_x86.dll", R"(C:\Windows\System32\bare.dll)");
  machine_.WriteFile(R"(C:\Windows\readme.txt)", "1.2.3.4\r\n");
  machine_.WriteFile(R"(C:\Windows\mz.dll)", "MZ");
  machine_.WriteFile(R"(C:\Windows\zeros.dll)", std::string(4096, '\0'));
  machine_.WriteFile(R"(C:\Windows\empty.dll)", "");
  std::vector<uint8_t> buffer(64);
  for (const char* path :
       {R"(C:\Windows\System32\plain.dll)", R"(C:\Windows\System32\bare.dll)",
        R"(C:\Windows\readme.txt)", R"(C:\Windows\mz.dll)", R"(C:\Windows\zeros.dll)",
        R"(C:\Windows\empty.dll)", R"(C:\Windows\missing.dll)", R"(C:\Nowhere\missing.dll)",
        R"(C:\Windows)", ""}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(versions_.GetFileVersionInfoSize(path), 0u);
    EXPECT_FALSE(versions_.GetFileVersionInfo(path, 64, buffer.data()));
  }
}

}  // namespace
}  // namespace qv
