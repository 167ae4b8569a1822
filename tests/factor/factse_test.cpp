// Standard errors of maximum-likelihood solutions in whole PROC FACTOR
// steps, checked against what the test computes itself: the information
// matrix as the finite-difference Hessian of the ML discrepancy function,
// bordered by the numerically differentiated identification conditions
// (L' Psi^-1 L diagonal) and inverted; and for rotated solutions the delta
// method through the rotation differentiated numerically, with the test's
// own rotations (Kaiser's pairwise varimax, gradient projection quartimin,
// promax and Procrustes by least squares).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace kav::progtest;

const char* kTests24 =
    "proc factor data=ref.tests24(type=corr) method=ml nfactors=3 converge=1e-10 maxiter=500 ";
constexpr double kVardiv24 = 144;  // N - 1 of tests24

// A stack of a table (the occurrence-th of that name) as JSON rows; null
// when the table or the stack is not there.
const json* stack_rows(const Outcome& r, const std::string& name, const std::string& stack,
                       int occurrence = 1) {
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name && --occurrence == 0)
        return o.contains("stacks") && o["stacks"].contains(stack) ? &o["stacks"][stack] : nullptr;
  return nullptr;
}
Mat stack(const Outcome& r, const std::string& name, const std::string& stack, int occurrence = 1) {
  const json* rows = stack_rows(r, name, stack, occurrence);
  if (!rows) ADD_FAILURE() << "no " << stack << " stack in " << name << "\n" << r.log;
  Mat out;
  for (const auto& row : rows ? *rows : json::array()) {
    out.emplace_back();
    for (const auto& c : row) out.back().push_back(c.is_number() ? c.get<double>() : NAN);
  }
  return out;
}

// The outcome of a program whose steps must run cleanly.
Outcome ran(const std::string& program) {
  Outcome r = run(program);
  for (std::size_t k = 0; k < r.results["steps"].size(); ++k)
    EXPECT_EQ(exit_code(r, static_cast<int>(k)), 0) << r.log;
  return r;
}

// Largest relative difference (with a floor for tiny values).
double maxrel(const Mat& a, const Mat& b) {
  EXPECT_EQ(a.size(), b.size());
  double d = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    EXPECT_EQ(a[i].size(), b[i].size());
    for (std::size_t j = 0; j < a[i].size() && j < b[i].size(); ++j)
      d = std::max(d, std::fabs(a[i][j] - b[i][j]) / std::max(std::fabs(b[i][j]), 1e-6));
  }
  return d;
}

// ---------------------------------------------------------------------------
// The unrotated covariance, from the likelihood itself.

// log|S| + tr(S0 S^-1), the log determinant from a Cholesky factor of S.
double discrepancy(const Mat& s, const Mat& s0) {
  const std::size_t p = s.size();
  Mat l = zeros(p, p);
  double value = 0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j <= i; ++j) {
      double v = s[i][j];
      for (std::size_t k = 0; k < j; ++k) v -= l[i][k] * l[j][k];
      l[i][j] = i == j ? std::sqrt(v) : v / l[j][j];
    }
  const Mat si = inv(s);
  for (std::size_t i = 0; i < p; ++i) {
    value += 2 * std::log(l[i][i]);
    for (std::size_t j = 0; j < p; ++j) value += s0[i][j] * si[j][i];
  }
  return value;
}

