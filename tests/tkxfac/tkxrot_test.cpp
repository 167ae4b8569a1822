// Rotation through the factoring extension's entries, checked against what
// the tests compute on their own: Kaiser's pairwise planar rotations for the
// orthomax family, a finite-difference gradient of the criterion written out
// from its definition, and the invariants every rotation keeps (L = A tran,
// L Phi L' = A A', orthogonal or unit-column transformations).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "extension.h"
#include "numeric/dense.h"
#include "numeric/eigen.h"
#include "support/criteria.h"
#include "support/dense.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// The library's column-major matrix; the algebra of the checks below is
// done on copies held row by row.
using Mat = DenseMatrix;

// The algebra itself is done on the matrices held row by row.
dense::Mat rows(const Mat& a) {
  dense::Mat out = dense::zeros(a.rows(), a.cols());
  for (int i = 0; i < a.rows(); ++i)
    for (int j = 0; j < a.cols(); ++j) out[i][j] = a.at(i, j);
  return out;
}
Mat cols(const dense::Mat& a) {
  Mat out(static_cast<int>(a.size()), a.empty() ? 0 : static_cast<int>(a[0].size()));
  for (int i = 0; i < out.rows(); ++i)
    for (int j = 0; j < out.cols(); ++j) out.at(i, j) = a[i][j];
  return out;
}
Mat operator*(const Mat& a, const Mat& b) {
  return cols(dense::mul(rows(a), rows(b)));
}
Mat tr(const Mat& a) {
  return cols(dense::tr(rows(a)));
}
Mat inverse(const Mat& a) {
  return cols(dense::inv(rows(a)));
}
double max_abs_diff(const Mat& a, const Mat& b) {
  return dense::maxdiff(rows(a), rows(b));
}

Mat identity(int n) {
  Mat eye(n, n);
  for (int j = 0; j < n; ++j) eye.at(j, j) = 1;
  return eye;
}

Mat scale_rows(Mat a, const std::vector<double>& d) {
  for (int i = 0; i < a.rows(); ++i)
    for (int j = 0; j < a.cols(); ++j) a.at(i, j) *= d[i];
  return a;
}

// The reciprocal row lengths: Kaiser's normalisation.
std::vector<double> kaiser_scale(const Mat& a) {
  std::vector<double> d(a.rows(), 0.0);
  for (int i = 0; i < a.rows(); ++i)
    for (int j = 0; j < a.cols(); ++j) d[i] += a.at(i, j) * a.at(i, j);
  for (double& x : d) x = 1 / std::sqrt(x);
  return d;
}

// The principal-axes pattern (m leading eigenvectors scaled by the roots of
// their eigenvalues) of the correlation matrix of a population whose p
// variables fall into m clusters with unequal loadings and small cross
// loadings, the factors correlating rho.
Mat population_pattern(int p, int m, double rho) {
  auto frac = [](double x) { return x - std::floor(x); };
  Mat lambda(p, m), a(p, m);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < m; ++j)
      lambda.at(i, j) =
          j == i % m ? 0.45 + 0.35 * frac(0.618 * i) : 0.15 * (2 * frac(0.37 * i + 0.71 * j) - 1);
  Mat phi(m, m);
  for (double& x : phi.values()) x = rho;
  for (int j = 0; j < m; ++j) phi.at(j, j) = 1;
  const Mat r = lambda * phi * tr(lambda);
  std::vector<double> packed, values(p), work(8 * p);
  for (int i = 0; i < p; ++i)
    for (int k = 0; k <= i; ++k) packed.push_back(i == k ? 1.0 : r.at(i, k));
  EXPECT_LE(zeigen2(p, packed.data(), values.data(), m, a.values().data(), work.data()), 0);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) a.at(i, j) *= std::sqrt(values[j]);
  return a;
}

// The generalised criterion written out from its definition
// (support/criteria.h), with weights g.
using Weights = std::array<double, 4>;

