// The checked conversion every user-written integer goes through: its
// bounds are where a cast would become undefined behaviour.
#include "numeric/exact_integer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace kav {
namespace {

TEST(ExactInteger, AcceptsWholeNumbersTheTypeHoldsSymmetrically) {
  EXPECT_EQ(exact_integer<int>(2147483647.0), 2147483647);
  EXPECT_EQ(exact_integer<int>(-2147483647.0), -2147483647);
  EXPECT_EQ(exact_integer<int>(-0.0), 0);
  EXPECT_EQ(exact_integer<unsigned>(0.0), 0u);
  EXPECT_EQ(exact_integer<std::int64_t>(9007199254740992.0), INT64_C(9007199254740992));
  // The largest double below 2^63.
  EXPECT_EQ(exact_integer<std::int64_t>(std::nextafter(9223372036854775808.0, 0.0)),
            INT64_C(9223372036854774784));
}

TEST(ExactInteger, RefusesWhatACastWouldGetWrong) {
  for (double v :
       {2147483648.0, -2147483648.0, 1e20, -1e300, 0.5, -2.25, std::nan(""), HUGE_VAL, -HUGE_VAL})
    EXPECT_FALSE(exact_integer<int>(v)) << v;
  EXPECT_FALSE(exact_integer<unsigned>(-1.0));
  EXPECT_FALSE(exact_integer<std::int64_t>(9223372036854775808.0));
  EXPECT_FALSE(exact_integer<std::int64_t>(-9223372036854775808.0));
}

}  // namespace
}  // namespace kav
