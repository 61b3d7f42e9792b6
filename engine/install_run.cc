// The install run: ctlInit_V3::tmrComInstall_Timer walks the install list.
//
// A tick disables the timer, then handles records until one needs a transfer
// (the transfer's completion enables the timer again), a developer record is
// skipped (the timer is enabled at once, one such record per tick), the run
// halts for want of install rights, or the list ends ("Initialization
// complete.", then Done or the restart question). Records that need no
// transfer (current files, launch records, files copied from a local folder)
// are handled within the same tick.
//
// Modes: online (files come by HTTP and are installed), local (files are
// copied from a folder and installed) and copy-only (every listed file, after
// a setup page and the local cabinet, is gathered below the copy folder;
// nothing is version-tested or installed).
//
// Records are input from outside. A record that lacks a required field, or
// whose FileName would lead out of the folder it is appended to, is refused
// with a message box and the run goes on with the next record. The same holds
// for a DownloadLocation that is copied from or into a folder (local and
// copy-only runs), checked only for a record that is to be fetched: online it
// is just the end of an address.
//
// Runs on the control's thread. Message boxes and the install routine can
// let the host call a start-up again; when that start-up replaces the list
// the tick stops at once, since the new run owns the list and the timer.
#include <cstdint>
#include <memory>
#include <string>

#include "control/ctlInit_V3.h"
#include "engine/served_file_check.h"
#include "install/modInstall.h"
#include "installlist/install_list.h"
#include "platform/platform.h"
#include "platform/recordset.h"
#include "state/module_state.h"
#include "system/modRegistry.h"
#include "system/modShutdown.h"

namespace qv {
namespace {

constexpr char kCr[] = "\r";
constexpr char kOtherFilesLine[] =
    "Installation of other files will be completed, but this may cause future errors.";

constexpr char kSetupPagePath[] = "/installs/setup.html";
constexpr char kSetupPageName[] = "setup.html";
constexpr char kLocalCabinetPath[] = "/installs/QV_InitLocal_V3.CAB";
// The local cabinet is kept under the name the setup page refers to.
constexpr char kLocalCabinetName[] = "QV_Init_V3.CAB";
// The prelude is over once this step is reached.
constexpr int16_t kPreludeDone = 3;

constexpr char kProcessingCaption[] = "Processing...";
constexpr char kDownloadingCaption[] = "Downloading and Installing: ";
constexpr char kCompleteMessage[] = "Initialization complete.";

// True when path, appended to a folder, names a place inside that folder:
// it is not empty, holds no colon (a drive such as "X:", or a stream name)
// and no control character, does not start with a separator, and no
// component between separators ("\" or "/") consists of dots and blanks
// alone (".." steps out; Windows drops trailing dots and blanks, so "..."
// and ".. " would too).
bool StaysInsideFolder(const std::string& path) {
  if (path.empty() || path[0] == '\\' || path[0] == '/') return false;
  size_t component_start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    const bool at_end = i == path.size();
    if (!at_end) {
      const unsigned char c = static_cast<unsigned char>(path[i]);
      if (c == ':' || c < 0x20) return false;
      if (c != '\\' && c != '/') continue;
    }
    const std::string component = path.substr(component_start, i - component_start);
    if (!component.empty() && component.find_first_not_of(". ") == std::string::npos) {
      return false;
    }
    component_start = i + 1;
  }
  return true;
}

// Copies source to staged. A staging file that is there may be named by a
// replacement deferred to the next start, so it is never written in place:
// the copy goes to a temporary of its own in the temp folder
// ("~qvl<pid>_<n>.tmp", removed by the clean-up at the next start-up when a
// killed run left it) and replaces it whole. Where there is none yet, nothing
// can name it, and the copy goes there directly.
//
// When the record states the file's size or digest, the copy always goes to
// a temporary, and one that does not match is deleted there: *mismatched,
// and false.
bool CopyToStaging(FileSystem& files, uint32_t pid, const std::string& source,
                   const std::string& staged, const InstallRecord& record, bool* mismatched) {
  *mismatched = false;
  uint32_t attributes = 0;
  if (!record.HasServedFileCheck() && !files.GetFileAttributes(staged, &attributes).ok()) {
    return files.CopyFile(source, staged, /*fail_if_exists=*/true).ok();
  }
  static uint32_t counter = 0;
  const std::string temp =
      gsDirTemp + "\\~qvl" + std::to_string(pid) + "_" + std::to_string(counter++) + ".tmp";
  if (files.CopyFile(source, temp, false).ok()) {
    *mismatched = !FileMatches(files, temp, record.file_size, record.file_sha256);
    if (!*mismatched && files.MoveFileEx(temp, staged, kMoveFileReplaceExisting).ok()) return true;
  }
  files.DeleteFile(temp);
  return false;
}

std::string OutsideFolderText(const std::string& file_name, const std::string& path) {
  return "The file " + file_name + " was not installed: its path " + path +
         " leads outside its folder." + kCr + kOtherFilesLine;
}

}  // namespace

