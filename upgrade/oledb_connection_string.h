#pragma once

#include <string>
#include <string_view>
#include <vector>

// Every error raised here is kivo::Error number 5 (invalid argument) with a description that
// names the item at fault but never quotes a value, since the connection value may hold a
// password.

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

}  // namespace kivo
