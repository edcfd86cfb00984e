#pragma once

#include <QString>

class QWidget;

// Message boxes and the application-wide pointer, behind one seam so that tests can answer
// and record them instead of blocking on a modal box.
class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A modal box with the text, an OK button only and no icon; returns once it is closed.
  virtual void message(QWidget* parent, const QString& text) = 0;

  // The wait pointer over the whole application while busy; false restores the normal one.
  virtual void setBusyPointer(bool busy) = 0;
};

class QtDialogs : public Dialogs {
 public:
  // title: shown on every box; the application's name when empty.
  explicit QtDialogs(QString title = {});
  ~QtDialogs() override;

  void message(QWidget* parent, const QString& text) override;
  void setBusyPointer(bool busy) override;

 private:
  QString title_;
  bool busy_ = false;  // the override cursor stacks, so push and pop it once each
};
