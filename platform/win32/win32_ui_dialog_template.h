// DialogTemplate: a dialog box described in memory, for the modal dialogs
// the backend shows with DialogBoxIndirectParamW (the input box, the folder
// picker) without a resource script.
//
// Positions and sizes are in dialog units; the dialog uses the system's
// 8-point "MS Shell Dlg" font.
#ifndef QV_PLATFORM_WIN32_WIN32_UI_DIALOG_TEMPLATE_H_
#define QV_PLATFORM_WIN32_WIN32_UI_DIALOG_TEMPLATE_H_

#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

namespace qv::win32 {

class DialogTemplate {
 public:
  // The dialog's own frame: caption and client size.
  DialogTemplate(const std::wstring& caption, short width, short height);

  // One control of a predefined class (0x0080 button, 0x0081 edit, 0x0082
  // static, 0x0083 list box, 0x0085 combo box) with its id, style and text.
  void Add(WORD class_atom, WORD id, DWORD style, short x, short y, short width, short height,
           const std::wstring& text);

  // The template as DialogBoxIndirectParamW takes it.
  const DLGTEMPLATE* get() const;

 private:
  void AlignToDword();
  void AddText(const std::wstring& text);

  std::vector<WORD> words_;
  size_t count_index_ = 0;
};

// Shows a dialog modally; proc gets param with WM_INITDIALOG.
INT_PTR ShowDialog(const DialogTemplate& dialog, HWND owner, DLGPROC proc, LPARAM param);

// The window to own a modal box: the active window of this thread, if any.
HWND ModalOwner();

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_UI_DIALOG_TEMPLATE_H_
