// The type library embedded in the component library (resource 1 of type
// TYPELIB), and the type descriptions the object hands out from it.
#ifndef QV_PLATFORM_WIN32_COM_TYPE_LIBRARY_H_
#define QV_PLATFORM_WIN32_COM_TYPE_LIBRARY_H_

#include "platform/win32/com/com_handles.h"
#include "platform/win32/windows_api.h"

namespace qv::com {

// Loads the embedded type library without registering it.
HRESULT LoadOwnTypeLibrary(ComPtr<ITypeLib>* library);

// The description of the type with the given GUID in the embedded library
// (the dispatch interface, the events, the class).
HRESULT LoadTypeInfo(const GUID& guid, ComPtr<ITypeInfo>* info);

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_TYPE_LIBRARY_H_
