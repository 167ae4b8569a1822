// Rotated solutions of whole PROC FACTOR steps and their standard errors,
// checked against what the test computes itself from the unrotated
// pattern: Kaiser's pairwise planar rotations for the orthomax family, the
// stationarity of the oblique criteria written out as their textbook double
// sums, the closed form of promax, a Procrustes target built from a known
// transformation, and the invariants every rotated solution keeps (the
// common part L Phi L' = A A', structure, reference axes).  The standard
// errors of maximum-likelihood solutions come from the information matrix,
// bordered by the derivatives of the identification conditions (L' Psi^-1
// L diagonal) and inverted, and for rotated solutions from the
// delta method through the test's own rotation differentiated numerically.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/criteria.h"
#include "factor/program_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace kav::progtest;
namespace criteria = kav::criteria;

// The outcome of a program whose steps must all run cleanly.
Outcome ran(const std::string& program) {
  Outcome r = run(program);
  for (std::size_t k = 0; k < r.results["steps"].size(); ++k)
    EXPECT_EQ(exit_code(r, static_cast<int>(k)), 0) << r.log;
  return r;
}

// ---------------------------------------------------------------------------
// The test's own rotations.

// Rows scaled to unit length; `h` receives the lengths.
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

// Pairwise planar rotations maximising sum_j [sum_i l^4 - gamma/p (sum_i
// l^2)^2], swept over all factor pairs until no angle is worth turning.
// The rows of a are normalised first with `kaiser`; the rotation starts
// from *t (orthogonal) when given, and *t receives it.
Mat orthomax(const Mat& a, double gamma, bool kaiser, Mat* t = nullptr) {
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
Mat procrustes(const Mat& b, const Mat& target, Mat& phi) {
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
Mat promax_target(const Mat& b, double power, bool rownorm = true) {
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

// Columns of b matched to those of a up to order and sign.
double maxdiff_up_to_columns(const Mat& a, const Mat& b) {
  const std::size_t m = a[0].size();
  std::vector<bool> used(m, false);
  double worst = 0;
  for (std::size_t j = 0; j < m; ++j) {
    double best = INFINITY;
    std::size_t pick = 0;
    for (std::size_t k = 0; k < m; ++k)
      for (double s : {1.0, -1.0}) {
        double d = 0;
        for (std::size_t i = 0; i < a.size(); ++i)
          d = std::max(d, std::fabs(a[i][j] - s * b[i][k]));
        if (!used[k] && d < best) best = d, pick = k;
      }
    used[pick] = true;
    worst = std::max(worst, best);
  }
  return worst;
}
Mat identity(std::size_t n) {
  Mat eye = zeros(n, n);
  for (std::size_t k = 0; k < n; ++k) eye[k][k] = 1;
  return eye;
}

// ---------------------------------------------------------------------------
// Standard errors: the unrotated covariance from the information matrix,
// the rotated ones by the delta method.

const char* kMl24 =
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

// Covariance of the loadings (column by column) of an ML solution, as the
// inverse of the information matrix of loadings and unique variances
// bordered by the derivatives of the off-diagonal of L' Psi^-1 L.
Mat unrotated_covariance(const Mat& lam, double vardiv) {
  const std::size_t p = lam.size(), m = lam[0].size(), pm = p * m, n = pm + p, r = m * (m - 1) / 2;
  // Loadings column by column, then the unique variances.
  std::vector<double> th(n);
  for (std::size_t i = 0; i < p; ++i) {
    th[pm + i] = 1;
    for (std::size_t k = 0; k < m; ++k) {
      th[k * p + i] = lam[i][k];
      th[pm + i] -= lam[i][k] * lam[i][k];
    }
  }
  // The information of one observation, tr(W S_a W S_b) / 2, with W the
  // inverse of the fitted correlations S = L L' + Psi and S_a their
  // derivative in parameter a.
  Mat fitted = mul(lam, tr(lam));
  for (std::size_t i = 0; i < p; ++i) fitted[i][i] = 1;
  const Mat w = inv(fitted);
  std::vector<Mat> ws;
  for (std::size_t a = 0; a < n; ++a) {
    Mat d = zeros(p, p);
    if (a >= pm) d[a - pm][a - pm] = 1;
    for (std::size_t j = 0; a < pm && j < p; ++j) {
      d[a % p][j] += lam[j][a / p];
      d[j][a % p] += lam[j][a / p];
    }
    ws.push_back(mul(w, d));
  }
  Mat big = zeros(n + r, n + r);
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t b = a; b < n; ++b) {
      double t = 0;
      for (std::size_t i = 0; i < p; ++i)
        for (std::size_t j = 0; j < p; ++j) t += ws[a][i][j] * ws[b][j][i];
      big[a][b] = big[b][a] = t / 2;
    }
  // Bordered by the derivatives of the conditions sum_i l_ik l_il / psi_i = 0.
  for (std::size_t k = 0, c = n; k < m; ++k)
    for (std::size_t l = k + 1; l < m; ++l, ++c)
      for (std::size_t i = 0; i < p; ++i) {
        const double psi = th[pm + i];
        big[c][k * p + i] = big[k * p + i][c] = lam[i][l] / psi;
        big[c][l * p + i] = big[l * p + i][c] = lam[i][k] / psi;
        big[c][pm + i] = big[pm + i][c] = -lam[i][k] * lam[i][l] / (psi * psi);
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

const char* kTests24 = "proc factor data=ref.tests24(type=corr) priors=smc nfactors=4 ";
const char* kPhysical = "proc factor data=ref.physical8(type=corr) priors=smc nfactors=2 ";

TEST(RotatedSolution, OrthomaxFamilyEqualsKaisersPairwiseRotation) {
  struct Case {
    const char* options;
    double gamma;
    bool normalised;
  } cases[] = {
      {"rotate=varimax", 1, true},
      {"rotate=orthomax(0.5)", 0.5, true},
      {"rotate=varimax norm=raw", 1, false},
      // A tolerance of 0 is met where rounding stops the measure.
      {"rotate=varimax rconverge=0", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    EXPECT_TRUE(has_message(r, 301)) << "the convergence note";
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "OrthRotFactPat");
    const Mat t = table(r, "OrthTrans");
    ASSERT_EQ(l.size(), 24u);
    EXPECT_LT(maxdiff_up_to_columns(orthomax(a, c.gamma, c.normalised), l), 1e-6);
    EXPECT_LT(maxdiff(mul(a, t), l), 1e-10);  // L = A T, T orthogonal
    EXPECT_LT(maxdiff(mul(tr(t), t), identity(4)), 1e-10);
  }
}

// The oblique solution of a criterion: stationary on the constraint set,
// and every derived matrix consistent with the pattern and correlations.
TEST(RotatedSolution, ObliqueCriteriaAreStationaryAndTheSolutionIsConsistent) {
  struct Case {
    const char* options;
    std::function<double(const Mat&)> criterion;
  } cases[] = {
      {"rotate=quartimin", [](const Mat& l) { return criteria::oblimin(l, 0); }},
      {"rotate=oblimin(0.3)", [](const Mat& l) { return criteria::oblimin(l, 0.3); }},
      {"tau=-0.5", [](const Mat& l) { return criteria::oblimin(l, -0.5); }},
      {"rotate=oblicf(0.8, 0.2)",
       [](const Mat& l) { return criteria::crawford_ferguson(l, 0.8, 0.2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "ObliqueRotFactPat");
    const Mat x = table(r, "ObliqueTrans");
    const Mat phi = table(r, "InterFactorCorr");
    ASSERT_EQ(l.size(), 24u);
    ASSERT_EQ(phi.size(), 4u);
    EXPECT_LT(maxdiff(mul(a, x), l), 1e-10) << "pattern = unrotated pattern x transformation";
    EXPECT_LT(maxdiff(mul(mul(l, phi), tr(l)), mul(a, tr(a))), 1e-10) << "the common part";
    EXPECT_LT(maxdiff(table(r, "FactorStructure"), mul(l, phi)), 1e-10);
    // Reference axes: the inverse factor correlations as correlations;
    // reference structure = pattern / sqrt(diag of the inverse).
    const Mat pinv = inv(phi);
    Mat rc = pinv, ref = l;
    for (std::size_t j = 0; j < 4; ++j)
      for (std::size_t k = 0; k < 4; ++k) rc[j][k] /= std::sqrt(pinv[j][j] * pinv[k][k]);
    for (auto& row : ref)
      for (std::size_t j = 0; j < 4; ++j) row[j] /= std::sqrt(pinv[j][j]);
    EXPECT_LT(maxdiff(table(r, "ReferenceAxisCorr"), rc), 1e-10);
    EXPECT_LT(maxdiff(table(r, "ReferenceStructure"), ref), 1e-10);

    // Stationarity.  The criterion is taken on Kaiser-normalised rows, as a
    // function of the oblique T (unit columns) with L = A inv(T)'.
    std::vector<double> h;
    const Mat an = normalised(a, h);
    auto f = [&](Mat tt) {
      for (std::size_t j = 0; j < 4; ++j) {
        double s = 0;
        for (const auto& row : tt) s += row[j] * row[j];
        for (auto& row : tt) row[j] /= std::sqrt(s);
      }
      return c.criterion(mul(an, tr(inv(tt))));
    };
    const double scale = static_cast<double>(an.size());  // sum of squared row lengths squared
    const Mat t = tr(inv(x));
    std::mt19937 gen(7);
    std::normal_distribution<double> z;
    for (int dir = 0; dir < 6; ++dir) {
      Mat up = t, down = t;
      const double eps = 1e-5;
      for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
          const double e = z(gen);
          up[i][j] += eps * e;
          down[i][j] -= eps * e;
        }
      EXPECT_LT(std::fabs(f(up) - f(down)) / (2 * eps), 1e-6 * scale) << "direction " << dir;
    }
  }
}

// Promax: least squares to the powered target, then factors of unit
// variance, all from the prerotated pattern.
TEST(RotatedSolution, PromaxFollowsItsClosedForm) {
  struct Case {
    const char* options;
    double power;
    bool rownorm;
  } cases[] = {{"rotate=promax", 3, true},
               {"rotate=promax(4) nopromaxnorm", 4, false},
               {"power=2", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    const Mat b = table(r, "OrthRotFactPat", 1, "PrerotatedSolution");
    ASSERT_EQ(b.size(), 24u);
    const Mat target = promax_target(b, c.power, c.rownorm);
    EXPECT_LT(maxdiff(table(r, "ProcrustesTarget"), target), 1e-12);
    const Mat x = lsq(b, target);
    EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), x), 1e-10);
    const Mat xi = inv(mul(tr(x), x));
    Mat xd = x, phi;
    for (auto& row : xd)
      for (std::size_t j = 0; j < 4; ++j) row[j] *= std::sqrt(xi[j][j]);
    EXPECT_LT(maxdiff(table(r, "NormObliqueTrans"), xd), 1e-10);
    EXPECT_LT(maxdiff(table(r, "ObliqueRotFactPat"), procrustes(b, target, phi)), 1e-10);
    EXPECT_LT(maxdiff(table(r, "InterFactorCorr"), phi), 1e-10);
  }
}

// A target made from the unrotated pattern and a known transformation M
// gives back M; a missing entry of the target is a zero.
TEST(RotatedSolution, ProcrustesRecoversAKnownTransformation) {
  const Mat a = table(ran(std::string(kPhysical) + "; run;"), "FactorPattern");
  ASSERT_EQ(a.size(), 8u);
  const Mat m = {{0.8, 0.3}, {-0.5, 0.9}};
  const Mat t = mul(a, m);
  auto target_step = [&](int rows, bool blank_first) {
    std::ostringstream p;
    p.precision(17);
    p << "data target; input Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth "
         "ChestWidth;\ndatalines;\n";
    for (int k = 0; k < rows; ++k) {
      for (std::size_t i = 0; i < 8; ++i) {
        if (blank_first && k == 0 && i == 0)
          p << ". ";
        else
          p << t[i][static_cast<std::size_t>(k % 2)] << ' ';
      }
      p << "\n";
    }
    p << ";\n" << kPhysical << "target=target; run;\n";
    return run(p.str());
  };
  Mat phi;
  const Outcome r = target_step(2, false);
  EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), m), 1e-10);
  EXPECT_LT(maxdiff(table(r, "ObliqueRotFactPat"), procrustes(a, t, phi)), 1e-10);
  EXPECT_FALSE(has_message(r, 82));
  // More observations than factors: the extra ones are ignored, with a note.
  const Outcome longer = target_step(3, false);
  EXPECT_TRUE(has_message(longer, 82));
  EXPECT_LT(maxdiff(table(longer, "ProcrustesTrans"), m), 1e-10);
  Mat t0 = t;
  t0[0][0] = 0;
  EXPECT_LT(maxdiff(table(target_step(2, true), "ProcrustesTrans"), lsq(a, t0)), 1e-10);
  // Fewer observations than factors: no rotation, message 81 and status 108.
  const Outcome shorter = target_step(1, false);
  EXPECT_TRUE(has_message(shorter, 81));
  EXPECT_EQ(exit_code(shorter, 1), 108);
  EXPECT_FALSE(has_table(shorter, "ObliqueRotFactPat"));
}

