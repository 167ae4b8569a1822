// The rotation criteria as the literature writes them, on loadings held
// row by row, for tests that check the procedure's and the extension's
// weights and solutions against them.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "support/dense.h"

namespace kav::criteria {

using dense::Mat;

// Oblique criteria as their definitions write them, on loadings l: the
// oblimin family sum_{j != k} [sum_i l_ij^2 l_ik^2 - tau/p sum_i l_ij^2
// sum_i l_ik^2], and Crawford-Ferguson k1 (row complexity) + k2 (column
// complexity).
inline double oblimin(const Mat& l, double tau) {
  const std::size_t p = l.size(), m = l[0].size();
  double f = 0;
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = 0; k < m; ++k) {
      if (j == k) continue;
      double cross = 0, sj = 0, sk = 0;
      for (std::size_t i = 0; i < p; ++i) {
        cross += l[i][j] * l[i][j] * l[i][k] * l[i][k];
        sj += l[i][j] * l[i][j];
        sk += l[i][k] * l[i][k];
      }
      f += cross - tau / static_cast<double>(p) * sj * sk;
    }
  return f;
}
inline double crawford_ferguson(const Mat& l, double k1, double k2) {
  const std::size_t p = l.size(), m = l[0].size();
  double rows = 0, cols = 0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t k = 0; k < m; ++k)
        if (j != k) rows += l[i][j] * l[i][j] * l[i][k] * l[i][k];
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t h = 0; h < p; ++h)
        if (i != h) cols += l[i][j] * l[i][j] * l[h][j] * l[h][j];
  return k1 * rows + k2 * cols;
}

// The generalised criterion with weights g: g0 (sum of squares)^2 + g1 sum
// of squared row sums of squares + g2 the same for columns + g3 sum of
// fourth powers; the weights taken by their magnitudes if asked (a scale
// for the criterion's size).
inline double generalised(const Mat& l, const double* g, bool by_magnitude = false) {
  double t[4] = {0, 0, 0, 0};
  std::vector<double> col(l[0].size(), 0.0);
  for (const auto& row : l) {
    double s = 0;
    for (std::size_t j = 0; j < row.size(); ++j) {
      s += row[j] * row[j];
      col[j] += row[j] * row[j];
      t[3] += row[j] * row[j] * row[j] * row[j];
    }
    t[0] += s;
    t[1] += s * s;
  }
  for (double c : col) t[2] += c * c;
  t[0] *= t[0];
  double q = 0;
  for (int k = 0; k < 4; ++k) q += (by_magnitude ? std::fabs(g[k]) : g[k]) * t[k];
  return q;
}

}  // namespace kav::criteria
