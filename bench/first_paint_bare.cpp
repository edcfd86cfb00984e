// The least a Qt Widgets program can show: a window with one button, up to its first paint.
#include <QApplication>
#include <QPushButton>
#include <QWidget>

#include "bench/first_paint.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QuitOnFirstPaint quit;
  application.installEventFilter(&quit);

  QWidget window;
  window.resize(451, 338);
  auto* button = new QPushButton(QStringLiteral("Exit"), &window);
  button->setGeometry(296, 280, 145, 28);
  window.show();
  return application.exec();
}
