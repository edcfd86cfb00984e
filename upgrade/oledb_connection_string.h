#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "upgrade/connection_target.h"

// TranslateConnection and BuildOdbcConnectionString (declared in connection_target.h) live in
// this component too. Every error they raise is kivo::Error number 5 (invalid argument) with a
// description that names the item at fault but never quotes a value, since the connection value
// and the logon may hold a password.

namespace kivo {

// One item of an OLE DB connection string: the name as written, blanks around it removed, and
// the value with its quotes resolved.
struct OleDbItem {
  std::string name;
  std::string value;
};

// Splits an OLE DB connection string by the OLE DB rules: items separated by ";", "==" in a
// name standing for "=", blanks around names and unquoted values ignored, a value in double or
// single quotes running to the matching quote with that quote doubled inside. Empty items are
// skipped. Throws kivo::Error for an unbalanced quote, text after a closing quote or an item
// without "=".
std::vector<OleDbItem> ParseOleDbConnectionString(std::string_view text);

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

// The quoting rules of a driver, by the name the driver manager lists it under (or the path of
// its library).
OdbcQuoting QuotingForDriver(std::string_view driver);

// `value` as it must be written after "keyword=" for a driver with these rules: bare when it can
// be, otherwise in braces. Throws kivo::Error, naming `what` (for example "the password"), for a
// value those rules cannot carry and for any NUL character.
std::string QuoteOdbcValue(std::string_view value, OdbcQuoting quoting, std::string_view what);

// BuildOdbcConnectionString with the password written as "****", for showing to people. A masker
// that reads the finished string cannot know the driver's brace rules and may show a piece of it.
std::string MaskedOdbcConnectionString(const ConnectionTarget& target);

// The drivers TranslateConnection looks for, in the order it prefers them.
const std::vector<std::string>& PreferredSqlServerDrivers();

}  // namespace kivo
