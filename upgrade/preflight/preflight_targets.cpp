#include "upgrade/preflight/preflight_targets.h"

#include "base/ascii.h"

namespace kivo {
namespace {

std::vector<TargetColumn> ReadTargets() {
  std::vector<TargetColumn> targets;
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    for (std::size_t i = 0; i < batch.altered.size(); ++i) {
      const AlteredColumn& altered = batch.altered[i];
      TargetColumn target{altered.schema, altered.table, altered.column, {}, {}};
      if (batch.history && i >= batch.history->firstStatement) {
        target.historyBase = batch.history->baseTable;
        target.historyCreated = batch.history->createdTable;
      }
      targets.push_back(std::move(target));
    }
  }
  return targets;
}

}  // namespace

std::string CatalogKey(std::string_view schema, std::string_view table, std::string_view column,
                       bool caseSensitive) {
  auto name = [caseSensitive](std::string_view part) {
    return caseSensitive ? std::string(part) : LowerAscii(part);
  };
  // Appended piece by piece: "." + std::string trips GCC 12's -Wrestrict at -O3 (a false alarm).
  std::string key = name(schema);
  key += '.';
  key += name(table);
  if (!column.empty()) {
    key += '.';
    key += name(column);
  }
  return key;
}

const std::vector<std::string>& HistoryAddedColumns() {
  static const std::vector<std::string> columns = [] {
    for (const UpgradeBatch& batch : UpgradeBatches()) {
      if (batch.history) return batch.history->addedColumns;
    }
    return std::vector<std::string>{};
  }();
  return columns;
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
