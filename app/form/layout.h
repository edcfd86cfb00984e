#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The window's layout, written once for every front end: positions and sizes in twips (15 make
// a pixel at 96 dpi), measured from the top-left corner of the client area.
namespace kivo {

// The controls by their designer names, which front ends also use as object names.
enum class Control {
  StatusBox,
  ServerName,
  SQLSrvLabel,
  Text1,
  Label3,
  WebDirbox,
  Label4,
  Client,
  Label9,
  Option1,
  Option2,
  Command1,
  Label1,
  saname,
  Label2,
  pwd,
  Command2,
  Label5,
  Line1,
  Line4,
  Line2,
  Line3,
};

// The size of every table kept per control; FormLayout() has exactly this many entries.
inline constexpr std::size_t kControlCount = static_cast<std::size_t>(Control::Line3) + 1;

enum class ControlKind { kStatusBox, kTextBox, kLabel, kOption, kButton, kLine };

struct Rgb {
  int red;
  int green;
  int blue;
  friend bool operator==(Rgb, Rgb) = default;
};

struct ControlLayout {
  Control control;
  const char* name;
  ControlKind kind;
  const char* text;  // initial text or caption, UTF-8
  int left;
  int top;
  int width;
  int height;
  int tabIndex;  // -1: not a tab stop
  bool visible;
  bool enabled;
  double fontPoints;  // Arial at this size; 0 keeps the window's default font
  Rgb colour;         // text colour, or the colour of a line
  bool masked;        // a password box: every character shown as '*'
};

inline constexpr const char* kFormCaption = "KIVO_DBUpdate_May_07_2018";
// The title of the message boxes.
inline constexpr const char* kApplicationTitle = "Kivo DB Update";
inline constexpr int kFormWidthTwips = 6765;
inline constexpr int kFormHeightTwips = 5070;
inline constexpr Control kFirstFocus = Control::Command1;
inline constexpr Rgb kStatusBoxCreatedBackground{255, 255, 255};
inline constexpr Rgb kStatusBoxLoadedBackground{240, 240, 240};

// Every control in creation order, which is also the order in which they are stacked.
std::span<const ControlLayout> FormLayout();

// The entry of one control.
const ControlLayout& LayoutOf(Control control);

// The label that names a text box for screen readers, if it has one.
std::optional<Control> LabelOf(Control box);

// Every control but the lines, by tab index, each label that names a text box just before it:
// Win32 creates the controls in this order, which Tab and screen readers follow; Qt chains the
// focus through those that take it in the same order.
std::span<const Control> TabOrder();

// The DPI at which 15 twips make a pixel.
inline constexpr int kStandardDpi = 96;

// Rounded to the nearest pixel, halves away from zero, as Windows' MulDiv rounds.
constexpr int TwipsToPixels(int twips, int dpi) {
  const long long scaled = static_cast<long long>(twips) * dpi;
  return static_cast<int>(scaled < 0 ? -((720 - scaled) / 1440) : (scaled + 720) / 1440);
}

// Option and command buttons read '&' as the marker of a shortcut key in both toolkits; the
// form's captions mean every character as itself, so a view doubles it on the way in and
// halves "&&" on the way out.
bool ReadsShortcuts(Control control);
std::string EscapeCaption(std::string_view caption);
std::string UnescapeCaption(std::string_view shown);

}  // namespace kivo
