#include "app/main_window.h"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "app/dialogs.h"

namespace {

// The layout is given in twips; 15 make a pixel at 96 dpi, and Qt scales on denser screens.
constexpr int Px(int twips) { return (twips + 7) / 15; }

struct Place {
  int left;
  int top;
  int width;
  int height;
};

template <typename Control>
Control* Make(QWidget* parent, const char* name, Place place) {
  auto* control = new Control(parent);
  control->setObjectName(QLatin1String(name));
  control->setGeometry(Px(place.left), Px(place.top), Px(place.width), Px(place.height));
  return control;
}

QFont ArialFont(qreal points) {
  // fontconfig maps Arial to a metric-compatible face where Arial itself is missing.
  QFont font(QStringLiteral("Arial"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(points);
  font.setWeight(QFont::Normal);
  return font;
}

// Sets the colour for the enabled states only, so that disabled controls still look disabled.
void SetForeground(QWidget* widget, QColor colour) {
  QPalette palette = widget->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive}) {
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
      palette.setColor(group, role, colour);
    }
  }
  widget->setPalette(palette);
}

void SetBackground(QPlainTextEdit* box, QColor colour) {
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, colour);
  box->setPalette(palette);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, Place place) {
  auto* label = Make<QLabel>(parent, name, place);
  label->setText(caption);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // One line each: "Web Directory" is a pixel wider than its label and must not wrap away.
  label->setFont(ArialFont(9.75));
  return label;
}

QLineEdit* MakeTextBox(QWidget* parent, const char* name, const QString& text, Place place) {
  auto* box = Make<QLineEdit>(parent, name, place);
  box->setText(text);
  box->setFont(ArialFont(9.75));
  return box;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, Place place) {
  auto* button = Make<QPushButton>(parent, name, place);
  button->setText(caption);
  button->setFont(ArialFont(9.75));
  // Neither Enter nor Escape presses a button of this window.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

QRadioButton* MakeOption(QWidget* parent, const char* name, const QString& caption, Place place) {
  auto* option = Make<QRadioButton>(parent, name, place);
  option->setText(caption);
  option->setFont(ArialFont(9.75));
  return option;
}

void MakeLine(QWidget* parent, const char* name, int topTwips, QColor colour) {
  // Spans x = 0 to 6750 twips, the end point not drawn.
  auto* line = Make<QWidget>(parent, name, {0, topTwips, 6750, 15});
  QPalette palette = line->palette();
  palette.setColor(QPalette::Window, colour);
  line->setPalette(palette);
  line->setAutoFillBackground(true);
}

}  // namespace

Form1::Form1(kivo::RunEnvironment environment, Dialogs& dialogs, kivo::NameLookup names,
             QWidget* parent)
    : QWidget(parent),
      environment_(std::move(environment)),
      dialogs_(dialogs),
      names_(std::move(names)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("KIVO_DBUpdate_May_07_2018"));
  setWindowIcon(QIcon(QStringLiteral(":/kivo/icons/kivo_icon.xpm")));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(Px(6765), Px(5070));
  SetForeground(this, Qt::black);

  StatusBox = Make<QPlainTextEdit>(this, "StatusBox", {0, 0, 7000, 1995});
  StatusBox->setFont(ArialFont(9.75));
  StatusBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  StatusBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StatusBox->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // A plain text box: Tab moves on instead of typing a tab character.
  StatusBox->setTabChangesFocus(true);
  SetBackground(StatusBox, Qt::white);
  StatusBox->setEnabled(false);

  ServerName = MakeTextBox(this, "ServerName", QString(), {1560, 1560, 2775, 285});
  ServerName->hide();
  SQLSrvLabel =
      MakeLabel(this, "SQLSrvLabel", QStringLiteral("SQL Server Name"), {120, 1605, 1455, 375});
  SQLSrvLabel->hide();
  Text1 = MakeTextBox(this, "Text1", QStringLiteral("D:\\ZEP"), {1560, 1920, 2775, 285});
  Text1->hide();
  Label3 = MakeLabel(this, "Label3", QStringLiteral("Data Directory"), {285, 1935, 1335, 255});
  Label3->hide();
  WebDirbox = MakeTextBox(this, "WebDirbox", QStringLiteral("C:\\Inetpub\\wwwroot"),
                          {1560, 2280, 2775, 285});
  Label4 = MakeLabel(this, "Label4", QStringLiteral("Web Directory"), {315, 2280, 1215, 255});
  Client = Make<QLineEdit>(this, "Client", {1560, 2640, 855, 285});
  Client->setText(QStringLiteral("CHXD"));
  Client->hide();
  Client->setEnabled(false);
  Label9 = MakeLabel(this, "Label9", QStringLiteral("Client"), {1005, 2640, 615, 255});
  Label9->hide();
  Option1 =
      MakeOption(this, "Option1", QStringLiteral("Use Windows Logon"), {1560, 3075, 5175, 255});
  Option2 =
      MakeOption(this, "Option2", QStringLiteral("SQL Server Login"), {1560, 3330, 2055, 315});
  Command1 = MakeButton(this, "Command1", QStringLiteral("Update Kivo"), {4440, 3480, 2175, 585});
  Label1 = MakeLabel(this, "Label1", QStringLiteral("SQL Login"), {570, 3750, 1095, 375});
  Label1->hide();
  saname = MakeTextBox(this, "saname", QStringLiteral("sa"), {1560, 3720, 1335, 285});
  saname->hide();
  Label2 = MakeLabel(this, "Label2", QStringLiteral("Password"), {600, 4080, 1095, 255});
  Label2->hide();
  pwd = MakeTextBox(this, "pwd", QStringLiteral("quietlantern"), {1560, 4080, 1335, 285});
  pwd->setEchoMode(QLineEdit::Password);
  // Styles draw a bullet or a dot unless told otherwise.
  pwd->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
  pwd->hide();
  Command2 = MakeButton(this, "Command2", QStringLiteral("Exit"), {4440, 4200, 2175, 420});
  Label5 = MakeLabel(this, "Label5", QStringLiteral("Upgrades the Kivo database schema."),
                     {120, 4800, 3615, 255});
  Label5->setFont(ArialFont(9));
  SetForeground(Label5, QColor(64, 64, 64));

  MakeLine(this, "Line1", 1995, QColor(192, 192, 192));
  MakeLine(this, "Line4", 2010, QColor(224, 224, 224));
  MakeLine(this, "Line2", 4680, QColor(128, 128, 128));
  MakeLine(this, "Line3", 4695, QColor(255, 255, 255));

  // Tab order by tab index; Qt skips the hidden and disabled ones as they come.
  std::vector<std::pair<int, QWidget*>> tabStops = {
      {0, ServerName}, {1, saname},   {2, pwd},    {3, Command1},   {4, Command2}, {8, StatusBox},
      {9, Option1},    {10, Option2}, {11, Text1}, {13, WebDirbox}, {15, Client}};
  std::sort(tabStops.begin(), tabStops.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < tabStops.size(); ++i) {
    QWidget::setTabOrder(tabStops[i - 1].second, tabStops[i].second);
  }

  connect(Option1, &QRadioButton::toggled, this, [this](bool selected) {
    if (selected) Option1_Click();
  });
  connect(Option2, &QRadioButton::toggled, this, [this](bool selected) {
    if (selected) Option2_Click();
  });
  connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });

  Command1->setFocus();
}

