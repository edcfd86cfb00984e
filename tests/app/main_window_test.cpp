#include "app/qt/main_window.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/form/layout.h"
#include "app/qt/dialogs.h"
#include "app/qt/startup.h"
#include "base/error.h"
#include "system/machine_names.h"

namespace {

class RecordingDialogs : public Dialogs {
 public:
  struct Message {
    QWidget* parent;
    QString text;
  };

  void message(QWidget* parent, const QString& text) override {
    messages.push_back({parent, text});
  }
  void setBusyPointer(bool busy) override { pointer.push_back(busy); }

  std::vector<Message> messages;
  std::vector<bool> pointer;
};

struct NameCalls {
  int computer = 0;
  int user = 0;
};

// Look-ups with fixed answers; an empty user name stands for a failing look-up.
kivo::NameLookup FixedNames(NameCalls& calls, std::string computer, std::string user) {
  kivo::NameLookup names;
  names.computerName = [&calls, computer] {
    ++calls.computer;
    return computer;
  };
  names.logonUserName = [&calls, user]() -> std::string {
    ++calls.user;
    if (user.empty()) throw kivo::Error::Standard(kivo::kInvalidArgument);
    return user;
  };
  return names;
}

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void window();
  void controls_data();
  void controls();
  void lines_data();
  void lines();
  void startUp_data();
  void startUp();
  void logonSwitchKeepsTypedText();
  void tabOrder();
  void enterClicksOnlyTheFocusedButton();
  void textBoxesAreNamedByTheirLabels();
  void addStatus_data();
  void addStatus();
  void addStatusShowsTheLastLine();
  void runHost();
  void messageBoxShowsTextAsItIs();
  void failingComputerNameEndsStartUp();
  void exitClosesTheWindow();
  void updateButtonRunsTheUpgrade_data();
  void updateButtonRunsTheUpgrade();

 private:
  Form1& makeWindow(const char* userEnv = nullptr);
  template <typename T>
  T* control(const char* name) {
    auto* found = form_->findChild<T*>(QLatin1String(name));
    if (found == nullptr) qFatal("no control %s", name);
    return found;
  }
  void showAndActivate();

  RecordingDialogs dialogs_;
  NameCalls calls_;
  std::unique_ptr<Form1> form_;
};

void Form1Test::init() {
  qunsetenv("USERNAME");
  dialogs_ = RecordingDialogs();
  calls_ = NameCalls();
}

void Form1Test::cleanup() {
  form_.reset();
  qunsetenv("USERNAME");
}

Form1& Form1Test::makeWindow(const char* userEnv) {
  if (userEnv != nullptr) qputenv("USERNAME", userEnv);
  form_ = std::make_unique<Form1>(kivo::RunEnvironment{}, dialogs_,
                                  FixedNames(calls_, "WEB01", "lookedup"));
  return *form_;
}

void Form1Test::showAndActivate() {
  form_->show();
  QApplication::setActiveWindow(form_.get());
  QVERIFY(QTest::qWaitForWindowActive(form_.get()));
}

void Form1Test::window() {
  Form1& form = makeWindow();
  QCOMPARE(form.windowTitle(), QStringLiteral("KIVO_DBUpdate_May_07_2018"));
  QCOMPARE(form.minimumSize(), QSize(451, 338));
  QCOMPARE(form.maximumSize(), QSize(451, 338));
  const Qt::WindowFlags flags = form.windowFlags();
  QVERIFY(flags & Qt::WindowCloseButtonHint);
  QVERIFY(flags & Qt::WindowTitleHint);
  QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
  QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  const QIcon icon = form.windowIcon();
  QVERIFY(!icon.isNull());
  QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
}

