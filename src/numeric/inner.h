#pragma once
// Small inner loops shared by the numerical routines. They are written with
// several independent partial sums so that the compiler can keep them in
// vector registers without being allowed to reassociate on its own.

#include <cstddef>

// A routine whose loops the compiler vectorises is built for baseline
// x86-64 and again for AVX2 and AVX-512 (x86-64-v4), the version chosen when
// the program starts by what the processor has.  The versions give the same
// bits: the compiler vectorises only where the order of the operations
// stays as written, and the project compiles with -ffp-contract=off, so no
// multiply and add are fused.
// (Not under the thread sanitizer, whose run-time is not set up yet when
// the loader runs the functions that choose the version.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define KAV_VECTOR_VERSIONS __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define KAV_VECTOR_VERSIONS
#endif

namespace kav::inner {

// Sum of x[i]*y[i] for i < n.
inline double dot(const double* x, const double* y, std::ptrdiff_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::ptrdiff_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += x[i] * y[i];
    s1 += x[i + 1] * y[i + 1];
    s2 += x[i + 2] * y[i + 2];
    s3 += x[i + 3] * y[i + 3];
  }
  for (; i < n; ++i) s0 += x[i] * y[i];
  return (s0 + s2) + (s1 + s3);
}

// dot(x[r], y, n) for the four rows x[0..3] at once, each with the very
// bits dot gives it: loading y once serves four independent sums.
inline void dot4(const double* const* x, const double* y, std::ptrdiff_t n, double* out) {
  const double *x0 = x[0], *x1 = x[1], *x2 = x[2], *x3 = x[3];
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0, b0 = 0.0, b1 = 0.0, b2 = 0.0, b3 = 0.0;
  double c0 = 0.0, c1 = 0.0, c2 = 0.0, c3 = 0.0, d0 = 0.0, d1 = 0.0, d2 = 0.0, d3 = 0.0;
  std::ptrdiff_t i = 0;
  for (; i + 4 <= n; i += 4) {
    a0 += x0[i] * y[i];
    a1 += x0[i + 1] * y[i + 1];
    a2 += x0[i + 2] * y[i + 2];
    a3 += x0[i + 3] * y[i + 3];
    b0 += x1[i] * y[i];
    b1 += x1[i + 1] * y[i + 1];
    b2 += x1[i + 2] * y[i + 2];
    b3 += x1[i + 3] * y[i + 3];
    c0 += x2[i] * y[i];
    c1 += x2[i + 1] * y[i + 1];
    c2 += x2[i + 2] * y[i + 2];
    c3 += x2[i + 3] * y[i + 3];
    d0 += x3[i] * y[i];
    d1 += x3[i + 1] * y[i + 1];
    d2 += x3[i + 2] * y[i + 2];
    d3 += x3[i + 3] * y[i + 3];
  }
  for (; i < n; ++i) {
    a0 += x0[i] * y[i];
    b0 += x1[i] * y[i];
    c0 += x2[i] * y[i];
    d0 += x3[i] * y[i];
  }
  out[0] = (a0 + a2) + (a1 + a3);
  out[1] = (b0 + b2) + (b1 + b3);
  out[2] = (c0 + c2) + (c1 + c3);
  out[3] = (d0 + d2) + (d1 + d3);
}

// Sum of x[i] for i < n.
inline double sum(const double* x, std::ptrdiff_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::ptrdiff_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += x[i];
    s1 += x[i + 1];
    s2 += x[i + 2];
    s3 += x[i + 3];
  }
  for (; i < n; ++i) s0 += x[i];
  return (s0 + s2) + (s1 + s3);
}

// y[i] += a*x[i] for i < n.
inline void axpy(double a, const double* __restrict x, double* __restrict y, std::ptrdiff_t n) {
  for (std::ptrdiff_t i = 0; i < n; ++i) y[i] += a * x[i];
}

// y := S x for the symmetric matrix S of order n held as a packed lower
// triangle row by row (equivalently, an upper triangle column by column).
// y must not overlap a or x.
inline void packed_symv(std::ptrdiff_t n, const double* a, const double* x, double* y) {
  for (std::ptrdiff_t j = 0; j < n; ++j) y[j] = 0.0;
  for (std::ptrdiff_t j = 0; j < n; ++j) {
    const double* row = a + j * (j + 1) / 2;
    y[j] += dot(row, x, j) + row[j] * x[j];
    axpy(x[j], row, y, j);
  }
}

}  // namespace kav::inner
