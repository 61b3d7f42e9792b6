// The folder picker on Windows: a modal dialog that draws a
// FolderPickerForm's state and forwards what the user does to it.
//
// The dialog has the form's caption and client size (6795 by 4440 twips,
// 453 by 296 pixels) and its controls at their twips positions, in the tab
// order Dir1, Create Folder, OK, Cancel, the drive list. The drive list
// offers the form's drives ("c:"); the directory list shows ".." (except at
// a drive's root) and the folders below the form's current path. Choosing a
// drive calls SelectDrive; a double click on a line opens it (OpenFolder of
// the path joined with the name, or of the parent folder for ".."); the
// buttons call PressMakeDir, PressOK and PressCancel; Enter presses OK and
// Escape Cancel. After every call the dialog reads the form's state again.
// It ends when the form says it is closed, or by its close box, in which
// case it calls nothing on the form.
//
// The controls have fixed ids (below) so that a program driving the dialog
// finds them.
#ifndef QV_PLATFORM_WIN32_WIN32_FOLDER_PICKER_H_
#define QV_PLATFORM_WIN32_WIN32_FOLDER_PICKER_H_

#include "platform/folder_picker.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

constexpr int kPickerDirListId = 200;
constexpr int kPickerMakeDirId = 201;
constexpr int kPickerDriveListId = 202;
constexpr int kPickerLabelId = 203;
constexpr int kPickerCurrentDirId = 204;

void RunFolderPicker(HWND owner, FolderPickerForm& form);

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_FOLDER_PICKER_H_
