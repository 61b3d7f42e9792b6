// UserInterface: what the control shows the user and asks of the user.
//
// The control draws through this seam only: it tells the view that a part of
// its panel changed or must be repainted now, and it asks questions with
// modal message boxes and an input box. A headless backend draws the panel as
// text and answers the questions from its settings; a window backend draws
// real windows. Every call comes on the UI thread; a modal call may run a
// nested event loop before it returns.
//
// Text: captions, prompts, message and input texts are UTF-8.
#ifndef QV_PLATFORM_USER_INTERFACE_H_
#define QV_PLATFORM_USER_INTERFACE_H_

#include <string>

#include "platform/folder_picker.h"
#include "platform/panel.h"

namespace qv {

// Message box styles and answers.
constexpr int kMbOk = 0;
constexpr int kMbYesNo = 4;
constexpr int kMbIconCritical = 16;
constexpr int kMbIconExclamation = 48;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// A text with its line breaks (CR LF, CR or LF) as "\n": how views split the
// lines of a message, whose lines are joined by carriage returns.
std::string WithNewlines(const std::string& text);

class UserInterface {
 public:
  virtual ~UserInterface() = default;

  // The panel was created or shown.
  virtual void ShowPanel(const Panel& panel) = 0;
  // One part of the panel changed; the view may draw it when it next paints.
  virtual void PanelChanged(const Panel& panel, PanelChange change) = 0;
  // Draw the panel now, before the call returns.
  virtual void Repaint(const Panel& panel) = 0;

  // A modal message box. style is 0, 16, 48 or 52 (buttons plus icon); lines
  // of text are separated by carriage returns. Returns the answer (kIdOk,
  // kIdYes, kIdNo).
  virtual int MessageBox(const std::string& text, int style,
                         const std::string& title) = 0;

  // A modal input box. Returns the text typed, or "" when it was cancelled.
  virtual std::string InputBox(const std::string& prompt,
                               const std::string& title,
                               const std::string& default_text) = 0;

  // Shows the folder picker modally, owned by the control's panel. Returns
  // when form.Closed() is true, or when the user closed the window some
  // other way (then without calling the form).
  virtual void ShowFolderPicker(FolderPickerForm& form) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_USER_INTERFACE_H_
