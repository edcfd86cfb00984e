#include "system/dump_protection.h"

#include <cerrno>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

namespace kivo {

std::optional<Error> KeepOutOfDumps() {
#ifndef _WIN32
  auto failed = [](const char* call) {
    const int number = errno;
    return Error(number, std::string("Core dumps could not be turned off: ") + call + ": " +
                             std::strerror(number));
  };
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_CORE, &none) != 0) return failed("setrlimit");
  // A core limit alone does not stop a core_pattern pipe (systemd-coredump) from taking one.
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return failed("prctl");
#endif
  return std::nullopt;
}

}  // namespace kivo
