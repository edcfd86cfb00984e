#include "upgrade/preflight/check.h"

#include <exception>
#include <utility>

namespace kivo {

CheckReport RunCheck(const ConnectionRequest& request, const DatabaseAccess& access,
                     const PreflightOptions& options) {
  CheckReport report;
  try {
    ConnectionSettings settings = ReadSettingsFor(request, access);
    report.displayConnectionString = settings.displayString;
    report.target = std::move(settings.target);

    OpenedConnection connection = OpenConnection(*report.target, access);
    if (!connection.client) {
      report.end = connection.refusal.empty() ? CheckEnd::kFailed : CheckEnd::kRefused;
      report.failure = std::move(connection.failure);
      report.refusal = std::move(connection.refusal);
      return report;
    }
    report.preflight = RunPreflight(*connection.client, options);
    // The check has what it read; a failing close does not change it.
    connection.client->close();
    report.end = CheckEnd::kChecked;
  } catch (const Error& e) {
    report.failure = e;
  } catch (const std::exception& e) {
    report.failure = Error(kUnspecifiedError, e.what());
  }
  return report;
}

}  // namespace kivo
