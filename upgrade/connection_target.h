#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivo {

enum class LogonMode { kWindows, kSqlLogin };

// The credentials of the chosen logon mode, kept apart from every other item so that no
// login or password is ever spliced into a connection string unquoted.
struct Logon {
  LogonMode mode = LogonMode::kWindows;
  std::string login;     // SQL login only
  std::string password;  // SQL login only
};

// Where and how to connect, translated from the web application's OLE DB connection value
// into what an ODBC driver understands.
struct ConnectionTarget {
  std::string driver;    // ODBC driver name as the driver manager lists it; empty if passThrough
  std::string server;    // in the form the chosen driver understands (host, host\instance, ...)
  std::string port;      // empty: the driver's default or the instance's
  std::string database;  // empty: the login's default database
  // Further ODBC keyword/value pairs in order: application name, encryption, or, when
  // passThrough, the connection value's own items (Driver=..., DSN=...).
  std::vector<std::pair<std::string, std::string>> items;
  bool passThrough = false;
  int loginTimeoutSeconds = 15;
  int statementTimeoutSeconds = 30;  // 0: none
  Logon logon;
};

// Translates the connection prefix (the web application's OLE DB items, credentials dropped)
// and the logon into a target. The driver is `driverOverride` when not empty, otherwise the
// first installed of Microsoft's current drivers, FreeTDS and the legacy "SQL Server".
// Throws kivo::Error for an unknown provider, unbalanced quotes, no usable driver or a value
// the chosen driver cannot carry (it builds the connection string once to find out).
ConnectionTarget TranslateConnection(std::string_view prefix, const Logon& logon,
                                     const std::vector<std::string>& installedDrivers,
                                     std::string_view driverOverride);

// The drivers TranslateConnection looks for, in the order it prefers them.
const std::vector<std::string>& PreferredSqlServerDrivers();

// The ODBC connection string for the target, every value quoted by the rules of its driver.
// Throws kivo::Error for a value that driver cannot carry.
std::string BuildOdbcConnectionString(const ConnectionTarget& target);

}  // namespace kivo
