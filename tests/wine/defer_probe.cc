// A Windows client of QV_INIT_V3.ocx for a run whose file cannot be replaced
// now: it starts a local run and pumps messages until the run ends, while a
// watcher thread answers the control's question whether to restart the
// machine now. Prints one line per case and "RESULT ok" or "RESULT failed";
// exits with the number of failed cases.
//
//   defer_probe.exe <path of QV_INIT_V3.ocx> <folder with an install list> yes|no
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/wine/com_client.h"

namespace {

using qv::com_client::Check;

struct Question {
  HWND box = nullptr;
  std::wstring text;
};

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
  wchar_t text[512];
  if (GetWindowTextW(child, text, 512) > 0) {
    reinterpret_cast<Question*>(param)->text += text;
    reinterpret_cast<Question*>(param)->text += L"\n";
  }
  return TRUE;
}

// A dialog box of this process on the screen.
BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t type[64];
  if (process != GetCurrentProcessId() || !IsWindowVisible(window) ||
      GetClassNameW(window, type, 64) == 0 || std::wstring(type) != L"#32770") {
    return TRUE;
  }
  auto* question = reinterpret_cast<Question*>(param);
  question->box = window;
  EnumChildWindows(window, CollectText, param);
  return FALSE;
}

// Answers the first message box of this process with `button`; records its
// text. Gives up after a minute or when told to stop.
class Answerer {
 public:
  explicit Answerer(int button) : thread_([this, button] { Watch(button); }) {}
  ~Answerer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  Answerer(const Answerer&) = delete;
  Answerer& operator=(const Answerer&) = delete;

  // The text of the box answered, "" when none was seen.
  std::wstring text() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return text_;
  }

 private:
  void Watch(int button) {
    for (int round = 0; round < 600 && !stop_; ++round) {
      Question question;
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&question));
      if (question.box != nullptr && GetDlgItem(question.box, button) != nullptr) {
        text_ = question.text;
        SendMessageW(GetDlgItem(question.box, button), BM_CLICK, 0, 0);
        return;
      }
      Sleep(100);
    }
  }

  std::atomic<bool> stop_{false};
  std::wstring text_;
  std::thread thread_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring answer = argc == 4 ? argv[3] : L"";
  if (answer != L"yes" && answer != L"no") {
    std::fprintf(stderr,
                 "usage: defer_probe <QV_INIT_V3.ocx> <folder with an install list> yes|no\n");
    return 2;
  }
  CoInitialize(nullptr);
  qv::com_client::LoadedControl control(argv[1]);
  Check("a control made by the library's factory", control.get() != nullptr);
  if (control.get() == nullptr) return qv::com_client::Finish();
  qv::com_client::AdvisedSink advised(control.get());
  Check("a sink advised", advised.advised());

  Answerer answerer(answer == L"yes" ? IDYES : IDNO);
  const HRESULT hr =
      qv::com_client::CallStartup(control.get(), qv::kDispIdStartupLocal, {argv[2]}, false);
  Check("the start-up starts a run", hr == S_OK, hr);
  qv::com_client::PumpUntilEnded(advised.sink(), 600);
  const std::wstring question = answerer.text();
  Check("the run asks whether to restart the machine now",
        question.find(L"requires a system reboot") != std::wstring::npos);
  const bool rebooting = answer == L"yes";
  Check(rebooting ? "a yes raises Reboot and not Done" : "a no raises Done and not Reboot",
        advised.sink().Received(rebooting ? qv::ControlEvent::kReboot : qv::ControlEvent::kDone) &&
            !advised.sink().Received(rebooting ? qv::ControlEvent::kDone
                                               : qv::ControlEvent::kReboot));
  return qv::com_client::Finish();
}
