// qvinit's session with the control.
#include "host/session.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "control/ctlInit_V3.h"
#include "control/list_trust.h"
#include "platform/headless/headless_ui.h"
#include "platform/platform.h"
#include "platform/sandbox/reg_tool.h"
#include "platform/sandbox/sandbox_platform.h"

#ifdef QV_HAVE_FLTK
#include "platform/fltk/fltk_ui.h"
#include "platform/fltk/panel_widget.h"
#endif

namespace qv::host {
namespace {

// The order in which the report's objects give their keys; other keys come
// after these, in alphabetical order.
constexpr const char* kReportKeyOrder[] = {
    "event", "msgbox", "inputbox", "picker", "message", "frame", "error", "final",
    "style", "title", "prompt", "default", "text", "answer", "number", "source",
    "description", "current", "total", "bytes"};

nlohmann::ordered_json InReportOrder(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      nlohmann::ordered_json out = nlohmann::ordered_json::object();
      for (const char* key : kReportKeyOrder) {
        auto it = value.find(key);
        if (it != value.end()) out[key] = InReportOrder(*it);
      }
      for (const auto& [key, item] : value.items()) {
        if (!out.contains(key)) out[key] = InReportOrder(item);
      }
      return out;
    }
    case nlohmann::json::value_t::array: {
      nlohmann::ordered_json out = nlohmann::ordered_json::array();
      for (const nlohmann::json& item : value) out.push_back(InReportOrder(item));
      return out;
    }
    case nlohmann::json::value_t::string:
      return value.get<std::string>();
    case nlohmann::json::value_t::boolean:
      return value.get<bool>();
    case nlohmann::json::value_t::number_integer:
      return value.get<int64_t>();
    case nlohmann::json::value_t::number_unsigned:
      return value.get<uint64_t>();
    case nlohmann::json::value_t::number_float:
      return value.get<double>();
    default:
      return nullptr;
  }
}

// The report file: one JSON object a line, written as things happen so that
// a run that is killed still leaves what it did.
class ReportFile {
 public:
  Status Open(const std::string& path) {
    file_.open(path, std::ios::out | std::ios::trunc);
    if (!file_) return Status::AccessDenied("cannot write the report file " + path);
    return Status::OK();
  }
  // Safe from any thread (a transfer tells of its failures on its own).
  void Write(const nlohmann::ordered_json& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_.is_open()) return;
    file_ << record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
          << '\n';
    file_.flush();
  }
  // A record of the headless interface, whose objects keep their keys
  // sorted: written with the keys in the report's own order.
  void WriteRecord(const nlohmann::json& record) { Write(InReportOrder(record)); }

 private:
  std::mutex mutex_;
  std::ofstream file_;
};

// A forwarding interface that hands every record of the headless interface
// to the report; with a window, the window draws and the records come from
// here alone.
class RecordingWindowUi : public UserInterface {
 public:
  RecordingWindowUi(UserInterface* window, ReportFile* report)
      : window_(window), report_(report) {}
  void ShowPanel(const Panel& panel) override { window_->ShowPanel(panel); }
  void PanelChanged(const Panel& panel, PanelChange change) override {
    if (change == PanelChange::kMessage) report_->Write({{"message", panel.lblMessage.caption}});
    if (change == PanelChange::kFrame) report_->Write({{"frame", panel.frameStatus.caption}});
    window_->PanelChanged(panel, change);
  }
  void Repaint(const Panel& panel) override { window_->Repaint(panel); }
  int MessageBox(const std::string& text, int style, const std::string& title) override {
    const int answer = window_->MessageBox(text, style, title);
    report_->Write(
        {{"msgbox", {{"style", style}, {"title", title}, {"text", text}, {"answer", answer}}}});
    return answer;
  }
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& default_text) override {
    std::string answer = window_->InputBox(prompt, title, default_text);
    report_->Write({{"inputbox",
                     {{"title", title},
                      {"prompt", prompt},
                      {"default", default_text},
                      {"answer", answer}}}});
    return answer;
  }
  void ShowFolderPicker(FolderPickerForm& form) override { window_->ShowFolderPicker(form); }

 private:
  UserInterface* window_;
  ReportFile* report_;
};

