// What the component library knows about itself while it is loaded: its
// module handle and path, and how many objects and locks keep it loaded.
// Also the guard that keeps every exception inside the library.
#ifndef QV_PLATFORM_WIN32_COM_MODULE_STATE_H_
#define QV_PLATFORM_WIN32_COM_MODULE_STATE_H_

#include <new>
#include <string>

#include "platform/win32/windows_api.h"

namespace qv::com {

// Set once when the library is loaded.
void SetModuleHandle(HINSTANCE module);
HINSTANCE ModuleHandle();
// The library's own file path; empty when it cannot be read.
std::wstring ModulePath();

// Live objects and server locks; the library may unload when both are zero.
void AddModuleReference();
void ReleaseModuleReference();
bool ModuleInUse();

// Runs body, which returns an HRESULT, and turns every exception it lets
// out into one: E_OUTOFMEMORY for want of memory, E_UNEXPECTED otherwise.
// Every entry point a host reaches runs inside it.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_MODULE_STATE_H_
