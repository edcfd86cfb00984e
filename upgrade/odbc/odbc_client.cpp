#include "upgrade/odbc/odbc_client.h"

// windows.h must come before the ODBC headers there.
#ifdef _WIN32
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/secure_wipe.h"
#include "base/utf8.h"
#include "upgrade/connection/odbc_connection_string.h"

namespace kivo {
namespace {

// SQLWCHAR is UTF-16 with unixODBC and on Windows.
using WideString = std::basic_string<SQLWCHAR>;

// Bounds for loops over what a driver hands back, so that a misbehaving one cannot hang us.
constexpr SQLSMALLINT kMaxRecords = 500;
constexpr int kMaxResults = 10000;
constexpr int kMaxDrivers = 1000;
constexpr std::size_t kMaxRows = 100000;
constexpr int kMaxChunks = 4096;           // of one value read by SQLGetData
constexpr std::size_t kChunkUnits = 1024;  // UTF-16 units of one chunk, its terminator included

// Throws kivo::Error for text that is not UTF-8; it never says what the text was, since it may
// be a connection string with a password.
WideString ToWide(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return WideString(wide.begin(), wide.end());
}

std::string ToUtf8(const SQLWCHAR* text, size_t length) {
  return Utf16ToUtf8(std::u16string(text, text + length));
}

constexpr SQLHANDLE kNoHandle = nullptr;

// The one owner of an ODBC handle.
class Handle {
 public:
  Handle() = default;
  Handle(SQLSMALLINT type, SQLHANDLE handle) noexcept : type_(type), handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  // Allocates a handle of `type` under `parent`; an empty Handle when that fails.
  static Handle Allocate(SQLSMALLINT type, SQLHANDLE parent) noexcept {
    SQLHANDLE handle = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &handle))) return Handle();
    return Handle(type, handle);
  }

  Handle(Handle&& other) noexcept
      : type_(other.type_), handle_(std::exchange(other.handle_, kNoHandle)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      type_ = other.type_;
      handle_ = std::exchange(other.handle_, kNoHandle);
    }
    return *this;
  }

  // Frees now and reports whether the driver manager agreed.
  bool free() noexcept {
    if (handle_ == SQL_NULL_HANDLE) return true;
    const SQLRETURN rc = SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
    return SQL_SUCCEEDED(rc);
  }
  void reset() noexcept { free(); }

  SQLHANDLE get() const noexcept { return handle_; }
  SQLSMALLINT type() const noexcept { return type_; }
  explicit operator bool() const noexcept { return handle_ != SQL_NULL_HANDLE; }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// Every record on the handle, informational ones included. Must follow the call it explains at
// once: any other call on the handle clears them.
std::vector<Diagnostic> ReadDiagnostics(const Handle& handle) {
  std::vector<Diagnostic> records;
  if (!handle) return records;
  for (SQLSMALLINT number = 1; number <= kMaxRecords; ++number) {
    SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> text(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(handle.type(), handle.get(), number, state, &native, text.data(),
                                  static_cast<SQLSMALLINT>(text.size()), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    if (length >= static_cast<SQLSMALLINT>(text.size())) {
      text.resize(static_cast<size_t>(length) + 1);
      rc = SQLGetDiagRecW(handle.type(), handle.get(), number, state, &native, text.data(),
                          static_cast<SQLSMALLINT>(text.size()), &length);
      if (!SQL_SUCCEEDED(rc)) break;
    }
    const size_t shown =
        std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), text.size() - 1);
    Diagnostic record;
    record.sqlState = ToUtf8(state, SQL_SQLSTATE_SIZE);
    record.nativeError = static_cast<std::int32_t>(native);
    record.message = WithoutDriverTags(ToUtf8(text.data(), shown));
    records.push_back(std::move(record));
  }
  return records;
}

void Append(std::vector<Diagnostic>& to, std::vector<Diagnostic> records) {
  to.insert(to.end(), std::make_move_iterator(records.begin()),
            std::make_move_iterator(records.end()));
}

Diagnostic ClientDiagnostic(std::string message) {
  return Diagnostic{"HY000", 0, std::move(message)};
}

#ifdef _WIN32
constexpr const char* kNoDriverManager =
    "The ODBC driver manager (odbc32.dll) could not allocate a handle.";
#else
constexpr const char* kNoDriverManager =
    "The ODBC driver manager could not allocate a handle; is unixODBC installed (on Debian: "
    "apt-get install unixodbc)?";
#endif

}  // namespace

struct OdbcClient::Session {
  Handle environment;
  Handle connection;  // declared after the environment, so freed before it
  bool connected = false;

