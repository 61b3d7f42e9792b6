// Win32Services: the services of the Windows backend, owned together, and
// the Platform that points at them.
//
// The event loop runs from the thread's message loop (Win32MessageLoop);
// transfers and the remote data space go through WinINet, archives through
// the system's cabinet decompressor. The user interface (win32_ui.h) belongs
// to whoever places the panel: FillPlatform leaves it null for the caller to
// set.
//
// The services are used from the thread that installs the platform.
#ifndef QV_PLATFORM_WIN32_WIN32_PLATFORM_H_
#define QV_PLATFORM_WIN32_WIN32_PLATFORM_H_

#include "platform/platform.h"
#include "platform/win32/win32_data_space.h"
#include "platform/win32/win32_expander.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_fonts.h"
#include "platform/win32/win32_message_loop.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_restart.h"
#include "platform/win32/win32_system_info.h"
#include "platform/win32/win32_text_codec.h"
#include "platform/win32/win32_transfer.h"
#include "platform/win32/win32_version_info.h"

namespace qv::win32 {

struct Win32Services {
  Win32Registry registry;
  Win32FileSystem files;
  Win32ProcessLauncher processes;
  Win32SystemInfo system;
  Win32VersionInfo versions;
  Win32TextCodec codec;  // the machine's ANSI code page
  Win32Restart restart;
  Win32Fonts fonts;
  EventLoop loop;
  Win32MessageLoop message_loop{&loop};  // after loop, which it drives
};

// Points *platform's services at those of *services (which must outlive
// it) and clears the rest.
void FillPlatform(Win32Services* services, Platform* platform);

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_PLATFORM_H_
