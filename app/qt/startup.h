#pragma once

#include <memory>

#include "system/machine_names.h"
#include "upgrade/upgrade_run.h"

class Dialogs;
class Form1;

// Creates the window, runs its start-up and shows it. An error that escapes start-up is
// reported in a message box with its number and description; the window is then never shown,
// the result is empty and the program is to exit with a non-zero status.
std::unique_ptr<Form1> OpenMainWindow(kivo::RunEnvironment environment, Dialogs& dialogs,
                                      kivo::NameLookup names = {});