void ctlInit_V3::FinishRun() {
  run_ended_ = true;
  SetMessage(kCompleteMessage);
  SetFrameCaption("");
  if (!gbRebootNeeded) {
    RaiseEvent(ControlEvent::kDone);
    return;
  }
  const int answer = CurrentPlatform().ui->MessageBox(
      std::string("This installation requires a system reboot.") + kCr +
          "Do you wish to have the system automatically reboot now?",
      kMbYesNo | kMbIconExclamation, "");
  if (answer == kIdYes) {
    RestartWindows();
    RaiseEvent(ControlEvent::kReboot);
  } else {
    RaiseEvent(ControlEvent::kDone);
  }
}

void ctlInit_V3::tmrComInstall_Timer() {
  tmrComInstall->SetEnabled(false);
  // No start-up has handed over a list: there is no run to carry on.
  if (mrsInstallList == nullptr) return;
  // A start-up made while the loop ran (in a message box, or in a handler of
  // Done) owns the list and the timer from then on.
  const uint64_t generation = run_generation();
  while (true) {
    SetCurrentWidth(0);
    if (mrsInstallList->Eof()) {
      FinishRun();
      return;
    }
    Recordset& list = *mrsInstallList;
    const RecordStep step = HandleRecord(generation);
    if (step == RecordStep::kStop) return;
    if (step == RecordStep::kSame) continue;
    list.MoveNext();
    if (step == RecordStep::kNextTick) tmrComInstall->SetEnabled(true);
    if (step != RecordStep::kNext) return;
  }
}

ctlInit_V3::RecordStep ctlInit_V3::HandleRecord(uint64_t generation) {
  Recordset& list = *mrsInstallList;
  // Copy-only prelude: the setup page and the local cabinet come first,
  // while the first record stays current.
  if (list.AbsolutePosition() == 1 && miPreludeStep < kPreludeDone && mbCopyOnly) {
    return RunPreludeStep();
  }
  SetTotalWidth(static_cast<float>(static_cast<double>(Panel::kTotalBarScale) /
                                   list.recordcount() * list.AbsolutePosition()));

  InstallRecord record;
  const Status read = ReadInstallRecord(list, &record);
  // Developer skip: one product component per tick.
  if (record.is_qv_object && mbDevLogin && !mbCopyOnly) return RecordStep::kNextTick;
  if (!read.ok()) {
    return RefuseRecord("An entry of the install list cannot be used: " + read.message() + kCr +
                            kOtherFilesLine,
                        generation);
  }
  if (!StaysInsideFolder(record.file_name)) {
    return RefuseRecord(OutsideFolderText(record.file_name, record.file_name), generation);
  }

  mbIsFont = false;
  msTargetPath = ResolveInstallLocation(record.install_location, &mbIsFont);
  if (record.IsLaunchRecord() && !gbRebootNeeded && !mbLocalMode && !mbCopyOnly) {
    LaunchProgram(record);
    return RecordStep::kNext;
  }
  TakeRecord(record);
  if (!IsNewerVersion(msInstalledVersion, msFileVersion) && !mbCopyOnly) {
    SetFrameCaption(kProcessingCaption);
    return RecordStep::kNext;
  }
  if (!gbHasInstallRights) {
    ShowNoInstallRights();
    return RecordStep::kStop;
  }
  // Online, the download location is only the end of an address. Copied
  // from a folder, or gathered into one, it becomes a path below that
  // folder, and must stay there.
  if ((mbLocalMode || mbCopyOnly) && !StaysInsideFolder(record.download_location)) {
    return RefuseRecord(OutsideFolderText(record.file_name, record.download_location),
                        generation);
  }
  return FetchRecord(record, generation);
}

