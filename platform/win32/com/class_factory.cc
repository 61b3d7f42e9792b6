// The class factory that makes control objects.
#include "platform/win32/com/class_factory.h"

#include "platform/win32/com/control_object.h"
#include "platform/win32/com/module_state.h"

namespace qv::com {
namespace {

class ControlFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                           void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return Guarded([&] {
      ControlObject* control = nullptr;
      HRESULT hr = ControlObject::Create(&control);
      if (FAILED(hr)) return hr;
      hr = control->QueryInterface(iid, object);
      control->Release();
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      AddModuleReference();
    } else {
      ReleaseModuleReference();
    }
    return S_OK;
  }
};

}  // namespace

IClassFactory* ControlClassFactory() {
  static ControlFactory factory;
  return &factory;
}

}  // namespace qv::com
