#include "app/qt/startup.h"

#include <optional>
#include <string>
#include <utility>

#include "app/form/main_form.h"
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"

std::unique_ptr<Form1> OpenMainWindow(kivo::RunEnvironment environment, Dialogs& dialogs,
                                      kivo::NameLookup names) {
  auto window = std::make_unique<Form1>(std::move(environment), dialogs, std::move(names));
  if (const std::optional<std::string> failure = kivo::LoadForm(window->form())) {
    window.reset();
    dialogs.message(nullptr, QString::fromStdString(*failure));
    return nullptr;
  }
  window->show();
  return window;
}