// INPUT T01-T24 names the 24 tests as they are named, with the width of
// their numbers, so a target typed under those names is the target used.
TEST(RotatedSolution, ATargetEnteredWithANumberedRangeIsTheTargetUsed) {
  Mat target = zeros(24, 4);
  std::ostringstream p;
  p << "data tg; input T01-T24; datalines;\n";
  for (std::size_t j = 0; j < 4; ++j) {
    for (std::size_t i = 0; i < 24; ++i) {
      target[i][j] = i % 4 == j ? 1 : 0.1 * static_cast<double>(j);
      p << target[i][j] << ' ';
    }
    p << '\n';
  }
  p << ";\nproc print data=tg; run;\n" << kTests24 << "target=tg; var T01-T24; run;\n";
  Outcome r = run(p.str());
  ASSERT_EQ(exit_code(r, 2), 0) << r.log;
  std::vector<std::string> names;
  for (const auto& o : r.results["steps"][1]["outputs"])
    if (o.value("name", "") == "Print")
      for (const auto& c : o["columns"]) names.push_back(c["name"]);
  ASSERT_EQ(names.size(), 25u);  // Obs and the variables
  EXPECT_EQ(names[1], "T01");
  EXPECT_EQ(names[9], "T09");
  EXPECT_EQ(names[24], "T24");
  EXPECT_LT(maxdiff(table(r, "ProcrustesTarget"), target), 1e-12);
}

