#pragma once

namespace kivo {

// Whether standard error is a terminal (a console on Windows), where a person watches it.
bool StandardErrorIsTerminal();

// While it lives, nothing typed on standard input is echoed, when standard input is a terminal
// (a console on Windows); otherwise it does nothing, so a pipe is read as it stands. The
// terminal's own settings come back when it ends, and also when the process is interrupted,
// hung up on, ended or stopped meanwhile: the signal then takes its usual course with the
// settings restored (after a stop, typing goes on unechoed). One at a time per process.
class StandardInputEchoOff {
 public:
  StandardInputEchoOff();
  ~StandardInputEchoOff();
  StandardInputEchoOff(const StandardInputEchoOff&) = delete;
  StandardInputEchoOff& operator=(const StandardInputEchoOff&) = delete;

  // Whether echo was turned off, that is, whether standard input is a terminal.
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

}  // namespace kivo
