#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kivo::testing {

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
// Writes folder/web.config whose CAYUSR entry holds `connectionValue`, scrambled.
void WriteWebConfig(const std::filesystem::path& folder, std::string_view connectionValue);

}  // namespace kivo::testing
