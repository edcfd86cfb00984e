#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "upgrade/connection/connection_target.h"

// Every error raised here is kivo::Error number 5 (invalid argument) with a description that
// names the item at fault but never quotes a value.

namespace kivo {

// Translates the connection prefix (the web application's OLE DB items, credentials dropped)
// and the logon into a target. The driver is `driverOverride` when not empty, otherwise the
// first installed of SqlServerDrivers(). Throws kivo::Error for an unknown provider, unbalanced
// quotes, no usable driver or a value the chosen driver cannot carry (it builds the connection
// string once to find out).
ConnectionTarget TranslateConnection(std::string_view prefix, const Logon& logon,
                                     const std::vector<std::string>& installedDrivers,
                                     std::string_view driverOverride);

}  // namespace kivo
