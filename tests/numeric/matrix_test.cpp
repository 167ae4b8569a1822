#include "numeric/matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace kav {
namespace {

using Matrix = std::vector<std::vector<double>>;

std::vector<double> pack(const Matrix& m) {
  std::vector<double> p;
  for (size_t i = 0; i < m.size(); ++i)
    for (size_t j = 0; j <= i; ++j) p.push_back(m[i][j]);
  return p;
}

Matrix unpack(const std::vector<double>& p, int n) {
  Matrix m(n, std::vector<double>(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) m[i][j] = m[j][i] = p[packed_index(i, j)];
  return m;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
  const size_t n = a.size(), k = b.size(), m = b[0].size();
  Matrix c(n, std::vector<double>(m, 0.0));
  for (size_t i = 0; i < n; ++i)
    for (size_t l = 0; l < k; ++l)
      for (size_t j = 0; j < m; ++j) c[i][j] += a[i][l] * b[l][j];
  return c;
}

// Largest |entry of a*b - I| relative to the sizes of a and b.
double distance_from_identity(const Matrix& a, const Matrix& b) {
  const Matrix c = multiply(a, b);
  double worst = 0, na = 0, nb = 0;
  for (size_t i = 0; i < c.size(); ++i)
    for (size_t j = 0; j < c.size(); ++j) {
      worst = std::max(worst, std::fabs(c[i][j] - (i == j ? 1.0 : 0.0)));
      na = std::max(na, std::fabs(a[i][j]));
      nb = std::max(nb, std::fabs(b[i][j]));
    }
  return worst / std::max(1.0, na * nb * c.size());
}

Matrix random_symmetric(int n, std::mt19937_64& rng, double diagonal_boost = 0) {
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix m(n, std::vector<double>(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) m[i][j] = m[j][i] = u(rng) + (i == j ? diagonal_boost : 0.0);
  return m;
}

Matrix random_spd(int n, std::mt19937_64& rng) {
  Matrix x = random_symmetric(n, rng);
  Matrix a = multiply(x, x);
  for (int i = 0; i < n; ++i) a[i][i] += 0.1;
  return a;
}

TEST(Covcor, CorrelationsZeroDiagonalAndTinyValues) {
  // Crossproducts of three variables, the second one constant (0 diagonal).
  const Matrix c = {{4, 0, 2}, {0, 0, 0}, {2, 0, 9}};
  std::vector<double> p = pack(c), d(3);
  zcovcor(3, p.data(), d.data());
  EXPECT_EQ(d, (std::vector<double>{2, 0, 3}));
  const Matrix r = unpack(p, 3);
  EXPECT_EQ(r[0][0], 1);
  EXPECT_EQ(r[1][1], 0);
  EXPECT_EQ(r[2][2], 1);
  EXPECT_EQ(r[1][0], 0);
  EXPECT_EQ(r[2][1], 0);
  EXPECT_DOUBLE_EQ(r[2][0], 2.0 / 6.0);
  std::vector<double> q = {1, 1e-14, 1};
  zcovcor(2, q.data(), d.data());
  EXPECT_EQ(q[1], 0.0);
  q = {1, 2e-13, 1};
  zcovcor(2, q.data(), d.data());
  EXPECT_EQ(q[1], 2e-13);
}

TEST(Nndsol, InverseSolveAndRejectedPivots) {
  {
    std::vector<double> p = pack({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), w(3);
    EXPECT_EQ(znndsol(1e-7, 3, p.data(), w.data(), 0, nullptr), 0);
    EXPECT_EQ(p, pack({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
  }
  {
    std::vector<double> p = {1, 1, 1}, w(2), b = {3, 5};
    EXPECT_EQ(znndsol(1e-7, 2, p.data(), w.data(), 1, b.data()), 1);
    EXPECT_EQ(p, (std::vector<double>{1, 0, 0}));
    EXPECT_EQ(b, (std::vector<double>{3, 0}));
  }
  std::mt19937_64 rng(3);
  for (int n : {1, 4, 13}) {
    const Matrix a = random_spd(n, rng);
    std::vector<double> p = pack(a), w(n), b(2 * n);
    for (int i = 0; i < n; ++i) {
      b[i] = i + 1;
      b[n + i] = std::sin(i);
    }
    const std::vector<double> rhs = b;
    EXPECT_EQ(znndsol(1e-10, n, p.data(), w.data(), 2, b.data()), 0);
    EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-13);
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < n; ++i) {
        double s = 0;
        for (int j = 0; j < n; ++j) s += a[i][j] * b[c * n + j];
        EXPECT_NEAR(s, rhs[c * n + i], 1e-10);
      }
  }
  // Variable 2 is the sum of variables 0 and 1: its pivot is rejected and
  // the rest is the inverse of the leading 2x2 block.
  const Matrix dep = {{2, 1, 3}, {1, 2, 3}, {3, 3, 6}};
  std::vector<double> p = pack(dep), w(3);
  EXPECT_EQ(znndsol(1e-8, 3, p.data(), w.data(), 0, nullptr), 1);
  const Matrix inv = unpack(p, 3);
  EXPECT_NEAR(inv[0][0], 2.0 / 3, 1e-15);
  EXPECT_NEAR(inv[1][0], -1.0 / 3, 1e-15);
  EXPECT_NEAR(inv[1][1], 2.0 / 3, 1e-15);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(inv[2][j], 0.0);
}

TEST(Invlo, IndefiniteInverseAndStop) {
  std::mt19937_64 rng(4);
  const Matrix a = random_symmetric(9, rng, 3.0);  // indefinite but regular
  std::vector<double> p = pack(a), w(9);
  ASSERT_EQ(zinvlo(1e-12, p.data(), 9, w.data()), 0);
  EXPECT_LE(distance_from_identity(a, unpack(p, 9)), 1e-13);
  std::vector<double> z = {0, 1, 0};  // [[0,1],[1,0]]: first pivot 0 stops at once
  EXPECT_EQ(zinvlo(1e-12, z.data(), 2, w.data()), 1);
  EXPECT_EQ(z, (std::vector<double>{0, 1, 0}));
  std::vector<double> s = {-2, 4, -8};  // second pivot -8 + 8 = 0
  EXPECT_EQ(zinvlo(1e-12, s.data(), 2, w.data()), 1);
  std::vector<double> neg = {-4};
  EXPECT_EQ(zinvlo(1e-12, neg.data(), 1, w.data()), 0);
  EXPECT_EQ(neg[0], -0.25);
}

TEST(Chol, FactorSemidefiniteAndSubstitution) {
  std::mt19937_64 rng(5);
  const int n = 8;
  const Matrix a = random_spd(n, rng);
  std::vector<double> p = pack(a);
  for (int i = 0; i < n; ++i) zchol(1e-12, i, p.data());
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      double s = 0;
      for (int l = 0; l <= j; ++l) s += p[packed_index(i, l)] * p[packed_index(j, l)];
      EXPECT_NEAR(s, a[i][j], 1e-12);
    }
  std::vector<double> x(n), b(n);
  for (int i = 0; i < n; ++i) x[i] = b[i] = i - 3.5;
  zchol2(n, p.data(), x.data());
  for (int i = 0; i < n; ++i) {
    double s = 0;
    for (int l = 0; l <= i; ++l) s += p[packed_index(i, l)] * x[l];
    EXPECT_NEAR(s, b[i], 1e-12);
  }
  // Variable 1 equals variable 0 (semidefinite): its column becomes zero and
  // variable 2 is factored as if variable 1 were absent.
  std::vector<double> q = pack({{4, 4, 2}, {4, 4, 2}, {2, 2, 5}});
  for (int i = 0; i < 3; ++i) zchol(1e-10, i, q.data());
  EXPECT_EQ(q, (std::vector<double>{2, 2, 0, 1, 0, 2}));
  std::vector<double> y = {2, 7, 5};
  zchol2(3, q.data(), y.data());
  EXPECT_EQ(y, (std::vector<double>{1, 0, 2}));
}

TEST(Udu, InverseOfIndefiniteAndSingularDetection) {
  std::mt19937_64 rng(6);
  for (int n : {1, 2, 3, 6, 17, 40}) {
    Matrix a = random_symmetric(n, rng);
    // Zero diagonals force 2x2 pivot blocks.
    for (int i = 0; i < n; i += 2) a[i][i] = 0;
    if (n == 1) a[0][0] = -3;
    std::vector<double> p = pack(a), work(n);
    std::vector<int> kpvt(n);
    ASSERT_EQ(zududec(n, p.data(), kpvt.data(), 1e-12), 0) << n;
    zuduinv(p.data(), n, kpvt.data(), work.data());
    EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-10) << n;
  }
  {
    // A bordered system with a zero block, like an information matrix with
    // identification constraints.
    const Matrix a = {{2, 1, 0, 1}, {1, 3, 1, 0}, {0, 1, 4, 1}, {1, 0, 1, 0}};
    std::vector<double> p = pack(a), work(4);
    std::vector<int> kpvt(4);
    ASSERT_EQ(zududec(4, p.data(), kpvt.data(), 1e-12), 0);
    zuduinv(p.data(), 4, kpvt.data(), work.data());
    EXPECT_LE(distance_from_identity(a, unpack(p, 4)), 1e-14);
  }
  {
    std::vector<double> zero(6, 0.0);
    std::vector<int> kpvt(3);
    EXPECT_GT(zududec(3, zero.data(), kpvt.data(), 1e-12), 0);
  }
  {
    // Rank 2 indefinite: u u' - v v'.
    const double u[] = {1, 2, 0, 1}, v[] = {0, 1, 1, -1};
    Matrix a(4, std::vector<double>(4));
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) a[i][j] = u[i] * u[j] - v[i] * v[j];
    std::vector<double> p = pack(a);
    std::vector<int> kpvt(4);
    EXPECT_GT(zududec(4, p.data(), kpvt.data(), 1e-10), 0);
  }
}

TEST(Sweep, SweepUnsweepInverseAndCoefficients) {
  std::mt19937_64 rng(8);
  const int n = 6;
  const Matrix a = random_spd(n, rng);
  const std::vector<double> original = pack(a);
  std::vector<double> p = original, work(n);
  std::string flags(n, '0');
  for (int k : {2, 0, 4}) zsweep(1e-10, p.data(), k, n, flags.data(), work.data());
  EXPECT_EQ(flags, "101010");
  // Unswept block: residual crossproducts on the swept variables.
  {
    const int s[] = {0, 2, 4};
    Matrix ass(3, std::vector<double>(3));
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) ass[i][j] = a[s[i]][s[j]];
    std::vector<double> ps = pack(ass), w(3);
    ASSERT_EQ(znndsol(0, 3, ps.data(), w.data(), 0, nullptr), 0);
    const Matrix inv = unpack(ps, 3);
    for (int r : {1, 3, 5})
      for (int c : {1, 3, 5}) {
        if (c > r) continue;
        double schur = a[r][c];
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) schur -= a[r][s[i]] * inv[i][j] * a[s[j]][c];
        EXPECT_NEAR(p[packed_index(r, c)], schur, 1e-12);
      }
    // Swept block: the inverse of its part of the matrix.
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j <= i; ++j) EXPECT_NEAR(p[packed_index(s[i], s[j])], inv[i][j], 1e-12);
    // Coefficients: positive below an unswept row, negative right of one.
    double coef5_on_4 = 0;  // coefficient of 4 in the regression of 5 on 0, 2, 4
    for (int j = 0; j < 3; ++j) coef5_on_4 += a[5][s[j]] * inv[j][2];
    EXPECT_NEAR(p[packed_index(5, 4)], coef5_on_4, 1e-12);
    double coef1_on_2 = 0;  // coefficient of 2 in the regression of 1 on 0, 2, 4
    for (int j = 0; j < 3; ++j) coef1_on_2 += a[1][s[j]] * inv[j][1];
    EXPECT_NEAR(p[packed_index(2, 1)], -coef1_on_2, 1e-12);
  }
  for (int k : {0, 4, 2}) zsweep(1e-10, p.data(), k, n, flags.data(), work.data());
  EXPECT_EQ(flags, "000000");
  for (size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(p[i], original[i], 1e-12);
  // All pivots swept: the inverse.
  for (int k = 0; k < n; ++k) zsweep(1e-10, p.data(), k, n, flags.data(), work.data());
  EXPECT_LE(distance_from_identity(a, unpack(p, n)), 1e-13);
  // A pivot below the tolerance is declined and nothing changes.
  std::vector<double> q = {1, 1, 1}, before = q;
  std::string f = "00";
  zsweep(1e-8, q.data(), 0, 2, f.data(), work.data());
  zsweep(1e-8, q.data(), 1, 2, f.data(), work.data());
  EXPECT_EQ(f, "10");
  EXPECT_EQ(q[2], 0.0);
  std::vector<double> r = q;
  zsweep(1e-8, q.data(), 1, 2, f.data(), work.data());
  EXPECT_EQ(f, "10");
  EXPECT_EQ(q, r);
}

