// Expansion of ".cmp" archives: cabinets made by gcab and by `qvserver pack`
// come out byte for byte; damaged, foreign, hostile and oversized archives
// and failed placements fail whole and leave the machine as it was;
// ExpandCompressedFile takes only the file an archive is named after and
// keeps the archive when it fails; start-ups remove the temporaries that no
// one holds (kill_test.cc checks that a killed run's are among them).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "control/ctlInit_V3.h"
#include "install/modInstall.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using testing::HostTree;
using testing::RunCommand;
using testing::TestMachine;

using Files = std::map<std::string, std::string>;  // relative name -> bytes

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Equal snapshots; a difference is shown by name and size, not by the bytes.
::testing::AssertionResult SameFiles(const Files& actual, const Files& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  auto size = [](const Files& files, const std::string& name) {
    const auto found = files.find(name);
    return found == files.end() ? std::string("none") : std::to_string(found->second.size());
  };
  Files all = actual;
  all.insert(expected.begin(), expected.end());
  for (const auto& [name, bytes] : all) {
    if (actual.count(name) == 0 || expected.count(name) == 0 ||
        actual.at(name) != expected.at(name)) {
      failure << name << " (" << size(actual, name) << " bytes, expected " << size(expected, name)
              << ") ";
    }
  }
  return failure;
}

// A cabinet written field by field: one uncompressed folder, no checksums,
// entry names and declared sizes exactly as given.
struct CabEntry {
  std::string name;
  std::string data;
  uint16_t attributes = 0x20;
  int64_t declared_size = -1;  // -1: the data's size
};

// Appends value as `bytes` little-endian bytes.
void Le(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out->push_back(i < 8 ? static_cast<char>((value >> (8 * i)) & 0xFF) : '\0');
  }
}

std::string BuildCabinet(const std::vector<CabEntry>& entries) {
  std::string files, stream, blocks;
  for (const CabEntry& e : entries) {
    Le(&files, e.declared_size < 0 ? e.data.size() : e.declared_size, 4);
    Le(&files, stream.size(), 4);                 // offset in the folder
    Le(&files, 0x5A21u << 16, 4);                 // folder 0, 2025-01-01
    Le(&files, uint64_t{e.attributes} << 16, 4);  // time 0, attributes
    files += e.name + '\0';
    stream += e.data;
  }
  uint64_t block_count = 0;
  for (size_t at = 0; at < stream.size(); at += 32768, ++block_count) {
    const std::string piece = stream.substr(at, 32768);
    Le(&blocks, 0, 4);                       // no checksum
    Le(&blocks, piece.size() * 0x10001, 4);  // stored: as long as its data
    blocks += piece;
  }
  const uint64_t data_start = 36 + 8 + files.size();
  std::string cab = "MSCF";
  Le(&cab, 0, 4);
  Le(&cab, data_start + blocks.size(), 4);
  Le(&cab, uint64_t{36 + 8} << 32, 12);                    // files at 44
  Le(&cab, 0x0103 | 1u << 16 | entries.size() << 32, 12);  // 1.3, 1 folder, files
  Le(&cab, data_start | block_count << 32, 8);             // the folder: stored
  return cab + files + blocks;
}

class ExpansionTest : public ::testing::Test {
 protected:
  ExpansionTest() : work_(testing::MakeTempDir("qvcab")) {
    m_.WriteFile("C:\\Dest\\keep.txt", "kept");
  }
  ~ExpansionTest() override { testing::RemoveTree(work_); }

