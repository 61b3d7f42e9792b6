// Test helpers for the FLTK interface: an Xvfb server for the test process,
// the interface installed on a machine's platform, a script of user actions
// run from the event loop while a modal window waits, and pixel capture.
//
// Synthetic input goes through the X server (xdotool's XTest events), so it
// arrives as a user's would: the interface sees it when the loop next serves
// FLTK.
#ifndef QV_TESTS_FLTK_FIXTURE_H_
#define QV_TESTS_FLTK_FIXTURE_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/fltk/fltk_ui.h"
#include "tests/test_util.h"

// Xlib defines macros (None, Status, Bool, ...) that clash with names of
// GoogleTest and of this project: its headers come after every other, and
// the clashing macros are dropped once they are in. FL_INTERNALS opens
// Fl_X, which says whether a window has been drawn for the first time.
#define FL_INTERNALS 1
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#undef None
#undef Status
#undef Bool
#undef Success
#undef Always
#undef True
#undef False

namespace qv::testing {

// One Xvfb per test process, started at first use: -displayfd 1 makes it
// pick a free display number and print it; -terminate ends it with its last
// client, this process. Points DISPLAY at it; "" when it did not start.
inline std::string XvfbDisplay() {
  static FILE* const out = popen(
      "exec /usr/bin/Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -terminate "
      "2>/dev/null",
      "r");
  static const std::string display = [] {
    char line[32] = "";
    if (out == nullptr || fgets(line, sizeof line, out) == nullptr) return std::string();
    const std::string name = ":" + std::string(line, strcspn(line, "\n"));
    setenv("DISPLAY", name.c_str(), 1);
    return name;
  }();
  return display;
}

// Skips the test when Xvfb is missing and fails it when Xvfb does not start.
#define QV_REQUIRE_XVFB()                                                       \
  do {                                                                          \
    if (access("/usr/bin/Xvfb", X_OK) != 0)                                     \
      GTEST_SKIP() << "Xvfb is not installed (/usr/bin/Xvfb): no window tests"; \
    ASSERT_FALSE(::qv::testing::XvfbDisplay().empty()) << "Xvfb did not start"; \
  } while (0)

// A window's pixels (0xRRGGBB) as the X server has them.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
  // Pixels of [x0, x1) x [y0, y1) that match.
  int Count(int x0, int y0, int x1, int y1, const std::function<bool(uint32_t)>& match) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += match(at(x, y)) ? 1 : 0;
    return n;
  }
  // Length of the run of colour from (x, y) rightwards.
  int RunLength(int x, int y, uint32_t colour) const {
    int n = 0;
    while (x + n < width && at(x + n, y) == colour) ++n;
    return n;
  }
  // First and last column of [x0, x1) with a match in rows [y0, y1); -1 if none.
  std::pair<int, int> Columns(int x0, int y0, int x1, int y1,
                              const std::function<bool(uint32_t)>& match) const {
    std::pair<int, int> extent{-1, -1};
    for (int x = x0; x < x1; ++x) {
      if (Count(x, y0, x + 1, y1, match) == 0) continue;
      if (extent.first < 0) extent.first = x;
      extent.second = x;
    }
    return extent;
  }
};

inline bool Dark(uint32_t p) { return (p & 0x808080) == 0; }

// The width of text in an FLTK font at 10 pixels (8.25-point "MS Sans
// Serif" as the interface draws it).
inline int TextWidth(const std::string& text, Fl_Font font) {
  fl_font(font, 10);
  return static_cast<int>(fl_width(text.c_str()));
}

