// The packed symmetric and dense matrix routines checked by what they must
// produce: A times an inverse is I, a solution solves, a factor multiplies
// back, and rejected pivots leave what the routine promises.
#include "numeric/matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace kav {
namespace {

using V = std::vector<double>;
using Matrix = std::vector<V>;

V pack(const Matrix& m) {
  V p;
  for (std::size_t i = 0; i < m.size(); ++i) p.insert(p.end(), m[i].begin(), m[i].begin() + i + 1);
  return p;
}

Matrix unpack(const V& p, int n) {
  Matrix m(n, V(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) m[i][j] = m[j][i] = p[packed_index(i, j)];
  return m;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix c(a.size(), V(b[0].size(), 0.0));
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t l = 0; l < b.size(); ++l)
      for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][l] * b[l][j];
  return c;
}

// Largest |entry of a b - I| relative to the sizes of a and b.
double distance_from_identity(const Matrix& a, const Matrix& b) {
  const Matrix c = multiply(a, b);
  double worst = 0, na = 0, nb = 0;
  for (std::size_t i = 0; i < c.size(); ++i)
    for (std::size_t j = 0; j < c.size(); ++j) {
      worst = std::max(worst, std::fabs(c[i][j] - (i == j)));
      na = std::max(na, std::fabs(a[i][j]));
      nb = std::max(nb, std::fabs(b[i][j]));
    }
  return worst / std::max(1.0, na * nb * c.size());
}

Matrix random_symmetric(int n, std::mt19937_64& rng, double diagonal_boost = 0) {
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix m(n, V(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) m[i][j] = m[j][i] = u(rng) + (i == j ? diagonal_boost : 0.0);
  return m;
}

Matrix random_spd(int n, std::mt19937_64& rng) {
  const Matrix x = random_symmetric(n, rng);
  Matrix a = multiply(x, x);
  for (int i = 0; i < n; ++i) a[i][i] += 0.1;
  return a;
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

// Every inverter on matrices it must invert: positive definite ones, and
// for those that allow it indefinite ones (zero diagonals force 2x2 pivot
// blocks in UDU'; a bordered system with a zero block is like an
// information matrix with identification constraints).
TEST(Inverse, EveryInverterInvertsWhatItAccepts) {
  std::mt19937_64 rng(3);
  // Positive definite (0), indefinite with non-zero leading pivots (1),
  // with zero pivots that need 2x2 blocks (2).
  std::vector<std::pair<Matrix, int>> cases;
  for (int n : {1, 4, 13, 40}) {
    cases.push_back({random_spd(n, rng), 0});
    cases.push_back({random_symmetric(n, rng), 2});
    for (int i = 0; i < n; i += 2) cases.back().first[i][i] = 0;
  }
  cases[1].first[0][0] = -3;
  cases.push_back({{{2, 1, 0, 1}, {1, 3, 1, 0}, {0, 1, 4, 1}, {1, 0, 1, 0}}, 2});
  cases.push_back({random_symmetric(9, rng, 3.0), 1});
  for (const auto& [a, kind] : cases) {
    const int n = static_cast<int>(a.size());
    SCOPED_TRACE(n);
    V p = pack(a), w(n);
    std::vector<int> kpvt(n);
    ASSERT_EQ(zududec(n, p.data(), kpvt.data(), 1e-12), 0);
    zuduinv(p.data(), n, kpvt.data(), w.data());
    EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-10);
    if (kind == 2) continue;
    p = pack(a);
    ASSERT_EQ(zinvlo(1e-12, p.data(), n, w.data()), 0);
    EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-12);
    if (kind == 1) continue;
    p = pack(a);
    std::string flags(n, '0');
    for (int k = 0; k < n; ++k) zsweep(1e-10, p.data(), k, n, flags.data(), w.data());
    EXPECT_EQ(flags, std::string(n, '1'));
    EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-12);
    // znndsol also solves for two right-hand sides at once.
    p = pack(a);
    V b(2 * n);
    for (int i = 0; i < n; ++i) b[i] = i + 1, b[n + i] = std::sin(i);
    const V rhs = b;
    EXPECT_EQ(znndsol(1e-10, n, p.data(), w.data(), 2, b.data()), 0);
    EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-12);
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < n; ++i) {
        double s = 0;
        for (int j = 0; j < n; ++j) s += a[i][j] * b[c * n + j];
        EXPECT_NEAR(s, rhs[c * n + i], 1e-10);
      }
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
  // zinvlo stops at a zero pivot, first or later; a negative one is fine.
  V z = {0, 1, 0}, s = {-2, 4, -8}, neg = {-4};
  EXPECT_EQ(zinvlo(1e-12, z.data(), 2, w.data()), 1);
  EXPECT_EQ(z, (V{0, 1, 0}));
  EXPECT_EQ(zinvlo(1e-12, s.data(), 2, w.data()), 1);
  EXPECT_EQ(zinvlo(1e-12, neg.data(), 1, w.data()), 0);
  EXPECT_EQ(neg[0], -0.25);
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

