// The folder picker's window: widgets at the design positions, calls into
// the form, state read back after each.
#include "platform/fltk/folder_picker_view.h"

#include <FL/Fl.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>

#include <cctype>

#include "platform/fltk/dialog_parts.h"
#include "platform/fltk/units.h"

namespace qv::fltk {

namespace {

constexpr uint32_t kDialogFace = 0x8000000F;  // system colour 15
constexpr char kParentItem[] = "..";

int Px(int twips) { return TwipsToPixels(twips); }

bool IsDriveRoot(const std::string& path) {
  return path.size() <= 3 && path.size() >= 2 && path[1] == ':';
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '\\') return folder + name;
  return folder + "\\" + name;
}

// "C:\A\B" -> "C:\A"; "C:\A" -> "C:\".
std::string ParentPath(const std::string& path) {
  const size_t cut = path.find_last_of('\\');
  if (cut == std::string::npos) return path;
  if (cut <= 2) return path.substr(0, 2) + "\\";
  return path.substr(0, cut);
}

class PickerWindow : public Fl_Double_Window {
 public:
  explicit PickerWindow(FolderPickerForm& form);
  bool done() const { return closed_by_box_ || form_.Closed(); }
  Fl_Widget* first_focus() { return dir1_; }

 private:
  // Reads the form's state into the widgets.
  void Sync();
  // Calls the form, then reads its state again.
  void Forward(const std::function<void()>& action);
  void OpenLine(int line);

  FolderPickerForm& form_;
  Fl_Choice* drive_list_;
  FolderList* dir1_;
  TextLabel* current_dir_;
  std::vector<char> drives_;
  std::vector<std::string> lines_;  // what each line of dir1_ stands for
  std::string shown_path_;
  int shown_refresh_ = -1;
  bool closed_by_box_ = false;
};

PickerWindow::PickerWindow(FolderPickerForm& form)
    : Fl_Double_Window(Px(6795), Px(4440), "Pick directory"), form_(form) {
  color(ToFlColor(kDialogFace));
  callback([](Fl_Widget* w, void*) { static_cast<PickerWindow*>(w)->closed_by_box_ = true; });

  // Children in tab order.
  dir1_ = new FolderList(Px(0), Px(480), Px(6795), Px(3015));
  dir1_->SetOpen([this](int line) { OpenLine(line); });

  auto* make_dir = new DialogButton(Px(60), Px(3960), Px(1995), Px(375), "Create Folder");
  make_dir->SetPressed([this] { Forward([this] { form_.PressMakeDir(); }); });
  auto* ok = new DialogButton(Px(2340), Px(3960), Px(1995), Px(375), "OK");
  ok->set_default(true);
  ok->SetPressed([this] { Forward([this] { form_.PressOK(); }); });
  auto* cancel = new DialogButton(Px(4620), Px(3960), Px(1995), Px(375), "Cancel");
  cancel->shortcut(FL_Escape);
  cancel->SetPressed([this] { Forward([this] { form_.PressCancel(); }); });

  drive_list_ = new Fl_Choice(Px(60), Px(60), Px(3315), Px(315));
  drive_list_->textfont(kDialogFont);
  drive_list_->textsize(kDialogFontSize);
  drive_list_->callback(
      [](Fl_Widget*, void* data) {
        auto* self = static_cast<PickerWindow*>(data);
        const int index = self->drive_list_->value();
        if (index < 0 || index >= static_cast<int>(self->drives_.size())) return;
        const char drive = self->drives_[static_cast<size_t>(index)];
        self->Forward([self, drive] { self->form_.SelectDrive(drive); });
      },
      this);

  auto* label1 = new TextLabel(Px(60), Px(3600), Px(2325), Px(195), true);
  label1->labelfont(FL_HELVETICA_BOLD);
  label1->color(ToFlColor(kDialogFace));
  label1->SetText("Current Selected Direcotry:");
  current_dir_ = new TextLabel(Px(2460), Px(3600), Px(225), Px(195), true);
  current_dir_->color(ToFlColor(kDialogFace));
  end();
  Sync();
}

void PickerWindow::Forward(const std::function<void()>& action) {
  action();
  Sync();
}

void PickerWindow::OpenLine(int line) {
  if (line < 1 || line > static_cast<int>(lines_.size())) return;
  const std::string& name = lines_[static_cast<size_t>(line - 1)];
  const std::string path = form_.DirPath();
  const std::string target = name == kParentItem ? ParentPath(path) : JoinPath(path, name);
  Forward([this, &target] { form_.OpenFolder(target); });
}

void PickerWindow::Sync() {
  const std::vector<char> drives = form_.Drives();
  if (drives != drives_) {
    drives_ = drives;
    drive_list_->clear();
    for (char drive : drives_) {
      const char item[] = {static_cast<char>(std::tolower(static_cast<unsigned char>(drive))), ':',
                           '\0'};
      drive_list_->add(item);
    }
  }
  for (size_t i = 0; i < drives_.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(drives_[i])) ==
        std::toupper(static_cast<unsigned char>(form_.SelectedDrive()))) {
      drive_list_->value(static_cast<int>(i));
    }
  }

  const std::string path = form_.DirPath();
  const int refresh = form_.RefreshCount();
  if (path != shown_path_ || refresh != shown_refresh_) {
    // The same folder read again keeps its highlighted line.
    std::string highlighted;
    if (path == shown_path_ && dir1_->value() > 0) {
      highlighted = lines_[static_cast<size_t>(dir1_->value() - 1)];
    }
    lines_.clear();
    if (!IsDriveRoot(path)) lines_.push_back(kParentItem);
    for (const std::string& name : form_.DirEntries()) lines_.push_back(name);
    dir1_->clear();
    for (const std::string& line : lines_) dir1_->add(line.c_str());
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (!highlighted.empty() && lines_[i] == highlighted) dir1_->value(static_cast<int>(i + 1));
    }
    shown_path_ = path;
    shown_refresh_ = refresh;
  }
  current_dir_->SetText(form_.CurrentDirCaption());
}

}  // namespace

FolderList::FolderList(int x, int y, int w, int h) : Fl_Hold_Browser(x, y, w, h) {
  textfont(kDialogFont);
  textsize(kDialogFontSize);
  format_char(0);  // folder names are shown as they are
}

int FolderList::LineAt(int y) {
  void* item = find_item(y);
  return item == nullptr ? 0 : lineno(item);
}

int FolderList::handle(int event) {
  if (event == FL_KEYBOARD && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
    return 0;
  }
  const bool double_click =
      event == FL_PUSH && Fl::event_button() == FL_LEFT_MOUSE && Fl::event_clicks() > 0;
  const int line = double_click ? LineAt(Fl::event_y()) : 0;
  const int handled = Fl_Hold_Browser::handle(event);
  // Opened after the browser is done with the click: opening refills it.
  if (line > 0 && open_) {
    Fl::event_clicks(0);
    open_(line);
  }
  return handled;
}

void RunFolderPicker(EventLoop& loop, Fl_Window* owner, FolderPickerForm& form) {
  PickerWindow window(form);
  RunModal(
      loop, window, owner, [&window] { return window.done(); }, window.first_focus());
}

}  // namespace qv::fltk
