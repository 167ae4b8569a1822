#pragma once
// Small inner loops shared by the numerical routines. They are written with
// several independent partial sums so that the compiler can keep them in
// vector registers without being allowed to reassociate on its own.

#include <cstddef>
#include <cstring>

// A routine whose loops the compiler vectorises is built for baseline
// x86-64 and again for AVX2 and AVX-512 (x86-64-v4), the version chosen when
// the program starts by what the processor has.  The versions give the same
// bits: the compiler vectorises only where the order of the operations
// stays as written, and the project compiles with -ffp-contract=off, so no
// multiply and add are fused.
// (Not under the thread sanitizer, whose run-time is not set up yet when
// the loader runs the functions that choose the version.)
// KAV_AVX2_VERSIONS leaves out the AVX-512 build, for loops that ran
// slower in it than in the AVX2 one (measured on an AVX-512 processor); an
// AVX-512 processor runs the AVX2 version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define KAV_VECTOR_VERSIONS __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#define KAV_AVX2_VERSIONS __attribute__((target_clones("avx2", "default")))
#else
#define KAV_VECTOR_VERSIONS
#define KAV_AVX2_VERSIONS
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
// bits dot gives it: loading y once serves four independent sums.  The
// four partial sums of a row are held as two pairs, (s0, s1) and (s2, s3),
// in two-lane vectors; written as plain scalars the compiler left them
// unvectorised and the Cholesky factor that uses this was slower than one
// row at a time.
inline void dot4(const double* const* x, const double* y, std::ptrdiff_t n, double* out) {
#if defined(__GNUC__)
  typedef double pair __attribute__((vector_size(16)));
  pair lo[4] = {}, hi[4] = {};
  std::ptrdiff_t i = 0;
  for (; i + 4 <= n; i += 4) {
    pair y0, y1;
    std::memcpy(&y0, y + i, sizeof y0);
    std::memcpy(&y1, y + i + 2, sizeof y1);
    for (int q = 0; q < 4; ++q) {
      pair x0, x1;
      std::memcpy(&x0, x[q] + i, sizeof x0);
      std::memcpy(&x1, x[q] + i + 2, sizeof x1);
      lo[q] += x0 * y0;
      hi[q] += x1 * y1;
    }
  }
  for (int q = 0; q < 4; ++q) {
    double s0 = lo[q][0];
    for (std::ptrdiff_t k = i; k < n; ++k) s0 += x[q][k] * y[k];
    out[q] = (s0 + hi[q][0]) + (lo[q][1] + hi[q][1]);
  }
#else
  for (int q = 0; q < 4; ++q) out[q] = dot(x[q], y, n);
#endif
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
