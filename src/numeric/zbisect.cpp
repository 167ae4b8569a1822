// Eigenvalues of a symmetric tridiagonal matrix by bisection with Sturm
// sequence counts: the fallback when the QL iteration does not converge.

#include <algorithm>
#include <cmath>

#include "numeric/constants.h"
#include "numeric/eigen.h"

namespace kav {

using namespace numeric_constants;

void gersch(int n, const double* d, const double* e, double* lower, double* upper) {
  double lo = d[0];
  double hi = d[0];
  for (int i = 0; i < n; ++i) {
    const double radius = (i > 0 ? std::fabs(e[i]) : 0.0) + (i + 1 < n ? std::fabs(e[i + 1]) : 0.0);
    lo = std::min(lo, d[i] - radius);
    hi = std::max(hi, d[i] + radius);
  }
  *lower = lo;
  *upper = hi;
}

int sturm(int n, const double* d, const double* e, const double* e2, double x) {
  int count = 0;
  double u = 0.0;
  for (int i = 0; i < n; ++i) {
    double v = 0.0;
    if (i > 0) {
      // A zero pivot would divide by zero; it is treated as a tiny pivot of
      // the right size instead, which gives the quotient |e|/eps.
      v = u != 0.0 ? e2[i] / u : std::fabs(e[i]) / kUnitRoundoff;
    }
    u = d[i] - x - v;
    if (u < 0.0) ++count;
  }
  return count;
}

double cut(double lo, double hi) {
  return lo + 0.5 * (hi - lo);
}

int zbisect(int n, const double* d, const double* e, double* e2, double reltol, double* w,
            double* ind, double* scratch) {
  if (reltol <= 0.0) reltol = kMachineEpsilon;
  // Split where the sub-diagonal is negligible, with the test the QL
  // iteration uses, so that inverse iteration sees the same blocks.
  for (int i = 1; i < n; ++i) {
    const double a = std::fabs(e[i]);
    if (a <= kUnitRoundoff * (std::fabs(d[i - 1]) + std::fabs(d[i])) || a <= kSqrtSmallestNormal)
      e2[i] = 0.0;
  }
  double* lower = scratch;
  double* upper = scratch + n;
  int found = 0;
  int tag = 0;
  for (int p = 0; p < n;) {
    int q = p;
    while (q + 1 < n && e2[q + 1] != 0.0) ++q;
    ++tag;
    const int order = q - p + 1;
    const double* bd = d + p;
    const double* be = e + p;
    const double* be2 = e2 + p;
    double glo, ghi;
    gersch(order, bd, be, &glo, &ghi);
    if (!std::isfinite(glo) || !std::isfinite(ghi)) return found;
    const double floor_tol = reltol * std::max(std::fabs(glo), std::fabs(ghi));
    for (int k = 0; k < order; ++k) {
      lower[k] = glo;
      upper[k] = ghi;
    }
    // Eigenvalue k of the block (ascending); the bounds learnt while
    // bisecting for one eigenvalue are kept for the others.
    for (int k = order - 1; k >= 0; --k) {
      double lo = lower[k];
      double hi = upper[k];
      for (;;) {
        const double tol = 2.0 * reltol * (std::fabs(lo) + std::fabs(hi)) + floor_tol;
        if (hi - lo <= tol) break;
        const double mid = cut(lo, hi);
        if (mid <= lo || mid >= hi) break;
        const int below = sturm(order, bd, be, be2, mid);
        if (below > k) {
          hi = mid;
          for (int j = 0; j < k; ++j) upper[j] = std::min(upper[j], mid);
        } else {
          lo = mid;
          for (int j = below; j < k; ++j) lower[j] = std::max(lower[j], mid);
        }
      }
      const double value = cut(lo, hi);
      // Insert into the descending list, after equal values.
      int i = found;
      while (i > 0 && w[i - 1] < value) {
        w[i] = w[i - 1];
        ind[i] = ind[i - 1];
        --i;
      }
      w[i] = value;
      ind[i] = tag;
      ++found;
    }
    p = q + 1;
  }
  return found;
}

}  // namespace kav
