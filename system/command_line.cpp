#include "system/command_line.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>

#include "base/utf8.h"
#endif

namespace kivo {

#ifdef _WIN32

std::vector<std::string> CommandLineArguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) {
    const wchar_t* arg = wide[i];
    args.push_back(Utf16ToUtf8(std::u16string(arg, arg + std::wcslen(arg))));
  }
  LocalFree(wide);
  return args;
}

#else

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

#endif

}  // namespace kivo