void Form1Test::controls_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("text");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<bool>("visible");
  QTest::addColumn<bool>("enabled");
  QTest::addColumn<qreal>("points");  // 0: the window's default font

  const QString textBox = QStringLiteral("QLineEdit");
  const QString label = QStringLiteral("QLabel");
  const QString option = QStringLiteral("QRadioButton");
  const QString button = QStringLiteral("QPushButton");
  // name, kind, text, left, top, width, height in pixels (twips / 15), visible, enabled
  QTest::newRow("StatusBox") << QStringLiteral("QPlainTextEdit") << QString()
                             << QRect(0, 0, 467, 133) << true << false << 9.75;
  QTest::newRow("ServerName") << textBox << QString() << QRect(104, 104, 185, 19) << false << true
                              << 9.75;
  QTest::newRow("SQLSrvLabel") << label << "SQL Server Name" << QRect(8, 107, 97, 25) << false
                               << true << 9.75;
  QTest::newRow("Text1") << textBox << "D:\\ZEP" << QRect(104, 128, 185, 19) << false << true
                         << 9.75;
  QTest::newRow("Label3") << label << "Data Directory" << QRect(19, 129, 89, 17) << false << true
                          << 9.75;
  QTest::newRow("WebDirbox") << textBox << "C:\\Inetpub\\wwwroot" << QRect(104, 152, 185, 19)
                             << true << true << 9.75;
  QTest::newRow("Label4") << label << "Web Directory" << QRect(21, 152, 81, 17) << true << true
                          << 9.75;
  QTest::newRow("Client") << textBox << "CHXD" << QRect(104, 176, 57, 19) << false << false << 0.0;
  QTest::newRow("Label9") << label << "Client" << QRect(67, 176, 41, 17) << false << true << 9.75;
  QTest::newRow("Option1") << option << "Use Windows Logon" << QRect(104, 205, 345, 17) << true
                           << true << 9.75;
  QTest::newRow("Option2") << option << "SQL Server Login" << QRect(104, 222, 137, 21) << true
                           << true << 9.75;
  QTest::newRow("Command1") << button << "Update Kivo" << QRect(296, 232, 145, 39) << true << true
                            << 9.75;
  QTest::newRow("Label1") << label << "SQL Login" << QRect(38, 250, 73, 25) << false << true
                          << 9.75;
  QTest::newRow("saname") << textBox << "sa" << QRect(104, 248, 89, 19) << false << true << 9.75;
  QTest::newRow("Label2") << label << "Password" << QRect(40, 272, 73, 17) << false << true << 9.75;
  QTest::newRow("pwd") << textBox << "quietlantern" << QRect(104, 272, 89, 19) << false << true
                       << 9.75;
  QTest::newRow("Command2") << button << "Exit" << QRect(296, 280, 145, 28) << true << true << 9.75;
  QTest::newRow("Label5") << label << QString() << QRect(8, 320, 241, 17) << true << true << 9.0;
}

void Form1Test::controls() {
  QFETCH(QString, kind);
  QFETCH(QString, text);
  QFETCH(QRect, geometry);
  QFETCH(bool, visible);
  QFETCH(bool, enabled);
  QFETCH(qreal, points);

  Form1& form = makeWindow();
  auto* widget = control<QWidget>(QTest::currentDataTag());
  QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
  QCOMPARE(widget->geometry(), geometry);
  QCOMPARE(widget->isVisibleTo(&form), visible);
  QCOMPARE(widget->isEnabled(), enabled);
  if (!text.isNull()) {
    QString actual;
    if (auto* box = qobject_cast<QLineEdit*>(widget)) actual = box->text();
    if (auto* caption = qobject_cast<QLabel*>(widget)) actual = caption->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) actual = button->text();
    QCOMPARE(actual, text);
  }
  if (points > 0) {
    QCOMPARE(widget->font().family(), QStringLiteral("Arial"));
    QCOMPARE(widget->font().pointSizeF(), points);
    QCOMPARE(widget->font().weight(), QFont::Normal);
  }
}

void Form1Test::lines_data() {
  QTest::addColumn<int>("y");
  QTest::addColumn<QColor>("colour");
  QTest::newRow("Line1") << 133 << QColor(192, 192, 192);
  QTest::newRow("Line4") << 134 << QColor(224, 224, 224);
  QTest::newRow("Line2") << 312 << QColor(128, 128, 128);
  QTest::newRow("Line3") << 313 << QColor(255, 255, 255);
}

void Form1Test::lines() {
  QFETCH(int, y);
  QFETCH(QColor, colour);
  Form1& form = makeWindow();
  form.Form_Load();
  auto* line = control<QWidget>(QTest::currentDataTag());
  QCOMPARE(line->geometry(), QRect(0, y, 450, 1));
  QCOMPARE(line->focusPolicy(), Qt::NoFocus);
  // What is drawn, not only what is set: nothing may cover a line.
  const QImage image = form.grab().toImage();
  for (int x : {0, 200, 449}) {
    QCOMPARE(image.pixelColor(x, y), colour);
  }
}

