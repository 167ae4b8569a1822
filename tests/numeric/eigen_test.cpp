// The symmetric eigensolver against Jacobi's method (tests/support), closed
// forms, and what every decomposition must have: descending values, small
// residuals, orthonormal vectors and the sign rule.
#include "numeric/eigen.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/reference_eigen.h"

namespace kav {
namespace {

using reference::Rows;
using V = std::vector<double>;

V packed(const Rows& a) {
  V p;
  for (std::size_t i = 0; i < a.size(); ++i) p.insert(p.end(), a[i].begin(), a[i].begin() + i + 1);
  return p;
}

struct Eig {
  int code = 0;
  V values, vectors;  // vector k at [k n, (k + 1) n)
};

Eig run(const Rows& a, int nvec, EigenTuning tuning = {}) {
  const int n = static_cast<int>(a.size());
  Eig r{0, V(n), V(static_cast<std::size_t>(n) * std::max(nvec, 1))};
  V p = packed(a), work(8 * static_cast<std::size_t>(n));
  r.code = zeigen2(n, p.data(), r.values.data(), nvec, r.vectors.data(), work.data(), tuning);
  return r;
}

Rows random_matrix(int n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1, 1);
  Rows a(n, V(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) a[i][j] = a[j][i] = u(rng);
  return a;
}

// diag(lambda) under three random Householder reflections.
Rows with_spectrum(const V& lambda, std::mt19937_64& rng) {
  const std::size_t n = lambda.size();
  Rows a(n, V(n));
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
Rows matrix_of_kind(int kind, int n, std::mt19937_64& rng) {
  V lambda(n);
  for (int i = 0; i < n; ++i)
    lambda[i] =
        kind == 2 ? (i % 4) + 1e-10 * (i / 4) + (i % 4 == 3 ? -5.0 : 0.0) : (i / 5) % 7 - 2.0;
  if (kind >= 2) return with_spectrum(lambda, rng);
  Rows a = random_matrix(n, rng);
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
void expect_good(const Rows& a, const V& ref, const Eig& r, int nvec, const std::string& what) {
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
      const Rows a = matrix_of_kind(k, n, rng);
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

TEST(Eigen, TridiagonalToeplitzMatchesClosedForm) {
  // tridiag(-1, 2, -1) has eigenvalues 2 - 2cos(k pi/(n+1)); both routes
  // must find them.
  const int n = 60;
  Rows a(n, V(n));
  V closed(n);
  for (int i = 0; i < n; ++i) {
    a[i][i] = 2;
    if (i > 0) a[i][i - 1] = a[i - 1][i] = -1;
    closed[i] = 2 - 2 * std::cos((n - i) * std::numbers::pi / (n + 1));
  }
  for (int limit : {50, 0})
    expect_good(a, closed, run(a, n, EigenTuning{limit}), n, "QL limit " + std::to_string(limit));
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
  // A double eigenvalue: two orthonormal vectors spanning its eigenspace.
  const Rows a = {{2, 1, 1}, {1, 2, 1}, {1, 1, 2}};  // eigenvalues 4, 1, 1
  r = run(a, 3);
  EXPECT_EQ(r.code, 0);
  expect_good(a, {4, 1, 1}, r, 3, "double eigenvalue");
}

TEST(Eigen, TwoStepUseMatchesOneStep) {
  std::mt19937_64 rng(11);
  const int n = 50, nvec = 7;
  const Rows a = matrix_of_kind(2, n, rng);
  const Eig one = run(a, nvec);
  V p = packed(a), work(8 * n), values(n), vectors(n * nvec);
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

TEST(Eigen, DuplicateVectorsOfAClusterAreRankDeficient) {
  V z(8, 0.5), scratch(4);
  const double values[] = {1.0, 1.0}, d[] = {1, 1, 1, 1}, e[] = {0, 0, 0, 0};
  EXPECT_EQ(zeiggrp(4, 2, values, d, e, z.data(), scratch.data()), 97);
}

TEST(Eigen, SturmCountsStepOverAZeroPivot) {
  // tridiag(1, 0, 1) of order 3 has eigenvalues -sqrt2, 0, sqrt2.
  const double d[] = {0, 0, 0}, e[] = {0, 1, 1};
  for (auto [x, below] : {std::pair{-2.0, 0}, {-1.0, 1}, {0.0, 1}, {0.5, 2}, {1.5, 3}})
    EXPECT_EQ(sturm(3, d, e, e, x), below) << x;
}

TEST(Eigen, MessagesFollowTheCode) {
  // What zeigmsg says for a code: "L<n>" a message logged (group 271),
  // "N<n>" one also added as a note, "X" the run stopped; and the handle of
  // the last message logged.
  std::string got;
  EigenMessageSink sink;
  sink.log = [&](int group, int number) {
    got += " L" + std::to_string(number) + (group == 271 ? "" : "?");
    return 1000 + number;
  };
  sink.note = [&](const char* name, int group, int number) {
    const bool ok = group == 271 && std::string(name) == "EigenNote";
    got += " N" + std::to_string(number) + (ok ? "" : "?");
  };
  sink.exit = [&](int stop) { got += stop == 9999 ? " X" : " X?"; };
  const std::tuple<int, int, std::string> cases[] = {
      {0, 0, ""},
      {97, 0, ""},
      {99, 1002, " L2 N2 X"},
      {98, 1003, " L3 N3 X"},
      {-1, 1001, " L1"},
      {-10, 1004, " L4 N4"},
      {-21, 1005, " L1 L5 N5"},
      {-31, 1006, " L1 L6 N6 X"},
      {-50, 1006, " L6 N6 X"},
      {-110, 1004, " L100 L4 N4"},
  };
  for (const auto& [code, handle, said] : cases) {
    got.clear();
    EXPECT_EQ(zeigmsg(code, sink), handle) << code;
    EXPECT_EQ(got, said) << code;
  }
  // Without an output object nothing is added as a note.
  sink.note = nullptr;
  got.clear();
  zeigmsg(-20, sink);
  EXPECT_EQ(got, " L5");
}

}  // namespace
}  // namespace kav
