// The input box: a modal dialog with a prompt, an edit field holding the
// default text (selected), OK and Cancel. OK gives the text typed; Cancel,
// Escape and the close box give "".
//
// Its controls have fixed ids so that a program driving the box finds them:
// kInputPromptId (the prompt), kInputEditId (the edit field), IDOK, IDCANCEL.
//
// Text: UTF-8.
#ifndef QV_PLATFORM_WIN32_WIN32_UI_INPUT_BOX_H_
#define QV_PLATFORM_WIN32_WIN32_UI_INPUT_BOX_H_

#include <string>

#include "platform/win32/windows_api.h"

namespace qv::win32 {

constexpr int kInputPromptId = 100;
constexpr int kInputEditId = 101;

std::string RunInputBox(HWND owner, const std::string& prompt, const std::string& title,
                        const std::string& default_text);

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_UI_INPUT_BOX_H_
