// The OLE DB connection-string parser and the translation behind it: any text is parsed, or
// refused with one of the program's errors; what is parsed translates or is refused likewise,
// and a built ODBC string never carries a password that was refused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "upgrade/connection/connection_translation.h"
#include "upgrade/connection/odbc_connection_string.h"
#include "upgrade/connection/oledb_connection_string.h"
#include "upgrade/connection/secret_mask.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    (void)kivo::ParseOleDbConnectionString(text);
  } catch (const kivo::Error&) {
  }
  (void)kivo::MaskPasswords(text);
  // The same text as the stored value and, cut at its middle, as a login and a password.
  const kivo::Logon logon{kivo::LogonMode::kSqlLogin, std::string(text.substr(0, size / 2)),
                          std::string(text.substr(size / 2))};
  for (const char* driver : {"FreeTDS", "ODBC Driver 17 for SQL Server", "SQL Server"}) {
    try {
      const kivo::ConnectionTarget target = kivo::TranslateConnection(text, logon, {driver}, "");
      (void)kivo::BuildOdbcConnectionString(target);
      (void)kivo::MaskedOdbcConnectionString(target);
    } catch (const kivo::Error&) {
    }
  }
  return 0;
}
