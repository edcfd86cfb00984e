#include "upgrade/secret_mask.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TEST(MaskPasswords, MasksEveryPasswordValueWholeAndKeepsTheRest) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"User ID=sa;Password=p;", "User ID=sa;Password=****;"},
      {"PWD=p", "PWD=****"},
      {" password = p ;Data Source=x", " password =****;Data Source=x"},
      {"Password=\"a;b\";x=1", "Password=****;x=1"},
      {"Password='a;''b';x=1", "Password=****;x=1"},
      {"PWD={a;}}b};x=1", "PWD=****;x=1"},
      {"Password=\"a;b;x=1", "Password=****"},  // unbalanced: nothing after it shows
      {"Trusted_Connection = Yes;Integrated Security=SSPI;",
       "Trusted_Connection = Yes;Integrated Security=SSPI;"},
      {"Passwordx=visible;a", "Passwordx=visible;a"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskPasswords(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kivo
