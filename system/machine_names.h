#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kivo {

// A name as the system call reports it, or nothing when the call failed. UTF-8.
using SystemNameCall = std::function<std::optional<std::string>()>;

// The platform calls: GetComputerNameW/GetUserNameW on Windows, gethostname and the password
// database entry of the effective user elsewhere.
std::optional<std::string> SystemComputerName();
std::optional<std::string> SystemLogonUserName();

// The computer's name, without terminating zero or padding. A failing look-up raises the
// invalid-argument error with "/Utils.GetTheComputerName" appended to its source.
std::string GetTheComputerName(const SystemNameCall& call = SystemComputerName);

// The name of the logged-on user; the empty string when the look-up fails. Raises nothing of
// its own.
std::string GetLogonUserName(const SystemNameCall& call = SystemLogonUserName);

// The two look-ups the window's start-up makes, replaceable in tests.
struct NameLookup {
  std::function<std::string()> computerName = [] { return GetTheComputerName(); };
  std::function<std::string()> logonUserName = [] { return GetLogonUserName(); };
};

}  // namespace kivo
