// Independent computations for the tests of the number-of-factors aids:
// cyclic Jacobi eigen decomposition, sample correlations, Velicer's MAP as
// he defined it (R - AA' for the loadings A of the leading components), and
// data with a known number of factors.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

namespace kav::reference {

using Rows = std::vector<std::vector<double>>;

// Eigenvalues largest first; vectors[k] is the k-th eigenvector.
struct EigenPairs {
  std::vector<double> values;
  Rows vectors;
};

inline EigenPairs jacobi(Rows a) {
  const std::size_t n = a.size();
  Rows v(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i) v[i][i] = 1;
  auto rotate = [](double& x, double& y, double c, double s) {
    const double x0 = x;
    x = c * x0 - s * y;
    y = s * x0 + c * y;
  };
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) off += a[i][j] * a[i][j];
    if (off < 1e-32) break;
    for (std::size_t p = 0; p < n; ++p)
      for (std::size_t q = p + 1; q < n; ++q) {
        if (std::fabs(a[p][q]) < 1e-300) continue;
        const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        const double t =
            (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (std::size_t k = 0; k < n; ++k) rotate(a[k][p], a[k][q], c, s);
        for (std::size_t k = 0; k < n; ++k) rotate(a[p][k], a[q][k], c, s);
        for (std::size_t k = 0; k < n; ++k) rotate(v[k][p], v[k][q], c, s);
      }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](auto x, auto y) { return a[x][x] > a[y][y]; });
  EigenPairs e;
  for (std::size_t k : order) {
    e.values.push_back(a[k][k]);
    std::vector<double> col(n);
    for (std::size_t i = 0; i < n; ++i) col[i] = v[i][k];
    e.vectors.push_back(col);
  }
  return e;
}

// Correlations of the columns of x (one observation per row).
inline Rows correlations(const Rows& x) {
  const std::size_t n = x.size(), p = x[0].size();
  std::vector<double> mean(p, 0.0);
  for (const auto& r : x)
    for (std::size_t j = 0; j < p; ++j) mean[j] += r[j] / static_cast<double>(n);
  Rows c(p, std::vector<double>(p, 0.0));
  for (const auto& r : x)
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t k = 0; k < p; ++k) c[j][k] += (r[j] - mean[j]) * (r[k] - mean[k]);
  Rows out = c;
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = 0; k < p; ++k) out[j][k] = c[j][k] / std::sqrt(c[j][j] * c[k][k]);
  return out;
}

// Velicer's MAP: the averaged squared and fourth-power correlations of the
// partial covariances left after m = 0 .. n - 1 leading components.
struct Map {
  std::vector<double> map2, map4;
};

inline Map velicer(const Rows& r) {
  const std::size_t n = r.size();
  const EigenPairs e = jacobi(r);
  Map out{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  for (std::size_t m = 0; m < n; ++m) {
    Rows c = r;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < m; ++k)
          c[i][j] -= e.values[k] * e.vectors[k][i] * e.vectors[k][j];
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        if (i == j) continue;
        const double q = c[i][j] / std::sqrt(c[i][i] * c[j][j]), q2 = q * q;
        out.map2[m] += q2 / (n * (n - 1.0));
        out.map4[m] += q2 * q2 / (n * (n - 1.0));
      }
  }
  return out;
}

// nobs observations of `factors` independent factors, each loading
// `loading` on its own block of `per` variables, the rest unique noise.
inline Rows factor_data(int nobs, int factors, int per, double loading, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> z;
  const double unique = std::sqrt(1 - loading * loading);
  Rows x(static_cast<std::size_t>(nobs));
  for (auto& row : x) {
    std::vector<double> f(static_cast<std::size_t>(factors));
    for (double& v : f) v = z(gen);
    for (int j = 0; j < factors * per; ++j)
      row.push_back(loading * f[static_cast<std::size_t>(j / per)] + unique * z(gen));
  }
  return x;
}

}  // namespace kav::reference
