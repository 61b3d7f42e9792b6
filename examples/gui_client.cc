// gui_client: a client program that places the installer control in a
// window of its own, as a product's own program would.
//
//   gui_client MACHINE_DIR [FOLDER]
//
// Opens the sandbox machine MACHINE_DIR (making a fresh one when the folder
// does not exist) and shows a window with a heading, a folder field, an
// Install and a Cancel button, an event line and the control's status
// panel. Install starts a local run from the folder (a Windows path on the
// machine that holds installlist.rst and the files); Cancel cancels the
// transfer under way. With FOLDER given, the run starts by itself when the
// panel is first shown, from the handler of Init. Closing the window ends
// the program.
//
// The wiring every host does:
//   1. an EventLoop and an FltkUi on it (FLTK's events are then served by
//      the loop), a platform made with that loop and interface;
//   2. the control, and a PanelWidget in the host's window handed to the
//      interface with SetPanelWidget (dialogs centre on that window);
//   3. the widget's show and hide handlers connected to UserControl_Show and
//      UserControl_Hide, so that every show raises Init;
//   4. the window shown, and the loop run until it is closed.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "control/ctlInit_V3.h"
#include "platform/fltk/fltk_ui.h"
#include "platform/fltk/panel_widget.h"
#include "platform/platform.h"
#include "platform/sandbox/sandbox_platform.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: gui_client MACHINE_DIR [FOLDER]\n";
    return 2;
  }
  const std::string machine_dir = argv[1];
  const std::string start_folder = argc > 2 ? argv[2] : "";
  if (!qv::fltk::DisplayAvailable()) {
    std::cerr << "gui_client: no display (set DISPLAY)\n";
    return 1;
  }
  if (!std::filesystem::exists(machine_dir)) {
    qv::Status made = qv::sandbox::InitMachine(machine_dir, qv::sandbox::Family::kNt, true,
                                               /*run_programs=*/false);
    if (!made.ok()) {
      std::cerr << "gui_client: " << made.ToString() << "\n";
      return 1;
    }
  }

  // 1. The loop, the window interface and the machine's platform.
  qv::EventLoop loop;
  qv::fltk::FltkUi ui(&loop);
  std::unique_ptr<qv::sandbox::SandboxPlatform> sandbox;
  qv::Status opened = qv::sandbox::SandboxPlatform::Open(machine_dir, &loop, &ui, &sandbox);
  if (!opened.ok()) {
    std::cerr << "gui_client: " << opened.ToString() << "\n";
    return 1;
  }
  qv::ScopedPlatform scope(sandbox->platform());

  // 2. The control and the host's window with the panel in it.
  qv::ctlInit_V3 control;
  Fl_Double_Window window(520, 200, "Quillmark client");
  Fl_Box heading(16, 8, 488, 24, "Product updates");
  heading.labelfont(FL_HELVETICA_BOLD);
  heading.labelsize(14);
  heading.align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  Fl_Input folder(70, 40, 250, 24, "Folder:");
  folder.value(start_folder.empty() ? "C:\\Updates" : start_folder.c_str());
  Fl_Button install(330, 40, 80, 24, "Install");
  Fl_Button cancel(420, 40, 84, 24, "Cancel");
  Fl_Box events(16, 70, 488, 20, "No event yet");
  events.align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  auto* panel = new qv::fltk::PanelWidget(16, 100);
  window.end();
  ui.SetPanelWidget(panel);

  // 3. Every show raises Init; the host answers the events.
  panel->SetShowHandler([&control] { control.UserControl_Show(); });
  panel->SetHideHandler([&control] { control.UserControl_Hide(); });
  bool started = false;
  control.SubscribeAll([&](qv::ControlEvent event) {
    events.copy_label((std::string("Last event: ") + qv::ControlEventName(event)).c_str());
    // Started from the loop rather than inside the show notification.
    if (event == qv::ControlEvent::kInit && !start_folder.empty() && !started) {
      started = true;
      loop.Post([&] { control.StartupLocal(start_folder); });
    }
  });
  struct InstallTarget {
    qv::ctlInit_V3* control;
    Fl_Input* folder;
  } target{&control, &folder};
  install.callback(
      [](Fl_Widget*, void* data) {
        auto* t = static_cast<InstallTarget*>(data);
        t->control->StartupLocal(t->folder->value());
      },
      &target);
  cancel.callback([](Fl_Widget*, void* data) { static_cast<qv::ctlInit_V3*>(data)->CancelXfer(); },
                  &control);

  // 4. Run until the window is closed.
  window.show();
  loop.RunUntil([&window] { return !window.shown(); });
  return 0;
}