TEST(Chol, FactorSemidefiniteAndSubstitution) {
  // Variable 1 equals variable 0: its column becomes zero and variable 2 is
  // factored as if variable 1 were absent.
  V q = pack({{4, 4, 2}, {4, 4, 2}, {2, 2, 5}}), y = {2, 7, 5};
  for (int i = 0; i < 3; ++i) zchol(1e-10, i, q.data());
  EXPECT_EQ(q, (V{2, 2, 0, 1, 0, 2}));
  zchol2(3, q.data(), y.data());
  EXPECT_EQ(y, (V{1, 0, 2}));
}

TEST(Sweep, PartialSweepsAndTheirUndoing) {
  std::mt19937_64 rng(8);
  const int n = 6, s[] = {0, 2, 4};
  const Matrix a = random_spd(n, rng);
  const V original = pack(a);
  V p = original, work(n);
  std::string flags(n, '0');
  for (int k : {2, 0, 4}) zsweep(1e-10, p.data(), k, n, flags.data(), work.data());
  EXPECT_EQ(flags, "101010");
  // The swept block holds the inverse of its part of the matrix; the
  // unswept one the residual crossproducts (Schur complement).
  Matrix ass(3, V(3));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) ass[i][j] = a[s[i]][s[j]];
  V ps = pack(ass), w(3);
  ASSERT_EQ(znndsol(0, 3, ps.data(), w.data(), 0, nullptr), 0);
  const Matrix inv = unpack(ps, 3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j <= i; ++j) EXPECT_NEAR(p[packed_index(s[i], s[j])], inv[i][j], 1e-12);
  for (int r : {1, 3, 5})
    for (int c = 1; c <= r; c += 2) {
      double schur = a[r][c];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) schur -= a[r][s[i]] * inv[i][j] * a[s[j]][c];
      EXPECT_NEAR(p[packed_index(r, c)], schur, 1e-12);
    }
  // Regression coefficients on 0, 2, 4: positive below an unswept row,
  // negative right of one.
  double coef5_on_4 = 0, coef1_on_2 = 0;
  for (int j = 0; j < 3; ++j) {
    coef5_on_4 += a[5][s[j]] * inv[j][2];
    coef1_on_2 += a[1][s[j]] * inv[j][1];
  }
  EXPECT_NEAR(p[packed_index(5, 4)], coef5_on_4, 1e-12);
  EXPECT_NEAR(p[packed_index(2, 1)], -coef1_on_2, 1e-12);
  // Sweeping again restores the matrix.
  for (int k : {0, 4, 2}) zsweep(1e-10, p.data(), k, n, flags.data(), work.data());
  EXPECT_EQ(flags, "000000");
  for (std::size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(p[i], original[i], 1e-12);
  // A pivot below the tolerance is declined and nothing changes.
  V q = {1, 1, 1};
  std::string f = "00";
  zsweep(1e-8, q.data(), 0, 2, f.data(), work.data());
  const V before = q;
  zsweep(1e-8, q.data(), 1, 2, f.data(), work.data());
  EXPECT_EQ(f, "10");
  EXPECT_EQ(q, before);
  EXPECT_EQ(q[2], 0.0);
}

