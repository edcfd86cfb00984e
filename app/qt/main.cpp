#include <QApplication>

#include "app/form/layout.h"
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "app/qt/startup.h"
#include "system/environment.h"
#include "upgrade/upgrade_run.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  // Not the display name: Qt would append that to the window's caption.
  QApplication::setApplicationName(QString::fromUtf8(kivo::kApplicationTitle));

  QtDialogs dialogs;
  std::unique_ptr<Form1> window = OpenMainWindow(
      kivo::DefaultRunEnvironment(
          kivo::EnvironmentVariable(std::string(kivo::kDriverOverrideVariable)).value_or("")),
      dialogs);
  if (!window) return 1;
  return application.exec();
}
