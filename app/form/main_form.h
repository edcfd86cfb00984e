#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/form/form_view.h"
#include "base/error.h"
#include "system/machine_names.h"
#include "upgrade/run_host.h"
#include "upgrade/upgrade_run.h"

namespace kivo {

// The program's one window without its toolkit: start-up, the logon switch, exit, the status
// log and the run's host. A front end builds its controls from FormLayout(), passes itself as
// the view, and calls the handlers below on the user's clicks.
class MainForm : public RunHost {
 public:
  // The form keeps a reference to `view`, which must outlive it; the constructor does not
  // call the view yet, so a view may construct its form before its controls.
  MainForm(FormView& view, RunEnvironment environment, NameLookup names = {});

  // Start-up, to be called once before the window is first shown. An error of the
  // computer-name look-up is not handled here and leaves the window unusable.
  void Form_Load();

  // Option1 became selected (by the user; start-up calls it itself).
  void Option1_Click();
  // Option2 became selected by the user.
  void Option2_Click();
  // The upgrade run, start to end, within the click.
  void Command1_Click();
  void Command2_Click();

  // RunHost
  std::string clientCode() override;
  std::string dataDirectory() override;
  std::string webDirectory() override;
  bool sqlLoginSelected() override;
  std::string sqlLogin() override;
  std::string sqlPassword() override;
  void addStatus(std::string_view message) override;
  void showMessage(std::string_view text) override;
  void setBusy(bool busy) override;
  void prepareStatusBox(int widthTwips) override;
  void enableExit() override;

 private:
  // Appends the message and CR LF and shows the new line at once.
  void AddStatus(std::string_view message);
  void SetSqlLoginVisible(bool visible);

  FormView& view_;
  RunEnvironment environment_;
  NameLookup names_;
  std::string computerName_;
  std::string logonUserName_;
};

// The text with which an error that nothing handled is reported: its number and description.
std::string UnhandledErrorText(const Error& error);

// Runs the form's start-up. An error that escapes it comes back as the text to report; the
// window must then never be shown, and the program is to exit with a non-zero status.
std::optional<std::string> LoadForm(MainForm& form);

}  // namespace kivo
