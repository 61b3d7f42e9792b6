// The control object: the dispatch of calls by name to the core's control,
// its events and its class information.
#include "platform/win32/com/control_object.h"

#include <new>

#include "platform/win32/com/com_ids.h"
#include "platform/win32/com/dispatch_args.h"
#include "platform/win32/com/module_state.h"
#include "platform/win32/com/type_library.h"

namespace qv::com {
namespace {

constexpr DWORD kSafetyOptions =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

}  // namespace

HRESULT ControlObject::Create(ControlObject** object) {
  *object = nullptr;
  ComPtr<ITypeInfo> info;
  HRESULT hr = LoadTypeInfo(kDispatchId, &info);
  if (FAILED(hr)) return hr;
  auto* made = new (std::nothrow) ControlObject();
  if (made == nullptr) return E_OUTOFMEMORY;
  made->dispatch_info_ = std::move(info);
  *object = made;
  return S_OK;
}

ControlObject::ControlObject()
    : own_platform_(std::make_unique<ObjectPlatform>()),
      events_(static_cast<IConnectionPointContainer*>(this)),
      control_(std::make_unique<ctlInit_V3>(CallPlatform())) {
  embedding_ = std::make_unique<OleEmbedding>(static_cast<IDispatch*>(this), control_.get(),
                                              own_platform_.get());
  control_->SubscribeAll(
      [this](ControlEvent event) { events_.Fire(static_cast<DISPID>(event)); });
  AddModuleReference();
}

Platform* ControlObject::CallPlatform() {
  if (HasCurrentPlatform()) return &CurrentPlatform();
  return own_platform_->complete() ? own_platform_->get() : nullptr;
}

ControlObject::~ControlObject() {
  // The control goes first: nothing it raises while it goes reaches a sink.
  embedding_.reset();
  control_.reset();
  events_.Clear();
  ReleaseModuleReference();
}

HRESULT STDMETHODCALLTYPE ControlObject::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
      IsEqualIID(iid, kDispatchId)) {
    *object = static_cast<IDispatch*>(this);
  } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2)) {
    *object = static_cast<IProvideClassInfo2*>(this);
  } else if (IsEqualIID(iid, IID_IObjectSafety)) {
    *object = static_cast<IObjectSafety*>(this);
  } else if (void* part = embedding_->Find(iid); part != nullptr) {
    *object = part;
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE ControlObject::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE ControlObject::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

// ---- IDispatch ----------------------------------------------------------------

HRESULT STDMETHODCALLTYPE ControlObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *info = ComPtr<ITypeInfo>(dispatch_info_).Detach();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count,
                                                       LCID, DISPID* ids) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  return Guarded([&] { return dispatch_info_->GetIDsOfNames(names, count, ids); });
}

HRESULT STDMETHODCALLTYPE ControlObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags,
                                                DISPPARAMS* params, VARIANT* result,
                                                EXCEPINFO* excep_info, UINT* arg_error) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (result != nullptr) VariantInit(result);
  // The object must outlive a call during which a handler lets it go.
  ComPtr<IDispatch> keep = ComPtr<IDispatch>::Share(this);
  Platform* platform = control_->platform();
  std::unique_ptr<ScopedPlatform> scope;
  if (platform != nullptr && !HasCurrentPlatform()) scope = std::make_unique<ScopedPlatform>(platform);
  return Guarded([&] { return CallMethod(id, params, excep_info, arg_error); });
}

HRESULT ControlObject::CallMethod(DISPID id, DISPPARAMS* params, EXCEPINFO* excep_info,
                                  UINT* arg_error) {
  DispatchArgs args(params, arg_error);
  ErrorInfo error;
  switch (id) {
    case kDispIdStartup:
    case kDispIdStartupV2: {
      if (FAILED(args.ExpectCount(7))) return args.result();
      std::string download_location = args.Text(0);
      std::string bo_server = args.Text(1);
      std::string key_name = args.Text(2);
      std::string login = args.Text(3);
      std::string password = args.Text(4);
      std::string remote_address = args.Text(5);
      bool dev_login = args.Flag(6);
      if (FAILED(args.result())) return args.result();
      error = id == kDispIdStartup
                  ? control_->Startup(download_location, bo_server, key_name, login, password,
                                      remote_address, dev_login)
                  : control_->StartupV2(download_location, bo_server, key_name, login,
                                        password, remote_address, dev_login);
      break;
    }
    case kDispIdStartupLocal: {
      if (FAILED(args.ExpectCount(1))) return args.result();
      std::string download_location = args.Text(0);
      if (FAILED(args.result())) return args.result();
      error = control_->StartupLocal(download_location);
      break;
    }
    case kDispIdCancelXfer:
      if (FAILED(args.ExpectCount(0))) return args.result();
      control_->CancelXfer();
      break;
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
  return error.ok() ? S_OK : RaiseError(error, excep_info);
}

// ---- IConnectionPointContainer --------------------------------------------------

HRESULT STDMETHODCALLTYPE ControlObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points == nullptr) return E_POINTER;
  *points = NewConnectionPointEnum(&events_, 0);
  return *points != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE ControlObject::FindConnectionPoint(REFIID iid,
                                                             IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (!IsEqualIID(iid, kEventsId)) return CONNECT_E_NOCONNECTION;
  events_.AddRef();
  *point = &events_;
  return S_OK;
}

// ---- IProvideClassInfo2 ---------------------------------------------------------

HRESULT STDMETHODCALLTYPE ControlObject::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  return Guarded([&] {
    ComPtr<ITypeInfo> class_info;
    HRESULT hr = LoadTypeInfo(kClassId, &class_info);
    if (SUCCEEDED(hr)) *info = class_info.Detach();
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE ControlObject::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = GUID{};
    return E_INVALIDARG;
  }
  *guid = kEventsId;
  return S_OK;
}

// ---- IObjectSafety --------------------------------------------------------------

bool ControlObject::IsScriptingInterface(REFIID iid) const {
  return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
         IsEqualIID(iid, kDispatchId);
}

HRESULT STDMETHODCALLTYPE ControlObject::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                                   DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  *supported = 0;
  *enabled = 0;
  if (!IsScriptingInterface(iid)) return E_NOINTERFACE;
  *supported = kSafetyOptions;
  *enabled = safety_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::SetInterfaceSafetyOptions(REFIID iid, DWORD mask,
                                                                   DWORD enabled) {
  if (!IsScriptingInterface(iid)) return E_NOINTERFACE;
  if ((mask & ~kSafetyOptions) != 0) return E_FAIL;
  safety_ = (safety_ & ~mask) | (enabled & mask);
  return S_OK;
}

}  // namespace qv::com
