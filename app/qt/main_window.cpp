#include "app/qt/main_window.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QTextDocument>
#include <cstddef>
#include <optional>
#include <utility>

#include "app/qt/dialogs.h"

namespace {

// Qt counts device-independent pixels and scales them on denser screens itself.
constexpr int Px(int twips) { return kivo::TwipsToPixels(twips, kivo::kStandardDpi); }

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

QFont ControlFont(double points) { return points > 0 ? ArialFont(points) : QFont(); }

QColor Colour(kivo::Rgb rgb) { return QColor(rgb.red, rgb.green, rgb.blue); }

QWidget* MakeControl(QWidget* parent, const kivo::ControlLayout& layout) {
  const Place place{layout.left, layout.top, layout.width, layout.height};
  const QString text = QString::fromUtf8(layout.text);
  const QString caption = QString::fromStdString(kivo::EscapeCaption(layout.text));
  switch (layout.kind) {
    case kivo::ControlKind::kStatusBox: {
      auto* box = Make<QPlainTextEdit>(parent, layout.name, place);
      box->setFont(ControlFont(layout.fontPoints));
      box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      // A plain text box: Tab moves on instead of typing a tab character.
      box->setTabChangesFocus(true);
      SetBackground(box, Colour(kivo::kStatusBoxCreatedBackground));
      box->setPlainText(text);
      return box;
    }
    case kivo::ControlKind::kTextBox: {
      auto* box = Make<QLineEdit>(parent, layout.name, place);
      box->setText(text);
      if (layout.fontPoints > 0) box->setFont(ArialFont(layout.fontPoints));
      if (layout.masked) {
        box->setEchoMode(QLineEdit::Password);
        // Styles draw a bullet or a dot unless told otherwise.
        box->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
      }
      return box;
    }
    case kivo::ControlKind::kLabel: {
      auto* label = Make<QLabel>(parent, layout.name, place);
      // Every character as itself: QLabel would render text that looks like HTML as HTML.
      label->setTextFormat(Qt::PlainText);
      label->setText(text);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      // One line each: "Web Directory" is a pixel wider than its label and must not wrap away.
      label->setFont(ControlFont(layout.fontPoints));
      return label;
    }
    case kivo::ControlKind::kOption: {
      auto* option = Make<QRadioButton>(parent, layout.name, place);
      option->setText(caption);
      option->setFont(ControlFont(layout.fontPoints));
      return option;
    }
    case kivo::ControlKind::kButton: {
      auto* button = Make<QPushButton>(parent, layout.name, place);
      button->setText(caption);
      button->setFont(ControlFont(layout.fontPoints));
      // Enter clicks the focused button, as in Windows' dialogs; outside a dialog no button
      // becomes the default, so Enter elsewhere and Escape press none.
      button->setAutoDefault(true);
      button->setDefault(false);
      return button;
    }
    case kivo::ControlKind::kLine: {
      auto* line = Make<QWidget>(parent, layout.name, place);
      QPalette palette = line->palette();
      palette.setColor(QPalette::Window, Colour(layout.colour));
      line->setPalette(palette);
      line->setAutoFillBackground(true);
      return line;
    }
  }
  return nullptr;
}

}  // namespace

