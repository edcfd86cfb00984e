#pragma once

#include <cstddef>
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

// An item and where it stands in the text it was read from.
struct OleDbItemSpan {
  OleDbItem item;
  std::size_t valueBegin = 0;  // just past the "="
  std::size_t valueEnd = 0;    // at the ";" that ends the item, or the end of the text
};

// The reading behind ParseOleDbConnectionString, for showing the text itself with some values
// hidden: the items read, and where and why the reading stopped at a fault. Throws nothing.
struct OleDbReading {
  std::vector<OleDbItemSpan> items;
  std::size_t unreadableFrom = std::string_view::npos;  // npos: the whole text was read
  std::string problem;
};
OleDbReading ReadOleDbConnectionString(std::string_view text);

}  // namespace kivo
