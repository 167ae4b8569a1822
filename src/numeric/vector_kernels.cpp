// Vector kernels of the moment pass. The sums use several partial sums so
// that the compiler can keep them in vector registers.
//
// The crossproducts take four columns j at a time against one or more
// columns k (each column k is loaded once for the four, and the sums are
// independent chains that keep the multipliers and adders busy), each dot
// product with four partial sums, lane l taking the products i = l mod 4,
// added up as (0 + 2) + (1 + 3): the order inner::dot adds in.  The four
// totals of one column k against columns j .. j + 3 are finished together
// and land side by side in row k of the triangle.  zvscpm is built for
// baseline x86-64, AVX2 and AVX-512 (x86-64-v4), chosen when the program
// starts by what the processor has, so the binary runs anywhere; the AVX-512
// build uses its 32 registers for twice the columns k at a time but keeps
// four lanes.  No build fuses a multiply and an add (the project compiles
// with -ffp-contract=off), so every build gives the very same bits.
// Fusing would be no faster where the adds have pipes of their own (AMD
// Zen), and would make results differ between machines.

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
#define KAV_VERSIONED 1
#else
#define KAV_VERSIONED 0
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

// Adds the totals of four lane vectors, one per column j .. j + 3 against
// the same column k, to the four neighbours out[0..3] of row k of the
// triangle: the lanes of two vectors are paired (0 + 2, 1 + 3) in one
// addition, and those pairs summed in a second, so that every total is
// (0 + 2) + (1 + 3) as total() forms it, four at a time.
[[gnu::always_inline]] inline void add_totals(double* out, const Lanes s[4]) {
  using Index = long long __attribute__((vector_size(32)));
  const Lanes u = __builtin_shuffle(s[0], s[1], Index{0, 1, 4, 5}) +
                  __builtin_shuffle(s[0], s[1], Index{2, 3, 6, 7});
  const Lanes v = __builtin_shuffle(s[2], s[3], Index{0, 1, 4, 5}) +
                  __builtin_shuffle(s[2], s[3], Index{2, 3, 6, 7});
  const Lanes t = __builtin_shuffle(u, v, Index{0, 2, 4, 6}) + __builtin_shuffle(u, v, Index{1, 3, 5, 7});
  Lanes o;
  load(o, out);
  o += t;
  __builtin_memcpy(out, &o, sizeof o);
}

// Columns j .. j + 3 together against every k > j + 3, kBlock columns k at
// a time: each column k loaded serves four dot products, and the four
// totals of a column k land side by side in its row of the triangle.
template <int kBlock>
[[gnu::always_inline]] inline void crossproducts_after_four(const double* data, int nvar, long n,
                                                            long stride, int j, double* sscp) {
  const double* x0 = data + j * stride;
  const double* x1 = x0 + stride;
  const double* x2 = x1 + stride;
  const double* x3 = x2 + stride;
  int k = j + 4;
  for (; k + kBlock <= nvar; k += kBlock) {
    const double* xk = data + k * stride;
    Lanes s[kBlock][4] = {};
    long i = 0;
    for (; i + 4 <= n; i += 4) {
      Lanes a0, a1, a2, a3, c;
      load(a0, x0 + i);
      load(a1, x1 + i);
      load(a2, x2 + i);
      load(a3, x3 + i);
      for (int q = 0; q < kBlock; ++q) {
        load(c, xk + q * stride + i);
        s[q][0] += a0 * c;
        s[q][1] += a1 * c;
        s[q][2] += a2 * c;
        s[q][3] += a3 * c;
      }
    }
    for (; i < n; ++i)
      for (int q = 0; q < kBlock; ++q) {
        const double c = xk[q * stride + i];
        s[q][0][0] += x0[i] * c;
        s[q][1][0] += x1[i] * c;
        s[q][2][0] += x2[i] * c;
        s[q][3][0] += x3[i] * c;
      }
    for (int q = 0; q < kBlock; ++q) add_totals(sscp + packed_index(k + q, j), s[q]);
  }
  for (; k < nvar; ++k)
    for (int r = 0; r < 4; ++r)
      sscp[packed_index(k, j + r)] += inner::dot(data + (j + r) * stride, data + k * stride, n);
}

