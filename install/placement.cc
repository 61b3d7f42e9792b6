// Placement of a staged file by its install type, and the replacement of a
// file in use at the next start of the machine.
//
//   type 1  replace; registered with the Common folder's regsvr32.exe at once,
//           or through a RunOnceEx entry when the replacement waits for the
//           next start
//   type 2  replace
//   type 3  start the file as a program (minimised, with focus), no waiting
//   type 4  run the file as a runtime package and wait; the known packages
//           get their own arguments and may ask for a restart (exit 3010)
//   type 5  replace, then write the version side file (path & ".ver")
//   other   nothing; the staged file stays in the temp folder
//
// gbRebootNeeded is raised when a replacement was deferred (types 1, 2, 5)
// and when a known package exits with 3010. It is never lowered here.
//
// How a replacement goes:
//  - A missing source places nothing and defers nothing.
//  - A target that is there is replaced (its read-only, hidden and system
//    attributes cleared first) without ever deleting the old file before the
//    new one is in place: in one step on NT; on 9x, which has no replacing
//    move, by moving the old file aside and back again when the new one
//    cannot follow. When the replacement fails the target is held
//    by another program (or otherwise cannot be replaced now): the move is
//    recorded for the next start, by the running family's own mechanism (NT:
//    a move delayed until restart; 9x: a line in wininit.ini), and the source
//    stays in the temp folder until then. The target keeps normal attributes
//    so that the move at the next start is not refused.
//  - A missing target is a plain move; when that fails (the folder is
//    missing, no rights, the disk is full) nothing is placed.
//  - Whether a file is there is judged by its attributes, never by opening
//    it: a file held exclusively by a running program cannot be opened but is
//    still there, and must be deferred like any other file in use.
//  - When the move for the next start cannot be recorded (wininit.ini cannot
//    be written, the delayed-move list is out of reach), the old target is
//    left exactly as it was and nothing else is done for the file: no
//    restart is asked for, since it would change nothing.
//
// Nothing here reports to the user or ends the run: a program that cannot be
// started, a side file that cannot be written, a failing regsvr32 or a
// registry write that fails leave the run going on with the next record.
// A file that was not placed gets no side file, so that the next run still
// sees the old version and fetches the file again.
//
// Program paths in command lines are quoted: the Common and temp folders lie
// below "Program Files", and an unquoted path with blanks would start
// another program (C:\Program.exe) or none.
//
// Runs on the control's thread, through the current platform.
#include <cstdint>
#include <memory>
#include <string>

#include "install/modInstall.h"
#include "platform/platform.h"
#include "state/module_state.h"
#include "system/modRegistry.h"

