// The number-of-factors aids against computations written here: Velicer's
// MAP from a Jacobi eigen decomposition and the textbook partial
// covariances R - AA', the normal generator against the normal
// distribution, and parallel analysis against the exact distribution of a
// correlation of independent normals, against a simulation of its own, and
// on data with a known number of factors.
#include "tkxfac/tkxaids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

using Matrix = std::vector<double>;  // row-major, full

std::vector<double> pack(int n, const Matrix& a) {
  std::vector<double> p;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) p.push_back(a[static_cast<std::size_t>(i) * n + j]);
  return p;
}

// Cyclic Jacobi rotations: eigenvalues largest first, eigenvector k in
// column k of `vectors` (row-major n x n).
void jacobi(int n, Matrix a, std::vector<double>& values, Matrix& vectors) {
  auto at = [n](Matrix& m, int i, int j) -> double& {
    return m[static_cast<std::size_t>(i) * n + j];
  };
  Matrix v(static_cast<std::size_t>(n) * n, 0.0);
  for (int i = 0; i < n; ++i) at(v, i, i) = 1;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0;
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) off += at(a, i, j) * at(a, i, j);
    if (off < 1e-32) break;
    for (int p = 0; p < n; ++p)
      for (int q = p + 1; q < n; ++q) {
        const double apq = at(a, p, q);
        if (std::fabs(apq) < 1e-300) continue;
        const double theta = (at(a, q, q) - at(a, p, p)) / (2 * apq);
        const double t =
            (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (int k = 0; k < n; ++k) {
          const double kp = at(a, k, p), kq = at(a, k, q);
          at(a, k, p) = c * kp - s * kq;
          at(a, k, q) = s * kp + c * kq;
        }
        for (int k = 0; k < n; ++k) {
          const double pk = at(a, p, k), qk = at(a, q, k);
          at(a, p, k) = c * pk - s * qk;
          at(a, q, k) = s * pk + c * qk;
        }
        for (int k = 0; k < n; ++k) {
          const double kp = at(v, k, p), kq = at(v, k, q);
          at(v, k, p) = c * kp - s * kq;
          at(v, k, q) = s * kp + c * kq;
        }
      }
  }
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int x, int y) { return at(a, x, x) > at(a, y, y); });
  values.assign(static_cast<std::size_t>(n), 0.0);
  vectors.assign(static_cast<std::size_t>(n) * n, 0.0);
  for (int k = 0; k < n; ++k) {
    const int from = order[static_cast<std::size_t>(k)];
    values[static_cast<std::size_t>(k)] = at(a, from, from);
    for (int i = 0; i < n; ++i) at(vectors, i, k) = at(v, i, from);
  }
}

// Velicer's MAP as he wrote it: loadings A of the first m components,
// partial covariances R - AA', their correlations, averaged over i != j.
void textbook_map(int n, const Matrix& r, std::vector<double>& map2, std::vector<double>& map4) {
  std::vector<double> values;
  Matrix vectors;
  jacobi(n, r, values, vectors);
  map2.assign(static_cast<std::size_t>(n), 0.0);
  map4.assign(static_cast<std::size_t>(n), 0.0);
  for (int m = 0; m < n; ++m) {
    Matrix c = r;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        for (int k = 0; k < m; ++k)
          c[static_cast<std::size_t>(i) * n + j] -= values[static_cast<std::size_t>(k)] *
                                                    vectors[static_cast<std::size_t>(i) * n + k] *
                                                    vectors[static_cast<std::size_t>(j) * n + k];
    double s2 = 0, s4 = 0;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        if (i == j) continue;
        const double p = c[static_cast<std::size_t>(i) * n + j] /
                         std::sqrt(c[static_cast<std::size_t>(i) * n + i] *
                                   c[static_cast<std::size_t>(j) * n + j]);
        s2 += p * p;
        s4 += p * p * p * p;
      }
    map2[static_cast<std::size_t>(m)] = s2 / (n * (n - 1.0));
    map4[static_cast<std::size_t>(m)] = s4 / (n * (n - 1.0));
  }
}

