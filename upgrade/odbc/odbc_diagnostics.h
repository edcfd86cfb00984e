#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "upgrade/odbc/database_client.h"

namespace kivo {

// Numbers for failures that bring none of their own, as ADO reports them; anything else without
// a number gets kUnspecifiedError.
inline constexpr std::int32_t kQueryTimeoutError = -2147217871;  // DB_E_ABORTLIMITREACHED
inline constexpr std::int32_t kConnectionClosedError = 3704;     // adErrObjectClosed

// A driver message without its leading component tags ("[FreeTDS][SQL Server]",
// "[unixODBC][Driver Manager]", "[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]"), as
// the server or the component wrote it. Tags stop after "[SQL Server]", so a server text that
// starts with a bracket keeps it.
std::string WithoutDriverTags(std::string_view message);

// The error of a failed statement: the native number of its first error record (informational
// records skipped; a timeout without a number gets kQueryTimeoutError, anything else without one
// kUnspecifiedError) and the messages of all its records joined by CR LF, so that it reads as the
// server wrote it.
Error StatementError(std::span<const Diagnostic> records);

// True when the records say the connection is gone (SQLSTATE class 08, FreeTDS's 20017 and 20047).
bool ConnectionLost(std::span<const Diagnostic> records);

// True when, after a statement failed with these records, the rest of its batch must not run:
// a server abandons a batch after a name-resolution error, and nothing runs on a lost connection.
bool EndsBatch(std::span<const Diagnostic> records);

// A warning or note (SQLSTATE class 01), not an error.
bool IsInformational(const Diagnostic& record);

// The error that the first record stands for, or `whenNone` when there is none.
Error ErrorOf(const std::vector<Diagnostic>& records, const char* whenNone);

// A server refusing a login for its database sends that reason (4060 "Cannot open database",
// 4064 "Cannot open user default database") before the generic 18456 "Login failed", and the
// first message is the one to show. FreeTDS lists its records in an order of its own, 18456
// first, so the database-level messages are put back in front; the rest keep the driver's order.
void RankDatabaseMessagesFirst(std::vector<Diagnostic>& records);

}  // namespace kivo
