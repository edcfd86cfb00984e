#include "app/win32/main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "app/win32/control_ids.h"
#include "base/utf8.h"

namespace kivo::win32 {
namespace {

constexpr wchar_t kClassName[] = L"KivoForm1";

std::wstring Wide(std::string_view utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(std::max(length, 0)));
  return text;
}

COLORREF Colour(Rgb rgb) {
  return RGB(static_cast<BYTE>(rgb.red), static_cast<BYTE>(rgb.green), static_cast<BYTE>(rgb.blue));
}

// Calls that Windows 10 added, looked up so that the program still starts on older servers.
template <typename Function>
Function User32(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  const FARPROC address = user32 ? GetProcAddress(user32, name) : nullptr;
  // Through the generic function type, which the compiler accepts as a cast target.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

UINT DpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = User32<GetDpiForWindowFn>("GetDpiForWindow");
  if (getDpiForWindow) return getDpiForWindow(window);
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

void AdjustForDpi(RECT& rect, DWORD style, DWORD exStyle, UINT dpi) {
  using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = User32<AdjustFn>("AdjustWindowRectExForDpi");
  if (adjustForDpi) {
    adjustForDpi(&rect, style, FALSE, exStyle, dpi);
  } else {
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  }
}

HFONT ArialFont(double points, UINT dpi) {
  // Rounded down, never up: text that fills its label at 96 dpi ("Web Directory") must still
  // fit the label's scaled width at 144 dpi, where 9.75 pt is 19.5 pixels.
  const int height = -static_cast<int>(std::floor(points * dpi / 72.0 + 1e-9));
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, L"Arial");
}

// A fixed thin frame with icon, caption and close box only.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = 0;

struct ClassAndStyle {
  const wchar_t* className;
  DWORD style;
  DWORD exStyle;
};

ClassAndStyle StyleOf(const ControlLayout& layout) {
  // Every control starts a group but Option2, which joins Option1's: arrows move between the
  // two options, and Tab reaches only the selected one.
  DWORD style = WS_CHILD | (layout.control == Control::Option2 ? 0 : WS_GROUP);
  if (layout.visible) style |= WS_VISIBLE;
  if (!layout.enabled) style |= WS_DISABLED;
  switch (layout.kind) {
    case ControlKind::kStatusBox:
      return {L"EDIT",
              style | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
              WS_EX_CLIENTEDGE};
    case ControlKind::kTextBox:
      return {L"EDIT", style | WS_TABSTOP | ES_AUTOHSCROLL | (layout.masked ? ES_PASSWORD : 0),
              WS_EX_CLIENTEDGE};
    case ControlKind::kLabel:
      // One line each: "Web Directory" is a pixel wider than its label and must not wrap away.
      return {L"STATIC", style | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0};
    case ControlKind::kOption:
      return {L"BUTTON", style | WS_TABSTOP | BS_AUTORADIOBUTTON, 0};
    case ControlKind::kButton:
      return {L"BUTTON", style | WS_TABSTOP | BS_PUSHBUTTON, 0};
    case ControlKind::kLine:
      break;
  }
  return {nullptr, 0, 0};
}

// A multi-line edit asks the dialog manager for every key, Tab too, so the focus would never
// leave the status box once a run has enabled it: Tab, with Shift or Ctrl or neither, moves on
// from it as from the other controls, and types no tab character into the log.
LRESULT CALLBACK StatusBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                               DWORD_PTR) {
  if (message == WM_NCDESTROY) RemoveWindowSubclass(box, &StatusBoxProc, id);
  LRESULT result = DefSubclassProc(box, message, wParam, lParam);
  const auto* key = reinterpret_cast<const MSG*>(lParam);
  if (message == WM_GETDLGCODE && key && key->message == WM_KEYDOWN && key->wParam == VK_TAB) {
    result &= ~(DLGC_WANTTAB | DLGC_WANTALLKEYS);
  }
  return result;
}

}  // namespace

Form1::Form1(HINSTANCE instance, RunEnvironment environment, NameLookup names)
    : form_(*this, std::move(environment), std::move(names)), instance_(instance) {
  for (const ControlLayout& layout : FormLayout()) {
    widths_[static_cast<std::size_t>(layout.control)] = layout.width;
  }
  backgrounds_[static_cast<std::size_t>(Control::StatusBox)] = Colour(kStatusBoxCreatedBackground);
  formBrush_ = GetSysColorBrush(COLOR_BTNFACE);
  // The controls of common controls 6, which the manifest asks for.
  INITCOMMONCONTROLSEX commonControls{sizeof commonControls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&commonControls);

  const auto icon = static_cast<HICON>(
      LoadImageW(instance_, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Form1::WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = icon;
  windowClass.hIconSm =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, 16, 16, 0));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = formBrush_;
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);

  const std::wstring caption = Wide(kFormCaption);
  window_ = CreateWindowExW(kFormExStyle, kClassName, caption.c_str(), kFormStyle, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                            instance_, this);
  if (!window_) throw std::runtime_error("The window could not be created.");
  createControls();
  applyDpi(DpiOf(window_), nullptr);
}

