// ObjectPlatform: the platform a control object works on, owned by the
// object: the Windows backend's services (FillPlatform) and the object's own
// user interface, whose panel the container places in its window.
//
// The control's event loop is the message loop of the thread that made the
// object (Win32MessageLoop): a host that pumps its messages, a script host
// waiting in a message box among them, drives a started run to its end.
#ifndef QV_PLATFORM_WIN32_COM_OBJECT_PLATFORM_H_
#define QV_PLATFORM_WIN32_COM_OBJECT_PLATFORM_H_

#include "platform/platform.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_ui.h"

namespace qv::com {

class ObjectPlatform {
 public:
  ObjectPlatform();
  ObjectPlatform(const ObjectPlatform&) = delete;
  ObjectPlatform& operator=(const ObjectPlatform&) = delete;

  Platform* get() { return &platform_; }
  win32::Win32UserInterface& ui() { return ui_; }
  // The platform has all a control needs (an event loop among them).
  bool complete() const { return platform_.loop != nullptr; }

 private:

  win32::Win32Services services_;
  win32::Win32UserInterface ui_;
  Platform platform_;
};

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_OBJECT_PLATFORM_H_
