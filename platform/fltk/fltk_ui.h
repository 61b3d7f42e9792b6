// FltkUi: the user interface in real windows, drawn with FLTK.
//
// The control's panel is drawn by a PanelWidget that the host places in its
// own window (or a PanelWindow) and hands over with SetPanelWidget. Message
// boxes, the input box and the folder picker are modal windows centred on
// their owner: the modal window shown last when there is one (a box that
// the picker raises sits on the picker), otherwise the panel's window, the
// screen when the panel is not shown. While one is open the event loop goes
// on (timers, posted events, painting), as the control expects of a modal
// call.
//
// Drawing. PanelChanged copies the model into the widget and marks it for
// drawing, which happens when the loop next serves FLTK. Repaint draws at
// once (Fl::flush) without handling any input, so that the panel shows each
// phase while the thread is blocked waiting for the server.
//
// The event loop. Constructing an FltkUi opens the display and makes FLTK's
// queue the loop's native event source (fltk_event_source.h) until the
// object is destroyed, so that hosts run the loop (EventLoop::RunUntil) and
// never Fl::run().
//
// Threading: UI thread only; one FltkUi per loop.
#ifndef QV_PLATFORM_FLTK_FLTK_UI_H_
#define QV_PLATFORM_FLTK_FLTK_UI_H_

#include <FL/Fl.H>
#include <FL/Fl_Window.H>

#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/fltk/fltk_event_source.h"
#include "platform/fltk/panel_widget.h"
#include "platform/user_interface.h"

namespace qv::fltk {

// Whether an X display can be opened (DISPLAY set and the server answering).
// Does not keep the connection. Hosts check this before they choose FltkUi:
// FLTK ends the process when it cannot open its display.
bool DisplayAvailable();

class FltkUi : public UserInterface {
 public:
  // REQUIRES: DisplayAvailable(); loop outlives this object.
  explicit FltkUi(EventLoop* loop);
  ~FltkUi() override;
  FltkUi(const FltkUi&) = delete;
  FltkUi& operator=(const FltkUi&) = delete;

  // The widget that draws the control's panel, null for none. It may be
  // deleted while set; it is then simply gone.
  void SetPanelWidget(PanelWidget* widget);
  PanelWidget* panel_widget() const;

  // The window that owns a dialog opened now (see above); null: the screen.
  Fl_Window* OwnerWindow() const;

  void ShowPanel(const Panel& panel) override;
  void PanelChanged(const Panel& panel, PanelChange change) override;
  void Repaint(const Panel& panel) override;
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& default_text) override;
  void ShowFolderPicker(FolderPickerForm& form) override;

 private:
  EventLoop* loop_;
  NativeEventSource* previous_source_;
  std::unique_ptr<Fl_Widget_Tracker> panel_;
};

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_FLTK_UI_H_
