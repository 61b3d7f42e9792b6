// The folder picker dialog: the form's state into list, combo box and label;
// the user's actions into the form's calls.
#include "platform/win32/win32_folder_picker.h"

#include <cctype>
#include <string>
#include <vector>

#include "platform/win32/win32_panel.h"
#include "platform/win32/win32_ui_dialog_template.h"
#include "platform/win32/win32_wide_text.h"

namespace qv::win32 {

namespace {

constexpr WORD kButton = 0x0080;
constexpr WORD kStatic = 0x0082;
constexpr WORD kListBox = 0x0083;
constexpr WORD kComboBox = 0x0085;
constexpr char kParentItem[] = "..";

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

struct Placement {
  int id;
  Rect twips;
};

// The form's layout, in twips.
constexpr Placement kLayout[] = {
    {kPickerDirListId, {0, 480, 6795, 3015}},     {kPickerMakeDirId, {60, 3960, 1995, 375}},
    {IDOK, {2340, 3960, 1995, 375}},              {IDCANCEL, {4620, 3960, 1995, 375}},
    {kPickerDriveListId, {60, 60, 3315, 315}},    {kPickerLabelId, {60, 3600, 2325, 195}},
    {kPickerCurrentDirId, {2460, 3600, 225, 195}},
};

class PickerDialog {
 public:
  explicit PickerDialog(FolderPickerForm& form) : form_(form) {}

  static INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    auto* self = reinterpret_cast<PickerDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr) return FALSE;
    return self->Handle(dialog, message, wparam);
  }

 private:
  INT_PTR Handle(HWND dialog, UINT message, WPARAM wparam) {
    switch (message) {
      case WM_INITDIALOG:
        dialog_ = dialog;
        Layout();
        Sync();
        return TRUE;
      case WM_CLOSE:  // the close box: the form is not told
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      case WM_COMMAND:
        return Command(LOWORD(wparam), HIWORD(wparam));
      default:
        return FALSE;
    }
  }

  INT_PTR Command(int id, int code) {
    switch (id) {
      case kPickerMakeDirId:
        Forward([this] { form_.PressMakeDir(); });
        return TRUE;
      case IDOK:
        Forward([this] { form_.PressOK(); });
        return TRUE;
      case IDCANCEL:
        Forward([this] { form_.PressCancel(); });
        return TRUE;
      case kPickerDriveListId:
        if (code == CBN_SELCHANGE) SelectDrive();
        return TRUE;
      case kPickerDirListId:
        if (code == LBN_DBLCLK) OpenLine();
        return TRUE;
      default:
        return FALSE;
    }
  }

  template <typename Action>
  void Forward(Action action) {
    action();
    if (form_.Closed()) {
      EndDialog(dialog_, IDOK);
      return;
    }
    Sync();
  }

  void SelectDrive() {
    const LRESULT index = SendDlgItemMessageW(dialog_, kPickerDriveListId, CB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<size_t>(index) >= drives_.size()) return;
    const char drive = drives_[static_cast<size_t>(index)];
    Forward([this, drive] { form_.SelectDrive(drive); });
  }

  void OpenLine() {
    const LRESULT index = SendDlgItemMessageW(dialog_, kPickerDirListId, LB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<size_t>(index) >= lines_.size()) return;
    const std::string& name = lines_[static_cast<size_t>(index)];
    const std::string path = form_.DirPath();
    const std::string target = name == kParentItem ? ParentPath(path) : JoinPath(path, name);
    Forward([this, &target] { form_.OpenFolder(target); });
  }

  void Layout() {
    RECT frame{0, 0, TwipsToPixels(6795), TwipsToPixels(4440)};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(dialog_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(dialog_, GWL_EXSTYLE)));
    SetWindowPos(dialog_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    for (const Placement& place : kLayout) {
      const int height = place.id == kPickerDriveListId ? TwipsToPixels(place.twips.height) * 8
                                                        : TwipsToPixels(place.twips.height);
      MoveWindow(GetDlgItem(dialog_, place.id), TwipsToPixels(place.twips.left),
                 TwipsToPixels(place.twips.top), TwipsToPixels(place.twips.width), height, FALSE);
    }
  }

