#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "upgrade/connection/connection_settings.h"
#include "upgrade/connection/connection_target.h"
#include "upgrade/odbc/database_client.h"

namespace kivo {

// The environment variable in which an administrator names the ODBC driver to use. The
// programs read it (the core reads no environment) and pass its value as driverOverride.
inline constexpr std::string_view kDriverOverrideVariable = "KIVO_ODBC_DRIVER";

inline constexpr std::string_view kNoDatabaseClient =
    "No database client is available to connect with";

// How the run and the check reach the database. The programs use OdbcDatabaseAccess(); tests
// put a scripted client in its place.
struct DatabaseAccess {
  std::function<std::vector<std::string>()> installedDrivers;
  std::function<std::unique_ptr<DatabaseClient>()> makeClient;
  std::string driverOverride;  // names the ODBC driver to use instead of the first found
  int statementTimeoutSeconds = 30;
  // Have the driver refuse a server that will not encrypt, rather than send it the login.
  bool requireEncryption = false;
};

// ODBC through the platform's driver manager.
DatabaseAccess OdbcDatabaseAccess(std::string driverOverride);

// What a connection is asked for: the web directory (already normalised) whose web.config
// names the database, and the logon to replace the stored credentials with.
struct ConnectionRequest {
  std::string webDirectory;
  Logon logon;
};

// The configuration phase: the settings for the request, with the access's drivers and
// statement timeout. Throws kivo::Error for anything that stops it.
ConnectionSettings ReadSettingsFor(const ConnectionRequest& request, const DatabaseAccess& access);

// A connection that is open, or what kept it from opening.
struct OpenedConnection {
  std::unique_ptr<DatabaseClient> client;  // open; empty when the open failed
  std::vector<Diagnostic> refusal;         // the records with which the open was refused
  std::optional<Error> failure;            // why there is no client
};

// Makes a client and opens it. A refused open lists its records in `refusal` (the one to
// show first) and fails with the first of them; the warnings of a successful open are no
// refusal.
OpenedConnection OpenConnection(const ConnectionTarget& target, const DatabaseAccess& access);

}  // namespace kivo
