// ctlInit_V3: the installer and updater control that a host places.
//
// The host creates the control, waits for its Init event (raised each time the
// control is shown), calls one of the start-up methods and then waits for Done
// or Reboot. Between the call and the event the control walks its install
// list in ticks of its timer tmrComInstall and in state changes of its
// transfer component Inet1, and shows its progress on a status panel.
//
// This header holds the whole class: its host-facing interface (methods,
// events, fixed identifiers), the status panel and the helpers through which
// every routine writes to it, the instance state shared by the start-up
// sequences, the install run, the transfer handler and the install routine,
// and the two child components. Those routines are member functions kept in
// files of their own (control/ for the start-ups, engine/ for the run, the
// transfer completion and the install routine); they use the members below
// directly, which is why the instance state is public.
//
// Threading: a control belongs to the thread that created it (the host's UI
// thread), whose current platform (platform/platform.h) it uses for its timer,
// its transfer component and its user interface. Every method, every timer
// tick, every transfer state change and every event handler runs on that
// thread, one at a time. Other calls can arrive only where a routine lets the
// event loop run (a modal box, ProcessPendingMessages); the control takes no
// lock and starts no thread.
//
// The control remembers the platform it was created under. A host that does
// not keep a platform current on its thread (one whose own message loop
// drives the control's event loop) still reaches a working control: the
// methods a host calls, the timer's ticks and the transfer's state changes
// make the control's platform current while they run when the thread has
// none. A control created where there was no platform has none: its
// start-up methods fail with kErrorNoPlatform, and the others do what they
// can without one (a show raises Init, CancelXfer has nothing to cancel).
#ifndef QV_CONTROL_CTLINIT_V3_H_
#define QV_CONTROL_CTLINIT_V3_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error_info.h"
#include "platform/event_loop.h"
#include "platform/panel.h"
#include "platform/transfer.h"
#include "qv_version.h"

namespace qv {

class Recordset;        // the install list (platform/recordset.h)
struct InstallRecord;   // one record of it, as the run reads it
class BusinessObject;   // the server's object that a start-up calls
class DataSpace;  // the remote data space through which the server is reached
struct Platform;  // the services of the machine (platform/platform.h)
class ScopedPlatform;

// ---- Fixed identifiers ------------------------------------------------------
//
// The same in every build: hosts create the control by its class GUID and
// call it through the dispatch interface by these ids.

constexpr char kLibraryName[] = "QV_INIT_V3";
constexpr char kLibraryFileName[] = "QV_INIT_V3.ocx";
constexpr char kClassName[] = "ctlInit_V3";
constexpr char kDispatchInterfaceName[] = "_ctlInit_V3";
constexpr char kEventInterfaceName[] = "__ctlInit_V3";

// Registry form of the GUIDs: braces, upper-case hexadecimal.
constexpr char kLibraryGuid[] = "{78A7B69A-7B59-40A2-8D6A-978957FF96D6}";
constexpr char kClassGuid[] = "{CB9F67C5-0350-401E-8E88-6C26BFABECBA}";
constexpr char kDispatchInterfaceGuid[] = "{6C24C068-4FCB-49DB-B80B-5B7D98C9965E}";
constexpr char kEventInterfaceGuid[] = "{4E6A4A01-5E56-47A4-A04B-8BD9F410077E}";

// Dispatch ids of the methods of _ctlInit_V3.
constexpr int32_t kDispIdStartup = 0x60030000;
constexpr int32_t kDispIdStartupV2 = 0x60030006;
constexpr int32_t kDispIdStartupLocal = 0x60030007;
constexpr int32_t kDispIdCancelXfer = 0x60030005;

// The events of __ctlInit_V3; each value is the event's dispatch id. No event
// carries data.
enum class ControlEvent : int32_t {
  kDone = 1,
  kReboot = 2,
  kInit = 3,
};

// "Done", "Reboot" or "Init".
const char* ControlEventName(ControlEvent event);

// A start-up method was called on a control that has no platform to work
// with (E_UNEXPECTED); the source is kClassName.
inline constexpr int32_t kErrorNoPlatform = static_cast<int32_t>(0x8000FFFFu);

// ---- The control ------------------------------------------------------------

class ctlInit_V3 {
 public:
  // Creates the control with its panel in its design state, the timer
  // disabled at 1 ms, and a transfer component when the platform has one.
  // Every member starts empty, zero or false. The platform is the current
  // one of this thread, or the one given; it must have an event loop, and
  // both must outlive the control. Without either the control has no
  // platform, no timer and no transfer component (see the top of the file).
  ctlInit_V3();
  explicit ctlInit_V3(Platform* platform);
  ~ctlInit_V3();
  ctlInit_V3(const ctlInit_V3&) = delete;
  ctlInit_V3& operator=(const ctlInit_V3&) = delete;

