// The modal message box and input box of the FLTK interface.
//
// A message box shows its title, its icon (style & 0xF0: 16 critical, 32
// question, 48 exclamation, 64 information), its text with a line break at
// every carriage return (long lines wrap at 400 pixels), and the buttons of
// style & 0x0F centred below, left to right: 0 OK, 1 OK Cancel, 2 Abort Retry
// Ignore, 3 Yes No Cancel, 4 Yes No, 5 Retry Cancel. The first button is the
// default (0x100 and 0x200 make it the second or third) and has the focus.
// Escape and the close box answer Cancel when there is a Cancel button, OK
// when OK is the only one, and do nothing otherwise; Y and N press Yes and
// No.
//
// The input box shows the prompt (wrapped), OK (default) and Cancel at the
// right, and a text field below holding the default text, selected, with
// the focus. OK returns the text typed; Cancel, Escape and the close box
// return "".
//
// Both are modal: they run the event loop (timers, posted events, other
// windows' painting) until answered, centred on owner (the screen when it
// is null). Threading: UI thread only.
#ifndef QV_PLATFORM_FLTK_MESSAGE_BOX_H_
#define QV_PLATFORM_FLTK_MESSAGE_BOX_H_

#include <FL/Fl_Window.H>

#include <string>

#include "platform/event_loop.h"

namespace qv::fltk {

// Returns the answer (kIdOk, kIdCancel, kIdYes, kIdNo, 3 Abort, 4 Retry,
// 5 Ignore), or 0 when the loop quit before the box was answered.
int RunMessageBox(EventLoop& loop, Fl_Window* owner, const std::string& text, int style,
                  const std::string& title);

// Returns the text typed after OK, "" otherwise.
std::string RunInputBox(EventLoop& loop, Fl_Window* owner, const std::string& prompt,
                        const std::string& title, const std::string& default_text);

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_MESSAGE_BOX_H_
