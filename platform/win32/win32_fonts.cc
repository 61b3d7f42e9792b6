// Win32Fonts on AddFontResourceW and a WM_FONTCHANGE broadcast.
#include "platform/win32/win32_fonts.h"

#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {
constexpr UINT kBroadcastTimeoutMs = 5000;
}  // namespace

int Win32Fonts::AddFontResource(const std::string& path) {
  return AddFontResourceW(Utf8ToWide(path).c_str());
}

void Win32Fonts::BroadcastFontChange() {
  SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, kBroadcastTimeoutMs,
                      nullptr);
}

}  // namespace qv::win32