  // Writes files into a host folder and packs them with `gcab -c -z`.
  std::string GcabArchive(const Files& files) {
    const std::string dir = work_ + "/in" + std::to_string(++counter_);
    std::vector<std::string> argv = {"sh", "-c", "cd \"$0\" && exec gcab -c -z \"$@\"", dir,
                                     work_ + "/gcab.cab"};
    for (const auto& [name, bytes] : files) {
      testing::WriteHostFile(dir + "/" + name, bytes);
      argv.push_back(name);
    }
    const testing::CommandResult r = RunCommand(argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return testing::ReadHostFile(work_ + "/gcab.cab");
  }

  // 24 MiB of zeros ("a.bin") and then "x.dll": packs into some 40 KiB, far
  // past 100 times its size. Made once.
  const std::string& Bomb() {
    static const std::string bomb =
        GcabArchive({{"a.bin", std::string(24 << 20, '\0')}, {"x.dll", "x"}});
    return bomb;
  }

  // Places the archive on the machine and expands it into destination.
  Status Expand(const std::string& archive, int32_t* written = nullptr,
                const std::string& destination = "C:\\Dest") {
    m_.WriteFile("C:\\Arch\\a.cmp", archive);
    return ExpandPlaced(written, destination);
  }
  Status ExpandPlaced(int32_t* written = nullptr, const std::string& destination = "C:\\Dest") {
    std::unique_ptr<Expander> expander = m_.platform().new_expander();
    Status s = expander->SetDestination(destination);
    if (s.ok()) s = expander->SetArchive("C:\\Arch\\a.cmp");
    if (s.ok()) s = expander->Expand(written);
    return s;
  }

  // Expands and expects a failure that leaves the whole drive as it was.
  void ExpectFailsWithoutTrace(const std::string& archive, uint32_t code,
                               const std::string& in_message = "") {
    m_.WriteFile("C:\\Arch\\a.cmp", archive);
    const Files before = HostTree(drive());
    int32_t written = -1;
    const Status s = ExpandPlaced(&written);
    EXPECT_EQ(s.code(), code) << s.ToString();
    EXPECT_NE(s.message().find(in_message), std::string::npos) << s.message();
    EXPECT_EQ(written, 0);
    EXPECT_TRUE(SameFiles(HostTree(drive()), before));
  }

  std::string drive() { return m_.machine().DriveFolder('C'); }
  Files DestFiles() {
    Files files = HostTree(m_.HostPath("C:\\Dest"));
    files.erase("keep.txt");
    return files;
  }

  TestMachine m_;
  std::string work_;
  int counter_ = 0;
};

TEST_F(ExpansionTest, GcabArchivesComeOutByteForByte) {
  const Files files = {{"empty.txt", ""},
                       {"small.txt", "hello"},
                       {"big.bin", RandomBytes(100000, 1)},  // several MSZIP blocks
                       {"naïve.txt", "non-ASCII name"},
                       {"sub/deep/in.txt", RandomBytes(40000, 2)}};
  const std::string archive = GcabArchive(files);
  m_.WriteFile("C:\\Dest\\small.txt", "an older small.txt");
  const Files outside_before = HostTree(m_.HostPath("C:\\Windows"));
  int32_t written = 0;
  const Status s = Expand(archive, &written);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(written, 5);
  EXPECT_EQ(DestFiles(), files);
  EXPECT_EQ(m_.ReadFile("C:\\Dest\\keep.txt"), "kept");
  EXPECT_EQ(HostTree(m_.HostPath("C:\\Windows")), outside_before);
}

TEST_F(ExpansionTest, NamesWithoutTheUtf8FlagAreInTheAnsiCodePage) {
  int32_t written = 0;
  ASSERT_TRUE(
      Expand(BuildCabinet({{"n\xe9.txt", "cp1252", 0x20}, {"dir\\utf\xc3\xa9.txt", "utf-8", 0xA0}}),
             &written)
          .ok());
  EXPECT_EQ(written, 2);
  EXPECT_EQ(DestFiles(), (Files{{"né.txt", "cp1252"}, {"dir/utfé.txt", "utf-8"}}));
}

TEST_F(ExpansionTest, PackedArchivesRoundTripThroughGcabAndTheExpander) {
  const Files files = {{"x.dll", RandomBytes(70000, 3)}, {"empty.dat", ""}, {"façade.txt", "f"}};
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const std::string input = work_ + "/src/" + name, out = work_ + "/" + name + ".cmp";
    testing::WriteHostFile(input, bytes);
    testing::WriteHostFile(out, "an older archive");
    testing::CommandResult r = RunCommand({testing::QvserverPath(), "pack", input, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = RunCommand({"gcab", "-t", out});
    EXPECT_EQ(r.out, name + "\n");
    r = RunCommand({"gcab", "-l", out});
    EXPECT_EQ(r.out.rfind(name + " " + std::to_string(bytes.size()) + " ", 0), 0u) << r.out;
    const std::string extracted = work_ + "/x" + std::to_string(++counter_);
    fs::create_directories(extracted);
    r = RunCommand({"gcab", "-x", "-C", extracted, out});
    EXPECT_EQ(HostTree(extracted), (Files{{name, bytes}})) << r.err;

    ASSERT_TRUE(Expand(testing::ReadHostFile(out)).ok());
    EXPECT_EQ(m_.ReadFile("C:\\Dest\\" + name), bytes);
  }
  for (const auto& [name, bytes] : HostTree(work_)) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
  }
}

TEST_F(ExpansionTest, PackFailsCleanly) {
  testing::WriteHostFile(work_ + "/in.txt", "data");
  struct Case {
    std::string input, out;
  };
  const Case cases[] = {{work_ + "/missing.txt", work_ + "/a.cmp"},
                        {work_ + "/in.txt", work_ + "/no/such/folder/a.cmp"},
                        {work_ + "/in.txt", work_ + "/in.txt/a.cmp"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.out);
    const testing::CommandResult r = RunCommand({testing::QvserverPath(), "pack", c.input, c.out});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_EQ(HostTree(work_), (Files{{"in.txt", "data"}}));
}

TEST_F(ExpansionTest, DamagedArchivesLeaveTheDestinationAlone) {
  const std::string archive =
      GcabArchive({{"big.bin", RandomBytes(100000, 4)}, {"small.txt", "small"}});
  m_.WriteFile("C:\\Dest\\big.bin", "the installed big.bin");
  // The folder's compressed data starts where its header says.
  const uint32_t data = static_cast<uint8_t>(archive[36]) | static_cast<uint8_t>(archive[37]) << 8;
  ASSERT_GT(archive.size(), data + 60000u);
  for (size_t size : {size_t{12}, size_t{40}, size_t{data}, size_t{data + 20}, archive.size() / 2,
                      archive.size() - 1}) {
    SCOPED_TRACE("truncated to " + std::to_string(size));
    ExpectFailsWithoutTrace(archive.substr(0, size), kErrorInvalidData, "damaged");
  }
  for (size_t at :
       {size_t{data + 3}, size_t{data + 100}, size_t{data + 40000}, archive.size() - 2}) {
    SCOPED_TRACE("byte flipped at " + std::to_string(at));
    std::string flipped = archive;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
    ExpectFailsWithoutTrace(flipped, kErrorInvalidData, "damaged");
  }
  // Declared sizes are checked against what the data holds.
  for (int64_t declared : {int64_t{2}, int64_t{40000}, int64_t{0xFFFFFFF0}}) {
    SCOPED_TRACE("declared " + std::to_string(declared));
    ExpectFailsWithoutTrace(BuildCabinet({{"a.txt", "abc"}, {"b.txt", "x", 0x20, declared}}),
                            kErrorInvalidData, "damaged");
  }
  EXPECT_EQ(m_.ReadFile("C:\\Dest\\big.bin"), "the installed big.bin");
}

TEST_F(ExpansionTest, OnlyCabinetsAreExpanded) {
  const std::string empty_zip = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  for (const std::string& bytes : {empty_zip, RandomBytes(5000, 5), std::string()}) {
    ExpectFailsWithoutTrace(bytes, kErrorBadFormat, "not a cabinet");
  }
}

TEST_F(ExpansionTest, HostileEntryNamesAreRefusedBeforeAnythingIsWritten) {
  const char* names[] = {"..\\evil.txt", "../evil.txt",   "sub\\..\\..\\evil.txt",
                         "\\evil.txt",   "/evil.txt",     "C:\\evil.txt",
                         "C:evil.txt",   ".. \\evil.txt", "sub\\...\\evil.txt",
                         "sub\\\\x.txt", "sub\\",         "con\\x.txt"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string archive = BuildCabinet({{"good\\first.txt", "fine"}, {name, "evil"}});
    m_.WriteFile("C:\\Arch\\a.cmp", archive);
    const Files before = HostTree(drive());
    const Status s = ExpandPlaced();
    EXPECT_FALSE(s.ok());
    std::string shown = name;  // the reader gives "\" as "/"
    std::replace(shown.begin(), shown.end(), '\\', '/');
    EXPECT_NE(s.message().find(shown), std::string::npos) << s.message();
    EXPECT_TRUE(SameFiles(HostTree(drive()), before));
    EXPECT_FALSE(m_.Exists("C:\\Dest\\good"));  // its folder is taken back too
  }
}

TEST_F(ExpansionTest, APlacementThatFailsTakesBackTheEntriesPlacedBefore) {
  // The last entry cannot take its place; the first replaced keep.txt, the
  // second went into a new folder.
  const std::string archive =
      BuildCabinet({{"keep.txt", "new"}, {"sub\\n.txt", "n"}, {"x.dll", "new"}});
  FileSystem& files = *m_.platform().files;
  struct Case {
    const char* blocker;
    uint32_t code;
  };
  const Case cases[] = {{"read-only", kErrorAccessDenied},
                        {"folder", kErrorAccessDenied},
                        {"locked", kErrorSharingViolation}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocker);
    const std::string dest = std::string("C:\\") + c.blocker;
    m_.WriteFile(dest + "\\keep.txt", "kept");
    ASSERT_TRUE(files.SetFileAttributes(dest + "\\keep.txt", kFileAttributeHidden).ok());
    int lock = -1;  // held by this process, through a descriptor of its own
    if (c.code == kErrorSharingViolation) {
      m_.WriteFile(dest + "\\x.dll", "old");
      lock = ::open(m_.HostPath(dest + "\\x.dll").c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(::flock(lock, LOCK_SH), 0);
    } else if (std::string(c.blocker) == "folder") {
      m_.WriteFile(dest + "\\x.dll\\in.txt", "in");
    } else {
      m_.WriteFile(dest + "\\x.dll", "old");
      ASSERT_TRUE(files.SetFileAttributes(dest + "\\x.dll", kFileAttributeReadOnly).ok());
    }
    m_.WriteFile("C:\\Arch\\a.cmp", archive);
    const Files before = HostTree(drive());
    int32_t written = -1;
    EXPECT_EQ(ExpandPlaced(&written, dest).code(), c.code);
    if (lock >= 0) ::close(lock);
    EXPECT_EQ(written, 0);
    EXPECT_TRUE(SameFiles(HostTree(drive()), before));
    EXPECT_FALSE(m_.Exists(dest + "\\sub"));
    uint32_t attributes = 0;
    EXPECT_TRUE(files.GetFileAttributes(dest + "\\keep.txt", &attributes).ok());
    EXPECT_EQ(attributes, kFileAttributeHidden);  // the same file came back
  }
}

TEST_F(ExpansionTest, ArchivesThatWouldYieldTooMuchAreRefusedBeforeAnythingIsWritten) {
  ASSERT_LT(Bomb().size(), 100u << 10);
  ExpectFailsWithoutTrace(Bomb(), kErrorInvalidData, "allowed for an archive of its size");
  // One entry past 512 MiB, whatever the archive's size.
  ExpectFailsWithoutTrace(BuildCabinet({{"a.txt", "abc", 0x20, int64_t{513} << 20}}),
                          kErrorInvalidData, "allowed for one file");
  // A small archive may still yield up to 16 MiB, however well it packs.
  ASSERT_TRUE(Expand(GcabArchive({{"zeros.bin", std::string(1 << 20, '\0')}})).ok());
  EXPECT_EQ(m_.ReadFile("C:\\Dest\\zeros.bin"), std::string(1 << 20, '\0'));
}

TEST_F(ExpansionTest, RightsAndFilesInUseApply) {
  const std::string archive = BuildCabinet({{"x.dll", "new"}});
  // A user who may not write in the destination (as a restricted user in
  // Program Files) gets nothing written, not even a folder.
  m_.machine().mutable_profile()->protected_folders.push_back("C:\\Program Files");
  m_.WriteFile("C:\\Arch\\a.cmp", BuildCabinet({{"sub\\x.dll", "new"}}));
  const Files before = HostTree(drive());
  EXPECT_EQ(ExpandPlaced(nullptr, "C:\\Program Files").code(), kErrorAccessDenied);
  EXPECT_TRUE(SameFiles(HostTree(drive()), before));

  EXPECT_EQ(Expand(archive, nullptr, "C:\\No\\Such").code(), kErrorPathNotFound);
  EXPECT_EQ(Expand(archive, nullptr, "C:\\bad|name").code(), kErrorInvalidName);
  // An archive another program holds exclusively cannot be read.
  m_.machine().mutable_profile()->files_in_use.push_back({"C:\\Arch\\a.cmp", true});
  EXPECT_EQ(Expand(archive).code(), kErrorSharingViolation);
}

TEST_F(ExpansionTest, AWriteThatFailsHalfwayKeepsTheOldFile) {
  const std::string archive = GcabArchive({{"big.bin", RandomBytes(300000, 6)}});
  m_.WriteFile("C:\\Arch\\a.cmp", archive);
  m_.WriteFile("C:\\Dest\\big.bin", "old");
  const Files before = HostTree(drive());
  // Files may grow to 200000 bytes: the entry's file fails halfway.
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  auto* handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = previous;
  small.rlim_cur = 200000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const Status s = ExpandPlaced();
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::signal(SIGXFSZ, handler);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("big.bin"), std::string::npos) << s.message();
  EXPECT_TRUE(SameFiles(HostTree(drive()), before));
}

class ExpandCompressedFileTest : public ExpansionTest {
 protected:
  ExpandCompressedFileTest() : saved_temp_(gsDirTemp) {
    gsDirTemp = "C:\\Quill\\Temp";
    m_.WriteFile("C:\\Quill\\Temp\\keep.txt", "kept");
  }
  ~ExpandCompressedFileTest() override { gsDirTemp = saved_temp_; }

