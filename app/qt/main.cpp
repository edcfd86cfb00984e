#include <QApplication>
#include <optional>
#include <string>

#include "app/form/layout.h"
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "app/qt/startup.h"
#include "system/dump_protection.h"
#include "system/environment.h"
#include "upgrade/upgrade_run.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  // Not the display name: Qt would append that to the window's caption.
  QApplication::setApplicationName(QString::fromUtf8(kivo::kApplicationTitle));

  QtDialogs dialogs;
  // Before the window takes a password.
  if (const std::optional<kivo::Error> failure = kivo::KeepOutOfDumps()) {
    dialogs.message(nullptr, QString::fromStdString("Error " + std::to_string(failure->number()) +
                                                    ": " + failure->description()));
    return 1;
  }
  std::unique_ptr<Form1> window = OpenMainWindow(
      kivo::DefaultRunEnvironment(
          kivo::EnvironmentVariable(std::string(kivo::kDriverOverrideVariable)).value_or("")),
      dialogs);
  if (!window) return 1;
  return application.exec();
}
