// The criterion weights of every analytic rotation, checked against the
// criteria as the literature writes them: the orthomax family with each
// method's classical gamma, the oblimin family and Crawford-Ferguson as
// their double sums.  A weighted sum of the four generalised terms must be
// the named criterion times a positive constant (the same constant for
// every pattern), or it would not rotate to the same solution.
#include "factor/factrot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "factor/criteria.h"
#include "factor/rotselect.h"

namespace kav {
namespace {

using Mat = std::vector<std::vector<double>>;
using criteria::crawford_ferguson;
using criteria::oblimin;

Mat random_pattern(int p, int m, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  Mat l(static_cast<std::size_t>(p), std::vector<double>(static_cast<std::size_t>(m)));
  for (auto& row : l)
    for (double& v : row) v = u(gen);
  return l;
}

// g0 (sum l^2)^2 + g1 sum_i (row sums)^2 + g2 sum_j (column sums)^2 + g3 sum l^4.
double weighted(const double g[4], const Mat& l) {
  double all = 0, rows = 0, quart = 0;
  std::vector<double> col(l[0].size(), 0.0);
  for (const auto& row : l) {
    double r = 0;
    for (std::size_t j = 0; j < row.size(); ++j) {
      const double s = row[j] * row[j];
      r += s;
      col[j] += s;
      quart += s * s;
    }
    all += r;
    rows += r * r;
  }
  double cols = 0;
  for (double c : col) cols += c * c;
  return g[0] * all * all + g[1] * rows + g[2] * cols + g[3] * quart;
}

double orthomax(const Mat& l, double gamma) {
  const double p = static_cast<double>(l.size());
  double f = 0;
  for (std::size_t j = 0; j < l[0].size(); ++j) {
    double s2 = 0, s4 = 0;
    for (const auto& row : l) s2 += row[j] * row[j], s4 += std::pow(row[j], 4);
    f += s4 - gamma / p * s2 * s2;
  }
  return f;
}

// The ratio of the weighted sum to the named criterion is one positive
// constant.  Orthogonal weights are compared on orthogonal rotations of one
// pattern (the only patterns they are used on: the row sums are then fixed,
// so criteria that differ by a multiple of them are the same criterion).
void expect_proportional(int method, const std::vector<double>& params,
                         const std::function<double(const Mat&)>& named, bool orthogonal) {
  const int p = 9, m = 3;
  double g[4] = {0, 0, 0, 0};
  for (std::size_t k = 0; k < params.size(); ++k) g[k] = params[k];
  ASSERT_TRUE(factkap(g, p, m, method)) << method;
  const Mat base = random_pattern(p, m, 11);
  std::vector<double> diffs_w, diffs_n;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    Mat l = orthogonal ? base : random_pattern(p, m, seed);
    if (orthogonal) {
      // A planar rotation of factors 1 and 3 by an angle set by the seed.
      const double a = 0.3 * seed, c = std::cos(a), s = std::sin(a);
      for (auto& row : l) {
        const double x = row[0], y = row[2];
        row[0] = c * x + s * y;
        row[2] = -s * x + c * y;
      }
    }
    diffs_w.push_back(weighted(g, l));
    diffs_n.push_back(named(l));
  }
  // Orthogonal criteria are compared through differences between rotations
  // (a constant may separate them); oblique ones through their values.
  double ratio = NAN;
  for (std::size_t k = 1; k < diffs_w.size(); ++k) {
    const double w = orthogonal ? diffs_w[k] - diffs_w[0] : diffs_w[k];
    const double n = orthogonal ? diffs_n[k] - diffs_n[0] : diffs_n[k];
    const double r = w / n;
    if (std::isnan(ratio)) ratio = r;
    EXPECT_NEAR(r, ratio, 1e-9 * std::fabs(ratio)) << "method " << method;
  }
  EXPECT_GT(ratio, 0) << "method " << method << ": the weights would optimise the other way";
}

TEST(Factkap, OrthogonalWeightsAreTheOrthomaxCriterionWithEachMethodsGamma) {
  const double p = 9, m = 3;
  struct Case {
    int method;
    double gamma;
    std::vector<double> params;
  };
  const Case cases[] = {
      {kRotQuartimax, 0, {}},
      {kRotVarimax, 1, {}},
      {kRotBiquartimax, 0.5, {}},
      {kRotEquamax, m / 2, {}},
      {kRotParsimax, p * (m - 1) / (p + m - 2), {}},
      {kRotFactorParsimax, p, {}},
      {kRotOrthomax, 0.7, {0.7}},
      {kRotHk, 1, {1}},
  };
  for (const Case& c : cases)
    expect_proportional(c.method, c.params, [&](const Mat& l) { return orthomax(l, c.gamma); },
                        true);
  // Orthogonal Crawford-Ferguson with kappa = k2 / (k1 + k2) is orthomax
  // with gamma = p kappa.
  expect_proportional(kRotOrthcf, {0.6, 0.4}, [&](const Mat& l) { return orthomax(l, p * 0.4); },
                      true);
}

TEST(Factkap, ObliqueWeightsAreTheObliminAndCrawfordFergusonSums) {
  const double p = 9, m = 3;
  struct Case {
    int method;
    std::vector<double> params;
    std::function<double(const Mat&)> named;
  };
  const Case cases[] = {
      {kRotQuartimin, {}, [](const Mat& l) { return oblimin(l, 0); }},
      {kRotBiquartimin, {}, [](const Mat& l) { return oblimin(l, 0.5); }},
      {kRotCovarimin, {}, [](const Mat& l) { return oblimin(l, 1); }},
      {kRotOblimin, {0.25}, [](const Mat& l) { return oblimin(l, 0.25); }},
      {kRotObquartimax, {}, [](const Mat& l) { return crawford_ferguson(l, 1, 0); }},
      {kRotObvarimax, {}, [&](const Mat& l) { return crawford_ferguson(l, p - 1, 1); }},
      {kRotObequamax, {}, [&](const Mat& l) { return crawford_ferguson(l, 2 * p - m, m); }},
      {kRotObparsimax, {}, [&](const Mat& l) { return crawford_ferguson(l, p - 1, m - 1); }},
      {kRotObfactorParsimax, {}, [](const Mat& l) { return crawford_ferguson(l, 0, 1); }},
      {kRotOblicf, {0.7, 0.3}, [](const Mat& l) { return crawford_ferguson(l, 0.7, 0.3); }},
  };
  for (const Case& c : cases) expect_proportional(c.method, c.params, c.named, false);
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
  for (int code : {1, 2, 3, 4, 5, 6, 12, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30, 31, 32, 33, 34,
                   35}) {
    const int t = factrottype(code);
    EXPECT_GT(t, 0) << code;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), t), 0) << code;
    seen.push_back(t);
  }
}

}  // namespace
}  // namespace kav
