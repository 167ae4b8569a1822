// The linear algebra of src/numeric checked by what it must produce: A
// times an inverse is I, a solution solves, a factor multiplies back,
// rejected pivots leave what the routine promises; the eigensolver against
// Jacobi's method (tests/support) and small closed forms, with descending
// values, small residuals, orthonormal vectors and the sign rule; the
// variance divisors.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "numeric/dense.h"
#include "numeric/eigen.h"
#include "numeric/inner.h"
#include "numeric/matrix.h"
#include "numeric/vector_kernels.h"
#include "support/dense.h"
#include "support/reference_eigen.h"

namespace kav {
namespace {

using V = std::vector<double>;
using Matrix = reference::Rows;

V pack(const Matrix& m) {
  V p;
  for (std::size_t i = 0; i < m.size(); ++i) p.insert(p.end(), m[i].begin(), m[i].begin() + i + 1);
  return p;
}

Matrix random_symmetric(int n, std::mt19937_64& rng, double diagonal_boost = 0) {
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix m(n, V(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) m[i][j] = m[j][i] = u(rng) + (i == j ? diagonal_boost : 0.0);
  return m;
}

struct Eig {
  int code = 0;
  V values, vectors;  // vector k at [k n, (k + 1) n)
};

Eig run(const Matrix& a, int nvec, EigenTuning tuning = {}) {
  const int n = static_cast<int>(a.size());
  Eig r{0, V(n), V(static_cast<std::size_t>(n) * std::max(nvec, 1))};
  V p = pack(a), work(8 * static_cast<std::size_t>(n));
  r.code = zeigen2(n, p.data(), r.values.data(), nvec, r.vectors.data(), work.data(), tuning);
  return r;
}

// diag(lambda) under three random Householder reflections.
Matrix with_spectrum(const V& lambda, std::mt19937_64& rng) {
  const std::size_t n = lambda.size();
  Matrix a(n, V(n));
  for (std::size_t i = 0; i < n; ++i) a[i][i] = lambda[i];
  std::normal_distribution<double> z;
  for (int r = 0; r < 3; ++r) {
    V u(n), au(n, 0.0);
    double uu = 0, uau = 0;
    for (double& x : u) x = z(rng), uu += x * x;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) au[i] += a[i][j] * u[j];
    for (std::size_t i = 0; i < n; ++i) uau += u[i] * au[i];
    const double c = 2 / uu;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j <= i; ++j)
        a[j][i] = a[i][j] += c * c * uau * u[i] * u[j] - c * (u[i] * au[j] + au[i] * u[j]);
  }
  return a;
}

// Random; graded (D R D, D over ten orders of magnitude); clustered (groups
// that differ in the tenth digit); repeated exactly, up to five times.
const char* const kKinds[] = {"random", "graded", "clustered", "repeated"};
Matrix matrix_of_kind(int kind, int n, std::mt19937_64& rng) {
  V lambda(n);
  for (int i = 0; i < n; ++i)
    lambda[i] =
        kind == 2 ? (i % 4) + 1e-10 * (i / 4) + (i % 4 == 3 ? -5.0 : 0.0) : (i / 5) % 7 - 2.0;
  if (kind >= 2) return with_spectrum(lambda, rng);
  Matrix a = random_symmetric(n, rng);
  for (int i = 0; i < n && kind == 1; ++i)
    for (int j = 0; j < n; ++j) a[i][j] *= std::pow(10.0, -5.0 * (i + j) / std::max(n - 1, 1));
  return a;
}

// The sign rule from its definition: a positive component sum, or for a
// zero sum a positive first dominant component.
bool sign_rule_holds(const double* v, int n) {
  const double tiny = 1.053671212772351e-8;
  double s = 0, big = 0;
  for (int i = 0; i < n; ++i) s += v[i], big = std::max(big, std::fabs(v[i]));
  if (std::fabs(s) >= tiny) return s > 0;
  for (int i = 0; i < n; ++i)
    if (std::fabs(v[i]) >= big - tiny) return v[i] > 0;
  return false;
}

// Checks a decomposition of a whose eigenvalues, largest first, are ref.
void expect_good(const Matrix& a, const V& ref, const Eig& r, int nvec, const std::string& what) {
  SCOPED_TRACE(what);
  const int n = static_cast<int>(a.size());
  double norm = 0, worst_value = 0, worst_residual = 0, worst_orth = 0;
  for (double x : ref) norm = std::max(norm, std::fabs(x));
  if (norm == 0) norm = 1;
  for (int i = 0; i < n; ++i) worst_value = std::max(worst_value, std::fabs(r.values[i] - ref[i]));
  EXPECT_LE(worst_value / norm, 1e-12);
  for (int i = 1; i < n; ++i) EXPECT_GE(r.values[i - 1], r.values[i]);
  for (int k = 0; k < nvec; ++k) {
    const double* v = r.vectors.data() + static_cast<std::size_t>(k) * n;
    double res = 0;
    for (int i = 0; i < n; ++i) {
      double s = -r.values[k] * v[i];
      for (int j = 0; j < n; ++j) s += a[i][j] * v[j];
      res += s * s;
    }
    worst_residual = std::max(worst_residual, std::sqrt(res) / norm);
    for (int l = 0; l <= k; ++l) {
      double dot = 0;
      for (int i = 0; i < n; ++i) dot += r.vectors[static_cast<std::size_t>(l) * n + i] * v[i];
      worst_orth = std::max(worst_orth, std::fabs(dot - (l == k)));
    }
    EXPECT_TRUE(sign_rule_holds(v, n)) << "vector " << k;
  }
  EXPECT_LE(worst_residual, 1e-12 * n);
  EXPECT_LE(worst_orth, 1e-12 * n);
}

TEST(Eigen, BothRoutesAgreeWithJacobiOnAllMatrixKinds) {
  // QL iteration; and bisection with inverse iteration, which take over
  // when QL gives up (here at once): code -1 for the values, -11 when the
  // vectors of a cluster are not independent.
  std::mt19937_64 rng(20240501);
  const EigenTuning no_ql{0};
  for (int n : {1, 2, 3, 4, 7, 16, 37, 100})
    for (int k = 0; k < 4; ++k) {
      const Matrix a = matrix_of_kind(k, n, rng);
      const V ref = reference::jacobi(a).values;
      const std::string what = std::string(kKinds[k]) + " n=" + std::to_string(n);
      const Eig ql = run(a, n), bisection = run(a, k % 2 ? n : 0, no_ql);
      EXPECT_GE(ql.code, -10) << what;
      EXPECT_NE(ql.code, 97) << what;
      EXPECT_TRUE(bisection.code == -1 || bisection.code == -11 || n == 1) << what;
      expect_good(a, ref, ql, n, what);
      expect_good(a, ref, bisection, k % 2 ? n : 0, what + " by bisection");
    }
  // A matrix that is already diagonal needs no QL iteration at all.
  EXPECT_EQ(run({{1, 0, 0}, {0, 3, 0}, {0, 0, 2}}, 0, no_ql).code, 0);
}

TEST(Eigen, SmallCasesAndSignRule) {
  Eig r = run({{-4.5}}, 1);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.values, V{-4.5});
  EXPECT_EQ(r.vectors, V{1.0});
  // Diagonal: the sorted diagonal and unit vectors with entry +1.
  r = run({{1, 0, 0, 0}, {0, -3, 0, 0}, {0, 0, 7, 0}, {0, 0, 0, 2}}, 4);
  EXPECT_EQ(r.values, (V{7, 2, 1, -3}));
  EXPECT_EQ(r.vectors, (V{0, 0, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0}));
  // Component sum zero: the first dominant component is made positive.
  r = run({{1, -1}, {-1, 1}}, 2);
  const double h = std::sqrt(0.5);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(r.vectors[i], (V{h, -h, h, h})[i], 1e-15);
  EXPECT_NEAR(r.values[0], 2, 1e-15);
  EXPECT_NEAR(r.values[1], 0, 1e-15);
}