TEST(Qr, SolveLeastSquaresAndRank) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(-1, 1);
  const int m = 7, n = 4;
  V a(m * n), x_true = {1, -2, 0.5, 3}, b(m, 0.0), c(m);
  for (double& v : a) v = u(rng);
  for (int i = 0; i < m; ++i) {
    c[i] = std::cos(i);
    for (int j = 0; j < n; ++j) b[i] += a[j * m + i] * x_true[j];
  }
  V f = a, qraux(n), work(2 * n);
  std::vector<int> jpvt(n);
  ASSERT_EQ(zqrdec(m, n, f.data(), 1e-10, qraux.data(), jpvt.data(), work.data()), 0);
  zqrsol(m, n, f.data(), qraux.data(), jpvt.data(), n, b.data(), work.data());
  for (int j = 0; j < n; ++j) EXPECT_NEAR(b[j], x_true[j], 1e-13);
  // Least squares: the residual is orthogonal to the columns.
  zqrsol(m, n, f.data(), qraux.data(), jpvt.data(), n, c.data(), work.data());
  for (int j = 0; j < n; ++j) {
    double g = 0;
    for (int i = 0; i < m; ++i) {
      double fit = 0;
      for (int l = 0; l < n; ++l) fit += a[l * m + i] * c[l];
      g += a[j * m + i] * (std::cos(i) - fit);
    }
    EXPECT_NEAR(g, 0, 1e-13);
  }
  // Column 3 = column 0 + column 1: one deficient column.
  for (int i = 0; i < m; ++i) a[3 * m + i] = a[i] + a[m + i];
  EXPECT_EQ(zqrdec(m, n, a.data(), 1e-10, qraux.data(), jpvt.data(), work.data()), 1);
}

TEST(Recsol, SolveDeterminantAndSingular) {
  const int n = 3;
  const V a = {2, 1, 1, 4, -6, 0, -2, 7, 2}, b = {5, -2, 9};  // row-major, det = -16
  std::vector<int> ipvt(n);
  V lu = a, x = b, zero(9, 0.0), twice = {1, 2, 3, 2, 4, 6, 1, 0, 1};
  ASSERT_EQ(zrecsol(0, n, lu.data(), ipvt.data(), nullptr), 0);
  zrecsol(1, n, lu.data(), ipvt.data(), x.data());
  for (int i = 0; i < n; ++i)
    EXPECT_NEAR(a[3 * i] * x[0] + a[3 * i + 1] * x[1] + a[3 * i + 2] * x[2], b[i], 1e-13);
  double det = 0;
  zrecsol(2, n, lu.data(), ipvt.data(), &det);
  EXPECT_NEAR(det, -16, 1e-13);
  EXPECT_EQ(zrecsol(0, n, zero.data(), ipvt.data(), nullptr), 1);
  EXPECT_EQ(zrecsol(0, n, twice.data(), ipvt.data(), nullptr), 1);
}

TEST(Qform, MatchesDenseProduct) {
  std::mt19937_64 rng(10);
  const int n = 5, m = 3;
  const Matrix a = random_symmetric(n, rng);
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix b(m, V(n)), bt(n, V(m));
  V flat;
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) flat.push_back(b[i][j] = bt[j][i] = u(rng));
  const Matrix want = multiply(multiply(b, a), bt);
  V p = pack(a), g(m * (m + 1) / 2), work(n);
  zqform(p.data(), n, flat.data(), m, g.data(), work.data());
  for (int i = 0; i < m; ++i)
    for (int j = 0; j <= i; ++j) EXPECT_NEAR(g[packed_index(i, j)], want[i][j], 1e-14);
}

}  // namespace
}  // namespace kav
