#pragma once

#include <string>
#include <string_view>

namespace kivo {

// What an item of the web application's connection value means to the translation.
enum class KeywordMeaning {
  kProvider,
  kServer,
  kDatabase,
  kDriverAttribute,  // passed on to SQL Server's drivers under its ODBC keyword
  kConnectTimeout,
  kEncrypt,
  kTrustServerCertificate,
  kCredential,     // the logon supplies these; dropped wherever they appear
  kOleDbOnly,      // means nothing outside OLE DB; dropped
  kDriverManager,  // picks the driver; leads the ODBC string when passed through
  kOther,          // known by name only: passed through as written, unused for SQL Server
};

// One keyword or alias of an OLE DB connection string, and how each driver is given it.
struct ConnectionKeyword {
  std::string_view name;  // lower case
  KeywordMeaning meaning;
  // The ODBC keyword for SQL Server's drivers (kDriverAttribute only).
  std::string_view sqlServerKeyword;
  // The ODBC keyword the provider for ODBC drivers gives it; empty: the name as written.
  std::string_view passThroughKeyword;
};

// The keyword of that name (blanks around it and letter case aside); nullptr for a name that is
// no keyword we know.
const ConnectionKeyword* FindConnectionKeyword(std::string_view name);

// What a complaint calls an item: its name if that is a keyword we know, otherwise "an item",
// since a password with ";" in it can make a piece of itself look like an item's name.
std::string ItemLabel(std::string_view name);

}  // namespace kivo
