// The input box as an in-memory dialog.
#include "platform/win32/win32_ui_input_box.h"

#include <vector>

#include "platform/user_interface.h"
#include "platform/win32/win32_ui_dialog_template.h"
#include "platform/win32/win32_wide_text.h"

namespace qv::win32 {

namespace {

constexpr WORD kButton = 0x0080;
constexpr WORD kEdit = 0x0081;
constexpr WORD kStatic = 0x0082;

struct InputState {
  std::wstring prompt;
  std::wstring default_text;
  std::string result;
};

std::wstring WithCrLf(const std::string& text) {
  std::string lines;
  for (char c : WithNewlines(text)) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return Utf8ToWide(lines);
}

INT_PTR CALLBACK InputProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      const auto* state = reinterpret_cast<InputState*>(lparam);
      SetDlgItemTextW(dialog, kInputPromptId, state->prompt.c_str());
      SetDlgItemTextW(dialog, kInputEditId, state->default_text.c_str());
      HWND edit = GetDlgItem(dialog, kInputEditId);
      SendMessageW(edit, EM_SETSEL, 0, -1);
      SetFocus(edit);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      if (id != IDOK && id != IDCANCEL) break;
      auto* state = reinterpret_cast<InputState*>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (id == IDOK) {
        HWND edit = GetDlgItem(dialog, kInputEditId);
        std::vector<wchar_t> text(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1);
        GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
        state->result = WideToUtf8(text.data());
      }
      EndDialog(dialog, id);
      return TRUE;
    }
    default:
      break;
  }
  return FALSE;
}

}  // namespace

std::string RunInputBox(HWND owner, const std::string& prompt, const std::string& title,
                        const std::string& default_text) {
  DialogTemplate dialog(Utf8ToWide(title), 240, 90);
  dialog.Add(kStatic, kInputPromptId, SS_LEFT | SS_NOPREFIX, 7, 7, 170, 56, L"");
  dialog.Add(kButton, IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 184, 7, 50, 14, L"OK");
  dialog.Add(kButton, IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, 184, 25, 50, 14, L"Cancel");
  dialog.Add(kEdit, kInputEditId, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 70, 227, 13, L"");
  InputState state{WithCrLf(prompt), Utf8ToWide(default_text), {}};
  if (ShowDialog(dialog, owner, &InputProc, reinterpret_cast<LPARAM>(&state)) != IDOK) return "";
  return state.result;
}

}  // namespace qv::win32
