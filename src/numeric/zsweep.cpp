// The sweep operator on a packed symmetric matrix, in both directions.
//
// Internally this is the classical symmetric sweep G (swept block -inverse,
// coefficients in both off-diagonal blocks); what is stored is D G with D
// flipping the sign of the swept rows. The stored swept block is then the
// inverse itself, as with znndsol, and a coefficient read from the lower
// triangle is positive when its row is unswept and negative when its row is
// swept, which is what the image analysis relies on.

#include <algorithm>
#include <cassert>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

void zsweep(double tol, double* a, int k, int n, char* flags, double* work) {
  assert(tol >= 0 && k >= 0 && k < n && a && flags && work);
  const bool swept = flags[k] != '0';
  auto sign = [&](int r) { return flags[r] != '0' ? -1.0 : 1.0; };
  const double stored = a[packed_index(k, k)];
  const double pivot = swept ? -stored : stored;
  if (swept ? pivot == 0.0 : !(pivot >= tol)) return;
  // Column k of G.
  for (int r = 0; r < n; ++r) {
    const int hi = std::max(r, k), lo = std::min(r, k);
    work[r] = sign(hi) * a[packed_index(hi, lo)];
  }
  for (int r = 0; r < n; ++r) {
    if (r == k) continue;
    inner::axpy(-sign(r) * work[r] / pivot, work, a + packed_index(r, 0), r + 1);
  }
  flags[k] = swept ? '0' : '1';
  const double direction = swept ? -1.0 : 1.0;
  for (int r = 0; r < n; ++r) {
    if (r == k) continue;
    const int hi = std::max(r, k), lo = std::min(r, k);
    a[packed_index(hi, lo)] = sign(hi) * direction * work[r] / pivot;
  }
  a[packed_index(k, k)] = sign(k) * (-1.0 / pivot);
}

}  // namespace kav
