// The FLTK interface in a real window under Xvfb: the status panel drawn at
// its twips positions (measured in pixels) at the start, during a transfer
// and at its end; Init at every show; immediate repaints; message boxes; and
// the event loop serving FLTK (clicks between chunks, posts from threads).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/fltk/dialog_parts.h"
#include "tests/engine_fixture.h"
#include "tests/fltk_fixture.h"

// Fontconfig, which FLTK's Xft fonts go through, keeps font patterns for the
// life of the process; the leak checker of sanitizer builds is told so.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace qv {
namespace {

using namespace std::chrono_literals;
using testing::Capture;
using testing::Dark;
using testing::FileRecord;
using testing::Image;
using testing::TextWidth;
using Strings = std::vector<std::string>;

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kDesktop = 0x3A6EA5;   // system colour 1, the bars
constexpr uint32_t kDarkBlue = 0x000040;  // &H00400000&, the frame's text
constexpr uint32_t kYellow = 0xFFD800;    // the exclamation icon
// Design places in pixels (twips / 15); frame children add the frame's 300.
constexpr int kBarLeft = 840 / 15;               // 56
constexpr int kCurrentRow = (300 + 300) / 15;    // 40
constexpr int kTotalRow = (300 + 660) / 15;      // 64
constexpr int kBytesLeft = 5220 / 15;            // 348
constexpr int kBytesRight = (5220 + 1785) / 15;  // 467
constexpr int kFrameTop = 300 / 15;              // 20

bool IsDarkBlue(uint32_t p) { return p == kDarkBlue; }

class FltkPanelTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    QV_REQUIRE_XVFB();
    session_ = std::make_unique<testing::FltkSession>(m_.platform());
    session_->panel().SetShowHandler([this] { control_->UserControl_Show(); });
    session_->panel().SetHideHandler([this] { control_->UserControl_Hide(); });
    session_->ShowWindow();
  }
  void TearDown() override { session_.reset(); }

  Fl_Double_Window& window() { return session_->window(); }
  // The right end of the message line's text (its label starts at 0, 60).
  static int MessageEnd(const Image& image) {
    return image.Columns(0, 4, image.width, 17, Dark).second;
  }
  static int BoldWidth(const std::string& text) { return TextWidth(text, FL_HELVETICA_BOLD); }

  std::unique_ptr<testing::FltkSession> session_;
};

TEST_F(FltkPanelTest, DesignPanelInitAtEveryShowAndImmediateRepaint) {
  EXPECT_EQ(events_, Strings{"Init"});
  const Image image = Capture(window());
  // Both bars at their design widths, 4335 and 6375 twips, 13 pixels high.
  for (int y = 0; y < 13; ++y) {
    EXPECT_EQ(image.RunLength(kBarLeft, kCurrentRow + y, kDesktop), 289) << y;
    EXPECT_EQ(image.RunLength(kBarLeft, kTotalRow + y, kDesktop), 425) << y;
  }
  EXPECT_EQ(image.at(kBarLeft - 1, kCurrentRow), kWhite);
  EXPECT_EQ(image.at(kBarLeft, kCurrentRow + 13), kWhite);
  EXPECT_NEAR(MessageEnd(image), BoldWidth("Please wait, initializing system login procedure..."),
              3);
  // "Current:" and "Total:" on the bars' rows, left of them; no caption.
  EXPECT_GT(image.Count(4, kCurrentRow, kBarLeft, kCurrentRow + 13, Dark), 20);
  EXPECT_GT(image.Count(4, kTotalRow, kBarLeft, kTotalRow + 13, Dark), 20);
  EXPECT_EQ(image.Count(0, kCurrentRow + 13, kBarLeft, kTotalRow, Dark), 0);
  EXPECT_EQ(image.Count(0, 0, image.width, 86, IsDarkBlue), 0);
  // The etched frame: its top line in the middle of a caption line.
  int line = kFrameTop;
  while (line < kFrameTop + 13 && image.at(200, line) != 0x808080) ++line;
  EXPECT_EQ(line, kFrameTop + 6);
  EXPECT_GE(image.RunLength(0, line, 0x808080), 480);

  // A change waits for the loop; Repaint draws it at once. A label that
  // sizes itself is not cut at its design width (4140 twips, 276 pixels).
  const std::string longer = "Please wait, getting list of files for update from the server...";
  ASSERT_GT(BoldWidth(longer), 300);
  control_->SetMessage(longer);
  EXPECT_EQ(MessageEnd(Capture(window(), false)), MessageEnd(image));
  control_->Repaint();
  EXPECT_NEAR(MessageEnd(Capture(window(), false)), BoldWidth(longer), 3);

  window().hide();
  EXPECT_FALSE(control_->visible());
  session_->ShowWindow();
  EXPECT_EQ(events_, (Strings{"Init", "Init"}));
}

