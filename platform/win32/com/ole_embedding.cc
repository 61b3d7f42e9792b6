// OleEmbedding: siting, in-place activation, drawing and the empty state.
#include "platform/win32/com/ole_embedding.h"

#include <memory>

#include "platform/win32/com/com_ids.h"
#include "platform/win32/win32_panel.h"
#include "platform/win32/win32_wide_text.h"

namespace qv::com {
namespace {

// Twips to HIMETRIC (hundredths of a millimetre): 1440 twips are 2540.
LONG TwipsToHimetric(int twips) { return MulDiv(twips, 2540, 1440); }

constexpr DWORD kMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_INSIDEOUT |
                              OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST |
                              OLEMISC_CANTLINKINSIDE;

}  // namespace

OleEmbedding::OleEmbedding(IUnknown* outer, ctlInit_V3* control, ObjectPlatform* platform)
    : outer_(outer), control_(control), platform_(platform) {
  extent_.cx = TwipsToHimetric(Panel::kDesignWidth);
  extent_.cy = TwipsToHimetric(Panel::kDesignHeight);
}

OleEmbedding::~OleEmbedding() { platform_->ui().DetachPanel(); }

void* OleEmbedding::Find(REFIID iid) {
  if (IsEqualIID(iid, IID_IOleObject)) return static_cast<IOleObject*>(this);
  if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceObject)) {
    return static_cast<IOleInPlaceObject*>(this);
  }
  if (IsEqualIID(iid, IID_IOleInPlaceActiveObject)) {
    return static_cast<IOleInPlaceActiveObject*>(this);
  }
  if (IsEqualIID(iid, IID_IOleControl)) return static_cast<IOleControl*>(this);
  if (IsEqualIID(iid, IID_IViewObject) || IsEqualIID(iid, IID_IViewObject2)) {
    return static_cast<IViewObject2*>(this);
  }
  if (IsEqualIID(iid, IID_IPersist) || IsEqualIID(iid, IID_IPersistStreamInit)) {
    return static_cast<IPersistStreamInit*>(this);
  }
  if (IsEqualIID(iid, IID_IPersistPropertyBag)) return static_cast<IPersistPropertyBag*>(this);
  return nullptr;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::QueryInterface(REFIID iid, void** object) {
  return outer_->QueryInterface(iid, object);
}
ULONG STDMETHODCALLTYPE OleEmbedding::AddRef() { return outer_->AddRef(); }
ULONG STDMETHODCALLTYPE OleEmbedding::Release() { return outer_->Release(); }

// ---- IOleObject -------------------------------------------------------------

HRESULT STDMETHODCALLTYPE OleEmbedding::SetClientSite(IOleClientSite* site) {
  site_ = ComPtr<IOleClientSite>::Share(site);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  *site = ComPtr<IOleClientSite>(site_).Detach();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

HRESULT STDMETHODCALLTYPE OleEmbedding::Close(DWORD) {
  Deactivate();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE OleEmbedding::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker != nullptr) *moniker = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::InitFromData(IDataObject*, BOOL, DWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetClipboardData(DWORD, IDataObject** data) {
  if (data != nullptr) *data = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG,
                                               HWND parent, LPCRECT rect) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
      return ActivateInPlace(site != nullptr ? site : site_.get(), parent, rect);
    case OLEIVERB_HIDE:
      if (HWND window = platform_->ui().panel_window(); window != nullptr) {
        ShowWindow(window, SW_HIDE);
      }
      control_->UserControl_Hide();
      return S_OK;
    default:
      return OLEOBJ_S_INVALIDVERB;
  }
}

HRESULT OleEmbedding::ActivateInPlace(IOleClientSite* site, HWND parent, LPCRECT rect) {
  RECT position{0, 0, win32::PanelView::kWidth, win32::PanelView::kHeight};
  if (rect != nullptr) position = *rect;
  ComPtr<IOleInPlaceSite> in_place;
  if (site != nullptr) {
    site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(in_place.Receive()));
  }
  if (in_place) {
    if (in_place->CanInPlaceActivate() != S_OK) return E_FAIL;
    HWND site_window = nullptr;
    if (SUCCEEDED(in_place->GetWindow(&site_window))) parent = site_window;
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT clip;
    OLEINPLACEFRAMEINFO frame_info{};
    frame_info.cb = sizeof(frame_info);
    if (SUCCEEDED(in_place->GetWindowContext(frame.Receive(), document.Receive(), &position,
                                             &clip, &frame_info)) &&
        !in_place_) {
      in_place->OnInPlaceActivate();
    }
    in_place_site_ = in_place;
  }
  if (parent == nullptr) return E_UNEXPECTED;
  if (!platform_->ui().AttachPanel(parent, position.left, position.top)) return E_FAIL;
  in_place_ = true;
  ShowControl();
  return S_OK;
}

void OleEmbedding::ShowControl() {
  std::unique_ptr<ScopedPlatform> scope;
  if (control_->platform() == nullptr && !HasCurrentPlatform()) {
    scope = std::make_unique<ScopedPlatform>(platform_->get());
  }
  control_->UserControl_Show();
}

void OleEmbedding::Deactivate() {
  if (!in_place_) return;
  in_place_ = false;
  control_->UserControl_Hide();
  platform_->ui().DetachPanel();
  if (in_place_site_) in_place_site_->OnInPlaceDeactivate();
  in_place_site_ = ComPtr<IOleInPlaceSite>();
}

