#include "upgrade/upgrade_batches.h"

#include "upgrade/run_texts.h"

namespace kivo {
namespace {

constexpr const char* kHistoryColumns =
    "Cast(Null as Bigint) As ChangeU, Cast (Null as Bigint) As ChangeD ";

std::array<UpgradeBatch, 5> MakeBatches() {
  return {{
      {1,
       {"ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ",
        "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250); ",
        "ALTER TABLE CHXD.TPRICE ALTER COLUMN i13 nvarchar(250); ",
        "ALTER TABLE CHXD.TPRICE ALTER COLUMN i15 nvarchar(250); ",
        "ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); ",
        "ALTER TABLE CHXD.T_HIST ALTER COLUMN i15 nvarchar(250);"},
       std::string(kBatchLines[0].altered),
       std::string(kBatchLines[0].missing),
       std::nullopt},
      {2,
       {"ALTER TABLE MD.CustomerContact ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE MD.CustomerContact ALTER COLUMN Address nvarchar(250);"},
       std::string(kBatchLines[1].altered),
       std::string(kBatchLines[1].missing),
       std::nullopt},
      {3,
       {"ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.CustomerContact ALTER COLUMN Address nvarchar(250); ",
        "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN Address nvarchar(250);"},
       std::string(kBatchLines[2].altered),
       {},
       HistoryStep{std::string("SELECT  CustomerContact.*, ") + kHistoryColumns +
                       "INTO CHXD.CustomerContact_HIST FROM CHXD.CustomerContact;",
                   std::string(kBatchLines[2].created), 2}},
      {4,
       {"ALTER TABLE MD.Customer ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE MD.Customer ALTER COLUMN Address nvarchar(250); ",
        "ALTER TABLE MD.Customer_Hist ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE MD.Customer_Hist ALTER COLUMN Address nvarchar(250);"},
       std::string(kBatchLines[3].altered),
       {},
       HistoryStep{std::string("SELECT  Customer.*, ") + kHistoryColumns +
                       "INTO MD.Customer_Hist FROM MD.Customer;",
                   std::string(kBatchLines[3].created), 2}},
      {5,
       {"ALTER TABLE CHXD.Customer ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.Customer ALTER COLUMN Address nvarchar(250); ",
        "ALTER TABLE CHXD.Customer_Hist ALTER COLUMN N nvarchar(250); ",
        "ALTER TABLE CHXD.Customer_Hist ALTER COLUMN Address nvarchar(250);"},
       std::string(kBatchLines[4].altered),
       {},
       HistoryStep{std::string("SELECT  Customer.*, ") + kHistoryColumns +
                       "INTO CHXD.Customer_Hist FROM CHXD.Customer;",
                   std::string(kBatchLines[4].created), 2}},
  }};
}

}  // namespace

std::string UpgradeBatch::text() const {
  std::string all;
  for (const auto& s : statements) all += s;
  return all;
}

const std::array<UpgradeBatch, 5>& UpgradeBatches() {
  static const std::array<UpgradeBatch, 5> batches = MakeBatches();
  return batches;
}

}  // namespace kivo
