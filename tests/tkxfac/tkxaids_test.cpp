// The number-of-factors aids against computations written here: closed
// forms of MAP and its exhausted partial variances, the normal generator
// against the normal distribution, and parallel analysis against its
// simulated data sets drawn again from the same streams.  MAP of generated
// data against Velicer's definition is checked through whole programs in
// tests/factor/aids_test.cpp.
#include "tkxfac/tkxaids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "support/reference_eigen.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

using reference::Rows;

MapResult map_of(const Rows& r) {
  std::vector<double> packed;
  for (std::size_t i = 0; i < r.size(); ++i)
    packed.insert(packed.end(), r[i].begin(), r[i].begin() + i + 1);
  MapResult m;
  EXPECT_EQ(minimum_average_partial(static_cast<int>(r.size()), packed.data(), m), TKXFAC_OK);
  return m;
}

TEST(Map, ClosedFormsAndTheKnownNumberOfComponents) {
  // Two variables: r^2 and r^4 with nothing partialled; one component
  // partialled leaves a rank-one remainder whose correlation is +-1.  A
  // variable without variance is left out (the last average is then
  // missing).
  const double r = 0.35;
  for (const Rows& two : {Rows{{1, r}, {r, 1}}, Rows{{1, 0, r}, {0, 0, 0}, {r, 0, 1}}}) {
    const MapResult m = map_of(two);
    EXPECT_NEAR(m.map2[0], r * r, 1e-15);
    EXPECT_NEAR(m.map4[0], r * r * r * r, 1e-15);
    EXPECT_NEAR(m.map2[1], 1, 1e-12);
    EXPECT_NEAR(m.map4[1], 1, 1e-12);
    EXPECT_EQ(m.nfact2, 0);
    EXPECT_EQ(std::isnan(m.map2.back()), two.size() == 3);
  }
  // Population correlations of three factors on blocks of four variables
  // with unequal loadings (so that the components are unique): partialling
  // three components leaves the least.  As a covariance matrix it gives the
  // same test; once a block's components are all out its variables have
  // nothing left, missing in both.
  const int p = 12;
  const double loading[p] = {0.8, 0.7, 0.75, 0.65, 0.7, 0.6, 0.85, 0.72, 0.78, 0.68, 0.62, 0.74};
  const double sd[p] = {1, 2, 3, 0.5, 1, 7, 2, 2, 1, 0.1, 4, 1};
  Rows pop(p, std::vector<double>(p)), cov = pop;
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < p; ++j) {
      pop[i][j] = i == j ? 1 : i / 4 == j / 4 ? loading[i] * loading[j] * (1 + 0.01 * (i / 4)) : 0;
      cov[i][j] = pop[i][j] * sd[i] * sd[j];
    }
  const MapResult m = map_of(pop), c = map_of(cov);
  EXPECT_EQ(m.nfact2, 3);
  EXPECT_EQ(m.nfact4, 3);
  EXPECT_TRUE(std::isnan(m.map2[p - 1]));
  for (int k = 0; k < p; ++k) {
    ASSERT_EQ(std::isnan(c.map2[k]), std::isnan(m.map2[k])) << k;
    if (std::isnan(m.map2[k])) continue;
    EXPECT_NEAR(c.map2[k], m.map2[k], 1e-12);
    EXPECT_NEAR(c.map4[k], m.map4[k], 1e-12);
  }
}

TEST(Map, ExhaustedPartialVariancesAreMissingAndOutOfTheChoice) {
  // x4 = (x1 + x2 + x3) / s makes the matrix singular: with three
  // components partialled out nothing is left of any variable.
  const double r12 = 0.1, r13 = 0.3, r23 = 0.2, s = std::sqrt(3 + 2 * (r12 + r13 + r23));
  const double a = (1 + r12 + r13) / s, b = (r12 + 1 + r23) / s, c = (r13 + r23 + 1) / s;
  const MapResult m = map_of({{1, r12, r13, a}, {r12, 1, r23, b}, {r13, r23, 1, c}, {a, b, c, 1}});
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(std::isnan(m.map2[k]), k == 3) << k;
    EXPECT_EQ(std::isnan(m.map4[k]), k == 3) << k;
  }
  EXPECT_EQ(m.nfact2, map_suggestion(3, m.map2.data()));
  const double all_missing[] = {NAN, NAN}, ties[] = {0.5, 0.2, 0.2, NAN};
  EXPECT_EQ(map_suggestion(2, all_missing), 0);
  EXPECT_EQ(map_suggestion(4, ties), 1);
  MapResult out;
  const double negative[] = {1, 0, -1};
  EXPECT_EQ(minimum_average_partial(2, negative, out), TKXFAC_ERR_COMPUTE);
  EXPECT_EQ(minimum_average_partial(0, negative, out), TKXFAC_ERR_ARGUMENT);
}

double normal_cdf(double x) {
  return 0.5 * std::erfc(-x / std::sqrt(2.0));
}

