#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/secure_wipe.h"
#include "base/visible_text.h"
#include "cli/check_report.h"
#include "cli/hints.h"
#include "cli/json_report.h"
#include "cli/version.h"
#include "codec/scrambled_value.h"
#include "system/console.h"
#include "system/environment.h"
#include "system/machine_names.h"
#include "system/terminal.h"
#include "upgrade/batches/upgrade_batches.h"
#include "upgrade/connection/connection_settings.h"
#include "upgrade/connection/odbc_connection_string.h"
#include "upgrade/connection/secret_mask.h"
#include "upgrade/run_texts.h"

namespace kivo::cli {
namespace {

// Every line for people leaves through here. Server messages, catalog names and web.config's
// values are untrusted: nothing in them may drive the terminal or make a line read otherwise.
void WriteLine(std::ostream& to, std::string_view text, LineEnds lineEnds = LineEnds::kEscape) {
  to << VisibleText(text, lineEnds) << '\n';
}

// The whole of standard input less one trailing line end, which is not part of the value.
std::string ReadArgument(std::istream& in) {
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (text.ends_with("\r\n")) {
    text.resize(text.size() - 2);
  } else if (text.ends_with('\n')) {
    text.pop_back();
  }
  return text;
}

constexpr std::size_t kPasswordRoom = 1024;

// The first line of `in`. Typed at a terminal it is not echoed, as other database clients do;
// from a pipe it is read as it stands.
std::string ReadPasswordLine(std::istream& in, std::ostream& err) {
  std::optional<StandardInputEchoOff> quiet;
  if (&in == &std::cin) quiet.emplace();
  const bool typed = quiet && quiet->active();
  if (typed) err << "Password: " << std::flush;
  std::string password;
  // Room enough up front that getline never moves it, leaving pieces in freed memory.
  password.reserve(kPasswordRoom);
  std::getline(in, password);
  if (typed) err << "\n" << std::flush;  // the Enter was not echoed either
  if (password.ends_with('\r')) password.pop_back();
  return password;
}

int CodecFailure(std::ostream& err, const Error& e) {
  WriteLine(err, "error " + std::to_string(e.number()) + ": " + e.description());
  return kExitFailure;
}

struct RunOptions {
  std::string webDirectory = std::string(kDefaultWebDirectory);
  std::optional<std::string> login;
  std::optional<std::string> passwordVariable;
  bool passwordFromStdin = false;
  int statementTimeout = 30;
  std::optional<int> lockTimeout;  // run only
  bool dryRun = false;
  bool json = false;
  bool checkFirst = false;
  bool atomic = false;
  bool requireEncryption = false;
  bool scanData = false;  // check only
  bool strict = false;    // check only
};

// The window's part in the run, played on standard output and standard error.
class ConsoleHost : public RunHost {
 public:
  ConsoleHost(const RunOptions& options, std::string password, std::ostream& out, std::ostream& err,
              bool progress = false)
      : options_(options),
        password_(std::move(password)),
        out_(out),
        err_(err),
        progress_(progress) {}
  ~ConsoleHost() override { SecureWipe(password_); }
  ConsoleHost(const ConsoleHost&) = delete;
  ConsoleHost& operator=(const ConsoleHost&) = delete;

  std::string clientCode() override { return std::string(kDefaultClientCode); }
  std::string dataDirectory() override { return std::string(kDefaultDataDirectory); }
  std::string webDirectory() override { return options_.webDirectory; }
  bool sqlLoginSelected() override { return options_.login.has_value(); }
  std::string sqlLogin() override { return options_.login.value_or(""); }
  std::string sqlPassword() override { return password_; }

