// The Windows user interface: the panel's child windows carry the model's
// captions and places after a repaint; message boxes and the input box give
// back what a driver, run by a thread timer inside their modal loop, answers.
#include "platform/win32/win32_ui.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/win32_ui_input_box.h"
#include "platform/win32/win32_wide_text.h"

namespace qv::win32 {
namespace {

std::wstring TextOf(HWND window) {
  std::vector<wchar_t> text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1);
  GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  return text.data();
}

// A child's rectangle in its parent's client coordinates.
RECT PlaceIn(HWND parent, HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

TEST(Win32UiTest, PanelChildrenFollowTheModel) {
  HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 600, 200,
                              nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(host, nullptr);
  Win32UserInterface ui;
  int shows = 0;
  ui.SetShowHandler([&shows] { ++shows; });
  ASSERT_TRUE(ui.AttachPanel(host, 10, 20));
  Panel panel;
  panel.lblMessage.caption = "Copying files";
  panel.frameStatus.caption = "Status";
  panel.lblBytes.caption = "10 of 20 bytes";
  panel.prgCurrent.width = 2167.5f;  // 144.5 pixels: 145
  panel.prgTotal.width = 0;          // hidden
  ui.ShowPanel(panel);
  ui.Repaint(panel);
  EXPECT_EQ(shows, 1);
  HWND view = ui.panel_window();
  ASSERT_EQ(GetParent(view), host);
  const RECT outer = PlaceIn(host, view);
  EXPECT_EQ(outer.left, 10);
  EXPECT_EQ(outer.right - outer.left, 488);
  EXPECT_EQ(outer.bottom - outer.top, 86);

  struct Case {
    std::wstring caption;
    int left, top, width, height;  // width or height -1: sized to the text
  } cases[] = {
      {L"Copying files", 0, 4, -1, -1},
      {L"Status", 0, 20, 489, 65},
      {L"Current:", 4, 40, -1, -1},
      {L"10 of 20 bytes", 348, 40, 119, 13},
      {L"Total:", 4, 64, -1, -1},
      {L"", 56, 40, 145, 13},  // prgCurrent; prgTotal is hidden
  };
  std::vector<HWND> children = Children(view);
  for (const Case& c : cases) {
    int found = 0;
    for (HWND child : children) {
      const bool visible = (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) != 0;
      if (TextOf(child) != c.caption || !visible) continue;
      ++found;
      const RECT rect = PlaceIn(view, child);
      EXPECT_EQ(rect.left, c.left) << WideToUtf8(c.caption);
      EXPECT_EQ(rect.top, c.top) << WideToUtf8(c.caption);
      const int width = rect.right - rect.left;
      EXPECT_EQ(c.width < 0 ? (width > 0 ? -1 : 0) : width, c.width) << WideToUtf8(c.caption);
      if (c.height >= 0) {
        EXPECT_EQ(rect.bottom - rect.top, c.height) << WideToUtf8(c.caption);
      }
    }
    EXPECT_EQ(found, 1) << WideToUtf8(c.caption);
  }
  ui.DetachPanel();
  EXPECT_EQ(ui.panel_window(), nullptr);
  DestroyWindow(host);
}

// What the timer driver does to the first dialog with the given caption.
struct Driver {
  std::wstring caption;
  int edit_id = 0;            // 0: type nothing
  std::wstring typed;
  int button = IDOK;
  std::wstring seen_text;     // the message box's text, read before answering
  bool done = false;
};
Driver* g_driver = nullptr;

void CALLBACK DriveDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = FindWindowW(L"#32770", g_driver->caption.c_str());
  if (box == nullptr || g_driver->done) return;
  g_driver->done = true;
  KillTimer(nullptr, timer);
  if (HWND text = GetDlgItem(box, 0xFFFF); text != nullptr) g_driver->seen_text = TextOf(text);
  if (g_driver->edit_id != 0) {
    SendMessageW(GetDlgItem(box, g_driver->edit_id), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(g_driver->typed.c_str()));
  }
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(g_driver->button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, g_driver->button)));
}

void StartDriver(Driver& driver) {
  g_driver = &driver;
  SetTimer(nullptr, 0, 20, &DriveDialog);
}

TEST(Win32UiTest, MessageBoxGivesTheButtonPressed) {
  struct Case {
    int style;
    int button;
    int answer;
  } cases[] = {
      {kMbYesNo | kMbIconExclamation, IDYES, kIdYes},
      {kMbYesNo | kMbIconExclamation, IDNO, kIdNo},
      {kMbOk | kMbIconCritical, IDOK, kIdOk},
  };
  Win32UserInterface ui;
  for (const Case& c : cases) {
    Driver driver{L"Question", 0, L"", c.button, L"", false};
    StartDriver(driver);
    EXPECT_EQ(ui.MessageBox("line one\rline two", c.style, "Question"), c.answer) << c.button;
    EXPECT_TRUE(driver.done);
    EXPECT_EQ(driver.seen_text, L"line one\r\nline two");
  }
}

TEST(Win32UiTest, InputBoxGivesTheTextTypedOrNothing) {
  struct Case {
    std::wstring typed;  // L"-": nothing typed
    int button;
    std::string result;
  } cases[] = {
      {L"C:\\Program Files\\Target", IDOK, "C:\\Program Files\\Target"},
      {L"Gr\u00fc\u00dfe", IDOK, "Gr\xc3\xbc\xc3\x9f" "e"},
      {L"-", IDOK, "the default"},
      {L"typed", IDCANCEL, ""},
  };
  Win32UserInterface ui;
  for (const Case& c : cases) {
    Driver driver{L"Folder", c.typed == L"-" ? 0 : kInputEditId, c.typed, c.button, L"", false};
    StartDriver(driver);
    EXPECT_EQ(ui.InputBox("Where to?", "Folder", "the default"), c.result) << c.button;
    EXPECT_TRUE(driver.done);
  }
}

}  // namespace
}  // namespace qv::win32
