#pragma once
// Checks shared by the eigensolver tests: agreement with LAPACK, residuals,
// orthogonality and the sign rule.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "eigen_reference.h"
#include "numeric/eigen.h"

namespace kav::test {

struct EigenRun {
  int code = 0;
  std::vector<double> values;
  std::vector<double> vectors;
};

inline EigenRun run_zeigen2(const Dense& a, int nvec, EigenTuning tuning = {}) {
  EigenRun r;
  const int n = a.n;
  std::vector<double> p = packed(a), work(8 * static_cast<std::size_t>(n));
  r.values.assign(n, 0.0);
  r.vectors.assign(static_cast<std::size_t>(n) * std::max(nvec, 1), 0.0);
  r.code = zeigen2(n, p.data(), r.values.data(), nvec, r.vectors.data(), work.data(), tuning);
  return r;
}

// The sign rule, checked from its definition: positive component sum, or
// for a zero sum a positive first dominant component.
inline bool sign_rule_holds(const double* v, int n) {
  double s = 0;
  for (int i = 0; i < n; ++i) s += v[i];
  if (std::fabs(s) >= 1.053671212772351e-8) return s > 0;
  double big = 0;
  for (int i = 0; i < n; ++i) big = std::max(big, std::fabs(v[i]));
  for (int i = 0; i < n; ++i)
    if (std::fabs(v[i]) >= big - 1.053671212772351e-8) return v[i] > 0;
  return false;
}

// Compares a zeigen2 run with LAPACK and checks the vectors it returned.
inline void expect_good_decomposition(const Dense& a, const EigenRun& r, int nvec,
                                      const std::string& what) {
  SCOPED_TRACE(what);
  const int n = a.n;
  const std::vector<double> ref = lapack_eigenvalues(a);
  double norm = 0;
  for (double x : ref) norm = std::max(norm, std::fabs(x));
  if (norm == 0) norm = 1;
  double worst_value = 0;
  for (int i = 0; i < n; ++i)
    worst_value = std::max(worst_value, std::fabs(r.values[i] - ref[n - 1 - i]) / norm);
  EXPECT_LE(worst_value, 1e-12);
  for (int i = 1; i < n; ++i) EXPECT_GE(r.values[i - 1], r.values[i]);

  double worst_residual = 0, worst_orth = 0;
  bool signs = true;
  for (int k = 0; k < nvec; ++k) {
    const double* v = r.vectors.data() + static_cast<std::size_t>(k) * n;
    double res = 0;
    for (int i = 0; i < n; ++i) {
      double s = -r.values[k] * v[i];
      for (int j = 0; j < n; ++j) s += a(i, j) * v[j];
      res += s * s;
    }
    worst_residual = std::max(worst_residual, std::sqrt(res) / norm);
    for (int l = 0; l <= k; ++l) {
      const double* u = r.vectors.data() + static_cast<std::size_t>(l) * n;
      double dot = 0;
      for (int i = 0; i < n; ++i) dot += u[i] * v[i];
      worst_orth = std::max(worst_orth, std::fabs(dot - (l == k ? 1.0 : 0.0)));
    }
    signs = signs && sign_rule_holds(v, n);
  }
  EXPECT_LE(worst_residual, 1e-12 * n);
  EXPECT_LE(worst_orth, 1e-12 * n);
  EXPECT_TRUE(signs);
}

}  // namespace kav::test
