// run_driver: a Windows host of QV_INIT_V3.ocx for the speed benchmark under
// Wine. It loads the library itself, makes a control, connects an event
// sink, calls Startup and pumps the thread's messages the way a host window
// does (GetMessage/DispatchMessage) until Done reaches the sink. Prints
// "seconds S" (from the call to Startup to Done, on the performance counter)
// and exits 0; on an error of the call, a time-out or a run that raised
// Reboot instead, prints what happened and exits 1.
//
//   run_driver.exe <path of QV_INIT_V3.ocx> <download address> <server address>
//                  <key> <user> <password> [<seconds to wait>]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/com/com_handles.h"
#include "platform/win32/com/com_ids.h"
#include "platform/win32/windows_api.h"

namespace {

using qv::com::ComPtr;

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Notes when Done or Reboot arrives and ends the message loop.
class Sink final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
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
    const bool ends = id == static_cast<DISPID>(qv::ControlEvent::kDone) ||
                      id == static_cast<DISPID>(qv::ControlEvent::kReboot);
    if (ends && ended_at == 0) {
      ended_at = Now();
      ended_by = id;
      PostQuitMessage(0);
    }
    return S_OK;
  }

  double ended_at = 0;
  DISPID ended_by = 0;

 private:
  ULONG references_ = 1;
};

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

// The control made by the library at path, nullptr with a message printed.
ComPtr<IDispatch> MakeControl(const wchar_t* path) {
  HMODULE library = LoadLibraryW(path);
  if (library == nullptr) {
    std::printf("cannot load %s (error %lu)\n", Narrow(path).c_str(), GetLastError());
    return {};
  }
  auto get_class_object = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "DllGetClassObject")));
  ComPtr<IClassFactory> factory;
  ComPtr<IDispatch> control;
  HRESULT hr = get_class_object == nullptr
                   ? E_FAIL
                   : get_class_object(qv::com::kClassId, IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.Receive()));
  if (SUCCEEDED(hr)) {
    hr = factory->CreateInstance(nullptr, qv::com::kDispatchId,
                                 reinterpret_cast<void**>(control.Receive()));
  }
  if (FAILED(hr)) std::printf("cannot make a control (0x%08lX)\n", static_cast<unsigned long>(hr));
  return control;
}

// Calls Startup(download, server, key, user, password, "", False); false with
// the error printed when the call fails.
bool CallStartup(IDispatch* control, wchar_t** texts) {
  std::vector<VARIANT> arguments(7);  // in reverse order
  arguments[0].vt = VT_BOOL;
  arguments[0].boolVal = VARIANT_FALSE;
  arguments[1].vt = VT_BSTR;
  arguments[1].bstrVal = SysAllocString(L"");
  for (int i = 0; i < 5; ++i) {
    arguments[2 + i].vt = VT_BSTR;
    arguments[2 + i].bstrVal = SysAllocString(texts[4 - i]);
  }
  DISPPARAMS params{arguments.data(), nullptr, static_cast<UINT>(arguments.size()), 0};
  EXCEPINFO excep{};
  const HRESULT hr = control->Invoke(qv::kDispIdStartup, IID_NULL, 0, DISPATCH_METHOD, &params,
                                     nullptr, &excep, nullptr);
  for (VARIANT& argument : arguments) VariantClear(&argument);
  if (SUCCEEDED(hr)) return true;
  std::printf("Startup failed (0x%08lX): %s: %s\n", static_cast<unsigned long>(hr),
              Narrow(excep.bstrSource).c_str(), Narrow(excep.bstrDescription).c_str());
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return false;
}

// Dispatches the thread's messages until the sink ends the loop or the time
// is up; false on time-out.
bool PumpUntilEnded(UINT seconds) {
  const UINT_PTR deadline = SetTimer(nullptr, 0, seconds * 1000, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == nullptr && message.wParam == deadline) {
      KillTimer(nullptr, deadline);
      return false;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  KillTimer(nullptr, deadline);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr,
                 "usage: run_driver <QV_INIT_V3.ocx> <download address> <server address> <key> "
                 "<user> <password> [<seconds to wait>]\n");
    return 2;
  }
  const UINT wait_seconds = argc == 8 ? static_cast<UINT>(_wtoi(argv[7])) : 600;
  CoInitialize(nullptr);
  int status = 1;
  {
    ComPtr<IDispatch> control = MakeControl(argv[1]);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (control) {
      control->QueryInterface(IID_IConnectionPointContainer,
                              reinterpret_cast<void**>(container.Receive()));
    }
    if (container) container->FindConnectionPoint(qv::com::kEventsId, point.Receive());
    Sink sink;
    DWORD cookie = 0;
    if (point && SUCCEEDED(point->Advise(&sink, &cookie))) {
      const double start = Now();
      if (CallStartup(control.get(), argv + 2)) {
        if (!PumpUntilEnded(wait_seconds)) {
          std::printf("no Done within %u s\n", wait_seconds);
        } else if (sink.ended_by != static_cast<DISPID>(qv::ControlEvent::kDone)) {
          std::printf("the run raised Reboot, not Done\n");
        } else {
          std::printf("seconds %.6f\n", sink.ended_at - start);
          status = 0;
        }
      }
      point->Unadvise(cookie);
    } else if (control) {
      std::printf("cannot connect the event sink\n");
    }
  }
  std::fflush(stdout);
  CoUninitialize();
  return status;
}
