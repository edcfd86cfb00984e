#include "system/machine_names.h"

#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "base/utf8.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace kivo {
namespace {

#ifdef _WIN32
std::string ToUtf8(std::wstring_view text) {
  return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}
#endif

}  // namespace

#ifdef _WIN32

std::optional<std::string> SystemComputerName() {
  // The NetBIOS name: at most MAX_COMPUTERNAME_LENGTH characters, so this buffer is ample.
  wchar_t buffer[250] = {};
  DWORD size = 250;
  if (!GetComputerNameW(buffer, &size)) return std::nullopt;
  return ToUtf8(std::wstring_view(buffer, size));
}

std::optional<std::string> SystemLogonUserName() {
  wchar_t buffer[255] = {};
  DWORD size = 255;
  if (!GetUserNameW(buffer, &size) || size == 0) return std::nullopt;
  // The size written back counts the terminating zero; cut there, not at the first zero.
  return ToUtf8(std::wstring_view(buffer, size - 1));
}

#else

std::optional<std::string> SystemComputerName() {
  char buffer[256] = {};
  // glibc fails with ENAMETOOLONG rather than truncate; zero the last byte for the others.
  if (gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  return std::string(buffer);
}

std::optional<std::string> SystemLogonUserName() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int rc = getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found);
    if (rc != ERANGE) break;
    scratch.resize(scratch.size() * 2);
  }
  if (found == nullptr || found->pw_name == nullptr) return std::nullopt;
  return std::string(found->pw_name);
}

#endif

std::string GetTheComputerName(const SystemNameCall& call) {
  try {
    std::optional<std::string> name = call();
    // No name at all is the same invalid argument as cutting the terminator off an empty
    // buffer would be.
    if (!name) throw Error::Standard(kInvalidArgument);
    // Padding the platform might leave around a name; the name itself never holds blanks.
    return std::string(TrimAscii(*name, " "));
  } catch (const Error& error) {
    throw error.PassedOn("/Utils.GetTheComputerName");
  }
}

std::string GetLogonUserName(const SystemNameCall& call) { return call().value_or(std::string()); }

}  // namespace kivo
