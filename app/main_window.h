#pragma once

#include <QString>
#include <QWidget>
#include <string>
#include <string_view>

#include "system/machine_names.h"
#include "upgrade/run_host.h"
#include "upgrade/upgrade_run.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

class Dialogs;

// The program's one window: the inputs of the upgrade run, the status log and the two
// buttons. Controls carry their designer names as object names.
class Form1 : public QWidget, public kivo::RunHost {
  Q_OBJECT

 public:
  // The window only keeps references to `dialogs`, which must outlive it.
  Form1(kivo::RunEnvironment environment, Dialogs& dialogs, kivo::NameLookup names = {},
        QWidget* parent = nullptr);
  ~Form1() override;

  // Start-up, to be called once before the window is first shown. An error of the
  // computer-name look-up is not handled here and leaves the window unusable.
  void Form_Load();

  // The status log as the run reads it, lines separated by CR LF.
  QString statusText() const;

  // kivo::RunHost
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
  void Option1_Click();
  void Option2_Click();
  void Command1_Click();
  void Command2_Click();

  // Appends the message and CR LF and shows the new line at once, even while a click
  // handler keeps the thread busy.
  void AddStatus(const QString& message);
  void setStatusText(const QString& text);

  kivo::RunEnvironment environment_;
  Dialogs& dialogs_;
  kivo::NameLookup names_;
  QString computerName_;
  QString logonUserName_;

  QPlainTextEdit* StatusBox;
  QLineEdit* ServerName;
  QLabel* SQLSrvLabel;
  QLineEdit* Text1;
  QLabel* Label3;
  QLineEdit* WebDirbox;
  QLabel* Label4;
  QLineEdit* Client;
  QLabel* Label9;
  QRadioButton* Option1;
  QRadioButton* Option2;
  QPushButton* Command1;
  QLabel* Label1;
  QLineEdit* saname;
  QLabel* Label2;
  QLineEdit* pwd;
  QPushButton* Command2;
  QLabel* Label5;
};
