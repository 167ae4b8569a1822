// The moment pass's vector kernels against plain loops.
#include "numeric/vector_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "numeric/matrix.h"

namespace kav {
namespace {

using V = std::vector<double>;

TEST(VectorKernels, ElementwiseAndSums) {
  const V x = {1, 2, 3, 4, 5, 6, 7}, y = {7, 6, 5, 4, 3, 2, 1};
  V z(7);
  EXPECT_EQ(zvsum(x.data(), 7), 28);
  EXPECT_EQ(zvsum(x.data(), 0), 0);
  zvme111(z.data(), x.data(), y.data(), 7);
  EXPECT_EQ(z, (V{7, 12, 15, 16, 15, 12, 7}));
  zvxy111(z.data(), x.data(), y.data(), 7);
  EXPECT_EQ(z, V(7, 8.0));
  zvxay11(0.5, z.data(), x.data(), 7);
  EXPECT_EQ(z, (V{8.5, 9, 9.5, 10, 10.5, 11, 11.5}));
  V sscp(6, 1.0);
  const double o[] = {1, -2, 3};
  zscp(0.5, o, 3, sscp.data());
  EXPECT_EQ(sscp, (V{1.5, 0, 3, 2.5, -2, 5.5}));
}

TEST(VectorKernels, BufferCrossproductsAddPlainSumsToTheRunningValues) {
  // Buffers of five columns with stride 64 and 1, 7 or 64 rows used; the
  // weighted form leaves each column weighted.
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> u(-3, 5);
  const int nvar = 5, stride = 64;
  for (long rows : {1L, 7L, 64L}) {
    SCOPED_TRACE(rows);
    V x(stride * nvar, 0.0), w(stride);
    for (int j = 0; j < nvar; ++j)
      for (long i = 0; i < rows; ++i) x[j * stride + i] = u(rng);
    for (long i = 0; i < rows; ++i) w[i] = 0.25 + i % 3;
    V shifted = x, weighted = x;
    const V shift = {1, -2, 0.5, 3, 0};
    zvsubt(shifted.data(), nvar, rows, stride, shift.data());
    V sums(nvar, 1.0), sscp(nvar * (nvar + 1) / 2, 2.0), wsums(nvar, 0.0), wsscp(sscp.size(), 0.0);
    zvscpm(shifted.data(), nvar, rows, stride, sums.data(), sscp.data());
    zvscpwm(weighted.data(), nvar, rows, stride, w.data(), wsums.data(), wsscp.data());
    for (int j = 0; j < nvar; ++j) {
      double s = 0, ws = 0;
      for (long i = 0; i < rows; ++i) {
        const double d = shift[j] - x[j * stride + i];
        EXPECT_EQ(shifted[j * stride + i], d);
        EXPECT_EQ(weighted[j * stride + i], w[i] * x[j * stride + i]);
        s += d;
        ws += w[i] * x[j * stride + i];
      }
      EXPECT_NEAR(sums[j], 1.0 + s, 1e-12);
      EXPECT_NEAR(wsums[j], ws, 1e-12);
      for (int k = j; k < nvar; ++k) {
        double c = 0, wc = 0;
        for (long i = 0; i < rows; ++i) {
          c += (shift[j] - x[j * stride + i]) * (shift[k] - x[k * stride + i]);
          wc += w[i] * x[j * stride + i] * x[k * stride + i];
        }
        EXPECT_NEAR(sscp[packed_index(k, j)], 2.0 + c, 1e-11);
        EXPECT_NEAR(wsscp[packed_index(k, j)], wc, 1e-11);
      }
    }
  }
}

TEST(VectorKernels, VarianceDivisor) {
  const struct {
    std::string vardef;
    double n, wsum, divisor;
  } cases[] = {
      {"N       ", 10, 7.5, 10},
      {std::string("N\0\0\0\0\0\0\0", 8), 10, 7.5, 10},
      {"DF      ", 10, 7.5, 9},
      {"DF      ", 0.5, 7.5, 0},
      {"WDF     ", 10, 7.5, 6.5},
      {"WEIGHT  ", 10, 7.5, 7.5},
      {"WGT     ", 10, -3, 0},
      {"N       ", -2, 7.5, 0},
      // A weight sum that exceeds df only by rounding noise leaves nothing.
      {"WDF     ", 10, 1.0 + 1e-13, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(zvardiv(c.vardef, c.n, 1, c.wsum), c.divisor) << c.vardef;
  EXPECT_GT(zvardiv("WDF     ", 10, 1, 1.01), 0);
  std::string said;
  EXPECT_EQ(zvardiv("XYZ     ", 10, 1, 7.5, [&](const char* t) { said = t; }), 9);
  EXPECT_EQ(said, "ERROR: invalid VARDEF=XYZ     .");
}

}  // namespace
}  // namespace kav
