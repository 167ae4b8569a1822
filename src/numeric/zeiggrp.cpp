// Clusters of equal eigenvalues: inverse iteration keeps the vectors of a
// cluster only roughly orthogonal, so they are replaced by an orthonormal
// basis of their span.

#include <algorithm>
#include <cmath>

#include "numeric/constants.h"
#include "numeric/eigen.h"
#include "numeric/inner.h"

namespace kav {
namespace {

// A column whose remaining norm is this small adds no new direction.
constexpr double kRankTolerance = 2.2250738585072018e-307;

}  // namespace

int modqrd(int n, int k, double* z, double* scratch) {
  double* norms = scratch;  // squared norms of the remaining parts
  double* tau = scratch + k;
  auto col = [&](int j) { return z + static_cast<std::ptrdiff_t>(j) * n; };
  for (int j = 0; j < k; ++j) norms[j] = inner::dot(col(j), col(j), n);
  int rank = k;
  for (int j = 0; j < k; ++j) {
    // Pivot: the column with the largest remaining norm. The norms are
    // recomputed rather than down-dated: clusters are small and this avoids
    // the cancellation of down-dating.
    int best = j;
    for (int c = j; c < k; ++c) {
      norms[c] = inner::dot(col(c) + j, col(c) + j, n - j);
      if (norms[c] > norms[best]) best = c;
    }
    if (best != j) std::swap_ranges(col(j), col(j) + n, col(best));
    double* x = col(j);
    const double alpha = x[j];
    const double xnorm = std::sqrt(norms[best]);
    if (!(xnorm > kRankTolerance)) {
      rank = j;
      for (int c = j; c < k; ++c) tau[c] = 0.0;
      break;
    }
    // Householder vector v = x - beta e_j, stored below the diagonal with
    // an implicit unit leading entry.
    const double beta = -std::copysign(xnorm, alpha);
    const double scale = 1.0 / (alpha - beta);
    for (int i = j + 1; i < n; ++i) x[i] *= scale;
    tau[j] = (beta - alpha) / beta;
    x[j] = beta;
    for (int c = j + 1; c < k; ++c) {
      double* y = col(c);
      const double s = tau[j] * (y[j] + inner::dot(x + j + 1, y + j + 1, n - j - 1));
      y[j] -= s;
      inner::axpy(-s, x + j + 1, y + j + 1, n - j - 1);
    }
  }
  // Q's first k columns, formed in place from the last reflector back.
  for (int j = k - 1; j >= 0; --j) {
    double* x = col(j);
    const double t = tau[j];
    for (int c = j + 1; c < k; ++c) {
      double* y = col(c);
      const double s = t * (y[j] + inner::dot(x + j + 1, y + j + 1, n - j - 1));
      y[j] -= s;
      inner::axpy(-s, x + j + 1, y + j + 1, n - j - 1);
    }
    for (int i = j + 1; i < n; ++i) x[i] *= -t;
    x[j] = 1.0 - t;
    for (int i = 0; i < j; ++i) x[i] = 0.0;
  }
  return rank;
}

int zeiggrp(int n, int nvec, const double* eigval, const double* d, const double* e, double* z,
            double* scratch) {
  double size = 0.0;
  for (int i = 0; i < n; ++i) size += std::fabs(d[i]) + std::fabs(e[i]);
  const double t = numeric_constants::kZeroThreshold * size;
  int code = kEigenOk;
  for (int c0 = 0; c0 < nvec;) {
    int c1 = c0;
    while (c1 + 1 < nvec && eigval[c1] - eigval[c1 + 1] < t) ++c1;
    const int k = c1 - c0 + 1;
    if (k >= 2 && modqrd(n, k, z + static_cast<std::ptrdiff_t>(c0) * n, scratch) < k) code = kEigenClusterNotOrthonormal;
    c0 = c1 + 1;
  }
  return code;
}

}  // namespace kav
