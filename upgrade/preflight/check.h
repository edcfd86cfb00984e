#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "upgrade/connection/connection_target.h"
#include "upgrade/odbc/database_access.h"
#include "upgrade/preflight/preflight.h"

namespace kivo {

enum class CheckEnd {
  kFailed,   // the configuration or the open failed: `failure` says why
  kRefused,  // the server refused the open: `failure` holds its first record
  kChecked,  // the check ran; its findings decide whether the upgrade may go ahead
};

struct CheckReport {
  CheckEnd end = CheckEnd::kFailed;
  std::optional<ConnectionTarget> target;
  std::string displayConnectionString;
  std::optional<Error> failure;
  std::vector<Diagnostic> refusal;  // the records of a refused open, the shown one first
  PreflightReport preflight;
};

// The check alone: connects as the run does, reads the catalog, alters nothing, shows
// nothing.
CheckReport RunCheck(const ConnectionRequest& request, const DatabaseAccess& access,
                     const PreflightOptions& options);

}  // namespace kivo