ctlInit_V3::RecordStep ctlInit_V3::RunPreludeStep() {
  mbIsCompressed = false;
  // The prelude's files are in no record: nothing states what they are.
  file_size_ = -1;
  file_sha256_.clear();
  ++miPreludeStep;
  if (miPreludeStep == 1) {
    msFileName = kSetupPageName;
    msTargetPath = kSetupPageName;
    StartTransfer(prelude_server() + kSetupPagePath);
    return RecordStep::kStop;
  }
  if (miPreludeStep == 2) {
    msFileName = kLocalCabinetName;
    msTargetPath = kLocalCabinetName;
    StartTransfer(prelude_server() + kLocalCabinetPath);
    return RecordStep::kStop;
  }
  return RecordStep::kSame;
}

ctlInit_V3::RecordStep ctlInit_V3::RefuseRecord(const std::string& text, uint64_t generation) {
  CurrentPlatform().ui->MessageBox(text, kMbOk, "");
  return run_generation() == generation ? RecordStep::kNext : RecordStep::kStop;
}

void ctlInit_V3::LaunchProgram(const InstallRecord& record) {
  // Started once every file is in place, unless a restart is pending; the
  // program path is quoted since the product folders lie below "Program
  // Files".
  const std::string command_line = "\"" + msTargetPath + "\\" + record.file_name + "\"" + " " +
                                   msServerURL + " " + msLoginID;
  std::unique_ptr<Process> process;
  // A program that cannot be started is passed over.
  CurrentPlatform().processes->CreateProcess(command_line, WindowStyle::kNormalFocus, &process);
}

void ctlInit_V3::TakeRecord(const InstallRecord& record) {
  msTargetPath = mbCopyOnly ? record.download_location : msTargetPath + "\\" + record.file_name;
  msFileName = record.file_name;
  miInstallType = record.install_type;
  msFileVersion = record.file_version;
  ReadInstalledVersion(record);
}

void ctlInit_V3::ReadInstalledVersion(const InstallRecord& record) {
  if (record.HasRegistryCheck()) {
    msInstalledVersion = GetStringValueHKLM(record.alt_check, record.alt_check_reg_value);
  } else if (record.HasFileCheck()) {
    msInstalledVersion = GetFileVersionString(ExpandPathTokens(record.alt_check));
  } else {
    msInstalledVersion = GetFileVersionString(msTargetPath);
  }
  // A font that is there is never replaced.
  if (mbIsFont && !mbCopyOnly) {
    uint64_t size = 0;
    if (CurrentPlatform().files->GetFileSize(msTargetPath, &size).ok()) {
      msInstalledVersion = msFileVersion;
    }
  }
}

void ctlInit_V3::ShowNoInstallRights() {
  CurrentPlatform().ui->MessageBox(
      std::string("This program cannot continue.  You do not have enough rights to install "
                  "files.") +
          kCr + kCr +
          "Please contact your system administrator to give you additional rights to "
          "install programs.",
      kMbIconCritical, "Critical Error");
}

ctlInit_V3::RecordStep ctlInit_V3::FetchRecord(const InstallRecord& record,
                                               uint64_t generation) {
  SetFrameCaption(kDownloadingCaption + record.description);
  Repaint();
  mbIsCompressed = record.is_compressed;
  file_size_ = record.file_size;
  file_sha256_ = record.file_sha256;
  if (mbLocalMode && !mbCopyOnly) {
    CopyLocalFile(record);
    return run_generation() == generation ? RecordStep::kNext : RecordStep::kStop;
  }
  StartTransfer(msDownloadLocation + record.download_location);
  // The list may be another run's by now (a message box ran the loop).
  return run_generation() == generation ? RecordStep::kNextLater : RecordStep::kStop;
}

void ctlInit_V3::CopyLocalFile(const InstallRecord& record) {
  Platform& platform = CurrentPlatform();
  const std::string source = msDownloadLocation + record.download_location;
  const std::string staged = gsDirTemp + "\\" + msFileName + (record.is_compressed ? ".cmp" : "");
  bool mismatched = false;
  if (CopyToStaging(*platform.files, platform.system->GetCurrentProcessId(), source, staged,
                    record, &mismatched)) {
    InstallCurrentFile();
  } else if (mismatched) {
    ShowMismatchedFile(source, false);
  } else {
    // A file of that name left in the temp folder is not this one.
    ShowMissingFile(source);
  }
}

}  // namespace qv
