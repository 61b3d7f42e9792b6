// ObjectPlatform: the backend's services and the object's user interface.
#include "platform/win32/com/object_platform.h"

namespace qv::com {

ObjectPlatform::ObjectPlatform() {
  win32::FillPlatform(&services_, &platform_);
  platform_.ui = &ui_;
  AttachThreadServices();
}

void ObjectPlatform::AttachThreadServices() {
  // The backend now has its message loop, transfers, data space and
  // expansion, but a run that a script starts and then waits for (pumping
  // messages) is not yet proven end to end under a script host. Until it is,
  // the object's control stays without a platform, and its start-ups fail
  // cleanly instead of starting a run nobody has watched finish.
  platform_.loop = nullptr;
  platform_.new_transfer = nullptr;
  platform_.new_data_space = nullptr;
  platform_.new_expander = nullptr;
}

}  // namespace qv::com
