// Cleans eigenvectors and fixes their sign, so that the same eigenspace
// always comes back with the same orientation.

#include <cmath>

#include "numeric/eigen.h"

namespace kav {
namespace {

// Below this a component sum counts as zero and the dominant component
// decides the sign; it is also the margin by which a later component must
// exceed an earlier one to count as dominant.
constexpr double kSignTolerance = 1.053671212772351e-8;

}  // namespace

void zeigref(int n, int nvec, double* z) {
  const double clear = n * 1.110223024625157e-14;
  for (int k = 0; k < nvec; ++k) {
    double* v = z + static_cast<std::ptrdiff_t>(k) * n;
    double s = 0.0;
    for (int i = 0; i < n; ++i) {
      if (std::fabs(v[i]) <= clear) v[i] = 0.0;
      s += v[i];
    }
    if (std::fabs(s) < kSignTolerance) {
      double big = std::fabs(v[0]);
      s = v[0];
      for (int i = 1; i < n; ++i) {
        if (std::fabs(v[i]) > big + kSignTolerance) {
          big = std::fabs(v[i]);
          s = v[i];
        }
      }
    }
    if (s < 0.0)
      for (int i = 0; i < n; ++i) v[i] = -v[i];
  }
}

}  // namespace kav