Form1::~Form1() {
  if (window_) DestroyWindow(window_);
  for (HBRUSH brush : backgroundBrushes_) {
    if (brush) DeleteObject(brush);
  }
  if (textFont_) DeleteObject(textFont_);
  if (noticeFont_) DeleteObject(noticeFont_);
}

void Form1::createControls() {
  // Windows' Tab and screen readers follow the order of creation.
  for (const Control which : TabOrder()) {
    const ControlLayout* layout = &LayoutOf(which);
    const ClassAndStyle kind = StyleOf(*layout);
    const std::wstring text =
        Wide(ReadsShortcuts(which) ? EscapeCaption(layout->text) : std::string(layout->text));
    const HWND child =
        CreateWindowExW(kind.exStyle, kind.className, text.c_str(), kind.style, 0, 0, 0, 0, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(layout->control))),
                        instance_, nullptr);
    if (!child) throw std::runtime_error("A control of the window could not be created.");
    controls_[static_cast<std::size_t>(layout->control)] = child;
    if (layout->kind == ControlKind::kStatusBox || layout->kind == ControlKind::kTextBox) {
      // No length limit: 0 asks for the largest the control can hold.
      SendMessageW(child, EM_SETLIMITTEXT, 0, 0);
    }
    if (layout->kind == ControlKind::kStatusBox) SetWindowSubclass(child, &StatusBoxProc, 0, 0);
    // Common controls 6 draw a bullet unless told otherwise.
    if (layout->masked) SendMessageW(child, EM_SETPASSWORDCHAR, L'*', 0);
  }
}

int Form1::pixels(int twips) const { return TwipsToPixels(twips, static_cast<int>(dpi_)); }

void Form1::place(Control which) {
  const HWND child = control(which);
  if (!child) return;
  const ControlLayout& layout = LayoutOf(which);
  SetWindowPos(child, nullptr, pixels(layout.left), pixels(layout.top),
               pixels(widths_[static_cast<std::size_t>(which)]), pixels(layout.height),
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form1::applyDpi(UINT dpi, const RECT* suggested) {
  dpi_ = dpi;
  const HFONT oldText = std::exchange(textFont_, ArialFont(9.75, dpi));
  const HFONT oldNotice = std::exchange(noticeFont_, ArialFont(9, dpi));
  for (const ControlLayout& layout : FormLayout()) {
    const HWND child = control(layout.control);
    if (!child) continue;
    // Zero keeps the window's default font.
    if (layout.fontPoints > 0) {
      const HFONT font = layout.fontPoints < 9.5 ? noticeFont_ : textFont_;
      SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    place(layout.control);
  }
  if (oldText) DeleteObject(oldText);
  if (oldNotice) DeleteObject(oldNotice);

  RECT frame{0, 0, pixels(kFormWidthTwips), pixels(kFormHeightTwips)};
  AdjustForDpi(frame, kFormStyle, kFormExStyle, dpi);
  if (suggested) {
    SetWindowPos(window_, nullptr, suggested->left, suggested->top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }
  InvalidateRect(window_, nullptr, TRUE);
}

int Form1::run(int showCommand) {
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  SetFocus(control(kFirstFocus));
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (clickFocusedButton(message)) continue;
    // Tab, the arrows between the options, and Space on buttons, as in a dialog.
    if (window_ && IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

bool Form1::clickFocusedButton(const MSG& message) {
  if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN) return false;
  const std::optional<Control> focused = controlOf(message.hwnd);
  if (!focused || LayoutOf(*focused).kind != ControlKind::kButton) return false;
  SendMessageW(message.hwnd, BM_CLICK, 0, 0);
  return true;
}

std::optional<Control> Form1::controlOf(HWND child) const {
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    if (child && controls_[i] == child) return static_cast<Control>(i);
  }
  return std::nullopt;
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* self = static_cast<Form1*>(create->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  return self->handle(window, message, wParam, lParam);
}

LRESULT Form1::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      onCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      if (HBRUSH brush = colours(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam))) {
        return reinterpret_cast<LRESULT>(brush);
      }
      break;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      const HDC dc = BeginPaint(window_, &paint);
      paintLines(dc);
      EndPaint(window_, &paint);
      return 0;
    }
    case WM_SETCURSOR:
      // The wait pointer over the whole window while the run works, children included.
      if (busy_) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_ACTIVATE:
      // Give the focus back to the control that had it, as a dialog does.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(window_, focus)) lastFocus_ = focus;
        return 0;
      }
      if (lastFocus_ && IsWindowVisible(lastFocus_) && IsWindowEnabled(lastFocus_)) {
        SetFocus(lastFocus_);
        return 0;
      }
      break;
    case 0x02E0: {  // WM_DPICHANGED, the window moved to a monitor of another DPI
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      applyDpi(HIWORD(wParam), suggested);
      return 0;
    }
    case WM_DESTROY:
      window_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  // The window's own handle: window_ is already cleared for the messages after WM_DESTROY.
  return DefWindowProcW(window, message, wParam, lParam);
}

void Form1::onCommand(int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == ControlId(Control::Command1)) {
    form_.Command1_Click();
  } else if (id == ControlId(Control::Command2)) {
    form_.Command2_Click();
  } else if (id == ControlId(Control::Option1) || id == ControlId(Control::Option2)) {
    const Control option = id == ControlId(Control::Option1) ? Control::Option1 : Control::Option2;
    if (!optionSelected(option)) return;
    // Only the selected option is a tab stop, as in Windows' own dialogs.
    selectOption(option);
    if (option == Control::Option1) {
      form_.Option1_Click();
    } else {
      form_.Option2_Click();
    }
  }
}

