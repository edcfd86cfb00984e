#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/secure_wipe.h"

namespace kivo {

enum class LogonMode { kWindows, kSqlLogin };

// The credentials of the chosen logon mode, kept apart from every other item so that no
// login or password is ever spliced into a connection string unquoted.
// Every copy wipes its password when it goes (a declared destructor leaves it an aggregate, and
// copies where it would have moved, so no copy escapes the wipe).
struct Logon {
  LogonMode mode = LogonMode::kWindows;
  std::string login;     // SQL login only
  std::string password;  // SQL login only

  ~Logon() { SecureWipe(password); }
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

}  // namespace kivo