TEST_F(FltkPanelTest, TransferShowsBarsAndByteCounterThenCompletion) {
  for (const char* name : {"b.dll", "c.dll", "d.dll"}) Installed(name, "1.0.0.0");
  Serve("b.dll", std::string(40960, 'b'));
  Image during;
  net_->before_chunk = [&](size_t handed) {
    if (handed != 10) return;
    during = Capture(window());
    testing::MaybeSaveScreenshot(window(), "panel", fltk::PanelWidget::kWidth,
                                 fltk::PanelWidget::kHeight);
  };
  Start({FileRecord("b.dll", "1.0.0.1"), FileRecord("c.dll", "1.0.0.0"),
         FileRecord("d.dll", "1.0.0.0")});
  Run();
  ASSERT_EQ(during.width, window().w());

  // Half the file: 2167.5 twips, 144.5 pixels, drawn 145 wide. The first of
  // three records: 2125 twips, 141.67 pixels, 142 wide.
  EXPECT_EQ(during.RunLength(kBarLeft, kCurrentRow + 6, kDesktop), 145);
  EXPECT_EQ(during.RunLength(kBarLeft, kTotalRow + 6, kDesktop), 142);
  // "20k of 40k" in the regular font, inside the counter's box.
  const auto bytes = during.Columns(kBytesLeft, kCurrentRow, during.width, kCurrentRow + 13, Dark);
  EXPECT_GE(bytes.first, kBytesLeft);
  EXPECT_LT(bytes.second, kBytesRight);
  EXPECT_NEAR(bytes.second - bytes.first + 1, TextWidth("20k of 40k", FL_HELVETICA), 2);
  // The caption in dark blue on the frame's top line, 8 pixels in (plus the
  // first glyph's own margin).
  const auto caption = during.Columns(0, kFrameTop, during.width, kFrameTop + 14, IsDarkBlue);
  EXPECT_GE(caption.first, 8);
  EXPECT_LE(caption.first, 10);
  EXPECT_NEAR(caption.second - 8, BoldWidth("Downloading and Installing: About b.dll"), 3);

  // The end: the message, no caption, the current bar empty, the total full.
  EXPECT_EQ(events_, (Strings{"Init", "Done"}));
  const Image end = Capture(window());
  EXPECT_NEAR(MessageEnd(end), BoldWidth("Initialization complete."), 3);
  EXPECT_EQ(end.Count(0, 0, end.width, 86, IsDarkBlue), 0);
  EXPECT_EQ(end.RunLength(kBarLeft, kCurrentRow + 6, kDesktop), 0);
  EXPECT_EQ(end.RunLength(kBarLeft, kTotalRow + 6, kDesktop), 425);
}

TEST_F(FltkPanelTest, ClickOnTheHostIsHandledBetweenChunks) {
  Installed("b.dll", "1.0.0.0");
  Serve("b.dll", std::string(40960, 'b'));
  session_->cancel_button().callback(
      [](Fl_Widget*, void* control) { static_cast<ctlInit_V3*>(control)->CancelXfer(); },
      control_.get());
  size_t last_chunk = 0;
  net_->before_chunk = [&](size_t handed) {
    last_chunk = handed;
    if (handed == 3) testing::Click(session_->cancel_button());
  };
  Start({FileRecord("b.dll", "1.0.0.1")});
  Run();
  // Cancelled in the messages processed after the fourth chunk: the body
  // ended early and the file was not installed.
  EXPECT_EQ(last_chunk, 4u);
  EXPECT_EQ(m_.ReadFile(Client("b.dll")), "old b.dll");
}

TEST_F(FltkPanelTest, MessageBoxesRestartQuestionYesAndNoOtherStyles) {
  gbRebootNeeded = true;
  session_->script().When(testing::Titled(""), [&](Fl_Window& box) {
    // Centred on the panel's window, split at the carriage return, with the
    // exclamation icon.
    EXPECT_NEAR(box.x() + box.w() / 2, window().x() + window().w() / 2, 1);
    EXPECT_NEAR(box.y() + box.h() / 2, window().y() + window().h() / 2, 1);
    EXPECT_EQ(testing::FindOf<fltk::TextLabel>(box)->text(),
              "This installation requires a system reboot.\n"
              "Do you wish to have the system automatically reboot now?");
    EXPECT_GT(Capture(box).Count(11, 11, 43, 43, [](uint32_t p) { return p == kYellow; }), 100);
    testing::Keys(box, {"key", "Return"});  // Yes, the default button
  });
  Start({});
  Run();
  gbRebootNeeded = true;
  session_->script().When(testing::Titled(""), [](Fl_Window& box) {
    testing::Click(*testing::FindLabelled(box, "&No"));
  });
  Start({});
  Run();
  EXPECT_EQ(events_, (Strings{"Init", "Reboot", "Done"}));

  // OK alone: Escape answers OK. Critical: a red icon; none for style 0.
  for (int style : {0, 16}) {
    int red = -1;
    session_->script().When(testing::Titled("Title"), [&](Fl_Window& box) {
      red = Capture(box).Count(11, 11, 43, 43, [](uint32_t p) { return p == 0xCC0000; });
      testing::Keys(box, {"key", "Escape"});
    });
    EXPECT_EQ(session_->ui().MessageBox("Text", style, "Title"), kIdOk);
    EXPECT_EQ(red > 100, style == 16) << red;
  }
}

TEST_F(FltkPanelTest, PostFromAnotherThreadWakesTheWindowLoop) {
  // With a window shown the loop sleeps in FLTK's wait; only the wake-up of
  // Post() ends it before the fallback timer.
  bool ran = false;
  bool fallback = false;
  auto timer = m_.loop().CreateTimer(10000, [&] { fallback = true; });
  timer->SetEnabled(true);
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    m_.loop().Post([&] { ran = true; });
  });
  EXPECT_TRUE(m_.loop().RunUntil([&] { return ran || fallback; }));
  poster.join();
  EXPECT_TRUE(ran && !fallback);
}

}  // namespace
}  // namespace qv
