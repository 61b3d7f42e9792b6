// PanelView: the panel model as STATIC labels, a group box and filled bars.
#include "platform/win32/win32_panel.h"

#include <cmath>
#include <utility>

#include "platform/user_interface.h"
#include "platform/win32/win32_wide_text.h"

namespace qv::win32 {

namespace {

constexpr wchar_t kClassName[] = L"QvStatusPanel";
constexpr double kMaxPixels = 1000000;

// The module the view's code lives in (the library, or the program).
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// A caption on one line per model line, as a STATIC shows "\r\n".
std::wstring CaptionText(const std::string& caption) {
  std::string text;
  for (char c : WithNewlines(caption)) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return Utf8ToWide(text);
}

const wchar_t* ClassOf(const Widget& widget) {
  return widget.kind == WidgetKind::kFrame ? L"BUTTON" : L"STATIC";
}

DWORD StyleOf(const Widget& widget) {
  const DWORD base = WS_CHILD | WS_VISIBLE;
  switch (widget.kind) {
    case WidgetKind::kFrame:
      return base | BS_GROUPBOX;
    case WidgetKind::kShape:
      return base | SS_LEFT;
    case WidgetKind::kLabel:
      break;
  }
  // "&" is a plain character in the model's captions.
  return base | SS_LEFT | SS_NOPREFIX;
}

}  // namespace

int TwipsToPixels(double twips) {
  if (std::isnan(twips)) return 0;
  double pixels = std::floor(twips / 15 + 0.5);
  if (pixels > kMaxPixels) pixels = kMaxPixels;
  if (pixels < -kMaxPixels) pixels = -kMaxPixels;
  return static_cast<int>(pixels);
}

COLORREF OleColorToColorRef(uint32_t ole_color) {
  if ((ole_color & 0x80000000u) != 0) return GetSysColor(static_cast<int>(ole_color & 0xFFu));
  return static_cast<COLORREF>(ole_color & 0x00FFFFFFu);
}

PanelView::~PanelView() { Destroy(); }

bool PanelView::Create(HWND parent, int x, int y) {
  if (window_ != nullptr) {
    if (parent != nullptr && !own_top_level_) {
      SetParent(window_, parent);
      SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      return true;
    }
    Destroy();
  }
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = &PanelView::WindowProc;
  window_class.hInstance = ThisModule();
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
  window_class.lpszClassName = kClassName;
  RegisterClassExW(&window_class);  // fails harmlessly when registered already

  own_top_level_ = parent == nullptr;
  const DWORD style = own_top_level_ ? (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU)
                                     : (WS_CHILD | WS_CLIPSIBLINGS);
  RECT frame{0, 0, kWidth, kHeight};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  window_ = CreateWindowExW(0, kClassName, L"", style, x, y, frame.right - frame.left,
                            frame.bottom - frame.top, parent, nullptr, ThisModule(), this);
  if (window_ == nullptr) return false;
  SetModel(model_);
  return true;
}

void PanelView::Destroy() {
  if (window_ == nullptr) return;
  HWND window = std::exchange(window_, nullptr);
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
  children_.clear();
}

void PanelView::Show() {
  if (window_ != nullptr) ShowWindow(window_, SW_SHOW);
}

void PanelView::Paint() {
  if (window_ != nullptr) {
    RedrawWindow(window_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
}

void PanelView::SetModel(const Panel& panel) {
  model_ = panel;
  if (window_ == nullptr) return;
  const Widget& frame = model_.frameStatus;
  Place(model_.lblMessage, 0, 0);
  Place(frame, 0, 0);
  const int frame_x = TwipsToPixels(frame.rect.left);
  const int frame_y = TwipsToPixels(frame.rect.top);
  for (const Widget* child : {&model_.Label2, &model_.prgCurrent, &model_.lblBytes,
                              &model_.Label1, &model_.prgTotal}) {
    Place(*child, frame_x, frame_y);
  }
  InvalidateRect(window_, nullptr, TRUE);
}

HWND PanelView::Child(const Widget& widget) {
  auto found = children_.find(widget.name);
  if (found != children_.end()) return found->second;
  HWND child = CreateWindowExW(0, ClassOf(widget), L"", StyleOf(widget), 0, 0, 0, 0, window_,
                               nullptr, ThisModule(), nullptr);
  if (child != nullptr) children_[widget.name] = child;
  return child;
}

void PanelView::Place(const Widget& widget, int origin_x, int origin_y) {
  HWND child = Child(widget);
  if (child == nullptr) return;
  const std::wstring caption = CaptionText(widget.caption);
  SetWindowTextW(child, caption.c_str());
  HFONT font = Font(widget.font);
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

  const int left = origin_x + TwipsToPixels(widget.rect.left);
  const int top = origin_y + TwipsToPixels(widget.rect.top);
  int width = TwipsToPixels(widget.kind == WidgetKind::kShape ? widget.width : widget.rect.width);
  int height = TwipsToPixels(widget.rect.height);
  if (widget.auto_size) {
    HDC dc = GetDC(child);
    HGDIOBJ old = SelectObject(dc, font);
    RECT extent{0, 0, 0, 0};
    const std::wstring measured = caption.empty() ? L" " : caption;
    DrawTextW(dc, measured.c_str(), static_cast<int>(measured.size()), &extent,
              DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    width = caption.empty() ? 0 : extent.right - extent.left;
    height = extent.bottom - extent.top;
  }
  const bool visible = widget.kind != WidgetKind::kShape || width > 0;
  SetWindowPos(child, nullptr, left, top, width, height,
               SWP_NOZORDER | SWP_NOACTIVATE | (visible ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
  InvalidateRect(child, nullptr, TRUE);
}

HFONT PanelView::Font(const FontStyle& style) {
  const std::string key = style.name + (style.bold ? "|b|" : "|n|") + std::to_string(style.size_points);
  auto found = fonts_.find(key);
  if (found != fonts_.end()) return found->second.get();
  const int height = -static_cast<int>(std::lround(style.size_points * 96.0 / 72.0));
  HFONT font = CreateFontW(height, 0, 0, 0, style.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                           Utf8ToWide(style.name).c_str());
  fonts_.emplace(key, FontHandle(font));
  return font;
}

HBRUSH PanelView::Brush(COLORREF color) {
  auto found = brushes_.find(color);
  if (found != brushes_.end()) return found->second.get();
  HBRUSH brush = CreateSolidBrush(color);
  brushes_.emplace(color, BrushHandle(brush));
  return brush;
}

const Widget* PanelView::WidgetOf(HWND child) const {
  for (const Widget* widget : {&model_.lblMessage, &model_.frameStatus, &model_.Label2,
                               &model_.prgCurrent, &model_.lblBytes, &model_.Label1,
                               &model_.prgTotal}) {
    auto found = children_.find(widget->name);
    if (found != children_.end() && found->second == child) return widget;
  }
  return nullptr;
}

LRESULT CALLBACK PanelView::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* view = reinterpret_cast<PanelView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (view == nullptr || view->window_ != window) {
    return DefWindowProcW(window, message, wparam, lparam);
  }
  return view->Handle(message, wparam, lparam);
}

LRESULT PanelView::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ERASEBKGND: {
      RECT client;
      GetClientRect(window_, &client);
      FillRect(reinterpret_cast<HDC>(wparam), &client,
               Brush(OleColorToColorRef(model_.back_color)));
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      const Widget* widget = WidgetOf(reinterpret_cast<HWND>(lparam));
      if (widget == nullptr) break;
      auto* dc = reinterpret_cast<HDC>(wparam);
      const COLORREF back = OleColorToColorRef(
          widget->kind == WidgetKind::kShape ? widget->fill_color : widget->back_color);
      SetTextColor(dc, OleColorToColorRef(widget->fore_color));
      SetBkColor(dc, back);
      return reinterpret_cast<LRESULT>(Brush(back));
    }
    case WM_SETCURSOR:
      if (LOWORD(lparam) == HTCLIENT) {
        const int cursor = model_.mouse_pointer == kPointerHourglass ? 32514 : 32512;
        SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(cursor)));
        return TRUE;
      }
      break;
    case WM_SHOWWINDOW:
      if (wparam != 0 && on_show_) {
        auto handler = on_show_;  // the handler may replace itself
        handler();
      }
      break;
    case WM_CLOSE:
      if (own_top_level_) {
        ShowWindow(window_, SW_HIDE);
        return 0;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

}  // namespace qv::win32
