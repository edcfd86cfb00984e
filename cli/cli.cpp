#include "cli/cli.h"

#include <charconv>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>

#include "base/error.h"
#include "cli/json_report.h"
#include "codec/scrambled_value.h"
#include "system/environment.h"
#include "system/machine_names.h"
#include "upgrade/connection_settings.h"
#include "upgrade/odbc_connection_string.h"
#include "upgrade/run_texts.h"
#include "upgrade/secret_mask.h"
#include "upgrade/upgrade_batches.h"

namespace kivo::cli {
namespace {

constexpr const char* kUsage =
    "usage: kivo-dbupdate-cli COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  decode [--reveal] [VALUE]  print the text of a scrambled value (standard input when\n"
    "                             VALUE is absent); passwords are shown as **** unless\n"
    "                             --reveal is given\n"
    "  encode [TEXT]              print a scrambled value for TEXT (standard input when TEXT\n"
    "                             is absent), for writing a new CAYUSR entry\n"
    "  run [OPTIONS]              upgrade the database named by DIR/web.config\n"
    "      --web-dir DIR          the web directory (default C:\\Inetpub\\wwwroot)\n"
    "      --sql-login NAME       log on with this SQL login instead of the current user\n"
    "      --password-env VAR     the SQL login's password, from environment variable VAR\n"
    "      --password-stdin       the SQL login's password, from the first line of standard input\n"
    "      --statement-timeout S  seconds each statement may take, 0 for no limit (default 30)\n"
    "      --dry-run              read the configuration and show what would be done; connect\n"
    "                             to nothing\n"
    "      --json                 report the run as one JSON document on standard output\n"
    "  --help                     print this help\n"
    "\n"
    "exit status: 0 done (success verdict), 1 failed (failure verdict or codec error),\n"
    "2 bad usage, 3 connection refused by the server\n";

int Usage(std::ostream& err, const std::string& problem) {
  err << "kivo-dbupdate-cli: " << problem << "\n\n" << kUsage;
  return kExitUsage;
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

struct CodecCommand {
  bool reveal = false;
  std::optional<std::string> argument;
};

std::optional<CodecCommand> ParseCodecCommand(const std::vector<std::string>& args,
                                              bool allowReveal, std::string& problem) {
  CodecCommand command;
  bool endOfOptions = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!endOfOptions && a == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && allowReveal && a == "--reveal") {
      command.reveal = true;
    } else if (!endOfOptions && a.size() > 1 && a.starts_with("-")) {
      problem = "unknown option '" + a + "' for " + args[0];
      return std::nullopt;
    } else if (command.argument) {
      problem = "too many arguments for " + args[0];
      return std::nullopt;
    } else {
      command.argument = a;
    }
  }
  return command;
}

int CodecFailure(std::ostream& err, const Error& e) {
  err << "error " << e.number() << ": " << e.description() << "\n";
  return kExitFailure;
}

// The window's initial texts, which the run reads where the window has hidden boxes.
constexpr const char* kDefaultWebDirectory = "C:\\Inetpub\\wwwroot";
constexpr const char* kDataDirectory = "D:\\ZEP";

struct RunOptions {
  std::string webDirectory = kDefaultWebDirectory;
  std::optional<std::string> login;
  std::optional<std::string> passwordVariable;
  bool passwordFromStdin = false;
  int statementTimeout = 30;
  bool dryRun = false;
  bool json = false;
};

std::optional<RunOptions> ParseRunOptions(const std::vector<std::string>& args,
                                          std::string& problem) {
  RunOptions options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto operand = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        problem = "option '" + a + "' needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    if (a == "--web-dir") {
      auto v = operand();
      if (!v) return std::nullopt;
      options.webDirectory = *v;
    } else if (a == "--sql-login") {
      auto v = operand();
      if (!v) return std::nullopt;
      options.login = *v;
    } else if (a == "--password-env") {
      auto v = operand();
      if (!v) return std::nullopt;
      options.passwordVariable = *v;
    } else if (a == "--password-stdin") {
      options.passwordFromStdin = true;
    } else if (a == "--statement-timeout") {
      auto v = operand();
      if (!v) return std::nullopt;
      int seconds = -1;
      const auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), seconds);
      if (ec != std::errc() || end != v->data() + v->size() || seconds < 0) {
        problem = "--statement-timeout takes a whole number of seconds, 0 or more";
        return std::nullopt;
      }
      options.statementTimeout = seconds;
    } else if (a == "--dry-run") {
      options.dryRun = true;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--password") {
      problem =
          "passwords are not taken on the command line, where other users can read them; "
          "use --password-env VAR or --password-stdin";
      return std::nullopt;
    } else {
      problem = "unknown option '" + a + "' for run";
      return std::nullopt;
    }
  }
  if ((options.passwordVariable || options.passwordFromStdin) && !options.login) {
    problem = "a password goes with --sql-login";
    return std::nullopt;
  }
  if (options.passwordVariable && options.passwordFromStdin) {
    problem = "--password-env and --password-stdin exclude each other";
    return std::nullopt;
  }
  if (options.login && !options.passwordVariable && !options.passwordFromStdin) {
    problem = "--sql-login needs --password-env VAR or --password-stdin";
    return std::nullopt;
  }
  return options;
}

