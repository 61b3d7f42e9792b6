// A test-only in-process COM object that gives a script under Wine's script
// host the two things that host lacks: a way to hear an object's events (it
// has no WScript.ConnectObject) and a way to wait while the thread's
// messages are pumped (its WScript.Sleep ends the script, and a Popup with a
// timeout shows its box from another thread, so the script's own thread is
// not pumped). It also answers the dialogs a run shows, which no person is
// there to answer. tests/wine/scripts.sh builds it and registers it as
// "QvTest.ScriptEvents"; it is never part of the library.
//
//   events.Connect(control [, handlers])
//       advises a sink on the control's events; an event also calls the
//       handlers object's method of the same name, when it has one
//   events.Wait(seconds)
//       pumps the thread's messages until Done or Reboot arrives or the
//       time is up; returns the events since the last Wait, comma-joined
//       ("Init,Done"), "" when none came
//   events.AnswerBoxes(button)
//       from now on a watcher thread answers every dialog of this process:
//       the folder picker with OK (its current folder, which is the
//       process's current folder), any other dialog with the button of
//       that id (1 OK, 2 Cancel, 6 Yes, 7 No) when it has one, else OK,
//       else Cancel, else its close box
//   events.Boxes()
//       "caption: text" of every other dialog answered so far, "|"-joined
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32/com/com_handles.h"
#include "platform/win32/com/com_ids.h"
#include "platform/win32/windows_api.h"

namespace {

using qv::com::Bstr;
using qv::com::ComPtr;

// {5B1D7E52-3C4A-4F0E-9A61-2D8C7B3E91A4}
constexpr GUID kScriptEventsClassId = {
    0x5b1d7e52, 0x3c4a, 0x4f0e, {0x9a, 0x61, 0x2d, 0x8c, 0x7b, 0x3e, 0x91, 0xa4}};

// IDispatchEx, which the cross compiler's libraries do not define.
constexpr GUID kDispatchExId = {
    0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

constexpr wchar_t kPickerCaption[] = L"Pick directory";
// The id of a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;

enum MethodId : DISPID { kConnect = 1, kWait = 2, kAnswerBoxes = 3, kBoxes = 4 };

struct Method {
  const wchar_t* name;
  DISPID id;
};
constexpr Method kMethods[] = {
    {L"Connect", kConnect}, {L"Wait", kWait}, {L"AnswerBoxes", kAnswerBoxes}, {L"Boxes", kBoxes}};

std::wstring WindowText(HWND window) {
  std::vector<wchar_t> text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1);
  GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  return text.data();
}

// Answers the dialogs of this process from a thread of its own, so that a
// modal loop on the script's thread (a message box, the folder picker)
// ends without a person.
class DialogAnswerer {
 public:
  explicit DialogAnswerer(int button) : button_(button), thread_([this] { Watch(); }) {}
  ~DialogAnswerer() {
    stop_ = true;
    thread_.join();
  }
  DialogAnswerer(const DialogAnswerer&) = delete;
  DialogAnswerer& operator=(const DialogAnswerer&) = delete;

  std::wstring Answered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answered_;
  }

 private:
  void Watch() {
    while (!stop_) {
      EnumWindows(&DialogAnswerer::Visit, reinterpret_cast<LPARAM>(this));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    reinterpret_cast<DialogAnswerer*>(self)->Answer(window);
    return TRUE;
  }

  void Answer(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window) ||
        std::wstring(class_name) != L"#32770" || !seen_.insert(window).second) {
      return;
    }
    const std::wstring caption = WindowText(window);
    if (caption == kPickerCaption) {
      Press(window, IDOK);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!answered_.empty()) answered_ += L"|";
      answered_ += caption + L": " + WindowText(GetDlgItem(window, kMessageBoxTextId));
    }
    for (int button : {button_, IDOK, IDCANCEL}) {
      if (GetDlgItem(window, button) != nullptr) {
        Press(window, button);
        return;
      }
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
  }

  static void Press(HWND dialog, int button) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
  }

  const int button_;
  std::atomic<bool> stop_{false};
  std::set<HWND> seen_;  // the watcher thread's own
  std::mutex mutex_;
  std::wstring answered_;
  std::thread thread_;
};

// The part of a COM object that answers to IUnknown: one interface besides
// IUnknown, and a reference count.
template <typename Interface>
class ComObject : public Interface {
 public:
  explicit ComObject(const IID& iid) : iid_(iid) {}
  virtual ~ComObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, iid_) &&
        !(IsEqualIID(iid, IID_IDispatch) && IsEqualIID(iid_, qv::com::kEventsId))) {
      return E_NOINTERFACE;
    }
    *object = static_cast<Interface*>(this);
    this->AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  const IID iid_;
  std::atomic<ULONG> references_{1};
};

// IDispatch without type information.
template <typename Base>
class NoTypeInfo : public Base {
 public:
  using Base::Base;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
};

class ScriptEvents;

// The sink on the control's connection point: it answers as the events'
// interface and hands each event to its ScriptEvents.
class EventSink final : public NoTypeInfo<ComObject<IDispatch>> {
 public:
  explicit EventSink(ScriptEvents* owner) : NoTypeInfo(qv::com::kEventsId), owner_(owner) {}
  void Orphan() { owner_ = nullptr; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                   EXCEPINFO*, UINT*) override;

 private:
  ScriptEvents* owner_;
};