HBRUSH Form1::colours(HWND child, HDC dc) {
  const std::optional<Control> which = controlOf(child);
  if (!which) return nullptr;
  const std::size_t index = static_cast<std::size_t>(*which);
  const ControlLayout& layout = LayoutOf(*which);
  SetTextColor(dc, Colour(layout.colour));
  if (const std::optional<COLORREF> background = backgrounds_[index]) {
    // Also while disabled, when Windows would otherwise paint the box grey.
    if (!backgroundBrushes_[index]) backgroundBrushes_[index] = CreateSolidBrush(*background);
    SetBkColor(dc, *background);
    return backgroundBrushes_[index];
  }
  if (layout.kind != ControlKind::kLabel && layout.kind != ControlKind::kOption) return nullptr;
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return formBrush_;
}

void Form1::paintLines(HDC dc) const {
  // One pixel at 96 dpi; thicker in proportion on denser screens.
  const int thickness = std::max(1, pixels(15));
  for (const ControlLayout& layout : FormLayout()) {
    if (layout.kind != ControlKind::kLine) continue;
    const RECT line{pixels(layout.left), pixels(layout.top), pixels(layout.left + layout.width),
                    pixels(layout.top) + thickness};
    const HBRUSH brush = CreateSolidBrush(Colour(layout.colour));
    FillRect(dc, &line, brush);
    DeleteObject(brush);
  }
}

std::string Form1::controlText(Control which) const {
  const HWND child = control(which);
  if (!child) return {};
  const std::string text = Narrow(WindowText(child));
  return ReadsShortcuts(which) ? UnescapeCaption(text) : text;
}

void Form1::setControlText(Control which, std::string_view text) {
  const HWND child = control(which);
  if (!child) return;
  const std::wstring wide = Wide(ReadsShortcuts(which) ? EscapeCaption(text) : std::string(text));
  SetWindowTextW(child, wide.c_str());
}

void Form1::setControlVisible(Control which, bool visible) {
  if (const HWND child = control(which)) ShowWindow(child, visible ? SW_SHOWNA : SW_HIDE);
}

void Form1::setControlEnabled(Control which, bool enabled) {
  if (const HWND child = control(which)) EnableWindow(child, enabled ? TRUE : FALSE);
}

void Form1::setControlWidth(Control which, int twips) {
  widths_[static_cast<std::size_t>(which)] = twips;
  place(which);
}

void Form1::setControlBackground(Control which, Rgb colour) {
  const std::size_t index = static_cast<std::size_t>(which);
  backgrounds_[index] = Colour(colour);
  if (const HBRUSH old = std::exchange(backgroundBrushes_[index], nullptr)) DeleteObject(old);
  if (const HWND child = control(which)) InvalidateRect(child, nullptr, TRUE);
}

void Form1::selectOption(Control option) {
  for (Control each : {Control::Option1, Control::Option2}) {
    const HWND button = control(each);
    const bool selected = each == option;
    SendMessageW(button, BM_SETCHECK, selected ? BST_CHECKED : BST_UNCHECKED, 0);
    const LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    SetWindowLongPtrW(button, GWL_STYLE, selected ? style | WS_TABSTOP : style & ~WS_TABSTOP);
  }
}

bool Form1::optionSelected(Control option) const {
  return SendMessageW(control(option), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Form1::showTextEnd(Control box) {
  const HWND child = control(box);
  const int length = GetWindowTextLengthW(child);
  SendMessageW(child, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(child, EM_SCROLLCARET, 0, 0);
  // The run keeps this thread busy, so the box must paint before the call returns.
  RedrawWindow(child, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
}

void Form1::messageBox(std::string_view text) {
  const std::wstring wide = Wide(text);
  const std::wstring title = Wide(kApplicationTitle);
  MessageBoxW(window_, wide.c_str(), title.c_str(), MB_OK);
}

void Form1::setBusyPointer(bool busy) {
  busy_ = busy;
  SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void Form1::unload() {
  if (window_) DestroyWindow(window_);
}

}  // namespace kivo::win32
