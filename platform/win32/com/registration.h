// Writing and removing the control's registration: its class, ProgID and
// type library, in the keys a host looks them up by.
#ifndef QV_PLATFORM_WIN32_COM_REGISTRATION_H_
#define QV_PLATFORM_WIN32_COM_REGISTRATION_H_

#include "platform/win32/windows_api.h"

namespace qv::com {

// Writes CLSID\{class} (InprocServer32 with ThreadingModel Apartment, ProgID,
// TypeLib, Version, Control, the safe-for-scripting categories), the ProgID
// and registers the embedded type library with its interfaces.
HRESULT RegisterControl();
// Removes all of it; what is already gone is no failure.
HRESULT UnregisterControl();

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_REGISTRATION_H_
