#include "tests/support/kivo_schema.h"

#include <nlohmann/json.hpp>
#include <vector>

namespace kivo::testing {
namespace {

struct Table {
  const char* schema;
  const char* name;
  std::vector<const char*> columns;
};

const std::vector<Table>& Tables() {
  static const std::vector<Table> tables = {
      {"CHXD", "T2011", {"i13", "i15"}},
      {"CHXD", "TPRICE", {"i13", "i15"}},
      {"CHXD", "T_HIST", {"i13", "i15"}},
      {"MD", "CustomerContact", {"N", "Address"}},
      {"CHXD", "CustomerContact", {"N", "Address"}},
      {"CHXD", "CustomerContact_Hist", {"N", "Address", "ChangeU", "ChangeD"}},
      {"MD", "Customer", {"N", "Address"}},
      {"MD", "Customer_Hist", {"N", "Address", "ChangeU", "ChangeD"}},
      {"CHXD", "Customer", {"N", "Address"}},
      {"CHXD", "Customer_Hist", {"N", "Address", "ChangeU", "ChangeD"}},
  };
  return tables;
}

}  // namespace

std::string KivoSchema::scenarioJson() const {
  std::string tables;
  for (const Table& t : Tables()) {
    const std::string qualified = std::string(t.schema) + "." + t.name;
    if (missing.count(qualified)) continue;
    std::string columns = R"({"name": "Id", "type": "int", "nullable": false})";
    for (const char* c : t.columns) {
      const bool history = std::string(c).starts_with("Change");
      const auto details = columnDetails.find(qualified + "." + c);
      columns += std::string(R"(, {"name": ")") + c + R"(", "type": ")" +
                 (history ? "bigint" : "varchar(50)") + "\"" +
                 (details != columnDetails.end() ? ", " + details->second : "") + "}";
    }
    std::string indexes;
    if (indexedColumn.starts_with(qualified + ".")) {
      indexes = R"(, "indexes": [{"name": "IX_)" + std::string(t.name) + R"(", "columns": [")" +
                indexedColumn.substr(qualified.size() + 1) + R"("]}])";
    }
    if (!tables.empty()) tables += ",\n";
    tables += R"({"schema": ")" + std::string(t.schema) + R"(", "name": ")" + t.name +
              R"(", "rows": 3, "columns": [)" + columns + "]" + indexes + R"(, "not_alterable": )" +
              (notAlterable.count(qualified) ? "true" : "false") +
              (tableDetails.count(qualified) ? ", " + tableDetails.at(qualified) : "") + "}";
  }
  for (const std::string& extra : extraTables) tables += (tables.empty() ? "" : ",\n") + extra;
  auto more = [](const std::string& details) { return details.empty() ? "" : ", " + details; };
  return R"({"databases": [{"name": "KivoDB", "schemas": ["CHXD", "MD"], "tables": [)" + tables +
         "]" + more(databaseDetails) + R"(}], "logins": [{"name": )" +
         nlohmann::json(login).dump() + R"(, "password": )" + nlohmann::json(password).dump() +
         R"(, "default_database": "KivoDB", "may_create_tables": )" +
         (mayCreateTables ? "true" : "false") + more(loginDetails) +
         R"(}], "faults": {"drop_at_request": )" + std::to_string(dropAtRequest) +
         more(faultDetails) + "}" + more(serverDetails) + "}";
}

WindowRunScenario DriverRunFromWindow() {
  WindowRunScenario run;
  run.schema.missing = {"MD.CustomerContact"};
  run.login = run.schema.login;
  run.password = run.schema.password;
  // The run's fixed progress texts end in CR LF themselves.
  for (const char* line :
       {"Table CHXD.T2011 columns altered!", "No table MD.CustomerContact existing!",
        "Table CHXD.CustomerContact columns altered!", "Table MD.Customer Columns altered!",
        "Table CHXD.Customer Columns altered!"}) {
    run.statusLog += std::string(line) + "\r\n\r\n";
  }
  run.statusLog += "Kivo client was update successful\r\n";
  run.message = "Update successful!";
  return run;
}

std::string KivoConnectionValue(int port, const std::string& database) {
  return "Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=127.0.0.1," +
         std::to_string(port) + ";Initial Catalog=" + database +
         ";User ID=webapp;Password=stored-by-the-web-app";
}

}  // namespace kivo::testing