// Observations with `factors` independent factors, each loading `loading`
// on its own block of `per` variables, the rest unique noise.
Matrix factor_data(int nobs, int factors, int per, double loading, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> z;
  const int p = factors * per;
  Matrix x(static_cast<std::size_t>(nobs) * p);
  const double unique = std::sqrt(1 - loading * loading);
  for (int i = 0; i < nobs; ++i) {
    std::vector<double> f(static_cast<std::size_t>(factors));
    for (double& v : f) v = z(gen);
    for (int j = 0; j < p; ++j)
      x[static_cast<std::size_t>(i) * p + j] =
          loading * f[static_cast<std::size_t>(j / per)] + unique * z(gen);
  }
  return x;
}

Matrix correlations(int nobs, int p, const Matrix& x) {
  std::vector<double> mean(static_cast<std::size_t>(p), 0.0);
  for (int i = 0; i < nobs; ++i)
    for (int j = 0; j < p; ++j)
      mean[static_cast<std::size_t>(j)] += x[static_cast<std::size_t>(i) * p + j] / nobs;
  Matrix c(static_cast<std::size_t>(p) * p, 0.0);
  for (int i = 0; i < nobs; ++i)
    for (int j = 0; j < p; ++j)
      for (int k = 0; k < p; ++k)
        c[static_cast<std::size_t>(j) * p + k] +=
            (x[static_cast<std::size_t>(i) * p + j] - mean[static_cast<std::size_t>(j)]) *
            (x[static_cast<std::size_t>(i) * p + k] - mean[static_cast<std::size_t>(k)]);
  Matrix r = c;
  for (int j = 0; j < p; ++j)
    for (int k = 0; k < p; ++k)
      r[static_cast<std::size_t>(j) * p + k] = c[static_cast<std::size_t>(j) * p + k] /
                                               std::sqrt(c[static_cast<std::size_t>(j) * p + j] *
                                                         c[static_cast<std::size_t>(k) * p + k]);
  return r;
}

// ---------------------------------------------------------------------------
// MAP

TEST(Map, EqualsVelicersTestFromTheEigenDecompositionForBothPowers) {
  struct Case {
    int nobs, factors, per;
    double loading;
    std::uint64_t seed;
  };
  for (const Case& k :
       {Case{40, 2, 3, 0.6, 11}, Case{300, 3, 4, 0.7, 12}, Case{25, 1, 5, 0.3, 13}}) {
    const int p = k.factors * k.per;
    SCOPED_TRACE(p);
    const Matrix r =
        correlations(k.nobs, p, factor_data(k.nobs, k.factors, k.per, k.loading, k.seed));
    std::vector<double> want2, want4;
    textbook_map(p, r, want2, want4);
    MapResult got;
    ASSERT_EQ(minimum_average_partial(p, pack(p, r).data(), got), TKXFAC_OK);
    ASSERT_EQ(got.map2.size(), static_cast<std::size_t>(p));
    for (int m = 0; m < p; ++m) {
      EXPECT_NEAR(got.map2[static_cast<std::size_t>(m)], want2[static_cast<std::size_t>(m)], 1e-12)
          << m;
      EXPECT_NEAR(got.map4[static_cast<std::size_t>(m)], want4[static_cast<std::size_t>(m)], 1e-12)
          << m;
    }
    const auto first_min = [](const std::vector<double>& v) {
      return static_cast<int>(std::min_element(v.begin(), v.end()) - v.begin());
    };
    EXPECT_EQ(got.nfact2, first_min(want2));
    EXPECT_EQ(got.nfact4, first_min(want4));
  }
}

