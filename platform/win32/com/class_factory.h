// The class factory of ctlInit_V3: one object for the library's lifetime,
// handed out by DllGetClassObject.
#ifndef QV_PLATFORM_WIN32_COM_CLASS_FACTORY_H_
#define QV_PLATFORM_WIN32_COM_CLASS_FACTORY_H_

#include "platform/win32/windows_api.h"

namespace qv::com {

// The factory; its references do not count, its locks keep the library.
IClassFactory* ControlClassFactory();

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_CLASS_FACTORY_H_