void Form1Test::startUp_data() {
  QTest::addColumn<QByteArray>("userEnv");  // null: unset
  QTest::addColumn<QString>("lookedUp");    // empty: the look-up fails
  QTest::addColumn<QString>("caption");
  QTest::addColumn<int>("lookUps");

  QTest::newRow("USERNAME set") << QByteArray("webadmin") << "otheruser"
                                << "Use Windows Logon (webadmin)" << 0;
  QTest::newRow("USERNAME with blanks kept") << QByteArray(" web admin ") << "otheruser"
                                             << "Use Windows Logon ( web admin )" << 0;
  QTest::newRow("USERNAME unset") << QByteArray() << "lookedup"
                                  << "Use Windows Logon (lookedup)" << 1;
  QTest::newRow("USERNAME empty") << QByteArray("") << "lookedup"
                                  << "Use Windows Logon (lookedup)" << 1;
  QTest::newRow("look-up fails") << QByteArray() << QString() << "Use Windows Logon ()" << 1;
}

void Form1Test::startUp() {
  QFETCH(QByteArray, userEnv);
  QFETCH(QString, lookedUp);
  QFETCH(QString, caption);
  QFETCH(int, lookUps);

  if (!userEnv.isNull()) qputenv("USERNAME", userEnv);
  form_ = std::make_unique<Form1>(kivo::RunEnvironment{}, dialogs_,
                                  FixedNames(calls_, "WEB01", lookedUp.toStdString()));
  auto* box = control<QPlainTextEdit>("StatusBox");
  QCOMPARE(box->palette().color(QPalette::Base), QColor(Qt::white));

  form_->Form_Load();

  QCOMPARE(control<QRadioButton>("Option1")->text(), caption);
  QCOMPARE(calls_.computer, 1);
  QCOMPARE(calls_.user, lookUps);
  QCOMPARE(control<QLineEdit>("ServerName")->text(), QStringLiteral("WEB01"));
  QVERIFY(control<QRadioButton>("Option1")->isChecked());
  QVERIFY(!control<QRadioButton>("Option2")->isChecked());
  for (const char* name : {"Label1", "Label2", "saname", "pwd"}) {
    QVERIFY2(!control<QWidget>(name)->isVisibleTo(form_.get()), name);
  }
  QCOMPARE(form_->statusText(), QString());
  QCOMPARE(box->palette().color(QPalette::Disabled, QPalette::Base), QColor(240, 240, 240));
  QCOMPARE(box->palette().color(QPalette::Active, QPalette::Base), QColor(240, 240, 240));
  QVERIFY(dialogs_.messages.empty());
}

void Form1Test::logonSwitchKeepsTypedText() {
  makeWindow("webadmin").Form_Load();
  showAndActivate();
  auto* option1 = control<QRadioButton>("Option1");
  auto* option2 = control<QRadioButton>("Option2");
  auto* login = control<QLineEdit>("saname");
  auto* password = control<QLineEdit>("pwd");
  const QString caption = option1->text();
  const std::vector<QWidget*> sqlControls = {control<QWidget>("Label1"), control<QWidget>("Label2"),
                                             login, password};

  QTest::mouseClick(option2, Qt::LeftButton);
  QVERIFY(option2->isChecked());
  for (QWidget* widget : sqlControls) QVERIFY(widget->isVisible());
  QCOMPARE(password->displayText(), QString(12, QLatin1Char('*')));
  login->selectAll();
  QTest::keyClicks(login, "dbo_admin");
  password->selectAll();
  QTest::keyClicks(password, "s3cret");
  QCOMPARE(password->displayText(), QStringLiteral("******"));

  for (int round = 0; round < 2; ++round) {  // the second round selects Option1 again
    QTest::mouseClick(option1, Qt::LeftButton);
    QVERIFY(option1->isChecked());
    for (QWidget* widget : sqlControls) QVERIFY(!widget->isVisible());
    QCOMPARE(option1->text(), caption);
  }
  QCOMPARE(login->text(), QStringLiteral("dbo_admin"));
  QCOMPARE(password->text(), QStringLiteral("s3cret"));

  QTest::mouseClick(option2, Qt::LeftButton);
  for (QWidget* widget : sqlControls) QVERIFY(widget->isVisible());
  QCOMPARE(login->text(), QStringLiteral("dbo_admin"));
  QCOMPARE(password->text(), QStringLiteral("s3cret"));
  QCOMPARE(option1->text(), caption);
}