TEST(Qr, SolveLeastSquaresAndRank) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(-1, 1);
  const int m = 7, n = 4;
  std::vector<double> a(m * n), x_true = {1, -2, 0.5, 3}, b(m);
  for (double& v : a) v = u(rng);
  for (int i = 0; i < m; ++i) {
    b[i] = 0;
    for (int j = 0; j < n; ++j) b[i] += a[j * m + i] * x_true[j];
  }
  std::vector<double> f = a, qraux(n), work(2 * n);
  std::vector<int> jpvt(n);
  ASSERT_EQ(zqrdec(m, n, f.data(), 1e-10, qraux.data(), jpvt.data(), work.data()), 0);
  zqrsol(m, n, f.data(), qraux.data(), jpvt.data(), n, b.data(), work.data());
  for (int j = 0; j < n; ++j) EXPECT_NEAR(b[j], x_true[j], 1e-13);
  // Least squares: the residual is orthogonal to the columns.
  std::vector<double> c(m);
  for (int i = 0; i < m; ++i) c[i] = std::cos(i);
  std::vector<double> sol = c;
  zqrsol(m, n, f.data(), qraux.data(), jpvt.data(), n, sol.data(), work.data());
  for (int j = 0; j < n; ++j) {
    double g = 0;
    for (int i = 0; i < m; ++i) {
      double fit = 0;
      for (int l = 0; l < n; ++l) fit += a[l * m + i] * sol[l];
      g += a[j * m + i] * (c[i] - fit);
    }
    EXPECT_NEAR(g, 0, 1e-13);
  }
  // Column 3 = column 0 + column 1: one deficient column.
  for (int i = 0; i < m; ++i) a[3 * m + i] = a[i] + a[m + i];
  f = a;
  EXPECT_EQ(zqrdec(m, n, f.data(), 1e-10, qraux.data(), jpvt.data(), work.data()), 1);
}

