// The per-thread current platform.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace qv {

namespace {
thread_local Platform* current = nullptr;
}  // namespace

Platform& CurrentPlatform() {
  if (current == nullptr) {
    std::fputs("qv: no platform installed on this thread\n", stderr);
    std::abort();
  }
  return *current;
}

bool HasCurrentPlatform() { return current != nullptr; }

ScopedPlatform::ScopedPlatform(Platform* platform) : previous_(current) {
  current = platform;
}

ScopedPlatform::~ScopedPlatform() { current = previous_; }

}  // namespace qv