// Covariance of the loadings (column by column) of an ML solution, as the
// inverse of the information matrix of loadings and unique variances
// bordered by the derivatives of the off-diagonal of L' Psi^-1 L.
Mat unrotated_covariance(const Mat& lam, double vardiv) {
  const std::size_t p = lam.size(), m = lam[0].size(), pm = p * m, n = pm + p;
  // Loadings column by column, then the unique variances.
  std::vector<double> th(n);
  for (std::size_t i = 0; i < p; ++i) {
    th[pm + i] = 1;
    for (std::size_t k = 0; k < m; ++k) {
      th[k * p + i] = lam[i][k];
      th[pm + i] -= lam[i][k] * lam[i][k];
    }
  }
  auto sigma = [&](const std::vector<double>& t) {
    Mat s = zeros(p, p);
    for (std::size_t i = 0; i < p; ++i) {
      s[i][i] = t[pm + i];
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < m; ++k) s[i][j] += t[k * p + i] * t[k * p + j];
    }
    return s;
  };
  const Mat s0 = sigma(th);

  // The information of one observation is half the Hessian of the
  // discrepancy at the fitted matrix.
  const double h = 1e-4;
  const std::size_t r = m * (m - 1) / 2;
  Mat big = zeros(n + r, n + r);
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = a; b < n; ++b) {
      auto at = [&](double da, double db) {
        std::vector<double> t = th;
        t[a] += da;
        t[b] += db;
        return discrepancy(sigma(t), s0);
      };
      big[a][b] = big[b][a] = (at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (8 * h * h);
    }
  // Bordered by the identification conditions, differentiated numerically.
  auto conditions = [&](const std::vector<double>& t) {
    std::vector<double> c;
    for (std::size_t k = 0; k < m; ++k)
      for (std::size_t l = k + 1; l < m; ++l) {
        double v = 0;
        for (std::size_t i = 0; i < p; ++i) v += t[k * p + i] * t[l * p + i] / t[pm + i];
        c.push_back(v);
      }
    return c;
  };
  for (std::size_t a = 0; a < n; ++a) {
    std::vector<double> up = th, down = th;
    up[a] += 1e-6;
    down[a] -= 1e-6;
    const auto cu = conditions(up), cd = conditions(down);
    for (std::size_t s = 0; s < r; ++s) big[n + s][a] = big[a][n + s] = (cu[s] - cd[s]) / 2e-6;
  }
  const Mat inverse = inv(big);
  Mat cov = zeros(pm, pm);
  for (std::size_t a = 0; a < pm; ++a)
    for (std::size_t b = 0; b < pm; ++b) cov[a][b] = inverse[a][b] / vardiv;
  return cov;
}

// The square roots of variances laid out column by column, as a p x m matrix.
Mat as_pattern(const std::vector<double>& variances, std::size_t p, std::size_t m) {
  Mat out = zeros(p, m);
  for (std::size_t k = 0; k < m; ++k)
    for (std::size_t i = 0; i < p; ++i) out[i][k] = std::sqrt(variances[k * p + i]);
  return out;
}
Mat unrotated_errors(const Mat& cov, std::size_t p, std::size_t m) {
  std::vector<double> d;
  for (std::size_t i = 0; i < cov.size(); ++i) d.push_back(cov[i][i]);
  return as_pattern(d, p, m);
}

// ---------------------------------------------------------------------------
// The test's own rotations.

// x with its rows normalised to unit length (Kaiser), and the lengths.
Mat normalised(const Mat& a, std::vector<double>& h) {
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
Mat rescaled(Mat l, const std::vector<double>& h) {
  for (std::size_t i = 0; i < l.size(); ++i)
    for (double& v : l[i]) v *= h[i];
  return l;
}

// The least-squares transformation of x towards y, (x'x)^-1 x'y.
Mat lsq(const Mat& x, const Mat& y) {
  return mul(inv(mul(tr(x), x)), mul(tr(x), y));
}
// The transformation that takes the (Kaiser-normalised) unrotated pattern
// a to the rotated y: the test's rotations start there, so that their
// results come in the printed order and signs.
Mat start_at(const Mat& a, Mat y, bool kaiser = true) {
  std::vector<double> h(a.size(), 1.0);
  const Mat x = kaiser ? normalised(a, h) : a;
  for (std::size_t i = 0; i < y.size(); ++i)
    for (double& v : y[i]) v /= h[i];
  return lsq(x, y);
}

// Kaiser's pairwise planar rotations for varimax, from the start t
// (orthogonal), sweeping until no angle is worth turning; t receives the
// rotation.  With `kaiser` the rows are normalised first.
Mat varimax(const Mat& a, Mat& t, bool kaiser = true) {
  std::vector<double> h(a.size(), 1.0);
  Mat l = mul(kaiser ? normalised(a, h) : a, t);
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
        const double phi = std::atan2(d1 - 2 * a1 * b1 / p, c1 - (a1 * a1 - b1 * b1) / p) / 4;
        largest = std::max(largest, std::fabs(phi));
        turn(l, j, k, std::cos(phi), std::sin(phi));
        turn(t, j, k, std::cos(phi), std::sin(phi));
      }
    if (largest < 1e-15) break;
  }
  return rescaled(l, h);
}