  bool Run(const std::string& archive, std::string* reason = nullptr) {
    m_.WriteFile("C:\\Quill\\Temp\\x.dll.cmp", archive);
    return ExpandCompressedFile("C:\\Quill\\Temp\\x.dll.cmp", reason);
  }
  Files Temp() { return HostTree(m_.HostPath("C:\\Quill\\Temp")); }

  std::string saved_temp_;
};

TEST_F(ExpandCompressedFileTest, OnlyTheNamedFileIsTakenAndOnlyWhole) {
  const std::string bytes = RandomBytes(50000, 7);
  // Other entries, a folder's x.dll among them, are never written.
  const std::string good =
      GcabArchive({{"x.dll", bytes}, {"extra.txt", "e"}, {"sub/x.dll", "not this one"}});
  EXPECT_TRUE(Run(good));
  EXPECT_TRUE(SameFiles(Temp(), {{"keep.txt", "kept"}, {"x.dll", bytes}}));

  // A staged x.dll (say, the source of a replacement at the next start)
  // neither passes for the archive's file nor gets lost when it fails, and
  // nothing else is left behind.
  struct Case {
    std::string archive, reason;
  };
  const Case failing[] = {
      {good.substr(0, good.size() - 10), "damaged"},
      {GcabArchive({{"y.dll", "not the expected file"}}), "holds no file \"x.dll\""},
      {"not an archive", "not a cabinet"},
      // An entry read past counts against the bounds like one written.
      {Bomb(), "allowed"}};
  for (const Case& c : failing) {
    SCOPED_TRACE(c.reason);
    std::string reason;
    EXPECT_FALSE(Run(c.archive, &reason));
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    EXPECT_TRUE(
        SameFiles(Temp(), {{"keep.txt", "kept"}, {"x.dll", bytes}, {"x.dll.cmp", c.archive}}));
  }
  EXPECT_TRUE(Run(BuildCabinet({{"X.DLL", "newer"}})));
  EXPECT_EQ(Temp(), (Files{{"keep.txt", "kept"}, {"X.DLL", "newer"}}));

  m_.platform().new_expander = nullptr;  // no expansion component
  std::string reason;
  EXPECT_FALSE(Run(good, &reason));
  EXPECT_NE(reason.find("no expansion component"), std::string::npos);
  EXPECT_EQ(Temp(), (Files{{"keep.txt", "kept"}, {"X.DLL", "newer"}, {"x.dll.cmp", good}}));
}

// ---- What failed and killed steps leave ----

TEST(TempSweepTest, StartUpsDeleteTheControlsTemporariesThatNoOneHolds) {
  TestMachine m;
  ctlInit_V3 control;
  m.platform().new_data_space = nullptr;  // an online start-up ends after the folders
  const std::vector<std::function<void()>> start_ups = {
      [&] { control.Startup("http://f.test/", "http://bo.test/", "K", "u", "p", "1", false); },
      [&] { control.StartupLocal("C:\\Nowhere"); }};
  for (const auto& start_up : start_ups) {
    InitFolders();
    const std::string temp = gsDirTemp + "\\";
    const Files kept = {{"keep.txt", "x"},          {"~qvx.txt", "x"},        {"a~qvx1_0.tmp", "x"},
                        {"~qvdir.tmp/in.txt", "x"}, {"sub/~qvx1_0.tmp", "x"}, {"~qvd5_0.tmp", ""}};
    for (const auto& [name, bytes] : kept) m.WriteFile(temp + name, bytes);
    m.WriteFile(temp + "~qvx123_0.tmp", "left by a killed run");
    m.WriteFile(temp + "~QVD77_body.TMP", "left by a failed download");
    // A live writer's file, held open through the machine's file system.
    std::unique_ptr<WritableFile> writer;
    ASSERT_TRUE(m.platform()
                    .files->NewWritableFile(temp + "~qvd5_0.tmp", OpenMode::kCreateAlways, &writer)
                    .ok());
    start_up();
    EXPECT_EQ(HostTree(m.HostPath(gsDirTemp)), kept);
    writer.reset();
    start_up();
    EXPECT_FALSE(m.Exists(temp + "~qvd5_0.tmp"));
    testing::RemoveTree(m.HostPath(gsDirTemp));
  }
}

}  // namespace
}  // namespace qv