// The reduction to tridiagonal form takes four rows of the product A u at
// once; it must give the bits of the scheme taken one row at a time
// (written out here), for every remainder of the four and with rows that
// are partly or wholly zero.
TEST(Eigen, ReductionHasTheBitsOfTheRowByRowScheme) {
  auto plain = [](int n, double* a, double* d, double* e, double* e2) {
    for (int i = n - 1; i >= 0; --i) {
      const int l = i;
      double* row = a + i * (i + 1) / 2;
      double h = 0, scale = 0;
      for (int k = 0; k < l; ++k) scale += std::fabs(d[k] = row[k]);
      if (l < 1 || scale == 0.0) {
        e[i] = e2[i] = 0.0;
      } else {
        for (int k = 0; k < l; ++k) {
          d[k] /= scale;
          h += d[k] * d[k];
        }
        e2[i] = scale * scale * h;
        double f = d[l - 1];
        const double g = -std::copysign(std::sqrt(h), f);
        e[i] = scale * g;
        h -= f * g;
        d[l - 1] = f - g;
        row[l - 1] = scale * d[l - 1];
        if (l > 1) {
          for (int j = 0, at = 0; j < l; at += ++j) {
            double s[2] = {0, 0};
            for (int k = 0; k < j; ++k) {
              s[k < j - j % 2 ? k % 2 : 0] += a[at + k] * d[k];
              e[k] += a[at + k] * d[j];
            }
            e[j] = (s[0] + s[1]) + a[at + j] * d[j];
          }
          f = 0;
          for (int j = 0; j < l; ++j) f += (e[j] /= h) * d[j];
          const double hh = f / (h + h);
          for (int j = 0; j < l; ++j) e[j] -= hh * d[j];
          for (int j = 0, at = 0; j < l; at += ++j)
            for (int k = 0; k <= j; ++k) a[at + k] -= d[j] * e[k] + e[j] * d[k];
        }
      }
      d[i] = row[i];
      row[i] = scale * std::sqrt(h);
    }
  };
  std::mt19937_64 rng(47);
  std::normal_distribution<double> z(0, 1);
  for (int n = 1; n <= 23; ++n)
    for (int kind = 0; kind < 3; ++kind) {
      V a(static_cast<std::size_t>(n * (n + 1) / 2));
      for (double& v : a) v = z(rng);
      if (kind == 1)  // the last row zero left of the diagonal
        for (int k = 0; k < n - 1; ++k) a[static_cast<std::size_t>((n - 1) * n / 2 + k)] = 0;
      if (kind == 2)  // half of every row zero
        for (int i = 0; i < n; ++i)
          for (int k = 0; k < i / 2; ++k) a[static_cast<std::size_t>(i * (i + 1) / 2 + k)] = 0;
      V a1 = a, a2 = a, d1(n), d2(n), e1(n), e2(n), q1(n), q2(n);
      ztred3(n, a1.data(), d1.data(), e1.data(), q1.data());
      plain(n, a2.data(), d2.data(), e2.data(), q2.data());
      for (std::size_t k = 0; k < a.size(); ++k)
        ASSERT_EQ(std::bit_cast<std::uint64_t>(a1[k]), std::bit_cast<std::uint64_t>(a2[k]))
            << n << " kind " << kind << " at " << k;
      EXPECT_EQ(d1, d2) << n;
      EXPECT_EQ(e1, e2) << n;
      EXPECT_EQ(q1, q2) << n;
    }
}

