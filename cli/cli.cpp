#include "cli/cli.h"

#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>

#include "codec/error.h"
#include "codec/scrambled_value.h"
#include "upgrade/secret_mask.h"

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
    "  --help                     print this help\n"
    "\n"
    "exit status: 0 done, 1 failed, 2 bad usage\n";

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

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err) {
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
  return Usage(err, "unknown command '" + verb + "'");
}

}  // namespace kivo::cli