  ~Session() {
    if (connected) SQLDisconnect(connection.get());
  }

  StatementOutcome run(const std::string& text, int timeoutSeconds);
};

StatementOutcome OdbcClient::Session::run(const std::string& text, int timeoutSeconds) {
  StatementOutcome outcome;
  outcome.text = text;
  WideString wide;
  try {
    wide = ToWide(text);
  } catch (const Error&) {
    outcome.diagnostics.push_back(ClientDiagnostic("The statement is not valid UTF-8 text."));
    return outcome;
  }
  Handle statement = Handle::Allocate(SQL_HANDLE_STMT, connection.get());
  if (!statement) {
    outcome.diagnostics = ReadDiagnostics(connection);
    if (outcome.diagnostics.empty()) {
      outcome.diagnostics.push_back(ClientDiagnostic("The driver could not prepare a statement."));
    }
    return outcome;
  }
  if (timeoutSeconds > 0) {
    const SQLRETURN rc = SQLSetStmtAttr(
        statement.get(), SQL_ATTR_QUERY_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSeconds)), SQL_IS_UINTEGER);
    Append(outcome.diagnostics, ReadDiagnostics(statement));
    // Without its timeout a statement blocked behind a lock could wait for ever.
    if (!SQL_SUCCEEDED(rc)) return outcome;
  }

  SQLRETURN rc = SQLExecDirectW(statement.get(), wide.data(), static_cast<SQLINTEGER>(wide.size()));
  Append(outcome.diagnostics, ReadDiagnostics(statement));
  bool succeeded = rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA;
  if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
    // Later results of the statement may carry errors of their own; the statement has not
    // ended before the last of them is read.
    for (int result = 0; result < kMaxResults; ++result) {
      rc = SQLMoreResults(statement.get());
      Append(outcome.diagnostics, ReadDiagnostics(statement));
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) {
        succeeded = false;
        break;
      }
    }
  }
  if (!succeeded && outcome.diagnostics.empty()) {
    outcome.diagnostics.push_back(
        ClientDiagnostic("The driver reported a failure of the statement without saying why."));
  }
  outcome.succeeded = succeeded;
  return outcome;
}

OdbcClient::OdbcClient() = default;
OdbcClient::~OdbcClient() = default;

std::optional<Error> OdbcClient::open(const ConnectionTarget& target) {
  if (session_) return Error(kInvalidArgument, "The connection is already open.");
  openErrors_.clear();

  // Every form of the connection string holds the password: each is wiped once it is passed on.
  WideString connectionString;
  const WipeOnExit wipeConnectionString(connectionString);
  try {
    std::string text = BuildOdbcConnectionString(target);
    const WipeOnExit wipeText(text);
    std::u16string wide = Utf8ToUtf16(text);
    const WipeOnExit wipeWide(wide);
    connectionString.assign(wide.begin(), wide.end());
  } catch (const Error& e) {
    return e;
  }
  if (connectionString.size() > 32767) {
    return Error(kInvalidArgument, "The connection string is too long for the ODBC driver.");
  }

  auto session = std::make_unique<Session>();
  session->environment = Handle::Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!session->environment) return Error(kUnspecifiedError, kNoDriverManager);
  if (!SQL_SUCCEEDED(SQLSetEnvAttr(session->environment.get(), SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    return Error(kUnspecifiedError, "The ODBC driver manager does not support ODBC 3.");
  }
  session->connection = Handle::Allocate(SQL_HANDLE_DBC, session->environment.get());
  if (!session->connection) return Error(kUnspecifiedError, kNoDriverManager);
  // A driver that cannot set it keeps its own default; that is no reason to refuse the open.
  SQLSetConnectAttr(
      session->connection.get(), SQL_ATTR_LOGIN_TIMEOUT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(target.loginTimeoutSeconds, 0))),
      SQL_IS_UINTEGER);

  SQLSMALLINT outLength = 0;
  const SQLRETURN rc =
      SQLDriverConnectW(session->connection.get(), nullptr, connectionString.data(),
                        static_cast<SQLSMALLINT>(connectionString.size()), nullptr, 0, &outLength,
                        SQL_DRIVER_NOPROMPT);
  std::vector<Diagnostic> records = ReadDiagnostics(session->connection);
  // SQL_SUCCESS_WITH_INFO opens too, deliberately: every SQL Server login reply carries
  // informational messages (5701 "Changed database context", 5703 "Changed language setting")
  // and drivers add warnings of their own. None of them refuses the login; taking them for a
  // refusal would end every run at the open.
  if (SQL_SUCCEEDED(rc)) {
    session->connected = true;
    session_ = std::move(session);
    statementTimeoutSeconds_ = std::max(target.statementTimeoutSeconds, 0);
    return std::nullopt;
  }
  openErrors_ = std::move(records);
  RankDatabaseMessagesFirst(openErrors_);
  return ErrorOf(openErrors_, "The ODBC driver refused the connection without saying why.");
}