  void addStatus(std::string_view message) override {
    transcript.statusLines.emplace_back(message);
    if (options_.json) return;
    // The run's CR LF pairs, its own and those joining a server's records, are line ends; a
    // lone CR or LF can only be a server's, and would overwrite or forge a line.
    WriteLine(out_, message, LineEnds::kKeepCrLf);
    out_ << std::flush;
  }
  void showMessage(std::string_view text) override {
    transcript.messages.emplace_back(text);
    if (options_.json) return;
    if (text.ends_with("\r\n")) text.remove_suffix(2);
    WriteLine(err_, "message: " + std::string(text));
    err_ << std::flush;
  }
  void setBusy(bool) override {}
  void prepareStatusBox(int) override {}
  void enableExit() override {}

  // With progress, a line on standard error for each statement, ended by its outcome and time
  // when it ends. It names only what the run itself knows, never the server's text.
  void statementStarted(const StatementStep& step) override {
    if (progress_) err_ << StepName(step) << " ..." << std::flush;
  }
  void statementEnded(const StatementStep& step, const StatementOutcome& outcome) override {
    if (!progress_) return;
    err_ << "\r" << StepName(step);
    if (outcome.succeeded) {
      err_ << " done";
    } else {
      err_ << " failed (error " << (outcome.error ? outcome.error->number() : 0) << ")";
    }
    err_ << " in " << outcome.duration.count() << " ms\n" << std::flush;
  }

  RunTranscript transcript;

 private:
  const RunOptions& options_;
  std::string password_;
  std::ostream& out_;
  std::ostream& err_;
  bool progress_;

  static std::string StepName(const StatementStep& step) {
    if (step.number == 0) return step.label;
    return "[" + std::to_string(step.number) + "/" + std::to_string(step.count) + "] " + step.label;
  }
};

int ExitStatusOf(RunEnd end) {
  switch (end) {
    case RunEnd::kRefused:
      return kExitRefused;
    case RunEnd::kFailed:
      return kExitFailure;
    default:
      return kExitSuccess;
  }
}

void PrintPlan(const RunReport& report, std::ostream& out) {
  const ConnectionTarget& t = *report.target;
  WriteLine(out, "driver: " + (t.passThrough ? "(named by the connection value)" : t.driver));
  WriteLine(out, "server: " + t.server + (t.port.empty() ? "" : "," + t.port));
  WriteLine(out, "database: " + (t.database.empty() ? "(the login's default)" : t.database));
  WriteLine(out, "logon: " + (t.logon.mode == LogonMode::kSqlLogin
                                  ? "SQL login " + t.logon.login
                                  : std::string("current user (integrated)")));
  WriteLine(out, "connection string: " + report.displayConnectionString);
  try {
    WriteLine(out, "ODBC connection string: " + MaskedOdbcConnectionString(t));
  } catch (const Error& e) {
    WriteLine(out, "ODBC connection string: cannot be built: " + e.description());
  }
  for (const std::string& setting : report.sessionSettings) WriteLine(out, "session: " + setting);
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    WriteLine(out, "batch " + std::to_string(batch.number) + ": " + batch.text());
    if (batch.history) WriteLine(out, "  if missing: " + batch.history->statement);
  }
}

// A mistake in the command line: reported in one line, exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int Usage(std::ostream& err, const std::string& problem) {
  WriteLine(err, "kivo-dbupdate-cli: " + problem);
  err << "Run with --help for more information.\n";
  return kExitUsage;
}

// Checks what CLI11 cannot express: a password goes with a login and comes from one place.
void CheckLogon(const RunOptions& options) {
  if ((options.passwordVariable || options.passwordFromStdin) && !options.login)
    throw UsageError("a password goes with --sql-login");
  if (options.passwordVariable && options.passwordFromStdin)
    throw UsageError("--password-env and --password-stdin exclude each other");
  if (options.login && !options.passwordVariable && !options.passwordFromStdin)
    throw UsageError("--sql-login needs --password-env VAR or --password-stdin");
}

