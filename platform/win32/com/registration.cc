// The control's registration in HKEY_CLASSES_ROOT.
#include "platform/win32/com/registration.h"

#include <string>

#include "platform/win32/com/com_handles.h"
#include "platform/win32/com/com_ids.h"
#include "platform/win32/com/com_text.h"
#include "platform/win32/com/module_state.h"
#include "platform/win32/com/type_library.h"

namespace qv::com {
namespace {

// Component categories: safe for scripting, safe for initialization.
constexpr wchar_t kSafeForScripting[] = L"{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
constexpr wchar_t kSafeForInitializing[] = L"{7DD95802-9882-11CF-9FA9-00AA006C42C4}";

std::wstring ClassKey() { return L"CLSID\\" + WideFromUtf8(kClassGuid); }

// Creates HKCR\path and sets its value name (null: the default value) to
// value; a null value leaves the key without one.
HRESULT WriteKey(const std::wstring& path, const wchar_t* name, const wchar_t* value) {
  RegKey key;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, key.Receive(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  if (value == nullptr) return S_OK;
  DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
  status = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          bytes);
  return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteTree(const std::wstring& path) {
  LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  if (status == ERROR_SUCCESS) status = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  return HRESULT_FROM_WIN32(status);
}

HRESULT WriteClassKeys(const std::wstring& module_path) {
  const std::wstring key = ClassKey();
  const std::wstring library = WideFromUtf8(kLibraryGuid);
  const std::wstring class_id = WideFromUtf8(kClassGuid);
  struct Entry {
    std::wstring path;
    const wchar_t* name;
    const wchar_t* value;
  };
  const Entry entries[] = {
      {key, nullptr, kClassDisplayName},
      {key + L"\\InprocServer32", nullptr, module_path.c_str()},
      {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {key + L"\\ProgID", nullptr, kProgId},
      {key + L"\\TypeLib", nullptr, library.c_str()},
      {key + L"\\Version", nullptr, kTypeLibVersion},
      {key + L"\\Control", nullptr, nullptr},
      {key + L"\\Implemented Categories\\" + kSafeForScripting, nullptr, nullptr},
      {key + L"\\Implemented Categories\\" + kSafeForInitializing, nullptr, nullptr},
      {kProgId, nullptr, kClassDisplayName},
      {std::wstring(kProgId) + L"\\CLSID", nullptr, class_id.c_str()},
  };
  for (const Entry& entry : entries) {
    HRESULT hr = WriteKey(entry.path, entry.name, entry.value);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

SYSKIND OwnSysKind() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

}  // namespace

HRESULT RegisterControl() {
  std::wstring module_path = ModulePath();
  if (module_path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = WriteClassKeys(module_path);
  if (FAILED(hr)) return SELFREG_E_CLASS;
  ComPtr<ITypeLib> library;
  hr = LoadOwnTypeLibrary(&library);
  if (SUCCEEDED(hr)) {
    hr = RegisterTypeLib(library.get(), module_path.data(), nullptr);
  }
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT UnregisterControl() {
  HRESULT class_result = DeleteTree(ClassKey());
  HRESULT progid_result = DeleteTree(kProgId);
  // A type library that is not registered is already gone.
  HRESULT library_result = S_OK;
  Bstr registered_path;
  if (SUCCEEDED(QueryPathOfRegTypeLib(kLibraryId, kTypeLibMajor, kTypeLibMinor, LANG_NEUTRAL,
                                      registered_path.Receive()))) {
    library_result =
        UnRegisterTypeLib(kLibraryId, kTypeLibMajor, kTypeLibMinor, LANG_NEUTRAL, OwnSysKind());
  }
  if (FAILED(class_result) || FAILED(progid_result)) return SELFREG_E_CLASS;
  return FAILED(library_result) ? SELFREG_E_TYPELIB : S_OK;
}

}  // namespace qv::com
