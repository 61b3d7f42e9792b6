// FolderPickerForm: what a view of the folder picker dialog drives.
//
// The dialog's behaviour (its event handlers, what OK and Cancel leave
// behind, folder creation) lives in the form (dialogs/frmPickDir); a view
// (the headless interface, a window toolkit) only draws the form's state and
// turns what the user does into the calls below. The view shows the form
// modally through UserInterface::ShowFolderPicker and returns when the form
// says it is closed, or when the user closed the window some other way (its
// close box), in which case the view calls nothing.
//
// Layout, in twips (Left, Top, Width, Height), and tab order:
//   Dir1           0,  480, 6795, 3015   tab 0   directory list
//   cmdMakeDir    60, 3960, 1995,  375   tab 1   "Create Folder"
//   cmdOK       2340, 3960, 1995,  375   tab 2   "OK", default button
//   cmdCancel   4620, 3960, 1995,  375   tab 3   "Cancel", cancel button
//   DriveList     60,   60, 3315,  315   tab 4   drive list
//   Label1        60, 3600, 2325,  195   tab 5   "Current Selected Direcotry:", bold
//   lblCurrentDir 2460, 3600, 225,  195  tab 6   the current folder
// Caption "Pick directory", client area 6795 by 4440 twips, centred on its
// owner.
//
// Text: captions and paths are UTF-8.
#ifndef QV_PLATFORM_FOLDER_PICKER_H_
#define QV_PLATFORM_FOLDER_PICKER_H_

#include <string>
#include <vector>

namespace qv {

class FolderPickerForm {
 public:
  virtual ~FolderPickerForm() = default;

  // ---- State the view draws ----

  // The drives the drive list offers, and the one selected.
  virtual std::vector<char> Drives() const = 0;
  virtual char SelectedDrive() const = 0;
  // The directory list's current path (a Windows path, "C:\" at a root).
  virtual std::string DirPath() const = 0;
  // The folders the directory list shows below its current path (names
  // only), read from the machine at the last load or refresh.
  virtual std::vector<std::string> DirEntries() const = 0;
  // Caption of lblCurrentDir.
  virtual std::string CurrentDirCaption() const = 0;
  // Bumped by every refresh of the directory list.
  virtual int RefreshCount() const = 0;
  // OK or Cancel has closed the form.
  virtual bool Closed() const = 0;

  // ---- What the user does ----

  // Selects a drive in the drive list (the change notice follows when it
  // is another drive than the selected one).
  virtual void SelectDrive(char drive) = 0;
  // Opens a folder in the directory list (double click, or the path typed):
  // the list's current path becomes path, and its change notice follows.
  virtual void OpenFolder(const std::string& path) = 0;
  // The three buttons.
  virtual void PressMakeDir() = 0;
  virtual void PressOK() = 0;
  virtual void PressCancel() = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_FOLDER_PICKER_H_
