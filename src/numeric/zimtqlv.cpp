// Eigenvalues of a symmetric tridiagonal matrix by the implicit QL method
// with Wilkinson shifts. The input d, e stays intact (inverse iteration needs
// it later); the iteration runs on copies in w and rv1.

#include <cmath>

#include "numeric/constants.h"
#include "numeric/eigen.h"

namespace kav {
namespace {

using namespace numeric_constants;

// sqrt(a^2 + b^2) without destructive overflow or underflow.
double scaled_hypot(double a, double b) {
  double p = std::fabs(a);
  double q = std::fabs(b);
  if (q > p) std::swap(p, q);
  const double ratio = p <= kSmallestNormal ? 0.0 : q / p;
  return p * std::sqrt(1.0 + ratio * ratio);
}

bool negligible(double em, double d0, double d1) {
  const double a = std::fabs(em);
  return a <= kUnitRoundoff * (std::fabs(d0) + std::fabs(d1)) || a <= kSqrtSmallestNormal;
}

}  // namespace

int zimtqlv(int n, const double* d, const double* e, double* e2, double* w, double* ind,
            double* rv1, int iteration_limit) {
  for (int i = 0; i < n; ++i) w[i] = d[i];
  for (int i = 1; i < n; ++i) rv1[i - 1] = e[i];
  rv1[n - 1] = 0.0;

  int block_end = -1;  // last row of the block the current eigenvalue is in
  int tag = 0;
  for (int l = 0; l < n; ++l) {
    int iterations = 0;
    for (;;) {
      int m = l;
      while (m < n - 1 && !negligible(rv1[m], w[m], w[m + 1])) ++m;
      // The first split met beyond the current block lies in the untouched
      // original matrix: it starts a new block, which inverse iteration
      // recognises by the zero in e2.
      if (m > block_end) {
        if (m != n - 1) e2[m + 1] = 0.0;
        block_end = m;
        ++tag;
      }
      if (m == l) break;
      if (iterations == iteration_limit) return -(l + 1);
      ++iterations;

      double g = (w[l + 1] - w[l]) / (2.0 * rv1[l]);
      double r = scaled_hypot(g, 1.0);
      g = w[m] - w[l] + rv1[l] / (g + std::copysign(r, g));
      double s = 1.0, c = 1.0, p = 0.0;
      bool underflow = false;
      for (int i = m - 1; i >= l; --i) {
        const double f = s * rv1[i];
        const double b = c * rv1[i];
        r = scaled_hypot(f, g);
        rv1[i + 1] = r;
        if (r == 0.0) {
          // The rotation underflowed: deflate and start the sweep again.
          w[i + 1] -= p;
          rv1[m] = 0.0;
          underflow = true;
          break;
        }
        s = f / r;
        c = g / r;
        g = w[i + 1] - p;
        r = (w[i] - g) * s + 2.0 * c * b;
        p = s * r;
        w[i + 1] = g + p;
        g = c * r - b;
      }
      if (underflow) continue;
      w[l] -= p;
      rv1[l] = g;
      rv1[m] = 0.0;
    }
    // Insert the converged value into the sorted head of w, after any
    // equal values.
    const double p = w[l];
    int i = l;
    while (i > 0 && w[i - 1] < p) {
      w[i] = w[i - 1];
      ind[i] = ind[i - 1];
      --i;
    }
    w[i] = p;
    ind[i] = tag;
  }
  return 0;
}

}  // namespace kav
