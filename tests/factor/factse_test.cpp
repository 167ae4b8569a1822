// Standard errors of maximum-likelihood solutions in whole PROC FACTOR
// steps, checked against what the test computes itself: the information
// matrix as the finite-difference Hessian of the ML discrepancy function,
// bordered by the numerically differentiated identification conditions
// (L' Psi^-1 L diagonal) and inverted; and for rotated solutions the delta
// method through the rotation differentiated numerically, with the test's
// own rotations (Kaiser's pairwise varimax, gradient projection quartimin).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace kav::progtest;

const char* kTests24 =
    "proc factor data=ref.tests24(type=corr) method=ml nfactors=3 converge=1e-10 maxiter=500 ";
constexpr double kVardiv24 = 144;  // N - 1 of tests24

// ---------------------------------------------------------------------------
// Reading the stacks of a table.

const json* find_table(const Outcome& r, const std::string& name, int occurrence = 1) {
  std::vector<const json*> found;
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name) found.push_back(&o);
  if (found.empty() || static_cast<std::size_t>(std::abs(occurrence)) > found.size())
    return nullptr;
  return occurrence > 0 ? found[static_cast<std::size_t>(occurrence - 1)]
                        : found[found.size() - static_cast<std::size_t>(-occurrence)];
}

bool has_stack(const Outcome& r, const std::string& name, const std::string& stack) {
  const json* t = find_table(r, name);
  return t && t->contains("stacks") && (*t)["stacks"].contains(stack);
}

Mat stack(const Outcome& r, const std::string& name, const std::string& stack, int occurrence = 1) {
  const json* t = find_table(r, name, occurrence);
  if (!t || !(*t)["stacks"].contains(stack)) {
    ADD_FAILURE() << "no " << stack << " stack in " << name << "\n" << r.log;
    return {};
  }
  Mat out;
  for (const auto& row : (*t)["stacks"][stack]) {
    std::vector<double> v;
    for (const auto& c : row) v.push_back(c.is_number() ? c.get<double>() : NAN);
    out.push_back(v);
  }
  return out;
}

std::vector<std::vector<std::string>> text_stack(const Outcome& r, const std::string& name,
                                                 const std::string& stack) {
  std::vector<std::vector<std::string>> out;
  const json* t = find_table(r, name);
  if (!t || !(*t)["stacks"].contains(stack)) {
    ADD_FAILURE() << "no " << stack << " stack in " << name;
    return out;
  }
  for (const auto& row : (*t)["stacks"][stack]) {
    std::vector<std::string> v;
    for (const auto& c : row) v.push_back(c.is_string() ? c.get<std::string>() : "");
    out.push_back(v);
  }
  return out;
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

// log|S| + tr(S0 S^-1) by a Cholesky factor of S.
double discrepancy(const Mat& s, const Mat& s0) {
  const std::size_t p = s.size();
  Mat l = zeros(p, p);
  double logdet = 0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j <= i; ++j) {
      double v = s[i][j];
      for (std::size_t k = 0; k < j; ++k) v -= l[i][k] * l[j][k];
      if (i == j) {
        l[i][i] = std::sqrt(v);
        logdet += 2 * std::log(l[i][i]);
      } else {
        l[i][j] = v / l[j][j];
      }
    }
  // tr(S0 S^-1) = sum over columns c of S0 of c' S^-1 c... solve L y = c.
  double trace = 0;
  for (std::size_t c = 0; c < p; ++c) {
    std::vector<double> y(p), z(p);
    for (std::size_t i = 0; i < p; ++i) {
      double v = s0[i][c];
      for (std::size_t k = 0; k < i; ++k) v -= l[i][k] * y[k];
      y[i] = v / l[i][i];
    }
    for (std::size_t i = p; i-- > 0;) {
      double v = y[i];
      for (std::size_t k = i + 1; k < p; ++k) v -= l[k][i] * z[k];
      z[i] = v / l[i][i];
    }
    trace += z[c];
  }
  return logdet + trace;
}

