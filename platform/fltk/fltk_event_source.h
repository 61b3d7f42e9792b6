// FltkEventSource: FLTK's event queue as the event loop's native source.
//
// With it set on the UI thread's EventLoop, X events (input, exposure,
// window closing) are handled while the loop runs its timers and posted
// events, and the loop sleeps inside FLTK's wait. Post() from another thread
// wakes that wait through Fl::awake; wake-ups are coalesced, so that a burst
// of posts writes one byte to FLTK's wake-up pipe, not one per post.
//
// There is one per process (FLTK's queue is one per process too), which
// lives until the process ends, so that a thread that posts while a loop
// detaches it never reaches a destroyed object.
//
// Threading: used on the UI thread, except Wake(), which any thread may
// call.
#ifndef QV_PLATFORM_FLTK_FLTK_EVENT_SOURCE_H_
#define QV_PLATFORM_FLTK_FLTK_EVENT_SOURCE_H_

#include <atomic>
#include <chrono>

#include "platform/event_loop.h"

namespace qv::fltk {

class FltkEventSource : public NativeEventSource {
 public:
  // The process's source. The first call, on the UI thread, enables FLTK's
  // thread support, which Fl::awake needs.
  static FltkEventSource& Instance();

  void Check() override;
  void Wait(std::chrono::steady_clock::duration timeout) override;
  void Wake() override;
  // True while FLTK shows a window.
  bool Active() override;

 private:
  FltkEventSource();

  std::atomic<bool> wake_pending_{false};
};

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_FLTK_EVENT_SOURCE_H_
