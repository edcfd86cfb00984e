// The program's start-up as main.cpp wires it, up to the window's first paint.
#include <QApplication>
#include <memory>

#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "app/qt/startup.h"
#include "bench/first_paint.h"
#include "system/environment.h"
#include "upgrade/upgrade_run.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Kivo DB Update"));
  QuitOnFirstPaint quit;
  application.installEventFilter(&quit);

  QtDialogs dialogs;
  std::unique_ptr<Form1> window = OpenMainWindow(
      kivo::DefaultRunEnvironment(
          kivo::EnvironmentVariable(std::string(kivo::kDriverOverrideVariable)).value_or("")),
      dialogs);
  if (!window) return 1;
  return application.exec();
}
