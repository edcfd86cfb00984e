#include <exception>
#include <optional>
#include <string>

#include "app/form/layout.h"
#include "app/form/main_form.h"
#include "app/win32/main_window.h"
#include "base/utf8.h"
#include "system/dump_protection.h"
#include "system/environment.h"
#include "upgrade/upgrade_run.h"

namespace {

void ShowError(const std::string& text) {
  const std::u16string message = kivo::Utf8ToUtf16(text);
  const std::u16string title = kivo::Utf8ToUtf16(kivo::kApplicationTitle);
  MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(message.c_str()),
              reinterpret_cast<const wchar_t*>(title.c_str()), MB_OK);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  try {
    // Before the window takes a password (what holds on Windows: system/dump_protection.h).
    if (const std::optional<kivo::Error> failure = kivo::KeepOutOfDumps()) {
      ShowError("Error " + std::to_string(failure->number()) + ": " + failure->description());
      return 1;
    }
    kivo::win32::Form1 window(
        instance,
        kivo::DefaultRunEnvironment(
            kivo::EnvironmentVariable(std::string(kivo::kDriverOverrideVariable)).value_or("")));
    // An error that escapes start-up ends the program before the window is shown.
    if (const std::optional<std::string> failure = kivo::LoadForm(window.form())) {
      ShowError(*failure);
      return 1;
    }
    return window.run(showCommand);
  } catch (const std::exception& error) {
    ShowError(error.what());
    return 1;
  }
}
