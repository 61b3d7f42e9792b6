// The headless user interface: the panel drawn as text, boxes answered from
// settings, and the records of what was shown (what a control writes there
// is EngineE2eTest's).
#include "platform/headless/headless_ui.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qv {
namespace {

using nlohmann::json;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++n;
  }
  return n;
}

// The text bar that a line holds after the given label, brackets included.
std::string BarAfter(const std::string& line, const std::string& label) {
  const size_t start = line.find('[', line.find(label));
  const size_t end = line.find(']', start);
  return line.substr(start, end - start + 1);
}

std::string Bar(int filled, int empty) {
  return "[" + std::string(filled, '#') + std::string(empty, '.') + "]";
}

// ---- Drawing ----------------------------------------------------------------

TEST(HeadlessUiDrawTest, PanelShowsTextsBarsAndCounter) {
  Panel panel;
  panel.lblMessage.caption = "Please wait, checking and installing needed updates...";
  panel.frameStatus.caption = "Downloading and Installing: Client library";
  panel.prgTotal.width = 6375.0f / 4;    // a quarter
  panel.prgCurrent.width = 4335.0f / 2;  // half
  panel.lblBytes.caption = "20k of 40k";

  const std::vector<std::string> lines = HeadlessUi::RenderPanel(panel, 40);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Please wait, checking and installing needed updates...");
  EXPECT_NE(lines[1].find("Downloading and Installing: Client library"), std::string::npos);
  // The total bar has 40 columns at 6375 twips; the current bar's 4335 twips
  // make 27 of them.
  EXPECT_EQ(BarAfter(lines[3], "Total:"), Bar(10, 30));
  EXPECT_NE(lines[3].find("1593.75/6375"), std::string::npos);
  EXPECT_EQ(BarAfter(lines[2], "Current:"), Bar(14, 13));
  EXPECT_NE(lines[2].find("2167.5/4335"), std::string::npos);
  EXPECT_NE(lines[2].find("20k of 40k"), std::string::npos);
}

TEST(HeadlessUiDrawTest, BarsStayWithinTheirColumns) {
  Panel panel;
  panel.prgTotal.width = 0;
  panel.prgCurrent.width = 9000;  // more bytes than announced
  std::vector<std::string> lines = HeadlessUi::RenderPanel(panel, 20);
  EXPECT_EQ(BarAfter(lines[3], "Total:"), Bar(0, 20));
  EXPECT_EQ(BarAfter(lines[2], "Current:"), Bar(14, 0));
  EXPECT_NE(lines[2].find("9000/4335"), std::string::npos);

  panel.prgCurrent.width = std::numeric_limits<float>::quiet_NaN();
  lines = HeadlessUi::RenderPanel(panel, 20);
  EXPECT_EQ(BarAfter(lines[2], "Current:"), Bar(0, 14));
}

TEST(HeadlessUiDrawTest, PlainStreamGetsBlocksWithoutEscapes) {
  std::ostringstream out;
  HeadlessUi ui(out);
  Panel panel;
  ui.ShowPanel(panel);
  EXPECT_NE(out.str().find("Please wait, initializing system login procedure..."),
            std::string::npos);
  EXPECT_NE(out.str().find(Bar(40, 0)), std::string::npos);  // design width

  // The same panel painted again prints nothing new.
  const std::string after_show = out.str();
  ui.Repaint(panel);
  EXPECT_EQ(out.str(), after_show);

  // A bar alone waits for the next block...
  panel.prgTotal.width = 0;
  ui.PanelChanged(panel, PanelChange::kBars);
  EXPECT_EQ(out.str(), after_show);
  // ...which a message change prints at once, with the bar.
  panel.lblMessage.caption = "Please wait, getting list of files for update...";
  ui.PanelChanged(panel, PanelChange::kMessage);
  const std::string after_message = out.str();
  EXPECT_NE(after_message.find("Please wait, getting list of files for update..."),
            std::string::npos);
  EXPECT_NE(after_message.find(Bar(0, 40)), std::string::npos);

  // Flush draws a pending counter change.
  panel.lblBytes.caption = "3k of 9k";
  ui.PanelChanged(panel, PanelChange::kBytes);
  EXPECT_EQ(out.str().find("3k of 9k"), std::string::npos);
  ui.Flush();
  EXPECT_NE(out.str().find("3k of 9k"), std::string::npos);
  const std::string flushed = out.str();
  ui.Flush();  // nothing pending
  EXPECT_EQ(out.str(), flushed);

  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
}

TEST(HeadlessUiDrawTest, TerminalRedrawsInPlaceAtEveryChange) {
  std::ostringstream out;
  HeadlessUiOptions options;
  options.terminal = true;
  HeadlessUi ui(out, options);
  Panel panel;
  ui.ShowPanel(panel);
  EXPECT_EQ(out.str().find("\x1b[4A"), std::string::npos);  // nothing above

  panel.lblBytes.caption = "1k of 2k";
  ui.PanelChanged(panel, PanelChange::kBytes);
  // Back up over the four panel lines and draw them again.
  EXPECT_EQ(CountOf(out.str(), "\x1b[4A"), 1u);
  EXPECT_NE(out.str().find("1k of 2k"), std::string::npos);

  // A message box goes below the panel; the next panel is drawn below it.
  ui.MessageBox("Note", kMbOk, "");
  panel.lblBytes.caption = "2k of 2k";
  ui.PanelChanged(panel, PanelChange::kBytes);
  EXPECT_EQ(CountOf(out.str(), "\x1b[4A"), 1u);
  const std::string tail = out.str().substr(out.str().find("Note"));
  EXPECT_NE(tail.find("2k of 2k"), std::string::npos);
}

