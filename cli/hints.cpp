#include "cli/hints.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "codec/scrambled_value.h"
#include "upgrade/connection/connection_settings.h"
#include "upgrade/connection/connection_translation.h"

namespace kivo::cli {
namespace {

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The configuration phase stopped: read web.config again to say which of its steps did.
std::string ConfigurationHint(const std::string& webDirectory) {
  const std::string path = WebConfigPath(NormaliseWebDirectory(webDirectory));
  std::string configuration;
  try {
    configuration = ReadConfigurationFile(path);
  } catch (const Error& e) {
    if (e.number() == kFileNotFound || e.number() == kPathNotFound) {
      return "there is no " + path +
             ": give the web application's directory, the one that holds its web.config, "
             "with --web-dir";
    }
    return "";
  }
  if (!Contains(configuration, kKeyMarker)) {
    if (Contains(configuration, "CAYUSR")) {
      return "the CAYUSR entry in " + path +
             " is not written in its literal form <add key=\"CAYUSR\" value=\"DIGITS\" />; "
             "the entry is found by that exact text, so spacing, quotes and the order of key "
             "and value must be as shown";
    }
    return path +
           " has no key=\"CAYUSR\" value= entry: check that --web-dir names the Kivo "
           "web application's directory";
  }
  std::string_view value;
  try {
    value = ScrambledValueIn(configuration);
  } catch (const Error&) {
    return "the CAYUSR entry in " + path +
           " does not end in \" />\" as its literal form <add key=\"CAYUSR\" "
           "value=\"DIGITS\" /> requires";
  }
  try {
    DecodeValue(value);
  } catch (const Error&) {
    return "the value of the CAYUSR entry in " + path +
           " is not a scrambled value this program can read: it may have been edited by hand; "
           "write a new one with kivo-dbupdate-cli encode";
  }
  return "";
}

// "at HOST, port N", or where a connection value in the driver's own items points.
std::string WhereTheServerIs(const ConnectionTarget& target) {
  if (target.passThrough) return "where the connection value points";
  return "at " + (target.port.empty() ? target.server + " (the default port)"
                                      : target.server + ", port " + target.port);
}

// The connection was refused or did not open: what its records and description tell.
std::string ConnectionHint(const RunReport& report) {
  const ConnectionTarget& target = *report.target;
  std::vector<Diagnostic> records = report.openErrors;
  if (report.failure)
    records.push_back({"", report.failure->number(), report.failure->description()});
  auto any = [&](auto&& predicate) {
    return std::any_of(records.begin(), records.end(), predicate);
  };

  // A missing database comes with a refused login too, in either order: test it first.
  if (any([](const Diagnostic& d) { return d.nativeError == 4060; })) {
    return "the login was accepted but the database " +
           (target.database.empty() ? std::string("(the login's default)") : target.database) +
           " could not be opened: check the database name (Initial Catalog) in the connection "
           "value and that the login has a user in that database";
  }
  if (any([](const Diagnostic& d) { return d.nativeError == 18456; })) {
    const std::string who = target.logon.mode == LogonMode::kSqlLogin
                                ? "the SQL login " + target.logon.login
                                : std::string("the current user");
    return "the server refused the login of " + who +
           ": check the login name and password, that the login is enabled, and that the "
           "server accepts " +
           (target.logon.mode == LogonMode::kSqlLogin ? "SQL Server authentication"
                                                      : "Windows logons");
  }
  if (any([](const Diagnostic& d) {
        return d.nativeError == 20009 || d.sqlState == "08S01" || d.sqlState == "HYT00" ||
               Contains(d.message, "is unavailable or does not exist") ||
               Contains(d.message, "Login timeout expired");
      })) {
    return "no SQL Server could be reached " + WhereTheServerIs(target) +
           ": check the server name and port in the connection value (kivo-dbupdate-cli "
           "decode shows them), that the server is running and accepts TCP connections, and "
           "that no firewall blocks the port";
  }
  // Drivers name no cause for a server that offers no encryption: FreeTDS says only that it
  // could not connect, Microsoft's drivers speak of SSL, TLS or certificates.
  const bool kerberos = any([](const Diagnostic& d) {
    return Contains(d.message, "Kerberos") || Contains(d.message, "GSSAPI");
  });
  if (RequiresEncryption(target) && !kerberos && any([](const Diagnostic& d) {
        const std::string text = LowerAscii(d.message);
        return d.sqlState == "08001" || d.nativeError == 20002 || Contains(text, "encrypt") ||
               Contains(text, "ssl") || Contains(text, "tls") || Contains(text, "certificate");
      })) {
    return "the connection requires encryption (--encrypt=require, or Encrypt in the connection "
           "value) and the server " +
           WhereTheServerIs(target) +
           " offers none or its certificate was not accepted: give the server a certificate and "
           "turn its encryption on, or, on a network you trust, run without --encrypt=require";
  }
#ifndef _WIN32
  if (target.logon.mode == LogonMode::kWindows &&
      (kerberos || any([](const Diagnostic& d) {
         return Contains(d.message, "Unable to connect to data source");
       }))) {
    return "integrated logon on this system goes through Kerberos and needs a ticket: run "
           "kinit (klist shows whether you hold one), or log on with --sql-login";
  }
#endif
  return "";
}

}  // namespace

std::string HintFor(const RunReport& report, const std::string& webDirectory) {
  switch (report.end) {
    case RunEnd::kRefused:
      return report.target ? ConnectionHint(report) : "";
    case RunEnd::kFailed:
      if (!report.target) return ConfigurationHint(webDirectory);
      // Batches that ran failed for reasons their own status lines name.
      return report.batches.empty() ? ConnectionHint(report) : "";
    default:
      return "";
  }
}

}  // namespace kivo::cli
