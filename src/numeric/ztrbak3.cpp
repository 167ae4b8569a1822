// Back-transformation of tridiagonal eigenvectors to eigenvectors of the
// original packed matrix, with the Householder vectors left by ztred3.

#include <algorithm>
#include <cmath>

#include "numeric/constants.h"
#include "numeric/eigen.h"
#include "numeric/inner.h"

namespace kav {

KAV_VECTOR_VERSIONS
void ztrbak3(int n, const double* a, int m, double* z) {
  if (m <= 0 || n <= 1) return;
  // The vectors are taken a few at a time so that they stay in cache while
  // every Householder vector streams past them once per batch.
  constexpr int kBatch = 16;
  for (int j0 = 0; j0 < m; j0 += kBatch) {
    const int j1 = std::min(m, j0 + kBatch);
    for (int i = 1; i < n; ++i) {
      const double* u = a + static_cast<std::ptrdiff_t>(i) * (i + 1) / 2;
      const double h = u[i];
      // A scale this small means step i was skipped (or would underflow).
      if (std::fabs(h) <= numeric_constants::kSqrtSmallestNormal) continue;
      // Four vectors at a time share the loads of u; each keeps the bits
      // of its own dot product.  Dividing twice by h avoids underflow in h*h.
      int j = j0;
      for (; j + 4 <= j1; j += 4) {
        double* zq[4];
        for (int q = 0; q < 4; ++q) zq[q] = z + static_cast<std::ptrdiff_t>(j + q) * n;
        double s[4];
        inner::dot4(zq, u, i, s);
        for (int q = 0; q < 4; ++q) inner::axpy(-((s[q] / h) / h), u, zq[q], i);
      }
      for (; j < j1; ++j) {
        double* zj = z + static_cast<std::ptrdiff_t>(j) * n;
        const double s = (inner::dot(u, zj, i) / h) / h;
        inner::axpy(-s, u, zj, i);
      }
    }
  }
}

}  // namespace kav
