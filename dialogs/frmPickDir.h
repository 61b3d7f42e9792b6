// frmPickDir: the folder picker of copy-only mode.
//
// The copy-only start-ups show it modally; when it has closed they read the
// choice from gsCopyFolder: the picked folder followed by "\" after OK, ""
// after Cancel, and whatever it held before when the window was closed in
// any other way. The user may create a folder on the way.
//
// This class is the dialog's behaviour: its event handlers under their form
// names, and the state its drive list, directory list and labels show. A
// view of the user-interface seam (platform/folder_picker.h) draws that state
// and turns the user's actions into calls of FolderPickerForm.
//
// There is one shared instance per thread, created the first time it is
// shown and loaded again (to its design state, drive "C") at every showing.
// It uses the current platform's files and user interface.
#ifndef QV_DIALOGS_FRMPICKDIR_H_
#define QV_DIALOGS_FRMPICKDIR_H_

#include <string>
#include <vector>

#include "platform/folder_picker.h"

namespace qv {

class frmPickDir : public FolderPickerForm {
 public:
  // The window's fixed texts.
  static constexpr char kCaption[] = "Pick directory";
  static constexpr char kLabel1Caption[] = "Current Selected Direcotry:";
  static constexpr char kCurrentDirDesignCaption[] = "C:\\";
  static constexpr char kMakeDirCaption[] = "Create Folder";
  static constexpr char kOKCaption[] = "OK";
  static constexpr char kCancelCaption[] = "Cancel";

  // The thread's shared instance, created on first use.
  static frmPickDir& Instance();
  // The shared instance exists already on this thread.
  static bool Exists();

  // Loads the form and shows it modally; returns when it has closed.
  void Show();

  // ---- FolderPickerForm ----
  std::vector<char> Drives() const override { return drives_; }
  char SelectedDrive() const override { return drive_; }
  std::string DirPath() const override { return dir_path_; }
  std::vector<std::string> DirEntries() const override { return dir_entries_; }
  std::string CurrentDirCaption() const override { return current_dir_caption_; }
  int RefreshCount() const override { return refresh_count_; }
  bool Closed() const override { return closed_; }
  void SelectDrive(char drive) override;
  void OpenFolder(const std::string& path) override;
  void PressMakeDir() override { cmdMakeDir_Click(); }
  void PressOK() override { cmdOK_Click(); }
  void PressCancel() override { cmdCancel_Click(); }

  // ---- Event handlers ----
  void Form_Load();
  void DriveList_Change();
  void Dir1_Change();
  void cmdOK_Click();
  void cmdCancel_Click();
  void cmdMakeDir_Click();

 private:
  frmPickDir() = default;
  // Re-reads the folders below the directory list's path.
  void RefreshDir1();
  // Sets the directory list's path (as given, or normalised) and raises its
  // change notice when it changed.
  void SetDir1Path(const std::string& path);

  std::vector<char> drives_;
  char drive_ = 'C';
  std::string dir_path_;
  std::vector<std::string> dir_entries_;
  std::string current_dir_caption_ = kCurrentDirDesignCaption;
  int refresh_count_ = 0;
  bool closed_ = false;
};

}  // namespace qv

#endif  // QV_DIALOGS_FRMPICKDIR_H_