TEST(Map, ClosedFormsAndTheKnownNumberOfComponents) {
  // Two variables: r^2 and r^4 with nothing partialled; one component
  // partialled leaves a rank-one remainder whose correlation is +-1.
  const double r = 0.35;
  std::vector<double> two{1, r, 1};
  MapResult m;
  ASSERT_EQ(minimum_average_partial(2, two.data(), m), TKXFAC_OK);
  EXPECT_NEAR(m.map2[0], r * r, 1e-15);
  EXPECT_NEAR(m.map4[0], r * r * r * r, 1e-15);
  EXPECT_NEAR(m.map2[1], 1, 1e-12);
  EXPECT_NEAR(m.map4[1], 1, 1e-12);
  EXPECT_EQ(m.nfact2, 0);

  // The population correlations of three factors on blocks of four
  // variables (loadings l_i l_j within a block): partialling three
  // components leaves the least.  The loadings differ so that no two
  // eigenvalues are equal and the components are unique.
  const int p = 12;
  const double loading[p] = {0.8, 0.7, 0.75, 0.65, 0.7, 0.6, 0.85, 0.72, 0.78, 0.68, 0.62, 0.74};
  Matrix pop(p * p);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < p; ++j)
      pop[static_cast<std::size_t>(i) * p + j] =
          i == j           ? 1
          : i / 4 == j / 4 ? loading[i] * loading[j] * (1 + 0.01 * (i / 4))
                           : 0;
  ASSERT_EQ(minimum_average_partial(p, pack(p, pop).data(), m), TKXFAC_OK);
  EXPECT_EQ(m.nfact2, 3);
  EXPECT_EQ(m.nfact4, 3);

  // A covariance matrix gives the MAP of its correlations.
  Matrix cov = pop;
  const double sd[p] = {1, 2, 3, 0.5, 1, 7, 2, 2, 1, 0.1, 4, 1};
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < p; ++j) cov[static_cast<std::size_t>(i) * p + j] *= sd[i] * sd[j];
  MapResult c;
  ASSERT_EQ(minimum_average_partial(p, pack(p, cov).data(), c), TKXFAC_OK);
  // The blocks are uncorrelated, so once a block's components are all
  // partialled out its variables have nothing left: missing in both.
  for (int k = 0; k < p; ++k) {
    const auto i = static_cast<std::size_t>(k);
    ASSERT_EQ(std::isnan(c.map2[i]), std::isnan(m.map2[i])) << k;
    if (std::isnan(m.map2[i])) continue;
    EXPECT_NEAR(c.map2[i], m.map2[i], 1e-12);
    EXPECT_NEAR(c.map4[i], m.map4[i], 1e-12);
  }
  EXPECT_TRUE(std::isnan(m.map2[p - 1]));
}

TEST(Map, ExhaustedPartialVariancesAreMissingAndOutOfTheChoice) {
  // x4 = (x1 + x2 + x3) / s makes the matrix singular: with three
  // components partialled out nothing is left of any variable.
  const double r12 = 0.1, r13 = 0.3, r23 = 0.2, s = std::sqrt(3 + 2 * (r12 + r13 + r23));
  std::vector<double> singular{
      1, r12, 1, r13, r23, 1, (1 + r12 + r13) / s, (r12 + 1 + r23) / s, (r13 + r23 + 1) / s, 1};
  MapResult m;
  ASSERT_EQ(minimum_average_partial(4, singular.data(), m), TKXFAC_OK);
  for (int k = 0; k < 3; ++k) {
    EXPECT_FALSE(std::isnan(m.map2[static_cast<std::size_t>(k)])) << k;
    EXPECT_FALSE(std::isnan(m.map4[static_cast<std::size_t>(k)])) << k;
  }
  EXPECT_TRUE(std::isnan(m.map2[3]));
  EXPECT_TRUE(std::isnan(m.map4[3]));
  EXPECT_EQ(m.nfact2, map_suggestion(3, m.map2.data()));

  const double all_missing[] = {NAN, NAN};
  EXPECT_EQ(map_suggestion(2, all_missing), 0);
  const double ties[] = {0.5, 0.2, 0.2, NAN};
  EXPECT_EQ(map_suggestion(4, ties), 1);

  // A variable without variance is left out: the test of the others, with
  // the last average missing since there is one variable fewer.
  const double r = 0.35;
  std::vector<double> with_constant{1, 0, 0, r, 0, 1};
  ASSERT_EQ(minimum_average_partial(3, with_constant.data(), m), TKXFAC_OK);
  EXPECT_NEAR(m.map2[0], r * r, 1e-15);
  EXPECT_NEAR(m.map4[1], 1, 1e-12);
  EXPECT_TRUE(std::isnan(m.map2[2]));
  std::vector<double> negative{1, 0, -1};
  EXPECT_EQ(minimum_average_partial(2, negative.data(), m), TKXFAC_ERR_COMPUTE);
  EXPECT_EQ(minimum_average_partial(0, negative.data(), m), TKXFAC_ERR_ARGUMENT);
}

// ---------------------------------------------------------------------------
// The generator

