// The criterion weights of every analytic rotation, checked against the
// criteria as the literature writes them: the orthomax family with each
// method's classical gamma, the oblimin family and Crawford-Ferguson as
// their double sums.  A weighted sum of the four generalised terms must be
// the named criterion times a positive constant (the same constant for
// every pattern), or it would not rotate to the same solution.
#include "factor/rotate/factrot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "support/criteria.h"
#include "factor/rotate/rotselect.h"

namespace kav {
namespace {

using criteria::crawford_ferguson;
using dense::Mat;
using criteria::oblimin;

Mat random_pattern(int p, int m, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  Mat l(static_cast<std::size_t>(p), std::vector<double>(static_cast<std::size_t>(m)));
  for (auto& row : l)
    for (double& v : row) v = u(gen);
  return l;
}

std::function<double(const Mat&)> orthomax(double gamma) {
  return [gamma](const Mat& l) {
    double f = 0;
    for (std::size_t j = 0; j < l[0].size(); ++j) {
      double s2 = 0, s4 = 0;
      for (const auto& row : l) s2 += row[j] * row[j], s4 += std::pow(row[j], 4);
      f += s4 - gamma / static_cast<double>(l.size()) * s2 * s2;
    }
    return f;
  };
}

// Orthogonal weights are compared on orthogonal rotations of one pattern
// (the only patterns they are used on: the row sums are then fixed, so
// criteria that differ by a multiple of them are the same criterion), and
// through differences between rotations, as a constant may separate them;
// oblique ones through their values on unrelated patterns.
TEST(Factkap, WeightsAreTheNamedCriterionTimesAPositiveConstant) {
  const int p = 9, m = 3;
  struct Case {
    int method;
    std::vector<double> params;
    std::function<double(const Mat&)> named;
    bool orthogonal;
  };
  const Case cases[] = {
      {kRotQuartimax, {}, orthomax(0), true},
      {kRotVarimax, {}, orthomax(1), true},
      {kRotBiquartimax, {}, orthomax(0.5), true},
      {kRotEquamax, {}, orthomax(m / 2.0), true},
      {kRotParsimax, {}, orthomax(p * (m - 1.0) / (p + m - 2)), true},
      {kRotFactorParsimax, {}, orthomax(p), true},
      {kRotOrthomax, {0.7}, orthomax(0.7), true},
      {kRotHk, {1}, orthomax(1), true},
      // Orthogonal Crawford-Ferguson with kappa = k2 / (k1 + k2) is orthomax
      // with gamma = p kappa.
      {kRotOrthcf, {0.6, 0.4}, orthomax(p * 0.4), true},
      {kRotQuartimin, {}, [](const Mat& l) { return oblimin(l, 0); }, false},
      {kRotBiquartimin, {}, [](const Mat& l) { return oblimin(l, 0.5); }, false},
      {kRotCovarimin, {}, [](const Mat& l) { return oblimin(l, 1); }, false},
      {kRotOblimin, {0.25}, [](const Mat& l) { return oblimin(l, 0.25); }, false},
      {kRotObquartimax, {}, [](const Mat& l) { return crawford_ferguson(l, 1, 0); }, false},
      {kRotObvarimax, {}, [](const Mat& l) { return crawford_ferguson(l, p - 1, 1); }, false},
      {kRotObequamax, {}, [](const Mat& l) { return crawford_ferguson(l, 2 * p - m, m); }, false},
      {kRotObparsimax, {}, [](const Mat& l) { return crawford_ferguson(l, p - 1, m - 1); }, false},
      {kRotObfactorParsimax, {}, [](const Mat& l) { return crawford_ferguson(l, 0, 1); }, false},
      {kRotOblicf, {0.7, 0.3}, [](const Mat& l) { return crawford_ferguson(l, 0.7, 0.3); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    double g[4] = {0, 0, 0, 0};
    std::copy(c.params.begin(), c.params.end(), g);
    ASSERT_TRUE(factkap(g, p, m, c.method));
    const Mat base = random_pattern(p, m, 11);
    std::vector<double> w, n;
    for (unsigned seed = 1; seed <= 4; ++seed) {
      Mat l = c.orthogonal ? base : random_pattern(p, m, seed);
      if (c.orthogonal) {
        // A planar rotation of factors 1 and 3 by an angle set by the seed.
        const double a = 0.3 * seed, cs = std::cos(a), sn = std::sin(a);
        for (auto& row : l) {
          const double x = row[0], y = row[2];
          row[0] = cs * x + sn * y;
          row[2] = -sn * x + cs * y;
        }
      }
      w.push_back(criteria::generalised(l, g));
      n.push_back(c.named(l));
    }
    double ratio = NAN;
    for (std::size_t k = 1; k < w.size(); ++k) {
      const double r = c.orthogonal ? (w[k] - w[0]) / (n[k] - n[0]) : w[k] / n[k];
      if (std::isnan(ratio)) ratio = r;
      EXPECT_NEAR(r, ratio, 1e-9 * std::fabs(ratio));
    }
    EXPECT_GT(ratio, 0) << "the weights would optimise the other way";
  }
}

TEST(Factkap, GeneralisedWeightsPassUnchangedAndOtherCodesAreRefused) {
  double g[4] = {1, 2, 3, 4};
  ASSERT_TRUE(factkap(g, 5, 2, kRotObligencf));
  EXPECT_EQ(std::vector<double>(g, g + 4), (std::vector<double>{1, 2, 3, 4}));
  for (int code : {kRotNone, kRotPromax, kRotProcrustes, 7, 29}) {
    double w[4] = {0, 0, 0, 0};
    EXPECT_FALSE(factkap(w, 5, 2, code)) << code;
    EXPECT_EQ(factrottype(code), 0) << code;
  }
  // Every analytic code has its own number in the extension.
  std::vector<int> seen;
  for (int code :
       {1, 2, 3, 4, 5, 6, 12, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30, 31, 32, 33, 34, 35}) {
    const int t = factrottype(code);
    EXPECT_GT(t, 0) << code;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), t), 0) << code;
    seen.push_back(t);
  }
}

}  // namespace
}  // namespace kav