void Form1Test::tabOrder() {
  makeWindow("webadmin").Form_Load();
  showAndActivate();
  QCOMPARE(QApplication::focusWidget(), control<QWidget>("Command1"));

  // Tab from the focus round the whole chain once (bounded, in case it never comes back).
  auto chain = [] {
    QStringList names;
    QWidget* start = QApplication::focusWidget();
    for (int step = 0; step < 20; ++step) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      names << QApplication::focusWidget()->objectName();
      if (QApplication::focusWidget() == start) break;
    }
    return names;
  };

  QCOMPARE(chain(), QStringList({"Command2", "Option1", "WebDirbox", "Command1"}));

  QTest::mouseClick(control<QRadioButton>("Option2"), Qt::LeftButton);
  control<QWidget>("WebDirbox")->setFocus();
  QCOMPARE(chain(), QStringList({"saname", "pwd", "Command1", "Command2", "Option2", "WebDirbox"}));

  // Once a run has enabled it, the status box is a stop that Tab and Shift+Tab leave again,
  // typing nothing into the log.
  form_->form().prepareStatusBox(6735);
  auto* box = control<QPlainTextEdit>("StatusBox");
  control<QWidget>("Command2")->setFocus();
  QCOMPARE(chain(), QStringList({"StatusBox", "Option2", "WebDirbox", "saname", "pwd", "Command1",
                                 "Command2"}));
  box->setFocus();
  QTest::keyClick(box, Qt::Key_Tab, Qt::ShiftModifier);
  QCOMPARE(QApplication::focusWidget(), control<QWidget>("Command2"));
  QCOMPARE(form_->statusText(), QString());
}

void Form1Test::enterClicksOnlyTheFocusedButton() {
  makeWindow("webadmin").Form_Load();
  showAndActivate();
  QSignalSpy update(control<QPushButton>("Command1"), &QPushButton::clicked);
  QSignalSpy exit(control<QPushButton>("Command2"), &QPushButton::clicked);
  auto* webDir = control<QLineEdit>("WebDirbox");
  webDir->setFocus();
  for (auto key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
    QTest::keyClick(webDir, key);
  }
  QCOMPARE(update.count(), 0);
  QCOMPARE(exit.count(), 0);
  QVERIFY(form_->isVisible());

  auto* exitButton = control<QPushButton>("Command2");
  exitButton->setFocus();
  QTest::keyClick(exitButton, Qt::Key_Enter);
  QCOMPARE(exit.count(), 1);
  QCOMPARE(update.count(), 0);
  QVERIFY(!form_->isVisible());
}

void Form1Test::textBoxesAreNamedByTheirLabels() {
  makeWindow("webadmin").Form_Load();
  for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
    const std::optional<kivo::Control> label = kivo::LabelOf(layout.control);
    if (!label) continue;
    QAccessibleInterface* box =
        QAccessible::queryAccessibleInterface(control<QWidget>(layout.name));
    QVERIFY(box);
    QCOMPARE(box->text(QAccessible::Name), QString::fromUtf8(kivo::LayoutOf(*label).text));
  }
}

void Form1Test::addStatus_data() {
  QTest::addColumn<QString>("typed");  // typed by the user beforehand
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QString>("expected");

  QTest::newRow("empty message") << QString() << QStringList({""}) << "\r\n";
  QTest::newRow("lines follow one another")
      << QString() << QStringList({"one", "two"}) << "one\r\ntwo\r\n";
  QTest::newRow("ends in CR LF") << QString() << QStringList({"Batch 1 done\r\n", "next"})
                                 << "Batch 1 done\r\n\r\nnext\r\n";
  QTest::newRow("starts with CR LF")
      << QString() << QStringList({"a", "\r\nb"}) << "a\r\n\r\nb\r\n";
  QTest::newRow("line break inside") << QString() << QStringList({"a\r\nb"}) << "a\r\nb\r\n";
  QTest::newRow("continues typed text") << "x\ny" << QStringList({"m"}) << "x\r\nym\r\n";
  QTest::newRow("after typed line break") << "x\n" << QStringList({"m"}) << "x\r\nm\r\n";
  QTest::newRow("markup kept") << QString() << QStringList({"<b>x</b> &amp;"})
                               << "<b>x</b> &amp;\r\n";
  QTest::newRow("characters kept")
      << QString() << QStringList({QString::fromUtf8("Größe\u00a0250 – ‘ok’\t")})
      << QString::fromUtf8("Größe\u00a0250 – ‘ok’\t\r\n");
}

