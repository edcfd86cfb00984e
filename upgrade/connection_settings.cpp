#include "upgrade/connection_settings.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "base/error.h"
#include "base/path.h"
#include "codec/scrambled_value.h"
#include "upgrade/secret_mask.h"

namespace kivo {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

Error FileError(ErrorNumber number, const std::string& path) {
  return Error(number, StandardDescription(number) + ": " + path);
}

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

std::string ReadConfigurationFile(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path file = PathFromUtf8(path);
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (status.type() == fs::file_type::not_found || ec == std::errc::no_such_file_or_directory ||
      ec == std::errc::not_a_directory) {
    const fs::path parent = file.parent_path();
    std::error_code parentEc;
    const bool folderThere = parent.empty() || fs::is_directory(parent, parentEc);
    throw FileError(folderThere ? kFileNotFound : kPathNotFound, path);
  }
  if (ec == std::errc::permission_denied) throw FileError(kPermissionDenied, path);
  if (ec) throw FileError(kPathFileAccessError, path);
  if (fs::is_directory(status)) throw FileError(kPathFileAccessError, path);

  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw FileError(errno == EACCES || errno == EPERM ? kPermissionDenied : kPathFileAccessError,
                    path);
  }
  // One read of the size the file has, and one byte more to see its end. A file that has no
  // size to tell, or grows meanwhile, is read on in large blocks.
  constexpr std::size_t kBlock = 1 << 20;
  std::error_code sizeEc;
  const std::uintmax_t size = fs::file_size(file, sizeEc);
  constexpr auto kLargestRead =
      static_cast<std::uintmax_t>(std::numeric_limits<std::streamsize>::max());
  std::size_t want = sizeEc || size >= kLargestRead ? kBlock : static_cast<std::size_t>(size) + 1;
  std::string bytes;
  std::size_t filled = 0;
  while (in) {
    bytes.resize(filled + want);
    in.read(bytes.data() + filled, static_cast<std::streamsize>(want));
    filled += static_cast<std::size_t>(in.gcount());
    want = kBlock;
  }
  if (in.bad()) throw FileError(kPathFileAccessError, path);
  bytes.resize(filled);
  return bytes;
}

std::string ExtractScrambledValue(std::string_view configuration) {
  // 1-based positions with 0 for "absent", the way the entry's offsets were laid down.
  const std::size_t found = configuration.find(kKeyMarker);
  const long long p = found == std::string_view::npos ? 0 : static_cast<long long>(found) + 1;
  const std::size_t endFound = configuration.find(" />", static_cast<std::size_t>(p + 9));
  const long long e = endFound == std::string_view::npos ? 0 : static_cast<long long>(endFound) + 1;
  const long long length = e - p - 21;
  if (length < 0) throw Error::Standard(kInvalidArgument);
  const auto start = static_cast<std::size_t>(p + 19);  // 0-based P + 20
  if (start >= configuration.size()) return {};
  return std::string(configuration.substr(start, static_cast<std::size_t>(length)));
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
  settings.connectionValue = DecodeValue(ExtractScrambledValue(configuration));
  settings.prefix = ConnectionPrefix(settings.connectionValue);
  settings.displayString = DisplayConnectionString(settings.prefix, logon);
  settings.target = TranslateConnection(settings.prefix, logon, installedDrivers, driverOverride);
  return settings;
}

}  // namespace kivo
