#include "upgrade/preflight/preflight_targets.h"

#include "base/ascii.h"

namespace kivo {
namespace {

std::vector<TargetColumn> ReadTargets() {
  std::vector<TargetColumn> targets;
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    for (std::size_t i = 0; i < batch.altered.size(); ++i) {
      const AlteredColumn& altered = batch.altered[i];
      TargetColumn target{altered.schema, altered.table, altered.column, {}};
      if (batch.history && i >= batch.history->firstStatement) {
        target.historyBase = batch.history->baseTable;
      }
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