TEST(RotatedSolution, HarrisKaiserGivesAnOrderedObliqueSolutionOfTheSameCommonPart) {
  for (const char* options : {"rotate=hk", "rotate=hk(0.5)", "rotate=varimax hkpower=0.5"}) {
    SCOPED_TRACE(options);
    const Outcome r = ran(std::string(kTests24) + options + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "ObliqueRotFactPat");
    const Mat x = table(r, "ObliqueTrans");
    ASSERT_EQ(l.size(), 24u);
    EXPECT_LT(maxdiff(mul(a, x), l), 1e-10);
    EXPECT_LT(maxdiff(mul(mul(l, table(r, "InterFactorCorr")), tr(l)), mul(a, tr(a))), 1e-10);
    EXPECT_LT(maxdiff(table(r, "InterFactorCorr"), inv(mul(tr(x), x))), 1e-10);
    std::vector<double> ss(4, 0);
    for (const auto& row : l)
      for (std::size_t j = 0; j < 4; ++j) ss[j] += row[j] * row[j];
    EXPECT_TRUE(std::is_sorted(ss.rbegin(), ss.rend())) << "factors come largest first";
  }
  // Power 1 rotates the pattern itself: the varimax solution, uncorrelated.
  const Outcome hk = ran(std::string(kTests24) + "rotate=hk(1); run;");
  EXPECT_LT(maxdiff_up_to_columns(orthomax(table(hk, "FactorPattern"), 1, true),
                                  table(hk, "ObliqueRotFactPat")),
            1e-6);
  EXPECT_LT(maxdiff(table(hk, "InterFactorCorr"), identity(4)), 1e-8);
}