// Quartimin, sum_i sum_{j != k} l_ij^2 l_ik^2, by Jennrich's gradient
// projection over T with unit columns, L = X T^-T, on Kaiser-normalised
// rows; t is the start (near the solution) and receives the solution, phi
// the factor correlations T'T.
Mat quartimin(const Mat& a, Mat& t, Mat& phi) {
  std::vector<double> h;
  const Mat x = normalised(a, h);
  const std::size_t p = x.size(), m = x[0].size();
  // The criterion's gradient with respect to T, -(L' G T^-1)' with G its
  // gradient with respect to L, projected onto the unit columns' tangent
  // space; `length` receives its squared length.
  auto gradient = [&](const Mat& tt, double& length) {
    const Mat l = mul(x, tr(inv(tt)));
    Mat g = zeros(p, m);
    for (std::size_t i = 0; i < p; ++i) {
      double row = 0;
      for (double v : l[i]) row += v * v;
      for (std::size_t j = 0; j < m; ++j) g[i][j] = 4 * l[i][j] * (row - l[i][j] * l[i][j]);
    }
    const Mat gt = tr(mul(mul(tr(l), g), inv(tt)));
    Mat gp = gt;
    length = 0;
    for (std::size_t j = 0; j < m; ++j) {
      double s = 0;
      for (std::size_t i = 0; i < m; ++i) s += tt[i][j] * gt[i][j];
      for (std::size_t i = 0; i < m; ++i) {
        gp[i][j] = tt[i][j] * s - gt[i][j];
        length += gp[i][j] * gp[i][j];
      }
    }
    return gp;
  };
  // Near the solution a step is taken when it shortens the gradient, which
  // goes on to rounding level where the criterion's changes are lost.
  double alpha = 1, norm;
  Mat gp = gradient(t, norm);
  for (int it = 0; it < 100000 && norm > 1e-30; ++it) {
    bool moved = false;
    for (int half = 0; half < 60 && !moved; ++half, alpha /= 2) {
      Mat trial = t;
      for (std::size_t j = 0; j < m; ++j) {
        double s = 0;
        for (std::size_t i = 0; i < m; ++i) {
          trial[i][j] = t[i][j] - alpha * gp[i][j];
          s += trial[i][j] * trial[i][j];
        }
        for (std::size_t i = 0; i < m; ++i) trial[i][j] /= std::sqrt(s);
      }
      double shorter;
      Mat g = gradient(trial, shorter);
      if (shorter < norm) {
        t = trial, gp = g, norm = shorter, moved = true;
        alpha *= 4;  // undone once by the loop's halving
      }
    }
    if (!moved) break;
  }
  phi = mul(tr(t), t);
  return rescaled(mul(x, tr(inv(t))), h);
}