  // ---- Dispatch interface _ctlInit_V3 ----
  //
  // The three start-up methods are defined with the start-up sequences. Each
  // runs to its end on the caller's thread and returns once the run has been
  // handed to tmrComInstall (or earlier when it ends early). The result is
  // the error that the method fails with towards its host: the refused login
  // (20, "Login Check"), or an error of the server call or the data space
  // that arose outside the protected steps, unchanged. A failure in a
  // protected step is shown in the "Error" box instead and the method
  // returns without error.
  ErrorInfo Startup(const std::string& DownloadLocation, const std::string& BOServer,
                    const std::string& KeyName, const std::string& Login,
                    const std::string& Password, const std::string& RemoteAddress,
                    bool DevLogin);
  ErrorInfo StartupV2(const std::string& DownloadLocation, const std::string& BOServer,
                      const std::string& KeyName, const std::string& Login,
                      const std::string& Password, const std::string& RemoteAddress,
                      bool DevLogin);
  ErrorInfo StartupLocal(const std::string& DownloadLocation);

  // Asks Inet1 to cancel the transfer it is carrying out, even when there is
  // none. Changes no member, shows nothing, raises no event; what follows a
  // cancelled transfer is the transfer handler's business. Does nothing when
  // the platform gave the control no transfer component.
  void CancelXfer();

  // The platform the control was created under; null when there was none.
  Platform* platform() const { return platform_; }

  // ---- Events of __ctlInit_V3 ----
  //
  // Any number of handlers may subscribe; a raise calls them synchronously,
  // in the order they subscribed, before RaiseEvent returns. A handler that
  // subscribes or unsubscribes during a raise changes only later raises. A
  // handler may destroy the control: RaiseEvent touches nothing of it after
  // the handlers have been taken.

  // Calls handler for each raise of event. Returns an id for Unsubscribe.
  int Subscribe(ControlEvent event, std::function<void()> handler);
  // Calls handler for every event, with the event.
  int SubscribeAll(std::function<void(ControlEvent)> handler);
  // Unknown ids are ignored.
  void Unsubscribe(int id);

  // Raises event to every subscribed handler. Used by the control's own
  // routines (Init on show, Done and Reboot from the run and the start-ups).
  void RaiseEvent(ControlEvent event);

  // ---- Container notifications ----

  // The container shows the control: tells the user interface to show the
  // panel and raises Init; nothing else. Every show raises Init again.
  void UserControl_Show();
  // The container hides the control: no event, nothing changes but
  // visible().
  void UserControl_Hide();
  bool visible() const { return visible_; }

  // ---- The status panel ----
  //
  // Every write goes through these helpers, which store the new value and tell
  // the user interface what changed (PanelChange), even when the value is the
  // same as before. None of them repaints: a routine that must show its change
  // at once, without going back to the event loop, calls Repaint() after.

  const Panel& panel() const { return panel_; }

  // lblMessage caption: the phase message.
  void SetMessage(const std::string& text);
  // frameStatus caption: the file being handled.
  void SetFrameCaption(const std::string& text);
  // prgCurrent width in twips, full scale Panel::kCurrentBarScale (4335).
  // Callers compute in double precision; the width is kept in single
  // precision.
  void SetCurrentWidth(float width);
  // prgTotal width in twips, full scale Panel::kTotalBarScale (6375).
  void SetTotalWidth(float width);
  // lblBytes caption: the byte counter ("20k of 40k").
  void SetBytesCaption(const std::string& text);
  // The control's mouse pointer (kPointerDefault, kPointerHourglass).
  void SetMousePointer(int pointer);
  // Draws the whole panel now, before returning.
  void Repaint();

  // ---- Handlers of the child components ----
  //
  // A tick of tmrComInstall calls the timer handler, and a state change of
  // Inet1 calls the transfer handler with the new state. The install run and
  // the transfer completion (tmrComInstall_Timer, Inet1_StateChanged) install
  // themselves here before the timer is first enabled; until then a tick or
  // a state change does nothing. The handlers run on the control's thread.

  void SetTimerHandler(std::function<void()> handler);
  void SetTransferHandler(std::function<void(int16_t)> handler);

  // ---- The install run, the transfer completion, the install routine ----
  //
  // Defined in engine/. The constructor wires tmrComInstall to
  // tmrComInstall_Timer and Inet1's state changes to Inet1_StateChanged.
  void tmrComInstall_Timer();
  void Inet1_StateChanged(int16_t State);
  void InstallCurrentFile();

