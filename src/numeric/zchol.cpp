// Row-wise Cholesky factorisation of a packed matrix and forward
// substitution with the factor. A semidefinite matrix is not an error: a
// variable that depends on the earlier ones gets a zero diagonal, and a zero
// diagonal makes its column (and its unknown) zero.

#include <cassert>
#include <cmath>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

void zchol(double tol, int i, double* a) {
  assert(tol >= 0 && i >= 0 && a);
  double* row_i = a + packed_index(i, 0);
  for (int j = 0; j < i; ++j) {
    const double* row_j = a + packed_index(j, 0);
    const double s = row_i[j] - inner::dot(row_i, row_j, j);
    row_i[j] = row_j[j] != 0.0 ? s / row_j[j] : 0.0;
  }
  const double s = row_i[i] - inner::dot(row_i, row_i, i);
  row_i[i] = s > tol ? std::sqrt(s) : 0.0;
}

void zchol2(int n, const double* l, double* x) {
  assert(n >= 0 && (n == 0 || (l && x)));
  for (int i = 0; i < n; ++i) {
    const double* row = l + packed_index(i, 0);
    x[i] = row[i] != 0.0 ? (x[i] - inner::dot(row, x, i)) / row[i] : 0.0;
  }
}

}  // namespace kav
