// The least a program can do to send the run's statements through the same ODBC stack as the
// program (driver manager, driver, wide-character calls): connect, one SQLExecDirectW per
// statement, disconnect. Statements come one per line from the file named by argv[1]; the
// connection string from the environment variable KIVO_BENCH_ODBC, since it holds a password.
// Exit status 0 only when every call succeeded.
#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<SQLWCHAR> Wide(const std::string& ascii) {
  std::vector<SQLWCHAR> wide(ascii.begin(), ascii.end());
  wide.push_back(0);
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  const char* connection = std::getenv("KIVO_BENCH_ODBC");
  if (argc != 2 || connection == nullptr) return 2;
  std::FILE* file = std::fopen(argv[1], "r");
  if (file == nullptr) return 2;
  std::vector<std::string> statements;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string statement(line);
    while (!statement.empty() && (statement.back() == '\n' || statement.back() == '\r'))
      statement.pop_back();
    if (!statement.empty()) statements.push_back(statement);
  }
  std::fclose(file);

  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return 1;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) return 1;
  std::vector<SQLWCHAR> wideConnection = Wide(connection);
  SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, wideConnection.data(), SQL_NTS, nullptr, 0,
                                   nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) return 1;
  int status = 0;
  for (const std::string& statement : statements) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return 1;
    std::vector<SQLWCHAR> wide = Wide(statement);
    rc = SQLExecDirectW(stmt, wide.data(), SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) status = 1;
    while (SQL_SUCCEEDED(SQLMoreResults(stmt))) {
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  }
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return status;
}
