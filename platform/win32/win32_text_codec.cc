// Win32TextCodec through WideCharToMultiByte/MultiByteToWideChar.
#include "platform/win32/win32_text_codec.h"

#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

Win32TextCodec::Win32TextCodec() : code_page_(GetACP()) {}

Win32TextCodec::Win32TextCodec(uint32_t code_page) : code_page_(code_page) {}

std::string Win32TextCodec::ToAnsi(std::string_view utf8) const {
  const std::wstring wide = Utf8ToWide(utf8);
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  // No "best fit" look-alikes (omega as "O"): what the code page lacks is
  // "?". The UTF-8 code page takes neither flag nor replacement.
  const bool utf8_page = code_page_ == CP_UTF8;
  const DWORD flags = utf8_page ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* replacement = utf8_page ? nullptr : "?";
  const int length =
      WideCharToMultiByte(code_page_, flags, wide.data(), size, nullptr, 0, replacement, nullptr);
  std::string ansi(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page_, flags, wide.data(), size, ansi.data(), length, replacement,
                      nullptr);
  return ansi;
}

std::string Win32TextCodec::FromAnsi(std::string_view ansi) const {
  if (ansi.empty()) return {};
  const int size = static_cast<int>(ansi.size());
  const int length = MultiByteToWideChar(code_page_, 0, ansi.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(code_page_, 0, ansi.data(), size, wide.data(), length);
  return WideToUtf8(wide);
}

}  // namespace qv::win32
