#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "upgrade/connection/connection_target.h"
#include "upgrade/connection/sql_server_drivers.h"

// Every error raised here is kivo::Error number 5 (invalid argument) with a description that names
// the item at fault but never quotes a value, since the logon may hold a password.

namespace kivo {

// The quoting rules of a driver, by the name the driver manager lists it under (or the path of
// its library).
OdbcQuoting QuotingForDriver(std::string_view driver);

// The ODBC connection string for the target, every value quoted by the rules of its driver.
// Throws kivo::Error for a value that driver cannot carry.
std::string BuildOdbcConnectionString(const ConnectionTarget& target);

// `value` as it must be written after "keyword=" for a driver with these rules: bare when it can
// be, otherwise in braces. Throws kivo::Error, naming `what` (for example "the password"), for a
// value those rules cannot carry and for any NUL character.
std::string QuoteOdbcValue(std::string_view value, OdbcQuoting quoting, std::string_view what);

// BuildOdbcConnectionString with the password written as "****", for showing to people. A masker
// that reads the finished string cannot know the driver's brace rules and may show a piece of it.
std::string MaskedOdbcConnectionString(const ConnectionTarget& target);

// The one reading of a quoted value by the standard rules: `text[open]` is "{", '"' or "'", the
// value runs to the matching "}" or the same quote, and that closing character doubled stands for
// itself. The position just past the closing character; npos when none closes the value.
std::size_t QuotedValueEnd(std::string_view text, std::size_t open);

}  // namespace kivo
