// FltkEventSource: the loop waits in Fl::wait and is woken by Fl::awake.
#include "platform/fltk/fltk_event_source.h"

#include <FL/Fl.H>

namespace qv::fltk {

namespace {

// FLTK's "forever": Fl::wait treats this as no time limit.
constexpr double kForeverSeconds = 1e20;

}  // namespace

FltkEventSource& FltkEventSource::Instance() {
  // Never destroyed: other threads may still wake it at exit.
  static FltkEventSource* source = new FltkEventSource();
  return *source;
}

FltkEventSource::FltkEventSource() {
  // Fl::lock() makes the wake-up pipe that Fl::awake writes to. The UI thread
  // keeps the lock; Fl::wait lets go of it while it sleeps. No other thread
  // takes it: they only call Fl::awake, which needs no lock.
  Fl::lock();
}

void FltkEventSource::Check() {
  Fl::check();
  // Cleared after handling: a wake-up that comes later writes again, and the
  // loop looks at its queue after this returns.
  wake_pending_.store(false);
}

void FltkEventSource::Wait(std::chrono::steady_clock::duration timeout) {
  double seconds = kForeverSeconds;
  if (timeout != std::chrono::steady_clock::duration::max()) {
    seconds = std::chrono::duration<double>(timeout).count();
    if (seconds < 0) seconds = 0;
  }
  Fl::wait(seconds);
  wake_pending_.store(false);
}

void FltkEventSource::Wake() {
  if (!wake_pending_.exchange(true)) Fl::awake();
}

bool FltkEventSource::Active() { return Fl::first_window() != nullptr; }

}  // namespace qv::fltk
