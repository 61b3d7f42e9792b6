// PanelWidget: the control's status panel as an FLTK widget that a host
// places in its own window.
//
// It draws a copy of the control's panel model (platform/panel.h) at the
// design size, 7320 by 1290 twips (488 by 86 pixels), on the model's
// background: every child at its twips position (units.h gives the
// rounding), children of frameStatus in the frame's coordinates and clipped
// to it. Labels use their font (bold 8.25-point "MS Sans Serif": FLTK's bold
// Helvetica at 10 pixels, see units.h); a label that sizes itself is as wide and high as
// its text, so a long caption is never cut, while lblBytes keeps its fixed
// box. The frame is an etched outline whose top runs through the middle of
// its caption's line; the caption stands 8 pixels in from its left edge, in
// the frame's text colour on the background. A bar (rectangle shape) is a
// filled rectangle of the model's width in pixels, nothing at width 0.
// While the mouse is over the widget, the pointer is the model's pointer
// (hourglass or default).
//
// The widget tells its host when it is shown and hidden: each time it
// becomes visible (its window shown, the widget shown) the show handler
// runs, which a host connects to ctlInit_V3::UserControl_Show so that Init
// is raised at every show. Text is drawn character for character: "@" and
// "&" are plain characters here.
//
// Threading: UI thread only.
#ifndef QV_PLATFORM_FLTK_PANEL_WIDGET_H_
#define QV_PLATFORM_FLTK_PANEL_WIDGET_H_

#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Widget.H>

#include <functional>

#include "platform/panel.h"

namespace qv::fltk {

class PanelWidget : public Fl_Widget {
 public:
  // The design size in pixels.
  static constexpr int kWidth = Panel::kDesignWidth / 15;
  static constexpr int kHeight = Panel::kDesignHeight / 15;

  // A panel at x, y (in its window) in the design state of a new control.
  PanelWidget(int x, int y);

  // Takes a copy of the model and marks the widget for drawing; the drawing
  // itself comes when FLTK next flushes (Fl::flush, or the event loop).
  void SetModel(const Panel& panel);
  const Panel& model() const { return model_; }

  // Called from FLTK's event handling each time the widget becomes visible
  // or stops being visible. The show handler may run modal dialogs.
  void SetShowHandler(std::function<void()> handler) { on_show_ = std::move(handler); }
  void SetHideHandler(std::function<void()> handler) { on_hide_ = std::move(handler); }

  int handle(int event) override;

 protected:
  void draw() override;

 private:
  // Shows the model's pointer on the window (the mouse is over the widget).
  void ApplyPointer();

  Panel model_;
  bool shown_ = false;
  std::function<void()> on_show_;
  std::function<void()> on_hide_;
};

// A top-level window that holds only a panel, at the design size; for hosts
// that have no window of their own.
class PanelWindow : public Fl_Double_Window {
 public:
  explicit PanelWindow(const char* title);
  PanelWidget* panel() { return panel_; }

 private:
  PanelWidget* panel_;
};

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_PANEL_WIDGET_H_
