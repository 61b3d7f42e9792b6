// The COM object of the control: the core's ctlInit_V3 behind IDispatch
// (names through the type library, calls by dispatch id), its events through
// a connection point, its class through IProvideClassInfo2, and the promise
// to a browser that it is safe for scripting and initialization.
#ifndef QV_PLATFORM_WIN32_COM_CONTROL_OBJECT_H_
#define QV_PLATFORM_WIN32_COM_CONTROL_OBJECT_H_

#include <memory>

#include "control/ctlInit_V3.h"
#include "platform/win32/com/com_handles.h"
#include "platform/win32/com/connection_point.h"
#include "platform/win32/com/object_platform.h"
#include "platform/win32/com/ole_embedding.h"
#include "platform/win32/windows_api.h"

namespace qv::com {

class ControlObject final : public IDispatch,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public IObjectSafety {
 public:
  // Makes a control object with one reference, under the platform current
  // on this thread, or else its own platform when that is complete. Fails only for want of memory or of the type
  // library.
  static HRESULT Create(ControlObject** object);

  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  // IUnknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep_info,
                                   UINT* arg_error) override;

  // IConnectionPointContainer.
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

  // IProvideClassInfo2.
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override;

  // IObjectSafety.
  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                      DWORD* enabled) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, DWORD mask,
                                                      DWORD enabled) override;

 private:
  ControlObject();
  ~ControlObject();

  // Calls the control's method with dispatch id.
  HRESULT CallMethod(DISPID id, DISPPARAMS* params, EXCEPINFO* excep_info, UINT* arg_error);
  // Whether iid names an interface the safety options apply to.
  bool IsScriptingInterface(REFIID iid) const;

  // The platform of the control's calls: the thread's current one if there
  // is one, else the object's own when complete, else none.
  Platform* CallPlatform();

  ULONG references_ = 1;
  std::unique_ptr<ObjectPlatform> own_platform_;
  ComPtr<ITypeInfo> dispatch_info_;
  EventConnectionPoint events_;
  DWORD safety_ = 0;
  std::unique_ptr<ctlInit_V3> control_;
  // The visible object's interfaces; goes before the control.
  std::unique_ptr<OleEmbedding> embedding_;
};

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_CONTROL_OBJECT_H_
