// Rotations written out from their definitions, for the tests that check
// the procedure's rotated solutions and their standard errors: Kaiser's
// row normalisation, his pairwise planar rotations for the orthomax family,
// least-squares Procrustes and the promax target.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace kav::progtest {

// The outcome of a program whose steps must all run cleanly.
inline Outcome ran(const std::string& program) {
  Outcome r = run(program);
  for (std::size_t k = 0; k < r.results["steps"].size(); ++k)
    EXPECT_EQ(exit_code(r, static_cast<int>(k)), 0) << r.log;
  return r;
}

// Rows scaled to unit length; `h` receives the lengths.
inline Mat normalised(const Mat& a, std::vector<double>& h) {
  Mat x = a;
  h.clear();
  for (auto& row : x) {
    double s = 0;
    for (double v : row) s += v * v;
    h.push_back(std::sqrt(s));
    for (double& v : row) v /= h.back();
  }
  return x;
}
inline Mat rescaled(Mat l, const std::vector<double>& h) {
  for (std::size_t i = 0; i < l.size(); ++i)
    for (double& v : l[i]) v *= h[i];
  return l;
}

// The least-squares transformation of x towards y, (x'x)^-1 x'y.
inline Mat lsq(const Mat& x, const Mat& y) {
  return mul(inv(mul(tr(x), x)), mul(tr(x), y));
}

// Pairwise planar rotations maximising sum_j [sum_i l^4 - gamma/p (sum_i
// l^2)^2], swept over all factor pairs until no angle is worth turning.
// The rows of a are normalised first with `kaiser`; the rotation starts
// from *t (orthogonal) when given, and *t receives it.
inline Mat orthomax(const Mat& a, double gamma, bool kaiser, Mat* t = nullptr) {
  std::vector<double> h(a.size(), 1.0);
  Mat l = kaiser ? normalised(a, h) : a;
  if (t) l = mul(l, *t);
  const std::size_t p = l.size(), m = l[0].size();
  auto turn = [](Mat& x, std::size_t j, std::size_t k, double cs, double sn) {
    for (auto& row : x) {
      const double y = row[j], z = row[k];
      row[j] = cs * y + sn * z;
      row[k] = -sn * y + cs * z;
    }
  };
  for (int sweep = 0; sweep < 2000; ++sweep) {
    double largest = 0;
    for (std::size_t j = 0; j + 1 < m; ++j)
      for (std::size_t k = j + 1; k < m; ++k) {
        double a1 = 0, b1 = 0, c1 = 0, d1 = 0;
        for (std::size_t i = 0; i < p; ++i) {
          const double u = l[i][j] * l[i][j] - l[i][k] * l[i][k], v = 2 * l[i][j] * l[i][k];
          a1 += u, b1 += v, c1 += u * u - v * v, d1 += 2 * u * v;
        }
        const double phi = std::atan2(d1 - 2 * gamma * a1 * b1 / static_cast<double>(p),
                                      c1 - gamma * (a1 * a1 - b1 * b1) / static_cast<double>(p)) /
                           4;
        largest = std::max(largest, std::fabs(phi));
        turn(l, j, k, std::cos(phi), std::sin(phi));
        if (t) turn(*t, j, k, std::cos(phi), std::sin(phi));
      }
    if (largest < 1e-15) break;
  }
  return rescaled(l, h);
}

// The least-squares transformation of b towards the target, then factors
// of unit variance; `phi` receives the factor correlations.
inline Mat procrustes(const Mat& b, const Mat& target, Mat& phi) {
  const std::size_t m = b[0].size();
  const Mat x = lsq(b, target);
  phi = inv(mul(tr(x), x));
  Mat l = mul(b, x);
  std::vector<double> s(m);
  for (std::size_t j = 0; j < m; ++j) s[j] = std::sqrt(phi[j][j]);
  for (auto& row : l)
    for (std::size_t j = 0; j < m; ++j) row[j] *= s[j];
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = 0; k < m; ++k) phi[j][k] /= s[j] * s[k];
  return l;
}

// The promax target of b: its rows normalised (with `rownorm`), raised to
// the power with their signs kept, each column scaled to a largest |value| of 1.
inline Mat promax_target(const Mat& b, double power, bool rownorm = true) {
  std::vector<double> h;
  Mat t = rownorm ? normalised(b, h) : b;
  for (auto& row : t)
    for (double& v : row) v = std::pow(std::fabs(v), power - 1) * v;
  for (std::size_t j = 0; j < t[0].size(); ++j) {
    double big = 0;
    for (const auto& row : t) big = std::max(big, std::fabs(row[j]));
    for (auto& row : t) row[j] /= big;
  }
  return t;
}

}  // namespace kav::progtest
