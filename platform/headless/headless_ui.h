// HeadlessUi: the user interface when no window is shown.
//
// Draws the status panel as text on a stream (the terminal, a log, a string
// stream in tests): the phase message, the frame caption, both progress bars
// as text bars scaled to their full width with the width in twips, and the
// byte counter. Message boxes and input boxes are printed with their title
// and text and answered from the settings, never from the keyboard.
//
// Drawing. On a terminal the panel is redrawn in place (ANSI escapes) at
// every change. On any other stream it is printed as a block of plain lines
// when the panel is shown, when it is repainted, and when the phase message
// or the frame caption is written; changes of the bars and the byte counter
// alone wait for the next block (or Flush()). A block equal to the one printed
// just before is not printed again.
//
// Answers. A box whose buttons are Yes and No (style 52, or any style with
// the Yes/No or Yes/No/Cancel buttons) gets the configured answer: kIdNo
// unless answer_yes is set. Every other box gets kIdOk. An input box gets the
// next configured input answer; with none left it is cancelled and returns "".
//
// Records. Everything it shows is also kept as one JSON object per thing, in
// the order things happened, and handed to the sink when one is set:
//   {"message": text}   each write of lblMessage's caption
//   {"frame": text}     each write of frameStatus's caption
//   {"msgbox": {"style": n, "title": t, "text": t, "answer": n}}
//   {"inputbox": {"title": t, "prompt": t, "default": t, "answer": t}}
//   {"picker": {"answer": t}}   the folder picker closed: gsCopyFolder's
//                               text after OK, "" after Cancel, null
//                               after the close box
// Texts are kept as they are, carriage returns included.
//
// Threading: used on the UI thread only, like every UserInterface.
#ifndef QV_PLATFORM_HEADLESS_HEADLESS_UI_H_
#define QV_PLATFORM_HEADLESS_HEADLESS_UI_H_

#include <deque>
#include <functional>
#include <iosfwd>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/panel.h"
#include "platform/user_interface.h"

namespace qv {

struct HeadlessUiOptions {
  // The stream is a terminal: redraw the panel in place. Otherwise print
  // plain lines only.
  bool terminal = false;
  // The answer to Yes/No questions: Yes when set, otherwise No.
  bool answer_yes = false;
  // Answers to input boxes, used in order.
  std::deque<std::string> input_answers;
  // Text columns of the whole-run bar at its full scale (6375 twips); the
  // current-file bar gets as many columns as its smaller scale takes.
  int total_bar_columns = 40;
  // The folder picker's answer: a Windows path on the machine (the picker
  // goes to its drive, opens it and presses OK), "cancel" (Cancel), or
  // nothing (the window is closed with its close box).
  std::optional<std::string> pick;
};

class HeadlessUi : public UserInterface {
 public:
  using Sink = std::function<void(const nlohmann::json&)>;

  // out must outlive the object.
  explicit HeadlessUi(std::ostream& out, HeadlessUiOptions options = {});
  ~HeadlessUi() override;

  void ShowPanel(const Panel& panel) override;
  void PanelChanged(const Panel& panel, PanelChange change) override;
  void Repaint(const Panel& panel) override;
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& default_text) override;
  void ShowFolderPicker(FolderPickerForm& form) override;

  // Draws changes that no block has shown yet (plain streams only; a terminal
  // is always current).
  void Flush();

  // Called with every record as it is made.
  void SetSink(Sink sink) { sink_ = std::move(sink); }
  const std::vector<nlohmann::json>& records() const { return records_; }

  // The panel as text lines: message, frame caption, current bar with the
  // byte counter, total bar.
  static std::vector<std::string> RenderPanel(const Panel& panel, int total_bar_columns);
  // What the panel shows, as {"message", "frame", "current", "total",
  // "bytes"}; widths in twips.
  static nlohmann::json Snapshot(const Panel& panel);

 private:
  void Draw(const Panel& panel);
  void PrintOutside(const std::string& text);
  void Record(nlohmann::json record);

  std::ostream& out_;
  HeadlessUiOptions options_;
  Sink sink_;
  std::vector<nlohmann::json> records_;
  Panel last_panel_;
  bool have_panel_ = false;
  bool pending_ = false;     // a change not drawn yet
  std::string last_block_;   // plain streams: the block printed last
  int lines_on_screen_ = 0;  // terminals: panel lines to redraw in place
};

}  // namespace qv

#endif  // QV_PLATFORM_HEADLESS_HEADLESS_UI_H_
