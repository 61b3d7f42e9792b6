// A Windows client of QV_INIT_V3.ocx that reaches what a script cannot: it
// loads the library itself and checks the class factory, the object's
// interfaces (class information, safety options, the events' connection
// point with a sink of its own) and when the library may unload. Prints one
// line per case and "RESULT ok" or "RESULT failed"; exits with the number of
// failed cases.
//
//   com_probe.exe <path of QV_INIT_V3.ocx> <folder with an install list>
//                 [<download address> <server address> <key> <user> <password>]
#include <cstdio>
#include <vector>

#include "tests/wine/com_client.h"

namespace {

using qv::com::ComPtr;
using qv::com_client::CanUnloadNowFn;
using qv::com_client::Check;
using qv::com_client::Export;
using qv::com_client::GetClassObjectFn;
using qv::com_client::Query;
using qv::com_client::Sink;

// An object that is no event sink at all.
class NotASink final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *object = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

void ProbeClassInfo(IUnknown* control) {
  ComPtr<IProvideClassInfo2> info;
  Check("IProvideClassInfo2", SUCCEEDED(Query(control, IID_IProvideClassInfo2, &info)));
  if (!info) return;
  GUID events{};
  HRESULT hr = info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events);
  Check("the default source is the events' interface",
        SUCCEEDED(hr) && IsEqualGUID(events, qv::com::kEventsId), hr);
  ComPtr<ITypeInfo> class_info;
  hr = info->GetClassInfo(class_info.Receive());
  TYPEATTR* attributes = nullptr;
  if (SUCCEEDED(hr)) hr = class_info->GetTypeAttr(&attributes);
  Check("the class information describes the control's class",
        SUCCEEDED(hr) && attributes->typekind == TKIND_COCLASS &&
            IsEqualGUID(attributes->guid, qv::com::kClassId),
        hr);
  if (attributes != nullptr) class_info->ReleaseTypeAttr(attributes);
}

void ProbeSafety(IUnknown* control) {
  ComPtr<IObjectSafety> safety;
  Check("IObjectSafety", SUCCEEDED(Query(control, IID_IObjectSafety, &safety)));
  if (!safety) return;
  const DWORD both = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
  DWORD supported = 0, enabled = 0;
  HRESULT hr = safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  Check("safe for scripting and initialization offered",
        SUCCEEDED(hr) && supported == both && enabled == 0, hr);
  struct Case {
    const char* name;
    const IID* iid;
    DWORD mask;
    DWORD enabled;
    HRESULT want;
    DWORD enabled_after;
  };
  const Case cases[] = {
      {"both options enabled", &IID_IDispatch, both, both, S_OK, both},
      {"one option disabled", &IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA, 0, S_OK,
       INTERFACESAFE_FOR_UNTRUSTED_CALLER},
      {"an option not offered refused", &IID_IDispatch, 0x100, 0x100, E_FAIL,
       INTERFACESAFE_FOR_UNTRUSTED_CALLER},
      {"an interface the control lacks refused", &IID_IPersistStream, both, both,
       E_NOINTERFACE, INTERFACESAFE_FOR_UNTRUSTED_CALLER},
  };
  for (const Case& c : cases) {
    hr = safety->SetInterfaceSafetyOptions(*c.iid, c.mask, c.enabled);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    Check(c.name, hr == c.want && enabled == c.enabled_after, hr);
  }
}

void ProbeEvents(IUnknown* control) {
  ComPtr<IConnectionPointContainer> container;
  Check("IConnectionPointContainer",
        SUCCEEDED(Query(control, IID_IConnectionPointContainer, &container)));
  if (!container) return;
  ComPtr<IConnectionPoint> other;
  HRESULT hr = container->FindConnectionPoint(IID_IDispatch, other.Receive());
  Check("no connection point for another interface", hr == CONNECT_E_NOCONNECTION, hr);

  ComPtr<IEnumConnectionPoints> points;
  hr = container->EnumConnectionPoints(points.Receive());
  IConnectionPoint* listed[2] = {nullptr, nullptr};
  ULONG fetched = 0;
  if (SUCCEEDED(hr)) hr = points->Next(2, listed, &fetched);
  IID listed_iid{};
  if (fetched == 1) listed[0]->GetConnectionInterface(&listed_iid);
  Check("one connection point listed, for the events",
        hr == S_FALSE && fetched == 1 && IsEqualIID(listed_iid, qv::com::kEventsId), hr);
  if (fetched == 1) listed[0]->Release();

  ComPtr<IConnectionPoint> point;
  hr = container->FindConnectionPoint(qv::com::kEventsId, point.Receive());
  Check("the events' connection point", SUCCEEDED(hr), hr);
  if (!point) return;
  ComPtr<IConnectionPointContainer> back;
  hr = point->GetConnectionPointContainer(back.Receive());
  Check("the point leads back to its container", SUCCEEDED(hr) && back.get() == container.get(),
        hr);

  Sink first, second;
  NotASink stranger;
  DWORD cookie_first = 0, cookie_second = 0, cookie_stranger = 0;
  HRESULT first_hr = point->Advise(&first, &cookie_first);
  HRESULT second_hr = point->Advise(&second, &cookie_second);
  Check("two sinks advised with their own cookies",
        SUCCEEDED(first_hr) && SUCCEEDED(second_hr) && cookie_first != 0 &&
            cookie_second != 0 && cookie_first != cookie_second && first.references == 2,
        FAILED(first_hr) ? first_hr : second_hr);
  hr = point->Advise(&stranger, &cookie_stranger);
  Check("an object that is no sink refused", hr == CONNECT_E_CANNOTCONNECT && cookie_stranger == 0,
        hr);
  hr = point->Unadvise(cookie_first);
  Check("a sink unadvised and let go", hr == S_OK && first.references == 1, hr);
  hr = point->Unadvise(cookie_first);
  Check("an unknown cookie refused", hr == CONNECT_E_NOCONNECTION, hr);
  point->Unadvise(cookie_second);
}

