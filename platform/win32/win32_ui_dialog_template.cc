// DialogTemplate: the in-memory layout of DLGTEMPLATE and DLGITEMTEMPLATE.
#include "platform/win32/win32_ui_dialog_template.h"

namespace qv::win32 {

namespace {

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

void Push(std::vector<WORD>& words, DWORD value) {
  words.push_back(LOWORD(value));
  words.push_back(HIWORD(value));
}

}  // namespace

DialogTemplate::DialogTemplate(const std::wstring& caption, short width, short height) {
  const DWORD style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  Push(words_, style);
  Push(words_, 0);  // extended style
  count_index_ = words_.size();
  words_.push_back(0);  // number of controls
  for (short value : {short{0}, short{0}, width, height}) words_.push_back(static_cast<WORD>(value));
  words_.push_back(0);  // no menu
  words_.push_back(0);  // the predefined dialog class
  AddText(caption);
  words_.push_back(8);  // point size
  AddText(L"MS Shell Dlg");
}

void DialogTemplate::Add(WORD class_atom, WORD id, DWORD style, short x, short y, short width,
                         short height, const std::wstring& text) {
  AlignToDword();
  Push(words_, style | WS_CHILD | WS_VISIBLE);
  Push(words_, 0);
  for (short value : {x, y, width, height}) words_.push_back(static_cast<WORD>(value));
  words_.push_back(id);
  words_.push_back(0xFFFF);
  words_.push_back(class_atom);
  AddText(text);
  words_.push_back(0);  // no creation data
  ++words_[count_index_];
}

const DLGTEMPLATE* DialogTemplate::get() const {
  return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
}

void DialogTemplate::AlignToDword() {
  if (words_.size() % 2 != 0) words_.push_back(0);
}

void DialogTemplate::AddText(const std::wstring& text) {
  for (wchar_t c : text) words_.push_back(static_cast<WORD>(c));
  words_.push_back(0);
}

INT_PTR ShowDialog(const DialogTemplate& dialog, HWND owner, DLGPROC proc, LPARAM param) {
  return DialogBoxIndirectParamW(ThisModule(), dialog.get(), owner, proc, param);
}

HWND ModalOwner() { return GetActiveWindow(); }

}  // namespace qv::win32