Form1::Form1(kivo::RunEnvironment environment, Dialogs& dialogs, kivo::NameLookup names,
             QWidget* parent)
    : QWidget(parent), dialogs_(dialogs), form_(*this, std::move(environment), std::move(names)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromUtf8(kivo::kFormCaption));
  setWindowIcon(QIcon(QStringLiteral(":/kivo/icons/kivo_icon.xpm")));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(Px(kivo::kFormWidthTwips), Px(kivo::kFormHeightTwips));
  SetForeground(this, Qt::black);

  for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
    QWidget* control = MakeControl(this, layout);
    controls_[static_cast<std::size_t>(layout.control)] = control;
    if (!layout.visible) control->hide();
    if (!layout.enabled) control->setEnabled(false);
    if (layout.kind != kivo::ControlKind::kLine && !(layout.colour == kivo::Rgb{0, 0, 0})) {
      SetForeground(control, Colour(layout.colour));
    }
  }

  // Screen readers name a text box by its label.
  for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
    if (const std::optional<kivo::Control> label = kivo::LabelOf(layout.control)) {
      static_cast<QLabel*>(widget(*label))->setBuddy(widget(layout.control));
    }
  }

  // Labels take no focus; Qt skips the hidden and disabled controls as they come.
  QWidget* previous = nullptr;
  for (const kivo::Control control : kivo::TabOrder()) {
    if (kivo::LayoutOf(control).kind == kivo::ControlKind::kLabel) continue;
    if (previous) QWidget::setTabOrder(previous, widget(control));
    previous = widget(control);
  }

  // Only a selection raises the options' handlers; selectOption() blocks the signal.
  auto* option1 = static_cast<QRadioButton*>(widget(kivo::Control::Option1));
  auto* option2 = static_cast<QRadioButton*>(widget(kivo::Control::Option2));
  connect(option1, &QRadioButton::toggled, this, [this](bool selected) {
    if (selected) form_.Option1_Click();
  });
  connect(option2, &QRadioButton::toggled, this, [this](bool selected) {
    if (selected) form_.Option2_Click();
  });
  connect(static_cast<QPushButton*>(widget(kivo::Control::Command1)), &QPushButton::clicked, this,
          [this] { form_.Command1_Click(); });
  connect(static_cast<QPushButton*>(widget(kivo::Control::Command2)), &QPushButton::clicked, this,
          [this] { form_.Command2_Click(); });

  widget(kivo::kFirstFocus)->setFocus();
}

Form1::~Form1() = default;

QWidget* Form1::widget(kivo::Control control) const {
  return controls_[static_cast<std::size_t>(control)];
}

QString Form1::statusText() const {
  // The document keeps paragraphs, not line breaks: give them back as CR LF.
  auto* box = static_cast<QPlainTextEdit*>(widget(kivo::Control::StatusBox));
  QString text = box->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
  text.replace(QChar::LineSeparator, QLatin1String("\r\n"));
  return text;
}

std::string Form1::controlText(kivo::Control control) const {
  QWidget* w = widget(control);
  QString text;
  if (control == kivo::Control::StatusBox) {
    text = statusText();
  } else if (auto* box = qobject_cast<QLineEdit*>(w)) {
    text = box->text();
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    return kivo::UnescapeCaption(button->text().toStdString());
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    text = label->text();
  }
  return text.toStdString();
}

void Form1::setControlText(kivo::Control control, std::string_view text) {
  QWidget* w = widget(control);
  const std::string shown =
      kivo::ReadsShortcuts(control) ? kivo::EscapeCaption(text) : std::string(text);
  const QString value = QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
  if (auto* box = qobject_cast<QPlainTextEdit*>(w)) {
    box->setPlainText(value);
  } else if (auto* line = qobject_cast<QLineEdit*>(w)) {
    line->setText(value);
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(value);
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(value);
  }
}

void Form1::setControlVisible(kivo::Control control, bool visible) {
  widget(control)->setVisible(visible);
}

void Form1::setControlEnabled(kivo::Control control, bool enabled) {
  widget(control)->setEnabled(enabled);
}

void Form1::setControlWidth(kivo::Control control, int twips) {
  QWidget* w = widget(control);
  w->resize(Px(twips), w->height());
}

void Form1::setControlBackground(kivo::Control control, kivo::Rgb colour) {
  QWidget* w = widget(control);
  QPalette palette = w->palette();
  palette.setColor(QPalette::Base, Colour(colour));
  w->setPalette(palette);
}

void Form1::selectOption(kivo::Control option) {
  auto* button = static_cast<QRadioButton*>(widget(option));
  const QSignalBlocker block(button);
  button->setChecked(true);
}

bool Form1::optionSelected(kivo::Control option) const {
  return static_cast<QRadioButton*>(widget(option))->isChecked();
}

void Form1::showTextEnd(kivo::Control control) {
  auto* box = static_cast<QPlainTextEdit*>(widget(control));
  QTextCursor caret = box->textCursor();
  caret.movePosition(QTextCursor::End);
  box->setTextCursor(caret);
  box->ensureCursorVisible();
  box->repaint();
}

void Form1::messageBox(std::string_view text) {
  dialogs_.message(this, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void Form1::setBusyPointer(bool busy) { dialogs_.setBusyPointer(busy); }

void Form1::unload() { close(); }
