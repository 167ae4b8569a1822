// Small dense algebra on matrices held row by row, written out plainly, for
// the checks of tests in several folders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kav::dense {

using Mat = std::vector<std::vector<double>>;

inline Mat zeros(std::size_t r, std::size_t c) {
  return Mat(r, std::vector<double>(c, 0.0));
}
inline Mat mul(const Mat& a, const Mat& b) {
  Mat c = zeros(a.size(), b[0].size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t k = 0; k < b.size(); ++k)
      for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][k] * b[k][j];
  return c;
}
inline Mat tr(const Mat& a) {
  Mat t = zeros(a[0].size(), a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < a[0].size(); ++j) t[j][i] = a[i][j];
  return t;
}
// Inverse by Gauss-Jordan with partial pivoting.
inline Mat inv(Mat a) {
  const std::size_t n = a.size();
  Mat b = zeros(n, n);
  for (std::size_t i = 0; i < n; ++i) b[i][i] = 1;
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    for (std::size_t r = c + 1; r < n; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[piv][c])) piv = r;
    std::swap(a[c], a[piv]);
    std::swap(b[c], b[piv]);
    const double d = a[c][c];
    for (std::size_t j = 0; j < n; ++j) a[c][j] /= d, b[c][j] /= d;
    for (std::size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      const double f = a[r][c];
      for (std::size_t j = 0; j < n; ++j) a[r][j] -= f * a[c][j], b[r][j] -= f * b[c][j];
    }
  }
  return b;
}
inline double maxdiff(const Mat& a, const Mat& b) {
  EXPECT_EQ(a.size(), b.size());
  double d = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    EXPECT_EQ(a[i].size(), b[i].size());
    for (std::size_t j = 0; j < a[i].size() && j < b[i].size(); ++j)
      d = std::max(d, std::fabs(a[i][j] - b[i][j]));
  }
  return d;
}

}  // namespace kav::dense
