// Win32Fonts: adds a font file to the running Windows (AddFontResourceW) and
// tells the top-level windows that the fonts changed (WM_FONTCHANGE).
//
// The broadcast gives up on a window that does not answer within a few
// seconds, so that one hung program cannot stop the install.
//
// Text: the font path is UTF-8 and crosses to the W call as UTF-16.
#ifndef QV_PLATFORM_WIN32_WIN32_FONTS_H_
#define QV_PLATFORM_WIN32_WIN32_FONTS_H_

#include <string>

#include "platform/fonts.h"

namespace qv::win32 {

class Win32Fonts : public Fonts {
 public:
  int AddFontResource(const std::string& path) override;
  void BroadcastFontChange() override;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_FONTS_H_
