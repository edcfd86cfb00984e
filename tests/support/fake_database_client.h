#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "upgrade/odbc/database_client.h"
#include "upgrade/upgrade_run.h"

namespace kivo::testing {

// How the scripted server answers, and what it was sent. Its clients turn the records into
// outcomes and errors as the ODBC client does through FreeTDS (database_client_test.cpp holds
// both to one suite): which statement ends a batch, which record numbers an error, what a lost
// link and a closed client answer.
struct FakeServer {
  // A refused open: its records in the driver's order, or a failure without any.
  std::vector<Diagnostic> openErrors;
  std::optional<Error> openError;
  // Statements that fail, by their exact text, with the records the server sends for them.
  std::map<std::string, std::vector<Diagnostic>> failures;
  // Statements that succeed with informational records (SQLSTATE class 01), by their text.
  std::map<std::string, std::vector<Diagnostic>> notes;
  // After this many statements the link is gone: every later statement and query fails.
  std::optional<int> dropAfter;
  std::optional<Error> closeError;
  // Answers queries; without it every query fails. The run's question whether a table exists
  // is answered from the tables below instead.
  std::function<QueryResult(const std::string& text, std::span<const std::string> parameters)>
      answerQuery;
  // Tables ("schema.table") that exist but may not be altered, and ones the login may not see
  // (without VIEW DEFINITION). Any other table the run asks about does not exist.
  std::set<std::string> refusedTables;
  std::set<std::string> invisibleTables;

  std::vector<std::string> sent;        // statements, and the texts of queries
  std::vector<std::string> askedAbout;  // the tables the run asked whether they exist
  std::vector<std::vector<std::string>> queryParameters;  // of each query, in order
  std::optional<ConnectionTarget> openedWith;
  int opens = 0;
  int closes = 0;
  int clientsAlive = 0;

  // The records SQL Server sends for a table the statement cannot find or may not alter.
  static std::vector<Diagnostic> MissingObject(const std::string& name);
  static std::vector<Diagnostic> Message(int number, const std::string& text,
                                         const std::string& sqlState = "42000");
};

// A RunEnvironment whose clients answer from `server`.
RunEnvironment FakeEnvironment(std::shared_ptr<FakeServer> server);

}  // namespace kivo::testing
