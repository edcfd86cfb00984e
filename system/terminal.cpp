#include "system/terminal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#endif

namespace kivo {

#ifdef _WIN32

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

namespace {

HANDLE g_input = nullptr;
DWORD g_savedMode = 0;

// Runs on a thread of its own when Ctrl+C, Ctrl+Break or closing the console ends the process.
BOOL WINAPI RestoreOnControl(DWORD) {
  SetConsoleMode(g_input, g_savedMode);
  return FALSE;  // the next handler, in the end the default one, ends the process
}

}  // namespace

StandardInputEchoOff::StandardInputEchoOff() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
  g_input = input;
  g_savedMode = mode;
  SetConsoleCtrlHandler(RestoreOnControl, TRUE);
  if (!SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
    SetConsoleCtrlHandler(RestoreOnControl, FALSE);
    return;
  }
  active_ = true;
}

StandardInputEchoOff::~StandardInputEchoOff() {
  if (!active_) return;
  SetConsoleMode(g_input, g_savedMode);
  SetConsoleCtrlHandler(RestoreOnControl, FALSE);
}

#else

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

namespace {

// Those that end or stop the process by default; SIGKILL and SIGSTOP cannot be caught.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
constexpr std::size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

// Plain data for the handler, which may touch nothing else.
termios g_saved;
termios g_quiet;
struct sigaction g_previous[kSignalCount];
bool g_caught[kSignalCount];

void RestoreThenRaise(int signal) {
  const int savedErrno = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  std::size_t i = 0;
  while (i < kSignalCount && kSignals[i] != signal) ++i;
  // The signal again, as it would have come without us: the default ends or stops the process.
  struct sigaction ours;
  sigaction(signal, &g_previous[i], &ours);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  // Back here after a stop (or from a handler that returns): the password is still being typed.
  sigaction(signal, &ours, nullptr);
  tcsetattr(STDIN_FILENO, TCSANOW, &g_quiet);
  errno = savedErrno;
}

void RestoreHandlers() {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (g_caught[i]) sigaction(kSignals[i], &g_previous[i], nullptr);
    g_caught[i] = false;
  }
}

}  // namespace

StandardInputEchoOff::StandardInputEchoOff() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  g_quiet = g_saved;
  g_quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  // Handlers first: a signal that comes before the echo is off finds nothing to restore.
  struct sigaction restore {};
  restore.sa_handler = RestoreThenRaise;
  sigemptyset(&restore.sa_mask);
  for (const int signal : kSignals) sigaddset(&restore.sa_mask, signal);
  restore.sa_flags = SA_RESTART;  // the read of the password goes on after a stop
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &g_previous[i]);
    // What is ignored stays ignored, as under nohup or for a background job.
    if (g_previous[i].sa_handler == SIG_IGN) continue;
    g_caught[i] = sigaction(kSignals[i], &restore, nullptr) == 0;
  }
  // Flushing drops what was typed ahead while it was still echoed.
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_quiet) != 0) {
    RestoreHandlers();
    return;
  }
  active_ = true;
}

StandardInputEchoOff::~StandardInputEchoOff() {
  if (!active_) return;
  // A stop in between would turn the echo off again on continuing: signals wait until the
  // terminal and the handlers are both back, then take their usual course.
  sigset_t signals;
  sigset_t before;
  sigemptyset(&signals);
  for (const int signal : kSignals) sigaddset(&signals, signal);
  sigprocmask(SIG_BLOCK, &signals, &before);
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  RestoreHandlers();
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

#endif

}  // namespace kivo
