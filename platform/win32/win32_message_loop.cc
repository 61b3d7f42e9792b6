// Win32MessageLoop: the hidden window that runs the EventLoop from the
// thread's message loop, and the thread's queue as the loop's native source.
#include "platform/win32/win32_message_loop.h"

#include <algorithm>

#include "platform/win32/windows_api.h"

namespace qv::win32 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kVisitMessage = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;
// The shortest time between two looks of Check() into the queue.
constexpr auto kLookInterval = std::chrono::milliseconds(1);
constexpr wchar_t kClassName[] = L"QvEventLoopWindow";

HWND AsWindow(void* window) { return static_cast<HWND>(window); }

// The module this code lives in (the component's DLL, or the program).
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM found) {
  if (IsWindowVisible(window)) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

struct MessageWindow {
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32MessageLoop*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && (message == kVisitMessage ||
                            (message == WM_TIMER && wparam == kTimerId))) {
      self->Visit();
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  static bool Register() {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = &Proc;
    window_class.hInstance = ThisModule();
    window_class.lpszClassName = kClassName;
    return RegisterClassExW(&window_class) != 0 ||
           GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }
};

// The thread pool's timer for a visit sooner than a window timer can bring
// one: it posts the visit message from a pool thread.
struct SoonTimer {
  static void CALLBACK Fire(PTP_CALLBACK_INSTANCE, void* loop, PTP_TIMER) {
    static_cast<Win32MessageLoop*>(loop)->PostVisit();
  }
};

NextVisit PlanNextVisit(std::optional<Clock::time_point> due, Clock::time_point now) {
  if (!due) return {NextVisit::Kind::kNoTimer};
  if (*due <= now) return {NextVisit::Kind::kPostNow};
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
  const auto limit = static_cast<long long>(USER_TIMER_MAXIMUM);
  return {NextVisit::Kind::kTimer, static_cast<uint32_t>(std::min<long long>(wait, limit))};
}

Win32MessageLoop::Win32MessageLoop(EventLoop* loop) : loop_(loop) {
  wake_event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (wake_event_ == nullptr || !MessageWindow::Register()) return;
  window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            ThisModule(), this);
  if (window_ == nullptr) return;
  soon_timer_ = CreateThreadpoolTimer(&SoonTimer::Fire, this, nullptr);
  loop_->SetNativeEventSource(this);
  loop_->SetWakeCallback([this] { PostVisit(); });
  ArrangeNextVisit();
}

Win32MessageLoop::~Win32MessageLoop() {
  if (soon_timer_ != nullptr) {
    const PTP_TIMER timer = static_cast<PTP_TIMER>(soon_timer_);
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
  }
  if (window_ != nullptr) {
    loop_->SetWakeCallback({});
    if (loop_->native_event_source() == this) loop_->SetNativeEventSource(nullptr);
    DestroyWindow(AsWindow(window_));
  }
  if (wake_event_ != nullptr) CloseHandle(wake_event_);
}

void Win32MessageLoop::PostVisit() {
  // One visit message in the queue at a time: a burst of posts from a worker
  // thread becomes one message.
  if (!visit_posted_.exchange(true)) PostMessageW(AsWindow(window_), kVisitMessage, 0, 0);
}

void Win32MessageLoop::Visit() {
  visit_posted_ = false;
  if (visiting_ || dispatching_ > 0) {
    // The loop runs itself (a RunUntil, or RunDue below us) and serves its
    // events there; come back by the timer once the host pumps again.
    ArmTimer(USER_TIMER_MINIMUM);
    return;
  }
  visiting_ = true;
  loop_->RunDue();
  visiting_ = false;
  ArrangeNextVisit();
}

void Win32MessageLoop::ArrangeNextVisit() {
  const NextVisit next = PlanNextVisit(loop_->NextDueTime(), Clock::now());
  switch (next.kind) {
    case NextVisit::Kind::kPostNow:
      DisarmTimer();
      DisarmSoonTimer();
      PostVisit();
      break;
    case NextVisit::Kind::kTimer:
      if (next.timer_ms < USER_TIMER_MINIMUM && soon_timer_ != nullptr) {
        DisarmTimer();
        ArmSoonTimer(next.timer_ms);
      } else {
        DisarmSoonTimer();
        ArmTimer(next.timer_ms);
      }
      break;
    case NextVisit::Kind::kNoTimer:
      DisarmTimer();
      DisarmSoonTimer();
      break;
  }
}

void Win32MessageLoop::ArmTimer(uint32_t ms) {
  SetTimer(AsWindow(window_), kTimerId, ms, nullptr);
  timer_armed_ = true;
}

// A pool timer costs no call to the window system (and under Wine no round
// trip to its server) to set or cancel; only its visit message does.
void Win32MessageLoop::ArmSoonTimer(uint32_t ms) {
  // Relative times are negative, in units of 100 ns.
  const LONGLONG due = -static_cast<LONGLONG>(ms) * 10'000;
  FILETIME when;
  when.dwLowDateTime = static_cast<DWORD>(due);
  when.dwHighDateTime = static_cast<DWORD>(due >> 32);
  SetThreadpoolTimer(static_cast<PTP_TIMER>(soon_timer_), &when, 0, 0);
  soon_timer_armed_ = true;
}

void Win32MessageLoop::DisarmSoonTimer() {
  if (!soon_timer_armed_) return;
  SetThreadpoolTimer(static_cast<PTP_TIMER>(soon_timer_), nullptr, 0, 0);
  soon_timer_armed_ = false;
}

// Each visit ends here when work is due at once; a timer that was never set
// costs nothing to leave alone (a kill is a call to the window system, and
// under Wine a round trip to its server).
void Win32MessageLoop::DisarmTimer() {
  if (!timer_armed_) return;
  KillTimer(AsWindow(window_), kTimerId);
  timer_armed_ = false;
}

void Win32MessageLoop::Check() {
  // Only a busy loop passes a look over: it waits (and looks) before long,
  // while an idle one may be about to give up its wait.
  if (Clock::now() - last_look_ < kLookInterval && !loop_->Idle()) return;
  Drain();
}

void Win32MessageLoop::Drain() {
  last_look_ = Clock::now();
  ++dispatching_;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // The thread is closing: give the host its quit message back and end
      // every wait of the loop (once: Quit() wakes the window, whose visit
      // would find the message here again).
      PostQuitMessage(static_cast<int>(message.wParam));
      if (!loop_->quitting()) loop_->Quit();
      break;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  --dispatching_;
}

void Win32MessageLoop::Wait(Clock::duration timeout) {
  DWORD wait_ms = INFINITE;
  if (timeout != Clock::duration::max()) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    wait_ms = static_cast<DWORD>(std::clamp<long long>(ms, 0, INFINITE - 1));
  }
  HANDLE event = wake_event_;
  waiting_ = true;
  MsgWaitForMultipleObjectsEx(1, &event, wait_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  waiting_ = false;
  Drain();
}

// Every post also posts the visit message unless one is queued already, and
// either ends the wait above; the event is for a wait under way only, so
// that a post made while the thread works costs no call.
void Win32MessageLoop::Wake() {
  if (waiting_) SetEvent(wake_event_);
}

bool Win32MessageLoop::Active() {
  bool found = false;
  EnumThreadWindows(GetCurrentThreadId(), &FindVisibleWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace qv::win32
