// Owners of Windows handles for the backend's .cc files: each closes its
// handle when it goes away and may be moved, never copied.
#ifndef QV_PLATFORM_WIN32_WIN32_HANDLE_H_
#define QV_PLATFORM_WIN32_WIN32_HANDLE_H_

#include <utility>

#include "platform/win32/windows_api.h"

namespace qv::win32 {

// A handle given back by Close (CloseHandle, FindClose, RegCloseKey);
// invalid marks the value that stands for none.
template <typename T, auto Close, auto invalid>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  T get() const { return handle_; }
  bool valid() const { return handle_ != Invalid(); }
  T Release() { return std::exchange(handle_, Invalid()); }
  void Reset() {
    if (valid()) Close(Release());
  }

 private:
  static T Invalid() { return reinterpret_cast<T>(invalid); }
  T handle_ = Invalid();
};

// Kernel objects (files, processes, tokens); INVALID_HANDLE_VALUE is -1.
using KernelHandle = UniqueHandle<HANDLE, CloseHandle, static_cast<intptr_t>(-1)>;
// Process and thread handles, whose "none" is null.
using ObjectHandle = UniqueHandle<HANDLE, CloseHandle, intptr_t{0}>;
using FindHandle = UniqueHandle<HANDLE, FindClose, static_cast<intptr_t>(-1)>;
using KeyHandle = UniqueHandle<HKEY, RegCloseKey, intptr_t{0}>;

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_HANDLE_H_
