#include "upgrade/connection/oledb_connection_string.h"

#include <algorithm>
#include <utility>

#include "base/ascii.h"
#include "base/error.h"
#include "upgrade/connection/connection_keywords.h"

namespace kivo {
namespace {

bool IsBlank(char c) { return kAsciiBlanks.find(c) != std::string_view::npos; }

}  // namespace

OleDbReading ReadOleDbConnectionString(std::string_view text) {
  OleDbReading reading;
  // The values may hold a password, so complaints name the item, never its text.
  auto stop = [&reading](std::size_t at, std::string problem) {
    reading.unreadableFrom = at;
    reading.problem = std::move(problem);
    return std::move(reading);
  };
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
    const size_t itemBegin = pos;
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
      return stop(itemBegin,
                  "Item " + std::to_string(number) + " of the connection value has no \"=\".");
    }
    ++pos;
    OleDbItemSpan span;
    span.valueBegin = pos;
    OleDbItem& item = span.item;
    item.name = std::string(TrimAscii(name));
    if (item.name.empty()) {
      return stop(itemBegin,
                  "Item " + std::to_string(number) + " of the connection value has no name.");
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
        return stop(span.valueBegin, "In the connection value, the value of " +
                                         ItemLabel(item.name) +
                                         " has an opening quote without its closing quote.");
      }
      while (pos < n && IsBlank(text[pos])) ++pos;
      if (pos < n && text[pos] != ';') {
        return stop(span.valueBegin, "In the connection value, the value of " +
                                         ItemLabel(item.name) +
                                         " has text after its closing quote.");
      }
    } else {
      const size_t end = std::min(text.find(';', pos), n);
      item.value = std::string(TrimAscii(text.substr(pos, end - pos)));
      pos = end;
    }
    span.valueEnd = pos;
    if (pos < n) ++pos;  // the ';'
    reading.items.push_back(std::move(span));
  }
  return reading;
}

std::vector<OleDbItem> ParseOleDbConnectionString(std::string_view text) {
  OleDbReading reading = ReadOleDbConnectionString(text);
  if (reading.unreadableFrom != std::string_view::npos) {
    throw Error(kInvalidArgument, std::move(reading.problem));
  }
  std::vector<OleDbItem> items;
  items.reserve(reading.items.size());
  for (OleDbItemSpan& span : reading.items) items.push_back(std::move(span.item));
  return items;
}

}  // namespace kivo
