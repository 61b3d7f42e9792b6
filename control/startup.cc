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
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/client_report.h"
#include "control/ctlInit_V3.h"
#include "dialogs/frmPickDir.h"
#include "install/modInstall.h"
#include "platform/data_space.h"
#include "platform/platform.h"
#include "platform/recordset.h"
#include "state/module_state.h"
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

// url with login_id inserted after every "://".
std::string WithLoginId(const std::string& url, const std::string& login_id) {
  std::string out;
  const std::string marker = "://";
  size_t from = 0;
  for (size_t at = url.find(marker); at != std::string::npos; at = url.find(marker, from)) {
    out.append(url, from, at - from);
    out += marker + login_id + "@";
    from = at + marker.size();
  }
  out.append(url, from, std::string::npos);
  return out;
}

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
  list_refused_ = false;
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
  if (!CreateBusinessObject(v2, BOServer, &business_object)) {
    ShowGatherError();
    return ErrorInfo::None();
  }
  msLogin = Login;
  msPassword = Password;
  msDownloadLocation = WithSeparator(DownloadLocation, '/');
  if (const std::optional<ErrorInfo> ended = LogIn(*business_object, KeyName, RemoteAddress)) {
    return *ended;
  }
  Repaint();

  msServerURL = BOServer;
  SetTotalWidth(0);
  SetCurrentWidth(0);
  gbRebootNeeded = false;
  SetMessage(kListMessage);
  Repaint();
  if (!ReplaceInstallList(*business_object, v2)) {
    if (!list_refused_) ShowGatherError();
    return ErrorInfo::None();
  }

  if (!v2) gbHasInstallRights = HasInstallRights();
  SetMessage(kRunMessage);
  Repaint();
  // The server address handed to a started program carries the login ID.
  if (v2) msServerURL = WithLoginId(msServerURL, msLoginID);
  tmrComInstall->SetEnabled(true);
  return ErrorInfo::None();
}

bool ctlInit_V3::CreateBusinessObject(bool v2, const std::string& BOServer,
                                      std::unique_ptr<BusinessObject>* object) {
  Platform& platform = CurrentPlatform();
  if (!platform.new_data_space) return false;
  mobjDataSpace = platform.new_data_space();
  return mobjDataSpace != nullptr &&
         mobjDataSpace->CreateObject(v2 ? kObjectV2 : kObjectV1, BOServer, object).ok() &&
         *object != nullptr;
}

std::optional<ErrorInfo> ctlInit_V3::LogIn(BusinessObject& object, const std::string& KeyName,
                                           const std::string& RemoteAddress) {
  std::vector<std::string> arguments = {KeyName, msLogin, msPassword, RemoteAddress};
  CallResult result;
  ErrorInfo error = object.Call("LoginUser", &arguments, &result);
  if (error.number == kErrorCannotCreateObject) {
    // The object was made without asking the server; its first call is
    // where the server says it cannot make it. That belongs to the
    // protected creation step.
    ShowGatherError();
    return ErrorInfo::None();
  }
  if (!error.ok()) return error;
  if (result.kind == CallResult::Kind::kRecordset) {
    return ErrorInfo{13, "LoginUser", "Type mismatch"};
  }
  msLoginID = result.text;
  // The arguments went by reference.
  msLogin = arguments[1];
  msPassword = arguments[2];
  if (msLoginID.empty()) {
    return ErrorInfo{20, "Login Check", "The username/password you have supplied is not valid."};
  }
  return std::nullopt;
}

bool ctlInit_V3::ReplaceInstallList(BusinessObject& object, bool v2) {
  // The list is replaced from here on: a new run begins, and whatever an
  // earlier run still has in flight belongs to that run. A start-up that
  // ends before this point leaves a run under way going.
  BeginRun();
  mrsInstallList = std::make_unique<Recordset>();
  if (!FetchInstallList(object)) return false;
  if (!TrustInstallList()) return false;
  if (v2 && !WriteLoginNotes(object)) return false;
  if (mbCopyOnly && !SaveListCopy()) return false;
  if (mbDevLogin && !mrsInstallList->SetFilter(kDevFilter).ok()) return false;
  return true;
}

bool ctlInit_V3::FetchInstallList(BusinessObject& object) {
  std::vector<std::string> arguments = {msLoginID};
  CallResult result;
  if (!object.Call("GetInstallFiles", &arguments, &result).ok() ||
      result.kind != CallResult::Kind::kRecordset || result.recordset == nullptr) {
    return false;
  }
  msLoginID = arguments[0];
  mrsInstallList = std::move(result.recordset);
  return true;
}

bool ctlInit_V3::WriteLoginNotes(BusinessObject& object) {
  const MemoryStatus memory = CurrentPlatform().system->GlobalMemoryStatus();
  gbHasInstallRights = HasInstallRights();
  std::vector<std::string> arguments = {msLoginID, BuildClientReport(memory, gbHasInstallRights)};
  CallResult result;
  if (!object.Call("WriteLoginNotes", &arguments, &result).ok()) return false;
  msLoginID = arguments[0];  // by reference, as for the other calls
  return true;
}

bool ctlInit_V3::SaveListCopy() {
  const std::string list_path = gsCopyFolder + kListFileName;
  (void)CurrentPlatform().files->DeleteFile(list_path);
  return mrsInstallList->save(list_path).ok();
}

ErrorInfo ctlInit_V3::StartupLocal(const std::string& DownloadLocation) {
  PlatformScope scope(*this);
  if (!scope.ready()) return NoPlatformError();
  list_refused_ = false;
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
  if (!TrustInstallList()) return ErrorInfo::None();

  SetMessage(kRunMessage);
  Repaint();
  tmrComInstall->SetEnabled(true);
  return ErrorInfo::None();
}

}  // namespace qv