// The SQL login's password from where the options say; nullopt after a usage error.
std::optional<std::string> ReadPassword(const RunOptions& options, std::istream& in,
                                        std::ostream& err) {
  std::string password;
  if (options.passwordVariable) {
    std::optional<std::string> value = EnvironmentVariable(*options.passwordVariable);
    if (!value) {
      Usage(err, "environment variable " + *options.passwordVariable + " is not set");
      return std::nullopt;
    }
    password = std::move(*value);
  } else if (options.passwordFromStdin) {
    password = ReadPasswordLine(in, err);
  }
  return password;
}

std::string ComputerName() {
  try {
    return GetTheComputerName();
  } catch (const Error&) {
    return {};  // a report without the host's name is still worth having
  }
}

int CheckVerb(const RunOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
              RunEnvironment environment) {
  auto password = ReadPassword(options, in, err);
  if (!password) return kExitUsage;
  environment.statementTimeoutSeconds = options.statementTimeout;
  environment.requireEncryption = options.requireEncryption;
  ConsoleHost host(options, std::move(*password), out, err);
  PreflightOptions checkOptions;
  checkOptions.scanData = options.scanData;
  const CheckReport report = RunCheck(RequestFrom(host), environment, checkOptions);
  int status = kExitFailure;
  if (report.end == CheckEnd::kRefused) {
    status = kExitRefused;
  } else if (report.end == CheckEnd::kChecked && report.preflight.passed(options.strict)) {
    status = kExitSuccess;
  }
  CheckTranscript transcript;
  transcript.computer = ComputerName();
  transcript.webDirectory = options.webDirectory;
  transcript.strict = options.strict;
  transcript.scanData = options.scanData;
  transcript.exitStatus = status;
  // The check connects as the run does, so a refusal or a failure to connect has the same causes.
  RunReport asRun;
  asRun.end = report.end == CheckEnd::kRefused  ? RunEnd::kRefused
              : report.end == CheckEnd::kFailed ? RunEnd::kFailed
                                                : RunEnd::kSucceeded;
  asRun.target = report.target;
  asRun.failure = report.failure;
  asRun.openErrors = report.refusal;
  transcript.hint = HintFor(asRun, options.webDirectory);
  if (options.json) {
    out << JsonCheckReport(report, transcript);
  } else if (report.end == CheckEnd::kChecked) {
    for (const std::string& line : TextCheckReport(report, transcript)) WriteLine(out, line);
  } else if (report.failure) {
    WriteLine(err, (report.end == CheckEnd::kRefused ? "refused: " : "error: ") +
                       report.failure->description());
    if (!transcript.hint.empty()) WriteLine(err, "hint: " + transcript.hint);
  }
  return status;
}

int RunVerb(const RunOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
            RunEnvironment environment) {
  auto password = ReadPassword(options, in, err);
  if (!password) return kExitUsage;
  environment.statementTimeoutSeconds = options.statementTimeout;
  environment.dryRun = options.dryRun;
  environment.checkFirst = options.checkFirst;
  environment.lockTimeoutSeconds = options.lockTimeout;
  environment.atomic = options.atomic;
  environment.requireEncryption = options.requireEncryption;

  // Progress is for a person at a terminal; a file or a pipe gets exactly what it always did.
  const bool progress = &err == &ConsoleError() && StandardErrorIsTerminal();
  ConsoleHost host(options, std::move(*password), out, err, progress);
  const RunReport report = RunUpgrade(host, environment);
  const int status = ExitStatusOf(report.end);
  const std::string hint = HintFor(report, options.webDirectory);
  if (options.json) {
    host.transcript.computer = ComputerName();
    host.transcript.webDirectory = options.webDirectory;
    host.transcript.exitStatus = status;
    host.transcript.hint = hint;
    out << JsonReport(report, host.transcript);
  } else {
    if (report.end == RunEnd::kPrepared) PrintPlan(report, out);
    if (!hint.empty()) WriteLine(err, "hint: " + hint);
  }
  return status;
}

