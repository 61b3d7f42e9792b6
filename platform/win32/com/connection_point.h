// The control's one connection point, for its events (__ctlInit_V3): the
// sinks that hosts advise, and the raise of an event to each of them through
// IDispatch::Invoke. It lives inside the control object and counts its
// references on it.
#ifndef QV_PLATFORM_WIN32_COM_CONNECTION_POINT_H_
#define QV_PLATFORM_WIN32_COM_CONNECTION_POINT_H_

#include <utility>
#include <vector>

#include "platform/win32/com/com_handles.h"
#include "platform/win32/windows_api.h"

namespace qv::com {

class EventConnectionPoint final : public IConnectionPoint {
 public:
  explicit EventConnectionPoint(IConnectionPointContainer* container);
  EventConnectionPoint(const EventConnectionPoint&) = delete;
  EventConnectionPoint& operator=(const EventConnectionPoint&) = delete;

  // IUnknown (references are the container's).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IConnectionPoint.
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(
      IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

  // Calls the event with dispatch id on every sink advised when the raise
  // began, in the order they were advised. A sink's failure does not stop
  // the others.
  void Fire(DISPID id);
  // Lets every sink go (the object is going away).
  void Clear();

 private:
  IConnectionPointContainer* container_;
  std::vector<std::pair<DWORD, ComPtr<IDispatch>>> sinks_;
  DWORD next_cookie_ = 1;
};

// A new enumerator over the one connection point, starting at position (0
// or 1); null on want of memory.
IEnumConnectionPoints* NewConnectionPointEnum(IConnectionPoint* point, ULONG position);

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_CONNECTION_POINT_H_
