#pragma once

#include <cstddef>
#include <string>

namespace kivo {

// The most of web.config that is read: far above any real file (the web server itself refuses
// one over 250 KB by default), low enough that the whole of it may be held in memory.
inline constexpr std::size_t kMaxConfigurationBytes = std::size_t{64} << 20;

// The whole file as bytes, each one a Windows-1252 character. Opens without waiting (a FIFO
// with no writer, a device) and reads only a regular file. Throws kivo::Error with the path in
// the description: 53 "File not found", 76 "Path not found", 70 "Permission denied"; 75 for
// anything that is not a regular file (a folder, a FIFO, a device) and for a failed read;
// 6 "Overflow" for a file of more than kMaxConfigurationBytes.
std::string ReadConfigurationFile(const std::string& path);

}  // namespace kivo