TEST(NormalStream, DrawsTheStandardNormalDistributionReproducibly) {
  NormalStream s(20240601, 0);
  const int n = 400000;
  const double edge = 3.442619855899;  // where the ziggurat's tail method takes over
  std::vector<double> z(n);
  int beyond = 0;
  for (double& v : z) beyond += std::fabs(v = s.normal()) > edge;
  const double tail = 2 * normal_cdf(-edge);
  EXPECT_NEAR(beyond, n * tail, 5 * std::sqrt(n * tail));
  // Kolmogorov-Smirnov against the normal distribution at a level of 0.001.
  std::sort(z.begin(), z.end());
  double d = 0;
  for (int i = 0; i < n; ++i) {
    const double f = normal_cdf(z[i]);
    d = std::max({d, f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f});
  }
  EXPECT_LT(d * std::sqrt(n), 1.95);
  // A stream is a function of its seed and index; uniforms lie in (0, 1).
  NormalStream a(7, 3), b(7, 3), c(7, 4), e(8, 3);
  for (int i = 0; i < 100; ++i) {
    const double va = a.normal();
    EXPECT_EQ(va, b.normal());
    EXPECT_NE(va, c.normal());
    EXPECT_NE(va, e.normal());
    const double u = a.uniform();
    EXPECT_TRUE(u > 0 && u < 1) << u;
    b.uniform();
  }
}

ParallelRequest request(int nvar, int nobs, int nsims, std::uint64_t seed, int threads = 2) {
  ParallelRequest q;
  q.nvar = nvar;
  q.nobs = nobs;
  q.nsims = nsims;
  q.seed = seed;
  q.threads = threads;
  return q;
}

TEST(ParallelAnalysis, RankOfTheCriticalValueTheSuggestionAndBadRequests) {
  // floor((nsims + 1)(1 - alpha)), when that is below nsims and above 0.
  const std::tuple<int, double, int> ranks[] = {{1000, 0.05, 950}, {1000, 0.001, 999},
                                                {1000, 0.0005, 0}, {200, 0.999, 0},
                                                {1000, 0, 0},      {1000, 1, 0}};
  for (const auto& [nsims, alpha, rank] : ranks)
    EXPECT_EQ(parallel_rank(nsims, alpha), rank) << nsims << " " << alpha;
  // The count stops at the first observed eigenvalue that does not exceed
  // its critical value, whatever follows.
  const double observed[] = {3.1, 1.2, 1.4, 0.3}, critical[] = {1.5, 1.3, 1.1, 0.2};
  EXPECT_EQ(parallel_suggestion(4, observed, critical), 1);
  EXPECT_EQ(parallel_suggestion(4, observed, observed), 0);
  ParallelResult out;
  ParallelRequest bad = request(3, 50, 1000, 1);
  bad.alpha = 0.0005;
  EXPECT_EQ(parallel_analysis(bad, out), TKXFAC_ERR_ARGUMENT);
  EXPECT_EQ(parallel_analysis(request(3, 1, 1000, 1), out), TKXFAC_ERR_ARGUMENT);
}

TEST(ParallelAnalysis, MeansAndCriticalValuesAreThoseOfTheSimulatedDataOnAnyThreads) {
  // Data set s draws its values row by row from the stream (seed, s): the
  // test recomputes each set's eigenvalues (Jacobi) and takes the mean and
  // the 950th smallest of 1000 (floor(1001 * 0.95)) per rank itself.  The
  // draws depend on the seed alone, not on how many threads share them.
  const int p = 5, nobs = 30, nsims = 1000;
  ParallelResult one, two, other;
  ASSERT_EQ(parallel_analysis(request(p, nobs, nsims, 5, 1), one), TKXFAC_OK);
  ASSERT_EQ(parallel_analysis(request(p, nobs, nsims, 5, 2), two), TKXFAC_OK);
  ASSERT_EQ(parallel_analysis(request(p, nobs, nsims, 6, 2), other), TKXFAC_OK);
  EXPECT_EQ(two.threads, 2);
  EXPECT_EQ(one.mean, two.mean);
  EXPECT_EQ(one.critical, two.critical);
  EXPECT_NE(one.mean, other.mean);
  Rows by_rank(p);
  for (int s = 0; s < nsims; ++s) {
    NormalStream stream(5, s);
    Rows x(nobs, std::vector<double>(p));
    for (auto& row : x)
      for (double& v : row) v = stream.normal();
    const std::vector<double> values = reference::jacobi(reference::correlations(x)).values;
    for (int i = 0; i < p; ++i) by_rank[i].push_back(values[i]);
  }
  for (int i = 0; i < p; ++i) {
    std::vector<double>& v = by_rank[i];
    EXPECT_NEAR(one.mean[i], std::accumulate(v.begin(), v.end(), 0.0) / nsims, 1e-12) << i;
    std::sort(v.begin(), v.end());
    EXPECT_NEAR(one.critical[i], v[949], 1e-12) << i;
  }
}

}  // namespace
}  // namespace kav
