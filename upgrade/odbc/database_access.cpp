#include "upgrade/odbc/database_access.h"

#include <utility>

#include "upgrade/connection/connection_translation.h"
#include "upgrade/odbc/odbc_client.h"

namespace kivo {

DatabaseAccess OdbcDatabaseAccess(std::string driverOverride) {
  DatabaseAccess access;
  access.installedDrivers = InstalledOdbcDrivers;
  access.makeClient = [] { return std::make_unique<OdbcClient>(); };
  access.driverOverride = std::move(driverOverride);
  return access;
}

ConnectionSettings ReadSettingsFor(const ConnectionRequest& request, const DatabaseAccess& access) {
  const std::vector<std::string> drivers =
      access.installedDrivers ? access.installedDrivers() : std::vector<std::string>{};
  ConnectionSettings settings =
      ReadConnectionSettings(request.webDirectory, request.logon, drivers, access.driverOverride);
  settings.target.statementTimeoutSeconds = access.statementTimeoutSeconds;
  if (access.requireEncryption) RequireEncryption(settings.target);
  return settings;
}

OpenedConnection OpenConnection(const ConnectionTarget& target, const DatabaseAccess& access) {
  OpenedConnection opened;
  opened.client = access.makeClient ? access.makeClient() : nullptr;
  if (!opened.client) {
    opened.failure = Error(kInvalidArgument, std::string(kNoDatabaseClient));
    return opened;
  }
  std::optional<Error> error = opened.client->open(target);
  if (!opened.client->openErrors().empty()) {
    opened.refusal = opened.client->openErrors();
    const Diagnostic& first = opened.refusal.front();
    error = Error(first.nativeError ? first.nativeError : kUnspecifiedError, first.message);
  }
  if (error) {
    // Statements sent into a connection that never opened would only repeat its failure.
    opened.client.reset();
    opened.failure = std::move(error);
  }
  return opened;
}

}  // namespace kivo
