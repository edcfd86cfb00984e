#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "upgrade/run_host.h"

namespace kivo::testing {

// A window stand-in for the run: inputs as the test sets them, and a record of what the run
// showed, the status box as one CR LF text the way the window keeps it.
class RecordingHost : public RunHost {
 public:
  std::string client = "CHXD";
  std::string dataDir = "D:\\ZEP";
  std::string webDir;
  bool sqlLoginMode = false;
  std::string login = "sa";
  std::string password = "quietlantern";

  std::string status;
  std::vector<std::string> messages;
  std::vector<std::string> events;  // busy, normal, message, exit, statusbox, in order
  int statusBoxWidth = 0;

  std::string clientCode() override { return client; }
  std::string dataDirectory() override { return dataDir; }
  std::string webDirectory() override { return webDir; }
  bool sqlLoginSelected() override { return sqlLoginMode; }
  std::string sqlLogin() override { return login; }
  std::string sqlPassword() override { return password; }
  void addStatus(std::string_view message) override;
  void showMessage(std::string_view text) override;
  void setBusy(bool busy) override { events.push_back(busy ? "busy" : "normal"); }
  void prepareStatusBox(int widthTwips) override;
  void enableExit() override { events.push_back("exit"); }
};

}  // namespace kivo::testing