double gcf(const Mat& l, const Weights& g, bool by_magnitude = false) {
  return criteria::generalised(rows(l), g.data(), by_magnitude);
}

// Norm of the criterion's gradient with respect to T, by central differences
// of Q(X T) (orthogonal) or Q(X T^{-T}) (oblique), projected onto the
// tangent space at T; relative to the criterion's size.
double projected_gradient(const Mat& x, const Mat& t, bool oblique, const Weights& g) {
  auto rotated = [&](const Mat& tt) { return x * (oblique ? tr(inverse(tt)) : tt); };
  const double h = 1e-5;
  Mat grad(t.rows(), t.cols());
  for (std::size_t k = 0; k < grad.values().size(); ++k) {
    Mat up = t, down = t;
    up.values()[k] += h;
    down.values()[k] -= h;
    grad.values()[k] = (gcf(rotated(up), g) - gcf(rotated(down), g)) / (2 * h);
  }
  // Oblique: G - T diag(T'G); orthogonal: G - T sym(T'G).
  const Mat tg = tr(t) * grad;
  Mat sym(t.cols(), t.cols());
  for (int i = 0; i < t.cols(); ++i)
    for (int j = 0; j < t.cols(); ++j)
      sym.at(i, j) = oblique ? (i == j) * tg.at(i, j) : 0.5 * (tg.at(i, j) + tg.at(j, i));
  const Mat tsym = t * sym;
  double norm = 0;
  for (std::size_t k = 0; k < grad.values().size(); ++k)
    norm += std::pow(grad.values()[k] - tsym.values()[k], 2);
  return std::sqrt(norm) / gcf(rotated(t), g, true);
}

// Kaiser's rotation for the orthomax family: rotate every pair of columns by
// the angle that maximises sum l^4 - gamma/p sum_j (sum_i l_ij^2)^2 in their
// plane, sweep until no angle is left.
Mat pairwise_orthomax(Mat l, double gamma) {
  const int p = l.rows(), m = l.cols();
  double largest = 1;
  for (int sweep = 0; sweep < 10000 && largest > 1e-15; ++sweep) {
    largest = 0;
    for (int a = 0; a < m; ++a)
      for (int b = a + 1; b < m; ++b) {
        double sa = 0, sb = 0, sc = 0, sd = 0;
        for (int i = 0; i < p; ++i) {
          const double u = l.at(i, a) * l.at(i, a) - l.at(i, b) * l.at(i, b), v = 2 * l.at(i, a) * l.at(i, b);
          sa += u, sb += v, sc += u * u - v * v, sd += 2 * u * v;
        }
        const double phi =
            0.25 * std::atan2(sd - 2 * gamma * sa * sb / p, sc - gamma * (sa * sa - sb * sb) / p);
        largest = std::max(largest, std::fabs(phi));
        const double c = std::cos(phi), s = std::sin(phi);
        for (int i = 0; i < p; ++i) {
          const double x = l.at(i, a), y = l.at(i, b);
          l.at(i, a) = c * x + s * y;
          l.at(i, b) = -s * x + c * y;
        }
      }
  }
  return l;
}

// ---------------------------------------------------------------------------
// The extension

struct Rotated {
  int rc = -1;
  std::int32_t status = 0, iterations = 0;
  double criterion = 0, convergence = 0;
  Mat l{0, 0}, tran{0, 0}, phi{0, 0};
  std::vector<double> var_weights, factor_weights;
  int var_weights_rc = -1, factor_weights_rc = -1;
};

