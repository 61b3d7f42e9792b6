// The folder picker in a real window under Xvfb, driven by synthetic keys
// and clicks: its layout, Enter and Escape, the close box, double clicks into
// folders and back up, Tab and Enter on Create Folder, and folder creation
// with a new and an existing name.
#include <FL/Fl_Input.H>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogs/frmPickDir.h"
#include "platform/fltk/dialog_parts.h"
#include "platform/fltk/folder_picker_view.h"
#include "state/module_state.h"
#include "tests/fltk_fixture.h"

namespace qv {
namespace {

using testing::FindLabelled;
using testing::FindOf;
using testing::Keys;
using testing::Titled;
using Strings = std::vector<std::string>;

constexpr char kPicker[] = "Pick directory";

frmPickDir& Form() { return frmPickDir::Instance(); }
auto At(const std::string& caption) {
  return Titled(kPicker, [caption] { return Form().CurrentDirCaption() == caption; });
}
Strings Lines(Fl_Window& picker) {
  auto* list = FindOf<fltk::FolderList>(picker);
  Strings lines;
  for (int i = 1; i <= list->size(); ++i) lines.push_back(list->text(i));
  return lines;
}
void DoubleClickLine(Fl_Window& picker, const std::string& name) {
  auto* list = FindOf<fltk::FolderList>(picker);
  const Strings lines = Lines(picker);
  const int line =
      static_cast<int>(std::find(lines.begin(), lines.end(), name) - lines.begin()) + 1;
  int y = list->y();
  while (y < list->y() + list->h() && list->LineAt(y) != line) ++y;
  ASSERT_LT(y, list->y() + list->h()) << name << " is not in view";
  testing::ClickAt(picker, list->x() + 30, y + 3, 2);
}

class FltkPickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QV_REQUIRE_XVFB();
    session_ = std::make_unique<testing::FltkSession>(m_.platform());
    session_->ShowWindow();
    m_.WriteFile("C:\\Data\\Sub\\file.txt", "x");
  }
  void TearDown() override { session_.reset(); }
  testing::Script& script() { return session_->script(); }

  testing::TestMachine m_;
  std::unique_ptr<testing::FltkSession> session_;
};

TEST_F(FltkPickerTest, LayoutThenEnterIsOkEscapeIsCancelCloseBoxLeavesTheFolder) {
  script().When(Titled(kPicker), [this](Fl_Window& picker) {
    // 6795 x 4440 twips, centred on the panel's window; controls at their
    // twips places, in tab order: Dir1, Create Folder, OK, Cancel.
    Fl_Window& owner = session_->window();
    EXPECT_EQ(std::vector<int>({picker.w(), picker.h()}), std::vector<int>({453, 296}));
    EXPECT_NEAR(picker.x() + picker.w() / 2, owner.x() + owner.w() / 2, 1);
    EXPECT_NEAR(picker.y() + picker.h() / 2, owner.y() + owner.h() / 2, 1);
    Fl_Widget* list = FindOf<fltk::FolderList>(picker);
    Fl_Widget* ok = FindLabelled(picker, "OK");
    EXPECT_EQ(std::vector<int>({list->x(), list->y(), list->w(), list->h()}),
              std::vector<int>({0, 32, 453, 201}));
    EXPECT_EQ(std::vector<int>({ok->x(), ok->y(), ok->w(), ok->h()}),
              std::vector<int>({156, 264, 133, 25}));
    EXPECT_EQ(
        std::vector<int>({picker.find(list), picker.find(FindLabelled(picker, "Create Folder")),
                          picker.find(ok), picker.find(FindLabelled(picker, "Cancel"))}),
        std::vector<int>({0, 1, 2, 3}));
    EXPECT_EQ(Lines(picker), (Strings{"Data", "Program Files", "Windows"}));
    Keys(picker, {"key", "Return"});
  });
  Form().Show();
  EXPECT_EQ(gsCopyFolder, "C:\\\\");  // OK adds a separator even at the root

  script().When(Titled(kPicker), [](Fl_Window& picker) { Keys(picker, {"key", "Escape"}); });
  Form().Show();
  EXPECT_EQ(gsCopyFolder, "");

  gsCopyFolder = "kept";
  script().When(Titled(kPicker), [](Fl_Window& picker) {
    // What a window manager sends for the close box.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = fl_xid(&picker);
    event.xclient.message_type = XInternAtom(fl_display, "WM_PROTOCOLS", 0);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(fl_display, "WM_DELETE_WINDOW", 0));
    XSendEvent(fl_display, fl_xid(&picker), 0, NoEventMask, &event);
    XSync(fl_display, 0);
  });
  Form().Show();
  EXPECT_TRUE(script().done());
  EXPECT_FALSE(Form().Closed());
  EXPECT_EQ(gsCopyFolder, "kept");
}

