// Inversion of a packed symmetric matrix by Gauss-Jordan sweeps in pivot
// order. After pivots 0..k the leading block holds the inverse of its part
// of the matrix, the trailing block the residual (Schur complement) and the
// rows between them the regression coefficients; the signs are kept so that
// the finished matrix is the inverse itself.

#include <cassert>
#include <cmath>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {
namespace {

// Column k of the packed symmetric matrix into w.
void load_column(const double* a, int n, int k, double* w) {
  for (int i = 0; i <= k; ++i) w[i] = a[packed_index(k, i)];
  for (int i = k + 1; i < n; ++i) w[i] = a[packed_index(i, k)];
}

KAV_VECTOR_VERSIONS
void eliminate(double* a, int n, int k, const double* w, double d) {
  for (int j = 0; j < n; ++j) {
    if (j == k) continue;
    const double c = j < k ? w[j] / d : -w[j] / d;
    inner::axpy(c, w, a + packed_index(j, 0), j + 1);
  }
  double* row = a + packed_index(k, 0);
  for (int i = 0; i < k; ++i) row[i] = -w[i] / d;
  row[k] = 1.0 / d;
  for (int i = k + 1; i < n; ++i) a[packed_index(i, k)] = w[i] / d;
}

}  // namespace

int znndsol(double tol, int n, double* a, double* w, int m, double* b) {
  assert(tol >= 0 && n >= 0 && m >= 0 && (n == 0 || (a && w)) && (m == 0 || b));
  int rejected = 0;
  for (int k = 0; k < n; ++k) {
    load_column(a, n, k, w);
    const double d = w[k];
    if (d >= tol) {
      eliminate(a, n, k, w, d);
      for (int c = 0; c < m; ++c) {
        double* bc = b + static_cast<long>(c) * n;
        const double t = bc[k] / d;
        inner::axpy(-t, w, bc, n);
        bc[k] = t;
      }
    } else {
      ++rejected;
      for (int i = 0; i <= k; ++i) a[packed_index(k, i)] = 0.0;
      for (int i = k + 1; i < n; ++i) a[packed_index(i, k)] = 0.0;
      for (int c = 0; c < m; ++c) b[static_cast<long>(c) * n + k] = 0.0;
    }
  }
  return rejected;
}

int zinvlo(double tol, double* a, int n, double* w) {
  assert(tol >= 0 && n >= 0 && (n == 0 || (a && w)));
  for (int k = 0; k < n; ++k) {
    load_column(a, n, k, w);
    const double d = w[k];
    if (!(std::fabs(d) > tol)) return kMatrixSingular;
    eliminate(a, n, k, w, d);
  }
  return kMatrixOk;
}

}  // namespace kav