// The calls the procedure makes, in its order; the standard deviations, when
// given, are handed over first as the correlation stage does.
Rotated run(test::Extension& e, const Mat& a, const TKXFAC_ROTPARMS& rot,
            const std::vector<double>* vstd = nullptr) {
  const int p = a.rows(), m = a.cols();
  Rotated r;
  EXPECT_EQ(e.set_int(TKXFAC_VAL_NVAR, p), TKXFAC_OK);
  if (vstd) {
    EXPECT_EQ(e.set(TKXFAC_VAL_STD, *vstd), TKXFAC_OK);
  }
  EXPECT_EQ(e.set_int(TKXFAC_VAL_NFACT, m), TKXFAC_OK);
  EXPECT_EQ(e.set(TKXFAC_VAL_PATTERN, a.values()), TKXFAC_OK);
  if ((r.rc = e.rotate(&rot)) != TKXFAC_OK) return r;
  r.l = Mat(p, m), r.tran = Mat(m, m), r.phi = Mat(m, m);
  std::vector<double> packed(m * (m + 1) / 2);
  r.var_weights.resize(p);
  r.factor_weights.resize(m);
  for (int rc :
       {e.get_scalar(TKXFAC_ROTATION_STATUS, r.status),
        e.get_scalar(TKXFAC_VAL_ROTATION_ITER, r.iterations),
        e.get_scalar(TKXFAC_VAL_ROTATION_CRIT1, r.criterion),
        e.get_scalar(TKXFAC_VAL_ROTATION_CRIT2, r.convergence),
        e.get(TKXFAC_VAL_ROTATED_PATTERN, r.l.values()),
        e.get(TKXFAC_VAL_TRANSFORMATION, r.tran.values()), e.get(TKXFAC_VAL_FACTOR_CORR, packed)})
    EXPECT_EQ(rc, TKXFAC_OK);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j <= i; ++j) r.phi.at(i, j) = r.phi.at(j, i) = packed[i * (i + 1) / 2 + j];
  r.var_weights_rc = e.get(TKXFAC_VAL_VAR_WEIGHTS, r.var_weights);
  r.factor_weights_rc = e.get(TKXFAC_VAL_FACTOR_WEIGHTS, r.factor_weights);
  return r;
}

TKXFAC_ROTPARMS params(int p, int rottype, const Weights& g, int normtype = 1) {
  TKXFAC_ROTPARMS r{};
  r.rottype = rottype;
  r.normtype = normtype;
  r.kaisernorm = normtype == 1;
  r.promaxnorm = r.savetrans = true;
  r.maxiter = std::max(100, 10 * p);  // the default RITER=
  r.gamma = r.tau = r.hkpower = r.power = kMissing;
  r.eps = 1e-9;
  std::copy(g.begin(), g.end(), r.gcf_parms);
  return r;
}

// The weights of the named rotations: orthogonal (0, 0, -B, A+B), oblique
// counterparts (0, A, B, -(A+B)), oblimin (-tau/p, 1, tau/p, -1).
const auto orthomax = [](double a, double b) { return Weights{0, 0, -b, a + b}; };
const auto oblique_counterpart = [](double a, double b) { return Weights{0, a, b, -(a + b)}; };
const auto oblimin = [](double tau, double p) { return Weights{-tau / p, 1, tau / p, -1}; };

// The checks every converged rotation of a must pass; x is the pattern the
// engine rotated (a with its rows scaled).
void expect_solution(const Rotated& r, const Mat& a, const Mat& x, bool oblique, const Weights& g,
                     const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(r.rc, TKXFAC_OK);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_CONVERGE);
  EXPECT_LT(r.convergence, 1e-9);
  EXPECT_LE(max_abs_diff(r.l, a * r.tran), 1e-12);
  const Mat tinv = inverse(r.tran), inner = tinv * tr(tinv);
  if (oblique) {
    for (int j = 0; j < a.cols(); ++j) EXPECT_NEAR(inner.at(j, j), 1.0, 1e-10);
    EXPECT_LE(max_abs_diff(r.phi, inner), 1e-10);
  } else {
    EXPECT_LE(max_abs_diff(tr(r.tran) * r.tran, identity(a.cols())), 1e-10);
    EXPECT_EQ(r.phi.values(), identity(a.cols()).values());
  }
  EXPECT_LE(max_abs_diff(r.l * r.phi * tr(r.l), a * tr(a)), 1e-10);
  // The matrix the engine moved: T itself, or T = tran^{-T} for oblique;
  // either way x tran is the pattern whose criterion it optimised.
  const Mat rotated = x * r.tran;
  EXPECT_NEAR(r.criterion, gcf(rotated, g), 1e-10 * gcf(rotated, g, true));
  EXPECT_LT(projected_gradient(x, oblique ? tr(tinv) : r.tran, oblique, g), 1e-6);
}

