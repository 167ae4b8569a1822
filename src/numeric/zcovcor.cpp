// Crossproducts or covariances to correlations, in place.

#include <cassert>
#include <cmath>

#include "numeric/constants.h"
#include "numeric/matrix.h"

namespace kav {

void zcovcor(int n, double* a, double* d) {
  assert(n >= 0 && (n == 0 || (a && d)));
  for (int j = 0; j < n; ++j) {
    const double v = a[packed_index(j, j)];
    d[j] = v > 0.0 ? std::sqrt(v) : 0.0;
  }
  for (int i = 0; i < n; ++i) {
    double* row = a + packed_index(i, 0);
    for (int j = 0; j < i; ++j) {
      double r = 0.0;
      if (d[i] != 0.0 && d[j] != 0.0) {
        r = row[j] / (d[j] * d[i]);
        // Correlations at rounding-error level are noise: make them exact 0.
        if (std::fabs(r) <= numeric_constants::kZeroThreshold) r = 0.0;
      }
      row[j] = r;
    }
    row[i] = d[i] != 0.0 ? 1.0 : 0.0;
  }
}

}  // namespace kav
