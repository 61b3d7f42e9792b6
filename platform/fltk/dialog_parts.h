// Pieces the FLTK dialogs share: text that is drawn as it stands, buttons
// that behave as dialog buttons do, the message-box icons, and the modal run
// of a window on the control's event loop.
//
// Threading: UI thread only.
#ifndef QV_PLATFORM_FLTK_DIALOG_PARTS_H_
#define QV_PLATFORM_FLTK_DIALOG_PARTS_H_

#include <FL/Fl_Button.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>

#include <functional>
#include <string>

#include "platform/event_loop.h"
#include "platform/user_interface.h"

namespace qv::fltk {

// A label whose text is drawn character for character ("@" and "&" have no
// special meaning, as they would in an FLTK label), top left in its box, on
// its background colour. An auto-sizing label takes the size of its text
// whenever the text is set; a fixed one clips its text to its box.
class TextLabel : public Fl_Widget {
 public:
  TextLabel(int x, int y, int w, int h, bool auto_size);
  void SetText(const std::string& text);
  const std::string& text() const { return text_; }
  // Wraps at the label's width instead of sizing it (fixed labels only).
  void set_wrap(bool wrap) { wrap_ = wrap; }

 protected:
  void draw() override;

 private:
  std::string text_;
  bool auto_size_;
  bool wrap_ = false;
};

// A push button as dialogs have them: Enter or Space presses it while it has
// the focus; the default button is also pressed by Enter when the widget
// with the focus does not take the key, and is drawn with a dark outline.
// Its callback is the press.
class DialogButton : public Fl_Button {
 public:
  DialogButton(int x, int y, int w, int h, const char* label);
  void set_default(bool is_default) { default_ = is_default; }
  bool is_default() const { return default_; }
  void SetPressed(std::function<void()> pressed) { pressed_ = std::move(pressed); }

  int handle(int event) override;

 protected:
  void draw() override;

 private:
  static void Callback(Fl_Widget* widget, void*);

  bool default_ = false;
  std::function<void()> pressed_;
};

// The icon of a message box style (16 critical, 32 question, 48
// exclamation, 64 information; anything else: none), 32 by 32 pixels.
class MessageIcon : public Fl_Widget {
 public:
  MessageIcon(int x, int y, int icon_style);
  static bool HasIcon(int icon_style);

 protected:
  void draw() override;

 private:
  int icon_style_;
};

// Places window centred on owner (the screen when owner is null), inside the
// screen.
void CentreOn(Fl_Window& window, Fl_Window* owner);

// Shows window modally, centred on owner, and runs loop until done() is true
// or the loop quits; then hides it. Returns false when the loop quit first.
bool RunModal(EventLoop& loop, Fl_Window& window, Fl_Window* owner,
              const std::function<bool()>& done, Fl_Widget* first_focus);

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_DIALOG_PARTS_H_