int CodecVerb(bool decode, bool reveal, const std::optional<std::string>& argument,
              std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string text = argument ? *argument : ReadArgument(in);
  try {
    if (decode) {
      const std::string plain = DecodeValue(text);
      out << (reveal ? plain : MaskPasswords(plain)) << "\n";
    } else {
      out << EncodeValue(text) << "\n";
    }
  } catch (const Error& e) {
    return CodecFailure(err, e);
  }
  return kExitSuccess;
}

constexpr const char* kExitStatuses =
    "Exit status: 0 done (success verdict, or a dry run that read its configuration),\n"
    "1 failed (failure verdict or codec error), 2 bad usage, 3 connection refused by the "
    "server.\nRun 'kivo-dbupdate-cli COMMAND --help' for a command's options.";
constexpr const char* kRunExitStatuses =
    "Exit status: 0 success verdict (or a dry run that read its configuration), 1 failure\n"
    "verdict, 2 bad usage, 3 connection refused by the server. When a run fails, a line\n"
    "\"hint: ...\" on standard error names the likely cause.";
constexpr const char* kCheckExitStatuses =
    "Exit status: 0 no blocker and nothing unknown (with --strict, no warning either), 1 a\n"
    "blocker, something the login may not read, a warning under --strict, or no check at all,\n"
    "2 bad usage, 3 connection refused by the server.";
constexpr const char* kCodecExitStatuses =
    "Exit status: 0 done, 1 codec error (\"error N: DESCRIPTION\" on standard error),\n"
    "2 bad usage.";

