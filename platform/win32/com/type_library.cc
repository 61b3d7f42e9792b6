// Loading the embedded type library.
#include "platform/win32/com/type_library.h"

#include <string>

#include "platform/win32/com/module_state.h"

namespace qv::com {

HRESULT LoadOwnTypeLibrary(ComPtr<ITypeLib>* library) {
  std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library->Receive());
}

HRESULT LoadTypeInfo(const GUID& guid, ComPtr<ITypeInfo>* info) {
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadOwnTypeLibrary(&library);
  if (FAILED(hr)) return hr;
  return library->GetTypeInfoOfGuid(guid, info->Receive());
}

}  // namespace qv::com
