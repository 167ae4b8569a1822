// The quadratic form B A B' of a packed symmetric A.

#include <cassert>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

void zqform(const double* a, int n, const double* b, int m, double* g, double* work) {
  assert(n >= 0 && m >= 0 && (n == 0 || (a && work)) && (m == 0 || (g && (n == 0 || b))));
  for (int i = 0; i < m; ++i) {
    const double* bi = b + static_cast<long>(i) * n;
    inner::packed_symv(n, a, bi, work);
    double* gi = g + packed_index(i, 0);
    for (int j = 0; j <= i; ++j) gi[j] = inner::dot(b + static_cast<long>(j) * n, work, n);
  }
}

}  // namespace kav