// A whole number of seconds, 0 or more.
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
      int seconds = -1;
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (ec != std::errc() || end != text.data() + text.size() || seconds < 0)
        return "takes a whole number of seconds, 0 or more";
      return {};
    },
    "", "SECONDS");

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err) {
  return RunCommandLine(
      args, in, out, err,
      DefaultRunEnvironment(
          EnvironmentVariable(std::string(kDriverOverrideVariable)).value_or("")));
}

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err, const RunEnvironment& environment) {
  CLI::App app(
      "Upgrades the Kivo web application's database without a window, and reads and writes\n"
      "the scrambled connection value of the CAYUSR entry in its web.config.",
      "kivo-dbupdate-cli");
  app.set_version_flag("--version", "kivo-dbupdate-cli " + std::string(kVersion));
  app.footer(kExitStatuses);

  bool reveal = false;
  std::optional<std::string> argument;
  auto* decode = app.add_subcommand(
      "decode", "Print the text of a scrambled value (passwords as **** unless --reveal).");
  decode->add_flag("--reveal", reveal, "show passwords as they are");
  decode->add_option("VALUE", argument, "the scrambled value; standard input when absent");
  decode->footer(kCodecExitStatuses);

  auto* encode =
      app.add_subcommand("encode", "Print a scrambled value for a text, for a new CAYUSR entry.");
  encode->add_option("TEXT", argument, "the text; standard input when absent");
  encode->footer(kCodecExitStatuses);

  RunOptions options;
  // One mode so far; it takes a value so that a stricter one can follow without a new option.
  auto addEncrypt = [&options](CLI::App* verb) {
    verb->add_option_function<std::string>(
            "--encrypt", [&options](const std::string&) { options.requireEncryption = true; },
            "require: the driver refuses a server that will not encrypt the connection, before "
            "the login is sent")
        ->check(CLI::IsMember({"require"}))
        ->type_name("MODE");
  };
  auto* run = app.add_subcommand("run", "Upgrade the database named by DIR/web.config.");
  run->add_option("--web-dir", options.webDirectory, "the web directory")
      ->type_name("DIR")
      ->capture_default_str();
  run->add_option("--sql-login", options.login,
                  "log on with this SQL login instead of the current user")
      ->type_name("NAME");
  run->add_option("--password-env", options.passwordVariable,
                  "the SQL login's password, from environment variable VAR")
      ->type_name("VAR");
  run->add_flag("--password-stdin", options.passwordFromStdin,
                "the SQL login's password, from the first line of standard input");
  run->add_option("--statement-timeout", options.statementTimeout,
                  "seconds each statement may take, 0 for no limit")
      ->check(kSeconds)
      ->type_name("SECONDS")
      ->capture_default_str();
  run->add_option("--lock-timeout", options.lockTimeout,
                  "seconds an ALTER waits for a table another session holds, then fails; "
                  "default: as long as the statement timeout allows")
      ->check(kSeconds & CLI::Range(0, kMaxLockTimeoutSeconds))
      ->type_name("SECONDS");
  addEncrypt(run);
  run->add_flag("--dry-run", options.dryRun,
                "read the configuration and show what would be done; connect to nothing");
  run->add_flag("--json", options.json, "report the run as one JSON document on standard output");
  run->add_flag("--check-first", options.checkFirst,
                "run the check first and alter nothing when it finds a blocker or cannot read "
                "what it needs");
  run->add_flag("--atomic", options.atomic,
                "all or nothing: run the batches in one transaction, committed only with the "
                "success verdict and otherwise rolled back");
  // Taken only to be refused with the reason.
  auto* password = run->add_option("--password")->expected(0, 1)->group("");
  run->footer(kRunExitStatuses);

  auto* check = app.add_subcommand(
      "check",
      "Tell, column by column, what run would do to the database named by DIR/web.config; "
      "sends only SELECT statements.");
  check->add_option("--web-dir", options.webDirectory, "the web directory")
      ->type_name("DIR")
      ->capture_default_str();
  check
      ->add_option("--sql-login", options.login,
                   "log on with this SQL login instead of the current user")
      ->type_name("NAME");
  check
      ->add_option("--password-env", options.passwordVariable,
                   "the SQL login's password, from environment variable VAR")
      ->type_name("VAR");
  check->add_flag("--password-stdin", options.passwordFromStdin,
                  "the SQL login's password, from the first line of standard input");
  check
      ->add_option("--statement-timeout", options.statementTimeout,
                   "seconds each query may take, 0 for no limit")
      ->check(kSeconds)
      ->type_name("SECONDS")
      ->capture_default_str();
  addEncrypt(check);
  check->add_flag("--json", options.json,
                  "report the findings as one JSON document on standard output");
  check->add_flag("--scan-data", options.scanData,
                  "count the values that would not fit in nvarchar(250) (reads every row of "
                  "those tables once)");
  check->add_flag("--strict", options.strict, "warnings and unknowns fail the check too");
  auto* checkPassword = check->add_option("--password")->expected(0, 1)->group("");
  check->footer(kCheckExitStatuses);

  // An option given twice is a slip of the keyboard or of a script: say so rather than guess.
  for (CLI::App* verb : {decode, encode, run, check}) {
    for (CLI::Option* option : verb->get_options()) {
      option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }
  }

  try {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
    if (*password || *checkPassword) {
      throw UsageError(
          "passwords are not taken on the command line, where other users can read them; use "
          "--password-env VAR or --password-stdin");
    }
    if (*run || *check) CheckLogon(options);
  } catch (const CLI::CallForHelp&) {
    out << app.help();  // the verb's own help when a verb was given
    return kExitSuccess;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << "\n";
    return kExitSuccess;
  } catch (const CLI::ParseError& e) {
    return Usage(err, e.what());
  } catch (const UsageError& e) {
    return Usage(err, e.what());
  }

  if (*decode) return CodecVerb(true, reveal, argument, in, out, err);
  if (*encode) return CodecVerb(false, false, argument, in, out, err);
  if (*run) return RunVerb(options, in, out, err, environment);
  if (*check) return CheckVerb(options, in, out, err, environment);
  return Usage(err, "no command given: decode, encode, run or check");
}

}  // namespace kivo::cli
