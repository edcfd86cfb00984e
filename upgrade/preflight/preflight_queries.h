#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "upgrade/preflight/preflight_targets.h"

namespace kivo {

// The catalog queries of the check, in the order it sends them. Each is one SELECT whose
// names are bound parameters; none changes anything. kScan is built per run (it names the
// tables it reads) and is sent only with --scan-data.
enum class CatalogQuery {
  kServer,
  kSchemas,
  kTables,
  kColumns,
  kIndexes,
  kForeignKeys,
  kConstraints,
  kDependencies,
  kStatistics,
  kFullText,
  kTableKinds,  // only SQL Server 2016 (13.x) and later
  kScan,
};

std::string_view CatalogQueryName(CatalogQuery query);
// The text of a fixed query; empty for kScan.
const std::string& CatalogQueryText(CatalogQuery query);
// The values bound to a fixed query's markers, in order: the target schemas, tables and
// columns it filters on. Empty for kScan.
std::vector<std::string> CatalogQueryParameters(CatalogQuery query);

// Counts, in one query, the values of `columns` longer than kTargetLength, with the longest
// one. The tables and columns are the batches' own names, quoted; each part's label (its
// column's CatalogKey) is a parameter that comes back as the first value of its row.
std::string ScanQueryText(const std::vector<TargetColumn>& columns);

}  // namespace kivo
