#pragma once

#include <windows.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "app/form/form_view.h"
#include "app/form/main_form.h"

namespace kivo::win32 {

// The program's one window in plain Win32: the controls of FormLayout() as child windows with
// the IDs of control_ids.h, over the toolkit-free form that holds the window's logic. Sizes
// follow the DPI of the monitor the window is on.
class Form1 final : private FormView {
 public:
  // Creates the window and its controls, hidden. Throws std::runtime_error when Windows
  // refuses to.
  Form1(HINSTANCE instance, RunEnvironment environment, NameLookup names = {});
  ~Form1() override;
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // The window's logic, also the host of the upgrade run.
  MainForm& form() { return form_; }

  // Shows the window with the focus on its first control, then dispatches messages until the
  // window is closed. Returns the program's exit status.
  int run(int showCommand);

 private:
  // FormView
  std::string controlText(Control control) const override;
  void setControlText(Control control, std::string_view text) override;
  void setControlVisible(Control control, bool visible) override;
  void setControlEnabled(Control control, bool enabled) override;
  void setControlWidth(Control control, int twips) override;
  void setControlBackground(Control control, Rgb colour) override;
  void selectOption(Control option) override;
  bool optionSelected(Control option) const override;
  void showTextEnd(Control box) override;
  void messageBox(std::string_view text) override;
  void setBusyPointer(bool busy) override;
  void unload() override;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  void createControls();
  // Sizes the window, the fonts and every control for the current DPI.
  void applyDpi(UINT dpi, const RECT* suggested);
  void place(Control control);
  int pixels(int twips) const;
  HWND control(Control control) const { return controls_[static_cast<std::size_t>(control)]; }
  std::optional<Control> controlOf(HWND child) const;
  void onCommand(int id, int code);
  // The colours of a text box or a label; null to leave them to Windows.
  HBRUSH colours(HWND child, HDC dc);
  void paintLines(HDC dc) const;
  // Enter on a focused command button clicks it, as in Windows' own dialogs; true when the
  // message was taken.
  bool clickFocusedButton(const MSG& message);

  MainForm form_;
  HINSTANCE instance_;
  HWND window_ = nullptr;
  UINT dpi_ = 96;
  HFONT textFont_ = nullptr;    // Arial 9.75 pt
  HFONT noticeFont_ = nullptr;  // Arial 9 pt
  HBRUSH formBrush_ = nullptr;
  HWND lastFocus_ = nullptr;  // given back when the window is activated again
  bool busy_ = false;
  std::array<HWND, kControlCount> controls_{};
  std::array<int, kControlCount> widths_{};  // twips; the run changes the status box's
  std::array<std::optional<COLORREF>, kControlCount> backgrounds_{};
  std::array<HBRUSH, kControlCount> backgroundBrushes_{};
};

}  // namespace kivo::win32
