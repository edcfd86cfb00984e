// The companion at a terminal: the real binary on a pseudo-terminal of its own, typed at and
// signalled as a person would, reading a password and showing a run's progress. Every session
// is given 5 s, then killed.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/kivo_schema.h"
#include "tests/support/standin_process.h"
#include "tests/support/web_directory.h"
#include "upgrade/batches/upgrade_batches.h"

namespace kivo::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTyped = "Hidden!Pw-42";

// The terminal's first process stands in for a shell: it puts the companion into a process group
// of its own in the foreground, so that Ctrl+Z stops it as it would a job, and exits with the
// companion's status (128 + the signal for one that ended it).
class TerminalSession {
 public:
  explicit TerminalSession(const std::vector<std::string>& args)
      : deadline_(Clock::now() + std::chrono::seconds(5)) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    shell_ = fork();
    if (shell_ != 0) return;
    close(master_);
    if (login_tty(slave_) != 0) _exit(126);
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      sigset_t ttou;
      sigemptyset(&ttou);
      sigaddset(&ttou, SIGTTOU);
      sigprocmask(SIG_BLOCK, &ttou, nullptr);
      tcsetpgrp(STDIN_FILENO, getpid());
      sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }

  ~TerminalSession() {
    if (job_ > 0) kill(job_, SIGKILL);
    if (shell_ > 0) {
      kill(shell_, SIGKILL);
      waitpid(shell_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  bool started() const { return shell_ > 0; }

  // Reads what the terminal shows until `text` has appeared; false when it does not in time.
  bool waitForOutput(const std::string& text) {
    while (output_.find(text) == std::string::npos) {
      if (Clock::now() > deadline_) return false;
      readSome(100);
    }
    // The job in the foreground is the companion, known once it writes.
    if (job_ <= 0) job_ = tcgetpgrp(master_);
    return true;
  }

  // Waits until `condition` holds, reading meanwhile; false when it does not in time.
  bool waitUntil(const std::function<bool()>& condition) {
    while (!condition()) {
      if (Clock::now() > deadline_) return false;
      readSome(20);
    }
    return true;
  }

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  void signal(int number) { kill(job_, number); }

  bool echoing() const {
    termios settings{};
    return tcgetattr(slave_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  }
  bool jobStopped() const {
    std::ifstream stat("/proc/" + std::to_string(job_) + "/stat");
    const std::string line{std::istreambuf_iterator<char>(stat), {}};
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
  }

  // The exit status of the session, once it ended; -1 when it had to be killed.
  int finish() {
    int status = 0;
    if (!waitUntil([&] { return waitpid(shell_, &status, WNOHANG) == shell_; })) return -1;
    shell_ = job_ = -1;
    while (readSome(0)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& output() const { return output_; }

 private:
  bool readSome(int waitMilliseconds) {
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, waitMilliseconds) <= 0 || (ready.revents & POLLIN) == 0) return false;
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  Clock::time_point deadline_;
  int master_ = -1;
  int slave_ = -1;
  pid_t shell_ = -1;
  pid_t job_ = -1;
  std::string output_;
};

TEST(CliTerminal, APasswordTypedAtATerminalIsNotEchoedAndEchoComesBackOnEveryPath) {
  struct Case {
    const char* name;
    std::function<void(TerminalSession&)> act;
    int status;  // of the session: 0 for a dry run that read its configuration
  };
  const std::string password = std::string(kTyped) + "\r";
  const std::vector<Case> cases = {
      {"Enter", [&](TerminalSession& t) { t.type(password); }, 0},
      {"Ctrl+C", [](TerminalSession& t) { t.type("\x03"); }, 128 + SIGINT},
      {"SIGTERM", [](TerminalSession& t) { t.signal(SIGTERM); }, 128 + SIGTERM},
      {"SIGHUP", [](TerminalSession& t) { t.signal(SIGHUP); }, 128 + SIGHUP},
      {"Ctrl+Z, then fg and typing on",
       [&](TerminalSession& t) {
         t.type("\x1a");
         ASSERT_TRUE(t.waitUntil([&] { return t.jobStopped(); }));
         EXPECT_TRUE(t.echoing()) << "echo is back while the job is stopped";
         t.signal(SIGCONT);
         ASSERT_TRUE(t.waitUntil([&] { return !t.echoing(); }));
         t.type(password);
       },
       0},
  };
  testing::WebDirectory web;
  web.writeEntry("Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=KIVO;User ID=u");
  setenv("KIVO_ODBC_DRIVER", "FreeTDS", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalSession terminal({KIVO_CLI_BINARY, "run", "--web-dir", web.pathText(), "--sql-login",
                              "sa", "--password-stdin", "--dry-run"});
    ASSERT_TRUE(terminal.started());
    ASSERT_TRUE(terminal.waitForOutput("Password: ")) << terminal.output();
    EXPECT_FALSE(terminal.echoing());
    c.act(terminal);
    EXPECT_EQ(terminal.finish(), c.status) << terminal.output();
    EXPECT_TRUE(terminal.echoing());
    EXPECT_EQ(terminal.output().find("Hidden"), std::string::npos) << terminal.output();
    if (c.status == 0) {
      EXPECT_NE(terminal.output().find("logon: SQL login sa"), std::string::npos);
    }
  }
}

// What the terminal showed, with the line ends it adds (ONLCR) taken out again.
std::string Shown(const std::string& output) {
  std::string text;
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (output.compare(i, 2, "\r\n") != 0) text.push_back(output[i]);
  }
  return text;
}

TEST(CliTerminal, EachStatementShowsItsProgressAtATerminalAndNowhereElse) {
  testing::KivoSchema schema;
  schema.indexedColumn = "MD.Customer.Address";  // fails batch 4, so the run rolls back
  testing::StandIn server(schema.scenarioJson());
  testing::WebDirectory web;
  web.writeEntry(testing::KivoConnectionValue(server.port()));
  setenv("KIVO_ODBC_DRIVER", "FreeTDS", 1);
  setenv("KIVO_TERMINAL_PW", schema.password.c_str(), 1);
  const std::string file = web.pathText() + ".stream";
  // One of the companion's streams goes to the file, the other to the terminal.
  auto run = [&](const std::string& redirect) {
    TerminalSession terminal({"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect + "'" + file + "'",
                              KIVO_CLI_BINARY, "run", "--web-dir", web.pathText(), "--sql-login",
                              schema.login, "--password-env", "KIVO_TERMINAL_PW", "--atomic"});
    EXPECT_TRUE(terminal.started());
    EXPECT_EQ(terminal.finish(), 1) << terminal.output();
    return Shown(terminal.output());
  };
  const std::string progress = run(">");
  const std::string out = testing::ReadFile(file);
  const std::string terminalOut = run("2>");
  const std::string err = testing::ReadFile(file);
  std::remove(file.c_str());

  int n = 0;
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    for (const AlteredColumn& c : batch.altered) {
      const std::string step =
          "[" + std::to_string(++n) + "/20] " + c.schema + "." + c.table + "." + c.column;
      const bool fails = c.table == "Customer" && c.column == "Address" && c.schema == "MD";
      EXPECT_NE(progress.find(step + " ...\r" + step +
                              (fails ? " failed (error 5074) in " : " done in ")),
                std::string::npos)
          << step << "\n"
          << progress;
    }
  }
  EXPECT_NE(progress.find("BEGIN TRANSACTION ...\rBEGIN TRANSACTION done in "), std::string::npos);
  EXPECT_NE(progress.find("\rROLLBACK TRANSACTION done in "), std::string::npos) << progress;
  EXPECT_NE(progress.find(" ms\nmessage: Update NOT successful. Contact Admin!\n"),
            std::string::npos);
  // Standard output is the same either way, and standard error off the terminal gets nothing
  // more than it always did.
  EXPECT_EQ(out, terminalOut);
  EXPECT_NE(out.find("\nrolled back: the database is as it was\n"), std::string::npos) << out;
  EXPECT_TRUE(err.starts_with("message: Update NOT successful. Contact Admin!\n")) << err;
  EXPECT_EQ(err.find(" ms\n"), std::string::npos) << err;
}

}  // namespace
}  // namespace kivo::cli
