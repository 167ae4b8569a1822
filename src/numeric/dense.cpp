#include "numeric/dense.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "numeric/inner.h"

namespace kav {

void dense_multiply(ConstMatrixView a, ConstMatrixView b, MatrixView out, bool add) {
  assert(a.cols() == b.rows() && out.rows() == a.rows() && out.cols() == b.cols());
  const int r = a.rows(), k = a.cols();
  for (int j = 0; j < out.cols(); ++j) {
    double* oj = out.column(j);
    if (!add) std::fill(oj, oj + r, 0.0);
    for (int l = 0; l < k; ++l) inner::axpy(b.at(l, j), a.column(l), oj, r);
  }
}

void dense_transpose_multiply(ConstMatrixView a, ConstMatrixView b, MatrixView out) {
  assert(a.rows() == b.rows() && out.rows() == a.cols() && out.cols() == b.cols());
  for (int j = 0; j < out.cols(); ++j)
    for (int i = 0; i < out.rows(); ++i)
      out.at(i, j) = inner::dot(a.column(i), b.column(j), a.rows());
}

DenseStatus dense_invert(ConstMatrixView a, MatrixView inv, double relative_tol) {
  assert(a.rows() == a.cols() && inv.rows() == a.rows() && inv.cols() == a.cols());
  assert(relative_tol >= 0);
  const int n = a.rows();
  std::vector<double> wv(a.data(), a.data() + a.size());
  MatrixView w(wv.data(), n, n);
  std::fill(inv.data(), inv.data() + inv.size(), 0.0);
  for (int i = 0; i < n; ++i) inv.at(i, i) = 1;
  double size = 0;
  for (double v : wv) size = std::max(size, std::fabs(v));
  const double tiny = relative_tol * size;
  for (int k = 0; k < n; ++k) {
    int piv = k;
    for (int i = k + 1; i < n; ++i)
      if (std::fabs(w.at(i, k)) > std::fabs(w.at(piv, k))) piv = i;
    const double d = w.at(piv, k);
    if (!(std::fabs(d) > tiny)) return DenseStatus::kSingular;
    if (piv != k)
      for (int j = 0; j < n; ++j) {
        std::swap(w.at(k, j), w.at(piv, j));
        std::swap(inv.at(k, j), inv.at(piv, j));
      }
    for (int j = 0; j < n; ++j) {
      w.at(k, j) /= d;
      inv.at(k, j) /= d;
    }
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      const double f = w.at(i, k);
      if (f == 0) continue;
      for (int j = 0; j < n; ++j) {
        w.at(i, j) -= f * w.at(k, j);
        inv.at(i, j) -= f * inv.at(k, j);
      }
    }
  }
  return DenseStatus::kOk;
}

}  // namespace kav
