#include "app/startup.h"

#include <utility>

#include "app/dialogs.h"
#include "app/main_window.h"

std::unique_ptr<Form1> OpenMainWindow(kivo::RunEnvironment environment, Dialogs& dialogs,
                                      kivo::NameLookup names) {
  auto window = std::make_unique<Form1>(std::move(environment), dialogs, std::move(names));
  try {
    window->Form_Load();
  } catch (const kivo::Error& error) {
    window.reset();
    dialogs.message(nullptr, ErrorText(error));
    return nullptr;
  }
  window->show();
  return window;
}
