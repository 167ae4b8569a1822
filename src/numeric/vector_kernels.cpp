// Vector kernels of the moment pass. The sums use several partial sums so
// that the compiler can keep them in vector registers.

#include "numeric/vector_kernels.h"

#include <string>

#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

double zvsum(const double* x, long n) {
  return inner::sum(x, n);
}

void zvme111(double* __restrict z, const double* __restrict x, const double* __restrict y, long n) {
  for (long i = 0; i < n; ++i) z[i] = x[i] * y[i];
}

void zvxy111(double* __restrict z, const double* __restrict x, const double* __restrict y, long n) {
  for (long i = 0; i < n; ++i) z[i] = x[i] + y[i];
}

void zvxay11(double a, double* y, const double* x, long n) {
  inner::axpy(a, x, y, n);
}

void zvsubt(double* data, int nvar, long n, long stride, const double* shift) {
  for (int j = 0; j < nvar; ++j) {
    double* __restrict col = data + j * stride;
    const double s = shift[j];
    for (long i = 0; i < n; ++i) col[i] = s - col[i];
  }
}

void zvscpm(const double* data, int nvar, long n, long stride, double* sums, double* sscp) {
  for (int j = 0; j < nvar; ++j) {
    const double* xj = data + j * stride;
    sums[j] += inner::sum(xj, n);
    sscp[packed_index(j, j)] += inner::dot(xj, xj, n);
    for (int k = j + 1; k < nvar; ++k)
      sscp[packed_index(k, j)] += inner::dot(xj, data + k * stride, n);
  }
}

void zvscpwm(double* data, int nvar, long n, long stride, const double* w, double* sums,
             double* sscp) {
  for (int j = 0; j < nvar; ++j) {
    double* __restrict xj = data + j * stride;
    double s0 = 0.0, s1 = 0.0, q0 = 0.0, q1 = 0.0;
    long i = 0;
    for (; i + 2 <= n; i += 2) {
      const double a0 = w[i] * xj[i], a1 = w[i + 1] * xj[i + 1];
      s0 += a0;
      s1 += a1;
      q0 += xj[i] * a0;
      q1 += xj[i + 1] * a1;
      xj[i] = a0;
      xj[i + 1] = a1;
    }
    for (; i < n; ++i) {
      const double a0 = w[i] * xj[i];
      s0 += a0;
      q0 += xj[i] * a0;
      xj[i] = a0;
    }
    sums[j] += s0 + s1;
    sscp[packed_index(j, j)] += q0 + q1;
    for (int k = j + 1; k < nvar; ++k)
      sscp[packed_index(k, j)] += inner::dot(xj, data + k * stride, n);
  }
}

void zscp(double w, const double* x, int n, double* sscp) {
  for (int k = 0; k < n; ++k) inner::axpy(w * x[k], x, sscp + packed_index(k, 0), k + 1);
}

double zvardiv(std::string_view vardef, double n, double df, double wsum,
               const std::function<void(const char*)>& debug) {
  const char second = vardef.size() > 1 ? vardef[1] : '\0';
  auto at_least_zero = [](double v) { return v > 0.0 ? v : 0.0; };
  switch (second) {
    case ' ':
    case '\0':
      return at_least_zero(n);  // N
    case 'F':
      return at_least_zero(n - df);  // DF
    case 'D': {                      // WDF
      double w = wsum - df;
      // A weight sum that exceeds df only by rounding noise leaves nothing.
      if (w * 0.0001 + df == df) w = 0.0;
      return at_least_zero(w);
    }
    case 'E':
    case 'G':
      return at_least_zero(wsum);  // WEIGHT, WGT
    default:
      if (debug) {
        const std::string text = "ERROR: invalid VARDEF=" + std::string(vardef.substr(0, 8)) + ".";
        debug(text.c_str());
      }
      return at_least_zero(n - df);
  }
}

}  // namespace kav
