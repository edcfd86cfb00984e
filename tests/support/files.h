#pragma once

#include <filesystem>
#include <string>

namespace kivo::testing {

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// How many file descriptors this process has open, from /proc/self/fd; a loop that leaks a
// socket or a handle's file makes it grow.
int OpenDescriptorCount();

}  // namespace kivo::testing