double normal_cdf(double x) {
  return 0.5 * std::erfc(-x / std::sqrt(2.0));
}

TEST(NormalStream, DrawsTheStandardNormalDistributionReproducibly) {
  NormalStream s(20240601, 0);
  const int n = 400000;
  std::vector<double> z(n);
  double sum = 0, sum2 = 0;
  int beyond = 0;
  for (double& v : z) {
    v = s.normal();
    sum += v;
    sum2 += v * v;
    if (std::fabs(v) > 3.442619855899) ++beyond;
  }
  EXPECT_NEAR(sum / n, 0, 5 / std::sqrt(n));
  EXPECT_NEAR(sum2 / n, 1, 5 * std::sqrt(2.0 / n));
  // The tail is drawn by its own method: its share must be right too.
  const double tail = 2 * normal_cdf(-3.442619855899);
  EXPECT_NEAR(beyond, n * tail, 5 * std::sqrt(n * tail));
  // Kolmogorov-Smirnov against the normal distribution function, at a
  // level of 0.001.
  std::sort(z.begin(), z.end());
  double d = 0;
  for (int i = 0; i < n; ++i) {
    const double f = normal_cdf(z[static_cast<std::size_t>(i)]);
    d = std::max({d, f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f});
  }
  EXPECT_LT(d * std::sqrt(n), 1.95);

  // A stream is a function of its seed and index.
  NormalStream a(7, 3), b(7, 3), c(7, 4), e(8, 3);
  int same_c = 0, same_e = 0;
  for (int i = 0; i < 100; ++i) {
    const double va = a.normal();
    EXPECT_EQ(va, b.normal());
    same_c += va == c.normal();
    same_e += va == e.normal();
  }
  EXPECT_EQ(same_c, 0);
  EXPECT_EQ(same_e, 0);
  for (int i = 0; i < 1000; ++i) {
    const double u = a.uniform();
    EXPECT_GT(u, 0);
    EXPECT_LT(u, 1);
  }
}

// ---------------------------------------------------------------------------
// Parallel analysis

TEST(ParallelAnalysis, RankOfTheCriticalValueAndTheSuggestion) {
  EXPECT_EQ(parallel_rank(1000, 0.05), 950);
  EXPECT_EQ(parallel_rank(1000, 0.001), 999);
  EXPECT_EQ(parallel_rank(1000, 0.0005), 0);  // 1000 is not below 1000
  EXPECT_EQ(parallel_rank(200, 0.999), 0);    // floor(0.201) is 0
  EXPECT_EQ(parallel_rank(1000, 0), 0);
  EXPECT_EQ(parallel_rank(1000, 1), 0);

  const double observed[] = {3.1, 1.2, 1.4, 0.3};
  const double critical[] = {1.5, 1.3, 1.1, 0.2};
  // The count stops at the first observed eigenvalue that does not exceed
  // its critical value, whatever follows.
  EXPECT_EQ(parallel_suggestion(4, observed, critical), 1);
  const double equal[] = {3.1, 1.2, 1.4, 0.3};
  EXPECT_EQ(parallel_suggestion(4, observed, equal), 0);

  ParallelResult out;
  ParallelRequest bad;
  bad.nvar = 3;
  bad.nobs = 50;
  bad.nsims = 1000;
  bad.alpha = 0.0005;
  EXPECT_EQ(parallel_analysis(bad, out), TKXFAC_ERR_ARGUMENT);
  bad.alpha = 0.05;
  bad.nobs = 1;
  EXPECT_EQ(parallel_analysis(bad, out), TKXFAC_ERR_ARGUMENT);
}

