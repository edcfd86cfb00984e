#include "base/secure_wipe.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TEST(SecureWipe, ClearsTheWholeBufferOfAString) {
  std::string text(100, 'p');
  text.resize(3);  // the buffer still holds the longer text beyond the new end
  const char* buffer = text.data();
  const std::size_t capacity = text.capacity();
  SecureWipe(text);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(text.data(), buffer);
  for (std::size_t i = 0; i < capacity; ++i) ASSERT_EQ(buffer[i], '\0') << i;
}

}  // namespace
}  // namespace kivo