TEST_F(FltkPickerTest, DoubleClicksOpenFoldersAndGoUpThenOkReturnsThePath) {
  script().When(Titled(kPicker), [](Fl_Window& picker) { DoubleClickLine(picker, "Data"); });
  script().When(At("C:\\Data"), [](Fl_Window& picker) {
    EXPECT_EQ(Lines(picker), (Strings{"..", "Sub"}));
    DoubleClickLine(picker, "Sub");
  });
  script().When(At("C:\\Data\\Sub"), [](Fl_Window& picker) {
    // lblCurrentDir, at 2460 twips, shows the folder.
    Fl_Widget* label = testing::FindWidget(
        picker, [](Fl_Widget& w) { return dynamic_cast<fltk::TextLabel*>(&w) && w.x() == 164; });
    EXPECT_EQ(static_cast<fltk::TextLabel*>(label)->text(), "C:\\Data\\Sub");
    DoubleClickLine(picker, "..");
  });
  script().When(At("C:\\Data"), [](Fl_Window& picker) {
    testing::MaybeSaveScreenshot(picker, "picker", picker.w(), picker.h());
    testing::Click(*FindLabelled(picker, "OK"));
  });
  Form().Show();
  EXPECT_TRUE(script().done());
  EXPECT_EQ(gsCopyFolder, "C:\\Data\\");
}

TEST_F(FltkPickerTest, CreateFolderThenTheSameNameAgainShowsInvalidFolderName) {
  auto type_alpha = [](Fl_Window& box) {
    EXPECT_STREQ(FindOf<Fl_Input>(box)->value(), "New Folder");
    EXPECT_EQ(FindOf<fltk::TextLabel>(box)->text(), "Enter the directory name to be created.");
    Keys(box, {"type", "Alpha"});  // replaces the selected default
    Keys(box, {"key", "Return"});
  };
  const Strings with_alpha = {"Alpha", "Data", "Program Files", "Windows"};
  // Tab moves the focus from the folder list to Create Folder, and Enter
  // then presses that button rather than the default one.
  script().When(Titled(kPicker), [](Fl_Window& picker) { Keys(picker, {"key", "Tab", "Return"}); });
  script().When(Titled("Create Directory"), type_alpha);
  script().When(Titled(kPicker, [] { return Form().DirEntries().size() == 4; }),
                [&](Fl_Window& picker) {
                  EXPECT_EQ(Lines(picker), with_alpha);
                  testing::Click(*FindLabelled(picker, "Create Folder"));
                });
  script().When(Titled("Create Directory"), type_alpha);
  script().When(Titled("Error"), [](Fl_Window& box) {
    EXPECT_EQ(FindOf<fltk::TextLabel>(box)->text(), "Invalid folder name");
    Keys(box, {"key", "Return"});
  });
  script().When(Titled(kPicker, [] { return Titled("Error")() == nullptr; }),
                [&](Fl_Window& picker) {
                  EXPECT_EQ(Lines(picker), with_alpha);
                  Keys(picker, {"key", "Escape"});
                });
  Form().Show();
  EXPECT_TRUE(script().done());
  EXPECT_EQ(gsCopyFolder, "");
  EXPECT_TRUE(m_.Exists("C:\\Alpha"));
}

}  // namespace
}  // namespace qv
