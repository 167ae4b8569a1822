#include "numeric/gamma.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace kav {
namespace {

struct Reference {
  char kind;
  double a, x, v1, v2;
};

std::vector<Reference> load() {
  std::ifstream in(std::string(KAV_TEST_DATA) + "/gamma_values.txt");
  std::vector<Reference> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    Reference r{};
    s >> r.kind;
    if (r.kind == 'L') {
      s >> r.x >> r.v1;
    } else if (r.kind == 'G') {
      s >> r.a >> r.x >> r.v1 >> r.v2;
    } else {
      s >> r.a >> r.x >> r.v1;
    }
    rows.push_back(r);
  }
  return rows;
}

double relative_error(double got, double want) {
  return want == 0 ? std::fabs(got) : std::fabs(got - want) / std::fabs(want);
}

bool is_missing(double v) {
  return std::bit_cast<std::uint64_t>(v) == 0xfffffe0000000000;
}

// Where the ratio is computed by the Wilson-Hilferty approximation (a of
// 1e5 and more, near its mean) only a normal-approximation accuracy holds.
bool approximated(const Reference& r) {
  return r.a >= 1e5 && std::fabs(r.x - r.a) < 30 * std::sqrt(r.a);
}

// Relative accuracy expected of a value v: 1e-13, growing in the far tails
// in proportion to |ln v| beyond 200, since the exponent of the leading
// factor x^a e^-x / Gamma(a) is itself only accurate to its own rounding.
double tolerance(const Reference& r, double v) {
  if (approximated(r)) return 2e-4;
  return 1e-13 * std::max(1.0, -std::log(v) / 200.0);
}

TEST(Gamma, AgreesWithHighPrecisionValues) {
  const auto rows = load();
  ASSERT_GT(rows.size(), 1000u);
  int checked = 0;
  for (const Reference& r : rows) {
    if (r.kind == 'L') {
      // Near its zeros at 1 and 2 ln Gamma is checked to absolute accuracy.
      EXPECT_LE(std::fabs(zlgamma(r.x) - r.v1), 1e-13 * std::max(std::fabs(r.v1), 1e-3))
          << "lngamma(" << r.x << ")";
    } else if (r.kind == 'G') {
      double p, q, density;
      ASSERT_EQ(zigamma(&p, &q, &density, r.x, r.a), 0) << r.a << " " << r.x;
      if (r.v1 > 1e-300) {
        EXPECT_LE(relative_error(p, r.v1), tolerance(r, r.v1)) << "P(" << r.a << ", " << r.x << ")";
      }
      if (r.v2 > 1e-300) {
        EXPECT_LE(relative_error(q, r.v2), tolerance(r, r.v2)) << "Q(" << r.a << ", " << r.x << ")";
      }
    } else {
      const double q = zpgx2(static_cast<int>(r.a), r.x);
      if (r.v1 > 1e-300) {
        EXPECT_LE(relative_error(q, r.v1), tolerance(r, r.v1))
            << "chi2(" << r.a << ", " << r.x << ")";
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<int>(rows.size()));
}

TEST(Gamma, EdgeResults) {
  EXPECT_EQ(zlgamma(1.0), 0.0);
  EXPECT_EQ(zlgamma(2.0), 0.0);
  EXPECT_EQ(zlgamma(0.0), -99.0);
  EXPECT_EQ(zlgamma(-3.0), -99.0);
  EXPECT_NEAR(zlgamma(0.5), std::log(std::sqrt(std::numbers::pi)), 1e-15);
  double p, q, density;
  EXPECT_EQ(zigamma(&p, &q, &density, -1.0, 2.0), 1);
  EXPECT_EQ(p, -2.0);
  EXPECT_EQ(q, -2.0);
  EXPECT_EQ(density, 0.0);
  EXPECT_EQ(zigamma(&p, &q, &density, 1.0, -0.5), 1);
  EXPECT_EQ(zigamma(&p, &q, &density, 0.0, 3.0), 0);
  EXPECT_EQ(p, 0.0);
  EXPECT_EQ(q, 1.0);
  EXPECT_EQ(zigamma(&p, &q, &density, 4.0, 0.0), 0);
  EXPECT_EQ(p, 1.0);
  EXPECT_EQ(q, 0.0);
  // The density is dP/dx: e^-x for a = 1, x e^-x for a = 2.
  zigamma(&p, &q, &density, 2.0, 1.0);
  EXPECT_NEAR(density, std::exp(-2.0), 1e-16);
  zigamma(&p, &q, &density, 30.0, 2.0);
  EXPECT_NEAR(density / (30.0 * std::exp(-30.0)), 1.0, 1e-13);

  for (int df : {1, 2, 7, 100}) EXPECT_EQ(zpgx2(df, 0.0), 1.0);
  EXPECT_TRUE(is_missing(zpgx2(3, -1.0)));
  EXPECT_TRUE(is_missing(zpgx2(-2, 1.0)));
  // No degrees of freedom: the distribution sits at 0, nothing exceeds x.
  EXPECT_EQ(zpgx2(0, 0.0), 0.0);
  EXPECT_EQ(zpgx2(0, 3.5), 0.0);
  // Closed forms: df = 2 is exponential, df = 1 is a two-sided normal tail.
  EXPECT_NEAR(zpgx2(2, 7.0) / std::exp(-3.5), 1.0, 1e-14);
  EXPECT_NEAR(zpgx2(1, 4.0) / std::erfc(std::sqrt(2.0)), 1.0, 1e-14);
}

}  // namespace
}  // namespace kav
