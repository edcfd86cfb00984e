// Any input either decodes or raises one of the codec's own errors; a decoded text encodes and
// decodes back to itself when it is short enough to be stored.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/error.h"
#include "codec/scrambled_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  std::string text;
  try {
    text = kivo::DecodeValue(value);
  } catch (const kivo::Error& e) {
    if (e.number() != kivo::kInvalidArgument && e.number() != kivo::kOverflow &&
        e.number() != kivo::kTypeMismatch)
      std::abort();
    return 0;
  }
  try {
    if (kivo::DecodeValue(kivo::EncodeValue(text)) != text) std::abort();
  } catch (const kivo::Error& e) {
    // Decoding yields at most 1,023 characters; only lengths the format cannot carry fail.
    if (e.number() != kivo::kInvalidArgument) std::abort();
  }
  return 0;
}
