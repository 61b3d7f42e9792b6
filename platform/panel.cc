// The panel's design: every child at its place with its initial state.
#include "platform/panel.h"

namespace qv {

namespace {

Widget MakeWidget(const char* name, WidgetKind kind, const char* parent,
                  Rect rect, const char* caption, bool auto_size, bool bold) {
  Widget w;
  w.name = name;
  w.kind = kind;
  w.parent = parent;
  w.rect = rect;
  w.width = static_cast<float>(rect.width);
  w.caption = caption;
  w.auto_size = auto_size;
  w.back_color = kColorWhite;
  w.font.bold = bold;
  return w;
}

Widget MakeBar(const char* name, Rect rect) {
  Widget w = MakeWidget(name, WidgetKind::kShape, "frameStatus", rect, "",
                        false, false);
  w.opaque = true;
  w.back_color = kColorSystemDesktop;
  w.fill_color = kColorSystemDesktop;
  w.border_color = kColorSystemDesktop;
  return w;
}

}  // namespace

Panel::Panel() {
  lblMessage = MakeWidget("lblMessage", WidgetKind::kLabel, "", {0, 60, 4140, 195},
                          "Please wait, initializing system login procedure...",
                          true, true);
  frameStatus = MakeWidget("frameStatus", WidgetKind::kFrame, "",
                           {0, 300, 7335, 975}, "", false, true);
  frameStatus.fore_color = kColorDarkBlue;
  Label2 = MakeWidget("Label2", WidgetKind::kLabel, "frameStatus",
                      {60, 300, 690, 195}, "Current:", true, true);
  prgCurrent = MakeBar("prgCurrent", {840, 300, 4335, 195});
  lblBytes = MakeWidget("lblBytes", WidgetKind::kLabel, "frameStatus",
                        {5220, 300, 1785, 195}, "", false, false);
  lblBytes.font = FontStyle{};  // the default font: not bold
  Label1 = MakeWidget("Label1", WidgetKind::kLabel, "frameStatus",
                      {60, 660, 510, 195}, "Total:", true, true);
  prgTotal = MakeBar("prgTotal", {840, 660, 6375, 195});
}

}  // namespace qv
