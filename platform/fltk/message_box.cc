// Message box and input box windows.
#include "platform/fltk/message_box.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <vector>

#include "platform/fltk/dialog_parts.h"
#include "platform/fltk/units.h"
#include "platform/user_interface.h"

namespace qv::fltk {

namespace {

constexpr uint32_t kDialogFace = 0x8000000F;  // system colour 15
constexpr int kMargin = 11;
constexpr int kIconSize = 32;
constexpr int kIconGap = 12;
constexpr int kMaxTextWidth = 400;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kButtonGap = 6;
constexpr int kMinWidth = 120;

constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;

struct ButtonSpec {
  const char* label;
  int id;
};

std::vector<ButtonSpec> ButtonsOf(int style) {
  switch (style & 0x0F) {
    case 1:
      return {{"OK", kIdOk}, {"Cancel", kIdCancel}};
    case 2:
      return {{"&Abort", kIdAbort}, {"&Retry", kIdRetry}, {"&Ignore", kIdIgnore}};
    case 3:
      return {{"&Yes", kIdYes}, {"&No", kIdNo}, {"Cancel", kIdCancel}};
    case kMbYesNo:
      return {{"&Yes", kIdYes}, {"&No", kIdNo}};
    case 5:
      return {{"&Retry", kIdRetry}, {"Cancel", kIdCancel}};
    default:
      return {{"OK", kIdOk}};
  }
}

// The answer that Escape and the close box give, 0 when they do nothing.
int EscapeAnswer(const std::vector<ButtonSpec>& buttons) {
  for (const ButtonSpec& b : buttons) {
    if (b.id == kIdCancel) return kIdCancel;
  }
  return buttons.size() == 1 && buttons[0].id == kIdOk ? kIdOk : 0;
}

// The window's close box (and an Escape no button took) gives the answer in
// *answer unless it is 0.
struct CloseAnswer {
  int* answer;
  int value;
};

void OnClose(Fl_Widget*, void* data) {
  auto* close = static_cast<CloseAnswer*>(data);
  if (close->value != 0) *close->answer = close->value;
}

}  // namespace

int RunMessageBox(EventLoop& loop, Fl_Window* owner, const std::string& text, int style,
                  const std::string& title) {
  const std::vector<ButtonSpec> buttons = ButtonsOf(style);
  const int icon_style = style & 0xF0;
  const bool has_icon = MessageIcon::HasIcon(icon_style);

  // Measure the text, wrapping only lines that are too long.
  const std::string shown = WithNewlines(text);
  fl_font(kDialogFont, kDialogFontSize);
  int text_width = 0;
  int text_height = 0;
  fl_measure(shown.c_str(), text_width, text_height, 0);
  const bool wrap = text_width > kMaxTextWidth;
  if (wrap) {
    text_width = kMaxTextWidth;
    fl_measure(shown.c_str(), text_width, text_height, 0);
  }
  const int text_left = kMargin + (has_icon ? kIconSize + kIconGap : 0);
  int text_top = kMargin;
  if (has_icon && text_height < kIconSize) text_top += (kIconSize - text_height) / 2;
  const int content_bottom = std::max(text_top + text_height, has_icon ? kMargin + kIconSize : 0);

  const int count = static_cast<int>(buttons.size());
  const int row_width = count * kButtonWidth + (count - 1) * kButtonGap;
  const int width =
      std::max({text_left + text_width + kMargin, row_width + 2 * kMargin, kMinWidth});
  const int buttons_top = content_bottom + 14;
  const int height = buttons_top + kButtonHeight + kMargin;

  int answer = 0;
  CloseAnswer close{&answer, EscapeAnswer(buttons)};
  Fl_Double_Window window(width, height);
  window.copy_label(title.c_str());
  window.color(ToFlColor(kDialogFace));
  window.callback(OnClose, &close);
  if (has_icon) new MessageIcon(kMargin, kMargin, icon_style);
  auto* label = new TextLabel(text_left, text_top, text_width, text_height, false);
  label->color(ToFlColor(kDialogFace));
  label->set_wrap(wrap);
  label->SetText(shown);

  int default_index = (style >> 8) & 0x03;
  if (default_index >= count) default_index = 0;
  DialogButton* first_focus = nullptr;
  int left = (width - row_width) / 2;
  for (int i = 0; i < count; ++i) {
    auto* button =
        new DialogButton(left, buttons_top, kButtonWidth, kButtonHeight, buttons[i].label);
    const int id = buttons[i].id;
    button->SetPressed([&answer, id] { answer = id; });
    if (id == kIdCancel) button->shortcut(FL_Escape);
    if (i == default_index) {
      button->set_default(true);
      first_focus = button;
    }
    left += kButtonWidth + kButtonGap;
  }
  window.end();

  if (!RunModal(
          loop, window, owner, [&answer] { return answer != 0; }, first_focus))
    return 0;
  return answer;
}

std::string RunInputBox(EventLoop& loop, Fl_Window* owner, const std::string& prompt,
                        const std::string& title, const std::string& default_text) {
  constexpr int kWidth = 372;
  constexpr int kHeight = 136;
  bool answered = false;
  bool accepted = false;
  int close_answer = 0;
  CloseAnswer close{&close_answer, kIdCancel};

  Fl_Double_Window window(kWidth, kHeight);
  window.copy_label(title.c_str());
  window.color(ToFlColor(kDialogFace));
  window.callback(OnClose, &close);
  // Made first: the tab order is field, OK, Cancel.
  auto* input = new Fl_Input(9, kHeight - 9 - 21, kWidth - 18, 21);
  input->textfont(kDialogFont);
  input->textsize(kDialogFontSize);
  input->value(default_text.c_str());
  // The default text is selected, so that typing replaces it.
  input->position(input->size(), 0);
  auto* ok = new DialogButton(kWidth - 9 - kButtonWidth, 9, kButtonWidth, kButtonHeight, "OK");
  ok->set_default(true);
  ok->SetPressed([&] { answered = accepted = true; });
  auto* cancel =
      new DialogButton(kWidth - 9 - kButtonWidth, 38, kButtonWidth, kButtonHeight, "Cancel");
  cancel->shortcut(FL_Escape);
  cancel->SetPressed([&] { answered = true; });
  auto* label = new TextLabel(9, 9, 268, 84, false);
  label->color(ToFlColor(kDialogFace));
  label->set_wrap(true);
  label->SetText(prompt);
  window.end();

  const bool finished = RunModal(
      loop, window, owner, [&] { return answered || close_answer != 0; }, input);
  if (!finished || !accepted) return "";
  return input->value();
}

}  // namespace qv::fltk