TEST(Rotation, EveryCriterionFamilyStopsAtAStationaryPointAndKeepsTheCommonPart) {
  for (const auto& [p, m, rho] : {std::tuple{24, 4, 0.3}, std::tuple{8, 2, 0.2}}) {
    const double P = p, M = m;
    const Mat a = population_pattern(p, m, rho);
    // clang-format off
    const std::tuple<const char*, int, bool, Weights> cases[] = {
        {"quartimax", 1, false, orthomax(1, 0)}, {"varimax", 2, false, orthomax(P - 1, 1)},
        {"equamax", 4, false, orthomax(2 * P - M, M)}, {"parsimax", 5, false, orthomax(P - 1, M - 1)},
        {"factor parsimax", 6, false, orthomax(0, 1)},
        {"orthomax gamma 0.5", 16, false, orthomax(P - 0.5, 0.5)},
        {"orthogonal CF", 18, false, orthomax(0.8, 0.2)},
        {"orthogonal GENCF", 20, false, {0.5, 0.25, -1, P}},
        {"quartimin", 7, true, oblimin(0, P)}, {"biquartimin", 8, true, oblimin(0.5, P)},
        {"oblimin tau -1", 17, true, oblimin(-1, P)},
        {"obquartimax", 10, true, oblique_counterpart(1, 0)},
        {"obvarimax", 11, true, oblique_counterpart(P - 1, 1)},
        {"obequamax", 13, true, oblique_counterpart(2 * P - M, M)},
        {"oblique CF", 19, true, oblique_counterpart(0.9, 0.1)},
        {"oblique GENCF", 21, true, {-0.01, 1, 0.02, -1.2}}};
    // clang-format on
    for (bool kaiser : {true, false}) {
      const Mat x = kaiser ? scale_rows(a, kaiser_scale(a)) : a;
      for (const auto& [name, rottype, oblique, g] : cases) {
        const std::string what = std::string(name) + " " + std::to_string(p) + "x" +
                                 std::to_string(m) + (kaiser ? " Kaiser" : " raw");
        test::Extension e;
        const Rotated r = run(e, a, params(p, rottype, g, kaiser ? 1 : 3));
        expect_solution(r, a, x, oblique, g, what);
        if (oblique) continue;
        // An orthogonal criterion is the orthomax one of gamma = -p g2 / g3
        // plus terms no rotation changes: the engine reaches the maximum
        // Kaiser's rotation finds, well within the default iteration limit.
        EXPECT_LE(r.iterations, 50) << what;
        const double best = gcf(pairwise_orthomax(x, -P * g[2] / g[3]), g);
        EXPECT_NEAR(gcf(x * r.tran, g), best, 1e-9 * gcf(x, g, true)) << what;
      }
    }
  }
  // Covarimin collapses factors on most patterns of more than two; on two
  // it converges.
  const Mat a2 = population_pattern(12, 2, 0.2);
  test::Extension e;
  expect_solution(run(e, a2, params(12, 9, oblimin(1, 12), 3)), a2, a2, true, oblimin(1, 12),
                  "covarimin");
}

