// The folder picker dialog on Windows, driving the control's own picker form
// on the Windows platform: the directory list shows the current folder's
// folders, a double click opens one, and OK, Cancel or the close box leave
// the choice in gsCopyFolder.
#include "platform/win32/win32_folder_picker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogs/frmPickDir.h"
#include "platform/platform.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_ui.h"
#include "platform/win32/win32_wide_text.h"
#include "state/module_state.h"
#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

// What the driver does once the dialog is up: open a line of the directory
// list (none when empty), then press a button or the close box (-1).
struct PickerDriver {
  std::wstring open;
  int finish = IDOK;
  std::vector<std::wstring> lines;  // the list as first shown
  bool done = false;
};
PickerDriver* g_picker = nullptr;

std::vector<std::wstring> ListLines(HWND list) {
  std::vector<std::wstring> lines;
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::vector<wchar_t> text(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1);
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    lines.emplace_back(text.data());
  }
  return lines;
}

void CALLBACK DrivePicker(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", L"Pick directory");
  if (dialog == nullptr || g_picker->done) return;
  g_picker->done = true;
  KillTimer(nullptr, timer);
  HWND list = GetDlgItem(dialog, kPickerDirListId);
  g_picker->lines = ListLines(list);
  if (!g_picker->open.empty()) {
    const LRESULT line = SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(g_picker->open.c_str()));
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(line), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kPickerDirListId, LBN_DBLCLK),
                 reinterpret_cast<LPARAM>(list));
  }
  if (g_picker->finish < 0) {
    PostMessageW(dialog, WM_CLOSE, 0, 0);
  } else {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(g_picker->finish, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, g_picker->finish)));
  }
}

TEST(Win32FolderPickerTest, LeavesTheChoiceInTheCopyFolder) {
  ScratchFolder folder;
  folder.Write("a file", "");
  Win32Services services;
  Win32UserInterface ui;
  Platform platform;
  FillPlatform(&services, &platform);
  platform.ui = &ui;
  ScopedPlatform scope(&platform);
  ASSERT_TRUE(services.files.CreateDirectory(folder / "alpha").ok());
  ASSERT_TRUE(services.files.CreateDirectory(folder / "beta").ok());
  std::string start;
  ASSERT_TRUE(services.files.GetLongPathName(folder.path(), &start).ok());
  SetCurrentDirectoryW(Utf8ToWide(start).c_str());
  const std::string parent = start.substr(0, start.find_last_of('\\'));

  struct Case {
    std::wstring open;
    int finish;
    std::string copy_folder;
  } cases[] = {
      {L"beta", IDOK, start + "\\beta\\"},
      {L"..", IDOK, parent + "\\"},
      {L"", IDOK, start + "\\"},
      {L"alpha", IDCANCEL, ""},
      {L"alpha", -1, "before"},  // the close box leaves it as it was
  };
  for (const Case& c : cases) {
    gsCopyFolder = "before";
    PickerDriver driver{c.open, c.finish, {}, false};
    g_picker = &driver;
    SetTimer(nullptr, 0, 20, &DrivePicker);
    frmPickDir::Instance().Show();
    EXPECT_TRUE(driver.done);
    EXPECT_EQ(driver.lines, (std::vector<std::wstring>{L"..", L"alpha", L"beta"}));
    EXPECT_EQ(gsCopyFolder, c.copy_folder) << WideToUtf8(c.open);
  }
  SetCurrentDirectoryW(L"C:\\");
}

}  // namespace
}  // namespace qv::win32
