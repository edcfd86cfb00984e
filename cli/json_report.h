#pragma once

#include <string>
#include <string_view>
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
};

// One JSON document for scripts: verdict, connection (password masked), status lines, message
// boxes, and every batch with its statements and the server's records.
std::string JsonReport(const RunReport& report, const RunTranscript& transcript);

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace kivo::cli
