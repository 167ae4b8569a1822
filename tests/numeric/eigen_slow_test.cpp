#include <gtest/gtest.h>

#include <random>

#include "eigen_checks.h"
#include "eigen_reference.h"

namespace kav {
namespace {

TEST(EigenSlow, AgreesWithLapackAtOrder500) {
  std::mt19937_64 rng(5005);
  const int n = 500;
  const test::Dense kinds[] = {test::random_matrix(n, rng), test::graded_matrix(n, rng),
                               test::clustered_matrix(n, rng), test::repeated_matrix(n, rng)};
  const char* names[] = {"random", "graded", "clustered", "repeated"};
  for (int k = 0; k < 4; ++k) {
    const auto r = test::run_zeigen2(kinds[k], n);
    EXPECT_GE(r.code, -10) << names[k];
    test::expect_good_decomposition(kinds[k], r, n, names[k]);
  }
}

}  // namespace
}  // namespace kav
