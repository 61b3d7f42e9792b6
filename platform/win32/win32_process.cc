// Win32ProcessLauncher on CreateProcessW, WaitForSingleObject and
// GetExitCodeProcess.
#include "platform/win32/win32_process.h"

#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_last_error.h"
#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

class Win32Process : public Process {
 public:
  Win32Process(ObjectHandle process, int64_t id) : process_(std::move(process)), id_(id) {}

  uint32_t Wait() override {
    WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
  }

  int64_t id() const override { return id_; }

 private:
  ObjectHandle process_;
  int64_t id_;
};

}  // namespace

Status Win32ProcessLauncher::CreateProcess(const std::string& command_line, WindowStyle style,
                                           std::unique_ptr<Process>* process) {
  process->reset();
  // CreateProcessW may write into the command line; it gets its own copy.
  std::wstring line = Utf8ToWide(command_line);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (style != WindowStyle::kDefault) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(style);
  }
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    const Status failed = LastError("start " + command_line);
    if (failed.code() == ERROR_BAD_EXE_FORMAT) {
      return Status::Error(kErrorBadFormat, failed.message());
    }
    return failed;
  }
  ObjectHandle thread(started.hThread);
  *process = std::make_unique<Win32Process>(ObjectHandle(started.hProcess),
                                            static_cast<int64_t>(started.dwProcessId));
  return Status::OK();
}

}  // namespace qv::win32
