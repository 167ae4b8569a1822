#include "numeric/eigen.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "eigen_checks.h"
#include "eigen_reference.h"

namespace kav {
namespace {

using test::Dense;

TEST(Eigen, AgreesWithLapackOnAllMatrixKindsUpToOrder200) {
  std::mt19937_64 rng(20240501);
  for (int n : {1, 2, 3, 4, 7, 16, 37, 100, 200}) {
    const Dense kinds[] = {test::random_matrix(n, rng), test::graded_matrix(n, rng),
                           test::clustered_matrix(n, rng), test::repeated_matrix(n, rng)};
    const char* names[] = {"random", "graded", "clustered", "repeated"};
    for (int k = 0; k < 4; ++k) {
      const auto r = test::run_zeigen2(kinds[k], n);
      EXPECT_GE(r.code, -10) << names[k] << " n=" << n;
      EXPECT_NE(r.code, 97);
      test::expect_good_decomposition(kinds[k], r, n,
                                      std::string(names[k]) + " n=" + std::to_string(n));
    }
  }
}

TEST(Eigen, BisectionTakesOverWhenQlFails) {
  std::mt19937_64 rng(7);
  const EigenTuning no_ql{0};
  for (int n : {2, 5, 40, 120}) {
    const Dense a = test::random_matrix(n, rng);
    const Dense c = test::clustered_matrix(n, rng);
    const auto values_only = test::run_zeigen2(a, 0, no_ql);
    EXPECT_EQ(values_only.code, -1);
    test::expect_good_decomposition(a, values_only, 0, "values by bisection");
    const auto with_vectors = test::run_zeigen2(c, n, no_ql);
    EXPECT_TRUE(with_vectors.code == -1 || with_vectors.code == -11) << with_vectors.code;
    test::expect_good_decomposition(c, with_vectors, n, "vectors after bisection");
  }
  // A matrix that is already diagonal needs no QL iteration at all.
  Dense d(3);
  d(0, 0) = 1;
  d(1, 1) = 3;
  d(2, 2) = 2;
  EXPECT_EQ(test::run_zeigen2(d, 0, no_ql).code, 0);
}

TEST(Eigen, TridiagonalToeplitzMatchesClosedForm) {
  // tridiag(-1, 2, -1) has eigenvalues 2 - 2cos(k pi/(n+1)) and eigenvectors
  // sin(jk pi/(n+1)); both routes must find them.
  const int n = 60;
  Dense a(n);
  for (int i = 0; i < n; ++i) {
    a(i, i) = 2;
    if (i > 0) a(i, i - 1) = a(i - 1, i) = -1;
  }
  for (int limit : {50, 0}) {
    const auto r = test::run_zeigen2(a, n, EigenTuning{limit});
    for (int k = 0; k < n; ++k) {
      const int kk = n - k;  // largest first
      const double theta = kk * std::numbers::pi / (n + 1);
      EXPECT_NEAR(r.values[k], 2 - 2 * std::cos(theta), 1e-14);
      double norm = 0, dot = 0;
      for (int j = 0; j < n; ++j) norm += std::pow(std::sin((j + 1) * theta), 2);
      for (int j = 0; j < n; ++j) dot += r.vectors[k * n + j] * std::sin((j + 1) * theta);
      EXPECT_NEAR(std::fabs(dot) / std::sqrt(norm), 1.0, 1e-12);
    }
  }
}

TEST(Eigen, SmallCasesAndSignRule) {
  {
    Dense a(1);
    a(0, 0) = -4.5;
    const auto r = test::run_zeigen2(a, 1);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.values[0], -4.5);
    EXPECT_EQ(r.vectors[0], 1.0);
  }
  {
    // Diagonal: sorted diagonal and unit vectors with entry +1.
    Dense a(4);
    const double diag[] = {1, -3, 7, 2};
    for (int i = 0; i < 4; ++i) a(i, i) = diag[i];
    const auto r = test::run_zeigen2(a, 4);
    EXPECT_EQ(r.values, (std::vector<double>{7, 2, 1, -3}));
    const int where[] = {2, 3, 0, 1};
    for (int k = 0; k < 4; ++k)
      for (int i = 0; i < 4; ++i) EXPECT_EQ(r.vectors[k * 4 + i], i == where[k] ? 1.0 : 0.0);
  }
  {
    // Component sum zero: the first dominant component is made positive.
    Dense a(2);
    a(0, 0) = a(1, 1) = 1;
    a(0, 1) = a(1, 0) = -1;
    const auto r = test::run_zeigen2(a, 2);
    EXPECT_NEAR(r.values[0], 2, 1e-15);
    EXPECT_NEAR(r.values[1], 0, 1e-15);
    EXPECT_NEAR(r.vectors[0], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(r.vectors[1], -std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(r.vectors[2], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(r.vectors[3], std::sqrt(0.5), 1e-15);
  }
  {
    // A double eigenvalue: two orthonormal vectors spanning its eigenspace.
    Dense a(3);
    const double m[3][3] = {{2, 1, 1}, {1, 2, 1}, {1, 1, 2}};  // eigenvalues 4, 1, 1
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) a(i, j) = m[i][j];
    const auto r = test::run_zeigen2(a, 3);
    EXPECT_EQ(r.code, 0);
    test::expect_good_decomposition(a, r, 3, "double eigenvalue");
    for (int k = 1; k < 3; ++k) {
      double s = 0;
      for (int i = 0; i < 3; ++i) s += r.vectors[k * 3 + i];
      EXPECT_NEAR(s, 0, 1e-14);  // orthogonal to (1,1,1)
    }
  }
}

TEST(Eigen, TwoStepUseMatchesOneStep) {
  std::mt19937_64 rng(11);
  const int n = 50, nvec = 7;
  const Dense a = test::clustered_matrix(n, rng);
  const auto one = test::run_zeigen2(a, nvec);
  std::vector<double> p = test::packed(a), work(8 * n), values(n), vectors(n * nvec);
  ASSERT_EQ(zeigen2(n, p.data(), values.data(), 0, nullptr, work.data()), 0);
  // Only the first 4n of the workspace carry over.
  std::fill(work.begin() + 4 * n, work.end(), std::nan(""));
  const int code = zeigvec(n, nvec, p.data(), values.data(), vectors.data(), work.data());
  EXPECT_EQ(code, one.code);
  for (int i = 0; i < n * nvec; ++i) EXPECT_NEAR(vectors[i], one.vectors[i], 1e-13);
  EXPECT_EQ(zeigvec(n, 0, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Eigen, BadArgumentsAndMissingValues) {
  std::vector<double> p(6, 1.0), values(3), vectors(9), work(24);
  EXPECT_EQ(zeigen2(0, p.data(), values.data(), 0, nullptr, work.data()), 99);
  EXPECT_EQ(zeigen2(3, p.data(), values.data(), 4, vectors.data(), work.data()), 99);
  EXPECT_EQ(zeigen2(3, p.data(), values.data(), -1, vectors.data(), work.data()), 99);
  EXPECT_EQ(zeigen2(3, p.data(), values.data(), 1, nullptr, work.data()), 99);
  EXPECT_EQ(zeigen2(3, nullptr, values.data(), 0, nullptr, work.data()), 99);
  EXPECT_EQ(zeigen2(3, p.data(), nullptr, 0, nullptr, work.data()), 99);
  EXPECT_EQ(zeigen2(3, p.data(), values.data(), 0, nullptr, nullptr), 99);
  EXPECT_EQ(zeigvec(3, 4, p.data(), values.data(), vectors.data(), work.data()), 99);
  EXPECT_EQ(zeigvec(0, 1, p.data(), values.data(), vectors.data(), work.data()), 99);
  EXPECT_EQ(zeigvec(3, 2, p.data(), values.data(), nullptr, work.data()), 99);

  ASSERT_EQ(zeigen2(3, p.data(), values.data(), 0, nullptr, work.data()), 0);
  const double missing = std::bit_cast<double>(std::uint64_t{0xfffffe0000000000});
  values[1] = missing;
  EXPECT_EQ(zeigvec(3, 2, p.data(), values.data(), vectors.data(), work.data()), 98);
  // A missing value beyond the wanted vectors does not matter.
  EXPECT_EQ(zeigvec(3, 1, p.data(), values.data(), vectors.data(), work.data()), 0);
}

TEST(Eigen, ClusterOfDuplicateVectorsIsRankDeficient) {
  // modqrd on two equal columns finds rank 1; zeiggrp turns that into 97
  // for a cluster of equal eigenvalues.
  const int n = 4;
  std::vector<double> z = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5}, scratch(4);
  const double values[] = {1.0, 1.0};
  const double d[] = {1, 1, 1, 1}, e[] = {0, 0, 0, 0};
  EXPECT_EQ(zeiggrp(n, 2, values, d, e, z.data(), scratch.data()), 97);
  // Independent columns: an orthonormal basis of the same span.
  std::vector<double> y = {1, 1, 0, 0, 1, 0, 1, 0};
  EXPECT_EQ(modqrd(n, 2, y.data(), scratch.data()), 2);
  double d00 = 0, d01 = 0, d11 = 0;
  for (int i = 0; i < n; ++i) {
    d00 += y[i] * y[i];
    d01 += y[i] * y[n + i];
    d11 += y[n + i] * y[n + i];
  }
  // Both columns stay in the span, whose last component is zero.
  EXPECT_NEAR(y[3], 0.0, 1e-15);
  EXPECT_NEAR(y[n + 3], 0.0, 1e-15);
  EXPECT_NEAR(d00, 1, 1e-15);
  EXPECT_NEAR(d11, 1, 1e-15);
  EXPECT_NEAR(d01, 0, 1e-15);
}

TEST(Eigen, SturmCountsAndGerschgorin) {
  // tridiag(1, 0, 1) of order 3 has eigenvalues -sqrt2, 0, sqrt2.
  const double d[] = {0, 0, 0}, e[] = {0, 1, 1}, e2[] = {0, 1, 1};
  EXPECT_EQ(sturm(3, d, e, e2, -2.0), 0);
  EXPECT_EQ(sturm(3, d, e, e2, -1.0), 1);
  EXPECT_EQ(sturm(3, d, e, e2, 0.5), 2);
  EXPECT_EQ(sturm(3, d, e, e2, 1.5), 3);
  // Shift exactly at a pivot that becomes zero still gives a count.
  EXPECT_EQ(sturm(3, d, e, e2, 0.0), 1);
  double lo, hi;
  gersch(3, d, e, &lo, &hi);
  EXPECT_EQ(lo, -2);
  EXPECT_EQ(hi, 2);
  EXPECT_EQ(cut(1.0, 3.0), 2.0);
}

TEST(Eigen, MessagesFollowTheCode) {
  struct Logged {
    std::vector<int> logs, notes, exits;
  } got;
  EigenMessageSink sink;
  sink.log = [&](int group, int number) {
    EXPECT_EQ(group, 271);
    got.logs.push_back(number);
    return 1000 + number;
  };
  sink.note = [&](const char* name, int group, int number) {
    EXPECT_STREQ(name, "EigenNote");
    EXPECT_EQ(group, 271);
    got.notes.push_back(number);
  };
  sink.exit = [&](int code) { got.exits.push_back(code); };
  auto run = [&](int code) {
    got = {};
    return zeigmsg(code, sink);
  };
  using V = std::vector<int>;
  EXPECT_EQ(run(0), 0);
  EXPECT_EQ(got.logs, V{});
  EXPECT_EQ(run(97), 0);
  EXPECT_EQ(got.logs, V{});
  EXPECT_EQ(run(99), 1002);
  EXPECT_EQ(got.logs, V{2});
  EXPECT_EQ(got.notes, V{2});
  EXPECT_EQ(got.exits, V{9999});
  run(98);
  EXPECT_EQ(got.logs, V{3});
  EXPECT_EQ(got.exits, V{9999});
  run(-1);
  EXPECT_EQ(got.logs, V{1});
  EXPECT_EQ(got.exits, V{});
  run(-10);
  EXPECT_EQ(got.logs, V{4});
  EXPECT_EQ(got.notes, V{4});
  EXPECT_EQ(run(-21), 1005);
  EXPECT_EQ(got.logs, (V{1, 5}));
  EXPECT_EQ(got.exits, V{});
  run(-31);
  EXPECT_EQ(got.logs, (V{1, 6}));
  EXPECT_EQ(got.exits, V{9999});
  run(-110);
  EXPECT_EQ(got.logs, (V{100, 4}));
  run(-50);
  EXPECT_EQ(got.logs, V{6});
  EXPECT_EQ(got.exits, V{9999});
  // Without an output object nothing is added as a note.
  sink.note = nullptr;
  run(-20);
  EXPECT_EQ(got.logs, V{5});
  EXPECT_EQ(got.notes, V{});
}

}  // namespace
}  // namespace kav
