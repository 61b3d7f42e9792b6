// Win32Registry on RegCreateKeyExA, RegOpenKeyExA, RegSetValueExA,
// RegDeleteValueA, RegDeleteKeyA, RegQueryValueExA and RegCloseKey.
#include "platform/win32/win32_registry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win32/win32_handle.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

class OpenKey {
 public:
  explicit OpenKey(HKEY key) : key_(key) {}
  HKEY get() const { return key_.get(); }

 private:
  KeyHandle key_;
};

namespace {

// The predefined roots, spelled as Windows defines them.
bool RootKey(RegHandle key, HKEY* hkey) {
  switch (key) {
    case kHkeyClassesRoot:
      *hkey = HKEY_CLASSES_ROOT;
      return true;
    case kHkeyCurrentUser:
      *hkey = HKEY_CURRENT_USER;
      return true;
    case kHkeyLocalMachine:
      *hkey = HKEY_LOCAL_MACHINE;
      return true;
    case kHkeyUsers:
      *hkey = HKEY_USERS;
      return true;
    default:
      return false;
  }
}

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

Win32Registry::Win32Registry() = default;
Win32Registry::~Win32Registry() = default;

bool Win32Registry::Resolve(RegHandle key, void** hkey) const {
  HKEY root;
  if (RootKey(key, &root)) {
    *hkey = root;
    return true;
  }
  auto it = open_.find(key);
  if (it == open_.end()) return false;
  *hkey = it->second->get();
  return true;
}

RegHandle Win32Registry::Keep(std::unique_ptr<OpenKey> key) {
  const RegHandle handle = next_handle_++;
  open_[handle] = std::move(key);
  return handle;
}

uint32_t Win32Registry::CreateKeyEx(RegHandle key, const std::string& sub_key, uint32_t reserved,
                                    const std::string& key_class, uint32_t options, uint32_t sam,
                                    RegHandle* result, uint32_t* disposition) {
  void* parent;
  if (!Resolve(key, &parent)) return ERROR_INVALID_HANDLE;
  HKEY created = nullptr;
  DWORD how = 0;
  const LSTATUS status =
      RegCreateKeyExA(static_cast<HKEY>(parent), sub_key.c_str(), reserved,
                      const_cast<char*>(OrNull(key_class)), options, sam, nullptr, &created, &how);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  const RegHandle handle = Keep(std::make_unique<OpenKey>(created));
  if (result != nullptr) {
    *result = handle;
  } else {
    CloseKey(handle);
  }
  if (disposition != nullptr) *disposition = how;
  return ERROR_SUCCESS;
}

uint32_t Win32Registry::OpenKeyEx(RegHandle key, const std::string& sub_key, uint32_t options,
                                  uint32_t sam, RegHandle* result) {
  void* parent;
  if (!Resolve(key, &parent)) return ERROR_INVALID_HANDLE;
  HKEY opened = nullptr;
  const LSTATUS status =
      RegOpenKeyExA(static_cast<HKEY>(parent), sub_key.c_str(), options, sam, &opened);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  *result = Keep(std::make_unique<OpenKey>(opened));
  return ERROR_SUCCESS;
}

uint32_t Win32Registry::SetValueEx(RegHandle key, const std::string& value_name, uint32_t reserved,
                                   uint32_t type, const uint8_t* data, uint32_t size) {
  void* hkey;
  if (!Resolve(key, &hkey)) return ERROR_INVALID_HANDLE;
  return static_cast<uint32_t>(
      RegSetValueExA(static_cast<HKEY>(hkey), value_name.c_str(), reserved, type, data, size));
}

uint32_t Win32Registry::DeleteValue(RegHandle key, const std::string& value_name) {
  void* hkey;
  if (!Resolve(key, &hkey)) return ERROR_INVALID_HANDLE;
  return static_cast<uint32_t>(RegDeleteValueA(static_cast<HKEY>(hkey), value_name.c_str()));
}

uint32_t Win32Registry::DeleteKey(RegHandle key, const std::string& sub_key) {
  void* hkey;
  if (!Resolve(key, &hkey)) return ERROR_INVALID_HANDLE;
  return static_cast<uint32_t>(RegDeleteKeyA(static_cast<HKEY>(hkey), sub_key.c_str()));
}

uint32_t Win32Registry::QueryValueEx(RegHandle key, const std::string& value_name,
                                     uint32_t* reserved, uint32_t* type, uint8_t* data,
                                     uint32_t* size) {
  void* hkey;
  if (!Resolve(key, &hkey)) return ERROR_INVALID_HANDLE;
  DWORD value_type = 0;
  DWORD value_size = size != nullptr ? *size : 0;
  // The value is read into a buffer of the caller's size first, so that a
  // buffer too small is left as it was.
  std::vector<uint8_t> scratch(data != nullptr ? std::max<DWORD>(value_size, 1) : 0);
  const LSTATUS status = RegQueryValueExA(
      static_cast<HKEY>(hkey), value_name.c_str(), reinterpret_cast<LPDWORD>(reserved), &value_type,
      data != nullptr ? scratch.data() : nullptr, size != nullptr ? &value_size : nullptr);
  if (status == ERROR_SUCCESS && data != nullptr && value_size > 0) {
    std::memcpy(data, scratch.data(), value_size);
  }
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    if (type != nullptr) *type = value_type;
    if (size != nullptr) *size = value_size;
  }
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::CloseKey(RegHandle key) {
  HKEY root;
  if (RootKey(key, &root)) return ERROR_SUCCESS;
  if (open_.erase(key) == 0) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

}  // namespace qv::win32
