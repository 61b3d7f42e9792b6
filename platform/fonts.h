// Fonts: adding a font file to the running system and telling every
// top-level window that the fonts changed.
//
// Mirrors AddFontResourceA and the WM_FONTCHANGE broadcast
// (SendMessageA(HWND_BROADCAST, WM_FONTCHANGE, 0, ...)). Used from the UI
// thread.
//
// Text: the font path is UTF-8, as FileSystem takes it.
#ifndef QV_PLATFORM_FONTS_H_
#define QV_PLATFORM_FONTS_H_

#include <string>
#include <vector>

namespace qv {

class Fonts {
 public:
  virtual ~Fonts() = default;
  // Adds the fonts of the file at path (a Windows path); returns how many
  // were added, 0 on failure.
  virtual int AddFontResource(const std::string& path) = 0;
  // Sends WM_FONTCHANGE to every top-level window.
  virtual void BroadcastFontChange() = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_FONTS_H_