Form1::~Form1() = default;

void Form1::Form_Load() {
  SetBackground(StatusBox, QColor(240, 240, 240));
  computerName_ = QString::fromStdString(names_.computerName());
  logonUserName_ = qEnvironmentVariable("USERNAME");
  if (logonUserName_.isEmpty()) {
    try {
      logonUserName_ = QString::fromStdString(names_.logonUserName());
    } catch (const std::exception&) {
      logonUserName_.clear();
    }
  }
  ServerName->setText(computerName_);
  Option1->setChecked(true);  // runs Option1_Click
  // Doubled so that an ampersand in the name shows as itself, not as a shortcut.
  QString shownName = logonUserName_;
  shownName.replace(QLatin1Char('&'), QLatin1String("&&"));
  Option1->setText(Option1->text() + QStringLiteral(" (") + shownName + QStringLiteral(")"));
}

void Form1::Option1_Click() {
  Label1->setVisible(false);
  Label2->setVisible(false);
  saname->setVisible(false);
  pwd->setVisible(false);
}

void Form1::Option2_Click() {
  Label1->setVisible(true);
  Label2->setVisible(true);
  saname->setVisible(true);
  pwd->setVisible(true);
}

void Form1::Command1_Click() {
  // The run reports its own failures; anything that still escapes it must not cross Qt's
  // event loop.
  try {
    kivo::RunUpgrade(*this, environment_);
  } catch (const kivo::Error& error) {
    setBusy(false);
    dialogs_.message(this, ErrorText(error));
  } catch (const std::exception& error) {
    setBusy(false);
    dialogs_.message(this, QString::fromLocal8Bit(error.what()));
  }
}

void Form1::Command2_Click() { close(); }

QString Form1::statusText() const {
  // The document keeps paragraphs, not line breaks: give them back as CR LF.
  QString text = StatusBox->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
  text.replace(QChar::LineSeparator, QLatin1String("\r\n"));
  return text;
}

void Form1::setStatusText(const QString& text) { StatusBox->setPlainText(text); }

void Form1::AddStatus(const QString& message) {
  setStatusText(statusText() + message + QStringLiteral("\r\n"));
  QTextCursor caret = StatusBox->textCursor();
  caret.movePosition(QTextCursor::End);
  StatusBox->setTextCursor(caret);
  StatusBox->ensureCursorVisible();
  StatusBox->repaint();
}

std::string Form1::clientCode() { return Client->text().toStdString(); }
std::string Form1::dataDirectory() { return Text1->text().toStdString(); }
std::string Form1::webDirectory() { return WebDirbox->text().toStdString(); }
bool Form1::sqlLoginSelected() { return Option2->isChecked(); }
std::string Form1::sqlLogin() { return saname->text().toStdString(); }
std::string Form1::sqlPassword() { return pwd->text().toStdString(); }

void Form1::addStatus(std::string_view message) {
  AddStatus(QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
}

void Form1::showMessage(std::string_view text) {
  dialogs_.message(this, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void Form1::setBusy(bool busy) { dialogs_.setBusyPointer(busy); }

void Form1::prepareStatusBox(int widthTwips) {
  StatusBox->resize(Px(widthTwips), StatusBox->height());
  StatusBox->setEnabled(true);
}

void Form1::enableExit() { Command2->setEnabled(true); }
