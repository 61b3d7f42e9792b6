// ctlInit_V3: the start-up sequences Startup, StartupV2 and StartupLocal.
//
// A start-up takes the host's parameters, resets the panel, sets up the
// product folders, obtains the install list (from the server after a login,
// or from a local folder), stores what the run needs in the members and
// enables tmrComInstall. The steps that touch the data-access components and
// the list form a protected stretch: a failure there is shown in one "Error"
// box and the method returns quietly. A refused login and any error outside
// that stretch go back to the host as the method's result.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "control/client_report.h"
#include "control/ctlInit_V3.h"
#include "control/module_state.h"
#include "dialogs/frmPickDir.h"
#include "install/modInstall.h"
#include "platform/data_space.h"
#include "platform/platform.h"
#include "platform/recordset.h"
#include "system/modRegistry.h"

namespace qv {
namespace {

constexpr char kStartMessage[] = "Please wait, initializing system login procedure...";
constexpr char kListMessage[] = "Please wait, getting list of files for update...";
constexpr char kRunMessage[] = "Please wait, checking and installing needed updates...";

constexpr char kObjectV1[] = "QVBOGeneral_V3.Init";
constexpr char kObjectV2[] = "QVBO_V2.Init";

constexpr char kListFileName[] = "installlist.rst";
constexpr char kDevFilter[] = "IsQVObject = 0";

// Where the data-access components can be had; named in the "Error" box.
constexpr char kDataAccessDownloadPage[] = "https://www.microsoft.com/download";

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string WithSeparator(const std::string& text, char separator) {
  if (!text.empty() && text.back() == separator) return text;
  return text + separator;
}

// A failure inside the protected stretch; only its occurrence matters.
struct Protected {
  bool failed = false;
  void Fail() { failed = true; }
};

}  // namespace

void ctlInit_V3::ShowGatherError() {
  const std::string text =
      std::string("There was an error trying to gather information required.\r\r") +
      "Please visit " + kDataAccessDownloadPage +
      " to install the latest version of Microsoft Data Access Components (MDAC).";
  CurrentPlatform().ui->MessageBox(text, 48, "Error");
}

ErrorInfo ctlInit_V3::Startup(const std::string& DownloadLocation, const std::string& BOServer,
                              const std::string& KeyName, const std::string& Login,
                              const std::string& Password, const std::string& RemoteAddress,
                              bool DevLogin) {
  PlatformScope scope(*this);
  if (!scope.ready()) return NoPlatformError();
  return StartupOnline(false, DownloadLocation, BOServer, KeyName, Login, Password,
                       RemoteAddress, DevLogin);
}

ErrorInfo ctlInit_V3::StartupV2(const std::string& DownloadLocation, const std::string& BOServer,
                                const std::string& KeyName, const std::string& Login,
                                const std::string& Password, const std::string& RemoteAddress,
                                bool DevLogin) {
  PlatformScope scope(*this);
  if (!scope.ready()) return NoPlatformError();
  return StartupOnline(true, DownloadLocation, BOServer, KeyName, Login, Password, RemoteAddress,
                       DevLogin);
}

ErrorInfo ctlInit_V3::StartupOnline(bool v2, const std::string& DownloadLocation,
                                    const std::string& BOServer, const std::string& KeyName,
                                    const std::string& Login, const std::string& Password,
                                    const std::string& RemoteAddress, bool DevLogin) {
  Platform& platform = CurrentPlatform();

  // The mode is set once the picker has given a folder: a cancelled picker
  // changes nothing, so a run still under way goes on as it was.
  const bool copy_only = Upper(RemoteAddress) == "COPYONLY";
  if (copy_only) {
    frmPickDir::Instance().Show();
    if (gsCopyFolder.empty()) {
      RaiseEvent(ControlEvent::kDone);
      return ErrorInfo::None();
    }
  }
  mbLocalMode = false;
  mbCopyOnly = copy_only;
  mbDevLogin = DevLogin;

  SetMessage(kStartMessage);
  Repaint();
  SetTotalWidth(0);
  SetCurrentWidth(0);
  Repaint();
  InitFolders();
  SweepTempLeftovers();

  // The business object lives only while this method runs.
  std::unique_ptr<BusinessObject> business_object;
  if (!platform.new_data_space) {
    ShowGatherError();
    return ErrorInfo::None();
  }
  mobjDataSpace = platform.new_data_space();
  if (mobjDataSpace == nullptr ||
      !mobjDataSpace->CreateObject(v2 ? kObjectV2 : kObjectV1, BOServer, &business_object).ok() ||
      business_object == nullptr) {
    ShowGatherError();
    return ErrorInfo::None();
  }

  msLogin = Login;
  msPassword = Password;
  msDownloadLocation = WithSeparator(DownloadLocation, '/');

  {
    std::vector<std::string> arguments = {KeyName, msLogin, msPassword, RemoteAddress};
    CallResult result;
    ErrorInfo error = business_object->Call("LoginUser", &arguments, &result);
    if (error.number == kErrorCannotCreateObject) {
      // The object was made without asking the server; its first call is
      // where the server says it cannot make it. That belongs to the
      // protected creation step.
      ShowGatherError();
      return ErrorInfo::None();
    }
    if (!error.ok()) return error;
    if (result.kind == CallResult::Kind::kRecordset) {
      return {13, "LoginUser", "Type mismatch"};
    }
    msLoginID = result.text;
    // The arguments went by reference.
    msLogin = arguments[1];
    msPassword = arguments[2];
  }
  if (msLoginID.empty()) {
    return {20, "Login Check", "The username/password you have supplied is not valid."};
  }
  Repaint();

  msServerURL = BOServer;
  SetTotalWidth(0);
  SetCurrentWidth(0);
  gbRebootNeeded = false;
  SetMessage(kListMessage);
  Repaint();

  // ---- Protected stretch ----
  Protected stretch;
  // The list is replaced from here on: a new run begins, and whatever an
  // earlier run still has in flight belongs to that run. A start-up that
  // ends before this point leaves a run under way going.
  BeginRun();
  mrsInstallList = std::make_unique<Recordset>();
  {
    std::vector<std::string> arguments = {msLoginID};
    CallResult result;
    if (!business_object->Call("GetInstallFiles", &arguments, &result).ok() ||
        result.kind != CallResult::Kind::kRecordset || result.recordset == nullptr) {
      stretch.Fail();
    } else {
      msLoginID = arguments[0];
      mrsInstallList = std::move(result.recordset);
    }
  }
  if (!stretch.failed && v2) {
    const MemoryStatus memory = platform.system->GlobalMemoryStatus();
    gbHasInstallRights = HasInstallRights();
    std::vector<std::string> arguments = {msLoginID, BuildClientReport(memory, gbHasInstallRights)};
    CallResult result;
    if (business_object->Call("WriteLoginNotes", &arguments, &result).ok()) {
      msLoginID = arguments[0];  // by reference, as for the other calls
    } else {
      stretch.Fail();
    }
  }
  if (!stretch.failed && mbCopyOnly) {
    const std::string list_path = gsCopyFolder + kListFileName;
    (void)platform.files->DeleteFile(list_path);
    if (!mrsInstallList->save(list_path).ok()) stretch.Fail();
  }
  if (!stretch.failed && mbDevLogin) {
    if (!mrsInstallList->SetFilter(kDevFilter).ok()) stretch.Fail();
  }
  if (stretch.failed) {
    ShowGatherError();
    return ErrorInfo::None();
  }
  // ---- End of the protected stretch ----

  if (!v2) gbHasInstallRights = HasInstallRights();
  SetMessage(kRunMessage);
  Repaint();
  if (v2) {
    // The server address handed to a started program carries the login ID.
    std::string url;
    const std::string marker = "://";
    size_t from = 0;
    for (size_t at = msServerURL.find(marker); at != std::string::npos;
         at = msServerURL.find(marker, from)) {
      url.append(msServerURL, from, at - from);
      url += marker + msLoginID + "@";
      from = at + marker.size();
    }
    url.append(msServerURL, from, std::string::npos);
    msServerURL = url;
  }
  tmrComInstall->SetEnabled(true);
  return ErrorInfo::None();
}

ErrorInfo ctlInit_V3::StartupLocal(const std::string& DownloadLocation) {
  PlatformScope scope(*this);
  if (!scope.ready()) return NoPlatformError();
  mbDevLogin = false;
  mbLocalMode = true;
  mbCopyOnly = false;
  miPreludeStep = 1;
  SetMessage(kStartMessage);
  Repaint();
  gbHasInstallRights = HasInstallRights();
  SetTotalWidth(0);
  SetCurrentWidth(0);
  InitFolders();
  SweepTempLeftovers();
  msDownloadLocation = WithSeparator(DownloadLocation, '\\');
  SetTotalWidth(0);
  SetCurrentWidth(0);
  gbRebootNeeded = false;
  SetMessage(kListMessage);
  Repaint();

  // ---- Protected stretch ----
  BeginRun();  // the list is replaced
  mrsInstallList = std::make_unique<Recordset>();
  if (!mrsInstallList->Open(msDownloadLocation + kListFileName).ok()) {
    ShowGatherError();
    return ErrorInfo::None();
  }

  SetMessage(kRunMessage);
  Repaint();
  tmrComInstall->SetEnabled(true);
  return ErrorInfo::None();
}

}  // namespace qv
