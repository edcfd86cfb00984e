#include "system/console.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <streambuf>
#include <string>
#endif

namespace kivo {

#ifdef _WIN32
namespace {

// The length of the longest prefix of `text` that does not end inside a UTF-8 sequence.
std::size_t WholeCharacters(const std::string& text) {
  const std::size_t size = text.size();
  for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? size - back : size;
  }
  return size;
}

class ConsoleBuffer final : public std::streambuf {
 public:
  ConsoleBuffer(DWORD which, std::FILE* file) : handle_(GetStdHandle(which)), file_(file) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
               GetConsoleMode(handle_, &mode) != 0;
  }
  ~ConsoleBuffer() override { sync(); }
  ConsoleBuffer(const ConsoleBuffer&) = delete;
  ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_.push_back(traits_type::to_char_type(c));
    return pending_.size() < kLimit || sync() == 0 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    return pending_.size() < kLimit || sync() == 0 ? count : 0;
  }

  int sync() override { return console_ ? writeConsole() : writeFile(); }

 private:
  static constexpr std::size_t kLimit = 1 << 16;

  int writeFile() {
    if (pending_.empty()) return 0;
    const bool written = std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size();
    pending_.clear();
    return written && std::fflush(file_) == 0 ? 0 : -1;
  }

  int writeConsole() {
    // A character cut between two writes waits for the rest of its bytes.
    const std::size_t whole = WholeCharacters(pending_);
    if (whole == 0) return 0;
    const int bytes = static_cast<int>(whole);
    const int length = MultiByteToWideChar(CP_UTF8, 0, pending_.data(), bytes, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pending_.data(), bytes, wide.data(), length);
    pending_.erase(0, whole);
    std::wstring lines;
    lines.reserve(wide.size());
    for (const wchar_t c : wide) {
      if (c == L'\n') lines.push_back(L'\r');
      lines.push_back(c);
    }
    std::size_t done = 0;
    while (done < lines.size()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(lines.size() - done, 8192));
      if (!WriteConsoleW(handle_, lines.data() + done, chunk, &written, nullptr) || written == 0)
        return -1;
      done += written;
    }
    return 0;
  }

  HANDLE handle_;
  std::FILE* file_;
  bool console_ = false;
  std::string pending_;
};

}  // namespace

std::ostream& ConsoleOutput() {
  static ConsoleBuffer buffer(STD_OUTPUT_HANDLE, stdout);
  static std::ostream stream(&buffer);
  return stream;
}

std::ostream& ConsoleError() {
  static ConsoleBuffer buffer(STD_ERROR_HANDLE, stderr);
  static std::ostream stream(&buffer);
  stream.setf(std::ios::unitbuf);
  return stream;
}

#else

std::ostream& ConsoleOutput() { return std::cout; }
std::ostream& ConsoleError() { return std::cerr; }

#endif

}  // namespace kivo