// Sums, squares and crossproducts among columns j .. j + count - 1 only.
[[gnu::always_inline]] inline void within(const double* data, long n, long stride, int j, int count,
                                          double* sums, double* sscp) {
  for (int a = j; a < j + count; ++a) {
    const double* xa = data + a * stride;
    sums[a] += inner::sum(xa, n);
    for (int b = j; b <= a; ++b) sscp[packed_index(a, b)] += inner::dot(data + b * stride, xa, n);
  }
}

}  // namespace

namespace {

// Sums, squares and crossproducts among the four columns j .. j + 3: the
// ten dot products and four sums in lane vectors (a sum is a dot product
// with ones, the same bits, as x * 1 is x).
[[gnu::always_inline]] inline void within_four(const double* data, long n, long stride, int j,
                                               double* sums, double* sscp) {
  const double* x = data + j * stride;
  Lanes s[4][4] = {}, t[4] = {};
  long i = 0;
  for (; i + 4 <= n; i += 4) {
    Lanes a[4];
    for (int r = 0; r < 4; ++r) load(a[r], x + r * stride + i);
    for (int r = 0; r < 4; ++r) {
      t[r] += a[r];
      for (int c = 0; c <= r; ++c) s[r][c] += a[r] * a[c];
    }
  }
  for (; i < n; ++i)
    for (int r = 0; r < 4; ++r) {
      t[r][0] += x[r * stride + i];
      for (int c = 0; c <= r; ++c) s[r][c][0] += x[r * stride + i] * x[c * stride + i];
    }
  for (int r = 0; r < 4; ++r) {
    sums[j + r] += total(t[r]);
    for (int c = 0; c <= r; ++c) sscp[packed_index(j + r, j + c)] += total(s[r][c]);
  }
}

template <int kBlock>
[[gnu::always_inline]] inline void crossproducts(const double* data, int nvar, long n, long stride,
                                                 double* sums, double* sscp) {
  int j = 0;
  for (; j + 4 <= nvar; j += 4) {
    within_four(data, n, stride, j, sums, sscp);
    crossproducts_after_four<kBlock>(data, nvar, n, stride, j, sscp);
  }
  within(data, n, stride, j, nvar - j, sums, sscp);
}

}  // namespace

// One version per vector unit, each with the widest block of columns k its
// registers hold (sixteen lane vectors of sums need the 32 registers of
// AVX-512, used here at four lanes for the same sums; AVX2's 16 take
// eight), chosen once by what the processor has.
namespace {

void crossproducts_baseline(const double* data, int nvar, long n, long stride, double* sums,
                            double* sscp) {
  crossproducts<2>(data, nvar, n, stride, sums, sscp);
}

#if KAV_VERSIONED
__attribute__((target("avx2"))) void crossproducts_avx2(const double* data, int nvar, long n,
                                                        long stride, double* sums, double* sscp) {
  crossproducts<2>(data, nvar, n, stride, sums, sscp);
}

__attribute__((target("arch=x86-64-v4"))) void crossproducts_avx512(const double* data, int nvar,
                                                                    long n, long stride,
                                                                    double* sums, double* sscp) {
  crossproducts<4>(data, nvar, n, stride, sums, sscp);
}
#endif

}  // namespace

std::vector<CrossproductsVersion> zvscpm_versions() {
  std::vector<CrossproductsVersion> v;
#if KAV_VERSIONED
  __builtin_cpu_init();
  if (__builtin_cpu_supports("x86-64-v4")) v.push_back({"avx512", crossproducts_avx512});
  if (__builtin_cpu_supports("avx2")) v.push_back({"avx2", crossproducts_avx2});
#endif
  v.push_back({"baseline", crossproducts_baseline});
  return v;
}

void zvscpm(const double* data, int nvar, long n, long stride, double* sums, double* sscp) {
  static const CrossproductsFunction version = zvscpm_versions().front().run;
  version(data, nvar, n, stride, sums, sscp);
}

KAV_VECTOR_VERSIONS
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
