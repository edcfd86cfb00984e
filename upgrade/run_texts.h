#pragma once

#include <string_view>

// The run's own words and sizes, in one place: what the status box and the message boxes show
// is compared character for character by administrators' scripts, so these never change lightly.
namespace kivo {

// The window's initial texts, which the companion takes as its defaults too.
inline constexpr std::string_view kDefaultClientCode = "CHXD";
inline constexpr std::string_view kDefaultDataDirectory = "D:\\ZEP";
inline constexpr std::string_view kDefaultWebDirectory = "C:\\Inetpub\\wwwroot";
inline constexpr std::string_view kClientDefaultLine = "Client is empty. Assump default (CHXD)";
inline constexpr int kRunStatusBoxWidthTwips = 6735;

inline constexpr std::string_view kSuccessLine = "Kivo client was update successful";
inline constexpr std::string_view kSuccessMessage = "Update successful!";
inline constexpr std::string_view kFailureMessage = "Update NOT successful. Contact Admin!";

// What became of the changes of an atomic run, on a line of its own after the failure line.
inline constexpr std::string_view kCommittedLine = "committed: the database keeps the changes";
inline constexpr std::string_view kRolledBackLine = "rolled back: the database is as it was";
inline constexpr std::string_view kRolledBackByServerLine =
    "rolled back by the server: the database is as it was";
inline constexpr std::string_view kLeftToServerLine =
    "not committed: the connection ended with the transaction open, which the server rolls "
    "back; the database is as it was";
inline constexpr std::string_view kCommitUnknownLine =
    "not known whether committed: the connection was lost during COMMIT; run check to see what "
    "the database holds";

// Openings of SQL Server's messages by which the run recognises what went wrong: a table it
// cannot find or may not alter (4902), a table that exists already (2714), a table a query
// cannot find (208).
inline constexpr std::string_view kObjectMissing = "Cannot find the object";
inline constexpr std::string_view kObjectExists = "There is already an object named";
inline constexpr std::string_view kInvalidObjectName = "Invalid object name";
// Whether a table exists as far as the login can tell: its id (parameter 1, "schema.table"),
// and whether the login holds VIEW DEFINITION on the database or on the schema (parameters 2
// and 3, the schema), without which a table it holds no permission on is invisible to it, or
// ALTER on the schema, which would have let it alter every table there.
inline constexpr std::string_view kTableExistsQuery =
    "SELECT OBJECT_ID(?, N'U') AS object_id, "
    "HAS_PERMS_BY_NAME(DB_NAME(), N'DATABASE', N'VIEW DEFINITION') AS sees_database, "
    "HAS_PERMS_BY_NAME(QUOTENAME(?), N'SCHEMA', N'VIEW DEFINITION') AS sees_schema, "
    "HAS_PERMS_BY_NAME(QUOTENAME(?), N'SCHEMA', N'ALTER') AS alters_schema";

// SQL Server's number for a lock that another session held longer than LOCK_TIMEOUT.
inline constexpr int kLockTimeoutError = 1222;

}  // namespace kivo
