#include "upgrade/odbc/odbc_diagnostics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo {
namespace {

TEST(WithoutDriverTags, LeavesWhatTheServerOrComponentWrote) {
  struct Case {
    std::string message;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"[FreeTDS][SQL Server]Invalid object name 'T'.", "Invalid object name 'T'."},
      {"[unixODBC][Driver Manager]Data source name not found", "Data source name not found"},
      {"[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Login failed for user 'sa'.",
       "Login failed for user 'sa'."},
      {"[Microsoft][ODBC Driver 18 for SQL Server]Login timeout expired", "Login timeout expired"},
      {"[Microsoft][ODBC Driver Manager] Data source name not found", "Data source name not found"},
      {"[unixODBC][FreeTDS][SQL Server]Unexpected EOF from the server",
       "Unexpected EOF from the server"},
      // A server text that itself starts with a bracket keeps it.
      {"[FreeTDS][SQL Server][dbo].[T] is locked", "[dbo].[T] is locked"},
      {"No tags at all", "No tags at all"},
      {"[unterminated tag", "[unterminated tag"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WithoutDriverTags(c.message), c.text) << c.message;
}

TEST(StatementError, NumbersByTheFirstErrorAndJoinsEveryMessage) {
  struct Case {
    std::vector<Diagnostic> records;
    std::int32_t number;
    std::string description;
  };
  const std::vector<Case> cases = {
      {{{"42000", 5074, "The index 'IX' is dependent on column 'c'."}, {"42000", 4922, "failed"}},
       5074,
       "The index 'IX' is dependent on column 'c'.\r\nfailed"},
      // An informational record in front gives no number.
      {{{"01000", 0, "printed"}, {"42S02", 208, "Invalid object name 'T'."}},
       208,
       "printed\r\nInvalid object name 'T'."},
      {{{"HYT00", 0, "Query timeout expired"}}, kQueryTimeoutError, "Query timeout expired"},
      {{{"08S01", 0, "Communication link failure"}},
       kUnspecifiedError,
       "Communication link failure"},
  };
  for (const Case& c : cases) {
    const Error error = StatementError(c.records);
    EXPECT_EQ(error.number(), c.number) << c.description;
    EXPECT_EQ(error.description(), c.description);
  }
  EXPECT_NE(StatementError({}).number(), 0);
}

TEST(EndsBatch, OnlyNameResolutionAndALostConnection) {
  struct Case {
    std::vector<Diagnostic> records;
    bool ends;
  };
  const std::vector<Case> cases = {
      {{{"42S02", 208, "Invalid object name 'T'."}}, true},
      {{{"01000", 0, "x"}, {"42S02", 208, "Invalid object name 'T'."}}, true},
      {{{"08S01", 0, "Communication link failure"}}, true},
      {{{"08001", 0, "Unable to connect"}}, true},
      {{{"01000", 20017, "Unexpected EOF from the server"}, {"HY000", 0, "x"}}, true},
      {{{"HY000", 20047, "DBPROCESS is dead or not enabled"}}, true},
      {{{"42000", 4902, "Cannot find the object \"T\""}}, false},
      {{{"42S01", 2714, "There is already an object named 'T'"}}, false},
      {{{"42000", 5074, "dependent"}, {"42000", 4922, "failed"}}, false},
      {{{"HYT00", 0, "Query timeout expired"}}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EndsBatch(c.records), c.ends)
        << (c.records.empty() ? "none" : c.records.front().sqlState);
  }
}

}  // namespace
}  // namespace kivo