// ---- Boxes --------------------------------------------------------------------

TEST(HeadlessUiBoxTest, BoxesShowTitleAndEveryLineAndTakeTheConfiguredAnswer) {
  for (bool yes : {false, true}) {
    std::ostringstream out;
    HeadlessUiOptions options;
    options.answer_yes = yes;
    HeadlessUi ui(out, options);
    EXPECT_EQ(ui.MessageBox("This installation requires a system reboot.\r"
                            "Do you wish to have the system automatically reboot now?",
                            52, ""),
              yes ? kIdYes : kIdNo);  // No unless told
    EXPECT_NE(out.str().find("reboot.\nDo you wish"), std::string::npos);
    EXPECT_NE(out.str().find(yes ? "-> Yes" : "-> No"), std::string::npos);
    // Boxes with OK alone are answered OK whatever the setting.
    for (int style : {kMbOk, kMbIconCritical, kMbIconExclamation}) {
      EXPECT_EQ(ui.MessageBox("text", style, "Error"), kIdOk) << style;
    }
    EXPECT_EQ(CountOf(out.str(), "-> OK"), 3u);
  }
  std::ostringstream out;
  HeadlessUi ui(out);
  ui.MessageBox(
      "You do not have enough rights to install files.\r\rPlease contact your system "
      "administrator.",
      16, "Critical Error");
  EXPECT_NE(out.str().find("Critical Error"), std::string::npos);
  EXPECT_NE(out.str().find("install files.\n\nPlease contact your system administrator.\n"),
            std::string::npos);
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
}

TEST(HeadlessUiBoxTest, InputBoxTakesConfiguredAnswersThenCancels) {
  std::ostringstream out;
  HeadlessUiOptions options;
  options.input_answers = {"C:\\Copy", ""};
  HeadlessUi ui(out, options);
  EXPECT_EQ(ui.InputBox("Folder?", "Pick", "C:\\"), "C:\\Copy");
  EXPECT_EQ(ui.InputBox("Folder?", "Pick", "C:\\"), "");
  EXPECT_EQ(ui.InputBox("Folder?", "Pick", "C:\\"), "");  // none left
  EXPECT_NE(out.str().find("-> C:\\Copy"), std::string::npos);
  EXPECT_EQ(CountOf(out.str(), "-> (cancelled)"), 1u);
  ASSERT_EQ(ui.records().size(), 3u);
  EXPECT_EQ(ui.records()[0]["inputbox"]["answer"], "C:\\Copy");
  EXPECT_EQ(ui.records()[0]["inputbox"]["default"], "C:\\");
  EXPECT_EQ(ui.records()[2]["inputbox"]["answer"], "");
}

// ---- Records ------------------------------------------------------------------

TEST(HeadlessUiRecordTest, CaptionsAndBoxesAreRecordedInOrder) {
  std::ostringstream out;
  HeadlessUi ui(out);
  std::vector<std::string> sunk;
  ui.SetSink([&](const json& record) { sunk.push_back(record.dump()); });

  Panel panel;
  ui.ShowPanel(panel);
  panel.lblMessage.caption = "Initialization complete.";
  ui.PanelChanged(panel, PanelChange::kMessage);
  panel.prgTotal.width = 10;
  ui.PanelChanged(panel, PanelChange::kBars);
  panel.lblBytes.caption = "1k of 1k";
  ui.PanelChanged(panel, PanelChange::kBytes);
  ui.PanelChanged(panel, PanelChange::kPointer);
  panel.frameStatus.caption = "";
  ui.PanelChanged(panel, PanelChange::kFrame);
  ui.Repaint(panel);
  ui.MessageBox("Line one\rLine two", 52, "");

  const std::vector<std::string> expected = {
      R"({"message":"Initialization complete."})",
      R"({"frame":""})",
      R"({"msgbox":{"answer":7,"style":52,"text":"Line one\rLine two","title":""}})",
  };
  EXPECT_EQ(sunk, expected);
  ASSERT_EQ(ui.records().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ui.records()[i].dump(), expected[i]);
  }
}

TEST(HeadlessUiRecordTest, SnapshotGivesWidthsInTwips) {
  Panel panel;
  panel.lblMessage.caption = "Initialization complete.";
  panel.prgCurrent.width = 0;
  panel.prgTotal.width = 6375.0f / 4;
  panel.lblBytes.caption = "40k of 40k";
  EXPECT_EQ(HeadlessUi::Snapshot(panel).dump(),
            R"({"bytes":"40k of 40k","current":0,"frame":"",)"
            R"("message":"Initialization complete.","total":1593.75})");
  // A width that is not exact in decimal comes out as its shortest form.
  panel.prgTotal.width = 6375.0f / 3;
  EXPECT_EQ(HeadlessUi::Snapshot(panel)["total"].get<double>(), 2125.0);
  panel.prgTotal.width = static_cast<float>(6375.0 / 7 * 2);
  EXPECT_EQ(HeadlessUi::Snapshot(panel)["total"].dump(), "1821.4286");
}

}  // namespace
}  // namespace qv
