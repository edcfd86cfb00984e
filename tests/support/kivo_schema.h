#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kivo::testing {

// The tables an installed Kivo database has, as a stand-in scenario, with the changes a test
// asks for. Text columns start as varchar(50), so that the upgrade visibly changes them.
struct KivoSchema {
  std::set<std::string> missing;       // "CHXD.T_HIST", ...
  std::set<std::string> notAlterable;  // by the login
  // A table and column an index depends on, as "MD.CustomerContact.Address".
  std::string indexedColumn;
  std::string login = "kivo";
  std::string password = "kivo-pw";
  bool mayCreateTables = true;
  int dropAtRequest = 0;
  // Catalog details as JSON members in the stand-in's scenario format, added to the object
  // they name: a column ("CHXD.T2011.i13": R"("nullable": false)"), a table ("CHXD.T2011":
  // R"("partitioned": true)"), the database, the login, the faults, the scenario itself.
  std::map<std::string, std::string> columnDetails;
  std::map<std::string, std::string> tableDetails;
  std::string databaseDetails;
  std::string loginDetails;
  std::string faultDetails;
  std::string serverDetails;
  // Whole tables besides the Kivo ones, as scenario JSON objects.
  std::vector<std::string> extraTables;

  std::string scenarioJson() const;
};

// The whole run that each window's test drives through the driver: the schema lacks
// MD.CustomerContact, the user picks the SQL login and types these credentials.
struct WindowRunScenario {
  KivoSchema schema;
  std::string login;
  std::string password;
  std::string statusLog;  // the status box afterwards, lines separated by CR LF
  std::string message;    // the one message box
};
WindowRunScenario DriverRunFromWindow();

// The connection value the web application keeps for the stand-in on `port`.
std::string KivoConnectionValue(int port, const std::string& database = "KivoDB");

}  // namespace kivo::testing
