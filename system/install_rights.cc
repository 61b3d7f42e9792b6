// HasInstallRights: finds out, by trying, whether the user may install.
//
// The probe writes and removes a test key and value in each registry area
// that component registration and program settings use, then creates and
// removes a test folder with a test file below the program-files folder and a
// test file in the system folder. It answers true only when every step
// worked, and shows nothing.
//
// What it leaves behind:
//   - When it answers true, the machine is as it was, except that test keys
//     and test files of an earlier probe are gone.
//   - When a step fails, it undoes what it did itself: the test value it
//     wrote, the test key and any key levels above it that creating the key
//     made, the test file and the test folder it created. Only what the
//     machine will not let it remove stays (a test file that another program
//     holds, say); the next probe clears that.
//   - A test folder left by an earlier probe does not decide the answer: it
//     is removed first when it is empty or holds only the test file. A folder
//     of that name that holds anything else is left untouched, and the probe
//     answers false because it cannot make its own.
//
// Runs on the UI thread, through CurrentPlatform() and the registry
// operations of modRegistry.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "system/modRegistry.h"

namespace qv {

namespace {

constexpr char kTestName[] = "QVTest";  // last level of every test key; the test folder
constexpr char kTestValueName[] = "QVTestVal";
constexpr char kTestValueData[] = "TestVal";
constexpr char kTestFileName[] = "QVTest.dat";

// The system folder is read into a buffer of this many characters.
constexpr uint32_t kFolderBufferSize = 255;

// The registry operations of one root.
struct RootOps {
  RegHandle root;
  bool (*create_key)(const std::string&);
  bool (*set_value)(const std::string&, const std::string&, const std::string&);
  bool (*delete_value)(const std::string&, const std::string&);
  bool (*delete_key)(const std::string&);
};

constexpr RootOps kClassesRoot = {kHkeyClassesRoot, CreateKeyHKCR, SetStringValueHKCR,
                                  DeleteValueHKCR, DeleteKeyHKCR};
constexpr RootOps kLocalMachine = {kHkeyLocalMachine, CreateKeyHKLM, SetStringValueHKLM,
                                   DeleteValueHKLM, DeleteKeyHKLM};

struct TestKey {
  const RootOps* ops;
  const char* parent;  // the key's path without its last level, "" below the root
};

// The nine test keys, in the order they are tried: the areas where
// components register (classes, class ids, type libraries, interfaces),
// seen through both roots, and the program settings.
constexpr TestKey kTestKeys[] = {
    {&kClassesRoot, ""},
    {&kClassesRoot, "CLSID"},
    {&kClassesRoot, "TypeLib"},
    {&kClassesRoot, "Interface"},
    {&kLocalMachine, "SOFTWARE\\Classes"},
    {&kLocalMachine, "SOFTWARE\\Classes\\CLSID"},
    {&kLocalMachine, "SOFTWARE\\Classes\\TypeLib"},
    {&kLocalMachine, "SOFTWARE\\Classes\\Interface"},
    {&kLocalMachine, "SOFTWARE"},
};

bool KeyExists(RegHandle root, const std::string& key_name) {
  Platform& platform = CurrentPlatform();
  RegHandle key = 0;
  if (platform.registry->OpenKeyEx(root, platform.codec->ToAnsi(key_name), 0, kKeyRead, &key) !=
      kErrorSuccess) {
    return false;
  }
  platform.registry->CloseKey(key);
  return true;
}

// Creates the test key, writes the test value into it, deletes the value and
// deletes the key. When a step fails, removes what this call made: the test
// value, the key when it was not there before, and the levels above it that
// creating it made.
bool ProbeKey(const TestKey& test_key) {
  const RootOps& ops = *test_key.ops;
  const std::string parent = test_key.parent;
  const std::string key = parent.empty() ? kTestName : parent + "\\" + kTestName;

  // Creating the key makes every missing level above it; those are noted
  // (deepest first) so that they can go again afterwards.
  std::vector<std::string> made_levels;
  for (std::string level = parent; !level.empty() && !KeyExists(ops.root, level);) {
    made_levels.push_back(level);
    const size_t cut = level.rfind('\\');
    level.resize(cut == std::string::npos ? 0 : cut);
  }
  // A test key left by an earlier probe does not disturb this one: creating
  // it succeeds, and it is deleted with the rest.
  const bool key_existed = made_levels.empty() && KeyExists(ops.root, key);

  bool ok = false;
  if (ops.create_key(key)) {
    bool value_written = false;
    if (ops.set_value(key, kTestValueName, kTestValueData)) {
      value_written = true;
      if (ops.delete_value(key, kTestValueName)) {
        value_written = false;
        ok = ops.delete_key(key);
      }
    }
    if (!ok) {
      // Deleting a key takes its values with it; a key that was there before
      // keeps everything but the test value.
      if (!key_existed) {
        ops.delete_key(key);
      } else if (value_written) {
        ops.delete_value(key, kTestValueName);
      }
    }
  }
  for (const std::string& level : made_levels) ops.delete_key(level);
  return ok;
}

bool NamesMatch(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Removes a test folder that an earlier probe left: an empty one, or one that
// holds only the test file. A folder that holds anything else, or a file of
// that name, stays as it is.
void ClearLeftoverTestFolder(FileSystem& files, const std::string& folder) {
  uint32_t attributes = 0;
  if (!files.GetFileAttributes(folder, &attributes).ok() ||
      !(attributes & kFileAttributeDirectory)) {
    return;
  }
  std::vector<DirEntry> entries;
  if (!files.ListDirectory(folder, &entries).ok()) return;
  for (const DirEntry& entry : entries) {
    if (entry.is_directory || !NamesMatch(entry.name, kTestFileName)) return;
  }
  if (!entries.empty()) files.DeleteFile(folder + "\\" + kTestFileName);
  files.RemoveDirectory(folder);
}

// Creates (or truncates) a file for reading and writing without sharing, and
// closes it again.
bool CreateTestFile(FileSystem& files, const std::string& path) {
  std::unique_ptr<WritableFile> file;
  if (!files.NewWritableFile(path, OpenMode::kCreateAlways, &file).ok()) return false;
  file->Close();
  return true;
}

// Creates the test folder below the program-files folder, the test file in
// it, and removes both again. When the program-files folder cannot be read,
// works on the test folder at the root of the current drive.
bool ProbeProgramFilesFolder() {
  FileSystem& files = *CurrentPlatform().files;
  const std::string program_files =
      GetStringValueHKLM("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
  const std::string folder = program_files + "\\" + kTestName;
  const std::string file = folder + "\\" + kTestFileName;

  ClearLeftoverTestFolder(files, folder);
  if (!files.CreateDirectory(folder).ok()) return false;
  if (!CreateTestFile(files, file)) {
    files.RemoveDirectory(folder);
    return false;
  }
  // A test file that cannot be deleted keeps the folder too; the next probe
  // clears both.
  if (!files.DeleteFile(file).ok()) return false;
  return files.RemoveDirectory(folder).ok();
}

// Creates the test file in the system folder (replacing one that is there)
// and deletes it again.
bool ProbeSystemFolder() {
  Platform& platform = CurrentPlatform();
  char buffer[kFolderBufferSize];
  std::memset(buffer, 0, sizeof(buffer));
  platform.system->GetSystemDirectory(buffer, kFolderBufferSize);
  const std::string system_folder =
      platform.codec->FromAnsi(std::string(buffer, strnlen(buffer, sizeof(buffer))));
  const std::string file = system_folder + "\\" + kTestFileName;

  // A test file there that cannot be replaced was not made by this probe and
  // stays; one that was replaced is this probe's own.
  if (!CreateTestFile(*platform.files, file)) return false;
  return platform.files->DeleteFile(file).ok();
}

}  // namespace

bool HasInstallRights() {
  for (const TestKey& test_key : kTestKeys) {
    if (!ProbeKey(test_key)) return false;
  }
  return ProbeProgramFilesFolder() && ProbeSystemFolder();
}

}  // namespace qv