TEST(RotatedSolution, EachListEntryRotatesTheUnrotatedSolution) {
  const Outcome both = ran(std::string(kTests24) + "rotate=varimax, none, quartimin; run;");
  const Outcome alone = ran(std::string(kTests24) + "rotate=quartimin; run;");
  EXPECT_LT(maxdiff(table(both, "ObliqueRotFactPat"), table(alone, "ObliqueRotFactPat")), 1e-10);
  EXPECT_LT(maxdiff_up_to_columns(orthomax(table(both, "FactorPattern"), 1, true),
                                  table(both, "OrthRotFactPat")),
            1e-6);
  // Promax too; its prerotation is kept only when it heads the list.
  struct Case {
    const char* list;
    int occurrence;  // of the promax pattern among the list's oblique ones
    const char* alone;
  };
  const Case promax[] = {{"rotate=quartimin, promax", 2, "rotate=promax prerotate=none"},
                         {"rotate=promax, quartimin", 1, "rotate=promax"}};
  for (const Case& c : promax) {
    SCOPED_TRACE(c.list);
    Outcome listed = run(std::string(kTests24) + c.list + "; run;");
    ASSERT_EQ(exit_code(listed), 0) << listed.log;
    EXPECT_LT(maxdiff(table(listed, "ObliqueRotFactPat", c.occurrence),
                      table(run(std::string(kTests24) + c.alone + "; run;"), "ObliqueRotFactPat")),
              1e-10);
  }
}

