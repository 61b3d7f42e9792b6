// A container of QV_INIT_V3.ocx: a top-level window with a minimal client
// site that sites the control, shows it in place and checks that Init
// arrived on a connected sink, that the panel is a child of the container's
// window at the site's position with the control's children, and what the
// object says of its extent, drawing, state and closing. Prints one line per
// case and "RESULT ok" or "RESULT failed"; exits with the number of failed
// cases.
//
//   site_probe.exe <path of QV_INIT_V3.ocx>
#include <cstdio>
#include <string>
#include <vector>

#include "control/ctlInit_V3.h"
#include "tests/wine/com_client.h"

namespace {

using qv::com::ComPtr;

using qv::com_client::Check;
using qv::com_client::GetClassObjectFn;
using qv::com_client::Query;
using qv::com_client::Sink;

// The container's site: the window to show in and the position there.
class Site final : public IOleClientSite, public IOleInPlaceSite {
 public:
  explicit Site(HWND window) : window_(window) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite)) {
      *object = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite)) {
      *object = static_cast<IOleInPlaceSite*>(this);
    } else {
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IOleClientSite.
  HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
    *moniker = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
    *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleInPlaceSite.
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
    *window = window_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override {
    ++activations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                             LPRECT position, LPRECT clip,
                                             LPOLEINPLACEFRAMEINFO) override {
    *frame = nullptr;
    *doc = nullptr;
    *position = RECT{5, 6, 5 + 488, 6 + 86};
    *clip = *position;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override {
    ++deactivations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  int activations = 0;
  int deactivations = 0;

 private:
  HWND window_;
};

int InitCount(const Sink& sink) {
  int count = 0;
  for (DISPID id : sink.calls) count += id == static_cast<DISPID>(qv::ControlEvent::kInit);
  return count;
}

bool HasChildCaption(HWND panel, const std::wstring& caption) {
  for (HWND child = GetWindow(panel, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t text[128] = {};
    GetWindowTextW(child, text, 128);
    if (caption == text) return true;
  }
  return false;
}

// The panel drawn on a memory device context: the colour at (x, y).
COLORREF DrawnPixel(IViewObject2* view, int x, int y) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 488, 86);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECTL bounds{0, 0, 488, 86};
  COLORREF pixel = CLR_INVALID;
  if (SUCCEEDED(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                           nullptr, 0))) {
    pixel = GetPixel(dc, x, y);
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return pixel;
}

void ProbeSiting(IUnknown* control, HWND container) {
  ComPtr<IConnectionPointContainer> points;
  ComPtr<IConnectionPoint> point;
  Query(control, IID_IConnectionPointContainer, &points);
  points->FindConnectionPoint(qv::com::kEventsId, point.Receive());
  Sink sink;
  DWORD cookie = 0;
  point->Advise(&sink, &cookie);

  ComPtr<IOleObject> object;
  HRESULT hr = Query(control, IID_IOleObject, &object);
  Check("IOleObject", SUCCEEDED(hr), hr);
  if (!object) return;
  Site site(container);
  hr = object->SetClientSite(&site);
  Check("the client site set", hr == S_OK, hr);
  hr = object->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, container, nullptr);
  Check("shown in place", hr == S_OK && site.activations == 1, hr);
  Check("Init raised once", InitCount(sink) == 1);

  ComPtr<IOleInPlaceObject> in_place;
  Query(control, IID_IOleInPlaceObject, &in_place);
  HWND panel = nullptr;
  hr = in_place ? in_place->GetWindow(&panel) : E_NOINTERFACE;
  Check("the panel is a child of the container's window",
        SUCCEEDED(hr) && GetParent(panel) == container, hr);
  RECT place{};
  GetWindowRect(panel, &place);
  MapWindowPoints(nullptr, container, reinterpret_cast<POINT*>(&place), 2);
  Check("at the site's position, at the design size",
        place.left == 5 && place.top == 6 && place.right - place.left == 488 &&
            place.bottom - place.top == 86);
  Check("with the control's message among its children",
        HasChildCaption(panel, L"Please wait, initializing system login procedure..."));
  object->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, container, nullptr);
  Check("every show raises Init again", InitCount(sink) == 2 && site.activations == 1);

  SIZEL extent{};
  hr = object->GetExtent(DVASPECT_CONTENT, &extent);
  Check("extent 7320 by 1290 twips in HIMETRIC",
        hr == S_OK && extent.cx == 12912 && extent.cy == 2275, hr);
  hr = object->GetExtent(DVASPECT_ICON, &extent);
  Check("no extent for another aspect", hr == DV_E_DVASPECT, hr);

  ComPtr<IViewObject2> view;
  Query(control, IID_IViewObject2, &view);
  Check("drawn on the white background",
        view && DrawnPixel(view.get(), 480, 80) == RGB(255, 255, 255));

  ComPtr<IPersistStreamInit> persist;
  Query(control, IID_IPersistStreamInit, &persist);
  CLSID id{};
  Check("no state to start from, the control's class",
        persist && persist->InitNew() == S_OK && persist->IsDirty() == S_FALSE &&
            persist->GetClassID(&id) == S_OK && IsEqualCLSID(id, qv::com::kClassId));
  ComPtr<IPersistPropertyBag> bag;
  Check("a property bag", SUCCEEDED(Query(control, IID_IPersistPropertyBag, &bag)));

  hr = object->Close(OLECLOSE_NOSAVE);
  Check("closed: the panel is gone and the site told",
        hr == S_OK && !IsWindow(panel) && site.deactivations == 1, hr);
  object->SetClientSite(nullptr);
  point->Unadvise(cookie);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: site_probe <QV_INIT_V3.ocx>\n");
    return 2;
  }
  OleInitialize(nullptr);
  HMODULE library = LoadLibraryW(argv[1]);
  Check("the library loads", library != nullptr, HRESULT_FROM_WIN32(GetLastError()));
  if (library == nullptr) return 1;
  auto get_class_object = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "DllGetClassObject")));
  ComPtr<IClassFactory> factory;
  get_class_object(qv::com::kClassId, IID_IClassFactory,
                   reinterpret_cast<void**>(factory.Receive()));
  ComPtr<IUnknown> control;
  HRESULT hr = factory ? factory->CreateInstance(nullptr, IID_IUnknown,
                                                 reinterpret_cast<void**>(control.Receive()))
                       : E_FAIL;
  Check("a control made", SUCCEEDED(hr), hr);
  HWND container = CreateWindowExW(0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                   0, 0, 600, 200, nullptr, nullptr, nullptr, nullptr);
  Check("the container's window", container != nullptr, HRESULT_FROM_WIN32(GetLastError()));
  if (control && container != nullptr) ProbeSiting(control.get(), container);
  control = ComPtr<IUnknown>();
  factory = ComPtr<IClassFactory>();
  if (container != nullptr) DestroyWindow(container);
  OleUninitialize();
  return qv::com_client::Finish();
}
