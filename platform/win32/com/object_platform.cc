// ObjectPlatform: the backend's services and the object's user interface.
#include "platform/win32/com/object_platform.h"

namespace qv::com {

ObjectPlatform::ObjectPlatform() {
  win32::FillPlatform(&services_, &platform_);
  platform_.ui = &ui_;
  AttachThreadServices();
}

void ObjectPlatform::AttachThreadServices() {
  // Hook: the Windows message loop and the transfer, data space and
  // expander factories go here when the backend provides them.
}

}  // namespace qv::com
