#include "upgrade/oledb_connection_string.h"

#include <algorithm>
#include <utility>

#include "base/ascii.h"
#include "base/error.h"
#include "upgrade/connection_keywords.h"

namespace kivo {
namespace {

[[noreturn]] void Fail(std::string description) {
  throw Error(kInvalidArgument, std::move(description));
}

bool IsBlank(char c) { return kAsciiBlanks.find(c) != std::string_view::npos; }

}  // namespace

std::vector<OleDbItem> ParseOleDbConnectionString(std::string_view text) {
  std::vector<OleDbItem> items;
  size_t pos = 0;
  int number = 0;
  const size_t n = text.size();
  while (pos < n) {
    while (pos < n && IsBlank(text[pos])) ++pos;
    if (pos >= n) break;
    if (text[pos] == ';') {
      ++pos;
      continue;
    }
    ++number;
    // The values may hold a password, so complaints name the item, never its text.
    std::string name;
    while (pos < n && text[pos] != ';') {
      if (text[pos] == '=') {
        if (pos + 1 < n && text[pos + 1] == '=') {
          name += '=';
          pos += 2;
          continue;
        }
        break;
      }
      name += text[pos++];
    }
    if (pos >= n || text[pos] != '=') {
      Fail("Item " + std::to_string(number) + " of the connection value has no \"=\".");
    }
    ++pos;
    OleDbItem item;
    item.name = std::string(TrimAscii(name));
    if (item.name.empty()) {
      Fail("Item " + std::to_string(number) + " of the connection value has no name.");
    }
    while (pos < n && IsBlank(text[pos])) ++pos;
    if (pos < n && (text[pos] == '"' || text[pos] == '\'')) {
      const char quote = text[pos++];
      bool closed = false;
      while (pos < n) {
        if (text[pos] == quote) {
          if (pos + 1 < n && text[pos + 1] == quote) {
            item.value += quote;
            pos += 2;
            continue;
          }
          ++pos;
          closed = true;
          break;
        }
        item.value += text[pos++];
      }
      if (!closed) {
        Fail("In the connection value, the value of " + ItemLabel(item.name) +
             " has an opening quote without its closing quote.");
      }
      while (pos < n && IsBlank(text[pos])) ++pos;
      if (pos < n && text[pos] != ';') {
        Fail("In the connection value, the value of " + ItemLabel(item.name) +
             " has text after its closing quote.");
      }
    } else {
      const size_t end = std::min(text.find(';', pos), n);
      item.value = std::string(TrimAscii(text.substr(pos, end - pos)));
      pos = end;
    }
    if (pos < n) ++pos;  // the ';'
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace kivo
