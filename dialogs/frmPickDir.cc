// frmPickDir: the folder picker's handlers and the state of its lists.
#include "dialogs/frmPickDir.h"

#include <cctype>
#include <memory>

#include "platform/platform.h"
#include "state/module_state.h"

namespace qv {
namespace {

thread_local std::unique_ptr<frmPickDir> shared_instance;

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// "C:\Data\" -> "C:\Data"; a drive root keeps its separator ("C:\").
std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  if (path.size() == 2 && path[1] == ':') path += '\\';
  return path;
}

}  // namespace

frmPickDir& frmPickDir::Instance() {
  if (!shared_instance) shared_instance.reset(new frmPickDir());
  return *shared_instance;
}

bool frmPickDir::Exists() { return shared_instance != nullptr; }

void frmPickDir::Show() {
  Form_Load();
  CurrentPlatform().ui->ShowFolderPicker(*this);
}

void frmPickDir::Form_Load() {
  FileSystem& files = *CurrentPlatform().files;
  // Loading starts from the design state: the lists at the process's current
  // drive and folder, the label at its design caption.
  drives_ = files.Drives();
  dir_path_ = WithoutTrailingSeparator(files.GetCurrentDirectory());
  drive_ = dir_path_.empty() ? 'C' : Upper(dir_path_[0]);
  current_dir_caption_ = kCurrentDirDesignCaption;
  closed_ = false;
  RefreshDir1();
  SelectDrive('C');
}

void frmPickDir::SelectDrive(char drive) {
  drive = Upper(drive);
  if (drive == drive_) return;
  drive_ = drive;
  DriveList_Change();
}

void frmPickDir::DriveList_Change() {
  // The list moves to the drive's current folder: the process's current
  // folder when it is on that drive, the drive's root otherwise.
  const std::string current = CurrentPlatform().files->GetCurrentDirectory();
  if (!current.empty() && Upper(current[0]) == drive_) {
    SetDir1Path(current);
  } else {
    SetDir1Path(std::string(1, drive_) + ":\\");
  }
}

void frmPickDir::OpenFolder(const std::string& path) {
  // A folder that is not there cannot be opened; the list stays put.
  FileSystem& files = *CurrentPlatform().files;
  uint32_t attributes = 0;
  if (!files.GetFileAttributes(path, &attributes).ok() ||
      (attributes & kFileAttributeDirectory) == 0) {
    return;
  }
  std::string long_path;
  if (!files.GetLongPathName(path, &long_path).ok()) long_path = path;
  if (long_path.size() >= 2 && long_path[1] == ':' && Upper(long_path[0]) != drive_) {
    drive_ = Upper(long_path[0]);
  }
  SetDir1Path(long_path);
}

void frmPickDir::SetDir1Path(const std::string& path) {
  const std::string normal = WithoutTrailingSeparator(path);
  const bool changed = normal != dir_path_;
  dir_path_ = normal;
  RefreshDir1();
  if (changed) Dir1_Change();
}

void frmPickDir::Dir1_Change() { current_dir_caption_ = dir_path_; }

void frmPickDir::cmdOK_Click() {
  // Always one more separator, even at a drive's root ("C:\" + "\").
  gsCopyFolder = dir_path_ + "\\";
  closed_ = true;
}

void frmPickDir::cmdCancel_Click() {
  gsCopyFolder = "";
  closed_ = true;
}

void frmPickDir::cmdMakeDir_Click() {
  Platform& platform = CurrentPlatform();
  const std::string name = platform.ui->InputBox("Enter the directory name to be created.",
                                                 "Create Directory", "New Folder");
  if (name.empty()) return;
  std::string path = dir_path_;
  if (path.empty() || path.back() != '\\') path += '\\';
  path += name;
  if (!platform.files->CreateDirectory(path).ok()) {
    platform.ui->MessageBox("Invalid folder name", 48, "Error");
  }
  RefreshDir1();
}

void frmPickDir::RefreshDir1() {
  ++refresh_count_;
  dir_entries_.clear();
  std::vector<DirEntry> entries;
  if (!CurrentPlatform().files->ListDirectory(dir_path_, &entries).ok()) return;
  for (const DirEntry& entry : entries) {
    if (entry.is_directory) dir_entries_.push_back(entry.name);
  }
}

}  // namespace qv