TEST(ParallelAnalysis, SameResultsOnOneAndTwoThreadsForAFixedSeed) {
  ParallelRequest q;
  q.nvar = 9;
  q.nobs = 120;
  q.nsims = 301;
  q.alpha = 0.05;
  q.seed = 4242;
  ParallelResult one, two, three, other;
  q.threads = 1;
  ASSERT_EQ(parallel_analysis(q, one), TKXFAC_OK);
  q.threads = 2;
  ASSERT_EQ(parallel_analysis(q, two), TKXFAC_OK);
  q.threads = 3;
  ASSERT_EQ(parallel_analysis(q, three), TKXFAC_OK);
  EXPECT_EQ(one.threads, 1);
  EXPECT_EQ(two.threads, 2);
  EXPECT_EQ(one.mean, two.mean);
  EXPECT_EQ(one.critical, two.critical);
  EXPECT_EQ(one.mean, three.mean);
  EXPECT_EQ(one.critical, three.critical);
  q.seed = 4243;
  ASSERT_EQ(parallel_analysis(q, other), TKXFAC_OK);
  EXPECT_NE(one.mean, other.mean);
  // Whatever the draws, the eigenvalues of a correlation matrix sum to the
  // number of variables, and the ranks keep their order.
  EXPECT_NEAR(std::accumulate(one.mean.begin(), one.mean.end(), 0.0), 9, 1e-10);
  for (int i = 1; i < 9; ++i) {
    EXPECT_LE(one.mean[static_cast<std::size_t>(i)], one.mean[static_cast<std::size_t>(i - 1)]);
    EXPECT_LE(one.critical[static_cast<std::size_t>(i)],
              one.critical[static_cast<std::size_t>(i - 1)] + 1e-12);
  }
}

// The distribution function of |r| for the correlation of N independent
// normal pairs: its density is proportional to (1 - t^2)^((N - 4) / 2).
double abs_r_cdf(int nobs, double t) {
  const int steps = 2000;  // Simpson's rule
  const double h = t / steps;
  const double e = (nobs - 4) / 2.0;
  auto f = [e](double x) { return std::pow(1 - x * x, e); };
  double s = f(0) + f(t);
  for (int i = 1; i < steps; ++i) s += f(i * h) * (i % 2 ? 4 : 2);
  const double beta =
      std::exp(std::lgamma(0.5) + std::lgamma((nobs - 2) / 2.0) - std::lgamma((nobs - 1) / 2.0));
  return 2 * s * h / 3 / beta;
}

double abs_r_quantile(int nobs, double q) {
  double lo = 0, hi = 1;
  for (int i = 0; i < 60; ++i) {
    const double mid = (lo + hi) / 2;
    (abs_r_cdf(nobs, mid) < q ? lo : hi) = mid;
  }
  return (lo + hi) / 2;
}

TEST(ParallelAnalysis, TwoVariablesMatchTheExactDistributionOfTheCorrelation) {
  // With two variables the eigenvalues are 1 + |r| and 1 - |r|, and for
  // independent normals E|r| = Gamma((N-1)/2) / (sqrt(pi) Gamma(N/2)),
  // E r^2 = 1 / (N - 1).
  const int nobs = 60, nsims = 20000;
  ParallelRequest q;
  q.nvar = 2;
  q.nobs = nobs;
  q.nsims = nsims;
  q.alpha = 0.05;
  q.seed = 99;
  q.threads = 2;
  ParallelResult pa;
  ASSERT_EQ(parallel_analysis(q, pa), TKXFAC_OK);
  const double mean_abs =
      std::exp(std::lgamma((nobs - 1) / 2.0) - std::lgamma(nobs / 2.0)) / std::sqrt(M_PI);
  const double sd_abs = std::sqrt(1.0 / (nobs - 1) - mean_abs * mean_abs);
  const double tol = 5 * sd_abs / std::sqrt(nsims);
  EXPECT_NEAR(pa.mean[0], 1 + mean_abs, tol);
  EXPECT_NEAR(pa.mean[1], 1 - mean_abs, tol);

  // The critical values are order statistics near the 95% point of
  // 1 + |r| and the 5% point of 1 - |r|; their sampling error follows from
  // the density at the quantile.
  const int k = parallel_rank(nsims, 0.05);
  auto check = [&](double level, double got, double sign) {
    const double t = abs_r_quantile(nobs, level);
    const double density =
        2 * std::pow(1 - t * t, (nobs - 4) / 2.0) /
        std::exp(std::lgamma(0.5) + std::lgamma((nobs - 2) / 2.0) - std::lgamma((nobs - 1) / 2.0));
    const double sd = std::sqrt(level * (1 - level) / nsims) / density;
    EXPECT_NEAR(got, 1 + sign * t, 5 * sd + 1e-3 / nsims) << level;
  };
  check(static_cast<double>(k) / (nsims + 1), pa.critical[0], 1);
  check(1 - static_cast<double>(k) / (nsims + 1), pa.critical[1], -1);
}

