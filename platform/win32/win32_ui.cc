// Win32UserInterface: the panel view and the modal boxes.
#include "platform/win32/win32_ui.h"

#include "platform/win32/win32_folder_picker.h"
#include "platform/win32/win32_ui_dialog_template.h"
#include "platform/win32/win32_ui_input_box.h"
#include "platform/win32/win32_wide_text.h"

namespace qv::win32 {

namespace {

std::wstring WithCrLf(const std::string& text) {
  std::string lines;
  for (char c : WithNewlines(text)) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return Utf8ToWide(lines);
}

}  // namespace

bool Win32UserInterface::AttachPanel(HWND parent, int x, int y) {
  return panel_.Create(parent, x, y);
}

void Win32UserInterface::ShowPanel(const Panel& panel) {
  if (panel_.window() == nullptr) panel_.Create(nullptr, CW_USEDEFAULT, CW_USEDEFAULT);
  panel_.SetModel(panel);
  panel_.Show();
}

void Win32UserInterface::PanelChanged(const Panel& panel, PanelChange /*change*/) {
  panel_.SetModel(panel);
}

void Win32UserInterface::Repaint(const Panel& panel) {
  panel_.SetModel(panel);
  panel_.Paint();
}

int Win32UserInterface::MessageBox(const std::string& text, int style, const std::string& title) {
  const UINT type = static_cast<UINT>(style) & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK);
  return MessageBoxW(Owner(), WithCrLf(text).c_str(), Utf8ToWide(title).c_str(), type);
}

std::string Win32UserInterface::InputBox(const std::string& prompt, const std::string& title,
                                         const std::string& default_text) {
  return RunInputBox(Owner(), prompt, title, default_text);
}

void Win32UserInterface::ShowFolderPicker(FolderPickerForm& form) { RunFolderPicker(Owner(), form); }

HWND Win32UserInterface::Owner() const {
  if (panel_.window() != nullptr && IsWindowVisible(panel_.window())) return panel_.window();
  return ModalOwner();
}

}  // namespace qv::win32