const std::vector<Diagnostic>& OdbcClient::openErrors() const { return openErrors_; }

BatchOutcome OdbcClient::execute(std::span<const std::string> statements,
                                 const StatementHooks& hooks) {
  BatchOutcome outcome;
  if (!session_) {
    outcome.error = Error(kConnectionClosedError, "The connection to the database is not open.");
    return outcome;
  }
  // Deliberately one request per statement: after SQLExecDirect fails, the driver manager's
  // statement is back in its allocated state, where SQLMoreResults answers SQL_NO_DATA without
  // asking the driver, so the errors of later statements of a multi-statement batch would never
  // be seen, and freeing the statement would cancel the rest of it on the server. Alone, every
  // statement runs to its end and reports every record it has.
  for (std::size_t i = 0; i < statements.size(); ++i) {
    if (hooks.before) hooks.before(i);
    const auto started = std::chrono::steady_clock::now();
    StatementOutcome& statement =
        outcome.statements.emplace_back(session_->run(statements[i], statementTimeoutSeconds_));
    statement.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    if (!statement.succeeded) {
      statement.error = StatementError(statement.diagnostics);
      if (!outcome.error) outcome.error = statement.error;
    }
    const bool goOn = !hooks.after || hooks.after(i, statement);
    if (!goOn || (!statement.succeeded && EndsBatch(statement.diagnostics))) break;
  }
  return outcome;
}