TEST(RotatedSolution, WhatCannotBeRotatedSaysWhy) {
  const std::string empty_target =
      "data t; input Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth ChestWidth;\n"
      "datalines;\n;\n";
  struct Case {
    std::string program;
    int step, exit, message;
    const char* absent;  // the table not shown
  } cases[] = {
      {"proc factor data=ref.physical8(type=corr) nfactors=1 rotate=varimax;", 0, 0, 102,
       "OrthRotFactPat"},
      {std::string(kPhysical) + "rotate=varimax riter=0;", 0, 0, 197, "OrthRotFactPat"},
      {std::string(kTests24) + "rotate=quartimin riter=1;", 0, 1012, 178, "ObliqueRotFactPat"},
      {empty_target + kPhysical + "target=t;", 1, 108, 81, "ObliqueRotFactPat"},
      {std::string(kPhysical) + "rotate=quartimin hkpower=0.5;", 0, 0, 100, "FactorWeightRotate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const Outcome r = run(c.program + " run;");
    EXPECT_EQ(exit_code(r, c.step), c.exit) << r.log;
    EXPECT_TRUE(has_message(r, c.message));
    EXPECT_FALSE(has_table(r, c.absent));
  }
  const Outcome missing = run(std::string(kPhysical) + "target=nosuch; run;");
  EXPECT_GE(exit_code(missing), 1000);
  EXPECT_NE(missing.log.find("NOSUCH"), std::string::npos) << missing.log;
  // Biquartimin on eight factors of the 24 tests is unbounded: factors merge
  // ever more slowly, so the transformation tends to a singular one; on six
  // it only converges slowly (RITER=1000 reaches the solution).
  struct Limit {
    int nfactors;
    int riter;
    int message;
  };
  for (const Limit& c : {Limit{8, 240, 195}, Limit{6, 240, 178}, Limit{6, 1000, 301}}) {
    SCOPED_TRACE(c.nfactors);
    Outcome r =
        run("proc factor data=ref.tests24(type=corr) priors=smc rotate=biquartimin nfactors=" +
            std::to_string(c.nfactors) + " riter=" + std::to_string(c.riter) + "; run;");
    EXPECT_EQ(exit_code(r), c.message == 301 ? 0 : 1012);
    for (int m : {195, 178, 301}) EXPECT_EQ(has_message(r, m), m == c.message) << m << r.log;
  }
}

// The weights a rotation used are shown: the standard deviations under
// NORM=COV, and in Harris-Kaiser mode the factor weights c^(power/2), c the
// factors' sums of squares.
TEST(RotatedSolution, RotationWeightsAreShown) {
  const std::string ability = "proc factor data=ref.ability6_cov(type=cov) nfactors=2 ";
  auto flat = [](const Mat& m) {
    std::vector<double> v;
    for (const auto& row : m) v.insert(v.end(), row.begin(), row.end());
    return v;
  };
  const auto vw = flat(table(ran(ability + "rotate=varimax norm=cov; run;"), "VarWeightRotate"));
  const double variances[] = {24.641, 6.7, 149.831, 12.711, 52.604, 135.292};
  ASSERT_EQ(vw.size(), 6u);
  for (std::size_t k = 0; k < 6; ++k) EXPECT_NEAR(vw[k], std::sqrt(variances[k]), 1e-6);
  EXPECT_FALSE(has_table(ran(ability + "rotate=varimax; run;"), "VarWeightRotate"));

  const Outcome hk = ran(ability + "rotate=varimax hkpower=0.5; run;");
  const Mat a = table(hk, "FactorPattern");
  const auto fw = flat(table(hk, "FactorWeightRotate"));
  ASSERT_EQ(fw.size(), 2u);
  for (std::size_t j = 0; j < 2; ++j) {
    double c = 0;
    for (const auto& row : a) c += row[j] * row[j];
    EXPECT_NEAR(fw[j], std::pow(c, 0.25), 1e-10 * fw[j]);
  }
  // Power 0 weights are all 1 and are not shown.
  EXPECT_FALSE(has_table(ran(ability + "rotate=hk; run;"), "FactorWeightRotate"));
}

TEST(RotatedSolution, OutstatCarriesTheRotatedRowsInOrderAndReadsBack) {
  const fs::path dir = fs::temp_directory_path() / ("kav_rotstat_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const Outcome r = ran("libname o '" + dir.string() + "';\n" + kPhysical +
                        "rotate=promax outstat=o.stat; run;\n"
                        "proc factor data=o.stat method=principal priors=smc nfactors=2; run;\n");
  const CsvData rows = read_csv(dir / "stat.csv");
  fs::remove_all(dir);
  std::vector<std::string> after;  // the kinds of row after EIGENVAL
  bool seen = false;
  for (const auto& cells : rows.cells) {
    const std::string type = cells.empty() ? "" : cells[0];
    if (seen && (after.empty() || after.back() != type)) after.push_back(type);
    seen |= type == "EIGENVAL";
  }
  EXPECT_EQ(after, (std::vector<std::string>{"UNROTATE", "PRETRANS", "PREROTAT", "TRANSFOR",
                                             "FCORR", "PATTERN", "RCORR", "REFERENC", "STRUCTUR"}));
  // PATTERN holds the pattern one factor per row.
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "PATTERN")), table(r, "ObliqueRotFactPat", 1)), 1e-12);
  // The TYPE=FACTOR data set read back gives the same analysis.
  EXPECT_LT(maxdiff(table(r, "Eigenvalues", 1), table(r, "Eigenvalues", -1)), 1e-12);
}

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
    const Outcome r =
        ran(std::string(kMl24) + "stderr rotate=varimax" + (kaiser ? "" : " norm=raw") + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat printed = table(r, "OrthRotFactPat");
    ASSERT_FALSE(a.empty());
    const std::size_t p = a.size(), m = a[0].size();
    const Mat t0 = start_at(a, printed, kaiser);
    ASSERT_LT(maxdiff(inv(t0), tr(t0)), 1e-8) << "an orthogonal rotation";
    Mat t = t0;
    ASSERT_LT(maxdiff(orthomax(a, 1, kaiser, &t), printed), 1e-8) << "the test's varimax is there";
    Rotation rotate = [&](const Mat& x) {
      Mat t = t0;
      return flatten(orthomax(x, 1, kaiser, &t), nullptr);
    };
    const auto var = delta_method(a, unrotated_covariance(a, kVardiv24), rotate);
    EXPECT_LT(maxrel(stack(r, "OrthRotFactPat", "StdErr"), as_pattern(var, p, m)), 1e-4);
  }
}