HRESULT STDMETHODCALLTYPE OleEmbedding::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs != nullptr) *verbs = nullptr;
  return OLE_S_USEREG;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::Update() { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::IsUpToDate() { return S_OK; }

HRESULT STDMETHODCALLTYPE OleEmbedding::GetUserClassID(CLSID* id) { return GetClassID(id); }

HRESULT STDMETHODCALLTYPE OleEmbedding::GetUserType(DWORD, LPOLESTR* type) {
  if (type != nullptr) *type = nullptr;
  return OLE_S_USEREG;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::SetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  extent_ = *size;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = extent_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::Advise(IAdviseSink* sink, DWORD* cookie) {
  if (!advise_holder_) {
    HRESULT hr = CreateOleAdviseHolder(advise_holder_.Receive());
    if (FAILED(hr)) return hr;
  }
  return advise_holder_->Advise(sink, cookie);
}

HRESULT STDMETHODCALLTYPE OleEmbedding::Unadvise(DWORD cookie) {
  if (!advise_holder_) return OLE_E_NOCONNECTION;
  return advise_holder_->Unadvise(cookie);
}

HRESULT STDMETHODCALLTYPE OleEmbedding::EnumAdvise(IEnumSTATDATA** advise) {
  if (advise == nullptr) return E_POINTER;
  *advise = nullptr;
  if (!advise_holder_) return S_OK;
  return advise_holder_->EnumAdvise(advise);
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetMiscStatus(DWORD, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = kMiscStatus;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject -----------------

HRESULT STDMETHODCALLTYPE OleEmbedding::GetWindow(HWND* window) {
  if (window == nullptr) return E_POINTER;
  *window = platform_->ui().panel_window();
  return *window != nullptr ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE OleEmbedding::InPlaceDeactivate() {
  Deactivate();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::UIDeactivate() { return S_OK; }

HRESULT STDMETHODCALLTYPE OleEmbedding::SetObjectRects(LPCRECT position, LPCRECT) {
  if (position == nullptr) return E_POINTER;
  if (HWND window = platform_->ui().panel_window(); window != nullptr) {
    SetWindowPos(window, nullptr, position->left, position->top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::ReactivateAndUndo() { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE OleEmbedding::TranslateAccelerator(LPMSG) { return S_FALSE; }
HRESULT STDMETHODCALLTYPE OleEmbedding::OnFrameWindowActivate(BOOL) { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::OnDocWindowActivate(BOOL) { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) {
  return S_OK;
}
HRESULT STDMETHODCALLTYPE OleEmbedding::EnableModeless(BOOL) { return S_OK; }

// ---- IOleControl ------------------------------------------------------------

HRESULT STDMETHODCALLTYPE OleEmbedding::GetControlInfo(CONTROLINFO* info) {
  if (info == nullptr) return E_POINTER;
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::OnMnemonic(MSG*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE OleEmbedding::OnAmbientPropertyChange(DISPID) { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::FreezeEvents(BOOL) { return S_OK; }

// ---- IViewObject2 -----------------------------------------------------------

HRESULT STDMETHODCALLTYPE OleEmbedding::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC,
                                             HDC dc, LPCRECTL bounds, LPCRECTL,
                                             BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (dc == nullptr || bounds == nullptr) return E_INVALIDARG;
  const Panel& panel = control_->panel();
  RECT area{bounds->left, bounds->top, bounds->right, bounds->bottom};
  win32::BrushHandle back(CreateSolidBrush(win32::OleColorToColorRef(panel.back_color)));
  FillRect(dc, &area, back.get());
  const std::wstring message = win32::Utf8ToWide(panel.lblMessage.caption);
  const int mode = SetBkMode(dc, TRANSPARENT);
  const COLORREF color = SetTextColor(dc, win32::OleColorToColorRef(panel.lblMessage.fore_color));
  RECT text_area = area;
  text_area.top += win32::TwipsToPixels(panel.lblMessage.rect.top);
  DrawTextW(dc, message.c_str(), static_cast<int>(message.size()), &text_area,
            DT_LEFT | DT_TOP | DT_NOPREFIX | DT_SINGLELINE);
  SetTextColor(dc, color);
  SetBkMode(dc, mode);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                                    LOGPALETTE** colors) {
  if (colors != nullptr) *colors = nullptr;
  return S_FALSE;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE OleEmbedding::Unfreeze(DWORD) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE OleEmbedding::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  view_aspects_ = aspects;
  view_flags_ = flags;
  view_sink_ = ComPtr<IAdviseSink>::Share(sink);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetAdvise(DWORD* aspects, DWORD* flags,
                                                  IAdviseSink** sink) {
  if (aspects != nullptr) *aspects = view_aspects_;
  if (flags != nullptr) *flags = view_flags_;
  if (sink != nullptr) *sink = ComPtr<IAdviseSink>(view_sink_).Detach();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*,
                                                  LPSIZEL size) {
  return GetExtent(aspect, size);
}

// ---- IPersistStreamInit, IPersistPropertyBag: no state ----------------------

HRESULT STDMETHODCALLTYPE OleEmbedding::GetClassID(CLSID* id) {
  if (id == nullptr) return E_POINTER;
  *id = kClassId;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::IsDirty() { return S_FALSE; }
HRESULT STDMETHODCALLTYPE OleEmbedding::Load(LPSTREAM) { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::Save(LPSTREAM, BOOL) { return S_OK; }

HRESULT STDMETHODCALLTYPE OleEmbedding::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE OleEmbedding::InitNew() { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::Load(IPropertyBag*, IErrorLog*) { return S_OK; }
HRESULT STDMETHODCALLTYPE OleEmbedding::Save(IPropertyBag*, BOOL, BOOL) { return S_OK; }

}  // namespace qv::com