  void Sync() {
    const std::vector<char> drives = form_.Drives();
    if (drives != drives_) {
      drives_ = drives;
      SendDlgItemMessageW(dialog_, kPickerDriveListId, CB_RESETCONTENT, 0, 0);
      for (char drive : drives_) {
        const wchar_t item[] = {static_cast<wchar_t>(std::tolower(static_cast<unsigned char>(drive))),
                                L':', L'\0'};
        SendDlgItemMessageW(dialog_, kPickerDriveListId, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(item));
      }
    }
    const int selected = std::toupper(static_cast<unsigned char>(form_.SelectedDrive()));
    for (size_t i = 0; i < drives_.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(drives_[i])) == selected) {
        SendDlgItemMessageW(dialog_, kPickerDriveListId, CB_SETCURSEL, i, 0);
      }
    }
    const std::string path = form_.DirPath();
    if (path != shown_path_ || form_.RefreshCount() != shown_refresh_) {
      shown_path_ = path;
      shown_refresh_ = form_.RefreshCount();
      lines_.clear();
      if (!IsDriveRoot(path)) lines_.push_back(kParentItem);
      for (const std::string& name : form_.DirEntries()) lines_.push_back(name);
      SendDlgItemMessageW(dialog_, kPickerDirListId, LB_RESETCONTENT, 0, 0);
      for (const std::string& line : lines_) {
        SendDlgItemMessageW(dialog_, kPickerDirListId, LB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(Utf8ToWide(line).c_str()));
      }
    }
    ShowCurrentDir(Utf8ToWide(form_.CurrentDirCaption()));
  }

  // lblCurrentDir sizes itself to its caption.
  void ShowCurrentDir(const std::wstring& caption) {
    HWND label = GetDlgItem(dialog_, kPickerCurrentDirId);
    SetWindowTextW(label, caption.c_str());
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
    RECT extent{0, 0, 0, 0};
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &extent,
              DT_CALCRECT | DT_NOPREFIX | DT_SINGLELINE);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, extent.right, TwipsToPixels(195),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  FolderPickerForm& form_;
  HWND dialog_ = nullptr;
  std::vector<char> drives_;
  std::vector<std::string> lines_;  // what each line of the list stands for
  std::string shown_path_;
  int shown_refresh_ = -1;
};

}  // namespace

void RunFolderPicker(HWND owner, FolderPickerForm& form) {
  DialogTemplate dialog(Utf8ToWide("Pick directory"), 300, 200);
  const DWORD tab = WS_TABSTOP;
  // In tab order; Layout moves each to its place.
  dialog.Add(kListBox, kPickerDirListId, LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | tab,
             0, 0, 10, 10, L"");
  dialog.Add(kButton, kPickerMakeDirId, BS_PUSHBUTTON | tab, 0, 0, 10, 10, L"Create Folder");
  dialog.Add(kButton, IDOK, BS_DEFPUSHBUTTON | tab, 0, 0, 10, 10, L"OK");
  dialog.Add(kButton, IDCANCEL, BS_PUSHBUTTON | tab, 0, 0, 10, 10, L"Cancel");
  dialog.Add(kComboBox, kPickerDriveListId, CBS_DROPDOWNLIST | WS_VSCROLL | tab, 0, 0, 10, 10, L"");
  dialog.Add(kStatic, kPickerLabelId, SS_LEFT | SS_NOPREFIX, 0, 0, 10, 10,
             L"Current Selected Direcotry:");
  dialog.Add(kStatic, kPickerCurrentDirId, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 10, 10, L"");
  PickerDialog picker(form);
  ShowDialog(dialog, owner, &PickerDialog::Proc, reinterpret_cast<LPARAM>(&picker));
}

}  // namespace qv::win32