void ProbeDispatch(IUnknown* control) {
  ComPtr<IDispatch> dispatch;
  Query(control, IID_IDispatch, &dispatch);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO excep{};
  HRESULT hr = dispatch->Invoke(qv::kDispIdCancelXfer, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                nullptr, &excep, nullptr);
  Check("a method read as a property is no member", hr == DISP_E_MEMBERNOTFOUND, hr);
  hr = dispatch->Invoke(qv::kDispIdCancelXfer, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr,
                        &excep, nullptr);
  Check("CancelXfer with nothing to cancel", hr == S_OK, hr);
}

// A run started by the method `id` with text arguments `texts` (in the
// order of the call) and, when `with_dev_login`, a last false truth value,
// while this thread pumps: Done is raised once the run has ended.
void ProbeRun(IUnknown* control, const char* name, DISPID id,
              const std::vector<const wchar_t*>& texts, bool with_dev_login) {
  qv::com_client::AdvisedSink advised(control);
  if (!advised.advised()) {
    Check("the run's connection point", false);
    return;
  }
  const HRESULT hr = qv::com_client::CallStartup(control, id, texts, with_dev_login);
  std::printf("     %s: ", name);
  Check("the start-up starts a run", hr == S_OK, hr);
  qv::com_client::PumpUntilEnded(advised.sink(), 300);
  std::printf("     %s: ", name);
  Check("Done is raised while the host pumps",
        advised.sink().Received(qv::ControlEvent::kDone));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 8) {
    std::fprintf(stderr,
                 "usage: com_probe <QV_INIT_V3.ocx> <folder with an install list> "
                 "[<download address> <server address> <key> <user> <password>]\n");
    return 2;
  }
  CoInitialize(nullptr);
  HMODULE library = LoadLibraryW(argv[1]);
  Check("the library loads", library != nullptr, HRESULT_FROM_WIN32(GetLastError()));
  if (library == nullptr) return 1;
  auto get_class_object = Export<GetClassObjectFn>(library, "DllGetClassObject");
  auto can_unload = Export<CanUnloadNowFn>(library, "DllCanUnloadNow");

  ComPtr<IClassFactory> factory;
  HRESULT hr = get_class_object(IID_IDispatch, IID_IClassFactory,
                                reinterpret_cast<void**>(factory.Receive()));
  Check("another class is not offered", hr == CLASS_E_CLASSNOTAVAILABLE, hr);
  hr = get_class_object(qv::com::kClassId, IID_IClassFactory,
                        reinterpret_cast<void**>(factory.Receive()));
  Check("the class factory", SUCCEEDED(hr), hr);
  if (!factory) return 1;

  ComPtr<IUnknown> control;
  NotASink outer;
  hr = factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(control.Receive()));
  Check("aggregation refused", hr == CLASS_E_NOAGGREGATION, hr);
  hr = factory->CreateInstance(nullptr, qv::com::kDispatchId,
                               reinterpret_cast<void**>(control.Receive()));
  Check("a control made, asked for its dispatch interface", SUCCEEDED(hr), hr);
  if (!control) return 1;
  Check("the library stays while a control lives", can_unload() == S_FALSE);

  ProbeClassInfo(control.get());
  ProbeSafety(control.get());
  ProbeEvents(control.get());
  ProbeDispatch(control.get());
  ProbeRun(control.get(), "local", qv::kDispIdStartupLocal, {argv[2]}, false);
  if (argc == 8) {
    ComPtr<IUnknown> online;
    factory->CreateInstance(nullptr, qv::com::kDispatchId,
                            reinterpret_cast<void**>(online.Receive()));
    ProbeRun(online.get(), "online", qv::kDispIdStartup,
             {argv[3], argv[4], argv[5], argv[6], argv[7], L""}, true);
  }

  control = ComPtr<IUnknown>();
  factory->LockServer(TRUE);
  Check("a lock keeps the library", can_unload() == S_FALSE);
  factory->LockServer(FALSE);
  factory = ComPtr<IClassFactory>();
  Check("the library may unload once all is released", can_unload() == S_OK);

  return qv::com_client::Finish();
}
