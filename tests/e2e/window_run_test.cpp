// One whole run from the real window, offscreen: typed into the boxes, clicked, and read back
// from the status box and the message boxes, once on the scripted client and once through
// the driver to the stand-in.
#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QtTest>
#include <memory>

#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "tests/support/fake_database_client.h"
#include "tests/support/kivo_schema.h"
#include "tests/support/standin_process.h"
#include "tests/support/web_directory.h"
#include "upgrade/batches/upgrade_batches.h"

namespace {

class RecordingDialogs : public Dialogs {
 public:
  void message(QWidget*, const QString& text) override { messages << text; }
  void setBusyPointer(bool busy) override { pointer << busy; }
  QStringList messages;
  QList<bool> pointer;
};

kivo::NameLookup FixedNames() {
  kivo::NameLookup names;
  names.computerName = [] { return std::string("WEB01"); };
  names.logonUserName = [] { return std::string("admin"); };
  return names;
}

QString Line(const std::string& text) { return QString::fromStdString(text) + "\r\n\r\n"; }

class WindowRunTest : public QObject {
  Q_OBJECT

 private slots:
  void fullRunOnTheScriptedClient();
  void fullRunThroughTheDriver();

 private:
  // Types the inputs a user would and clicks "Update Kivo".
  void runFromWindow(Form1& form, const QString& webDir, const QString& login,
                     const QString& password);
};

void WindowRunTest::runFromWindow(Form1& form, const QString& webDir, const QString& login,
                                  const QString& password) {
  form.Form_Load();
  form.show();
  auto* web = form.findChild<QLineEdit*>("WebDirbox");
  QVERIFY(web);
  web->clear();
  QTest::keyClicks(web, webDir);
  form.findChild<QAbstractButton*>("Option2")->click();
  auto* saname = form.findChild<QLineEdit*>("saname");
  auto* pwd = form.findChild<QLineEdit*>("pwd");
  saname->clear();
  QTest::keyClicks(saname, login);
  pwd->clear();
  QTest::keyClicks(pwd, password);
  QTest::mouseClick(form.findChild<QAbstractButton*>("Command1"), Qt::LeftButton);
}

void WindowRunTest::fullRunOnTheScriptedClient() {
  auto server = std::make_shared<kivo::testing::FakeServer>();
  server->failures[kivo::UpgradeBatches()[0].statements[4]] =
      kivo::testing::FakeServer::MissingObject("CHXD.T_HIST");
  server->failures[kivo::UpgradeBatches()[2].statements[2]] =
      kivo::testing::FakeServer::MissingObject("CHXD.CustomerContact_Hist");
  kivo::testing::WebDirectory dir;
  dir.writeEntry("Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=KIVO;User ID=u;Password=p");
  RecordingDialogs dialogs;
  Form1 form(kivo::testing::FakeEnvironment(server), dialogs, FixedNames());
  runFromWindow(form, QString::fromStdString(dir.pathText()) + "/", "sa", "s3cret");

  QCOMPARE(form.statusText(), Line("No table T_Hist existing!") +
                                  Line("Table MD.CustomerContact columns altered!") +
                                  Line("Table CHXD.CustomerContact_Hist is created!") +
                                  Line("Table MD.Customer Columns altered!") +
                                  Line("Table CHXD.Customer Columns altered!") +
                                  "Kivo client was update successful\r\n");
  QCOMPARE(dialogs.messages, QStringList{"Update successful!"});
  QCOMPARE(dialogs.pointer, (QList<bool>{true, false}));
  QVERIFY(server->openedWith);
  QCOMPARE(QString::fromStdString(server->openedWith->logon.password), QString("s3cret"));
}

void WindowRunTest::fullRunThroughTheDriver() {
  qputenv("KIVO_ODBC_DRIVER", "FreeTDS");
  const kivo::testing::WindowRunScenario run = kivo::testing::DriverRunFromWindow();
  kivo::testing::StandIn server(run.schema.scenarioJson());
  kivo::testing::WebDirectory dir;
  dir.writeEntry(kivo::testing::KivoConnectionValue(server.port()));
  RecordingDialogs dialogs;
  Form1 form(kivo::DefaultRunEnvironment("FreeTDS"), dialogs, FixedNames());
  runFromWindow(form, QString::fromStdString(dir.pathText()), QString::fromStdString(run.login),
                QString::fromStdString(run.password));

  QCOMPARE(form.statusText(), QString::fromStdString(run.statusLog));
  QCOMPARE(dialogs.messages, QStringList{QString::fromStdString(run.message)});
  QCOMPARE(server.columnType("CHXD.Customer_Hist", "Address"),
           std::optional<std::string>("nvarchar(250)"));
}

}  // namespace

QTEST_MAIN(WindowRunTest)
#include "window_run_test.moc"