  // The default download server of the copy-only prelude (scheme and host,
  // no trailing "/"), which the prelude's fixed paths follow.
  static constexpr char kDefaultPreludeServer[] = "http://download.ostrel.com";
  void SetPreludeServer(const std::string& url) { prelude_server_ = url; }
  const std::string& prelude_server() const { return prelude_server_; }

  // The most bytes that a body without "Content-length" may bring; the
  // transfer is given up with a message beyond it.
  static constexpr int64_t kMaxUnannouncedBody = int64_t{512} << 20;
  void SetUnannouncedBodyLimit(int64_t bytes) { unannounced_body_limit_ = bytes; }

  // A start-up that replaces the list begins a new run. A transfer
  // completion or a tick that belongs to an earlier run (the host started
  // again while the loop ran) sees the number change and does nothing more.
  // A start-up that ends before it replaces the list (a cancelled picker, a
  // refused login, an object the server cannot make) leaves the run going.
  void BeginRun() {
    ++run_generation_;
    run_ended_ = false;
  }
  uint64_t run_generation() const { return run_generation_; }
  // Whether the current run reached the end of its list (and raised Done or
  // Reboot there). False while it goes on and after it halted.
  bool run_ended() const { return run_ended_; }
  // Whether the last start-up refused its install list as untrusted
  // (control/list_trust.h): nothing of it was requested, copied or
  // installed, and no event was raised.
  bool list_refused() const { return list_refused_; }

  // ---- Instance state ----
  //
  // Written and read by the start-up sequences, the install run, the transfer
  // completion and the install routine; empty, zero or false at creation and
  // reset between runs only by the routines that write them.

  // The run takes its files from a local folder instead of downloading them.
  bool mbLocalMode = false;
  // Copy-only mode: the run gathers the listed files into the picked folder
  // and installs nothing.
  bool mbCopyOnly = false;
  // Progress of the copy-only prelude: 0 not begun, 1 setup page requested,
  // 2 cabinet requested, 3 over.
  int16_t miPreludeStep = 0;
  // The current file arrives with ".cmp" appended and must be expanded.
  bool mbIsCompressed = false;
  // The install list being walked.
  std::unique_ptr<Recordset> mrsInstallList;
  // Target folder of the current file, then its full target path; in
  // copy-only mode the record's download location.
  std::string msTargetPath;
  // File name of the current file.
  std::string msFileName;
  // Version of the copy already on the machine.
  std::string msInstalledVersion;
  // Install type of the current file.
  int16_t miInstallType = 0;
  // Version of the current file as listed, trimmed.
  std::string msFileVersion;
  // The remote data space of the last online start-up (a counted reference).
  std::shared_ptr<DataSpace> mobjDataSpace;
  // The current file is a font.
  bool mbIsFont = false;
  // The Login argument.
  std::string msLogin;
  // The Password argument.
  std::string msPassword;
  // The login ID that the server returned; empty means refused.
  std::string msLoginID;
  // The BOServer argument (with the login ID inserted by StartupV2).
  std::string msServerURL;
  // The DownloadLocation argument, ending in "/" (online) or "\" (local).
  std::string msDownloadLocation;
  // The DevLogin argument: records flagged IsQVObject are left out.
  bool mbDevLogin = false;

  // ---- Child components ----

  // The run's timer: 1 ms interval, disabled at creation. Null only when the
  // control has no platform.
  std::unique_ptr<Timer> tmrComInstall;
  // The transfer component; null when the platform has none.
  std::unique_ptr<Transfer> Inet1;

 private:
  struct Subscriber {
    int id = 0;
    bool all_events = false;
    ControlEvent event = ControlEvent::kInit;
    std::function<void(ControlEvent)> handler;
  };

  // Makes the control's platform the current one while it lives, when the
  // thread has none. ready(): the control has a platform, so one is current.
  class PlatformScope {
   public:
    explicit PlatformScope(const ctlInit_V3& control);
    ~PlatformScope();
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;
    bool ready() const { return ready_; }

   private:
    bool ready_;
    std::unique_ptr<ScopedPlatform> scope_;
  };
  // The start-up methods' failure when PlatformScope is not ready.
  static ErrorInfo NoPlatformError();

  void NotifyPanel(PanelChange change);
  void OnTimerTick();
  void OnTransferState(int state);

  // ---- Engine helpers (engine/) ----

