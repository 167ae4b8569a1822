// Householder reduction of a packed symmetric matrix to tridiagonal form.
// Step i (from the last row up) annihilates row i left of the sub-diagonal.
// The scaled Householder vector stays in row i of the packed array and the
// diagonal slot of that row keeps scale*sqrt(h), which ztrbak3 reads back.

#include <cmath>

#include "numeric/eigen.h"
#include "numeric/inner.h"

namespace kav {

KAV_VECTOR_VERSIONS
void ztred3(int n, double* a, double* d, double* e, double* e2) {
  for (int i = n - 1; i >= 0; --i) {
    const int l = i;  // entries of row i left of the diagonal
    double* row = a + static_cast<std::ptrdiff_t>(i) * (i + 1) / 2;
    double h = 0.0;
    double scale = 0.0;
    for (int k = 0; k < l; ++k) {
      d[k] = row[k];
      scale += std::fabs(d[k]);
    }
    if (l < 1 || scale == 0.0) {
      e[i] = 0.0;
      e2[i] = 0.0;
    } else {
      // Scaling the row keeps the sum of squares away from overflow and
      // underflow.
      for (int k = 0; k < l; ++k) {
        d[k] /= scale;
        h += d[k] * d[k];
      }
      e2[i] = scale * scale * h;
      double f = d[l - 1];
      double g = -std::copysign(std::sqrt(h), f);
      e[i] = scale * g;
      h -= f * g;
      d[l - 1] = f - g;
      row[l - 1] = scale * d[l - 1];
      if (l > 1) {
        // p = A u / h, accumulated row by row over the packed lower triangle:
        // row j gives the dot product for e[j] and adds its off-diagonal
        // part to e[k], k < j.
        const double* aj = a;
        for (int j = 0; j < l; ++j) {
          const double fj = d[j];
          double s0 = 0.0, s1 = 0.0;
          int k = 0;
          for (; k + 2 <= j; k += 2) {
            s0 += aj[k] * d[k];
            s1 += aj[k + 1] * d[k + 1];
            e[k] += aj[k] * fj;
            e[k + 1] += aj[k + 1] * fj;
          }
          for (; k < j; ++k) {
            s0 += aj[k] * d[k];
            e[k] += aj[k] * fj;
          }
          e[j] = (s0 + s1) + aj[j] * fj;
          aj += j + 1;
        }
        f = 0.0;
        for (int j = 0; j < l; ++j) {
          e[j] /= h;
          f += e[j] * d[j];
        }
        const double hh = f / (h + h);
        for (int j = 0; j < l; ++j) e[j] -= hh * d[j];
        // A := A - u q' - q u' on the leading l-by-l triangle.
        double* ar = a;
        for (int j = 0; j < l; ++j) {
          const double fj = d[j];
          const double gj = e[j];
          double* __restrict r = ar;
          const double* __restrict ev = e;
          const double* __restrict dv = d;
          for (int k = 0; k <= j; ++k) r[k] -= fj * ev[k] + gj * dv[k];
          ar += j + 1;
        }
      }
    }
    d[i] = row[i];
    row[i] = scale * std::sqrt(h);
  }
}

}  // namespace kav