TEST(Rotation, CuretonMulaikWeightsFollowTheAngleToTheFirstFactor) {
  // WEIGHT: Kaiser normalisation and then a weight per row.  Two factors: a
  // single-factor variable lies 45 degrees from the first (general) factor
  // and counts fully; one on the general factor or at right angles to it
  // counts least; halfway in angle, half.  The rotation is the raw rotation
  // of the rows so scaled.
  const int p = 6;
  const double pi = std::acos(-1.0);
  const double angles[p] = {0, pi / 4, pi / 2, pi / 8, 3 * pi / 8, pi / 4};
  const double lengths[p] = {0.7, 0.6, 0.5, 0.8, 0.4, 0.9};
  const double expected[p] = {0.001, 1.001, 0.001, 0.501, 0.501, 1.001};
  Mat a(p, 2);
  for (int i = 0; i < p; ++i) {
    a.at(i, 0) = lengths[i] * std::cos(angles[i]) * (i % 2 ? -1 : 1);
    a.at(i, 1) = lengths[i] * std::sin(angles[i]);
  }
  test::Extension e;
  const Rotated r = run(e, a, params(p, 2, orthomax(p - 1, 1), 2));
  ASSERT_EQ(r.var_weights_rc, TKXFAC_OK);
  std::vector<double> d = kaiser_scale(a);
  for (int i = 0; i < p; ++i) {
    EXPECT_NEAR(r.var_weights[i], expected[i], 1e-12) << i;
    d[i] *= r.var_weights[i];
  }
  const Rotated raw = run(e, scale_rows(a, d), params(p, 2, orthomax(p - 1, 1), 3));
  EXPECT_LE(max_abs_diff(r.tran, raw.tran), 1e-8);
}

TEST(Rotation, StatusesForWhatCannotConverge) {
  const int p = 24, m = 4;
  const Mat a = population_pattern(p, m, 0.3);
  test::Extension e;
  // One iteration is not enough; the last iterate is still a rotation of A.
  TKXFAC_ROTPARMS rot = params(p, 2, orthomax(p - 1, 1));
  rot.maxiter = 1;
  Rotated r = run(e, a, rot);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_NOT_CONVERGE);
  EXPECT_EQ(r.iterations, 1);
  EXPECT_GT(r.convergence, 1e-9);
  EXPECT_LE(max_abs_diff(r.l, a * r.tran), 1e-12);
  EXPECT_LE(max_abs_diff(tr(r.tran) * r.tran, identity(m)), 1e-10);
  // Covarimin on four correlated factors: two of them merge, T tends to a
  // singular matrix.
  rot = params(p, 9, oblimin(1, p), 3);
  rot.maxiter = 5000;
  r = run(e, a, rot);
  ASSERT_EQ(r.rc, TKXFAC_OK);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_TO_SINGULARITY);
  EXPECT_LE(max_abs_diff(r.l, a * r.tran), 1e-9 * std::fabs(r.l.values()[0]) + 1e-9);
  // A missing loading: an exception status, no crash, nothing invented.
  Mat bad = a;
  bad.values()[5] = kMissing;
  r = run(e, bad, params(p, 7, oblimin(0, p)));
  EXPECT_EQ(r.status, TKXFAC_ROTATE_EXCEPTION);
  EXPECT_EQ(r.iterations, 0);
  // One factor: nothing to rotate.  A pattern at simple structure, where
  // quartimin's criterion and its gradient are 0, stays where it is.
  Mat one(p, 1), simple(9, 3);
  one.values().assign(a.values().begin(), a.values().begin() + p);
  for (int i = 0; i < 9; ++i) simple.at(i, i % 3) = 0.3 + 0.07 * i;
  for (const auto& [x, g] : {std::pair{one, orthomax(p - 1, 1)}, {simple, oblimin(0, 9)}}) {
    r = run(e, x, params(x.rows(), x.cols() == 1 ? 2 : 7, g));
    EXPECT_EQ(r.status, TKXFAC_ROTATE_CONVERGE);
    EXPECT_LE(max_abs_diff(r.tran, identity(x.cols())), 1e-10);
    EXPECT_LE(max_abs_diff(r.l, x), 1e-10);
  }
}

}  // namespace
}  // namespace kav
