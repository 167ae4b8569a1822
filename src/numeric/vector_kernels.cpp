// Vector kernels of the moment pass. The sums use several partial sums so
// that the compiler can keep them in vector registers.
//
// The crossproducts take one column against several at a time (the column
// is loaded once for all of them, and their sums are independent chains
// that keep the adder busy), each dot product with four partial sums, lane
// l taking the products i = l mod 4, added up as (0 + 2) + (1 + 3): the
// order inner::dot adds in.  The kernel is built for baseline x86-64 and
// again for AVX2, chosen when the program starts by what the processor has
// (GCC function multi-versioning), so the binary runs anywhere.  The AVX2
// build holds the four lanes in one register; neither build fuses a
// multiply and an add (baseline x86-64 has no fused multiply-add and the
// AVX2 build is not given it), so both give the very same bits.  Fusing
// would be no faster where the adds have pipes of their own (AMD Zen), and
// would make results differ between machines.

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

namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KAV_KERNEL_VERSIONS __attribute__((target_clones("avx2", "default")))
#else
#define KAV_KERNEL_VERSIONS
#endif

using Lanes = double __attribute__((vector_size(32)));  // four partial sums

// Passed by reference: a four-double vector passed by value would be passed
// differently by the AVX2 build and the baseline one.
[[gnu::always_inline]] inline void load(Lanes& v, const double* x) {
  __builtin_memcpy(&v, x, sizeof v);
}

[[gnu::always_inline]] inline double total(const Lanes& s) {
  return (s[0] + s[2]) + (s[1] + s[3]);
}

// sscp (k, j) += the dot product of columns j and k, for every k > j.
template <int kBlock>
[[gnu::always_inline]] inline void crossproducts_after(const double* data, int nvar, long n,
                                                       long stride, int j, double* sscp) {
  const double* xj = data + j * stride;
  int k = j + 1;
  for (; k + kBlock <= nvar; k += kBlock) {
    const double* xk = data + k * stride;
    Lanes s[kBlock] = {};
    long i = 0;
    for (; i + 4 <= n; i += 4) {
      Lanes a, c;
      load(a, xj + i);
      for (int b = 0; b < kBlock; ++b) {
        load(c, xk + b * stride + i);
        s[b] += a * c;
      }
    }
    for (; i < n; ++i)
      for (int b = 0; b < kBlock; ++b) s[b][0] += xj[i] * xk[b * stride + i];
    for (int b = 0; b < kBlock; ++b) sscp[packed_index(k + b, j)] += total(s[b]);
  }
  for (; k < nvar; ++k) sscp[packed_index(k, j)] += inner::dot(xj, data + k * stride, n);
}

// The same for columns j and j + 1 together against every k > j + 1: each
// column k loaded serves both.
template <int kBlock>
[[gnu::always_inline]] inline void crossproducts_after_pair(const double* data, int nvar, long n,
                                                            long stride, int j, double* sscp) {
  const double* xa = data + j * stride;
  const double* xb = xa + stride;
  int k = j + 2;
  for (; k + kBlock <= nvar; k += kBlock) {
    const double* xk = data + k * stride;
    Lanes sa[kBlock] = {}, sb[kBlock] = {};
    long i = 0;
    for (; i + 4 <= n; i += 4) {
      Lanes a, b, c;
      load(a, xa + i);
      load(b, xb + i);
      for (int q = 0; q < kBlock; ++q) {
        load(c, xk + q * stride + i);
        sa[q] += a * c;
        sb[q] += b * c;
      }
    }
    for (; i < n; ++i)
      for (int q = 0; q < kBlock; ++q) {
        sa[q][0] += xa[i] * xk[q * stride + i];
        sb[q][0] += xb[i] * xk[q * stride + i];
      }
    for (int q = 0; q < kBlock; ++q) {
      sscp[packed_index(k + q, j)] += total(sa[q]);
      sscp[packed_index(k + q, j + 1)] += total(sb[q]);
    }
  }
  for (; k < nvar; ++k) {
    sscp[packed_index(k, j)] += inner::dot(xa, data + k * stride, n);
    sscp[packed_index(k, j + 1)] += inner::dot(xb, data + k * stride, n);
  }
}

}  // namespace

KAV_KERNEL_VERSIONS
void zvscpm(const double* data, int nvar, long n, long stride, double* sums, double* sscp) {
  int j = 0;
  for (; j + 2 <= nvar; j += 2) {
    const double* xa = data + j * stride;
    const double* xb = xa + stride;
    sums[j] += inner::sum(xa, n);
    sscp[packed_index(j, j)] += inner::dot(xa, xa, n);
    sscp[packed_index(j + 1, j)] += inner::dot(xa, xb, n);
    sums[j + 1] += inner::sum(xb, n);
    sscp[packed_index(j + 1, j + 1)] += inner::dot(xb, xb, n);
    crossproducts_after_pair<4>(data, nvar, n, stride, j, sscp);
  }
  for (; j < nvar; ++j) {
    const double* xj = data + j * stride;
    sums[j] += inner::sum(xj, n);
    sscp[packed_index(j, j)] += inner::dot(xj, xj, n);
  }
}

KAV_KERNEL_VERSIONS
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
    crossproducts_after<6>(data, nvar, n, stride, j, sscp);
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
