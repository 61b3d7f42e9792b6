// The four entry points of QV_INIT_V3.ocx and its DllMain. Nothing thrown
// inside reaches the caller.
#include "platform/win32/com/class_factory.h"
#include "platform/win32/com/com_ids.h"
#include "platform/win32/com/module_state.h"
#include "platform/win32/com/registration.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    qv::com::SetModuleHandle(module);
    DisableThreadLibraryCalls(module);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID class_id, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(class_id, qv::com::kClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  return qv::com::Guarded(
      [&] { return qv::com::ControlClassFactory()->QueryInterface(iid, object); });
}

STDAPI DllCanUnloadNow() { return qv::com::ModuleInUse() ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() { return qv::com::Guarded([] { return qv::com::RegisterControl(); }); }

STDAPI DllUnregisterServer() {
  return qv::com::Guarded([] { return qv::com::UnregisterControl(); });
}