// The least-squares transformation of b towards the target t, then unit
// factor variances; phi receives the factor correlations.
Mat procrustes(const Mat& b, const Mat& t, Mat& phi) {
  const std::size_t m = b[0].size();
  const Mat x = lsq(b, t);
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

// Promax of b: the target from b's Kaiser-normalised rows raised to the
// power 3 (sign kept) and scaled to a largest element of 1 per column.
Mat promax(const Mat& b, Mat& phi) {
  std::vector<double> h;
  Mat t = normalised(b, h);
  for (std::size_t j = 0; j < t[0].size(); ++j) {
    double big = 0;
    for (auto& row : t) big = std::max(big, std::fabs(row[j] = std::pow(row[j], 3)));
    for (auto& row : t) row[j] /= big;
  }
  return procrustes(b, t, phi);
}

// ---------------------------------------------------------------------------
// The delta method through a numerically differentiated rotation.

// A rotated solution laid out as one vector: the pattern column by column,
// then (oblique) the factor correlations' lower triangle row by row, then
// the structure column by column.
using Rotation = std::function<std::vector<double>(const Mat& unrotated)>;

std::vector<double> flatten(const Mat& lam, const Mat* phi) {
  const std::size_t p = lam.size(), m = lam[0].size();
  std::vector<double> v;
  for (std::size_t k = 0; k < m; ++k)
    for (std::size_t i = 0; i < p; ++i) v.push_back(lam[i][k]);
  if (phi) {
    for (std::size_t a = 0; a < m; ++a)
      for (std::size_t b = 0; b <= a; ++b) v.push_back((*phi)[a][b]);
    const Mat s = mul(lam, *phi);
    for (std::size_t k = 0; k < m; ++k)
      for (std::size_t i = 0; i < p; ++i) v.push_back(s[i][k]);
  }
  return v;
}

// Variances of the rotated quantities: J C J' with J by central
// differences of the rotation at the unrotated pattern a.
std::vector<double> delta_method(const Mat& a, const Mat& cov, const Rotation& rotate) {
  const std::size_t p = a.size(), m = a[0].size(), pm = p * m;
  const double h = 1e-5;
  std::vector<std::vector<double>> jac;  // jac[in][out]
  for (std::size_t k = 0; k < m; ++k)
    for (std::size_t i = 0; i < p; ++i) {
      Mat up = a, down = a;
      up[i][k] += h;
      down[i][k] -= h;
      const auto ru = rotate(up), rd = rotate(down);
      jac.emplace_back(ru.size());
      for (std::size_t q = 0; q < ru.size(); ++q) jac.back()[q] = (ru[q] - rd[q]) / (2 * h);
    }
  std::vector<double> var(jac[0].size(), 0.0);
  for (std::size_t q = 0; q < var.size(); ++q)
    for (std::size_t s = 0; s < pm; ++s)
      for (std::size_t t = 0; t < pm; ++t) var[q] += jac[s][q] * cov[s][t] * jac[t][q];
  return var;
}

// The standard errors of an oblique solution's pattern, structure and
// factor correlations (whose diagonal is fixed at 1) against the variances
// the delta method gives, laid out as flatten's.
void expect_oblique(const Outcome& r, const std::vector<double>& var, std::size_t p,
                    std::size_t m) {
  const std::size_t pm = p * m, first_structure = pm + m * (m + 1) / 2;
  EXPECT_LT(maxrel(stack(r, "ObliqueRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  const std::vector<double> svar(var.begin() + static_cast<long>(first_structure), var.end());
  EXPECT_LT(maxrel(stack(r, "FactorStructure", "StdErr"), as_pattern(svar, p, m)), 1e-4);
  const Mat fse = stack(r, "InterFactorCorr", "StdErr");
  ASSERT_EQ(fse.size(), m);
  for (std::size_t u = 0; u < m; ++u)
    for (std::size_t v = 0; v < m; ++v) {
      const std::size_t hi = std::max(u, v), lo = std::min(u, v);
      const double expect = u == v ? 0.0 : std::sqrt(var[pm + hi * (hi + 1) / 2 + lo]);
      EXPECT_NEAR(fse[u][v], expect, 1e-4 * std::max(expect, 1e-6)) << u << "," << v;
    }
}

// ---------------------------------------------------------------------------

TEST(StandardErrors, OneFactorHasNoConditionsAndNothingToRotate) {
  const Outcome r = ran(
      "proc factor data=ref.physical8(type=corr) method=ml nfactors=1 converge=1e-10 maxiter=500 "
      "stderr rotate=varimax; run;");
  const Mat lam = table(r, "FactorPattern");
  ASSERT_FALSE(lam.empty());
  EXPECT_LT(maxrel(stack(r, "FactorPattern", "StdErr"),
                   unrotated_errors(unrotated_covariance(lam, 304), lam.size(), 1)),
            1e-4);
  EXPECT_TRUE(has_message(r, 102));
  EXPECT_FALSE(has_table(r, "OrthRotFactPat"));
}

TEST(StandardErrors, VarimaxFollowsTheDeltaMethodThroughTheRotation) {
  // With Kaiser's row normalisation (the default) its derivatives enter
  // as well; NORM=RAW rotates the pattern as it is.
  for (bool kaiser : {true, false}) {
    SCOPED_TRACE(kaiser ? "kaiser" : "raw");
    const Outcome r = ran(std::string(kTests24) + "stderr rotate=varimax" +
                          (kaiser ? "" : " norm=raw") + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat printed = table(r, "OrthRotFactPat");
    ASSERT_FALSE(a.empty());
    const std::size_t p = a.size(), m = a[0].size();
    const Mat t0 = start_at(a, printed, kaiser);
    ASSERT_LT(maxdiff(inv(t0), tr(t0)), 1e-8) << "an orthogonal rotation";
    Mat t = t0;
    ASSERT_LT(maxdiff(varimax(a, t, kaiser), printed), 1e-8) << "the test's varimax stays there";
    Rotation rotate = [&](const Mat& x) {
      Mat t = t0;
      return flatten(varimax(x, t, kaiser), nullptr);
    };
    const auto var = delta_method(a, unrotated_covariance(a, kVardiv24), rotate);
    EXPECT_LT(maxrel(stack(r, "OrthRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  }
}

TEST(StandardErrors, QuartiminWithLimitsCoverageAndOutstat) {
  // ALPHA= asks for the standard errors with their limits; OUTSTAT= keeps them.
  const fs::path dir = fs::temp_directory_path() / ("kav_sestat_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const Outcome r = ran("libname o '" + dir.string() + "';\n" + kTests24 +
                        "alpha=0.1 cover=0.45 rotate=quartimin outstat=o.stat; run;");
  const CsvData rows = read_csv(dir / "stat.csv");
  fs::remove_all(dir);
  const Mat a = table(r, "FactorPattern");
  const Mat printed = table(r, "ObliqueRotFactPat");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size();

  // The unrotated standard errors are the inverse bordered information's.
  const Mat cov = unrotated_covariance(a, kVardiv24);
  const Mat se = unrotated_errors(cov, p, m);
  EXPECT_LT(maxrel(stack(r, "FactorPattern", "StdErr"), se), 1e-4);

  // Their limits at ALPHA=0.1 are symmetric for the pattern of an oblique
  // solution; each element's coverage display places the target 0.45 (-0.45
  // for a negative loading) and 0 against its interval.
  const double q = 1.6448536269514722, c = 0.45;
  std::map<std::string, int> expected, shown;
  const json* displays = stack_rows(r, "FactorPattern", "Coverage");
  ASSERT_NE(displays, nullptr);
  const Mat lower = stack(r, "FactorPattern", "L"), upper = stack(r, "FactorPattern", "U");
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t k = 0; k < m; ++k) {
      const double x = a[i][k], l = x - q * se[i][k], u = x + q * se[i][k];
      EXPECT_NEAR(lower[i][k], l, 1e-4 * se[i][k]);
      EXPECT_NEAR(upper[i][k], u, 1e-4 * se[i][k]);
      std::string d;
      if (x < 0)
        d = u < 0 ? (l + c > 0    ? "*[]0"
                     : u + c >= 0 ? "[*]0"
                                  : "[]*0")
                  : (l + c <= 0 ? "[*0]" : "*[0]");
      else
        d = l > 0 ? (c < l ? "0*[]" : c <= u ? "0[*]" : "0[]*") : (c < u ? "[0*]" : "[0]*");
      ++expected[d];
      ++shown[(*displays)[i][k].get<std::string>()];
    }
  EXPECT_EQ(shown, expected);
  EXPECT_GE(expected.size(), 3u);  // the categories are not all one

  // The rotated solution by the delta method through the test's quartimin.
  const Mat t0 = tr(inv(start_at(a, printed)));
  Mat t = t0, phi;
  ASSERT_LT(maxdiff(quartimin(a, t, phi), printed), 1e-8) << "the test's quartimin stays there";
  EXPECT_LT(maxdiff(phi, table(r, "InterFactorCorr")), 1e-8);
  Rotation rotate = [&](const Mat& x) {
    Mat t = t0, f;
    return flatten(quartimin(x, t, f), &f);
  };
  expect_oblique(r, delta_method(a, cov, rotate), p, m);

  // OUTSTAT= rows hold what the tables show.
  auto first_columns = [&](Mat x) {
    for (auto& row : x) row.resize(m);
    return x;
  };
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "SE_UNROT")), stack(r, "FactorPattern", "StdErr")), 1e-12);
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "SE_PAT")), stack(r, "ObliqueRotFactPat", "StdErr")), 1e-12);
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "SE_STRUC")), stack(r, "FactorStructure", "StdErr")), 1e-12);
  EXPECT_LT(
      maxdiff(first_columns(stat_rows(rows, "SE_FCORR")), stack(r, "InterFactorCorr", "StdErr")),
      1e-12);
}

