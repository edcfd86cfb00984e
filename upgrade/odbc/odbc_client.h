#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "upgrade/connection/connection_target.h"
#include "upgrade/odbc/database_client.h"
#include "upgrade/odbc/odbc_diagnostics.h"

namespace kivo {

// DatabaseClient over ODBC: unixODBC on Linux, odbc32 on Windows. Text is UTF-8 here and goes
// through the driver's wide-character calls, so non-ASCII logins, passwords, statements and
// messages come through intact. Autocommit stays on.
class OdbcClient : public DatabaseClient {
 public:
  OdbcClient();
  ~OdbcClient() override;
  OdbcClient(const OdbcClient&) = delete;
  OdbcClient& operator=(const OdbcClient&) = delete;

  // Connects with the target's connection string and login timeout. On failure openErrors()
  // lists every record the driver gave (informational ones included, since they explain the
  // failure) in the order the server sent them, as far as the driver lets that be known: a
  // database-level refusal (4060) comes before the login failure (18456) it causes. The
  // returned error is the first of them. Informational records of a
  // successful open ("Changed database context") are not errors. The connection string, which
  // holds the password, never appears in an error.
  std::optional<Error> open(const ConnectionTarget& target) override;
  const std::vector<Diagnostic>& openErrors() const override;

  // Runs the statements one after another, each with its own SQLExecDirect, so that every
  // statement runs to its end and every error is seen (a batch in one call loses the errors after
  // the first one under unixODBC). A failing statement does not stop the next ones unless a
  // server would have abandoned the rest of the batch (name resolution, 208) or the connection
  // is gone. Each statement has the target's query timeout; a timeout fails that statement only.
  BatchOutcome execute(std::span<const std::string> statements,
                       const StatementHooks& hooks) override;
  using DatabaseClient::execute;

  // SQLBindParameter binds each parameter as SQL_WVARCHAR, which makes the driver send the
  // statement by RPC (sp_executesql) rather than as an SQL batch. Rows are read to their end,
  // then the remaining results, so that an error after the rows is seen too. A result of more
  // than 100,000 rows, or a value of more than about 4 million UTF-16 units, fails the query
  // (kOverflow) instead of coming back cut short.
  QueryResult query(const std::string& text, std::span<const std::string> parameters) override;

  // Disconnects and releases the handles; they are released even when the disconnect fails.
  std::optional<Error> close() override;

 private:
  struct Session;
  std::unique_ptr<Session> session_;
  std::vector<Diagnostic> openErrors_;
  int statementTimeoutSeconds_ = 0;
};

// The drivers the driver manager lists, by name; empty when it cannot be asked.
std::vector<std::string> InstalledOdbcDrivers();

}  // namespace kivo
