#pragma once

#include <optional>
#include <string>

namespace kivo {

// The value of a variable of the process environment, UTF-8; nothing when it is not set.
std::optional<std::string> EnvironmentVariable(const std::string& name);

}  // namespace kivo
