// Win32UserInterface: the user interface of the control on Windows.
//
// The status panel is a PanelView, a child window of the host's window (or a
// top-level window of its own when the host gave none). Message boxes are
// the system's (MessageBoxW with the style the core passes); the input box
// and the folder picker are modal dialogs built in memory. The modal boxes
// are owned by the panel's window when it exists, else by the thread's
// active window.
//
// Threading: the thread that made the interface, which pumps its messages.
#ifndef QV_PLATFORM_WIN32_WIN32_UI_H_
#define QV_PLATFORM_WIN32_WIN32_UI_H_

#include <functional>
#include <string>

#include "platform/user_interface.h"
#include "platform/win32/win32_panel.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

class Win32UserInterface : public UserInterface {
 public:
  Win32UserInterface() = default;

  // Places the panel in parent at (x, y) pixels; a null parent gives the
  // panel a top-level window of its own. May be called again to move it.
  bool AttachPanel(HWND parent, int x, int y);
  // Removes the panel's window (the container let the control go).
  void DetachPanel() { panel_.Destroy(); }
  HWND panel_window() const { return panel_.window(); }
  // Runs each time the panel's window is shown.
  void SetShowHandler(std::function<void()> handler) { panel_.SetShowHandler(std::move(handler)); }

  void ShowPanel(const Panel& panel) override;
  void PanelChanged(const Panel& panel, PanelChange change) override;
  void Repaint(const Panel& panel) override;
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& default_text) override;
  void ShowFolderPicker(FolderPickerForm& form) override;

 private:
  HWND Owner() const;

  PanelView panel_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_UI_H_
