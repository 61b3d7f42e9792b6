// HeadlessUi: the panel as text, boxes answered from settings.
#include "platform/headless/headless_ui.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ostream>
#include <utility>

namespace qv {

namespace {

// The shortest text that reads back as the same single-precision width
// ("1593.75", "0", "4335").
std::string WidthText(float width) {
  char buffer[48];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), width);
  if (result.ec != std::errc()) return "?";
  return std::string(buffer, result.ptr);
}

// A text with its line breaks (CR LF, CR or LF) as single spaces, for a panel
// line that must stay one line.
std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += ' ';
    } else {
      line += text[i];
    }
  }
  return line;
}

int BarColumns(float scale, int total_bar_columns) {
  const double columns = std::round(static_cast<double>(total_bar_columns) * scale /
                                    static_cast<double>(Panel::kTotalBarScale));
  return std::max(1, static_cast<int>(columns));
}

std::string TextBar(float width, float scale, int columns) {
  int filled = 0;
  if (width >= scale) {
    filled = columns;
  } else if (width > 0) {  // false for NaN
    filled = static_cast<int>(std::round(static_cast<double>(width) / scale * columns));
    filled = std::clamp(filled, 0, columns);
  }
  return "[" + std::string(filled, '#') + std::string(columns - filled, '.') + "]";
}

std::string PadRight(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// A width as a JSON number: an integer when it is whole, else the shortest
// decimal that reads back as the same single-precision value.
nlohmann::json WidthJson(float width) {
  if (!std::isfinite(width)) return nullptr;
  if (width == std::trunc(width) && std::fabs(width) < 1e15f) {
    return static_cast<int64_t>(width);
  }
  return std::stod(WidthText(width));
}

const char* AnswerName(int answer) {
  switch (answer) {
    case kIdYes:
      return "Yes";
    case kIdNo:
      return "No";
    case kIdCancel:
      return "Cancel";
    default:
      return "OK";
  }
}

}  // namespace

HeadlessUi::HeadlessUi(std::ostream& out, HeadlessUiOptions options)
    : out_(out), options_(std::move(options)) {}

HeadlessUi::~HeadlessUi() = default;

std::vector<std::string> HeadlessUi::RenderPanel(const Panel& panel, int total_bar_columns) {
  const std::string current_label = OneLine(panel.Label2.caption);
  const std::string total_label = OneLine(panel.Label1.caption);
  const size_t label_width = std::max(current_label.size(), total_label.size());

  std::string current = "  " + PadRight(current_label, label_width) + " " +
                        TextBar(panel.prgCurrent.width, Panel::kCurrentBarScale,
                                BarColumns(Panel::kCurrentBarScale, total_bar_columns)) +
                        " " + WidthText(panel.prgCurrent.width) + "/" +
                        WidthText(Panel::kCurrentBarScale);
  if (!panel.lblBytes.caption.empty()) {
    current += "  " + OneLine(panel.lblBytes.caption);
  }
  std::string total = "  " + PadRight(total_label, label_width) + " " +
                      TextBar(panel.prgTotal.width, Panel::kTotalBarScale,
                              BarColumns(Panel::kTotalBarScale, total_bar_columns)) +
                      " " + WidthText(panel.prgTotal.width) + "/" +
                      WidthText(Panel::kTotalBarScale);
  return {OneLine(panel.lblMessage.caption), "[" + OneLine(panel.frameStatus.caption) + "]",
          current, total};
}

nlohmann::json HeadlessUi::Snapshot(const Panel& panel) {
  nlohmann::json snapshot;
  snapshot["message"] = panel.lblMessage.caption;
  snapshot["frame"] = panel.frameStatus.caption;
  snapshot["current"] = WidthJson(panel.prgCurrent.width);
  snapshot["total"] = WidthJson(panel.prgTotal.width);
  snapshot["bytes"] = panel.lblBytes.caption;
  return snapshot;
}

void HeadlessUi::ShowPanel(const Panel& panel) { Draw(panel); }

