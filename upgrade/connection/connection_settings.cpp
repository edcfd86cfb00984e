#include "upgrade/connection/connection_settings.h"

#include "base/error.h"
#include "codec/scrambled_value.h"
#include "upgrade/connection/connection_translation.h"
#include "upgrade/connection/secret_mask.h"

namespace kivo {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

}  // namespace

std::string NormaliseWebDirectory(std::string directory) {
#ifdef _WIN32
  if (directory.ends_with('\\')) directory.pop_back();
#else
  if (directory.ends_with('\\') || directory.ends_with('/')) directory.pop_back();
#endif
  return directory;
}

std::string WebConfigPath(const std::string& webDirectory) {
  return webDirectory + kSeparator + "web.config";
}

std::string_view ScrambledValueIn(std::string_view configuration) {
  // 1-based positions with 0 for "absent", the way the entry's offsets were laid down.
  const std::size_t found = configuration.find(kKeyMarker);
  const long long p = found == std::string_view::npos ? 0 : static_cast<long long>(found) + 1;
  const std::size_t endFound = configuration.find(" />", static_cast<std::size_t>(p + 9));
  const long long e = endFound == std::string_view::npos ? 0 : static_cast<long long>(endFound) + 1;
  const long long length = e - p - 21;
  if (length < 0) throw Error::Standard(kInvalidArgument);
  const auto start = static_cast<std::size_t>(p + 19);  // 0-based P + 20
  if (start >= configuration.size()) return {};
  return configuration.substr(start, static_cast<std::size_t>(length));
}

std::string ExtractScrambledValue(std::string_view configuration) {
  return std::string(ScrambledValueIn(configuration));
}

std::string ConnectionPrefix(std::string_view connectionValue) {
  const std::size_t n = connectionValue.find(";User");
  if (n == std::string_view::npos) return {};
  return std::string(connectionValue.substr(0, n + 1));
}

std::string LogonPart(const Logon& logon) {
  if (logon.mode == LogonMode::kSqlLogin)
    return "User ID=" + logon.login + ";Password=" + logon.password + ";";
  return "Trusted_Connection = Yes;Integrated Security=SSPI;";
}

std::string DisplayConnectionString(std::string_view prefix, const Logon& logon) {
  // The password is masked apart from the prefix: a ";" in it must not let any of it through.
  std::string shown = MaskPasswords(prefix);
  if (logon.mode == LogonMode::kSqlLogin) {
    shown += "User ID=" + logon.login + ";Password=" + std::string(kMaskedSecret) + ";";
  } else {
    shown += LogonPart(logon);
  }
  return shown;
}

ConnectionSettings ReadConnectionSettings(const std::string& webDirectory, const Logon& logon,
                                          const std::vector<std::string>& installedDrivers,
                                          std::string_view driverOverride) {
  ConnectionSettings settings;
  const std::string configuration = ReadConfigurationFile(WebConfigPath(webDirectory));
  settings.connectionValue = DecodeValue(ScrambledValueIn(configuration));
  settings.prefix = ConnectionPrefix(settings.connectionValue);
  settings.displayString = DisplayConnectionString(settings.prefix, logon);
  settings.target = TranslateConnection(settings.prefix, logon, installedDrivers, driverOverride);
  return settings;
}

}  // namespace kivo
