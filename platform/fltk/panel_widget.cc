// PanelWidget: draws the panel model; reports shows and hides.
#include "platform/fltk/panel_widget.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <string>

#include "platform/fltk/dialog_parts.h"
#include "platform/fltk/units.h"

namespace qv::fltk {

namespace {

constexpr uint32_t kEtchShadow = 0x80000010;     // system colour 16
constexpr uint32_t kEtchHighlight = 0x80000014;  // system colour 20
constexpr int kFrameCaptionIndent = 8;
constexpr int kFrameCaptionPadding = 2;

int Px(double twips) { return TwipsToPixels(twips); }

std::string OneLine(const std::string& text) {
  std::string line = WithNewlines(text);
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  return line;
}

void SetFont(const FontStyle& font) { fl_font(ToFlFont(font), ToFlFontSize(font)); }

// A label at origin + its position: auto-sized to its text, or clipped to its
// fixed box.
void DrawLabel(const Widget& label, int origin_x, int origin_y) {
  SetFont(label.font);
  const std::string text = WithNewlines(label.caption);
  const int left = origin_x + Px(label.rect.left);
  const int top = origin_y + Px(label.rect.top);
  int width = Px(label.rect.width);
  int height = Px(label.rect.height);
  if (label.auto_size) {
    width = 0;
    height = 0;
    fl_measure(text.c_str(), width, height, 0);
    if (text.empty()) height = fl_height();
  }
  fl_color(ToFlColor(label.back_color));
  fl_rectf(left, top, width, height);
  fl_push_clip(left, top, width, height);
  fl_color(ToFlColor(label.fore_color));
  fl_draw(text.c_str(), left, top, width, height, FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE, nullptr, 0);
  fl_pop_clip();
}

// A rectangle shape: filled with its back colour when opaque, outlined in
// its border colour.
void DrawShape(const Widget& shape, int origin_x, int origin_y) {
  const int left = origin_x + Px(shape.rect.left);
  const int top = origin_y + Px(shape.rect.top);
  const int width = Px(shape.width);
  const int height = Px(shape.rect.height);
  if (width <= 0 || height <= 0) return;
  if (shape.opaque) {
    fl_color(ToFlColor(shape.back_color));
    fl_rectf(left, top, width, height);
  }
  fl_color(ToFlColor(shape.border_color));
  fl_rect(left, top, width, height);
}

// The frame's etched outline and caption.
void DrawFrame(const Widget& frame, int left, int top, int width, int height) {
  SetFont(frame.font);
  const int line_height = fl_height();
  const int line_y = top + line_height / 2;
  const int outline_height = height - (line_y - top);
  fl_color(ToFlColor(kEtchHighlight));
  fl_rect(left + 1, line_y + 1, width - 1, outline_height - 1);
  fl_color(ToFlColor(kEtchShadow));
  fl_rect(left, line_y, width - 1, outline_height - 1);

  const std::string caption = OneLine(frame.caption);
  if (caption.empty()) return;
  const int text_left = left + kFrameCaptionIndent;
  const int text_width = static_cast<int>(fl_width(caption.c_str()) + 0.5);
  fl_color(ToFlColor(frame.back_color));
  fl_rectf(text_left - kFrameCaptionPadding, top, text_width + 2 * kFrameCaptionPadding,
           line_height);
  fl_color(ToFlColor(frame.fore_color));
  fl_draw(caption.c_str(), static_cast<int>(caption.size()), text_left,
          top + line_height - fl_descent());
}

void DrawChild(const Widget& child, int origin_x, int origin_y) {
  if (child.kind == WidgetKind::kShape) {
    DrawShape(child, origin_x, origin_y);
  } else if (child.kind == WidgetKind::kLabel) {
    DrawLabel(child, origin_x, origin_y);
  }
}

}  // namespace

PanelWidget::PanelWidget(int x, int y) : Fl_Widget(x, y, kWidth, kHeight) {
  box(FL_NO_BOX);
  clear_visible_focus();
}

void PanelWidget::SetModel(const Panel& panel) {
  const bool pointer_changed = panel.mouse_pointer != model_.mouse_pointer;
  model_ = panel;
  if (pointer_changed && Fl::belowmouse() == this) ApplyPointer();
  redraw();
}

void PanelWidget::ApplyPointer() {
  Fl_Window* win = window();
  if (win == nullptr) return;
  win->cursor(model_.mouse_pointer == kPointerHourglass ? FL_CURSOR_WAIT : FL_CURSOR_DEFAULT);
}

int PanelWidget::handle(int event) {
  switch (event) {
    case FL_SHOW:
      if (!shown_) {
        shown_ = true;
        if (on_show_) {
          auto handler = on_show_;  // the handler may replace itself
          handler();
        }
      }
      return Fl_Widget::handle(event);
    case FL_HIDE:
      if (shown_) {
        shown_ = false;
        if (on_hide_) {
          auto handler = on_hide_;
          handler();
        }
      }
      return Fl_Widget::handle(event);
    case FL_ENTER:
    case FL_MOVE:
      // Taking the event makes this widget the one below the mouse.
      ApplyPointer();
      return 1;
    case FL_LEAVE:
      if (window() != nullptr) window()->cursor(FL_CURSOR_DEFAULT);
      return 1;
    default:
      return Fl_Widget::handle(event);
  }
}

void PanelWidget::draw() {
  fl_push_clip(x(), y(), w(), h());
  fl_color(ToFlColor(model_.back_color));
  fl_rectf(x(), y(), w(), h());

  DrawLabel(model_.lblMessage, x(), y());
  const Widget& frame = model_.frameStatus;
  const int frame_left = x() + Px(frame.rect.left);
  const int frame_top = y() + Px(frame.rect.top);
  const int frame_width = Px(frame.rect.width);
  const int frame_height = Px(frame.rect.height);
  DrawFrame(frame, frame_left, frame_top, frame_width, frame_height);
  fl_push_clip(frame_left, frame_top, frame_width, frame_height);
  for (const Widget* child :
       {&model_.Label2, &model_.prgCurrent, &model_.lblBytes, &model_.Label1, &model_.prgTotal}) {
    DrawChild(*child, frame_left, frame_top);
  }
  fl_pop_clip();
  fl_pop_clip();
}

PanelWindow::PanelWindow(const char* title)
    : Fl_Double_Window(PanelWidget::kWidth, PanelWidget::kHeight, title) {
  panel_ = new PanelWidget(0, 0);
  end();
}

}  // namespace qv::fltk
