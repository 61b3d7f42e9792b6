// The events' connection point and the enumerator over it.
#include "platform/win32/com/connection_point.h"

#include <new>

#include "platform/win32/com/com_ids.h"
#include "platform/win32/com/module_state.h"

namespace qv::com {

EventConnectionPoint::EventConnectionPoint(IConnectionPointContainer* container)
    : container_(container) {}

HRESULT STDMETHODCALLTYPE EventConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) {
    return E_NOINTERFACE;
  }
  *object = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE EventConnectionPoint::AddRef() { return container_->AddRef(); }

ULONG STDMETHODCALLTYPE EventConnectionPoint::Release() { return container_->Release(); }

HRESULT STDMETHODCALLTYPE EventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = kEventsId;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE EventConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  container_->AddRef();
  *container = container_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  return Guarded([&]() -> HRESULT {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (sink == nullptr) return E_POINTER;
    // A sink answers to the event interface; a script's sink may answer
    // only as IDispatch.
    ComPtr<IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(kEventsId, reinterpret_cast<void**>(dispatch.Receive()))) &&
        FAILED(sink->QueryInterface(IID_IDispatch,
                                    reinterpret_cast<void**>(dispatch.Receive())))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    sinks_.emplace_back(next_cookie_, std::move(dispatch));
    *cookie = next_cookie_++;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE EventConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->first == cookie) {
      sinks_.erase(it);
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT STDMETHODCALLTYPE EventConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections != nullptr) *connections = nullptr;
  return E_NOTIMPL;
}

void EventConnectionPoint::Fire(DISPID id) {
  // A sink may advise or unadvise while it handles the event. Without the
  // memory to copy the list the event is dropped: nothing is thrown into
  // the control that raised it.
  std::vector<std::pair<DWORD, ComPtr<IDispatch>>> sinks;
  try {
    sinks = sinks_;
  } catch (const std::bad_alloc&) {
    return;
  }
  for (auto& [cookie, sink] : sinks) {
    DISPPARAMS no_arguments{nullptr, nullptr, 0, 0};
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &no_arguments, nullptr,
                 nullptr, nullptr);
  }
}

void EventConnectionPoint::Clear() { sinks_.clear(); }

namespace {

class ConnectionPointEnum final : public IEnumConnectionPoints {
 public:
  ConnectionPointEnum(IConnectionPoint* point, ULONG position)
      : point_(ComPtr<IConnectionPoint>::Share(point)), position_(position) {
    AddModuleReference();
  }
  ~ConnectionPointEnum() { ReleaseModuleReference(); }
  ConnectionPointEnum(const ConnectionPointEnum&) = delete;
  ConnectionPointEnum& operator=(const ConnectionPointEnum&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumConnectionPoints)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IEnumConnectionPoints*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** points,
                                 ULONG* fetched) override {
    if (points == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG given = 0;
    if (count > 0 && position_ == 0) {
      points[0] = ComPtr<IConnectionPoint>(point_).Detach();
      position_ = 1;
      given = 1;
    }
    if (fetched != nullptr) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    ULONG left = 1 - position_;
    position_ = count <= left ? position_ + count : 1;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** copy) override {
    if (copy == nullptr) return E_POINTER;
    *copy = NewConnectionPointEnum(point_.get(), position_);
    return *copy != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ComPtr<IConnectionPoint> point_;
  ULONG position_;
  ULONG references_ = 1;
};

}  // namespace

IEnumConnectionPoints* NewConnectionPointEnum(IConnectionPoint* point, ULONG position) {
  return new (std::nothrow) ConnectionPointEnum(point, position);
}

}  // namespace qv::com