struct Params {
  std::size_t p, m;
  // Loadings column by column, then the unique variances.
  Mat lam(const std::vector<double>& th) const {
    Mat l = zeros(p, m);
    for (std::size_t k = 0; k < m; ++k)
      for (std::size_t i = 0; i < p; ++i) l[i][k] = th[k * p + i];
    return l;
  }
  Mat sigma(const std::vector<double>& th) const {
    Mat l = lam(th);
    Mat s = mul(l, tr(l));
    for (std::size_t i = 0; i < p; ++i) s[i][i] += th[p * m + i];
    return s;
  }
};

// Covariance of the loadings (column by column) of an ML solution, as the
// inverse of the information matrix of loadings and unique variances
// bordered by the derivatives of the off-diagonal of L' Psi^-1 L.
Mat unrotated_covariance(const Mat& lam, double vardiv) {
  const std::size_t p = lam.size(), m = lam[0].size(), pm = p * m, n = pm + p;
  const Params par{p, m};
  std::vector<double> th(n);
  for (std::size_t k = 0; k < m; ++k)
    for (std::size_t i = 0; i < p; ++i) th[k * p + i] = lam[i][k];
  for (std::size_t i = 0; i < p; ++i) {
    double h = 0;
    for (std::size_t k = 0; k < m; ++k) h += lam[i][k] * lam[i][k];
    th[pm + i] = 1 - h;
  }
  const Mat s0 = par.sigma(th);
  auto f = [&](const std::vector<double>& t) { return discrepancy(par.sigma(t), s0); };

  // The information of one observation is half the Hessian of the
  // discrepancy at the fitted matrix.
  const double h = 1e-4;
  Mat info = zeros(n, n);
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = a; b < n; ++b) {
      auto at = [&](double da, double db) {
        std::vector<double> t = th;
        t[a] += da;
        t[b] += db;
        return f(t);
      };
      const double v = (at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (4 * h * h);
      info[a][b] = info[b][a] = v / 2;
    }

  // The identification conditions.
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
  const std::size_t r = m * (m - 1) / 2;
  Mat big = zeros(n + r, n + r);
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = 0; b < n; ++b) big[a][b] = info[a][b];
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

// The standard errors of a covariance's diagonal as a p x m matrix.
Mat as_pattern(const std::vector<double>& variances, std::size_t p, std::size_t m) {
  Mat out = zeros(p, m);
  for (std::size_t k = 0; k < m; ++k)
    for (std::size_t i = 0; i < p; ++i) out[i][k] = std::sqrt(variances[k * p + i]);
  return out;
}

std::vector<double> diagonal(const Mat& a) {
  std::vector<double> d;
  for (std::size_t i = 0; i < a.size(); ++i) d.push_back(a[i][i]);
  return d;
}

// ---------------------------------------------------------------------------
// The test's own rotations, on Kaiser-normalised rows.

std::vector<double> row_lengths(const Mat& a) {
  std::vector<double> h;
  for (const auto& row : a) {
    double s = 0;
    for (double v : row) s += v * v;
    h.push_back(std::sqrt(s));
  }
  return h;
}

// Kaiser's pairwise planar rotations for varimax, from the start t
// (orthogonal), sweeping until no angle is worth turning; t receives the
// rotation.  With `kaiser` the rows are normalised first.
Mat varimax(const Mat& a, Mat& t, bool kaiser = true) {
  const std::vector<double> h = kaiser ? row_lengths(a) : std::vector<double>(a.size(), 1.0);
  Mat x = a;
  for (std::size_t i = 0; i < x.size(); ++i)
    for (double& v : x[i]) v /= h[i];
  Mat l = mul(x, t);
  const std::size_t p = l.size(), m = l[0].size();
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
        const double cs = std::cos(phi), sn = std::sin(phi);
        for (std::size_t i = 0; i < p; ++i) {
          const double y = l[i][j], z = l[i][k];
          l[i][j] = cs * y + sn * z;
          l[i][k] = -sn * y + cs * z;
        }
        for (std::size_t i = 0; i < m; ++i) {
          const double y = t[i][j], z = t[i][k];
          t[i][j] = cs * y + sn * z;
          t[i][k] = -sn * y + cs * z;
        }
      }
    if (largest < 1e-15) break;
  }
  for (std::size_t i = 0; i < p; ++i)
    for (double& v : l[i]) v *= h[i];
  return l;
}

