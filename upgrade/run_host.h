#pragma once

#include <string>
#include <string_view>

#include "upgrade/odbc/database_client.h"

namespace kivo {

// A statement of the run as it is sent: the batches' statements are numbered 1 to count; the
// others (history, transaction) have number 0.
struct StatementStep {
  int number = 0;
  int count = 0;
  std::string label;  // what it works on, as "CHXD.TPRICE.i13"
};

// What the upgrade run needs of the window that starts it. The window's form (MainForm, under
// both the Qt and the Win32 window), the command-line companion and the tests each implement
// it, so all of them drive the same run.
class RunHost {
 public:
  virtual ~RunHost() = default;

  // The input boxes, read when the run needs them. Text is UTF-8.
  virtual std::string clientCode() = 0;     // Client
  virtual std::string dataDirectory() = 0;  // Text1
  virtual std::string webDirectory() = 0;   // WebDirbox
  virtual bool sqlLoginSelected() = 0;      // Option2
  virtual std::string sqlLogin() = 0;       // saname
  virtual std::string sqlPassword() = 0;    // pwd

  // Appends one line to the status log; the host adds CR LF after the message and makes the
  // line visible before returning.
  virtual void addStatus(std::string_view message) = 0;

  // A modal message box with an OK button only; returns when the user has closed it.
  virtual void showMessage(std::string_view text) = 0;

  // The application-wide wait pointer while the run works; false restores the normal one.
  virtual void setBusy(bool busy) = 0;

  // Gives the status box its run-time width (in twips) and enables it.
  virtual void prepareStatusBox(int widthTwips) = 0;

  // Enables the Exit button.
  virtual void enableExit() = 0;

  // Each statement before it is sent and after it ended, for a progress display; the window
  // shows none.
  virtual void statementStarted(const StatementStep& step) { (void)step; }
  virtual void statementEnded(const StatementStep& step, const StatementOutcome& outcome) {
    (void)step;
    (void)outcome;
  }
};

}  // namespace kivo
