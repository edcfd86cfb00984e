#include "upgrade/connection/configuration_file.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "base/error.h"
#include "base/path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kivo {
namespace {

// Each read asks for at most this much, so that nothing beyond the bytes read is touched.
constexpr std::size_t kReadBlock = std::size_t{1} << 20;

Error FileError(ErrorNumber number, const std::string& path, std::string_view why = {}) {
  return Error(number, StandardDescription(number) + ": " + path + std::string(why));
}

Error NotRegular(const std::string& path) {
  return FileError(kPathFileAccessError, path, " is not a regular file");
}

Error TooLarge(const std::string& path) {
  return FileError(kOverflow, path, " is larger than 64 MB, the most that is read of a web.config");
}

// A missing file in an existing folder, or a folder that is not there.
Error NotFound(const std::string& path, const std::filesystem::path& file) {
  const std::filesystem::path parent = file.parent_path();
  std::error_code ec;
  const bool folderThere = parent.empty() || std::filesystem::is_directory(parent, ec);
  return FileError(folderThere ? kFileNotFound : kPathNotFound, path);
}

// Reads through `readSome` (bytes into the buffer, 0 at the end), never more than the bound and
// one byte to see that there is more. The buffer is reserved for the size the file had, so that
// no more memory is asked for than it holds (64 MB reserved for a 1 MB file cost ten times its
// read); a file that grows meanwhile moves once, to the most that may be read, rather than step
// by step.
template <typename ReadSome>
std::string ReadBounded(const std::string& path, std::uint64_t size, ReadSome readSome) {
  std::size_t room =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxConfigurationBytes)) + 1;
  std::string bytes;
  bytes.reserve(room);
  std::size_t filled = 0;
  for (;;) {
    if (filled == room) {
      if (room > kMaxConfigurationBytes) throw TooLarge(path);
      room = kMaxConfigurationBytes + 1;
      bytes.reserve(room);
    }
    const std::size_t want = std::min(kReadBlock, room - filled);
    bytes.resize(filled + want);
    const std::size_t got = readSome(bytes.data() + filled, want);
    if (got == 0) break;
    filled += got;
  }
  bytes.resize(filled);
  return bytes;
}

#ifdef _WIN32

struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() { CloseHandle(handle); }
};

Error OpenError(DWORD code, const std::string& path, const std::filesystem::path& file) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return NotFound(path, file);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
      return FileError(kPathNotFound, path);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileError(kPermissionDenied, path);
    default:
      return FileError(kPathFileAccessError, path);
  }
}

std::string ReadFromPlatform(const std::string& path, const std::filesystem::path& file) {
  // A folder cannot be opened as a file at all; say what it is rather than "access denied".
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw NotRegular(path);
  }
  // Sharing everything: the web server or an editor may hold the file open, as it may
  // ours.
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw OpenError(GetLastError(), path, file);
  const HandleCloser closer{handle};
  // A pipe, a console or a device such as NUL or COM1 never ends or waits for a writer.
  if (GetFileType(handle) != FILE_TYPE_DISK) throw NotRegular(path);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) throw FileError(kPathFileAccessError, path);
  if (static_cast<std::uint64_t>(size.QuadPart) > kMaxConfigurationBytes) throw TooLarge(path);
  return ReadBounded(path, static_cast<std::uint64_t>(size.QuadPart),
                     [&](char* into, std::size_t want) -> std::size_t {
                       DWORD got = 0;
                       if (!ReadFile(handle, into, static_cast<DWORD>(want), &got, nullptr)) {
                         throw FileError(kPathFileAccessError, path);
                       }
                       return got;
                     });
}

#else

struct DescriptorCloser {
  int fd;
  ~DescriptorCloser() { ::close(fd); }
};

Error OpenError(int code, const std::string& path, const std::filesystem::path& file) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return NotFound(path, file);
    case EACCES:
    case EPERM:
      return FileError(kPermissionDenied, path);
    default:
      return FileError(kPathFileAccessError, path);
  }
}

std::string ReadFromPlatform(const std::string& path, const std::filesystem::path& file) {
  // Look before opening: opening a device can have effects of its own.
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) throw OpenError(errno, path, file);
  if (!S_ISREG(status.st_mode)) throw NotRegular(path);
  // Without O_NONBLOCK, a FIFO put in the file's place meanwhile would wait for a writer.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw OpenError(errno, path, file);
  const DescriptorCloser closer{fd};
  if (::fstat(fd, &status) != 0) throw FileError(kPathFileAccessError, path);
  if (!S_ISREG(status.st_mode)) throw NotRegular(path);
  if (static_cast<std::uint64_t>(status.st_size) > kMaxConfigurationBytes) throw TooLarge(path);
  return ReadBounded(path, static_cast<std::uint64_t>(status.st_size),
                     [&](char* into, std::size_t want) -> std::size_t {
                       for (;;) {
                         const ssize_t got = ::read(fd, into, want);
                         if (got >= 0) return static_cast<std::size_t>(got);
                         if (errno != EINTR) throw FileError(kPathFileAccessError, path);
                       }
                     });
}

#endif

}  // namespace

std::string ReadConfigurationFile(const std::string& path) {
  return ReadFromPlatform(path, PathFromUtf8(path));
}

}  // namespace kivo