  // Asks Inet1 for url ("GET", header "Proxy-Connection: Keep-Alive") on
  // behalf of the current run. When no request can be made, shows the
  // download error and the run halts, as after a failed request.
  void StartTransfer(const std::string& url);
  // The three-line message for a file that could not be obtained from
  // source (an address or a local path).
  void ShowMissingFile(const std::string& source);
  // The message for a file from source whose size or digest is not what its
  // record states; copy_only says it was not kept rather than not installed.
  void ShowMismatchedFile(const std::string& source, bool copy_only);
  // "Initialization complete.", then Done, or the restart question.
  void FinishRun();

  // ---- Install run helpers (engine/install_run.cc) ----

  // What the run does once a record is handled: the next record in this
  // tick, the same one again in this tick, the next one left to the next
  // tick of the timer (enabled again) or to the completion of the transfer
  // just started, or nothing more in this tick, the record staying current.
  enum class RecordStep { kNext, kSame, kNextTick, kNextLater, kStop };
  // Handles the current record of the run that generation numbers.
  RecordStep HandleRecord(uint64_t generation);
  // The next step of the copy-only prelude.
  RecordStep RunPreludeStep();
  // Shows text about a record that cannot be used; the run goes on with the
  // next record unless a start-up made meanwhile owns the list.
  RecordStep RefuseRecord(const std::string& text, uint64_t generation);
  // Starts the program that a launch record names.
  void LaunchProgram(const InstallRecord& record);
  // Makes record the current file: target path, name, install type, listed
  // version and the version of the copy already there.
  void TakeRecord(const InstallRecord& record);
  void ReadInstalledVersion(const InstallRecord& record);
  // The box that halts a run for want of install rights.
  void ShowNoInstallRights();
  // Obtains the current file: copied from the local folder and installed
  // within the tick, or asked of Inet1.
  RecordStep FetchRecord(const InstallRecord& record, uint64_t generation);
  void CopyLocalFile(const InstallRecord& record);

  // ---- Start-up helpers (control/startup.cc) ----

  // Startup and StartupV2: the same steps, with the second's additions.
  ErrorInfo StartupOnline(bool v2, const std::string& DownloadLocation,
                          const std::string& BOServer, const std::string& KeyName,
                          const std::string& Login, const std::string& Password,
                          const std::string& RemoteAddress, bool DevLogin);
  // The "Error" box after a failure in a protected step.
  void ShowGatherError();
  // Makes the data space and the server's object through it; false when
  // either cannot be made.
  bool CreateBusinessObject(bool v2, const std::string& BOServer,
                            std::unique_ptr<BusinessObject>* object);
  // Logs in with msLogin and msPassword and keeps the login ID. The start-up's
  // result when it ends here (a refused login, an error of the call, or the
  // "Error" box shown), nothing when it goes on.
  std::optional<ErrorInfo> LogIn(BusinessObject& object, const std::string& KeyName,
                                 const std::string& RemoteAddress);
  // The protected steps: begins a new run and replaces the install list with
  // the server's, writes the login notes (StartupV2), keeps a copy of the
  // list (copy-only) and leaves out the product components (DevLogin).
  // False when a step failed.
  bool ReplaceInstallList(BusinessObject& object, bool v2);
  bool FetchInstallList(BusinessObject& object);
  bool WriteLoginNotes(BusinessObject& object);
  bool SaveListCopy();
  // Judges mrsInstallList against the machine's trust key; on refusal shows
  // why, notes it (list_refused) and returns false. On acceptance raises
  // the machine's newest serial (control/list_trust.cc).
  bool TrustInstallList();

  // A request started by StartTransfer awaits its state change, and the run
  // that started it.
  bool transfer_in_flight_ = false;
  uint64_t transfer_generation_ = 0;
  bool transfer_copy_only_ = false;
  std::string transfer_copy_folder_;
  // The served file's size and digest that the current record states (-1
  // and "" when it states none), and the ones of the file in flight.
  int64_t file_size_ = -1;
  std::string file_sha256_;
  int64_t transfer_file_size_ = -1;
  std::string transfer_file_sha256_;

  Platform* platform_ = nullptr;
  Panel panel_;
  bool visible_ = false;
  std::vector<Subscriber> subscribers_;
  int next_subscriber_id_ = 1;
  std::string prelude_server_ = kDefaultPreludeServer;
  int64_t unannounced_body_limit_ = kMaxUnannouncedBody;
  uint64_t run_generation_ = 0;
  bool run_ended_ = false;
  bool list_refused_ = false;
  std::function<void()> timer_handler_;
  std::function<void(int16_t)> transfer_handler_;
  // Lives exactly as long as the control; the transfer component's state
  // handler holds a weak reference, so that a state change delivered after
  // the control is gone is dropped.
  std::shared_ptr<ctlInit_V3*> alive_;
};

}  // namespace qv

#endif  // QV_CONTROL_CTLINIT_V3_H_