// Shown, mapped and drawn once (its first exposure handled).
inline bool Viewable(Fl_Window& window) {
  XWindowAttributes attributes;
  return window.shown() && !Fl_X::i(&window)->wait_for_expose &&
         XGetWindowAttributes(fl_display, fl_xid(&window), &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

// Reads window's pixels, after drawing what is damaged when flush is set.
inline Image Capture(Fl_Window& window, bool flush = true) {
  if (flush) Fl::flush();
  Image image{window.w(), window.h(), {}};
  XImage* x = XGetImage(fl_display, fl_xid(&window), 0, 0, static_cast<unsigned>(window.w()),
                        static_cast<unsigned>(window.h()), AllPlanes, ZPixmap);
  image.pixels.resize(static_cast<size_t>(image.width * image.height));
  if (x == nullptr) ADD_FAILURE() << "XGetImage failed";
  for (int y = 0; x != nullptr && y < image.height; ++y)
    for (int i = 0; i < image.width; ++i)
      image.pixels[static_cast<size_t>(y * image.width + i)] = XGetPixel(x, i, y) & 0xFFFFFF;
  if (x != nullptr) XDestroyImage(x);
  return image;
}

// Saves the top left w x h pixels of window as NAME.png in
// $QV_SCREENSHOT_DIR, when that is set.
inline void MaybeSaveScreenshot(Fl_Window& window, const std::string& name, int w, int h) {
  const char* dir = std::getenv("QV_SCREENSHOT_DIR");
  if (dir == nullptr) return;
  const std::string crop = std::to_string(w) + "x" + std::to_string(h) + "+0+0";
  EXPECT_EQ(
      RunCommand({"sh", "-c",
                  "xwd -silent -id " + std::to_string(fl_xid(&window)) + " | convert xwd:- -crop " +
                      crop + " +repage " + dir + "/" + name + ".png"})
          .exit_code,
      0);
}

// The first widget below group (depth first) that matches.
inline Fl_Widget* FindWidget(Fl_Group& group, const std::function<bool(Fl_Widget&)>& match) {
  for (int i = 0; i < group.children(); ++i) {
    Fl_Widget* child = group.child(i);
    Fl_Widget* found = match(*child) ? child : nullptr;
    if (found == nullptr && child->as_group() != nullptr)
      found = FindWidget(*child->as_group(), match);
    if (found != nullptr) return found;
  }
  return nullptr;
}
template <typename T>
T* FindOf(Fl_Group& group) {
  return static_cast<T*>(
      FindWidget(group, [](Fl_Widget& w) { return dynamic_cast<T*>(&w) != nullptr; }));
}
inline Fl_Widget* FindLabelled(Fl_Group& group, const std::string& label) {
  return FindWidget(group, [&](Fl_Widget& w) { return w.label() && label == w.label(); });
}

// Finds the viewable window with this title, once ready() holds.
inline std::function<Fl_Window*()> Titled(const std::string& title,
                                          std::function<bool()> ready = nullptr) {
  return [title, ready]() -> Fl_Window* {
    for (Fl_Window* w = Fl::first_window(); w != nullptr; w = Fl::next_window(w)) {
      if (w->label() != nullptr && title == w->label() && Viewable(*w) && (!ready || ready()))
        return w;
    }
    return nullptr;
  };
}

// Runs xdotool (XTest input, as a user's) and waits until what it sent has
// reached this process's queue: xdotool has left, so the server has handled
// its input, and a round trip of ours comes after the events it caused.
inline void Xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  const CommandResult r = RunCommand(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  XSync(fl_display, 0);
}
// Gives window the keyboard, then sends xdotool's "key" or "type" arguments.
inline void Keys(Fl_Window& window, std::vector<std::string> args) {
  XSetInputFocus(fl_display, fl_xid(&window), RevertToParent, CurrentTime);
  args.insert(args.begin() + 1, {"--delay", "20"});
  Xdotool(args);
}
// Clicks count times at a point of window (no --sync: the server handles the
// motion and the clicks in order, and --sync waits for ever when the pointer
// is there already).
inline void ClickAt(Fl_Window& window, int x, int y, int count = 1) {
  Xdotool({"mousemove", std::to_string(window.x() + x), std::to_string(window.y() + y), "click",
           "--repeat", std::to_string(count), "--delay", "60", "1"});
}
inline void Click(Fl_Widget& widget) {
  ClickAt(*widget.top_window(), widget.x() + widget.w() / 2, widget.y() + widget.h() / 2);
}

// Steps run in order from a timer on the loop, each once its window is
// found, so that they act while a modal call waits. A step that finds none
// for 5 s fails the test and ends the loop.
class Script {
 public:
  using Step = std::pair<std::function<Fl_Window*()>, std::function<void(Fl_Window&)>>;
  explicit Script(EventLoop& loop) : loop_(loop), timer_(loop.CreateTimer(5, [this] { Poll(); })) {}

  void When(std::function<Fl_Window*()> find, std::function<void(Fl_Window&)> act) {
    if (steps_.empty()) deadline_ = Clock::now() + std::chrono::seconds(5);
    steps_.emplace_back(std::move(find), std::move(act));
    timer_->SetEnabled(true);
  }
  bool done() const { return steps_.empty(); }

 private:
  using Clock = std::chrono::steady_clock;
  void Poll() {
    if (Fl_Window* window = steps_.empty() ? nullptr : steps_.front().first()) {
      Step step = std::move(steps_.front());
      steps_.pop_front();
      ++steps_run_;
      deadline_ = Clock::now() + std::chrono::seconds(5);
      step.second(*window);
    } else if (!steps_.empty() && Clock::now() > deadline_) {
      ADD_FAILURE() << "step " << steps_run_ + 1 << " of the script found no window";
      steps_.clear();
      loop_.Quit();
    }
    timer_->SetEnabled(!steps_.empty());
  }

  EventLoop& loop_;
  std::unique_ptr<Timer> timer_;
  std::deque<Step> steps_;
  int steps_run_ = 0;
  Clock::time_point deadline_;
};

// The FLTK interface on a machine's platform, and a host window at
// (100, 300) with the panel at its top left and a "Cancel" button below.
class FltkSession {
 public:
  explicit FltkSession(Platform& platform)
      : platform_(platform),
        previous_ui_(platform.ui),
        ui_(platform.loop),
        script_(*platform.loop),
        window_(100, 300, fltk::PanelWidget::kWidth, fltk::PanelWidget::kHeight + 32, "Quillmark") {
    panel_ = new fltk::PanelWidget(0, 0);
    cancel_ = new Fl_Button(4, fltk::PanelWidget::kHeight + 4, 80, 24, "Cancel");
    window_.end();
    platform.ui = &ui_;
    ui_.SetPanelWidget(panel_);
  }
  ~FltkSession() { platform_.ui = previous_ui_; }

  // Shows the host window and waits until it is on the screen and drawn.
  void ShowWindow() {
    window_.show();
    EXPECT_TRUE(platform_.loop->RunUntil([this] { return Viewable(window_); }));
  }

  fltk::FltkUi& ui() { return ui_; }
  Fl_Double_Window& window() { return window_; }
  fltk::PanelWidget& panel() { return *panel_; }
  Fl_Button& cancel_button() { return *cancel_; }
  Script& script() { return script_; }

 private:
  Platform& platform_;
  UserInterface* previous_ui_;
  fltk::FltkUi ui_;
  Script script_;
  Fl_Double_Window window_;
  fltk::PanelWidget* panel_;
  Fl_Button* cancel_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_FLTK_FIXTURE_H_
