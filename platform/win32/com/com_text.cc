// UTF-8 to and from the wide text of COM.
#include "platform/win32/com/com_text.h"

namespace qv::com {

std::string Utf8FromWide(const wchar_t* text, size_t length) {
  if (text == nullptr || length == 0) return {};
  int wide_length = static_cast<int>(length);
  int size = WideCharToMultiByte(CP_UTF8, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, wide_length, result.data(), size, nullptr, nullptr);
  return result;
}

std::string Utf8FromBstr(BSTR text) { return Utf8FromWide(text, SysStringLen(text)); }

std::wstring WideFromUtf8(std::string_view text) {
  if (text.empty()) return {};
  int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring result(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), size);
  return result;
}

BSTR BstrFromUtf8(std::string_view text) {
  std::wstring wide = WideFromUtf8(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace qv::com
