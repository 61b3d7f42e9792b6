// Units of the control's designs in FLTK terms: twips to pixels, OLE colours
// to FLTK colours, the panel's font descriptions to FLTK fonts.
//
// The designs are laid out at 96 dots per inch: 15 twips make one pixel. A
// length in twips becomes the nearest whole number of pixels, halves rounded
// up (a bar of 2167.5 twips, 144.5 pixels, is drawn 145 pixels wide);
// positions and sizes are converted separately, so a child's right edge is
// round(left / 15) + round(width / 15).
#ifndef QV_PLATFORM_FLTK_UNITS_H_
#define QV_PLATFORM_FLTK_UNITS_H_

#include <FL/Enumerations.H>

#include <cstdint>

#include "platform/panel.h"

namespace qv::fltk {

constexpr int kTwipsPerPixel = 15;

// Nearest pixel, halves up; 0 for NaN; clamped to +-1000000 pixels.
int TwipsToPixels(double twips);

// The RGB value (0xRRGGBB) of an OLE colour: &H00BBGGRR& as it stands,
// &H800000nn& as system colour nn of the classic Windows scheme (1, the
// desktop, is 0x3A6EA5; 18, button text, is black). Unknown system colours
// are black.
uint32_t OleColorToRgb(uint32_t ole_color);
Fl_Color ToFlColor(uint32_t ole_color);

// The FLTK font closest to a font description: Helvetica, bold when
// asked, at the point size in pixels at 96 dpi (8.25 points: 11). "MS Sans
// Serif" is narrower than Helvetica at the same size: it is drawn at 10/11
// of it (8.25 points: 10 pixels), the size at which texts take the widths
// that the designs give to labels sized to their text ("Current:" 47 pixels
// against 690 twips, 46 pixels; "Current Selected Direcotry:" 155 against
// 2325 twips, 155) and a line is 13 pixels high, as the labels' 195 twips.
Fl_Font ToFlFont(const FontStyle& font);
int ToFlFontSize(const FontStyle& font);

// The dialogs' default font: the system's 8-point sans serif, as above.
constexpr Fl_Font kDialogFont = FL_HELVETICA;
constexpr int kDialogFontSize = 10;

}  // namespace qv::fltk

#endif  // QV_PLATFORM_FLTK_UNITS_H_
