#pragma once

#include <string>
#include <string_view>

#include "app/form/layout.h"

namespace kivo {

// What the form asks of a front end: each view maps these calls onto its toolkit's controls,
// built from FormLayout(). Texts are UTF-8, sizes in twips. Calls come on the window's thread.
class FormView {
 public:
  virtual ~FormView() = default;

  // The whole text or caption as shown, also of a hidden or disabled control; the lines of
  // the status box are separated by CR LF.
  virtual std::string controlText(Control control) const = 0;
  // Replaces the whole text or caption at once. A caption shows every character as itself:
  // a toolkit that reads '&' as a shortcut marker must escape it (EscapeCaption).
  virtual void setControlText(Control control, std::string_view text) = 0;
  // A hidden control keeps its text.
  virtual void setControlVisible(Control control, bool visible) = 0;
  // A disabled control takes no input and no focus.
  virtual void setControlEnabled(Control control, bool enabled) = 0;
  virtual void setControlWidth(Control control, int twips) = 0;
  virtual void setControlBackground(Control control, Rgb colour) = 0;

  // Selects an option button and deselects the other of its group, without calling the
  // form's click handler: the form does that itself.
  virtual void selectOption(Control option) = 0;
  virtual bool optionSelected(Control option) const = 0;

  // Puts the caret after the last character of a text box, scrolls it into view and repaints
  // the box before returning, although the thread stays busy in a click handler.
  virtual void showTextEnd(Control box) = 0;

  // A modal box with the text, an OK button only and no icon; returns once it is closed. The
  // text may be a server's message: it shows as it is, never read as markup.
  virtual void messageBox(std::string_view text) = 0;
  // The wait pointer over the whole application while busy; false restores the arrow.
  virtual void setBusyPointer(bool busy) = 0;
  // Closes the window; the program ends with it.
  virtual void unload() = 0;
};

}  // namespace kivo
