// FillPlatform: a Platform made of the Windows backend's services.
#include "platform/win32/win32_platform.h"

#include <memory>

namespace qv::win32 {

void FillPlatform(Win32Services* services, Platform* platform) {
  *platform = Platform{};
  platform->registry = &services->registry;
  platform->files = &services->files;
  platform->processes = &services->processes;
  platform->system = &services->system;
  platform->versions = &services->versions;
  platform->codec = &services->codec;
  platform->restart = &services->restart;
  platform->fonts = &services->fonts;
  FileSystem* files = &services->files;
  platform->new_expander = [files] { return std::make_unique<Win32Expander>(files); };
  platform->new_data_space = [] { return std::make_unique<Win32DataSpace>(); };
  if (!services->message_loop.ok()) return;
  EventLoop* loop = &services->loop;
  platform->loop = loop;
  platform->new_transfer = [loop] { return std::make_unique<Win32Transfer>(loop); };
}

}  // namespace qv::win32