void Form1Test::addStatus() {
  QFETCH(QString, typed);
  QFETCH(QStringList, messages);
  QFETCH(QString, expected);

  Form1& form = makeWindow("webadmin");
  form.Form_Load();
  auto* box = control<QPlainTextEdit>("StatusBox");
  if (!typed.isEmpty()) {
    showAndActivate();
    form.form().prepareStatusBox(6735);
    box->setFocus();
    for (QChar c : typed) {
      if (c == QLatin1Char('\n')) {
        QTest::keyClick(box, Qt::Key_Return);
      } else {
        QTest::keyClicks(box, QString(c));
      }
    }
  }
  for (const QString& message : messages) form.form().addStatus(message.toStdString());

  QCOMPARE(form.statusText(), expected);
  QVERIFY(box->textCursor().atEnd());
  QVERIFY(!box->textCursor().hasSelection());
}

void Form1Test::addStatusShowsTheLastLine() {
  Form1& form = makeWindow("webadmin");
  form.Form_Load();
  showAndActivate();
  form.form().prepareStatusBox(6735);
  auto* box = control<QPlainTextEdit>("StatusBox");
  for (int i = 0; i < 40; ++i) form.form().addStatus("line " + std::to_string(i));

  // The user scrolls back up and selects text near the top.
  box->verticalScrollBar()->setValue(0);
  QTextCursor selection(box->document());
  selection.setPosition(2);
  selection.setPosition(12, QTextCursor::KeepAnchor);
  box->setTextCursor(selection);
  box->verticalScrollBar()->setValue(0);

  form.form().addStatus("last");
  QVERIFY(box->textCursor().atEnd());
  QVERIFY(!box->textCursor().hasSelection());
  QCOMPARE(box->verticalScrollBar()->value(), box->verticalScrollBar()->maximum());
  QVERIFY(box->verticalScrollBar()->maximum() > 0);
  QVERIFY(box->viewport()->rect().contains(box->cursorRect()));
  QVERIFY(form.statusText().endsWith(QStringLiteral("line 39\r\nlast\r\n")));
}

void Form1Test::runHost() {
  Form1& form = makeWindow("webadmin");
  form.Form_Load();
  kivo::RunHost& host = form.form();

  QCOMPARE(host.clientCode(), std::string("CHXD"));
  QCOMPARE(host.dataDirectory(), std::string("D:\\ZEP"));
  QCOMPARE(host.webDirectory(), std::string("C:\\Inetpub\\wwwroot"));
  QVERIFY(!host.sqlLoginSelected());
  control<QLineEdit>("WebDirbox")->setText(QString::fromUtf8("D:\\Sites\\Größe\\"));
  control<QLineEdit>("pwd")->setText(QString::fromUtf8("pä;ss"));
  control<QRadioButton>("Option2")->click();
  QCOMPARE(host.webDirectory(), std::string("D:\\Sites\\Gr\xc3\xb6\xc3\x9f"
                                            "e\\"));
  QVERIFY(host.sqlLoginSelected());
  QCOMPARE(host.sqlLogin(), std::string("sa"));
  QCOMPARE(host.sqlPassword(), std::string("p\xc3\xa4;ss"));

  auto* box = control<QPlainTextEdit>("StatusBox");
  host.prepareStatusBox(6735);
  QCOMPARE(box->geometry(), QRect(0, 0, 449, 133));
  QVERIFY(box->isEnabled());
  QVERIFY(!box->isReadOnly());

  auto* exit = control<QPushButton>("Command2");
  exit->setEnabled(false);
  host.enableExit();
  QVERIFY(exit->isEnabled());

  host.setBusy(true);
  host.setBusy(false);
  QCOMPARE(dialogs_.pointer, std::vector<bool>({true, false}));

  host.showMessage("Update successful!");
  QCOMPARE(dialogs_.messages.size(), std::size_t(1));
  QCOMPARE(dialogs_.messages[0].parent, &form);
  QCOMPARE(dialogs_.messages[0].text, QStringLiteral("Update successful!"));
}

