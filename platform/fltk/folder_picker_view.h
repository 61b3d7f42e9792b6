// The FLTK view of the folder picker: draws a FolderPickerForm's state and
// forwards what the user does to it.
//
// The window has the form's caption and client size (6795 by 4440 twips,
// 453 by 296 pixels) and its controls at their twips positions, in the tab
// order Dir1, Create Folder, OK, Cancel, the drive list: the drive list
// offers the form's drives ("c:"); the directory list shows ".." (except at
// a drive's root) and the folders below the form's current path. Choosing a
// drive calls SelectDrive; a double click on a folder opens it
// (OpenFolder of the path joined with the name, or of the parent folder for
// ".."); the buttons call PressMakeDir, PressOK and PressCancel. OK is the
// default button: Enter presses it unless another button has the focus (the
// lists leave Enter to it). Escape presses Cancel. After every call the view
// reads the form's state again, since a handler may have changed the path,
// refreshed the list or shown boxes of its own. Merely highlighting a folder
// changes nothing.
//
// The view returns when the form says it is closed, or when the window's
// close box was used; then it calls nothing on the form.
//
// Threading: UI thread only.
#ifndef QV_PLATFORM_FLTK_FOLDER_PICKER_VIEW_H_
#define QV_PLATFORM_FLTK_FOLDER_PICKER_VIEW_H_

#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Window.H>

#include <functional>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/folder_picker.h"

namespace qv::fltk {

// The directory list: names shown as they are, Enter left to the default
// button, a double click on a line reported by its number (from 1).
class FolderList : public Fl_Hold_Browser {
 public:
  FolderList(int x, int y, int w, int h);
  void SetOpen(std::function<void(int line)> open) { open_ = std::move(open); }
  // The line shown at window coordinate y, 0 when none.
  int LineAt(int y);

  int handle(int event) override;

 private:
  std::function<void(int)> open_;
};

// Shows form's view modally, centred on owner (the screen when null).
void RunFolderPicker(EventLoop& loop, Fl_Window* owner, FolderPickerForm& form);

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_FOLDER_PICKER_VIEW_H_