// The window's part in the run, played on standard output and standard error.
class ConsoleHost : public RunHost {
 public:
  ConsoleHost(const RunOptions& options, std::string password, std::ostream& out, std::ostream& err)
      : options_(options), password_(std::move(password)), out_(out), err_(err) {}

  std::string clientCode() override { return std::string(kDefaultClientCode); }
  std::string dataDirectory() override { return kDataDirectory; }
  std::string webDirectory() override { return options_.webDirectory; }
  bool sqlLoginSelected() override { return options_.login.has_value(); }
  std::string sqlLogin() override { return options_.login.value_or(""); }
  std::string sqlPassword() override { return password_; }

  void addStatus(std::string_view message) override {
    transcript.statusLines.emplace_back(message);
    if (options_.json) return;
    // CR LF becomes the platform's line end; a lone CR stays as the box would keep it.
    std::string text;
    text.reserve(message.size() + 1);
    for (std::size_t i = 0; i < message.size(); ++i) {
      if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
      text.push_back(message[i]);
    }
    out_ << text << "\n" << std::flush;
  }
  void showMessage(std::string_view text) override {
    transcript.messages.emplace_back(text);
    if (options_.json) return;
    if (text.ends_with("\r\n")) text.remove_suffix(2);
    err_ << "message: " << text << "\n" << std::flush;
  }
  void setBusy(bool) override {}
  void prepareStatusBox(int) override {}
  void enableExit() override {}

  RunTranscript transcript;

 private:
  const RunOptions& options_;
  std::string password_;
  std::ostream& out_;
  std::ostream& err_;
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
  out << "driver: " << (t.passThrough ? "(named by the connection value)" : t.driver) << "\n"
      << "server: " << t.server << (t.port.empty() ? "" : "," + t.port) << "\n"
      << "database: " << (t.database.empty() ? "(the login's default)" : t.database) << "\n"
      << "logon: "
      << (t.logon.mode == LogonMode::kSqlLogin ? "SQL login " + t.logon.login
                                               : std::string("current user (integrated)"))
      << "\n"
      << "connection string: " << report.displayConnectionString << "\n";
  try {
    out << "ODBC connection string: " << MaskedOdbcConnectionString(t) << "\n";
  } catch (const Error& e) {
    out << "ODBC connection string: cannot be built: " << e.description() << "\n";
  }
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    out << "batch " << batch.number << ": " << batch.text() << "\n";
    if (batch.history) out << "  if missing: " << batch.history->statement << "\n";
  }
}

int RunVerb(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err, RunEnvironment environment) {
  std::string problem;
  const auto options = ParseRunOptions(args, problem);
  if (!options) return Usage(err, problem);
  std::string password;
  if (options->passwordVariable) {
    std::optional<std::string> value = EnvironmentVariable(*options->passwordVariable);
    if (!value)
      return Usage(err, "environment variable " + *options->passwordVariable + " is not set");
    password = std::move(*value);
  } else if (options->passwordFromStdin) {
    std::getline(in, password);
    if (password.ends_with('\r')) password.pop_back();
  }
  environment.statementTimeoutSeconds = options->statementTimeout;
  environment.dryRun = options->dryRun;

  ConsoleHost host(*options, std::move(password), out, err);
  const RunReport report = RunUpgrade(host, environment);
  const int status = ExitStatusOf(report.end);
  if (options->json) {
    try {
      host.transcript.computer = GetTheComputerName();
    } catch (const Error&) {
      // A report without the host's name is still worth having.
    }
    host.transcript.webDirectory = options->webDirectory;
    host.transcript.exitStatus = status;
    out << JsonReport(report, host.transcript);
  } else if (report.end == RunEnd::kPrepared) {
    PrintPlan(report, out);
  }
  return status;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err) {
  return RunCommandLine(args, in, out, err, DefaultRunEnvironment());
}

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err, const RunEnvironment& environment) {
  if (args.empty()) return Usage(err, "no command given");
  const std::string& verb = args[0];
  if (verb == "--help" || verb == "-h" || verb == "help") {
    out << kUsage;
    return kExitSuccess;
  }
  if (verb == "decode" || verb == "encode") {
    std::string problem;
    const auto command = ParseCodecCommand(args, verb == "decode", problem);
    if (!command) return Usage(err, problem);
    const std::string argument = command->argument ? *command->argument : ReadArgument(in);
    try {
      if (verb == "decode") {
        const std::string text = DecodeValue(argument);
        out << (command->reveal ? text : MaskPasswords(text)) << "\n";
      } else {
        out << EncodeValue(argument) << "\n";
      }
    } catch (const Error& e) {
      return CodecFailure(err, e);
    }
    return kExitSuccess;
  }
  if (verb == "run") return RunVerb(args, in, out, err, environment);
  return Usage(err, "unknown command '" + verb + "'");
}

}  // namespace kivo::cli
