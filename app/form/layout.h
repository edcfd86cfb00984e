#pragma once

#include <optional>
#include <span>

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

}  // namespace kivo
