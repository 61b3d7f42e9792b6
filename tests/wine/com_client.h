// What the Windows clients of QV_INIT_V3.ocx under tests/wine share: the
// case lines they print, an event sink that records the events it receives,
// the library's exports, and a run started by name with the thread pumping
// its messages until the run ends.
#ifndef QV_TESTS_WINE_COM_CLIENT_H_
#define QV_TESTS_WINE_COM_CLIENT_H_

#include <cstdio>
#include <vector>

#include "platform/win32/com/com_handles.h"
#include "platform/win32/com/com_ids.h"
#include "platform/win32/windows_api.h"

namespace qv::com_client {

using qv::com::ComPtr;

inline int g_failures = 0;

// Prints one case line; counts a failed case.
inline void Check(const char* name, bool ok, HRESULT hr = S_OK) {
  std::printf("%s %s", ok ? "ok  " : "FAIL", name);
  if (!ok) std::printf(" (0x%08lX)", static_cast<unsigned long>(hr));
  std::printf("\n");
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

// Prints the last line and answers the exit code: the failed cases.
inline int Finish() {
  std::printf("RESULT %s\n", g_failures == 0 ? "ok" : "failed");
  return g_failures;
}

// An event sink that answers as IDispatch only and records each event's id.
class Sink final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    calls.push_back(id);
    return S_OK;
  }
  bool Received(ControlEvent event) const {
    for (DISPID id : calls) {
      if (id == static_cast<DISPID>(event)) return true;
    }
    return false;
  }
  // Done or Reboot: the run has ended.
  bool RunEnded() const { return Received(ControlEvent::kDone) || Received(ControlEvent::kReboot); }

  ULONG references = 1;
  std::vector<DISPID> calls;
};

template <typename T>
HRESULT Query(IUnknown* object, REFIID iid, ComPtr<T>* result) {
  return object->QueryInterface(iid, reinterpret_cast<void**>(result->Receive()));
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// An exported function of library as the type it has.
template <typename Fn>
Fn Export(HMODULE library, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// Pumps the thread's messages until the sink saw the run end, at most
// `rounds` waits of 100 ms.
inline void PumpUntilEnded(const Sink& sink, int rounds) {
  for (int i = 0; i < rounds && !sink.RunEnded(); ++i) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

// Calls the method `id` of control with text arguments `texts` (in the order
// of the call) and, when `with_dev_login`, a last false truth value.
inline HRESULT CallStartup(IUnknown* control, DISPID id, const std::vector<const wchar_t*>& texts,
                           bool with_dev_login) {
  ComPtr<IDispatch> dispatch;
  HRESULT hr = Query(control, IID_IDispatch, &dispatch);
  if (FAILED(hr)) return hr;
  // Arguments go in reverse order.
  std::vector<VARIANT> arguments;
  if (with_dev_login) {
    VARIANT dev;
    dev.vt = VT_BOOL;
    dev.boolVal = VARIANT_FALSE;
    arguments.push_back(dev);
  }
  for (auto text = texts.rbegin(); text != texts.rend(); ++text) {
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocString(*text);
    arguments.push_back(argument);
  }
  DISPPARAMS params{arguments.data(), nullptr, static_cast<UINT>(arguments.size()), 0};
  EXCEPINFO excep{};
  hr = dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, nullptr);
  for (VARIANT& argument : arguments) VariantClear(&argument);
  return hr;
}

// A sink advised on control's events for as long as it lives.
class AdvisedSink {
 public:
  explicit AdvisedSink(IUnknown* control) {
    ComPtr<IConnectionPointContainer> container;
    Query(control, IID_IConnectionPointContainer, &container);
    if (container) container->FindConnectionPoint(qv::com::kEventsId, point_.Receive());
    if (point_ && FAILED(point_->Advise(&sink_, &cookie_))) point_ = ComPtr<IConnectionPoint>();
  }
  ~AdvisedSink() {
    if (point_) point_->Unadvise(cookie_);
  }
  AdvisedSink(const AdvisedSink&) = delete;
  AdvisedSink& operator=(const AdvisedSink&) = delete;

  bool advised() const { return static_cast<bool>(point_); }
  const Sink& sink() const { return sink_; }

 private:
  Sink sink_;
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

// A control made by the library's own class factory (no registration).
class LoadedControl {
 public:
  explicit LoadedControl(const wchar_t* library_path) : library_(LoadLibraryW(library_path)) {
    if (library_ == nullptr) return;
    auto get_class_object = Export<GetClassObjectFn>(library_, "DllGetClassObject");
    ComPtr<IClassFactory> factory;
    if (FAILED(get_class_object(qv::com::kClassId, IID_IClassFactory,
                                reinterpret_cast<void**>(factory.Receive())))) {
      return;
    }
    factory->CreateInstance(nullptr, qv::com::kDispatchId,
                            reinterpret_cast<void**>(control_.Receive()));
  }
  LoadedControl(const LoadedControl&) = delete;
  LoadedControl& operator=(const LoadedControl&) = delete;

  IUnknown* get() const { return control_.get(); }

 private:
  HMODULE library_;  // stays loaded: the process ends with the test
  ComPtr<IUnknown> control_;
};

}  // namespace qv::com_client

#endif  // QV_TESTS_WINE_COM_CLIENT_H_