TEST(StandardErrors, QuartiminWithLimits) {
  // ALPHA= asks for the standard errors with their limits.
  const Outcome r = ran(std::string(kMl24) + "alpha=0.1 rotate=quartimin; run;");
  const Mat a = table(r, "FactorPattern");
  const Mat printed = table(r, "ObliqueRotFactPat");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size();

  // The unrotated standard errors are the inverse bordered information's.
  const Mat cov = unrotated_covariance(a, kVardiv24);
  const Mat se = unrotated_errors(cov, p, m);
  EXPECT_LT(maxrel(stack(r, "FactorPattern", "StdErr"), se), 1e-4);

  // Their limits at ALPHA=0.1 are symmetric for the pattern of an oblique
  // solution.
  const double q = 1.6448536269514722;
  const Mat lower = stack(r, "FactorPattern", "L"), upper = stack(r, "FactorPattern", "U");
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t k = 0; k < m; ++k) {
      EXPECT_NEAR(lower[i][k], a[i][k] - q * se[i][k], 1e-4 * se[i][k]);
      EXPECT_NEAR(upper[i][k], a[i][k] + q * se[i][k], 1e-4 * se[i][k]);
    }

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
}

TEST(StandardErrors, PromaxFollowsTheDeltaMethodThroughItsPrerotation) {
  const Outcome r = ran(std::string(kMl24) + "stderr rotate=promax; run;");
  const Mat a = table(r, "FactorPattern");
  const Mat prerotated = table(r, "OrthRotFactPat");
  ASSERT_FALSE(a.empty());
  const std::size_t p = a.size(), m = a[0].size();
  const Mat t0 = start_at(a, prerotated);
  Mat phi;
  const Mat promax = procrustes(prerotated, promax_target(prerotated, 3), phi);
  ASSERT_LT(maxdiff(promax, table(r, "ObliqueRotFactPat")), 1e-8)
      << "the test's promax is the step's";
  ASSERT_LT(maxdiff(phi, table(r, "InterFactorCorr")), 1e-8);
  const Mat cov = unrotated_covariance(a, kVardiv24);
  Rotation rotate = [&](const Mat& x) {
    Mat t = t0, f;
    const Mat b = orthomax(x, 1, true, &t);
    return flatten(procrustes(b, promax_target(b, 3), f), &f);
  };
  expect_oblique(r, delta_method(a, cov, rotate), p, m);
  // The prerotation keeps its own standard errors.
  Rotation prerotate = [&](const Mat& x) {
    Mat t = t0;
    return flatten(orthomax(x, 1, true, &t), nullptr);
  };
  EXPECT_LT(maxrel(stack(r, "OrthRotFactPat", "StdErr"),
                   as_pattern(delta_method(a, cov, prerotate), p, m)),
            1e-4);
}

