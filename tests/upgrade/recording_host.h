#pragma once

#include <filesystem>
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

// A temporary web directory with a web.config; removed with the object.
class WebDirectory {
 public:
  WebDirectory();
  ~WebDirectory();
  WebDirectory(const WebDirectory&) = delete;
  WebDirectory& operator=(const WebDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string pathText() const { return path_.string(); }
  // Writes web.config with these exact bytes.
  void write(std::string_view bytes) const;
  // Writes a web.config whose CAYUSR entry holds `connectionValue`, scrambled.
  void writeEntry(std::string_view connectionValue) const;

 private:
  std::filesystem::path path_;
};

// A web.config as web applications have it, with the entry among other settings.
std::string WebConfigWithEntry(std::string_view scrambledValue);

}  // namespace kivo::testing