TEST(StandardErrors, PromaxFollowsTheDeltaMethodThroughItsPrerotation) {
  const Outcome r = ran(std::string(kTests24) + "stderr rotate=promax; run;");
  const Mat a = table(r, "FactorPattern");
  const Mat prerotated = table(r, "OrthRotFactPat");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size();
  const Mat t0 = start_at(a, prerotated);
  Mat phi;
  ASSERT_LT(maxdiff(promax(prerotated, phi), table(r, "ObliqueRotFactPat")), 1e-8)
      << "the test's promax is the step's";
  ASSERT_LT(maxdiff(phi, table(r, "InterFactorCorr")), 1e-8);
  const Mat cov = unrotated_covariance(a, kVardiv24);
  Rotation rotate = [&](const Mat& x) {
    Mat t = t0, f;
    const Mat l = promax(varimax(x, t), f);
    return flatten(l, &f);
  };
  expect_oblique(r, delta_method(a, cov, rotate), p, m);
  // The prerotation keeps its own standard errors.
  Rotation prerotate = [&](const Mat& x) {
    Mat t = t0;
    return flatten(varimax(x, t), nullptr);
  };
  EXPECT_LT(maxrel(stack(r, "OrthRotFactPat", "StdErr"),
                   as_pattern(delta_method(a, cov, prerotate), p, m)),
            1e-4);
}