// The value of argument `index` (in the script's order) converted to `type`.
HRESULT Argument(const DISPPARAMS* params, UINT index, VARTYPE type, VARIANT* value) {
  if (index >= params->cArgs) return DISP_E_BADPARAMCOUNT;
  VARIANT given;
  VariantInit(&given);
  HRESULT hr = VariantCopyInd(&given, &params->rgvarg[params->cArgs - 1 - index]);
  VariantInit(value);
  if (SUCCEEDED(hr)) hr = VariantChangeType(value, &given, 0, type);
  VariantClear(&given);
  return hr;
}

HRESULT ReturnText(const std::wstring& text, VARIANT* result) {
  if (result == nullptr) return S_OK;
  VariantInit(result);
  V_VT(result) = VT_BSTR;
  V_BSTR(result) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return V_BSTR(result) != nullptr ? S_OK : E_OUTOFMEMORY;
}

class ScriptEvents final : public NoTypeInfo<ComObject<IDispatch>> {
 public:
  ScriptEvents() : NoTypeInfo(IID_IDispatch) {}
  ~ScriptEvents() override { Disconnect(); }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (const Method& method : kMethods) {
        if (i == 0 && _wcsicmp(names[0], method.name) == 0) ids[0] = method.id;
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    switch (id) {
      case kConnect:
        return Connect(params);
      case kWait: {
        VARIANT seconds;
        const HRESULT hr = Argument(params, 0, VT_R8, &seconds);
        if (FAILED(hr)) return hr;
        return ReturnText(Wait(V_R8(&seconds)), result);
      }
      case kAnswerBoxes: {
        VARIANT button;
        const HRESULT hr = Argument(params, 0, VT_I4, &button);
        if (FAILED(hr)) return hr;
        answerer_.reset();
        answerer_ = std::make_unique<DialogAnswerer>(V_I4(&button));
        return S_OK;
      }
      case kBoxes:
        return ReturnText(answerer_ ? answerer_->Answered() : L"", result);
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  void OnEvent(DISPID id) {
    const wchar_t* name = id == 1 ? L"Done" : id == 2 ? L"Reboot" : id == 3 ? L"Init" : L"?";
    if (!events_.empty()) events_ += L",";
    events_ += name;
    if (id == 1 || id == 2) ended_ = true;
    if (!handlers_) return;
    CallHandler(name);
  }

 private:
  HRESULT Connect(const DISPPARAMS* params) {
    VARIANT control, handlers;
    HRESULT hr = Argument(params, 0, VT_UNKNOWN, &control);
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> object = ComPtr<IUnknown>::Adopt(V_UNKNOWN(&control));
    if (params->cArgs > 1 && SUCCEEDED(Argument(params, 1, VT_DISPATCH, &handlers))) {
      handlers_ = ComPtr<IDispatch>::Adopt(V_DISPATCH(&handlers));
    }
    Disconnect();
    ComPtr<IConnectionPointContainer> container;
    hr = object->QueryInterface(IID_IConnectionPointContainer,
                                reinterpret_cast<void**>(container.Receive()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(qv::com::kEventsId, point_.Receive());
    if (FAILED(hr)) return hr;
    sink_ = new EventSink(this);
    hr = point_->Advise(sink_, &cookie_);
    if (FAILED(hr)) Disconnect();
    return hr;
  }

  // Calls the handlers object's method `name`. A script engine's own objects
  // may answer names only through IDispatchEx (VBScript's classes do).
  void CallHandler(const wchar_t* name) {
    DISPID member = DISPID_UNKNOWN;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    ComPtr<IDispatchEx> extended;
    if (SUCCEEDED(handlers_->QueryInterface(kDispatchExId,
                                            reinterpret_cast<void**>(extended.Receive())))) {
      Bstr text(SysAllocString(name));
      if (SUCCEEDED(extended->GetDispID(text.get(), fdexNameCaseInsensitive, &member))) {
        extended->InvokeEx(member, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr,
                           nullptr);
      }
      return;
    }
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (SUCCEEDED(handlers_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member))) {
      handlers_->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                        nullptr, nullptr);
    }
  }

  void Disconnect() {
    if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
    cookie_ = 0;
    point_ = ComPtr<IConnectionPoint>();
    if (sink_ != nullptr) {
      sink_->Orphan();
      sink_->Release();
      sink_ = nullptr;
    }
  }

  std::wstring Wait(double seconds) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    while (!ended_) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                QS_ALLINPUT);
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    ended_ = false;
    return std::exchange(events_, std::wstring());
  }

  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  EventSink* sink_ = nullptr;
  ComPtr<IDispatch> handlers_;
  std::wstring events_;
  bool ended_ = false;
  std::unique_ptr<DialogAnswerer> answerer_;
};

HRESULT EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                          UINT*) {
  if (owner_ != nullptr) owner_->OnEvent(id);
  return S_OK;
}

class Factory final : public ComObject<IClassFactory> {
 public:
  Factory() : ComObject(IID_IClassFactory) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ScriptEvents* events = new ScriptEvents();
    const HRESULT hr = events->QueryInterface(iid, object);
    events->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID id,
                                                                           REFIID iid,
                                                                           void** object) {
  *object = nullptr;
  if (!IsEqualCLSID(id, kScriptEventsClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  Factory* factory = new Factory();
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

// The watcher thread and the objects' code stay loaded until the process ends.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
