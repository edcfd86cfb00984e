#include "upgrade/batches/upgrade_batches.h"

#include <algorithm>

namespace kivo {
namespace {

constexpr const char* kHistoryColumns =
    "Cast(Null as Bigint) As ChangeU, Cast (Null as Bigint) As ChangeD ";

// The history step that copies `from` (whose name without schema is `base`) into `into`.
HistoryStep CopyInto(const char* base, const char* into, const char* from, const char* line) {
  return {std::string("SELECT  ") + base + ".*, " + kHistoryColumns + "INTO " + into + " FROM " +
              from + ";",
          line,
          2,
          from,
          into,
          {"ChangeU", "ChangeD"}};
}

// The texts are sent exactly as written here, blanks included: administrators compare what
// the server received with them.
std::vector<UpgradeBatch> MakeBatches() {
  return {
      {1,
       {"ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ",
        "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250); ",
        "ALTER TABLE CHXD.TPRICE ALTER COLUMN i13 nvarchar(250); ",
        "ALTER TABLE CHXD.TPRICE ALTER COLUMN i15 nvarchar(250); ",
        "ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); ",
        "ALTER TABLE CHXD.T_HIST ALTER COLUMN i15 nvarchar(250);"},
       {{"CHXD", "T2011", "i13"},
        {"CHXD", "T2011", "i15"},
        {"CHXD", "TPRICE", "i13"},
        {"CHXD", "TPRICE", "i15"},
        {"CHXD", "T_HIST", "i13"},
        {"CHXD", "T_HIST", "i15"}},
       "Table CHXD.T2011 columns altered!",
       "No table T_Hist existing!",
       std::nullopt},
      {2,
       {"ALTER TABLE MD.CustomerContact ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE MD.CustomerContact ALTER COLUMN Address nvarchar(250);"},
       {{"MD", "CustomerContact", "N"}, {"MD", "CustomerContact", "Address"}},
       "Table MD.CustomerContact columns altered!",
       "No table MD.CustomerContact existing!",
       std::nullopt},
      {3,
       {"ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.CustomerContact ALTER COLUMN Address nvarchar(250); ",
        "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN Address nvarchar(250);"},
       {{"CHXD", "CustomerContact", "N"},
        {"CHXD", "CustomerContact", "Address"},
        {"CHXD", "CustomerContact_Hist", "N"},
        {"CHXD", "CustomerContact_Hist", "Address"}},
       "Table CHXD.CustomerContact columns altered!",
       {},
       CopyInto("CustomerContact", "CHXD.CustomerContact_HIST", "CHXD.CustomerContact",
                "Table CHXD.CustomerContact_Hist is created!")},
      {4,
       {"ALTER TABLE MD.Customer ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE MD.Customer ALTER COLUMN Address nvarchar(250); ",
        "ALTER TABLE MD.Customer_Hist ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE MD.Customer_Hist ALTER COLUMN Address nvarchar(250);"},
       {{"MD", "Customer", "N"},
        {"MD", "Customer", "Address"},
        {"MD", "Customer_Hist", "N"},
        {"MD", "Customer_Hist", "Address"}},
       "Table MD.Customer Columns altered!",
       {},
       CopyInto("Customer", "MD.Customer_Hist", "MD.Customer",
                "Table MD.Customer_Hist is created!")},
      {5,
       {"ALTER TABLE CHXD.Customer ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.Customer ALTER COLUMN Address nvarchar(250); ",
        "ALTER TABLE CHXD.Customer_Hist ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.Customer_Hist ALTER COLUMN Address nvarchar(250);"},
       {{"CHXD", "Customer", "N"},
        {"CHXD", "Customer", "Address"},
        {"CHXD", "Customer_Hist", "N"},
        {"CHXD", "Customer_Hist", "Address"}},
       "Table CHXD.Customer Columns altered!",
       {},
       CopyInto("Customer", "CHXD.Customer_Hist", "CHXD.Customer",
                "Table CHXD.Customer_Hist is created!")},
  };
}

}  // namespace

std::string UpgradeBatch::text() const {
  std::string all;
  for (const auto& s : statements) all += s;
  return all;
}

std::span<const UpgradeBatch> UpgradeBatches() {
  static const std::vector<UpgradeBatch> batches = MakeBatches();
  return batches;
}

std::vector<std::string> SessionSettings(std::optional<int> lockTimeoutSeconds) {
  // ANSI_WARNINGS OFF lets a statement cut values short instead of failing; with implicit
  // transactions every ALTER stays uncommitted and is rolled back when the connection closes,
  // after the run has reported it done; XACT_ABORT ON rolls back an open transaction at the
  // first failing statement, which takes that decision out of the run's hands.
  std::vector<std::string> settings = {"SET ANSI_WARNINGS ON;", "SET IMPLICIT_TRANSACTIONS OFF;",
                                       "SET XACT_ABORT OFF;"};
  if (lockTimeoutSeconds) {
    settings.push_back(
        "SET LOCK_TIMEOUT " +
        std::to_string(std::clamp(*lockTimeoutSeconds, 0, kMaxLockTimeoutSeconds) * 1000) + ";");
  }
  return settings;
}

}  // namespace kivo
