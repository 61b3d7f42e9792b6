// Platform: the set of services through which the control reaches the
// operating system, bundled for one machine.
//
// A backend (the sandbox machine, later Windows itself) fills a Platform with
// its services. The host installs one as the current platform of its UI
// thread with ScopedPlatform; the control's modules reach it with
// CurrentPlatform(). Like the control's module-level values, the current
// platform is per thread.
//
// Text: each interface's header says what its strings carry: UTF-8 inside the
// program, ANSI bytes where a call mirrors an ANSI entry point (registry,
// system folders).
#ifndef QV_PLATFORM_PLATFORM_H_
#define QV_PLATFORM_PLATFORM_H_

#include <functional>
#include <memory>

#include "platform/data_space.h"
#include "platform/event_loop.h"
#include "platform/expander.h"
#include "platform/file_system.h"
#include "platform/fonts.h"
#include "platform/process_launcher.h"
#include "platform/registry.h"
#include "platform/restart.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"
#include "platform/transfer.h"
#include "platform/user_interface.h"
#include "platform/version_info.h"

namespace qv {

struct Platform {
  Registry* registry = nullptr;
  FileSystem* files = nullptr;
  ProcessLauncher* processes = nullptr;
  SystemInfo* system = nullptr;
  VersionInfo* versions = nullptr;
  const TextCodec* codec = nullptr;
  EventLoop* loop = nullptr;
  UserInterface* ui = nullptr;
  Restart* restart = nullptr;
  Fonts* fonts = nullptr;
  // Makes a new expansion component; null when the backend has none.
  std::function<std::unique_ptr<Expander>()> new_expander;
  // Makes a new transfer component; null when the backend has none.
  std::function<std::unique_ptr<Transfer>()> new_transfer;
  // Makes a new remote data space; null when the backend has none (as when
  // the data-access components are missing).
  std::function<std::unique_ptr<DataSpace>()> new_data_space;
};

// The current thread's platform.
// REQUIRES: a ScopedPlatform is alive on this thread.
Platform& CurrentPlatform();
bool HasCurrentPlatform();

class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform* platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace qv

#endif  // QV_PLATFORM_PLATFORM_H_
