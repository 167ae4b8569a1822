// Dense LU decomposition with partial pivoting of a row-major matrix, the
// solve with it, and its determinant.

#include <cassert>
#include <cmath>
#include <utility>

#include "numeric/constants.h"
#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

int zrecsol(int mode, int n, double* a, int* ipvt, double* x) {
  assert(mode >= 0 && mode <= 2 && n >= 0 && (n == 0 || (a && ipvt)) && (mode == 0 || x));
  auto row = [&](int i) { return a + static_cast<long>(i) * n; };
  if (mode == 0) {
    double biggest = 0.0;
    for (long i = 0; i < static_cast<long>(n) * n; ++i)
      biggest = std::fmax(biggest, std::fabs(a[i]));
    // A pivot at rounding-error level of the largest entry means singular.
    const double tiny = biggest * n * numeric_constants::kMachineEpsilon;
    for (int k = 0; k < n; ++k) {
      int p = k;
      for (int i = k + 1; i < n; ++i)
        if (std::fabs(row(i)[k]) > std::fabs(row(p)[k])) p = i;
      ipvt[k] = p;
      if (!(std::fabs(row(p)[k]) > tiny)) return kMatrixSingular;
      if (p != k)
        for (int j = 0; j < n; ++j) std::swap(row(k)[j], row(p)[j]);
      const double pivot = row(k)[k];
      for (int i = k + 1; i < n; ++i) {
        const double l = row(i)[k] / pivot;
        row(i)[k] = l;
        inner::axpy(-l, row(k) + k + 1, row(i) + k + 1, n - k - 1);
      }
    }
    return kMatrixOk;
  }
  if (mode == 1) {
    for (int k = 0; k < n; ++k)
      if (ipvt[k] != k) std::swap(x[k], x[ipvt[k]]);
    for (int i = 1; i < n; ++i) x[i] -= inner::dot(row(i), x, i);
    for (int i = n - 1; i >= 0; --i)
      x[i] = (x[i] - inner::dot(row(i) + i + 1, x + i + 1, n - i - 1)) / row(i)[i];
    return kMatrixOk;
  }
  double det = 1.0;
  for (int k = 0; k < n; ++k) {
    det *= row(k)[k];
    if (ipvt[k] != k) det = -det;
  }
  x[0] = det;
  return kMatrixOk;
}

}  // namespace kav
