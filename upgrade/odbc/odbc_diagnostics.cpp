#include "upgrade/odbc/odbc_diagnostics.h"

#include <algorithm>
#include <utility>

namespace kivo {

bool IsInformational(const Diagnostic& record) { return record.sqlState.starts_with("01"); }

Error ErrorOf(const std::vector<Diagnostic>& records, const char* whenNone) {
  if (records.empty()) return Error(kUnspecifiedError, whenNone);
  const Diagnostic& first = records.front();
  return Error(first.nativeError != 0 ? first.nativeError : kUnspecifiedError, first.message);
}

void RankDatabaseMessagesFirst(std::vector<Diagnostic>& records) {
  std::stable_partition(records.begin(), records.end(), [](const Diagnostic& r) {
    return !IsInformational(r) && (r.nativeError == 4060 || r.nativeError == 4064);
  });
}

std::string WithoutDriverTags(std::string_view message) {
  // "[vendor][component][data source]text", by the ODBC rules for diagnostic messages; unixODBC
  // may put its own tag in front.
  std::string_view rest = message;
  for (int tags = 0; tags < 4 && rest.starts_with('['); ++tags) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) break;
    const std::string_view tag = rest.substr(1, close - 1);
    if (tag.find('[') != std::string_view::npos) break;
    rest.remove_prefix(close + 1);
    if (tag == "SQL Server") break;  // the server's own text follows
  }
  while (rest.starts_with(' ')) rest.remove_prefix(1);
  return std::string(rest);
}

Error StatementError(std::span<const Diagnostic> records) {
  if (records.empty()) return Error(kUnspecifiedError, "The statement failed.");
  const auto firstError = std::find_if(records.begin(), records.end(),
                                       [](const Diagnostic& r) { return !IsInformational(r); });
  const Diagnostic& numbered = firstError != records.end() ? *firstError : records.front();
  std::int32_t number = numbered.nativeError;
  if (number == 0) number = numbered.sqlState == "HYT00" ? kQueryTimeoutError : kUnspecifiedError;
  std::string description;
  for (const Diagnostic& record : records) {
    if (!description.empty()) description += "\r\n";
    description += record.message;
  }
  return Error(number, std::move(description));
}

bool ConnectionLost(std::span<const Diagnostic> records) {
  return std::any_of(records.begin(), records.end(), [](const Diagnostic& r) {
    return r.sqlState.starts_with("08") || r.nativeError == 20017 || r.nativeError == 20047;
  });
}

bool EndsBatch(std::span<const Diagnostic> records) {
  const bool nameResolution = std::any_of(records.begin(), records.end(), [](const Diagnostic& r) {
    return r.nativeError == 208 && !IsInformational(r);
  });
  return nameResolution || ConnectionLost(records);
}

}  // namespace kivo
