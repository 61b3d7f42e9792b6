// FltkUi: the panel widget, the modal dialogs and the loop's FLTK source.
#include "platform/fltk/fltk_ui.h"

#include <FL/x.H>

#include "platform/fltk/folder_picker_view.h"
#include "platform/fltk/message_box.h"

namespace qv::fltk {

bool DisplayAvailable() {
  if (fl_display != nullptr) return true;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

FltkUi::FltkUi(EventLoop* loop) : loop_(loop), previous_source_(loop->native_event_source()) {
  fl_open_display();
  loop_->SetNativeEventSource(&FltkEventSource::Instance());
}

FltkUi::~FltkUi() { loop_->SetNativeEventSource(previous_source_); }

void FltkUi::SetPanelWidget(PanelWidget* widget) {
  panel_ = widget == nullptr ? nullptr : std::make_unique<Fl_Widget_Tracker>(widget);
}

PanelWidget* FltkUi::panel_widget() const {
  return panel_ == nullptr ? nullptr : static_cast<PanelWidget*>(panel_->widget());
}

Fl_Window* FltkUi::OwnerWindow() const {
  if (Fl_Window* modal = Fl::modal()) return modal;
  PanelWidget* widget = panel_widget();
  if (widget == nullptr || !widget->visible_r()) return nullptr;
  Fl_Window* top = widget->top_window();
  return top != nullptr && top->shown() ? top : nullptr;
}

void FltkUi::ShowPanel(const Panel& panel) { PanelChanged(panel, PanelChange::kMessage); }

void FltkUi::PanelChanged(const Panel& panel, PanelChange) {
  if (PanelWidget* widget = panel_widget()) widget->SetModel(panel);
}

void FltkUi::Repaint(const Panel& panel) {
  PanelChanged(panel, PanelChange::kMessage);
  Fl::flush();
}

int FltkUi::MessageBox(const std::string& text, int style, const std::string& title) {
  return RunMessageBox(*loop_, OwnerWindow(), text, style, title);
}

std::string FltkUi::InputBox(const std::string& prompt, const std::string& title,
                             const std::string& default_text) {
  return RunInputBox(*loop_, OwnerWindow(), prompt, title, default_text);
}

void FltkUi::ShowFolderPicker(FolderPickerForm& form) {
  RunFolderPicker(*loop_, OwnerWindow(), form);
}

}  // namespace qv::fltk