void HeadlessUi::PanelChanged(const Panel& panel, PanelChange change) {
  // The bars and the counter change after every chunk of a download: keep
  // just what changed rather than copying the whole panel each time.
  if (have_panel_ && change == PanelChange::kBars) {
    last_panel_.prgCurrent.width = panel.prgCurrent.width;
    last_panel_.prgTotal.width = panel.prgTotal.width;
  } else if (have_panel_ && change == PanelChange::kBytes) {
    last_panel_.lblBytes.caption = panel.lblBytes.caption;
  } else if (have_panel_ && change == PanelChange::kPointer) {
    last_panel_.mouse_pointer = panel.mouse_pointer;
  } else {
    last_panel_ = panel;
  }
  have_panel_ = true;
  if (change == PanelChange::kMessage) {
    Record({{"message", panel.lblMessage.caption}});
  } else if (change == PanelChange::kFrame) {
    Record({{"frame", panel.frameStatus.caption}});
  }
  if (options_.terminal || change == PanelChange::kMessage || change == PanelChange::kFrame) {
    Draw(panel);
  } else {
    pending_ = true;
  }
}

void HeadlessUi::Repaint(const Panel& panel) { Draw(panel); }

void HeadlessUi::Flush() {
  if (pending_ && have_panel_) Draw(last_panel_);
}

void HeadlessUi::Draw(const Panel& panel) {
  last_panel_ = panel;
  have_panel_ = true;
  pending_ = false;
  const std::vector<std::string> lines = RenderPanel(panel, options_.total_bar_columns);
  if (options_.terminal) {
    // Back to the first line of the panel drawn last, then overwrite it.
    if (lines_on_screen_ > 0) out_ << "\x1b[" << lines_on_screen_ << "A";
    for (const std::string& line : lines) out_ << "\r\x1b[2K" << line << '\n';
    lines_on_screen_ = static_cast<int>(lines.size());
  } else {
    std::string block;
    for (const std::string& line : lines) block += line + '\n';
    if (block == last_block_) return;
    out_ << block;
    last_block_ = std::move(block);
  }
  out_.flush();
}

void HeadlessUi::PrintOutside(const std::string& text) {
  out_ << text;
  out_.flush();
  // The next panel is drawn below this text, not over it.
  lines_on_screen_ = 0;
}

void HeadlessUi::Record(nlohmann::json record) {
  records_.push_back(std::move(record));
  if (sink_) sink_(records_.back());
}

int HeadlessUi::MessageBox(const std::string& text, int style, const std::string& title) {
  const int buttons = style & 0x0F;
  const bool yes_no = buttons == kMbYesNo || buttons == 3;  // 3: Yes/No/Cancel
  const int answer = yes_no ? (options_.answer_yes ? kIdYes : kIdNo) : kIdOk;

  std::string shown =
      title.empty() ? "-- Message box --\n" : "-- Message box: " + OneLine(title) + " --\n";
  shown += WithNewlines(text) + "\n";
  shown += std::string("-> ") + AnswerName(answer) + "\n";
  PrintOutside(shown);

  Record({{"msgbox", {{"style", style}, {"title", title}, {"text", text}, {"answer", answer}}}});
  return answer;
}

std::string HeadlessUi::InputBox(const std::string& prompt, const std::string& title,
                                 const std::string& default_text) {
  std::string answer;
  bool cancelled = true;
  if (!options_.input_answers.empty()) {
    answer = std::move(options_.input_answers.front());
    options_.input_answers.pop_front();
    cancelled = false;
  }

  std::string shown =
      title.empty() ? "-- Input box --\n" : "-- Input box: " + OneLine(title) + " --\n";
  shown += WithNewlines(prompt) + "\n";
  shown += cancelled ? "-> (cancelled)\n" : "-> " + OneLine(answer) + "\n";
  PrintOutside(shown);

  Record({{"inputbox",
           {{"title", title}, {"prompt", prompt}, {"default", default_text}, {"answer", answer}}}});
  return answer;
}

void HeadlessUi::ShowFolderPicker(FolderPickerForm& form) {
  std::string shown = "-- Pick directory --\n";
  nlohmann::json answer = nullptr;
  if (!options_.pick) {
    shown += "-> (closed)\n";
  } else if (*options_.pick == "cancel") {
    form.PressCancel();
    shown += "-> Cancel\n";
    answer = "";
  } else {
    const std::string& path = *options_.pick;
    if (path.size() >= 2 && path[1] == ':') form.SelectDrive(path[0]);
    form.OpenFolder(path);
    form.PressOK();
    shown += "-> " + OneLine(form.DirPath()) + "\n";
    answer = form.DirPath() + "\\";
  }
  PrintOutside(shown);
  Record({{"picker", {{"answer", answer}}}});
}

}  // namespace qv