// How the session ended, as the report's final record says it.
const char* OutcomeName(int exit_status) {
  switch (exit_status) {
    case kExitDone:
      return "done";
    case kExitReboot:
      return "reboot";
    case kExitLoginRefused:
      return "login refused";
    case kExitHalted:
      return "halted";
    case kExitUntrusted:
      return "untrusted";
    default:
      return "error";
  }
}

int ExitFor(const ErrorInfo& error) {
  return error.number == 20 && error.source == "Login Check" ? kExitLoginRefused : kExitError;
}

}  // namespace

bool WindowAvailable() {
#ifdef QV_HAVE_FLTK
  return fltk::DisplayAvailable();
#else
  return false;
#endif
}

int RunSession(const SessionOptions& options, const StartArguments& arguments, std::ostream& out,
               std::ostream& err) {
  ReportFile report;
  if (options.report_file) {
    const Status opened = report.Open(*options.report_file);
    if (!opened.ok()) {
      err << "qvinit: " << opened.message() << "\n";
      return kExitError;
    }
  }

  if (options.make_machine_if_missing && access(options.machine_dir.c_str(), F_OK) != 0) {
    // A machine made on the way runs no program on the host.
    Status s = sandbox::InitMachine(options.machine_dir, sandbox::Family::kNt, /*admin=*/true,
                                    /*run_programs=*/false);
    if (!s.ok()) {
      err << "qvinit: cannot make the machine " << options.machine_dir << ": " << s.ToString()
          << "\n";
      return kExitError;
    }
    out << "made a fresh machine in " << options.machine_dir << "\n";
  }

  EventLoop loop;
  HeadlessUiOptions headless_options;
  headless_options.terminal = &out == &std::cout && isatty(STDOUT_FILENO);
  headless_options.answer_yes = options.answer_yes;
  headless_options.pick = options.pick;
  std::unique_ptr<HeadlessUi> headless;
  std::unique_ptr<UserInterface> window;
  UserInterface* ui = nullptr;
#ifdef QV_HAVE_FLTK
  std::unique_ptr<fltk::FltkUi> fltk_ui;
  std::unique_ptr<fltk::PanelWindow> panel_window;
#endif
  if (options.gui) {
#ifdef QV_HAVE_FLTK
    if (!fltk::DisplayAvailable()) {
      err << "qvinit: no window can be shown: no display (set DISPLAY, or use --headless)\n";
      return kExitError;
    }
    fltk_ui = std::make_unique<fltk::FltkUi>(&loop);
    panel_window = std::make_unique<fltk::PanelWindow>("Quillmark installer");
    fltk_ui->SetPanelWidget(panel_window->panel());
    window = std::make_unique<RecordingWindowUi>(fltk_ui.get(), &report);
    ui = window.get();
#else
    err << "qvinit: this build has no window support; use --headless\n";
    return kExitError;
#endif
  } else {
    headless = std::make_unique<HeadlessUi>(out, headless_options);
    headless->SetSink(
        [&report](const nlohmann::json& record) { report.WriteRecord(record); });
    ui = headless.get();
  }

  std::unique_ptr<sandbox::SandboxPlatform> sandbox;
  Status s = sandbox::SandboxPlatform::Open(options.machine_dir, &loop, ui, &sandbox);
  if (!s.ok()) {
    err << "qvinit: cannot open the machine " << options.machine_dir << ": " << s.ToString()
        << "\n";
    return kExitError;
  }
  sandbox->TrustAuthorities(options.ca_file);
  if (options.trust_key) {
    s = sandbox::RegSet(*sandbox->registry(), sandbox->machine().codec(),
                        std::string("HKEY_LOCAL_MACHINE\\") + kTrustRegistryKey, kTrustKeyValue,
                        *options.trust_key);
    if (!s.ok()) {
      err << "qvinit: cannot set the trust key: " << s.ToString() << "\n";
      return kExitError;
    }
  }
  // Why a download failed (a certificate that did not check, a refused or
  // cut connection): the message box names only the address.
  sandbox->ReportTransferFailures([&report](const std::string& url, const std::string& reason) {
    report.Write({{"transfer", {{"url", url}, {"error", reason}}}});
  });
  ScopedPlatform scope(sandbox->platform());

  if (options.pick && *options.pick != "cancel") {
    uint32_t attributes = 0;
    if (!sandbox->platform()->files->GetFileAttributes(*options.pick, &attributes).ok() ||
        (attributes & kFileAttributeDirectory) == 0) {
      err << "qvinit: --pick: " << *options.pick << " is not a folder on the machine\n";
      return kExitUsage;
    }
  }

  int exit_status = kExitHalted;
  {
    ctlInit_V3 control;
    if (options.prelude_server) control.SetPreludeServer(*options.prelude_server);
    bool started = false;
    control.SubscribeAll([&](ControlEvent event) {
      report.Write({{"event", ControlEventName(event)}});
      if (!headless) out << "event: " << ControlEventName(event) << "\n";
      if (!started) return;
      if (event == ControlEvent::kDone) exit_status = kExitDone;
      if (event == ControlEvent::kReboot) exit_status = kExitReboot;
    });
#ifdef QV_HAVE_FLTK
    if (panel_window) {
      // The host's window shows the control: each show raises Init.
      panel_window->panel()->SetShowHandler([&control] { control.UserControl_Show(); });
      panel_window->panel()->SetHideHandler([&control] { control.UserControl_Hide(); });
      panel_window->show();
      loop.RunUntil([&control] { return control.visible(); });
    } else {
      control.UserControl_Show();
    }
#else
    control.UserControl_Show();
#endif
    started = true;

    ErrorInfo error;
    switch (arguments.method) {
      case StartMethod::kStartup:
        error = control.Startup(arguments.download_location, arguments.bo_server,
                                arguments.key_name, arguments.login, arguments.password,
                                arguments.remote_address, arguments.dev_login);
        break;
      case StartMethod::kStartupV2:
        error = control.StartupV2(arguments.download_location, arguments.bo_server,
                                  arguments.key_name, arguments.login, arguments.password,
                                  arguments.remote_address, arguments.dev_login);
        break;
      case StartMethod::kStartupLocal:
        error = control.StartupLocal(arguments.download_location);
        break;
    }
    if (!error.ok()) {
      report.Write({{"error",
                     {{"number", error.number},
                      {"source", error.source},
                      {"description", error.description}}}});
      err << "qvinit: error " << error.number << " from " << error.source << ": "
          << error.description << "\n";
      exit_status = ExitFor(error);
    } else {
      const bool handed_over = control.tmrComInstall->enabled();
      loop.RunUntilIdle();
      // A run handed to the timer ends with Done or Reboot at the end of its
      // list. One that stopped before (a download error, missing rights) has
      // halted, whatever Done a started program raised on the way.
      if (handed_over && !control.run_ended()) exit_status = kExitHalted;
      if (control.list_refused()) exit_status = kExitUntrusted;
    }
    if (headless) headless->Flush();
    nlohmann::ordered_json final_record = InReportOrder(HeadlessUi::Snapshot(control.panel()));
    final_record["outcome"] = OutcomeName(exit_status);
    report.Write({{"final", final_record}});
#ifdef QV_HAVE_FLTK
    if (panel_window) {
      panel_window->panel()->SetShowHandler(nullptr);
      panel_window->panel()->SetHideHandler(nullptr);
      panel_window->hide();
    }
#endif
  }
  return exit_status;
}

}  // namespace qv::host
