#include "app/form/main_form.h"

#include <exception>
#include <utility>

#include "system/environment.h"

namespace kivo {

MainForm::MainForm(FormView& view, RunEnvironment environment, NameLookup names)
    : view_(view), environment_(std::move(environment)), names_(std::move(names)) {}

void MainForm::Form_Load() {
  view_.setControlBackground(Control::StatusBox, kStatusBoxLoadedBackground);
  computerName_ = names_.computerName();
  logonUserName_ = EnvironmentVariable("USERNAME").value_or("");
  if (logonUserName_.empty()) {
    try {
      logonUserName_ = names_.logonUserName();
    } catch (const std::exception&) {
      logonUserName_.clear();
    }
  }
  view_.setControlText(Control::ServerName, computerName_);
  // Selecting from code counts as the user's click.
  view_.selectOption(Control::Option1);
  Option1_Click();
  view_.setControlText(Control::Option1,
                       view_.controlText(Control::Option1) + " (" + logonUserName_ + ")");
}

void MainForm::SetSqlLoginVisible(bool visible) {
  for (Control control : {Control::Label1, Control::Label2, Control::saname, Control::pwd}) {
    view_.setControlVisible(control, visible);
  }
}

void MainForm::Option1_Click() { SetSqlLoginVisible(false); }

void MainForm::Option2_Click() { SetSqlLoginVisible(true); }

void MainForm::Command1_Click() {
  // The run reports its own failures; anything that still escapes it must not cross the
  // toolkit's event loop.
  try {
    RunUpgrade(*this, environment_);
  } catch (const Error& error) {
    setBusy(false);
    view_.messageBox(UnhandledErrorText(error));
  } catch (const std::exception& error) {
    setBusy(false);
    view_.messageBox(error.what());
  }
}

void MainForm::Command2_Click() { view_.unload(); }

void MainForm::AddStatus(std::string_view message) {
  std::string text = view_.controlText(Control::StatusBox);
  text.append(message).append("\r\n");
  view_.setControlText(Control::StatusBox, text);
  view_.showTextEnd(Control::StatusBox);
}

std::string MainForm::clientCode() { return view_.controlText(Control::Client); }
std::string MainForm::dataDirectory() { return view_.controlText(Control::Text1); }
std::string MainForm::webDirectory() { return view_.controlText(Control::WebDirbox); }
bool MainForm::sqlLoginSelected() { return view_.optionSelected(Control::Option2); }
std::string MainForm::sqlLogin() { return view_.controlText(Control::saname); }
std::string MainForm::sqlPassword() { return view_.controlText(Control::pwd); }
void MainForm::addStatus(std::string_view message) { AddStatus(message); }
void MainForm::showMessage(std::string_view text) { view_.messageBox(text); }
void MainForm::setBusy(bool busy) { view_.setBusyPointer(busy); }

void MainForm::prepareStatusBox(int widthTwips) {
  view_.setControlWidth(Control::StatusBox, widthTwips);
  view_.setControlEnabled(Control::StatusBox, true);
}

void MainForm::enableExit() { view_.setControlEnabled(Control::Command2, true); }

std::string UnhandledErrorText(const Error& error) {
  return "Error " + std::to_string(error.number()) + ": " + error.description();
}

std::optional<std::string> LoadForm(MainForm& form) {
  try {
    form.Form_Load();
  } catch (const Error& error) {
    return UnhandledErrorText(error);
  }
  return std::nullopt;
}

}  // namespace kivo
