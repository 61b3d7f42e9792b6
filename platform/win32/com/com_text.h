// Text across the COM boundary: BSTRs and wide strings to and from the UTF-8
// the control uses.
#ifndef QV_PLATFORM_WIN32_COM_COM_TEXT_H_
#define QV_PLATFORM_WIN32_COM_COM_TEXT_H_

#include <string>
#include <string_view>

#include "platform/win32/windows_api.h"

namespace qv::com {

// UTF-8 of a wide text; a null BSTR is the empty text.
std::string Utf8FromWide(const wchar_t* text, size_t length);
std::string Utf8FromBstr(BSTR text);
std::wstring WideFromUtf8(std::string_view text);
// A new BSTR (the caller frees it); null when memory runs out.
BSTR BstrFromUtf8(std::string_view text);

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_COM_TEXT_H_
