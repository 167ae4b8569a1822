#pragma once
// Vector kernels of the moment pass. Observation buffers are column-major:
// value j of observation i lies at data[j*stride + i], n observations per
// column (64 in a full buffer), so every sum is a contiguous dot product.
// Crossproduct triangles are packed lower triangles, row by row.

#include <functional>
#include <string_view>
#include <vector>

namespace kav {

// Sum of x[0..n).
double zvsum(const double* x, long n);
// z[i] = x[i] * y[i].
void zvme111(double* z, const double* x, const double* y, long n);
// z[i] = x[i] + y[i].
void zvxy111(double* z, const double* x, const double* y, long n);
// y[i] += a * x[i].
void zvxay11(double a, double* y, const double* x, long n);
// Each column j of the buffer becomes shift[j] - data.
void zvsubt(double* data, int nvar, long n, long stride, const double* shift);
// sums[j] += sum over the buffer of x_ij; sscp (j, j) += sum x_ij^2 and
// sscp (k, j) += sum x_ij x_ik for k > j. Each buffer sum is formed from zero
// and then added to the running value.
void zvscpm(const double* data, int nvar, long n, long stride, double* sums, double* sscp);
// The versions of zvscpm this processor can run, the one zvscpm uses first
// (they give the same bits; the tests run each).
using CrossproductsFunction = void (*)(const double*, int, long, long, double*, double*);
struct CrossproductsVersion {
  const char* unit;
  CrossproductsFunction run;
};
std::vector<CrossproductsVersion> zvscpm_versions();
// The weighted form: column j is replaced by w_i x_ij; sums[j] += sum w_i x_ij;
// sscp (j, j) += sum x_ij (w_i x_ij); sscp (k, j) += sum (w_i x_ij) x_ik for
// k > j (the columns k > j are still unweighted at that moment).
void zvscpwm(double* data, int nvar, long n, long stride, const double* w, double* sums,
             double* sscp);
// sscp += w x x' (packed, order n).
void zscp(double w, const double* x, int n, double* sscp);

// The variance divisor chosen by the VARDEF= text (8 characters, blank
// padded) from the sum of frequencies n, the degrees of freedom df and the
// sum of weights wsum. An unknown text is reported through debug (when set)
// and gives the DF divisor.
double zvardiv(std::string_view vardef, double n, double df, double wsum,
               const std::function<void(const char*)>& debug = {});

}  // namespace kav