QueryResult OdbcClient::query(const std::string& text, std::span<const std::string> parameters) {
  QueryResult result;
  if (!session_) {
    result.error = Error(kConnectionClosedError, "The connection to the database is not open.");
    return result;
  }
  WideString wide;
  std::vector<WideString> values;
  try {
    wide = ToWide(text);
    for (const std::string& p : parameters) values.push_back(ToWide(p));
  } catch (const Error& e) {
    result.error = e;
    return result;
  }
  Handle statement = Handle::Allocate(SQL_HANDLE_STMT, session_->connection.get());
  auto fail = [&](const char* whenNone) {
    Append(result.diagnostics, ReadDiagnostics(statement));
    result.error = result.diagnostics.empty() ? Error(kUnspecifiedError, whenNone)
                                              : StatementError(result.diagnostics);
    return std::move(result);
  };
  if (!statement) {
    result.diagnostics = ReadDiagnostics(session_->connection);
    result.error = Error(kUnspecifiedError, "The driver could not prepare a statement.");
    return result;
  }
  if (statementTimeoutSeconds_ > 0 &&
      !SQL_SUCCEEDED(SQLSetStmtAttr(
          statement.get(), SQL_ATTR_QUERY_TIMEOUT,
          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(statementTimeoutSeconds_)),
          SQL_IS_UINTEGER))) {
    return fail("The driver refused the statement's timeout.");
  }
  // The driver reads the values and their lengths at execution, so both live until then.
  std::vector<SQLLEN> lengths(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    lengths[i] = static_cast<SQLLEN>(values[i].size() * sizeof(SQLWCHAR));
    const SQLULEN columnSize = std::max<SQLULEN>(values[i].size(), 1);
    const SQLRETURN rc = SQLBindParameter(statement.get(), static_cast<SQLUSMALLINT>(i + 1),
                                          SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, columnSize, 0,
                                          values[i].data(), lengths[i], &lengths[i]);
    if (!SQL_SUCCEEDED(rc)) return fail("The driver refused a parameter of the query.");
  }
  SQLRETURN rc = SQLExecDirectW(statement.get(), wide.data(), static_cast<SQLINTEGER>(wide.size()));
  Append(result.diagnostics, ReadDiagnostics(statement));
  if (!SQL_SUCCEEDED(rc)) {
    if (rc == SQL_NO_DATA) return result;
    result.error = StatementError(result.diagnostics);
    return result;
  }
  SQLSMALLINT columnCount = 0;
  SQLNumResultCols(statement.get(), &columnCount);
  // The rows are those of the first result with columns: a text may open with a SET.
  for (int more = 0; columnCount == 0 && more < kMaxResults; ++more) {
    rc = SQLMoreResults(statement.get());
    Append(result.diagnostics, ReadDiagnostics(statement));
    if (rc == SQL_NO_DATA) return result;
    if (!SQL_SUCCEEDED(rc)) {
      result.error = StatementError(result.diagnostics);
      return result;
    }
    SQLNumResultCols(statement.get(), &columnCount);
  }
  for (SQLSMALLINT c = 1; c <= columnCount; ++c) {
    SQLWCHAR name[256] = {};
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    SQLDescribeColW(statement.get(), static_cast<SQLUSMALLINT>(c), name, 256, &nameLength, &type,
                    &size, &digits, &nullable);
    result.columns.push_back(ToUtf8(name, std::clamp<SQLSMALLINT>(nameLength, 0, 255)));
  }
  // A part of an answer would read as the whole of it (a blocker in a row not read would pass
  // the check), so a result beyond the bounds is an error, never cut short.
  auto tooLarge = [&](std::string description) {
    SQLFreeStmt(statement.get(), SQL_CLOSE);  // the rest is not wanted; the connection goes on
    result.rows.clear();
    result.error = Error(kOverflow, std::move(description));
    return std::move(result);
  };
  while (columnCount > 0) {
    rc = SQLFetch(statement.get());
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) return fail("The driver failed to read a row of the query.");
    if (result.rows.size() == kMaxRows) {
      return tooLarge("The query returned more than " + std::to_string(kMaxRows) +
                      " rows, more than are read: its answer was not taken.");
    }
    auto& row = result.rows.emplace_back();
    for (SQLSMALLINT c = 1; c <= columnCount; ++c) {
      WideString value;
      bool isNull = false;
      bool whole = false;
      // Long values come in pieces: each call returns what did not fit the last time.
      for (int chunk = 0; chunk < kMaxChunks && !whole; ++chunk) {
        SQLWCHAR buffer[kChunkUnits];
        SQLLEN indicator = 0;
        rc = SQLGetData(statement.get(), static_cast<SQLUSMALLINT>(c), SQL_C_WCHAR, buffer,
                        sizeof(buffer), &indicator);
        whole = rc != SQL_SUCCESS_WITH_INFO;
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) return fail("The driver failed to read a value of the query.");
        if (indicator == SQL_NULL_DATA) {
          isNull = true;
          break;
        }
        const std::size_t room = sizeof(buffer) / sizeof(SQLWCHAR) - 1;
        const std::size_t got =
            indicator == SQL_NO_TOTAL || indicator < 0
                ? room
                : std::min(room, static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR));
        value.append(buffer, got);
      }
      if (!whole) {
        return tooLarge("A value of the query is longer than " +
                        std::to_string(kMaxChunks * (kChunkUnits - 1)) +
                        " UTF-16 units, more than is read: its answer was not taken.");
      }
      if (isNull) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(ToUtf8(value.data(), value.size()));
      }
    }
  }
  // An error may follow the rows (a later statement of the text, a failed conversion).
  for (int more = 0; more < kMaxResults; ++more) {
    rc = SQLMoreResults(statement.get());
    Append(result.diagnostics, ReadDiagnostics(statement));
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) {
      result.error = StatementError(result.diagnostics);
      break;
    }
  }
  return result;
}

std::optional<Error> OdbcClient::close() {
  if (!session_) return std::nullopt;
  std::unique_ptr<Session> session = std::move(session_);
  std::optional<Error> failure;
  if (session->connected) {
    session->connected = false;
    if (!SQL_SUCCEEDED(SQLDisconnect(session->connection.get()))) {
      failure = ErrorOf(ReadDiagnostics(session->connection),
                        "The connection to the database could not be closed.");
    }
  }
  if (!session->connection.free() && !failure) {
    failure = Error(kUnspecifiedError, "The ODBC connection handle could not be released.");
  }
  session->environment.free();
  return failure;
}

std::vector<std::string> InstalledOdbcDrivers() {
  std::vector<std::string> names;
  Handle environment = Handle::Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!environment) return names;
  if (!SQL_SUCCEEDED(SQLSetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    return names;
  }
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (int i = 0; i < kMaxDrivers; ++i) {
    SQLWCHAR description[512];
    SQLWCHAR attributes[1024];
    SQLSMALLINT descriptionLength = 0;
    SQLSMALLINT attributesLength = 0;
    const SQLRETURN rc = SQLDriversW(environment.get(), direction, description, 512,
                                     &descriptionLength, attributes, 1024, &attributesLength);
    if (!SQL_SUCCEEDED(rc)) break;
    names.push_back(ToUtf8(description, std::clamp<SQLSMALLINT>(descriptionLength, 0, 511)));
    direction = SQL_FETCH_NEXT;
  }
  return names;
}

}  // namespace kivo
