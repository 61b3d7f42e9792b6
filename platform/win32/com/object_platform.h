// ObjectPlatform: the platform a control object works on, owned by the
// object: the Windows backend's services (FillPlatform) and the object's own
// user interface, whose panel the container places in its window.
//
// A control needs an event loop for its timer. The backend has one, but the
// object does not hand it on yet (AttachThreadServices): complete() is false
// and the object's control is made without a platform, as before, until a
// script-started run is tested to its end.
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
  // The event loop, transfers, the remote data space and expansion: held
  // back from the object's control for now (see above).
  void AttachThreadServices();

  win32::Win32Services services_;
  win32::Win32UserInterface ui_;
  Platform platform_;
};

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_OBJECT_PLATFORM_H_
