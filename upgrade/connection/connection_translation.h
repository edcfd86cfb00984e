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

// Makes the target's driver refuse a server that will not encrypt, with the driver's value for
// Encrypt=yes unless the connection value asks for strict already. Throws kivo::Error (5) for a
// connection value that names no driver: a DSN alone keeps its driver, and so the keyword that
// driver would read, to itself.
void RequireEncryption(ConnectionTarget& target);

// Whether the target tells its driver to refuse a server that will not encrypt.
bool RequiresEncryption(const ConnectionTarget& target);

}  // namespace kivo
