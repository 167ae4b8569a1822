// Symmetric indefinite factorisation A = U D U' of a packed matrix with
// Bunch-Kaufman diagonal pivoting (1x1 and 2x2 pivot blocks), working from
// the last column back, and the inverse from the factors.
//
// A packed lower triangle stored row by row is the same array as the upper
// triangle stored column by column, so the column-oriented upper-triangle
// scheme applies directly: element (i, j), i <= j, of the upper triangle is
// at j(j+1)/2 + i and column j is contiguous.

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {
namespace {

struct Upper {
  double* a;
  double& operator()(long i, long j) const { return a[j * (j + 1) / 2 + i]; }
  double* column(long j) const { return a + j * (j + 1) / 2; }
};

// Interchanges rows and columns p < q in the leading (q+1) x (q+1) block.
void interchange(const Upper& u, int p, int q) {
  for (int i = 0; i < p; ++i) std::swap(u(i, q), u(i, p));
  for (int j = p + 1; j < q; ++j) std::swap(u(j, q), u(p, j));
  std::swap(u(q, q), u(p, p));
}

}  // namespace

int zududec(int n, double* a, int* kpvt, double tol) {
  assert(n >= 0 && tol >= 0 && (n == 0 || (a && kpvt)));
  const double alpha = (1.0 + std::sqrt(17.0)) / 8.0;
  const Upper u{a};
  int k = n - 1;
  while (k >= 0) {
    int kstep = 1;
    int kp = k;
    const double absakk = std::fabs(u(k, k));
    int imax = 0;
    double colmax = 0.0;
    for (int i = 0; i < k; ++i) {
      if (std::fabs(u(i, k)) > colmax) {
        colmax = std::fabs(u(i, k));
        imax = i;
      }
    }
    if (std::fmax(absakk, colmax) == 0.0) return k + 1;
    if (absakk < alpha * colmax) {
      double rowmax = 0.0;
      for (int j = imax + 1; j <= k; ++j) rowmax = std::fmax(rowmax, std::fabs(u(imax, j)));
      for (int i = 0; i < imax; ++i) rowmax = std::fmax(rowmax, std::fabs(u(i, imax)));
      if (absakk >= alpha * colmax * (colmax / rowmax)) {
        kp = k;
      } else if (std::fabs(u(imax, imax)) >= alpha * rowmax) {
        kp = imax;
      } else {
        kp = imax;
        kstep = 2;
      }
    }
    const int kk = k - kstep + 1;
    if (kp != kk) {
      interchange(u, kp, kk);
      if (kstep == 2) std::swap(u(k - 1, k), u(kp, k));
    }
    if (kstep == 1) {
      if (!(std::fabs(u(k, k)) > tol)) return k + 1;
      const double r1 = 1.0 / u(k, k);
      const double* x = u.column(k);
      for (int j = 0; j < k; ++j) inner::axpy(-r1 * x[j], x, u.column(j), j + 1);
      for (int i = 0; i < k; ++i) u.column(k)[i] *= r1;
      kpvt[k] = kp + 1;
    } else {
      const double b = u(k - 1, k);
      // Size of the 2x2 block: |det| / |off-diagonal|, about its smaller
      // eigenvalue in magnitude since the off-diagonal dominates.
      const double det = u(k - 1, k - 1) * u(k, k) - b * b;
      if (!(std::fabs(det) / std::fabs(b) > tol)) return k + 1;
      if (k > 1) {
        const double d22 = u(k - 1, k - 1) / b;
        const double d11 = u(k, k) / b;
        const double t = 1.0 / (d11 * d22 - 1.0);
        const double d12 = t / b;
        double* xk = u.column(k);
        double* xk1 = u.column(k - 1);
        for (int j = k - 2; j >= 0; --j) {
          const double wkm1 = d12 * (d11 * xk1[j] - xk[j]);
          const double wk = d12 * (d22 * xk[j] - xk1[j]);
          double* cj = u.column(j);
          for (int i = 0; i <= j; ++i) cj[i] -= xk[i] * wk + xk1[i] * wkm1;
          xk[j] = wk;
          xk1[j] = wkm1;
        }
      }
      kpvt[k] = kpvt[k - 1] = -(kp + 1);
    }
    k -= kstep;
  }
  return 0;
}

void zuduinv(double* a, int n, const int* kpvt, double* work) {
  assert(n >= 0 && (n == 0 || (a && kpvt && work)));
  const Upper u{a};
  // column(k)[0..k) := -S work, S the already inverted leading block, and
  // returns work . column(k)[0..k).
  auto update = [&](int k, int col) {
    double* c = u.column(col);
    for (int i = 0; i < k; ++i) work[i] = c[i];
    inner::packed_symv(k, a, work, c);
    for (int i = 0; i < k; ++i) c[i] = -c[i];
    return inner::dot(work, c, k);
  };
  int k = 0;
  while (k < n) {
    int kstep = 1;
    if (kpvt[k] > 0) {
      u(k, k) = 1.0 / u(k, k);
      if (k > 0) u(k, k) -= update(k, k);
    } else {
      const double t = std::fabs(u(k, k + 1));
      const double ak = u(k, k) / t;
      const double akp1 = u(k + 1, k + 1) / t;
      const double akkp1 = u(k, k + 1) / t;
      const double d = t * (ak * akp1 - 1.0);
      u(k, k) = akp1 / d;
      u(k + 1, k + 1) = ak / d;
      u(k, k + 1) = -akkp1 / d;
      if (k > 0) {
        u(k, k) -= update(k, k);
        u(k, k + 1) -= inner::dot(u.column(k), u.column(k + 1), k);
        u(k + 1, k + 1) -= update(k, k + 1);
      }
      kstep = 2;
    }
    const int kp = std::abs(kpvt[k]) - 1;
    if (kp != k) {
      interchange(u, kp, k);
      if (kstep == 2) std::swap(u(k, k + 1), u(kp, k + 1));
    }
    k += kstep;
  }
}

}  // namespace kav
