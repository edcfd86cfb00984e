#include "app/qt/dialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <utility>

QtDialogs::QtDialogs(QString title) : title_(std::move(title)) {}

QtDialogs::~QtDialogs() { setBusyPointer(false); }

void QtDialogs::message(QWidget* parent, const QString& text) {
  const QString title = title_.isEmpty() ? QApplication::applicationName() : title_;
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
  // The text may be a server's message: shown as it is, never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void QtDialogs::setBusyPointer(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}
