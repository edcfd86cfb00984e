#pragma once

#include <string>

#include "upgrade/preflight/preflight.h"
#include "upgrade/preflight/preflight_facts.h"

namespace kivo {

enum class Change { kNone, kWiden, kShrink, kTypeChange, kImpossible };

struct Classified {
  Change change = Change::kNone;
  bool mayTruncate = false;  // the old type holds values longer than the target
  std::string from;          // "varchar(50)"
  std::string why;           // for kImpossible: what the documentation says
};

// What altering the column to kTargetType does to it.
Classified Classify(const ColumnFacts& c);

// Whether a stored definition uses the column. SQL Server stores definitions with every
// column name in brackets, so only "[name]" outside string literals counts: N'' is no column N.
bool DefinitionUses(const std::string& definition, const std::string& column, bool caseSensitive);

// Appends a finding to the report.
Finding& AddFinding(PreflightReport& report, FindingLevel level, std::string kind,
                    std::string table, std::string column, std::string message);

// Appends the findings that the facts give: the server's first, then each target table's
// before its columns', in batch order. Nothing is said about what a failed query would have
// told (its UNKNOWN finding stands for it).
void DeriveFindings(const CatalogFacts& facts, const PreflightOptions& options,
                    PreflightReport& report);

}  // namespace kivo