TEST(Recsol, SolveDeterminantAndSingular) {
  const int n = 3;
  std::vector<double> a = {2, 1, 1, 4, -6, 0, -2, 7, 2};  // row-major, det = -16
  std::vector<int> ipvt(n);
  std::vector<double> lu = a;
  ASSERT_EQ(zrecsol(0, n, lu.data(), ipvt.data(), nullptr), 0);
  std::vector<double> x = {5, -2, 9};
  zrecsol(1, n, lu.data(), ipvt.data(), x.data());
  for (int i = 0; i < n; ++i) {
    double s = 0;
    for (int j = 0; j < n; ++j) s += a[i * n + j] * x[j];
    EXPECT_NEAR(s, (std::vector<double>{5, -2, 9})[i], 1e-13);
  }
  double det = 0;
  zrecsol(2, n, lu.data(), ipvt.data(), &det);
  EXPECT_NEAR(det, -16, 1e-13);
  std::vector<double> zero(9, 0.0);
  EXPECT_EQ(zrecsol(0, n, zero.data(), ipvt.data(), nullptr), 1);
  std::vector<double> twice = {1, 2, 3, 2, 4, 6, 1, 0, 1};
  EXPECT_EQ(zrecsol(0, n, twice.data(), ipvt.data(), nullptr), 1);
}

TEST(Qform, MatchesDenseProduct) {
  std::mt19937_64 rng(10);
  const int n = 5, m = 3;
  const Matrix a = random_symmetric(n, rng);
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix b(m, std::vector<double>(n));
  std::vector<double> flat;
  for (auto& row : b)
    for (double& v : row) flat.push_back(v = u(rng));
  Matrix bt(n, std::vector<double>(m));
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) bt[j][i] = b[i][j];
  const Matrix expect = multiply(multiply(b, a), bt);
  std::vector<double> p = pack(a), g(m * (m + 1) / 2), work(n);
  zqform(p.data(), n, flat.data(), m, g.data(), work.data());
  for (int i = 0; i < m; ++i)
    for (int j = 0; j <= i; ++j) EXPECT_NEAR(g[packed_index(i, j)], expect[i][j], 1e-14);
}

}  // namespace
}  // namespace kav
