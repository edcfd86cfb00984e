#include "upgrade/preflight_targets.h"

#include "base/ascii.h"
#include "upgrade/upgrade_batches.h"

namespace kivo {
namespace {

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == ';') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::vector<TargetColumn> ReadTargets() {
  std::vector<TargetColumn> targets;
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    // The history statement copies "... INTO history FROM base;".
    std::string historyTable;
    std::string historyBase;
    if (batch.history) {
      const std::vector<std::string> words = Words(batch.history->statement);
      for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (LowerAscii(words[i]) == "into") historyTable = LowerAscii(words[i + 1]);
        if (LowerAscii(words[i]) == "from") historyBase = words[i + 1];
      }
    }
    // "ALTER TABLE schema.table ALTER COLUMN column nvarchar(250)"
    for (const std::string& statement : batch.statements) {
      const std::vector<std::string> words = Words(statement);
      if (words.size() < 6) continue;
      const auto [schema, table] = SplitQualifiedName(words[2]);
      TargetColumn target{schema, table, words[5], {}};
      if (LowerAscii(words[2]) == historyTable) target.historyBase = historyBase;
      targets.push_back(std::move(target));
    }
  }
  return targets;
}

}  // namespace

std::string CatalogKey(std::string_view schema, std::string_view table, std::string_view column) {
  // Appended piece by piece: "." + std::string trips GCC 12's -Wrestrict at -O3 (a false alarm).
  std::string key = LowerAscii(schema);
  key += '.';
  key += LowerAscii(table);
  if (!column.empty()) {
    key += '.';
    key += LowerAscii(column);
  }
  return key;
}

std::pair<std::string, std::string> SplitQualifiedName(const std::string& qualified) {
  const std::size_t dot = qualified.find('.');
  return {qualified.substr(0, dot), qualified.substr(dot + 1)};
}

const std::vector<TargetColumn>& TargetColumns() {
  static const std::vector<TargetColumn> targets = ReadTargets();
  return targets;
}

}  // namespace kivo
