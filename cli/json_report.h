#pragma once

#include <string>
#include <vector>

#include "upgrade/upgrade_run.h"

namespace kivo::cli {

// What the companion saw of a run besides the report itself.
struct RunTranscript {
  std::string computer;  // which host of a fleet this report comes from
  std::string webDirectory;
  std::vector<std::string> statusLines;  // as given to the status box, without the added CR LF
  std::vector<std::string> messages;     // message box texts
  int exitStatus = 0;
  std::string hint;  // the likely cause of a failure; empty when none is known
};

// One JSON document for scripts, laid out as docs/REPORT.md describes: verdict, connection
// (password masked), status lines, message boxes, every batch with its statements and the
// server's records (a dry run's as they would be sent), the failure and the hint. Bytes that are
// not UTF-8 come out as U+FFFD, so the document is valid UTF-8 whatever a path or a message holds.
std::string JsonReport(const RunReport& report, const RunTranscript& transcript);

}  // namespace kivo::cli