// Quartimin, sum_i sum_{j != k} l_ij^2 l_ik^2, by Jennrich's gradient
// projection over T with unit columns, L = X T^-T; t is the start and
// receives the solution, phi the factor correlations T'T.
Mat quartimin(const Mat& a, Mat& t, Mat& phi) {
  const std::vector<double> h = row_lengths(a);
  Mat x = a;
  for (std::size_t i = 0; i < x.size(); ++i)
    for (double& v : x[i]) v /= h[i];
  const std::size_t p = x.size(), m = x[0].size();
  auto criterion = [&](const Mat& l, Mat* grad) {
    double f = 0;
    if (grad) *grad = zeros(p, m);
    for (std::size_t i = 0; i < p; ++i) {
      double row = 0;
      for (double v : l[i]) row += v * v;
      for (std::size_t j = 0; j < m; ++j) {
        const double sq = l[i][j] * l[i][j];
        f += sq * (row - sq);
        if (grad) (*grad)[i][j] = 4 * l[i][j] * (row - sq);
      }
    }
    return f;
  };
  auto rotated = [&](const Mat& tt) { return mul(x, tr(inv(tt))); };
  // Steps are judged by the criterion while its changes can be measured,
  // and by the size of the projected gradient once they are lost in
  // rounding, so that the solution is reached to rounding level.
  double alpha = 1;
  Mat l = rotated(t);
  for (int it = 0; it < 100000; ++it) {
    Mat g;
    const double f = criterion(l, &g);
    // Gradient with respect to T, -(L' G T^-1)', projected onto the unit
    // columns' tangent space.
    const Mat gt = tr(mul(mul(tr(l), g), inv(t)));
    Mat gp = gt;
    for (std::size_t j = 0; j < m; ++j) {
      double s = 0;
      for (std::size_t i = 0; i < m; ++i) s += t[i][j] * gt[i][j];
      for (std::size_t i = 0; i < m; ++i) gp[i][j] = t[i][j] * s - gt[i][j];
    }
    double norm = 0;
    for (const auto& row : gp)
      for (double v : row) norm += v * v;
    if (std::sqrt(norm) < 1e-15) break;
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
      const Mat lt = rotated(trial);
      bool accept;
      if (std::sqrt(norm) > 1e-6) {
        accept = criterion(lt, nullptr) < f - 0.5 * norm * alpha;
      } else {
        Mat gn;
        criterion(lt, &gn);
        const Mat gtn = tr(mul(mul(tr(lt), gn), inv(trial)));
        double nn = 0;
        for (std::size_t j = 0; j < m; ++j) {
          double s = 0;
          for (std::size_t i = 0; i < m; ++i) s += trial[i][j] * gtn[i][j];
          for (std::size_t i = 0; i < m; ++i) nn += std::pow(trial[i][j] * s - gtn[i][j], 2);
        }
        accept = nn < norm;
      }
      if (accept) {
        t = trial;
        l = lt;
        moved = true;
        alpha *= 4;  // undone once by the loop's halving
      }
    }
    if (!moved) break;
  }
  phi = mul(tr(t), t);
  for (std::size_t i = 0; i < p; ++i)
    for (double& v : l[i]) v *= h[i];
  return l;
}

// ---------------------------------------------------------------------------
// The delta method through a numerically differentiated rotation.

// A rotated solution laid out as one vector: the pattern column by column,
// then (oblique) the factor correlations' lower triangle row by row, then
// the structure column by column.
using Rotation = std::function<std::vector<double>(const Mat& unrotated)>;

// Columns of a rotation's result matched to the printed ones (order and
// sign), so that every perturbed result can be put the same way.
struct Alignment {
  std::vector<std::size_t> column;
  std::vector<double> sign;
  Mat apply(const Mat& l) const {
    Mat out = l;
    for (std::size_t i = 0; i < l.size(); ++i)
      for (std::size_t j = 0; j < column.size(); ++j) out[i][j] = sign[j] * l[i][column[j]];
    return out;
  }
};
Alignment align(const Mat& mine, const Mat& printed) {
  const std::size_t m = printed[0].size();
  Alignment al;
  std::vector<bool> used(m, false);
  for (std::size_t j = 0; j < m; ++j) {
    double best = INFINITY, sign = 1;
    std::size_t pick = 0;
    for (std::size_t k = 0; k < m; ++k)
      for (double s : {1.0, -1.0}) {
        if (used[k]) continue;
        double d = 0;
        for (std::size_t i = 0; i < mine.size(); ++i)
          d += std::pow(printed[i][j] - s * mine[i][k], 2);
        if (d < best) best = d, pick = k, sign = s;
      }
    used[pick] = true;
    al.column.push_back(pick);
    al.sign.push_back(sign);
  }
  return al;
}

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
      std::vector<double> d(ru.size());
      for (std::size_t q = 0; q < ru.size(); ++q) d[q] = (ru[q] - rd[q]) / (2 * h);
      jac.push_back(d);
    }
  const std::size_t nout = jac[0].size();
  std::vector<double> var(nout, 0.0);
  for (std::size_t q = 0; q < nout; ++q)
    for (std::size_t s = 0; s < pm; ++s)
      for (std::size_t t = 0; t < pm; ++t) var[q] += jac[s][q] * cov[s][t] * jac[t][q];
  return var;
}

