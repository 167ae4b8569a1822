#include "numeric/vector_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "numeric/matrix.h"

namespace kav {
namespace {

// A 64-row buffer of nvar columns with stride 64 and n used rows.
struct Buffer {
  static constexpr long kStride = 64;
  int nvar;
  long n;
  std::vector<double> data;
  Buffer(int v, long rows, std::mt19937_64& rng) : nvar(v), n(rows), data(kStride * v, 0.0) {
    std::uniform_real_distribution<double> u(-3, 5);
    for (int j = 0; j < v; ++j)
      for (long i = 0; i < rows; ++i) data[j * kStride + i] = u(rng);
  }
  double x(long i, int j) const { return data[j * kStride + i]; }
};

TEST(VectorKernels, ElementwiseAndSums) {
  const std::vector<double> x = {1, 2, 3, 4, 5, 6, 7}, y = {7, 6, 5, 4, 3, 2, 1};
  std::vector<double> z(7);
  EXPECT_EQ(zvsum(x.data(), 7), 28);
  EXPECT_EQ(zvsum(x.data(), 0), 0);
  zvme111(z.data(), x.data(), y.data(), 7);
  EXPECT_EQ(z, (std::vector<double>{7, 12, 15, 16, 15, 12, 7}));
  zvxy111(z.data(), x.data(), y.data(), 7);
  EXPECT_EQ(z, std::vector<double>(7, 8.0));
  zvxay11(0.5, z.data(), x.data(), 7);
  EXPECT_EQ(z, (std::vector<double>{8.5, 9, 9.5, 10, 10.5, 11, 11.5}));
}

TEST(VectorKernels, CrossproductsMatchPlainSums) {
  std::mt19937_64 rng(42);
  for (long rows : {1L, 7L, 64L}) {
    const int nvar = 5;
    Buffer b(nvar, rows, rng);
    const Buffer original = b;
    const std::vector<double> shift = {1, -2, 0.5, 3, 0};
    zvsubt(b.data.data(), nvar, rows, Buffer::kStride, shift.data());
    for (int j = 0; j < nvar; ++j)
      for (long i = 0; i < rows; ++i) EXPECT_EQ(b.x(i, j), shift[j] - original.x(i, j));

    // Running values are added to, not replaced.
    std::vector<double> sums(nvar, 1.0), sscp(nvar * (nvar + 1) / 2, 2.0);
    zvscpm(b.data.data(), nvar, rows, Buffer::kStride, sums.data(), sscp.data());
    for (int j = 0; j < nvar; ++j) {
      double s = 0;
      for (long i = 0; i < rows; ++i) s += b.x(i, j);
      EXPECT_NEAR(sums[j], 1.0 + s, 1e-12);
      for (int k = j; k < nvar; ++k) {
        double c = 0;
        for (long i = 0; i < rows; ++i) c += b.x(i, j) * b.x(i, k);
        EXPECT_NEAR(sscp[packed_index(k, j)], 2.0 + c, 1e-11);
      }
    }

    std::vector<double> w(64);
    for (long i = 0; i < rows; ++i) w[i] = 0.25 + i % 3;
    std::vector<double> wsums(nvar, 0.0), wsscp(nvar * (nvar + 1) / 2, 0.0);
    Buffer c = original;
    zvscpwm(c.data.data(), nvar, rows, Buffer::kStride, w.data(), wsums.data(), wsscp.data());
    for (int j = 0; j < nvar; ++j) {
      double s = 0;
      for (long i = 0; i < rows; ++i) {
        s += w[i] * original.x(i, j);
        EXPECT_EQ(c.x(i, j), w[i] * original.x(i, j));  // column left weighted
      }
      EXPECT_NEAR(wsums[j], s, 1e-12);
      for (int k = j; k < nvar; ++k) {
        double cc = 0;
        for (long i = 0; i < rows; ++i) cc += w[i] * original.x(i, j) * original.x(i, k);
        EXPECT_NEAR(wsscp[packed_index(k, j)], cc, 1e-11);
      }
    }
  }
}

TEST(VectorKernels, SingleObservationCrossproduct) {
  std::vector<double> sscp(6, 1.0);
  const double x[] = {1, -2, 3};
  zscp(0.5, x, 3, sscp.data());
  EXPECT_EQ(sscp, (std::vector<double>{1.5, 0, 3, 2.5, -2, 5.5}));
}

TEST(VectorKernels, VarianceDivisor) {
  EXPECT_EQ(zvardiv("N       ", 10, 1, 7.5), 10);
  EXPECT_EQ(zvardiv(std::string("N\0\0\0\0\0\0\0", 8), 10, 1, 7.5), 10);
  EXPECT_EQ(zvardiv("DF      ", 10, 1, 7.5), 9);
  EXPECT_EQ(zvardiv("DF      ", 0.5, 1, 7.5), 0);
  EXPECT_EQ(zvardiv("WDF     ", 10, 1, 7.5), 6.5);
  EXPECT_EQ(zvardiv("WEIGHT  ", 10, 1, 7.5), 7.5);
  EXPECT_EQ(zvardiv("WGT     ", 10, 1, -3), 0);
  EXPECT_EQ(zvardiv("N       ", -2, 1, 7.5), 0);
  // A weight sum that exceeds df only by rounding noise leaves nothing.
  EXPECT_EQ(zvardiv("WDF     ", 10, 1, 1.0 + 1e-13), 0);
  EXPECT_GT(zvardiv("WDF     ", 10, 1, 1.01), 0);
  std::string said;
  EXPECT_EQ(zvardiv("XYZ     ", 10, 1, 7.5, [&](const char* t) { said = t; }), 9);
  EXPECT_EQ(said, "ERROR: invalid VARDEF=XYZ     .");
}

}  // namespace
}  // namespace kav