namespace qv {
namespace {

constexpr char kRunOnceExKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";
constexpr char kWininitName[] = "\\wininit.ini";
constexpr char kLineEnd[] = "\r\n";
// Where the 9x family keeps an old file while the new one moves in.
constexpr char kAsideSuffix[] = ".qvold";

// The platform's exit code for "succeeded, restart required".
constexpr int32_t kExitSuccessRebootRequired = 3010;

// A runtime package of install type 4: found by name anywhere in the
// upper-cased source path, first row first.
struct RuntimePackage {
  const char* name;
  const char* arguments;  // appended to the quoted source path
};

constexpr RuntimePackage kRuntimePackages[] = {
    {"MDAC_TYP.EXE", " /q:a /c:\"dasetup.exe /q /n\""},
    {"JET40SP3_COMP.EXE", ""},
    {"VBRUN60", " /Q"},
};

constexpr uint32_t kSpecialAttributes =
    kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem;

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Text for a file's contents, in the machine's code page.
std::string ToFileText(const std::string& text) {
  const TextCodec* codec = CurrentPlatform().codec;
  return codec == nullptr ? text : codec->ToAnsi(text);
}

// Whether something is at path; its attributes in *attributes.
bool Exists(FileSystem& files, const std::string& path, uint32_t* attributes) {
  uint32_t a = 0;
  if (!files.GetFileAttributes(path, &a).ok()) return false;
  if (attributes != nullptr) *attributes = a;
  return true;
}

bool IsFolder(uint32_t attributes) { return (attributes & kFileAttributeDirectory) != 0; }

// What an existing wininit.ini ends with: whether its last byte ends a line
// (an empty file counts as ending with one), and whether its last section
// header is "[rename]". Lines are read as the next start reads them: split at
// line feeds, blanks and tabs around them ignored, a header being a line that
// starts with "[" and names its section up to "]", compared without regard
// to case. The file is searched backwards from its end, so a long file costs
// only what lies after its last header. A file that cannot be read counts as
// ending with a line break and without a "[rename]" section.
struct WininitTail {
  bool ends_with_line_break = true;
  bool in_rename_section = false;
};

// Whether the line at the start of text (up to a line feed) is a section
// header: *is_header, and whether it names "rename".
bool ReadHeaderLine(const std::string& text, bool* is_header) {
  size_t i = text.find_first_not_of(" \t");
  *is_header = i != std::string::npos && text[i] == '[';
  if (!*is_header) return false;
  size_t end = text.find_first_of("]\n", i + 1);
  if (end == std::string::npos) end = text.size();
  std::string name = text.substr(i + 1, end - i - 1);
  if (end < text.size() && text[end] == '\n' && !name.empty() && name.back() == '\r') {
    name.pop_back();
  }
  const size_t first = name.find_first_not_of(" \t");
  const size_t last = name.find_last_not_of(" \t");
  name = first == std::string::npos ? "" : name.substr(first, last - first + 1);
  return UpperCase(name) == "RENAME";
}

WininitTail ReadWininitTail(FileSystem& files, const std::string& path) {
  WininitTail tail;
  std::unique_ptr<RandomAccessFile> file;
  if (!files.NewRandomAccessFile(path, &file).ok() || file == nullptr) return tail;
  const uint64_t size = file->Size();
  if (size == 0) return tail;
  // A header is judged by its first bytes; a longer one names no section
  // that the start takes up.
  constexpr size_t kHeaderBytes = 512;
  constexpr size_t kBlockSize = 64 * 1024;
  std::string block(kBlockSize, '\0');
  std::string head(kHeaderBytes, '\0');

  // Judges the line that starts at offset; true once a header was found.
  auto header_at = [&](uint64_t offset, uint64_t block_begin, uint64_t block_end) {
    std::string line;
    if (offset + kHeaderBytes <= block_end) {
      line = block.substr(static_cast<size_t>(offset - block_begin), kHeaderBytes);
    } else {
      size_t got = 0;
      if (!file->Read(offset, kHeaderBytes, reinterpret_cast<uint8_t*>(head.data()), &got).ok()) {
        return false;
      }
      line = head.substr(0, got);
    }
    bool is_header = false;
    const bool rename = ReadHeaderLine(line, &is_header);
    if (is_header) tail.in_rename_section = rename;
    return is_header;
  };

  for (uint64_t end = size; end > 0;) {
    const uint64_t begin = end > kBlockSize ? end - kBlockSize : 0;
    size_t got = 0;
    if (!file->Read(begin, static_cast<size_t>(end - begin),
                    reinterpret_cast<uint8_t*>(block.data()), &got)
             .ok() ||
        got != end - begin) {
      return WininitTail{};
    }
    if (end == size) {
      const char last = block[got - 1];
      tail.ends_with_line_break = last == '\n';
    }
    // The lines that start after a line feed of this block, last one first.
    for (size_t i = got; i-- > 0;) {
      if (block[i] != '\n') continue;
      const uint64_t start = begin + i + 1;
      if (start < size && header_at(start, begin, end)) return tail;
    }
    if (begin == 0 && header_at(0, begin, end)) return tail;
    end = begin;
  }
  return tail;
}

// Appends the rename entry to wininit.ini. False when it could not be
// written (the entry is then not there, or only in part on a full disk).
bool AppendWininitRename(const std::string& source_path, const std::string& target_path) {
  FileSystem* files = CurrentPlatform().files;
  if (files == nullptr) return false;
  // Both sides must have a short form: without one the line could not name
  // the file, and the start would not carry it out.
  const std::string short_target = GetShortPath(target_path);
  const std::string short_source = GetShortPath(source_path);
  if (short_target.empty() || short_source.empty()) return false;

  const std::string path = gsDirWindows + kWininitName;
  const bool existed = Exists(*files, path, nullptr);
  const WininitTail tail = existed ? ReadWininitTail(*files, path) : WininitTail{};
  std::string text;
  if (!tail.ends_with_line_break) {
    // The file is only ever appended to; an entry glued to an unfinished last
    // line would be lost, so it starts a line of its own.
    text = kLineEnd;
  }
  // Only the lines of a "[rename]" section are taken up at the next start:
  // an entry under another section (or before any) would never be carried
  // out, so a header goes first unless the file already ends in that section.
  if (!tail.in_rename_section) text += std::string("[rename]") + kLineEnd;
  text += short_target + "=" + short_source + kLineEnd;

  std::unique_ptr<WritableFile> file;
  if (!files->NewWritableFile(path, OpenMode::kAppend, &file).ok() || file == nullptr) {
    return false;
  }
  const std::string bytes = ToFileText(text);
  const bool appended = file->Append(bytes.data(), bytes.size()).ok();
  const bool closed = file->Close().ok();
  file.reset();
  // A wininit.ini made here but left without its header would hide every
  // later entry: it goes again.
  if (!appended && !existed) files->DeleteFile(path);
  return appended && closed;
}

// Puts source_path in the place of the existing file target_path. The NT
// family does it in one step. The 9x family has no move that replaces, so
// the old file is first moved aside, and moved back when the new one cannot
// follow; it is deleted only once the new file is in place. False when the
// old file is still where it was.
bool ReplaceExistingFile(FileSystem& files, const std::string& source_path,
                         const std::string& target_path) {
  if (IsWindowsNT()) {
    return files
        .MoveFileEx(source_path, target_path, kMoveFileReplaceExisting | kMoveFileCopyAllowed)
        .ok();
  }
  const std::string aside = target_path + kAsideSuffix;
  // One left behind by an interrupted run goes first.
  if (Exists(files, aside, nullptr) && !files.DeleteFile(aside).ok()) return false;
  if (!files.MoveFile(target_path, aside).ok()) return false;
  if (!files.MoveFile(source_path, target_path).ok()) {
    files.MoveFile(aside, target_path);
    return false;
  }
  files.DeleteFile(aside);
  return true;
}

// Records the replacement of target_path by source_path for the next start
// of the machine. False when it could not be recorded.
bool DeferReplacement(FileSystem& files, const std::string& source_path,
                      const std::string& target_path) {
  if (IsWindowsNT()) {
    return files
        .MoveFileEx(source_path, target_path, kMoveFileReplaceExisting | kMoveFileDelayUntilReboot)
        .ok();
  }
  return AppendWininitRename(source_path, target_path);
}

// Writes the version side file target_path & ".ver": one line, the version.
// A side file that cannot be written completely is removed, so that it never
// names a version that was not written whole.
void WriteVersionSideFile(const std::string& target_path, const std::string& file_version) {
  FileSystem* files = CurrentPlatform().files;
  if (files == nullptr) return;
  const std::string path = target_path + ".ver";
  uint32_t attributes = 0;
  if (Exists(*files, path, &attributes) && (attributes & kSpecialAttributes) != 0) {
    files->SetFileAttributes(path, kFileAttributeNormal);
  }
  files->DeleteFile(path);

  std::unique_ptr<WritableFile> file;
  if (!files->NewWritableFile(path, OpenMode::kCreateAlways, &file).ok() || file == nullptr) {
    return;
  }
  const std::string bytes = ToFileText(file_version + kLineEnd);
  const bool appended = file->Append(bytes.data(), bytes.size()).ok();
  const bool closed = file->Close().ok();
  if (!appended || !closed) files->DeleteFile(path);
}

// Starts the program without waiting, minimised with focus. A program that
// cannot be started is left alone: the run goes on.
void StartProgram(const std::string& source_path) {
  ProcessLauncher* processes = CurrentPlatform().processes;
  if (processes == nullptr) return;
  std::unique_ptr<Process> process;
  processes->CreateProcess(Quoted(source_path), WindowStyle::kMinimizedFocus, &process);
  // Dropping the process leaves the program running on its own.
}

// Runs a runtime package to completion; a known package exiting with 3010
// asks for a restart.
void RunPackage(const std::string& source_path) {
  const std::string upper = UpperCase(source_path);
  const RuntimePackage* package = nullptr;
  for (const RuntimePackage& candidate : kRuntimePackages) {
    if (upper.find(candidate.name) != std::string::npos) {
      package = &candidate;
      break;
    }
  }
  const std::string command_line =
      Quoted(source_path) + (package != nullptr ? package->arguments : "");
  const int32_t exit_code = RunAndWait(command_line);
  if (package != nullptr && exit_code == kExitSuccessRebootRequired) gbRebootNeeded = true;
}

}  // namespace

bool ClearTargetFile(const std::string& path) {
  FileSystem* files = CurrentPlatform().files;
  if (files == nullptr) return false;
  uint32_t attributes = 0;
  if (!Exists(*files, path, &attributes)) return true;
  if (IsFolder(attributes)) return false;
  files->SetFileAttributes(path, kFileAttributeNormal);
  if (files->DeleteFile(path).ok()) return true;
  // Still there: it keeps the attributes it had.
  if (attributes != kFileAttributeNormal) files->SetFileAttributes(path, attributes);
  return false;
}

ReplaceOutcome ReplaceTargetFile(const std::string& source_path, const std::string& target_path) {
  FileSystem* files = CurrentPlatform().files;
  if (files == nullptr) return ReplaceOutcome::kFailed;
  uint32_t source_attributes = 0;
  if (!Exists(*files, source_path, &source_attributes) || IsFolder(source_attributes)) {
    return ReplaceOutcome::kFailed;
  }

  uint32_t target_attributes = 0;
  if (!Exists(*files, target_path, &target_attributes)) {
    return files->MoveFile(source_path, target_path).ok() ? ReplaceOutcome::kReplaced
                                                          : ReplaceOutcome::kFailed;
  }
  // A folder of that name is not a file in use: nothing can replace it.
  if (IsFolder(target_attributes)) return ReplaceOutcome::kFailed;

  const bool special = (target_attributes & kSpecialAttributes) != 0;
  if (special) files->SetFileAttributes(target_path, kFileAttributeNormal);
  if (ReplaceExistingFile(*files, source_path, target_path)) return ReplaceOutcome::kReplaced;
  if (DeferReplacement(*files, source_path, target_path)) return ReplaceOutcome::kDeferred;
  if (special) files->SetFileAttributes(target_path, target_attributes);
  return ReplaceOutcome::kFailed;
}

void AddWininitRename(const std::string& source_path, const std::string& target_path) {
  AppendWininitRename(source_path, target_path);
}

void AddRunOnceExRegistration(const std::string& target_path) {
  // Opens the existing key only: without it no entry is made.
  SetStringValueHKLM(kRunOnceExKey, "QV" + target_path, target_path + "|DllRegisterServer");
}

void RegisterWithRegsvr32(const std::string& target_path) {
  RunAndWait(Quoted(gsDirCommon + "\\regsvr32.exe") + " /s " + Quoted(target_path));
}

void PlaceFile(const std::string& source_path, int16_t install_type, const std::string& target_path,
               const std::string& file_version) {
  switch (install_type) {
    case itReplaceRegister: {
      const ReplaceOutcome outcome = ReplaceTargetFile(source_path, target_path);
      if (outcome == ReplaceOutcome::kReplaced) {
        RegisterWithRegsvr32(target_path);
      } else if (outcome == ReplaceOutcome::kDeferred) {
        AddRunOnceExRegistration(target_path);
        gbRebootNeeded = true;
      }
      break;
    }
    case itReplace:
      if (ReplaceTargetFile(source_path, target_path) == ReplaceOutcome::kDeferred) {
        gbRebootNeeded = true;
      }
      break;
    case itRun:
      StartProgram(source_path);
      break;
    case itRunPackage:
      RunPackage(source_path);
      break;
    case itReplaceVersioned: {
      const ReplaceOutcome outcome = ReplaceTargetFile(source_path, target_path);
      if (outcome == ReplaceOutcome::kFailed) break;
      if (outcome == ReplaceOutcome::kDeferred) gbRebootNeeded = true;
      // Written at once, also when the file itself arrives at the next start.
      WriteVersionSideFile(target_path, file_version);
      break;
    }
    default:
      break;
  }
}

}  // namespace qv