Mat identity(std::size_t m) {
  Mat e = zeros(m, m);
  for (std::size_t i = 0; i < m; ++i) e[i][i] = 1;
  return e;
}

// ---------------------------------------------------------------------------

TEST(StandardErrors, UnrotatedEqualTheInverseOfTheBorderedInformation) {
  struct Case {
    std::string program;
    double vardiv;
  };
  const Case cases[] = {
      {std::string(kTests24) + "stderr; run;", kVardiv24},
      // One factor: no identification conditions; no rotation either.
      {"proc factor data=ref.physical8(type=corr) method=ml nfactors=1 converge=1e-10 "
       "maxiter=500 stderr rotate=varimax; run;",
       304},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome r = run(c.program);
    ASSERT_EQ(exit_code(r), 0) << r.log;
    const Mat lam = table(r, "FactorPattern");
    const Mat se = stack(r, "FactorPattern", "StdErr");
    ASSERT_FALSE(lam.empty());
    const Mat cov = unrotated_covariance(lam, c.vardiv);
    const Mat expect = as_pattern(diagonal(cov), lam.size(), lam[0].size());
    EXPECT_LT(maxrel(se, expect), 1e-4);
  }
  // The one-factor case says why nothing is rotated.
  Outcome one = run(
      "proc factor data=ref.physical8(type=corr) method=ml nfactors=1 stderr rotate=varimax; run;");
  EXPECT_TRUE(has_message(one, 102));
  EXPECT_FALSE(has_table(one, "OrthRotFactPat"));
}

