// UTF-8 <-> UTF-16 for the wide ("W") entry points of the Windows backend.
//
// The core passes UTF-8; file, process, font and version calls cross to
// Windows as UTF-16. An invalid UTF-8 sequence becomes U+FFFD, as Windows'
// own conversion does.
//
// Text: Utf8ToWide takes UTF-8; WideToUtf8 gives UTF-8.
#ifndef QV_PLATFORM_WIN32_WIN32_WIDE_TEXT_H_
#define QV_PLATFORM_WIN32_WIN32_WIDE_TEXT_H_

#include <string>
#include <string_view>

namespace qv::win32 {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_WIDE_TEXT_H_
