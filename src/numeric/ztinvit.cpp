// Eigenvectors of a symmetric tridiagonal matrix by inverse iteration, block
// by block. Vectors of close eigenvalues of one block are kept orthogonal to
// each other during the iteration; vectors whose growth stays small are
// accepted with a quality code instead of being rejected.

#include <algorithm>
#include <cmath>

#include "numeric/constants.h"
#include "numeric/eigen.h"
#include "numeric/inner.h"

namespace kav {

using namespace numeric_constants;

KAV_VECTOR_VERSIONS
int ztinvit(int n, const double* d, const double* e, const double* e2, int m, const double* w,
            const double* ind, double* z, double* scratch) {
  // The LU factors of (T - x I) with row interchanges: rv1 the diagonal of
  // U, rv2 and rv3 its two super-diagonals, rv4 the multipliers.
  double* rv1 = scratch;
  double* rv2 = scratch + n;
  double* rv3 = scratch + 2 * n;
  double* rv4 = scratch + 3 * n;
  int worst = 0;
  int tag = 0;
  int q = -1;
  while (q < n - 1) {
    const int p = q + 1;
    for (q = p; q < n - 1; ++q)
      if (e2[q + 1] == 0.0) break;
    ++tag;
    const int len = q - p + 1;
    bool first = true;
    double eps2 = 0.0, eps3 = 0.0, eps4 = 0.0, start = 0.0;
    double x0 = 0.0;
    int group = 0;
    int restart = p;  // entry set when an iterate vanishes
    for (int r = 0; r < m; ++r) {
      if (static_cast<int>(ind[r]) != tag) continue;
      double* v6 = z + static_cast<std::ptrdiff_t>(r) * n;
      std::fill(v6, v6 + n, 0.0);
      double x1 = w[r];
      if (first) {
        first = false;
        if (p == q) {
          v6[p] = 1.0;
          x0 = x1;
          continue;
        }
        double norm = std::fabs(d[p]);
        for (int i = p + 1; i <= q; ++i) norm += std::fabs(d[i]) + std::fabs(e[i]);
        // eps2 groups close eigenvalues, eps3 replaces zero pivots and
        // separates equal eigenvalues, eps4 is the small start size that
        // keeps the growth from overflowing.
        eps2 = 1.0e-3 * norm;
        eps3 = kUnitRoundoff * norm;
        eps4 = len * eps3;
        start = eps4 / std::sqrt(static_cast<double>(len));
        group = 0;
        restart = p;
      } else if (std::fabs(x1 - x0) >= eps2) {
        group = 0;
      } else {
        ++group;
        // Equal eigenvalues (descending order) get distinct shifts.
        if (x1 >= x0) x1 = x0 - eps3;
      }

      // Elimination with interchanges; the start vector is taken as if it
      // had already been through the forward substitution.
      double u = 0.0, v = 0.0, xu = 0.0;
      for (int i = p; i <= q; ++i) {
        v6[i] = start;
        if (i != p) {
          if (std::fabs(e[i]) >= std::fabs(u)) {
            xu = u / e[i];
            rv4[i] = xu;
            rv1[i - 1] = e[i];
            rv2[i - 1] = d[i] - x1;
            rv3[i - 1] = i != q ? e[i + 1] : 0.0;
            u = v - xu * rv2[i - 1];
            v = -xu * rv3[i - 1];
            continue;
          }
          xu = e[i] / u;
          rv4[i] = xu;
          rv1[i - 1] = u;
          rv2[i - 1] = v;
          rv3[i - 1] = 0.0;
        }
        u = d[i] - x1 - xu * v;
        if (i != q) v = e[i + 1];
      }
      if (u == 0.0) u = eps3;
      rv1[q] = u;
      rv2[q] = 0.0;
      rv3[q] = 0.0;

      int quality = kEigenOk;
      int iterations = 0;
      for (;;) {
        u = 0.0;
        v = 0.0;
        for (int i = q; i >= p; --i) {
          v6[i] = (v6[i] - u * rv2[i] - v * rv3[i]) / rv1[i];
          v = u;
          u = v6[i];
        }
        // Orthogonalise against the earlier vectors of the group.
        int j = r;
        for (int g = 0; g < group; ++g) {
          do --j;
          while (static_cast<int>(ind[j]) != tag);
          const double* zj = z + static_cast<std::ptrdiff_t>(j) * n;
          const double c = inner::dot(v6 + p, zj + p, len);
          inner::axpy(-c, zj + p, v6 + p, len);
        }
        double s = 0.0;
        for (int i = p; i <= q; ++i) s += std::fabs(v6[i]);
        if (s >= 1.0) break;
        ++iterations;
        if (iterations > 2 && s >= 0.01) {
          quality = kEigenVectorFair;
          break;
        }
        if (iterations > 9 && s >= 1.0e-4) {
          quality = kEigenVectorPoor;
          break;
        }
        // The last condition only guards against an endless loop on an
        // iterate that keeps vanishing.
        if ((iterations > 9 && s > 0.0) || iterations > 1000) {
          quality = kEigenVectorBad;
          break;
        }
        if (s == 0.0) {
          v6[restart] = eps4;
          if (++restart > q) restart = p;
        } else {
          const double scale = eps4 / s;
          for (int i = p; i <= q; ++i) v6[i] *= scale;
        }
        // Forward substitution with the interchanges of the elimination
        // (recognised by the stored pivot row being the sub-diagonal).
        for (int i = p + 1; i <= q; ++i) {
          double t = v6[i];
          if (rv1[i - 1] == e[i]) {
            t = v6[i - 1];
            v6[i - 1] = v6[i];
          }
          v6[i] = t - rv4[i] * v6[i - 1];
        }
      }
      worst = std::min(worst, quality);
      const double ss = inner::dot(v6 + p, v6 + p, len);
      if (ss > 0.0) {
        const double scale = 1.0 / std::sqrt(ss);
        for (int i = p; i <= q; ++i) v6[i] *= scale;
      }
      x0 = x1;
    }
  }
  return worst;
}

}  // namespace kav
