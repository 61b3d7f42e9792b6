// Units: twips, OLE colours and fonts as FLTK draws them.
#include "platform/fltk/units.h"

#include <cmath>

namespace qv::fltk {

namespace {

constexpr double kMaxPixels = 1000000;
// Helvetica (DejaVu Sans, as fontconfig finds it) is wider than the bitmap
// face the designs were laid out with; at 10/11 of the size its texts take
// the designs' widths.
constexpr double kSansSerifScale = 10.0 / 11.0;

// System colours of the classic scheme, by index.
uint32_t SystemColorRgb(uint32_t index) {
  switch (index) {
    case 1:  // desktop
      return 0x3A6EA5;
    case 5:   // window background
    case 20:  // button highlight
      return 0xFFFFFF;
    case 15:  // button face
      return 0xD4D0C8;
    case 16:  // button shadow
      return 0x808080;
    default:  // 8 window text, 18 button text and the rest
      return 0x000000;
  }
}

}  // namespace

int TwipsToPixels(double twips) {
  if (std::isnan(twips)) return 0;
  double pixels = std::floor(twips / kTwipsPerPixel + 0.5);
  if (pixels > kMaxPixels) pixels = kMaxPixels;
  if (pixels < -kMaxPixels) pixels = -kMaxPixels;
  return static_cast<int>(pixels);
}

uint32_t OleColorToRgb(uint32_t ole_color) {
  if ((ole_color & 0x80000000u) != 0) return SystemColorRgb(ole_color & 0xFFu);
  const uint32_t red = ole_color & 0xFF;
  const uint32_t green = (ole_color >> 8) & 0xFF;
  const uint32_t blue = (ole_color >> 16) & 0xFF;
  return (red << 16) | (green << 8) | blue;
}

Fl_Color ToFlColor(uint32_t ole_color) {
  const uint32_t rgb = OleColorToRgb(ole_color);
  return fl_rgb_color(static_cast<uchar>(rgb >> 16), static_cast<uchar>(rgb >> 8),
                      static_cast<uchar>(rgb));
}

Fl_Font ToFlFont(const FontStyle& font) { return font.bold ? FL_HELVETICA_BOLD : FL_HELVETICA; }

int ToFlFontSize(const FontStyle& font) {
  double pixels = font.size_points * 96.0 / 72.0;
  if (font.name == "MS Sans Serif") pixels *= kSansSerifScale;
  const int size = static_cast<int>(std::lround(pixels));
  return size < 1 ? 1 : size;
}

}  // namespace qv::fltk
