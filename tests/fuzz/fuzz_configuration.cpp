// The configuration phase from the bytes of web.config to the ODBC connection string: any
// input ends in a connection string or in one of the program's errors. The first byte picks
// whether the rest is the file itself or a connection value that a web.config then carries,
// so that the fuzzer also reaches the translation behind the codec.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/error.h"
#include "codec/scrambled_value.h"
#include "upgrade/connection/connection_settings.h"
#include "upgrade/connection/connection_translation.h"
#include "upgrade/connection/odbc_connection_string.h"

namespace {

std::string Configuration(std::string_view bytes, bool asConnectionValue) {
  if (!asConnectionValue) return std::string(bytes);
  return "<appSettings><add key=\"CAYUSR\" value=\"" + kivo::EncodeValue(bytes) +
         "\" /></appSettings>";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool asConnectionValue = data[0] & 1;
  const kivo::Logon logon{data[0] & 2 ? kivo::LogonMode::kSqlLogin : kivo::LogonMode::kWindows,
                          "sa", "p};w"};
  try {
    const std::string value =
        kivo::DecodeValue(kivo::ExtractScrambledValue(Configuration(rest, asConnectionValue)));
    const std::string prefix = kivo::ConnectionPrefix(value);
    (void)kivo::DisplayConnectionString(prefix, logon);
    for (const char* driver : {"FreeTDS", "ODBC Driver 18 for SQL Server"}) {
      try {
        const kivo::ConnectionTarget target =
            kivo::TranslateConnection(prefix, logon, {driver}, "");
        (void)kivo::BuildOdbcConnectionString(target);
      } catch (const kivo::Error&) {
      }
    }
  } catch (const kivo::Error&) {
  }
  return 0;
}
