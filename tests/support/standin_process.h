// Starts the SQL Server stand-in (tests/tds/standin.py) for one test and reads
// what it received and how its catalog looks afterwards.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/connection/connection_target.h"

namespace kivo::testing {

// One line of the stand-in's record: one request (SQL batch, or a statement
// that an RPC ran), in the order the server took them.
struct ReceivedBatch {
  std::string text;           // the batch exactly as received
  std::string rpc;            // "" for an SQL batch, else e.g. "sp_prepexec"
  bool housekeeping = false;  // only SET / SELECT @@... / IF statements
  bool dropped = false;       // the drop_at_request fault closed the connection here
  bool cancelled = false;     // an attention arrived during the delay_ms wait
  std::vector<int> errors;    // numbers of the error messages it answered with
  // The connection's SET options after it: "ansi_warnings", "implicit_transactions" and
  // "xact_abort" (0 or 1), "lock_timeout" (milliseconds, -1 for none).
  std::map<std::string, int> session;
};

// The stand-in as a child process, for the lifetime of this object.
//
// The constructor writes the scenario (the JSON format documented in
// scenario.py) into a fresh temporary folder, starts /usr/bin/python3 with the
// script, and waits up to 10 s for its "PORT <n>" line; it throws
// std::runtime_error with the server's stderr when that fails. The destructor
// sends SIGTERM (SIGKILL after 2 s) and removes the folder. The server also
// ends by itself when this process dies.
//
// Table names given to the look-ups are "schema.table", "db.schema.table" or
// "table" (schema dbo), brackets allowed, compared case-insensitively as SQL
// Server does; without a database every database of the catalog is searched
// in scenario order. The catalog is the one after the latest request, or the
// scenario's before any; after the rollback of a connection that ended with
// its transaction open, the one after that rollback.
class StandIn {
 public:
  explicit StandIn(const std::string& scenarioJson);
  ~StandIn();
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  int port() const { return port_; }

  // DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=<port>;DATABASE=..;UID=..;PWD=..;TDS_Version=7.4
  std::string odbcConnectionString(const std::string& database, const std::string& user,
                                   const std::string& password) const;

  // Texts of the requests in order, without the driver's housekeeping ones.
  std::vector<std::string> receivedBatches() const;
  // Texts of all requests in order.
  std::vector<std::string> allReceivedBatches() const;
  // Every record line, with its flags.
  std::vector<ReceivedBatch> records() const;

  // Column type as the catalog holds it, e.g. "nvarchar(250)".
  std::optional<std::string> columnType(const std::string& qualifiedTable,
                                        const std::string& column) const;
  std::optional<bool> columnNullable(const std::string& qualifiedTable,
                                     const std::string& column) const;
  bool hasTable(const std::string& qualifiedTable) const;
  // Column names in table order; empty when there is no such table.
  std::vector<std::string> columnNames(const std::string& qualifiedTable) const;
  // The table's name as the catalog spells it ("schema.name"), if it exists.
  std::optional<std::string> tableName(const std::string& qualifiedTable) const;
  std::optional<long long> rowCount(const std::string& qualifiedTable) const;

  // What the server wrote to stderr so far.
  std::string serverLog() const;
  const std::string& recordPath() const { return recordPath_; }

 private:
  void stop() noexcept;

  std::string dir_;
  std::string scenarioPath_;
  std::string recordPath_;
  std::string stderrPath_;
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int port_ = 0;
};

// The same connection string for a given port.
std::string odbcConnectionString(int port, const std::string& database, const std::string& user,
                                 const std::string& password);

// What the run makes of a web.config that names the server on 127.0.0.1 at `port`, with the
// SQL login `login` typed in: the target through FreeTDS.
ConnectionTarget StandInTarget(int port, const std::string& login, const std::string& password,
                               const std::string& database = "KivoDB");

// Whether unixODBC lists the FreeTDS driver, without which nothing reaches the stand-in.
bool FreeTdsInstalled();

// A port on 127.0.0.1 that nothing listens on: bound, then let go.
int ClosedPort();

}  // namespace kivo::testing
