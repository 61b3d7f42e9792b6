// Dialog pieces: literal text, dialog buttons, icons, modal runs.
#include "platform/fltk/dialog_parts.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <utility>

#include "platform/fltk/units.h"

namespace qv::fltk {

namespace {

bool IsEnter(int key) { return key == FL_Enter || key == FL_KP_Enter; }

}  // namespace

// ---- TextLabel --------------------------------------------------------------

TextLabel::TextLabel(int x, int y, int w, int h, bool auto_size)
    : Fl_Widget(x, y, w, h), auto_size_(auto_size) {
  box(FL_FLAT_BOX);
  color(FL_WHITE);
  labelfont(kDialogFont);
  labelsize(kDialogFontSize);
  labelcolor(FL_BLACK);
  clear_visible_focus();
}

void TextLabel::SetText(const std::string& text) {
  text_ = WithNewlines(text);
  if (auto_size_) {
    fl_font(labelfont(), labelsize());
    int width = 0;
    int height = 0;
    fl_measure(text_.c_str(), width, height, 0);
    if (text_.empty()) height = fl_height();
    // The old extent must be repainted by the parent when the label shrinks.
    if (parent() != nullptr) parent()->damage(FL_DAMAGE_ALL, x(), y(), w(), h());
    size(width, height);
  }
  redraw();
}

void TextLabel::draw() {
  draw_box();
  fl_push_clip(x(), y(), w(), h());
  fl_font(labelfont(), labelsize());
  fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
  Fl_Align align = FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE;
  if (wrap_) align |= FL_ALIGN_WRAP;
  fl_draw(text_.c_str(), x(), y(), w(), h(), align, nullptr, 0);
  fl_pop_clip();
}

// ---- DialogButton -----------------------------------------------------------

DialogButton::DialogButton(int x, int y, int w, int h, const char* label)
    : Fl_Button(x, y, w, h, label) {
  labelfont(kDialogFont);
  labelsize(kDialogFontSize);
  callback(Callback);
}

void DialogButton::Callback(Fl_Widget* widget, void*) {
  auto* button = static_cast<DialogButton*>(widget);
  if (button->pressed_) button->pressed_();
}

int DialogButton::handle(int event) {
  if (event == FL_KEYBOARD && Fl::focus() == this && IsEnter(Fl::event_key())) {
    do_callback();
    return 1;
  }
  // Shortcuts reach the buttons only when the focused widget left the key.
  if (event == FL_SHORTCUT && default_ && IsEnter(Fl::event_key()) && active_r()) {
    do_callback();
    return 1;
  }
  return Fl_Button::handle(event);
}

void DialogButton::draw() {
  Fl_Button::draw();
  if (default_) {
    fl_color(FL_BLACK);
    fl_rect(x(), y(), w(), h());
  }
}

// ---- MessageIcon ------------------------------------------------------------

MessageIcon::MessageIcon(int x, int y, int icon_style)
    : Fl_Widget(x, y, 32, 32), icon_style_(icon_style) {
  box(FL_NO_BOX);
  clear_visible_focus();
}

bool MessageIcon::HasIcon(int icon_style) {
  return icon_style == 16 || icon_style == 32 || icon_style == 48 || icon_style == 64;
}

void MessageIcon::draw() {
  const int left = x();
  const int top = y();
  switch (icon_style_) {
    case 16:  // critical: a white cross on a red disc
      fl_color(fl_rgb_color(0xCC, 0x00, 0x00));
      fl_pie(left, top, 32, 32, 0, 360);
      fl_color(FL_WHITE);
      fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
      fl_line(left + 10, top + 10, left + 22, top + 22);
      fl_line(left + 22, top + 10, left + 10, top + 22);
      fl_line_style(0);
      break;
    case 48:  // exclamation: a black mark on a yellow triangle
      fl_color(fl_rgb_color(0xFF, 0xD8, 0x00));
      fl_polygon(left + 16, top + 1, left + 31, top + 30, left + 1, top + 30);
      fl_color(FL_BLACK);
      fl_loop(left + 16, top + 1, left + 31, top + 30, left + 1, top + 30);
      fl_rectf(left + 15, top + 10, 3, 12);
      fl_rectf(left + 15, top + 24, 3, 3);
      break;
    case 32:    // question
    case 64: {  // information
      fl_color(FL_WHITE);
      fl_pie(left, top, 32, 32, 0, 360);
      fl_color(fl_rgb_color(0x00, 0x33, 0x99));
      fl_arc(left, top, 32, 32, 0, 360);
      fl_font(FL_TIMES_BOLD, 24);
      fl_draw(icon_style_ == 32 ? "?" : "i", left, top, 32, 32, FL_ALIGN_CENTER, nullptr, 0);
      break;
    }
    default:
      break;
  }
}

// ---- Modal runs -------------------------------------------------------------

void CentreOn(Fl_Window& window, Fl_Window* owner) {
  int sx = 0, sy = 0, sw = 0, sh = 0;
  Fl::screen_xywh(sx, sy, sw, sh);
  int ox = sx, oy = sy, ow = sw, oh = sh;
  if (owner != nullptr && owner->shown()) {
    ox = owner->x();
    oy = owner->y();
    ow = owner->w();
    oh = owner->h();
  }
  int x = ox + (ow - window.w()) / 2;
  int y = oy + (oh - window.h()) / 2;
  x = std::max(sx, std::min(x, sx + sw - window.w()));
  y = std::max(sy, std::min(y, sy + sh - window.h()));
  window.position(x, y);
}

bool RunModal(EventLoop& loop, Fl_Window& window, Fl_Window* owner,
              const std::function<bool()>& done, Fl_Widget* first_focus) {
  CentreOn(window, owner);
  window.set_modal();
  window.show();
  if (first_focus != nullptr) first_focus->take_focus();
  const bool finished = loop.RunUntil(done);
  window.hide();
  return finished;
}

}  // namespace qv::fltk