void Form1Test::messageBoxShowsTextAsItIs() {
  // A server's message that looks like markup must not be rendered as markup.
  const QString text = QStringLiteral("<b>Login failed</b> <a href=\"x\">here</a><br>&amp;");
  Qt::TextFormat format = Qt::AutoText;
  QString shown;
  QTimer::singleShot(0, [&] {
    QWidget* box = QApplication::activeModalWidget();
    if (box == nullptr) return;
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
      format = label->textFormat();
      shown = label->text();
    }
    box->close();
  });
  QtDialogs dialogs(QStringLiteral("title"));
  dialogs.message(nullptr, text);
  QCOMPARE(format, Qt::PlainText);
  QCOMPARE(shown, text);
}

void Form1Test::failingComputerNameEndsStartUp() {
  kivo::NameLookup names;
  names.computerName = [] { return kivo::GetTheComputerName([] { return std::nullopt; }); };
  names.logonUserName = [] { return std::string("webadmin"); };

  std::unique_ptr<Form1> window = OpenMainWindow(kivo::RunEnvironment{}, dialogs_, names);

  QVERIFY(window == nullptr);
  QCOMPARE(dialogs_.messages.size(), std::size_t(1));
  QCOMPARE(dialogs_.messages[0].text,
           QStringLiteral("Error 5: Invalid procedure call or argument"));
  QCOMPARE(dialogs_.messages[0].parent, nullptr);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
  }

  NameCalls calls;
  window = OpenMainWindow(kivo::RunEnvironment{}, dialogs_, FixedNames(calls, "WEB01", "u"));
  QVERIFY(window != nullptr);
  QVERIFY(window->isVisible());
  QCOMPARE(dialogs_.messages.size(), std::size_t(1));
}

void Form1Test::exitClosesTheWindow() {
  makeWindow("webadmin").Form_Load();
  showAndActivate();
  auto* notice = control<QLabel>("Label5");
  QVERIFY(!notice->text().isEmpty());
  QVERIFY(notice->fontMetrics().horizontalAdvance(notice->text()) <= notice->width());
  QCOMPARE(notice->palette().color(QPalette::WindowText), QColor(64, 64, 64));

  QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
  QVERIFY(!form_->isVisible());
}

void Form1Test::updateButtonRunsTheUpgrade_data() {
  QTest::addColumn<QString>("client");
  QTest::addColumn<QString>("dataDirectory");
  QTest::addColumn<QString>("status");   // the whole log, where the run ends without a verdict
  QTest::addColumn<QString>("message");  // empty: no message box
  QTest::addColumn<int>("statusBoxWidth");

  QTest::newRow("nothing to do") << QString() << QString()
                                 << "Client is empty. Assump default (CHXD)\r\n"
                                 << QString() << 467;
  QTest::newRow("no web.config") << "CHXD"
                                 << "D:\\ZEP" << QString()
                                 << "Update NOT successful. Contact Admin!" << 449;
}

void Form1Test::updateButtonRunsTheUpgrade() {
  QFETCH(QString, client);
  QFETCH(QString, dataDirectory);
  QFETCH(QString, status);
  QFETCH(QString, message);
  QFETCH(int, statusBoxWidth);

  const QTemporaryDir webDirectory;  // holds no web.config
  QVERIFY(webDirectory.isValid());
  makeWindow("webadmin").Form_Load();
  showAndActivate();
  control<QLineEdit>("Client")->setText(client);
  control<QLineEdit>("Text1")->setText(dataDirectory);
  control<QLineEdit>("WebDirbox")->setText(webDirectory.path());
  auto* exit = control<QPushButton>("Command2");
  exit->setEnabled(false);

  QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);

  auto* box = control<QPlainTextEdit>("StatusBox");
  QCOMPARE(box->width(), statusBoxWidth);
  QCOMPARE(box->isEnabled(), statusBoxWidth == 449);
  if (message.isEmpty()) {
    QCOMPARE(form_->statusText(), status);
    QVERIFY(dialogs_.messages.empty());
    QVERIFY(dialogs_.pointer.empty());
  } else {
    // The failure verdict: the error's description as a line, the pointer back, Exit enabled.
    QVERIFY(!form_->statusText().isEmpty());
    QVERIFY(form_->statusText().endsWith(QStringLiteral("\r\n")));
    QCOMPARE(dialogs_.messages.size(), std::size_t(1));
    QCOMPARE(dialogs_.messages[0].text, message);
    QCOMPARE(dialogs_.messages[0].parent, form_.get());
    QCOMPARE(dialogs_.pointer, std::vector<bool>({true, false}));
    QVERIFY(exit->isEnabled());
  }
}

QTEST_MAIN(Form1Test)
#include "main_window_test.moc"
