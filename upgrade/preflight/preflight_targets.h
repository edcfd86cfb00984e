#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "upgrade/batches/upgrade_batches.h"

namespace kivo {

// A column that the upgrade batches alter, and the table whose copy creates it when its
// table is a missing history table.
struct TargetColumn {
  std::string schema;
  std::string table;
  std::string column;
  std::string historyBase;  // "CHXD.CustomerContact"; empty for other tables
  // The table the history statement creates, as it spells it ("CHXD.CustomerContact_HIST"):
  // on a case-sensitive database not the table the batch alters.
  std::string historyCreated;
};

// The target columns in batch order, as the batches' table declares them.
const std::vector<TargetColumn>& TargetColumns();

// The columns the history statements add to the copy of the base ("ChangeU", "ChangeD").
const std::vector<std::string>& HistoryAddedColumns();

// Identifiers compare as the database's collation compares them: this key matches a catalog
// row to its target, without case unless the collation is case-sensitive.
std::string CatalogKey(std::string_view schema, std::string_view table,
                       std::string_view column = {}, bool caseSensitive = false);

// "schema.table" as schema and table.
std::pair<std::string, std::string> SplitQualifiedName(const std::string& qualified);

}  // namespace kivo