TEST(StandardErrors, ProcrustesFollowsTheDeltaMethodFromTheUnrotatedSolution) {
  // A target of three blocks of eight tests.
  std::string names, lines;
  Mat target = zeros(24, 3);
  for (int i = 0; i < 24; ++i) {
    names += (i < 9 ? " T0" : " T") + std::to_string(i + 1);
    target[static_cast<std::size_t>(i)][static_cast<std::size_t>(i / 8)] = 1;
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 24; ++i) lines += i / 8 == j ? "1 " : "0 ";
    lines += "\n";
  }
  const Outcome r = ran("data tg; input" + names + ";\ndatalines;\n" + lines + ";\n" + kTests24 +
                        "stderr rotate=procrustes target=tg; run;");
  const Mat a = table(r, "FactorPattern");
  ASSERT_FALSE(a.empty());
  Mat phi;
  ASSERT_LT(maxdiff(procrustes(a, target, phi), table(r, "ObliqueRotFactPat")), 1e-8);
  Rotation rotate = [&](const Mat& x) {
    Mat f;
    const Mat l = procrustes(x, target, f);
    return flatten(l, &f);
  };
  expect_oblique(r, delta_method(a, unrotated_covariance(a, kVardiv24), rotate), a.size(),
                 a[0].size());
}

TEST(StandardErrors, WhatHasNoStandardErrorsSaysWhy) {
  // NORM=WEIGHT: message 360; the rotated pattern is shown without them,
  // the unrotated one with them.
  const Outcome w = ran(std::string(kTests24) + "stderr rotate=varimax norm=weight; run;");
  EXPECT_TRUE(has_message(w, 360));
  EXPECT_NE(stack_rows(w, "FactorPattern", "StdErr"), nullptr);
  EXPECT_EQ(stack_rows(w, "OrthRotFactPat", "StdErr"), nullptr);
  // Harris-Kaiser: message 359.
  const Outcome hk = ran(std::string(kTests24) + "stderr rotate=hk; run;");
  EXPECT_TRUE(has_message(hk, 359));
  EXPECT_EQ(stack_rows(hk, "ObliqueRotFactPat", "StdErr"), nullptr);
  // Promax after an oblique prerotation: message 359, the prerotated
  // solution keeps its own.
  const Outcome po = ran(std::string(kTests24) + "stderr prerotate=quartimin rotate=promax; run;");
  EXPECT_TRUE(has_message(po, 359));
  EXPECT_NE(stack_rows(po, "ObliqueRotFactPat", "StdErr"), nullptr);
  EXPECT_FALSE(table(po, "ObliqueRotFactPat", 2).empty());
  EXPECT_EQ(stack_rows(po, "ObliqueRotFactPat", "StdErr", 2), nullptr);
  // Other methods never compute them (the request is dropped with 353).
  const Outcome pf = ran("proc factor data=ref.tests24(type=corr) nfactors=3 stderr; run;");
  EXPECT_TRUE(has_message(pf, 353));
  EXPECT_EQ(stack_rows(pf, "FactorPattern", "StdErr"), nullptr);
}

