#pragma once

#include <cstddef>
#include <string>

namespace kivo {

// Overwrites `size` bytes at `data` with zeros so that the compiler cannot leave the stores out,
// for buffers that held a password once they are no longer needed.
void SecureWipe(void* data, std::size_t size) noexcept;

// The same for every character a string's buffer holds, its spare capacity included, which may
// still hold a longer text it had before; leaves the string empty.
template <typename Char>
void SecureWipe(std::basic_string<Char>& text) noexcept {
  text.resize(text.capacity());  // within the capacity: never reallocates
  SecureWipe(text.data(), text.size() * sizeof(Char));
  text.clear();
}

// Wipes a string when the scope ends, however it ends.
template <typename Char>
class WipeOnExit {
 public:
  explicit WipeOnExit(std::basic_string<Char>& text) noexcept : text_(text) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { SecureWipe(text_); }

 private:
  std::basic_string<Char>& text_;
};

}  // namespace kivo