TEST(ParallelAnalysis, MeanEigenvaluesAgreeWithAnIndependentSimulation) {
  // Per-rank means of correlation eigenvalues of independent normals, by a
  // simulation of the test's own (another generator, Jacobi eigenvalues);
  // both means are within sampling error of each other.
  const int p = 6, nobs = 40, nsims = 3000, own = 3000;
  ParallelRequest q;
  q.nvar = p;
  q.nobs = nobs;
  q.nsims = nsims;
  q.seed = 5;
  q.threads = 2;
  ParallelResult pa;
  ASSERT_EQ(parallel_analysis(q, pa), TKXFAC_OK);

  std::mt19937_64 gen(31337);
  std::normal_distribution<double> z;
  std::vector<double> sum(p, 0.0), sum2(p, 0.0);
  for (int s = 0; s < own; ++s) {
    Matrix x(static_cast<std::size_t>(nobs) * p);
    for (double& v : x) v = z(gen);
    std::vector<double> values;
    Matrix vectors;
    jacobi(p, correlations(nobs, p, x), values, vectors);
    for (int i = 0; i < p; ++i) {
      sum[static_cast<std::size_t>(i)] += values[static_cast<std::size_t>(i)];
      sum2[static_cast<std::size_t>(i)] +=
          values[static_cast<std::size_t>(i)] * values[static_cast<std::size_t>(i)];
    }
  }
  for (int i = 0; i < p; ++i) {
    const double m = sum[static_cast<std::size_t>(i)] / own;
    const double var = sum2[static_cast<std::size_t>(i)] / own - m * m;
    // The variance of the difference of two independent means.
    const double tol = 5 * std::sqrt(var / own + var / nsims);
    EXPECT_NEAR(pa.mean[static_cast<std::size_t>(i)], m, tol) << "rank " << i + 1;
  }
}

// ---------------------------------------------------------------------------
// Through the extension's values

struct Instance {
  TKXFAC_EXTENSION* ext = nullptr;
  TKXFAC_INSTANCE* inst = nullptr;
  const TKXFAC_FACTORY* f = nullptr;
  Instance(int nvar, int threads, std::int64_t seed, int nsims = 1000, double alpha = 0.05) {
    ext = tkxfac_from_header(tkxfac_load(nullptr, "tkxfac"));
    TKXFAC_EXTPARMS x{};
    x.pa_nsims = nsims;
    x.pa_alpha = alpha;
    x.pa_seed = seed;
    TKXFAC_PARMS p{};
    p.nvar = nvar;
    p.nfac = -99;
    p.nThreads = threads;
    p.ext = &x;
    inst = ext->CreateInstance(ext, &p);
    f = inst->FactoryPtr;
  }
  ~Instance() {
    f->DestroyInstance(&inst);
    ext->hdr.destroy(&ext->hdr);
  }
  int set(int code, const void* a, std::size_t n) { return f->ValueSet(inst, code, a, n); }
  int get(int code, void* a, std::size_t n) { return f->ValueGet(inst, code, a, &n, 0, 0); }
  int get_int(int code) {
    std::int32_t v = -1;
    EXPECT_EQ(get(code, &v, sizeof v), TKXFAC_OK) << code;
    return v;
  }
};

TEST(AidsValues, DataWithAKnownNumberOfFactorsGetThatNumberSuggested) {
  for (int factors : {1, 2, 3}) {
    SCOPED_TRACE(factors);
    const int per = 4, p = factors * per, nobs = 300;
    const Matrix r = correlations(nobs, p, factor_data(nobs, factors, per, 0.7, 100 + factors));
    Instance x(p, 2, 271828);
    const double n = nobs;
    const std::vector<double> packed = pack(p, r);
    ASSERT_EQ(x.set(TKXFAC_VAL_NOBS, &n, 8), TKXFAC_OK);
    ASSERT_EQ(x.set(TKXFAC_VAL_CORR, packed.data(), packed.size() * 8), TKXFAC_OK);
    EXPECT_EQ(x.get_int(TKXFAC_VAL_NFACTPA), factors);
    EXPECT_EQ(x.get_int(TKXFAC_VAL_NFACTMAP2), factors);
    EXPECT_EQ(x.get_int(TKXFAC_VAL_NFACTMAP4), factors);
    // The suggestion is the count of observed eigenvalues (value 18) above
    // the critical ones (value 61).
    std::vector<double> observed(p), critical(p), mean(p);
    ASSERT_EQ(x.get(TKXFAC_VAL_EVALSTD, observed.data(), p * 8), TKXFAC_OK);
    ASSERT_EQ(x.get(TKXFAC_VAL_EVALPA, critical.data(), p * 8), TKXFAC_OK);
    ASSERT_EQ(x.get(TKXFAC_VAL_AVEEVALPA, mean.data(), p * 8), TKXFAC_OK);
    for (int i = 0; i < p; ++i) {
      EXPECT_EQ(observed[static_cast<std::size_t>(i)] > critical[static_cast<std::size_t>(i)],
                i < factors)
          << i;
      EXPECT_GT(critical[static_cast<std::size_t>(i)], mean[static_cast<std::size_t>(i)]) << i;
    }
  }
}