TEST(Eigen, TwoStepUseMatchesOneStep) {
  std::mt19937_64 rng(11);
  const int n = 50, nvec = 7;
  const Matrix a = matrix_of_kind(2, n, rng);
  const Eig one = run(a, nvec);
  V p = pack(a), work(8 * n), values(n), vectors(n * nvec);
  ASSERT_EQ(zeigen2(n, p.data(), values.data(), 0, nullptr, work.data()), 0);
  std::fill(work.begin() + 4 * n, work.end(), std::nan(""));  // only 4n carry over
  EXPECT_EQ(zeigvec(n, nvec, p.data(), values.data(), vectors.data(), work.data()), one.code);
  for (int i = 0; i < n * nvec; ++i) EXPECT_NEAR(vectors[i], one.vectors[i], 1e-13);
  EXPECT_EQ(zeigvec(n, 0, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Eigen, BadArgumentsAndMissingValues) {
  V p(6, 1.0), values(3), vectors(9), work(24);
  double *a = p.data(), *w = values.data(), *z = vectors.data(), *s = work.data();
  EXPECT_EQ(zeigen2(0, a, w, 0, nullptr, s), 99);
  EXPECT_EQ(zeigen2(3, a, w, 4, z, s), 99);
  EXPECT_EQ(zeigen2(3, a, w, -1, z, s), 99);
  EXPECT_EQ(zeigen2(3, a, w, 1, nullptr, s), 99);
  EXPECT_EQ(zeigen2(3, nullptr, w, 0, nullptr, s), 99);
  EXPECT_EQ(zeigen2(3, a, nullptr, 0, nullptr, s), 99);
  EXPECT_EQ(zeigen2(3, a, w, 0, nullptr, nullptr), 99);
  EXPECT_EQ(zeigvec(3, 4, a, w, z, s), 99);
  EXPECT_EQ(zeigvec(0, 1, a, w, z, s), 99);
  EXPECT_EQ(zeigvec(3, 2, a, w, nullptr, s), 99);
  ASSERT_EQ(zeigen2(3, a, w, 0, nullptr, s), 0);
  values[1] = std::bit_cast<double>(std::uint64_t{0xfffffe0000000000});  // missing
  EXPECT_EQ(zeigvec(3, 2, a, w, z, s), 98);
  EXPECT_EQ(zeigvec(3, 1, a, w, z, s), 0);  // beyond the wanted vectors it does not matter
}

TEST(Covcor, CorrelationsZeroDiagonalAndTinyValues) {
  // Crossproducts of three variables, the second one constant.
  V p = pack({{4, 0, 2}, {0, 0, 0}, {2, 0, 9}}), d(3);
  zcovcor(3, p.data(), d.data());
  EXPECT_EQ(d, (V{2, 0, 3}));
  EXPECT_EQ(p, (V{1, 0, 0, 2.0 / 6.0, 0, 1}));
  for (double r : {1e-14, 2e-13}) {  // rounding noise becomes an exact 0
    V q = {1, r, 1};
    zcovcor(2, q.data(), d.data());
    EXPECT_EQ(q[1], r < 1e-13 ? 0.0 : r);
  }
}

TEST(Inverse, RejectedAndZeroPivots) {
  // znndsol: a rejected pivot zeroes its row, column and right-hand side;
  // with variable 2 the sum of 0 and 1 the rest is the inverse of the
  // leading 2x2 block.
  V p = {1, 1, 1}, w(3), b = {3, 5};
  EXPECT_EQ(znndsol(1e-7, 2, p.data(), w.data(), 1, b.data()), 1);
  EXPECT_EQ(p, (V{1, 0, 0}));
  EXPECT_EQ(b, (V{3, 0}));
  p = pack({{2, 1, 3}, {1, 2, 3}, {3, 3, 6}});
  EXPECT_EQ(znndsol(1e-8, 3, p.data(), w.data(), 0, nullptr), 1);
  const V want = {2.0 / 3, -1.0 / 3, 2.0 / 3, 0, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(p[i], want[i], 1e-15);
  // UDU': zero, and of rank 2 (u u' - v v'), are singular.
  const double u[] = {1, 2, 0, 1}, v[] = {0, 1, 1, -1};
  Matrix rank2(4, V(4));
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) rank2[i][j] = u[i] * u[j] - v[i] * v[j];
  for (const Matrix& a : {Matrix(3, V(3, 0.0)), rank2}) {
    p = pack(a);
    std::vector<int> kpvt(a.size());
    EXPECT_GT(zududec(static_cast<int>(a.size()), p.data(), kpvt.data(), 1e-10), 0);
  }
}

TEST(Dense, ProductsAndInverseByClosedForm) {
  // a = [1 2; 3 4] column by column: a a = [7 10; 15 22], a'a = [10 14; 14 20],
  // inverse [-2 1; 1.5 -0.5].  [1 2; 2 4 + d] has the last pivot -d/2 after
  // partial pivoting: singular when d/2 is not above tol (4 + d).
  DenseMatrix a(2, 2), out(2, 2), inv(2, 2);
  a.values() = {1, 3, 2, 4};
  dense_multiply(a, a, out);
  EXPECT_EQ(out.values(), (V{7, 15, 10, 22}));
  dense_multiply(a, a, out, true);
  EXPECT_EQ(out.values(), (V{14, 30, 20, 44}));
  dense_transpose_multiply(a, a, out);
  EXPECT_EQ(out.values(), (V{10, 14, 14, 20}));
  ASSERT_EQ(dense_invert(a, inv, 1e-13), DenseStatus::kOk);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(inv.values()[k], (V{-2, 1.5, 1, -0.5})[k], 1e-15);
  a.values() = {1, 2, 2, 4 + 1e-9};
  EXPECT_EQ(dense_invert(a, inv, 2e-10), DenseStatus::kSingular);
  EXPECT_EQ(dense_invert(a, inv, 1e-10), DenseStatus::kOk);
}

TEST(VectorKernels, VarianceDivisor) {
  const struct {
    std::string vardef;
    double n, wsum, divisor;
  } cases[] = {// clang-format off
      {"N       ", 10, 7.5, 10}, {std::string("N\0\0\0\0\0\0\0", 8), 10, 7.5, 10},
      {"DF      ", 10, 7.5, 9}, {"DF      ", 0.5, 7.5, 0}, {"WDF     ", 10, 7.5, 6.5},
      {"WEIGHT  ", 10, 7.5, 7.5}, {"WGT     ", 10, -3, 0}, {"N       ", -2, 7.5, 0},
      // A weight sum that exceeds df only by rounding noise leaves nothing.
      {"WDF     ", 10, 1.0 + 1e-13, 0}};
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(zvardiv(c.vardef, c.n, 1, c.wsum), c.divisor) << c.vardef;
  EXPECT_GT(zvardiv("WDF     ", 10, 1, 1.01), 0);
  std::string said;
  EXPECT_EQ(zvardiv("XYZ     ", 10, 1, 7.5, [&](const char* t) { said = t; }), 9);
  EXPECT_EQ(said, "ERROR: invalid VARDEF=XYZ     .");
}

// The blocked crossproduct kernels promise the very bits of one four-lane
// dot product per element (inner::dot and inner::sum, written out here in
// plain loops), whatever the processor's vector unit, the number of columns
// (every remainder of the blocks) and a buffer that is not a multiple of
// four rows; each is added to the running value; every version the
// processor can run.  zvscpwm weights the columns first (its sums and
// squares, in two lanes, are left out).
TEST(VectorKernels, CrossproductsHaveTheBitsOfFourLaneDotProducts) {
  auto four_lane = [](const double* x, const double* y, long n) {
    double s[4] = {0, 0, 0, 0};
    long i = 0;
    for (; i + 4 <= n; i += 4)
      for (int l = 0; l < 4; ++l) s[l] += x[i + l] * (y ? y[i + l] : 1.0);
    for (; i < n; ++i) s[0] += x[i] * (y ? y[i] : 1.0);
    return (s[0] + s[2]) + (s[1] + s[3]);
  };
  std::mt19937_64 rng(41);
  std::normal_distribution<double> z(0, 1);
  // The weighted kernel (one version chosen by the processor) rides along
  // with the first unweighted one.
  const std::vector<CrossproductsVersion> versions = zvscpm_versions();
  for (std::size_t version = 0; version < versions.size(); ++version) {
    for (const long n : {64L, 61L, 3L}) {
      for (int p = 1; p <= 41; ++p) {
        const long stride = n + 3;
        V data(static_cast<std::size_t>(p * stride)), w(static_cast<std::size_t>(n));
        for (double& v : data) v = z(rng);
        for (double& v : w) v = std::fabs(z(rng));
        for (const bool weighted : {false, true}) {
          if (weighted && version > 0) continue;
          V sums(p, 0.5), sscp(static_cast<std::size_t>(p * (p + 1) / 2), -0.25), x = data;
          if (weighted)
            zvscpwm(x.data(), p, n, stride, w.data(), sums.data(), sscp.data());
          else
            versions[version].run(x.data(), p, n, stride, sums.data(), sscp.data());
          V wx = data;  // column j weighted, for the products with later columns
          for (int j = 0; j < p; ++j)
            for (long i = 0; i < n; ++i) wx[j * stride + i] *= weighted ? w[i] : 1.0;
          for (int j = 0; j < p; ++j) {
            if (!weighted) {
              ASSERT_EQ(sums[j], 0.5 + four_lane(&wx[j * stride], nullptr, n)) << p << " " << j;
            }
            for (int k = j + weighted; k < p; ++k)
              ASSERT_EQ(sscp[packed_index(k, j)],
                        -0.25 + four_lane(&wx[j * stride], &data[k * stride], n))
                  << versions[version].unit << " n " << n << " p " << p << " (" << k << ", " << j
                  << ")" << (weighted ? " weighted" : "");
          }
        }
      }
    }
  }
}

// Four rows against one vector at once (the Cholesky factor of the
// likelihood fit takes four rows so) give each row's dot bits, for every
// remainder of the four-wide blocks.
TEST(VectorKernels, FourRowDotsHaveTheBitsOfOneRowAtATime) {
  std::mt19937_64 rng(43);
  std::normal_distribution<double> z(0, 1);
  for (long n = 0; n <= 13; ++n) {
    V rows(static_cast<std::size_t>(4 * n + 4)), y(static_cast<std::size_t>(n + 1));
    for (double& v : rows) v = z(rng);
    for (double& v : y) v = z(rng);
    const double* x[4] = {&rows[0], &rows[n + 1], &rows[2 * n + 2], &rows[3 * n + 3]};
    double out[4];
    inner::dot4(x, y.data(), n, out);
    for (int q = 0; q < 4; ++q)
      EXPECT_EQ(out[q], inner::dot(x[q], y.data(), n)) << n << " row " << q;
  }
}

}  // namespace
}  // namespace kav
