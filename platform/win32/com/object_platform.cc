// ObjectPlatform: the backend's services and the object's user interface.
#include "platform/win32/com/object_platform.h"

namespace qv::com {

ObjectPlatform::ObjectPlatform() {
  win32::FillPlatform(&services_, &platform_);
  platform_.ui = &ui_;
}

}  // namespace qv::com
