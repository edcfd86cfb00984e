#include "upgrade/connection/sql_server_drivers.h"

#include <array>
#include <string>

#include "base/ascii.h"

namespace kivo {
namespace {

// Without Encrypt, Microsoft's Driver 18 would insist on encryption and a trusted certificate;
// "no" asks what the web application's OLE DB provider asks when it says nothing.
constexpr SqlServerDriver Microsoft(std::string_view name) {
  return {.name = name,
          .marks = {},
          .quoting = OdbcQuoting::kStandard,
          .separatePort = false,
          .instanceWithPort = true,
          .sharedMemory = true,
          .encryptKeyword = "Encrypt",
          .encryptYes = "yes",
          .encryptNo = "no",
          .encryptStrict = "strict",
          .encryptUnset = "no",
          .takesTrustServerCertificate = true,
          .emptyLoginMeansKerberos = false,
          .tdsVersion = {}};
}

constexpr std::array kDrivers = {
    Microsoft("ODBC Driver 18 for SQL Server"),
    Microsoft("ODBC Driver 17 for SQL Server"),
    // Left alone, FreeTDS asks what the OLE DB provider asks without Encrypt (no encryption of
    // the data); its certificate checks are its own configuration.
    SqlServerDriver{.name = "FreeTDS",
                    .marks = {"freetds", "libtdsodbc"},
                    .quoting = OdbcQuoting::kFreeTds,
                    .separatePort = true,
                    .instanceWithPort = false,
                    .sharedMemory = false,
                    .encryptKeyword = "Encryption",
                    .encryptYes = "require",
                    .encryptNo = "request",
                    .encryptStrict = "strict",
                    .encryptUnset = {},
                    .takesTrustServerCertificate = false,
                    .emptyLoginMeansKerberos = true,
                    .tdsVersion = "7.4"},
    Microsoft("SQL Server"),
};

constexpr SqlServerDriver kOtherDriver = Microsoft("");

}  // namespace

std::span<const SqlServerDriver> SqlServerDrivers() { return kDrivers; }

const SqlServerDriver& SqlServerDriverFor(std::string_view driver) {
  const std::string name = LowerAscii(TrimAscii(driver));
  for (const SqlServerDriver& row : kDrivers) {
    if (name == LowerAscii(row.name)) return row;
  }
  for (const SqlServerDriver& row : kDrivers) {
    for (std::string_view mark : row.marks) {
      if (!mark.empty() && name.find(mark) != std::string::npos) return row;
    }
  }
  return kOtherDriver;
}

}  // namespace kivo
