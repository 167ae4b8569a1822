// Householder QR with column pivoting and a rank tolerance, and the
// least-squares solve with its factors.

#include <cassert>
#include <cmath>
#include <utility>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

int zqrdec(int m, int n, double* a, double tol, double* qraux, int* jpvt, double* work) {
  assert(m >= n && n >= 0 && tol >= 0 && (n == 0 || (a && qraux && jpvt && work)));
  double* original = work;  // column norms before any elimination
  double* remaining = work + n;
  auto col = [&](int j) { return a + static_cast<long>(j) * m; };
  for (int j = 0; j < n; ++j) {
    jpvt[j] = j;
    original[j] = std::sqrt(inner::dot(col(j), col(j), m));
    qraux[j] = 0.0;
  }
  int rank = 0;
  for (int j = 0; j < n; ++j) {
    // Pivot on the column with the largest share of its norm left, the
    // analogue of 1 - R^2; norms are recomputed, not down-dated.
    int best = j;
    double best_share = -1.0;
    for (int c = j; c < n; ++c) {
      remaining[c] = std::sqrt(inner::dot(col(c) + j, col(c) + j, m - j));
      const double share = original[c] > 0.0 ? remaining[c] / original[c] : 0.0;
      if (share > best_share) {
        best_share = share;
        best = c;
      }
    }
    if (!(best_share > tol) || original[best] == 0.0) break;
    if (best != j) {
      for (int i = 0; i < m; ++i) std::swap(col(j)[i], col(best)[i]);
      std::swap(jpvt[j], jpvt[best]);
      std::swap(original[j], original[best]);
      std::swap(remaining[j], remaining[best]);
    }
    double* x = col(j);
    const double alpha = x[j];
    const double beta = -std::copysign(remaining[j], alpha);
    const double scale = 1.0 / (alpha - beta);
    for (int i = j + 1; i < m; ++i) x[i] *= scale;
    qraux[j] = (beta - alpha) / beta;
    x[j] = beta;
    for (int c = j + 1; c < n; ++c) {
      double* y = col(c);
      const double s = qraux[j] * (y[j] + inner::dot(x + j + 1, y + j + 1, m - j - 1));
      y[j] -= s;
      inner::axpy(-s, x + j + 1, y + j + 1, m - j - 1);
    }
    rank = j + 1;
  }
  return n - rank;
}

void zqrsol(int m, int n, const double* a, const double* qraux, const int* jpvt, int rank,
            double* b, double* work) {
  auto col = [&](int j) { return a + static_cast<long>(j) * m; };
  for (int j = 0; j < rank; ++j) {
    const double* x = col(j);
    const double s = qraux[j] * (b[j] + inner::dot(x + j + 1, b + j + 1, m - j - 1));
    b[j] -= s;
    inner::axpy(-s, x + j + 1, b + j + 1, m - j - 1);
  }
  for (int j = rank - 1; j >= 0; --j) {
    b[j] /= col(j)[j];
    for (int i = 0; i < j; ++i) b[i] -= col(j)[i] * b[j];
  }
  for (int j = 0; j < n; ++j) work[j] = 0.0;
  for (int j = 0; j < rank; ++j) work[jpvt[j]] = b[j];
  for (int j = 0; j < n; ++j) b[j] = work[j];
}

}  // namespace kav