TEST(AidsValues, SeedsThreadsAndWhatIsNeededFirst) {
  const int p = 4;
  const Matrix r = correlations(80, p, factor_data(80, 1, p, 0.5, 3));
  const std::vector<double> packed = pack(p, r);
  const double nobs = 80;
  auto critical = [&](int threads, std::int64_t seed) {
    Instance x(p, threads, seed, 400);
    EXPECT_EQ(x.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
    std::vector<double> c(p);
    EXPECT_EQ(x.get(TKXFAC_VAL_EVALPA, c.data(), p * 8), TKXFAC_OK);
    std::int64_t used = 0;
    EXPECT_EQ(x.get(TKXFAC_VAL_PA_SEED, &used, 8), TKXFAC_OK);
    if (seed >= 1) {
      EXPECT_EQ(used, seed);
    }
    return std::make_pair(c, used);
  };
  EXPECT_EQ(critical(1, 17).first, critical(2, 17).first);
  // Without a seed the instance draws one, reports it, and that seed
  // repeats the simulation.
  auto [values, drawn] = critical(2, 0);
  EXPECT_GE(drawn, 1);
  EXPECT_LT(drawn, 2147483647);
  EXPECT_EQ(critical(1, drawn).first, values);

  Instance x(p, 1, 5, 400);
  std::vector<double> out(p);
  EXPECT_EQ(x.get(TKXFAC_VAL_EVALPA, out.data(), p * 8), TKXFAC_ERR_NOT_SET);  // no nobs
  EXPECT_EQ(x.get(TKXFAC_VAL_FMAP2, out.data(), p * 8), TKXFAC_ERR_NOT_SET);   // no matrix
  ASSERT_EQ(x.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  EXPECT_EQ(x.get(TKXFAC_VAL_NFACTPA, out.data(), 4), TKXFAC_ERR_NOT_SET);  // no matrix
  ASSERT_EQ(x.set(TKXFAC_VAL_CORR, packed.data(), packed.size() * 8), TKXFAC_OK);
  EXPECT_EQ(x.get(TKXFAC_VAL_FMAP4, out.data(), (p - 1) * 8), TKXFAC_ERR_SIZE);

  // A new matrix of the group gives new MAP values; so does a reset and a
  // new matrix.
  std::vector<double> before(p), after(p);
  ASSERT_EQ(x.get(TKXFAC_VAL_FMAP2, before.data(), p * 8), TKXFAC_OK);
  std::vector<double> identity{1, 0, 1, 0, 0, 1, 0, 0, 0, 1};
  ASSERT_EQ(x.f->ResetInstance(x.inst), TKXFAC_OK);
  ASSERT_EQ(x.set(TKXFAC_VAL_CORR, identity.data(), identity.size() * 8), TKXFAC_OK);
  ASSERT_EQ(x.get(TKXFAC_VAL_FMAP2, after.data(), p * 8), TKXFAC_OK);
  EXPECT_NE(before, after);
  EXPECT_EQ(after[0], 0);

  // An alpha without a critical rank cannot be simulated.
  Instance y(p, 1, 5, 200, 0.999);
  ASSERT_EQ(y.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  EXPECT_EQ(y.get(TKXFAC_VAL_EVALPA, out.data(), p * 8), TKXFAC_ERR_ARGUMENT);
}

}  // namespace
}  // namespace kav
