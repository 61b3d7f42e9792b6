// The status panel's model: the control's child controls as plain data.
//
// Positions are in twips (15 to a pixel at 96 dots per inch) as left, top,
// width, height; children of the frame are placed in the frame's coordinates.
// Colours are OLE colour values (&H00BBGGRR&, or &H800000nn& for system
// colour nn). The control writes this model; a user-interface backend draws
// it. Labels that size themselves keep their design width here; the backend
// measures their text.
//
// Text: captions are UTF-8.
#ifndef QV_PLATFORM_PANEL_H_
#define QV_PLATFORM_PANEL_H_

#include <cstdint>
#include <string>

namespace qv {

constexpr uint32_t kColorWhite = 0x00FFFFFF;
constexpr uint32_t kColorDarkBlue = 0x00400000;
constexpr uint32_t kColorSystemDesktop = 0x80000001;  // system colour 1
constexpr uint32_t kColorButtonText = 0x80000012;     // default label text

struct FontStyle {
  std::string name = "MS Sans Serif";
  double size_points = 8.25;
  bool bold = false;
};

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

enum class WidgetKind { kLabel, kFrame, kShape };

struct Widget {
  std::string name;
  WidgetKind kind = WidgetKind::kLabel;
  std::string parent;  // "" for the control itself
  Rect rect;
  // Widths are kept in single precision, as the control stores them.
  float width = 0;
  std::string caption;
  bool auto_size = false;
  uint32_t back_color = kColorWhite;
  uint32_t fore_color = kColorButtonText;
  uint32_t fill_color = 0;
  uint32_t border_color = 0;
  bool opaque = false;
  FontStyle font;
};

// The mouse pointer values the control uses.
constexpr int kPointerDefault = 0;
constexpr int kPointerHourglass = 11;

struct Panel {
  static constexpr int kDesignWidth = 7320;
  static constexpr int kDesignHeight = 1290;
  static constexpr float kCurrentBarScale = 4335;
  static constexpr float kTotalBarScale = 6375;

  Panel();

  uint32_t back_color = kColorWhite;
  int mouse_pointer = kPointerDefault;
  Widget lblMessage;
  Widget frameStatus;
  Widget Label2;
  Widget prgCurrent;
  Widget lblBytes;
  Widget Label1;
  Widget prgTotal;
};

// What changed, so that a view redraws or reports just that.
enum class PanelChange {
  kMessage,   // lblMessage caption
  kFrame,     // frameStatus caption
  kBars,      // prgCurrent or prgTotal width
  kBytes,     // lblBytes caption
  kPointer,   // mouse pointer
};

}  // namespace qv

#endif  // QV_PLATFORM_PANEL_H_