TEST(StandardErrors, VarimaxFollowsTheDeltaMethodThroughTheRotation) {
  // With Kaiser's row normalisation (the default) its derivatives enter
  // as well; NORM=RAW rotates the pattern as it is.
  for (bool kaiser : {true, false}) {
    SCOPED_TRACE(kaiser ? "kaiser" : "raw");
    Outcome r = run(std::string(kTests24) + "stderr rotate=varimax" + (kaiser ? "" : " norm=raw") +
                    "; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    const Mat a = table(r, "FactorPattern");
    const Mat printed = table(r, "OrthRotFactPat");
    ASSERT_FALSE(a.empty());
    const std::size_t p = a.size(), m = a[0].size();
    Mat t0 = identity(m);
    const Mat mine = varimax(a, t0, kaiser);
    const Alignment al = align(mine, printed);
    ASSERT_LT(maxdiff(al.apply(mine), printed), 1e-8) << "the test's varimax is the step's";
    Rotation rotate = [&](const Mat& x) {
      Mat t = t0;
      return flatten(al.apply(varimax(x, t, kaiser)), nullptr);
    };
    const auto var = delta_method(a, unrotated_covariance(a, kVardiv24), rotate);
    EXPECT_LT(maxrel(stack(r, "OrthRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  }
}

TEST(StandardErrors, QuartiminPatternCorrelationsAndStructureFollowTheDeltaMethod) {
  Outcome r = run(std::string(kTests24) + "stderr rotate=quartimin; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat a = table(r, "FactorPattern");
  const Mat printed = table(r, "ObliqueRotFactPat");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size();
  Mat t0 = identity(m), phi;
  const Mat mine = quartimin(a, t0, phi);
  const Alignment al = align(mine, printed);
  ASSERT_LT(maxdiff(al.apply(mine), printed), 1e-8) << "the test's quartimin is the step's";
  auto aligned_phi = [&](const Mat& f) {
    Mat out = f;
    for (std::size_t u = 0; u < m; ++u)
      for (std::size_t v = 0; v < m; ++v)
        out[u][v] = al.sign[u] * al.sign[v] * f[al.column[u]][al.column[v]];
    return out;
  };
  EXPECT_LT(maxdiff(aligned_phi(phi), table(r, "InterFactorCorr")), 1e-8);
  Rotation rotate = [&](const Mat& x) {
    Mat t = t0, f;
    const Mat l = al.apply(quartimin(x, t, f));
    const Mat g = aligned_phi(f);
    return flatten(l, &g);
  };
  const auto var = delta_method(a, unrotated_covariance(a, kVardiv24), rotate);
  const std::size_t pm = p * m;
  EXPECT_LT(maxrel(stack(r, "ObliqueRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  std::vector<double> svar(var.begin() + static_cast<long>(pm + m * (m + 1) / 2), var.end());
  EXPECT_LT(maxrel(stack(r, "FactorStructure", "StdErr"), as_pattern(svar, p, m)), 1e-4);
  // The factor correlations: their diagonal is fixed at 1.
  const Mat fse = stack(r, "InterFactorCorr", "StdErr");
  ASSERT_EQ(fse.size(), m);
  for (std::size_t u = 0; u < m; ++u)
    for (std::size_t v = 0; v < m; ++v) {
      const double expect =
          u == v ? 0.0
                 : std::sqrt(
                       var[pm + static_cast<std::size_t>(std::max(u, v) * (std::max(u, v) + 1) / 2 +
                                                         std::min(u, v))]);
      EXPECT_NEAR(fse[u][v], expect, 1e-4 * std::max(expect, 1e-6)) << u << "," << v;
    }
}

// The least-squares transformation of b towards the target t, then unit
// factor variances; phi receives the factor correlations.
Mat procrustes(const Mat& b, const Mat& t, Mat& phi) {
  const std::size_t p = b.size(), m = b[0].size();
  const Mat x = mul(inv(mul(tr(b), b)), mul(tr(b), t));
  const Mat y = inv(mul(tr(x), x));
  Mat l = mul(b, x);
  phi = y;
  for (std::size_t j = 0; j < m; ++j) {
    const double s = std::sqrt(y[j][j]);
    for (std::size_t i = 0; i < p; ++i) l[i][j] *= s;
    for (std::size_t k = 0; k < m; ++k) {
      phi[j][k] /= s;
      phi[k][j] /= s;
    }
  }
  return l;
}

// Promax of b: the target from b's Kaiser-normalised rows raised to the
// power 3 (sign kept) and scaled to a largest element of 1 per column.
Mat promax(const Mat& b, Mat& phi) {
  const std::size_t p = b.size(), m = b[0].size();
  const std::vector<double> h = row_lengths(b);
  Mat t = b;
  for (std::size_t i = 0; i < p; ++i)
    for (double& v : t[i]) v = std::pow(v / h[i], 3);
  for (std::size_t j = 0; j < m; ++j) {
    double big = 0;
    for (std::size_t i = 0; i < p; ++i) big = std::max(big, std::fabs(t[i][j]));
    for (std::size_t i = 0; i < p; ++i) t[i][j] /= big;
  }
  return procrustes(b, t, phi);
}

TEST(StandardErrors, PromaxFollowsTheDeltaMethodThroughItsPrerotation) {
  Outcome r = run(std::string(kTests24) + "stderr rotate=promax; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat a = table(r, "FactorPattern");
  const Mat prerotated = table(r, "OrthRotFactPat");
  const Mat printed = table(r, "ObliqueRotFactPat");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size(), pm = p * m;
  Mat t0 = identity(m), phi;
  const Alignment al = align(varimax(a, t0), prerotated);
  const Mat mine = promax(prerotated, phi);
  ASSERT_LT(maxdiff(mine, printed), 1e-8) << "the test's promax is the step's";
  ASSERT_LT(maxdiff(phi, table(r, "InterFactorCorr")), 1e-8);
  Rotation rotate = [&](const Mat& x) {
    Mat t = t0, f;
    const Mat l = promax(al.apply(varimax(x, t)), f);
    return flatten(l, &f);
  };
  const Mat cov = unrotated_covariance(a, kVardiv24);
  const auto var = delta_method(a, cov, rotate);
  EXPECT_LT(maxrel(stack(r, "ObliqueRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  std::vector<double> svar(var.begin() + static_cast<long>(pm + m * (m + 1) / 2), var.end());
  EXPECT_LT(maxrel(stack(r, "FactorStructure", "StdErr"), as_pattern(svar, p, m)), 1e-4);
  const Mat fse = stack(r, "InterFactorCorr", "StdErr");
  ASSERT_EQ(fse.size(), m);
  for (std::size_t u = 1; u < m; ++u)
    for (std::size_t v = 0; v < u; ++v) {
      const double expect = std::sqrt(var[pm + u * (u + 1) / 2 + v]);
      EXPECT_NEAR(fse[u][v], expect, 1e-4 * expect) << u << "," << v;
    }
  // The prerotation keeps its own standard errors.
  Rotation prerotate = [&](const Mat& x) {
    Mat t = t0;
    return flatten(al.apply(varimax(x, t)), nullptr);
  };
  const auto pvar = delta_method(a, cov, prerotate);
  EXPECT_LT(maxrel(stack(r, "OrthRotFactPat", "StdErr"), as_pattern(pvar, p, m)), 1e-4);
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
  Outcome r = run("data tg; input" + names + ";\ndatalines;\n" + lines + ";\n" + kTests24 +
                  "stderr rotate=procrustes target=tg; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat a = table(r, "FactorPattern");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size();
  Mat phi;
  ASSERT_LT(maxdiff(procrustes(a, target, phi), table(r, "ObliqueRotFactPat")), 1e-8);
  Rotation rotate = [&](const Mat& x) {
    Mat f;
    const Mat l = procrustes(x, target, f);
    return flatten(l, &f);
  };
  const auto var = delta_method(a, unrotated_covariance(a, kVardiv24), rotate);
  EXPECT_LT(maxrel(stack(r, "ObliqueRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  std::vector<double> svar(var.begin() + static_cast<long>(p * m + m * (m + 1) / 2), var.end());
  EXPECT_LT(maxrel(stack(r, "FactorStructure", "StdErr"), as_pattern(svar, p, m)), 1e-4);
}

TEST(StandardErrors, ConfidenceLimitsAndCoverageDisplaysCountAsTheErrorsSay) {
  // Limits at ALPHA=0.1 from the test's own standard errors: symmetric for
  // the pattern of an oblique solution, Fisher's z for a structure
  // (correlation-type) loading; each element's coverage display follows.
  Outcome r = run(std::string(kTests24) + "alpha=0.1 cover=0.45 rotate=quartimin; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat a = table(r, "FactorPattern");
  const Mat cov = unrotated_covariance(a, kVardiv24);
  const std::size_t p = a.size(), m = a[0].size();
  const Mat se = as_pattern(diagonal(cov), p, m);
  const double q = 1.6448536269514722;
  const double c = 0.45;
  std::map<std::string, int> expected, shown;
  const auto displays = text_stack(r, "FactorPattern", "Coverage");
  const Mat lower = stack(r, "FactorPattern", "L"), upper = stack(r, "FactorPattern", "U");
  ASSERT_EQ(displays.size(), p);
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
      ++shown[displays[i][k]];
    }
  EXPECT_EQ(shown, expected);
  // The categories are not all one: the check has something to count.
  EXPECT_GE(expected.size(), 3u);
}

TEST(StandardErrors, WhatHasNoStandardErrorsSaysWhy) {
  // NORM=WEIGHT: message 360; the rotated pattern is shown without them,
  // the unrotated one with them.
  Outcome w = run(std::string(kTests24) + "stderr rotate=varimax norm=weight; run;");
  ASSERT_EQ(exit_code(w), 0) << w.log;
  EXPECT_TRUE(has_message(w, 360));
  EXPECT_TRUE(has_stack(w, "FactorPattern", "StdErr"));
  EXPECT_FALSE(has_stack(w, "OrthRotFactPat", "StdErr"));
  // Harris-Kaiser: message 359.
  Outcome hk = run(std::string(kTests24) + "stderr rotate=hk; run;");
  ASSERT_EQ(exit_code(hk), 0) << hk.log;
  EXPECT_TRUE(has_message(hk, 359));
  EXPECT_FALSE(has_stack(hk, "ObliqueRotFactPat", "StdErr"));
  // Promax after an oblique prerotation: message 359, the prerotated
  // solution keeps its own.
  Outcome po = run(std::string(kTests24) + "stderr prerotate=quartimin rotate=promax; run;");
  ASSERT_EQ(exit_code(po), 0) << po.log;
  EXPECT_TRUE(has_message(po, 359));
  EXPECT_TRUE(has_stack(po, "ObliqueRotFactPat", "StdErr"));
  EXPECT_FALSE(find_table(po, "ObliqueRotFactPat", 2)->at("stacks").contains("StdErr"));
  // Other methods never compute them (the request is dropped with 353).
  Outcome pf = run("proc factor data=ref.tests24(type=corr) nfactors=3 stderr; run;");
  ASSERT_EQ(exit_code(pf), 0) << pf.log;
  EXPECT_TRUE(has_message(pf, 353));
  EXPECT_FALSE(has_stack(pf, "FactorPattern", "StdErr"));
}

// Raw data of a two-factor model: `n` observations of six variables for
// BY group g, from a fixed linear congruential generator.
std::string two_factor_lines(int g, int n) {
  std::uint64_t state = 12345 + static_cast<std::uint64_t>(g);
  auto normal = [&]() {
    double u[2];
    for (double& v : u) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      v = (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
    }
    return std::sqrt(-2 * std::log(u[0])) * std::cos(6.283185307179586 * u[1]);
  };
  std::string out;
  for (int k = 0; k < n; ++k) {
    const double f1 = normal(), f2 = normal();
    out += std::to_string(g);
    for (int i = 0; i < 6; ++i) {
      const double a = i < 3 ? 0.75 : 0.15 + 0.05 * g, b = i < 3 ? 0.1 : 0.65;
      out += ' ';
      out += std::to_string(a * f1 + b * f2 + 0.6 * normal());
    }
    out += "\n";
  }
  return out;
}

TEST(StandardErrors, EachByGroupHasItsOwn) {
  // Each group's standard errors, unrotated and after a promax rotation
  // (which chains the prerotation's derivatives), are those of the group
  // analysed alone.
  const std::string head = "data d; input g x1-x6;\ndatalines;\n";
  const std::string step =
      "proc factor data=d method=ml nfactors=2 stderr rotate=promax; var x1-x6;";
  Outcome both = run(head + two_factor_lines(1, 120) + two_factor_lines(2, 150) + ";\n" + step +
                     " by g; run;");
  ASSERT_EQ(exit_code(both), 0) << both.log;
  for (int g = 1; g <= 2; ++g) {
    SCOPED_TRACE(g);
    Outcome alone = run(head + two_factor_lines(g, g == 1 ? 120 : 150) + ";\n" + step + " run;");
    ASSERT_EQ(exit_code(alone), 0) << alone.log;
    for (const char* name : {"FactorPattern", "ObliqueRotFactPat", "FactorStructure"}) {
      const Mat expect = stack(alone, name, "StdErr");
      ASSERT_FALSE(expect.empty()) << name;
      EXPECT_LT(maxrel(stack(both, name, "StdErr", g), expect), 1e-10) << name;
    }
  }
}

TEST(StandardErrors, OutstatCarriesTheStandardErrorRows) {
  const fs::path dir = fs::temp_directory_path() / ("kav_sestat_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  Outcome r = run("libname o '" + dir.string() + "';\n" + kTests24 +
                  "stderr rotate=quartimin outstat=o.stat; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const CsvData rows = read_csv(dir / "stat.csv");
  const std::size_t m = 3;
  auto first_columns = [&](Mat a) {
    for (auto& row : a) row.resize(m);
    return a;
  };
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "SE_UNROT")), stack(r, "FactorPattern", "StdErr")), 1e-12);
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "SE_PAT")), stack(r, "ObliqueRotFactPat", "StdErr")), 1e-12);
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "SE_STRUC")), stack(r, "FactorStructure", "StdErr")), 1e-12);
  EXPECT_LT(
      maxdiff(first_columns(stat_rows(rows, "SE_FCORR")), stack(r, "InterFactorCorr", "StdErr")),
      1e-12);
  fs::remove_all(dir);
}

}  // namespace
