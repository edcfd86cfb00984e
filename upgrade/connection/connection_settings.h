#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "upgrade/connection/configuration_file.h"
#include "upgrade/connection/connection_target.h"

namespace kivo {

// The literal that introduces the scrambled connection value in web.config. The file is not
// parsed as XML: the entry must be written exactly like this, then the value in double quotes,
// one blank and "/>".
inline constexpr std::string_view kKeyMarker = "key=\"CAYUSR\" value=";

// The web directory with one trailing "\" removed (elsewhere than on Windows, one "/" too).
std::string NormaliseWebDirectory(std::string directory);

// The web directory, the platform's separator and "web.config".
std::string WebConfigPath(const std::string& webDirectory);

// The characters between the quotes of the CAYUSR entry, cut by position as the entry's
// literal layout dictates; lenient as stored files may rely on it. Throws kivo::Error (5) when
// the entry's end lies before its start. Positions are not limited to 16 bits.
std::string ExtractScrambledValue(std::string_view configuration);

// The same as a view into the configuration, which may be as large as a web.config may be: for
// decoding without a copy of it.
std::string_view ScrambledValueIn(std::string_view configuration);

// The connection value up to and including the ";" in front of the first ";User"; empty when
// there is none. Everything from "User" on (the stored credentials) is dropped.
std::string ConnectionPrefix(std::string_view connectionValue);

// The credentials text the prefix is completed with, as stored values are written.
std::string LogonPart(const Logon& logon);

// Prefix and logon part as one connection string for people to read: passwords masked.
std::string DisplayConnectionString(std::string_view prefix, const Logon& logon);

struct ConnectionSettings {
  std::string connectionValue;  // decoded; holds the stored password: never shown as it is
  std::string prefix;
  std::string displayString;
  ConnectionTarget target;
};

// The configuration phase from the web directory to the target to connect to. Throws kivo::Error
// for anything that stops it: the file, the entry, the codec, the translation.
ConnectionSettings ReadConnectionSettings(const std::string& webDirectory, const Logon& logon,
                                          const std::vector<std::string>& installedDrivers,
                                          std::string_view driverOverride);

}  // namespace kivo
