#include "upgrade/batches/upgrade_batches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/batches.h"

namespace kivo {
namespace {

using testing::Batch;

// The SQL is the schema revision itself: a golden copy, character for character.
TEST(UpgradeBatches, TextsAreExactlyTheRevisionsSql) {
  const std::vector<std::string> texts = {
      "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); "
      "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250); "
      "ALTER TABLE CHXD.TPRICE ALTER COLUMN i13 nvarchar(250); "
      "ALTER TABLE CHXD.TPRICE ALTER COLUMN i15 nvarchar(250); "
      "ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); "
      "ALTER TABLE CHXD.T_HIST ALTER COLUMN i15 nvarchar(250);",
      "ALTER TABLE MD.CustomerContact ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE MD.CustomerContact ALTER COLUMN Address nvarchar(250);",
      "ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE CHXD.CustomerContact ALTER COLUMN Address nvarchar(250); "
      "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN Address nvarchar(250);",
      "ALTER TABLE MD.Customer ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE MD.Customer ALTER COLUMN Address nvarchar(250); "
      "ALTER TABLE MD.Customer_Hist ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE MD.Customer_Hist ALTER COLUMN Address nvarchar(250);",
      "ALTER TABLE CHXD.Customer ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE CHXD.Customer ALTER COLUMN Address nvarchar(250); "
      "ALTER TABLE CHXD.Customer_Hist ALTER COLUMN N nvarchar(250); "
      "ALTER TABLE CHXD.Customer_Hist ALTER COLUMN Address nvarchar(250);",
  };
  const std::string columns = "Cast(Null as Bigint) As ChangeU, Cast (Null as Bigint) As ChangeD ";
  const std::vector<std::string> history = {
      "",
      "",
      "SELECT  CustomerContact.*, " + columns +
          "INTO CHXD.CustomerContact_HIST FROM CHXD.CustomerContact;",
      "SELECT  Customer.*, " + columns + "INTO MD.Customer_Hist FROM MD.Customer;",
      "SELECT  Customer.*, " + columns + "INTO CHXD.Customer_Hist FROM CHXD.Customer;",
  };
  for (int n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(Batch(n).number, n);
    EXPECT_EQ(Batch(n).text(), texts[n - 1]);
    EXPECT_EQ(Batch(n).history ? Batch(n).history->statement : "", history[n - 1]);
    // One statement per request: each ends at its semicolon (and the blank after it).
    for (const auto& statement : Batch(n).statements) {
      EXPECT_EQ(std::count(statement.begin(), statement.end(), ';'), 1) << statement;
    }
    // The check reads what each statement alters from the row, not from the SQL.
    ASSERT_EQ(Batch(n).altered.size(), Batch(n).statements.size());
    for (std::size_t i = 0; i < Batch(n).statements.size(); ++i) {
      const AlteredColumn& declared = Batch(n).altered[i];
      std::istringstream words(Batch(n).statements[i]);
      std::string alter, table, name, alterAgain, column, columnName, type;
      words >> alter >> table >> name >> alterAgain >> column >> columnName >> type;
      EXPECT_EQ(name, declared.schema + "." + declared.table) << Batch(n).statements[i];
      EXPECT_EQ(columnName, declared.column) << Batch(n).statements[i];
      EXPECT_EQ(type, std::string(kTargetType) + ";") << Batch(n).statements[i];
    }
    if (const auto& step = Batch(n).history) {
      EXPECT_TRUE(step->statement.ends_with(" FROM " + step->baseTable + ";"));
      EXPECT_EQ(Batch(n).altered[step->firstStatement].table, Batch(n).altered[0].table + "_Hist");
    }
  }
}

}  // namespace
}  // namespace kivo