TEST(StandardErrors, WhatHasNoStandardErrorsSaysWhy) {
  // NORM=WEIGHT: message 360; the rotated pattern is shown without them,
  // the unrotated one with them.
  const Outcome w = ran(std::string(kMl24) + "stderr rotate=varimax norm=weight; run;");
  EXPECT_TRUE(has_message(w, 360));
  EXPECT_NE(stack_rows(w, "FactorPattern", "StdErr"), nullptr);
  EXPECT_EQ(stack_rows(w, "OrthRotFactPat", "StdErr"), nullptr);
  // Harris-Kaiser: message 359, and nothing left over from the rotation
  // before it in the list.
  const Outcome hk = ran(std::string(kMl24) + "stderr rotate=varimax, hk; run;");
  EXPECT_TRUE(has_message(hk, 359));
  EXPECT_NE(stack_rows(hk, "OrthRotFactPat", "StdErr"), nullptr);
  EXPECT_EQ(stack_rows(hk, "ObliqueRotFactPat", "StdErr"), nullptr);
  // Promax after an oblique prerotation: message 359, the prerotated
  // solution keeps its own.
  const Outcome po = ran(std::string(kMl24) + "stderr prerotate=quartimin rotate=promax; run;");
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
  EXPECT_FALSE(has_message(ran(std::string(kMl24) + "stderr; run;"), 368));
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
