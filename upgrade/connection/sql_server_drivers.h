#pragma once

#include <array>
#include <span>
#include <string_view>

namespace kivo {

// How a driver reads {...} values in a connection string.
enum class OdbcQuoting {
  // The ODBC standard, which Microsoft's drivers follow: "}" inside is doubled.
  kStandard,
  // FreeTDS takes a braced value as it stands up to the first "};" (or the end of the string,
  // closing brace included), so "};" cannot be written and every item is closed by ";".
  kFreeTds,
  // A driver we do not know (a DSN): only values that both readings agree on, so a value that
  // needs braces may not hold "}".
  kUnknownDriver,
};

// What the translation and the connection string must know of an ODBC driver for SQL Server.
// Adding a driver is adding a row to the table behind SqlServerDrivers().
struct SqlServerDriver {
  std::string_view name;  // as the driver manager lists it
  // Pieces of a name (lower case) that identify the driver however it was registered or named by
  // its library's path ("FreeTDS 1.3", "/usr/lib/.../libtdsodbc.so"); empty: the name only.
  std::array<std::string_view, 2> marks{};
  OdbcQuoting quoting = OdbcQuoting::kStandard;
  bool separatePort = false;  // "PORT=1433" rather than "SERVER=host,1433"
  // Reads "host\instance" together with a port; otherwise an explicit port wins and the
  // instance is dropped (the port alone picks the listener).
  bool instanceWithPort = true;
  // On Windows "(local)" reaches a local server through shared memory, which also works where
  // the server listens on no TCP port, as SQL Server Express does by default.
  bool sharedMemory = false;
  // Encryption: the keyword, and its values for the connection value's Encrypt=yes, no and
  // strict. `encryptUnset` is sent when the connection value says nothing (empty: nothing).
  std::string_view encryptKeyword;
  std::string_view encryptYes;
  std::string_view encryptNo;
  std::string_view encryptStrict;
  std::string_view encryptUnset;
  bool takesTrustServerCertificate = false;
  bool emptyLoginMeansKerberos = false;  // UID= with no name makes it try an integrated logon
  std::string_view tdsVersion;           // "TDS_Version=..."; empty: the driver's own choice
};

// The drivers a translation looks for, in the order it prefers them.
std::span<const SqlServerDriver> SqlServerDrivers();

// The row of a driver given by its name or its library's path (letter case aside). A driver we
// do not know is taken to follow Microsoft's rules, as SQL Server's own drivers all do.
const SqlServerDriver& SqlServerDriverFor(std::string_view driver);

}  // namespace kivo
