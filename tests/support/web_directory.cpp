#include "tests/support/web_directory.h"

#include <atomic>
#include <fstream>
#include <random>

#include "codec/scrambled_value.h"

namespace kivo::testing {

WebDirectory::WebDirectory() {
  static std::atomic<int> counter{0};
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("kivo-web-" + std::to_string(random()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

WebDirectory::~WebDirectory() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void WebDirectory::write(std::string_view bytes) const {
  std::ofstream out(path_ / "web.config", std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void WebDirectory::writeEntry(std::string_view connectionValue) const {
  WriteWebConfig(path_, connectionValue);
}

void WriteWebConfig(const std::filesystem::path& folder, std::string_view connectionValue) {
  std::ofstream(folder / "web.config", std::ios::binary | std::ios::trunc)
      << WebConfigWithEntry(EncodeValue(connectionValue));
}

std::string WebConfigWithEntry(std::string_view scrambledValue) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<configuration>\r\n  <appSettings>\r\n"
         "    <add key=\"Theme\" value=\"Blue\" />\r\n"
         "    <add key=\"CAYUSR\" value=\"" +
         std::string(scrambledValue) +
         "\" />\r\n  </appSettings>\r\n  <system.web>\r\n"
         "    <compilation debug=\"false\" />\r\n  </system.web>\r\n</configuration>\r\n";
}

}  // namespace kivo::testing