// r12 r13 / r23 = 1.4: the one-factor fit wants a communality of 1.4 for x1,
// which HEYWOOD holds at 1 and ULTRAHEYWOOD lets through.  Either way the
// solution lies at the boundary of the parameter space, where asymptotic
// standard errors do not hold: a note names x1, and x1 only.
TEST(StandardErrors, ABoundarySolutionIsNotedWithItsVariables) {
  const std::string data =
      "data h(type=corr); input _type_ $ _name_ $ x1 x2 x3; datalines;\n"
      "N . 200 200 200\nCORR x1 1 .8 .7\nCORR x2 .8 1 .4\nCORR x3 .7 .4 1\n;\n"
      "proc factor data=h method=ml nfactors=1 stderr ";
  for (const char* option : {"heywood", "ultraheywood"}) {
    SCOPED_TRACE(option);
    const Outcome r = ran(data + option + "; run;");
    ASSERT_NE(stack_rows(r, "FactorPattern", "StdErr"), nullptr);
    std::string text;
    for (const auto& m : r.results["steps"][1]["log"])
      if (m["group"] == 180 && m["number"] == 368) text = m["text"];
    EXPECT_NE(text.find("x1"), std::string::npos) << r.log;
    EXPECT_EQ(text.find("x2"), std::string::npos);
    EXPECT_EQ(text.find("x3"), std::string::npos);
  }
  // An interior solution gets no such note.
  EXPECT_FALSE(has_message(ran(std::string(kTests24) + "stderr; run;"), 368));
}

TEST(StandardErrors, EachByGroupHasItsOwn) {
  // Raw data of a two-factor model for BY group g.
  auto two_factor_lines = [](int g, int n) {
    std::mt19937_64 rng(12345 + g);
    std::normal_distribution<double> z;
    std::string out;
    for (int k = 0; k < n; ++k) {
      const double f1 = z(rng), f2 = z(rng);
      out += std::to_string(g);
      for (int i = 0; i < 6; ++i)
        out += ' ' + std::to_string((i < 3 ? 0.75 : 0.15 + 0.05 * g) * f1 +
                                    (i < 3 ? 0.1 : 0.65) * f2 + 0.6 * z(rng));
      out += "\n";
    }
    return out;
  };
  // Each group's standard errors, unrotated and after a promax rotation
  // (which chains the prerotation's derivatives), are those of the group
  // analysed alone.
  const std::string head = "data d; input g x1-x6;\ndatalines;\n";
  const std::string step =
      "proc factor data=d method=ml nfactors=2 stderr rotate=promax; var x1-x6;";
  const Outcome both = ran(head + two_factor_lines(1, 120) + two_factor_lines(2, 150) + ";\n" +
                           step + " by g; run;");
  for (int g = 1; g <= 2; ++g) {
    SCOPED_TRACE(g);
    const Outcome alone =
        ran(head + two_factor_lines(g, g == 1 ? 120 : 150) + ";\n" + step + " run;");
    for (const char* name : {"FactorPattern", "ObliqueRotFactPat", "FactorStructure"}) {
      const Mat expect = stack(alone, name, "StdErr");
      ASSERT_FALSE(expect.empty()) << name;
      EXPECT_LT(maxrel(stack(both, name, "StdErr", g), expect), 1e-10) << name;
    }
  }
}

}  // namespace
