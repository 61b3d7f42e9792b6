// PanelView: the control's status panel drawn with the system's own windows.
//
// The view is a child window of a given parent window (the container's, or a
// top-level window of its own when there is none) at the design size, 7320
// by 1290 twips (488 by 86 pixels at 15 twips a pixel). It holds one child
// window for each part of the panel model (platform/panel.h): STATIC labels
// for lblMessage, Label2, lblBytes and Label1, a group box for frameStatus,
// and a STATIC without text for each bar, filled with its colour. Children
// of frameStatus are placed in the frame's coordinates, that is at the
// frame's position plus their own. A label that sizes itself is as wide and
// high as its text in its font; a bar is as wide as the model's width, and
// hidden at width 0. Each child has the model's caption, font and colours;
// over the panel the mouse pointer is the model's pointer.
//
// Every time the view's window becomes visible the show handler runs (a host
// connects it to the control's UserControl_Show).
//
// Threading: the thread that made the view, which must pump its messages.
#ifndef QV_PLATFORM_WIN32_WIN32_PANEL_H_
#define QV_PLATFORM_WIN32_WIN32_PANEL_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/panel.h"
#include "platform/win32/win32_handle.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

// A length in twips as whole pixels (15 twips a pixel), halves rounded up.
int TwipsToPixels(double twips);
// The COLORREF of an OLE colour (&H00BBGGRR& as it is, &H800000nn& the
// system colour nn).
COLORREF OleColorToColorRef(uint32_t ole_color);

// Fonts and brushes, deleted when their owner goes away.
using FontHandle = UniqueHandle<HFONT, DeleteObject, intptr_t{0}>;
using BrushHandle = UniqueHandle<HBRUSH, DeleteObject, intptr_t{0}>;

class PanelView {
 public:
  static constexpr int kWidth = Panel::kDesignWidth / 15;
  static constexpr int kHeight = Panel::kDesignHeight / 15;

  PanelView() = default;
  ~PanelView();
  PanelView(const PanelView&) = delete;
  PanelView& operator=(const PanelView&) = delete;

  // Makes the view's window as a child of parent at (x, y) in pixels, or as
  // a top-level window of its own when parent is null. A view that exists
  // already moves to the new parent. False when Windows refused the window.
  bool Create(HWND parent, int x, int y);
  // Destroys the window and its children.
  void Destroy();
  HWND window() const { return window_; }

  // Takes the model: captions, positions, colours and the pointer of every
  // child follow it. The children repaint when the thread next pumps its
  // messages, or at once with Paint.
  void SetModel(const Panel& panel);
  void Paint();
  void Show();

  void SetShowHandler(std::function<void()> handler) { on_show_ = std::move(handler); }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  // The child window that draws a part of the model, made on first use.
  HWND Child(const Widget& widget);
  void Place(const Widget& widget, int origin_x, int origin_y);
  HFONT Font(const FontStyle& style);
  HBRUSH Brush(COLORREF color);
  const Widget* WidgetOf(HWND child) const;

  HWND window_ = nullptr;
  bool own_top_level_ = false;
  Panel model_;
  std::map<std::string, HWND> children_;
  std::map<std::string, FontHandle> fonts_;
  std::map<COLORREF, BrushHandle> brushes_;
  std::function<void()> on_show_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_PANEL_H_
