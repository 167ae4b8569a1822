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
#include <limits>
#include <string>
#include <vector>

#include "numeric/eigen.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

using Mat = std::vector<double>;  // column-major
constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

double& el(Mat& x, int rows, int i, int j) {
  return x[static_cast<std::size_t>(j) * rows + i];
}
double el(const Mat& x, int rows, int i, int j) {
  return x[static_cast<std::size_t>(j) * rows + i];
}

// a (r x k) times b (k x c).
Mat mul(const Mat& a, const Mat& b, int r, int k, int c) {
  Mat out(static_cast<std::size_t>(r) * c, 0.0);
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < c; ++j)
      for (int l = 0; l < k; ++l) el(out, r, i, j) += el(a, r, i, l) * el(b, k, l, j);
  return out;
}

Mat transpose(const Mat& a, int r, int c) {
  Mat out(a.size());
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < c; ++j) el(out, c, j, i) = el(a, r, i, j);
  return out;
}

Mat inverse(Mat a, int n) {
  Mat inv(static_cast<std::size_t>(n) * n, 0.0);
  for (int i = 0; i < n; ++i) el(inv, n, i, i) = 1;
  for (int k = 0; k < n; ++k) {
    int piv = k;
    for (int i = k + 1; i < n; ++i)
      if (std::fabs(el(a, n, i, k)) > std::fabs(el(a, n, piv, k))) piv = i;
    for (int j = 0; j < n; ++j) {
      std::swap(el(a, n, k, j), el(a, n, piv, j));
      std::swap(el(inv, n, k, j), el(inv, n, piv, j));
    }
    const double d = el(a, n, k, k);
    for (int j = 0; j < n; ++j) {
      el(a, n, k, j) /= d;
      el(inv, n, k, j) /= d;
    }
    for (int i = 0; i < n; ++i)
      if (i != k) {
        const double f = el(a, n, i, k);
        for (int j = 0; j < n; ++j) {
          el(a, n, i, j) -= f * el(a, n, k, j);
          el(inv, n, i, j) -= f * el(inv, n, k, j);
        }
      }
  }
  return inv;
}

double max_abs_diff(const Mat& a, const Mat& b) {
  double d = 0;
  for (std::size_t k = 0; k < a.size(); ++k) d = std::max(d, std::fabs(a[k] - b[k]));
  return d;
}

Mat scale_rows(const Mat& a, int p, int m, const std::vector<double>& d) {
  Mat out = a;
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < m; ++j) el(out, p, i, j) *= d[static_cast<std::size_t>(i)];
  return out;
}

std::vector<double> row_lengths(const Mat& a, int p, int m) {
  std::vector<double> h(static_cast<std::size_t>(p));
  for (int i = 0; i < p; ++i) {
    double s = 0;
    for (int j = 0; j < m; ++j) s += el(a, p, i, j) * el(a, p, i, j);
    h[static_cast<std::size_t>(i)] = std::sqrt(s);
  }
  return h;
}

std::vector<double> kaiser_scale(const Mat& a, int p, int m) {
  std::vector<double> d = row_lengths(a, p, m);
  for (double& v : d) v = 1 / v;
  return d;
}

// The principal-axes pattern (m leading eigenvectors scaled by the roots of
// their eigenvalues) of the correlation matrix of a population whose p
// variables fall into m clusters with unequal loadings and small cross
// loadings, the factors correlating rho.
Mat population_pattern(int p, int m, double rho, double cross) {
  auto frac = [](double x) { return x - std::floor(x); };
  Mat lambda(static_cast<std::size_t>(p) * m);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < m; ++j)
      el(lambda, p, i, j) =
          j == i % m ? 0.45 + 0.35 * frac(0.618 * i) : cross * (2 * frac(0.37 * i + 0.71 * j) - 1);
  std::vector<double> r;
  for (int i = 0; i < p; ++i)
    for (int k = 0; k <= i; ++k) {
      double s = 0;
      for (int a = 0; a < m; ++a)
        for (int b = 0; b < m; ++b)
          s += el(lambda, p, i, a) * el(lambda, p, k, b) * (a == b ? 1.0 : rho);
      r.push_back(i == k ? 1.0 : s);
    }
  std::vector<double> values(static_cast<std::size_t>(p)), vectors(static_cast<std::size_t>(p) * m),
      work(8 * static_cast<std::size_t>(p));
  EXPECT_LE(zeigen2(p, r.data(), values.data(), m, vectors.data(), work.data()), 0);
  Mat a(static_cast<std::size_t>(p) * m);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i)
      el(a, p, i, j) = el(vectors, p, i, j) * std::sqrt(values[static_cast<std::size_t>(j)]);
  return a;
}

// ---------------------------------------------------------------------------
// The criterion written out from its definition.

using Weights = std::array<double, 4>;

double gcf(const Mat& l, int p, int m, const Weights& g, bool by_magnitude = false) {
  double total = 0, rows = 0, cols = 0, fourth = 0;
  for (int i = 0; i < p; ++i) {
    double r = 0;
    for (int j = 0; j < m; ++j) r += el(l, p, i, j) * el(l, p, i, j);
    rows += r * r;
    total += r;
  }
  for (int j = 0; j < m; ++j) {
    double c = 0;
    for (int i = 0; i < p; ++i) {
      c += el(l, p, i, j) * el(l, p, i, j);
      fourth += std::pow(el(l, p, i, j), 4);
    }
    cols += c * c;
  }
  const double t[4] = {total * total, rows, cols, fourth};
  double q = 0;
  for (int k = 0; k < 4; ++k) q += (by_magnitude ? std::fabs(g[k]) : g[k]) * t[k];
  return q;
}

// Norm of the criterion's gradient with respect to T, by central differences
// of Q(X T) (orthogonal) or Q(X T^{-T}) (oblique), projected onto the
// tangent space at T; relative to the criterion's size.
double projected_gradient(const Mat& x, int p, int m, const Mat& t, bool oblique,
                          const Weights& g) {
  auto q = [&](const Mat& tt) {
    const Mat l = oblique ? mul(x, transpose(inverse(tt, m), m, m), p, m, m) : mul(x, tt, p, m, m);
    return gcf(l, p, m, g);
  };
  const double h = 1e-5;
  Mat grad(static_cast<std::size_t>(m) * m);
  for (std::size_t k = 0; k < grad.size(); ++k) {
    Mat up = t, down = t;
    up[k] += h;
    down[k] -= h;
    grad[k] = (q(up) - q(down)) / (2 * h);
  }
  Mat gp = grad;
  if (oblique) {
    for (int j = 0; j < m; ++j) {
      double c = 0;
      for (int i = 0; i < m; ++i) c += el(t, m, i, j) * el(grad, m, i, j);
      for (int i = 0; i < m; ++i) el(gp, m, i, j) -= c * el(t, m, i, j);
    }
  } else {
    Mat tg = mul(transpose(t, m, m), grad, m, m, m), sym(tg.size());
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < m; ++j) el(sym, m, i, j) = 0.5 * (el(tg, m, i, j) + el(tg, m, j, i));
    const Mat tsym = mul(t, sym, m, m, m);
    for (std::size_t k = 0; k < gp.size(); ++k) gp[k] -= tsym[k];
  }
  double norm = 0;
  for (double v : gp) norm += v * v;
  const Mat l = oblique ? mul(x, transpose(inverse(t, m), m, m), p, m, m) : mul(x, t, p, m, m);
  return std::sqrt(norm) / gcf(l, p, m, g, true);
}

// Kaiser's rotation for the orthomax family: rotate every pair of columns by
// the angle that maximises sum l^4 - gamma/p sum_j (sum_i l_ij^2)^2 in their
// plane, sweep until no angle is left.  Kaiser-normalised when asked.
Mat pairwise_orthomax(Mat l, int p, int m, double gamma, bool normalise) {
  std::vector<double> h(static_cast<std::size_t>(p), 1.0);
  if (normalise) h = row_lengths(l, p, m);
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < m; ++j) el(l, p, i, j) /= h[static_cast<std::size_t>(i)];
  for (int sweep = 0; sweep < 10000; ++sweep) {
    double largest = 0;
    for (int a = 0; a < m; ++a)
      for (int b = a + 1; b < m; ++b) {
        double sa = 0, sb = 0, sc = 0, sd = 0;
        for (int i = 0; i < p; ++i) {
          const double x = el(l, p, i, a), y = el(l, p, i, b);
          const double u = x * x - y * y, v = 2 * x * y;
          sa += u;
          sb += v;
          sc += u * u - v * v;
          sd += 2 * u * v;
        }
        const double phi =
            0.25 * std::atan2(sd - 2 * gamma * sa * sb / p, sc - gamma * (sa * sa - sb * sb) / p);
        largest = std::max(largest, std::fabs(phi));
        const double c = std::cos(phi), s = std::sin(phi);
        for (int i = 0; i < p; ++i) {
          const double x = el(l, p, i, a), y = el(l, p, i, b);
          el(l, p, i, a) = c * x + s * y;
          el(l, p, i, b) = -s * x + c * y;
        }
      }
    if (largest < 1e-15) break;
  }
  for (int i = 0; i < p; ++i)
    for (int j = 0; j < m; ++j) el(l, p, i, j) *= h[static_cast<std::size_t>(i)];
  return l;
}

// Largest difference between the columns of x and those of y, each column
// of x matched to the column of y and the sign that fit it best.
double difference_up_to_order_and_sign(const Mat& x, const Mat& y, int p, int m) {
  double worst = 0;
  std::vector<bool> used(static_cast<std::size_t>(m), false);
  for (int j = 0; j < m; ++j) {
    double best = std::numeric_limits<double>::infinity();
    int which = -1;
    for (int k = 0; k < m; ++k) {
      if (used[static_cast<std::size_t>(k)]) continue;
      for (double sign : {1.0, -1.0}) {
        double d = 0;
        for (int i = 0; i < p; ++i)
          d = std::max(d, std::fabs(el(x, p, i, j) - sign * el(y, p, i, k)));
        if (d < best) {
          best = d;
          which = k;
        }
      }
    }
    used[static_cast<std::size_t>(which)] = true;
    worst = std::max(worst, best);
  }
  return worst;
}

// ---------------------------------------------------------------------------
// The extension

struct Rotated {
  int rc = -1;
  int status = 0, iterations = 0;
  double criterion = 0, convergence = 0;
  Mat l, tran, phi;  // phi unpacked to m x m
  std::vector<double> var_weights, factor_weights;
  int var_weights_rc = -1, factor_weights_rc = -1;
};

class Extension {
 public:
  Extension() {
    ext_ = tkxfac_from_header(tkxfac_load(nullptr, "tkxfac"));
    TKXFAC_PARMS parms{};
    parms.nfac = -99;
    inst_ = ext_->CreateInstance(ext_, &parms);
    f_ = inst_->FactoryPtr;
  }
  ~Extension() {
    f_->DestroyInstance(&inst_);
    ext_->hdr.destroy(&ext_->hdr);
  }
  Extension(const Extension&) = delete;
  Extension& operator=(const Extension&) = delete;

  int set_int(int code, std::int32_t v) { return f_->ValueSet(inst_, code, &v, sizeof v); }
  int set(int code, const std::vector<double>& v) {
    return f_->ValueSet(inst_, code, v.data(), v.size() * sizeof(double));
  }
  int get(int code, std::vector<double>& v, std::size_t count) {
    v.assign(count, 0.0);
    std::size_t bytes = count * sizeof(double);
    return f_->ValueGet(inst_, code, v.data(), &bytes, 0, 0);
  }
  template <typename T>
  int get_scalar(int code, T& v) {
    std::size_t bytes = sizeof v;
    return f_->ValueGet(inst_, code, &v, &bytes, 0, 0);
  }
  int rotate(const TKXFAC_ROTPARMS* rot) { return f_->RotateFactors(inst_, rot); }
  int reset() { return f_->ResetInstance(inst_); }

  // The calls the procedure makes, in its order; the standard deviations, when
  // given, are handed over first as the correlation stage does.
  Rotated run(int p, int m, const Mat& a, const TKXFAC_ROTPARMS& rot,
              const std::vector<double>* vstd = nullptr) {
    Rotated r;
    EXPECT_EQ(set_int(TKXFAC_VAL_NVAR, p), TKXFAC_OK);
    if (vstd) {
      EXPECT_EQ(set(TKXFAC_VAL_STD, *vstd), TKXFAC_OK);
    }
    EXPECT_EQ(set_int(TKXFAC_VAL_NFACT, m), TKXFAC_OK);
    EXPECT_EQ(set(TKXFAC_VAL_PATTERN, a), TKXFAC_OK);
    r.rc = rotate(&rot);
    if (r.rc != TKXFAC_OK) return r;
    std::int32_t v = 0;
    EXPECT_EQ(get_scalar(TKXFAC_ROTATION_STATUS, v), TKXFAC_OK);
    r.status = v;
    EXPECT_EQ(get_scalar(TKXFAC_VAL_ROTATION_ITER, v), TKXFAC_OK);
    r.iterations = v;
    EXPECT_EQ(get_scalar(TKXFAC_VAL_ROTATION_CRIT1, r.criterion), TKXFAC_OK);
    EXPECT_EQ(get_scalar(TKXFAC_VAL_ROTATION_CRIT2, r.convergence), TKXFAC_OK);
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    EXPECT_EQ(get(TKXFAC_VAL_ROTATED_PATTERN, r.l, static_cast<std::size_t>(p) * m), TKXFAC_OK);
    EXPECT_EQ(get(TKXFAC_VAL_TRANSFORMATION, r.tran, mm), TKXFAC_OK);
    std::vector<double> packed;
    EXPECT_EQ(get(TKXFAC_VAL_FACTOR_CORR, packed, mm), TKXFAC_OK);
    r.phi.assign(mm, 0.0);
    for (int i = 0; i < m; ++i)
      for (int j = 0; j <= i; ++j)
        el(r.phi, m, i, j) = el(r.phi, m, j, i) =
            packed[static_cast<std::size_t>(i * (i + 1) / 2 + j)];
    r.var_weights_rc = get(TKXFAC_VAL_VAR_WEIGHTS, r.var_weights, static_cast<std::size_t>(p));
    r.factor_weights_rc =
        get(TKXFAC_VAL_FACTOR_WEIGHTS, r.factor_weights, static_cast<std::size_t>(m));
    return r;
  }

 private:
  TKXFAC_EXTENSION* ext_ = nullptr;
  TKXFAC_INSTANCE* inst_ = nullptr;
  const TKXFAC_FACTORY* f_ = nullptr;
};

TKXFAC_ROTPARMS params(int p, int rottype, const Weights& g, int normtype = 1) {
  TKXFAC_ROTPARMS r{};
  r.rottype = rottype;
  r.normtype = normtype;
  r.kaisernorm = normtype == 1;
  r.promaxnorm = r.savetrans = true;
  r.maxiter = std::max(100, 10 * p);  // the default RITER=
  r.gamma = r.tau = r.hkpower = r.power = kMissing;
  r.eps = 1e-9;
  for (int k = 0; k < 4; ++k) r.gcf_parms[k] = g[static_cast<std::size_t>(k)];
  return r;
}

// The weights of the named rotations: orthogonal (0, 0, -B, A+B), oblique
// counterparts (0, A, B, -(A+B)), oblimin (-tau/p, 1, tau/p, -1).
Weights orthomax(double a, double b) {
  return {0, 0, -b, a + b};
}
Weights oblique_counterpart(double a, double b) {
  return {0, a, b, -(a + b)};
}
Weights oblimin(double tau, double p) {
  return {-tau / p, 1, tau / p, -1};
}

// The checks every converged rotation must pass; x is the pattern the engine
// rotated (A with its rows scaled).
void expect_solution(const Rotated& r, const Mat& a, const Mat& x, int p, int m, bool oblique,
                     const Weights& g, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(r.rc, TKXFAC_OK);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_CONVERGE);
  EXPECT_LT(r.convergence, 1e-9);
  EXPECT_LE(max_abs_diff(r.l, mul(a, r.tran, p, m, m)), 1e-12);
  const Mat tinv = inverse(r.tran, m);
  const Mat inner = mul(tinv, transpose(tinv, m, m), m, m, m);  // tran^{-1} tran^{-T}
  if (oblique) {
    for (int j = 0; j < m; ++j) EXPECT_NEAR(el(inner, m, j, j), 1.0, 1e-10);
    EXPECT_LE(max_abs_diff(r.phi, inner), 1e-10);
  } else {
    Mat eye(static_cast<std::size_t>(m) * m, 0.0);
    for (int j = 0; j < m; ++j) el(eye, m, j, j) = 1;
    EXPECT_LE(max_abs_diff(mul(transpose(r.tran, m, m), r.tran, m, m, m), eye), 1e-10);
    EXPECT_EQ(r.phi, eye);
  }
  const Mat common = mul(a, transpose(a, p, m), p, m, p);
  const Mat reproduced = mul(mul(r.l, r.phi, p, m, m), transpose(r.l, p, m), p, m, p);
  EXPECT_LE(max_abs_diff(reproduced, common), 1e-10);
  // The matrix the engine moved: T itself, or T = tran^{-T} for oblique;
  // either way x tran is the pattern whose criterion it optimised.
  const Mat t = oblique ? transpose(tinv, m, m) : r.tran;
  const Mat rotated = mul(x, r.tran, p, m, m);
  EXPECT_NEAR(r.criterion, gcf(rotated, p, m, g), 1e-10 * gcf(rotated, p, m, g, true));
  EXPECT_LT(projected_gradient(x, p, m, t, oblique, g), 1e-6);
}

TEST(Rotation, VarimaxAndQuartimaxAgreeWithKaisersPairwiseRotation) {
  struct Size {
    int p, m;
    double rho, cross;
  };
  for (const Size s : {Size{8, 2, 0.2, 0.15}, Size{12, 3, 0.0, 0.2}, Size{24, 4, 0.3, 0.15}}) {
    const Mat a = population_pattern(s.p, s.m, s.rho, s.cross);
    for (bool kaiser : {false, true})
      for (bool varimax : {false, true}) {
        SCOPED_TRACE(std::to_string(s.p) + "x" + std::to_string(s.m) +
                     (varimax ? " varimax" : " quartimax") + (kaiser ? " Kaiser" : " raw"));
        Extension e;
        const Weights g = varimax ? orthomax(s.p - 1, 1) : orthomax(1, 0);
        const Rotated r = e.run(s.p, s.m, a, params(s.p, varimax ? 2 : 1, g, kaiser ? 1 : 3));
        ASSERT_EQ(r.rc, TKXFAC_OK);
        EXPECT_EQ(r.status, TKXFAC_ROTATE_CONVERGE);
        // Well within the default iteration limit.
        EXPECT_LE(r.iterations, 50);
        const Mat reference = pairwise_orthomax(a, s.p, s.m, varimax ? 1.0 : 0.0, kaiser);
        EXPECT_LE(difference_up_to_order_and_sign(r.l, reference, s.p, s.m), 1e-6);
      }
  }
}

TEST(Rotation, EveryCriterionFamilyStopsAtAStationaryPointAndKeepsTheCommonPart) {
  const int p = 24, m = 4;
  const double P = p, M = m;
  const Mat a = population_pattern(p, m, 0.3, 0.15);
  struct Case {
    const char* name;
    int rottype;
    Weights g;
  };
  const Case orthogonal[] = {
      {"quartimax", 1, orthomax(1, 0)},          {"varimax", 2, orthomax(P - 1, 1)},
      {"equamax", 4, orthomax(2 * P - M, M)},    {"parsimax", 5, orthomax(P - 1, M - 1)},
      {"factor parsimax", 6, orthomax(0, 1)},    {"orthomax gamma 0.5", 16, orthomax(P - 0.5, 0.5)},
      {"orthogonal CF", 18, orthomax(0.8, 0.2)}, {"orthogonal GENCF", 20, {0.5, 0.25, -1, P}},
  };
  const Case oblique[] = {
      {"quartimin", 7, oblimin(0, P)},
      {"biquartimin", 8, oblimin(0.5, P)},
      {"oblimin tau -1", 17, oblimin(-1, P)},
      {"obquartimax", 10, oblique_counterpart(1, 0)},
      {"obvarimax", 11, oblique_counterpart(P - 1, 1)},
      {"obequamax", 13, oblique_counterpart(2 * P - M, M)},
      {"oblique CF", 19, oblique_counterpart(0.9, 0.1)},
      {"oblique GENCF", 21, {-0.01, 1, 0.02, -1.2}},
  };
  for (int normtype : {1, 3}) {
    const Mat x = normtype == 1 ? scale_rows(a, p, m, kaiser_scale(a, p, m)) : a;
    for (bool obl : {false, true})
      for (const Case& c : obl ? std::vector<Case>(std::begin(oblique), std::end(oblique))
                               : std::vector<Case>(std::begin(orthogonal), std::end(orthogonal))) {
        Extension e;
        const Rotated r = e.run(p, m, a, params(p, c.rottype, c.g, normtype));
        expect_solution(r, a, x, p, m, obl, c.g,
                        std::string(c.name) + (normtype == 1 ? " Kaiser" : " raw"));
      }
  }
  // Covarimin collapses factors on most patterns of more than two; on two
  // it converges.
  const Mat a2 = population_pattern(12, 2, 0.2, 0.15);
  Extension e;
  const Rotated r = e.run(12, 2, a2, params(12, 9, oblimin(1, 12), 3));
  expect_solution(r, a2, a2, 12, 2, true, oblimin(1, 12), "covarimin");
}

TEST(Rotation, TheOrthogonalCriterionIgnoresTermsThatRotationCannotChange) {
  // The total and the row sums of squares stay what they are under an
  // orthogonal rotation, so weights on them leave varimax as it is.
  const int p = 12, m = 3;
  const Mat a = population_pattern(p, m, 0.0, 0.2);
  Extension e;
  const Rotated plain = e.run(p, m, a, params(p, 2, orthomax(p - 1, 1)));
  const Rotated general = e.run(p, m, a, params(p, 20, {3, -2, -1, p}));
  EXPECT_LE(difference_up_to_order_and_sign(plain.l, general.l, p, m), 1e-8);
}

TEST(Rotation, APatternAtSimpleStructureStaysWhereItIs) {
  const int p = 9, m = 3;
  Mat a(static_cast<std::size_t>(p) * m, 0.0);
  for (int i = 0; i < p; ++i) el(a, p, i, i % m) = 0.3 + 0.07 * i;
  const std::pair<int, Weights> methods[] = {{1, orthomax(1, 0)},
                                             {2, orthomax(p - 1, 1)},
                                             {7, oblimin(0, p)},
                                             {11, oblique_counterpart(p - 1, 1)}};
  for (int normtype : {1, 3})
    for (const auto& [rottype, g] : methods) {
      SCOPED_TRACE(rottype);
      Extension e;
      const Rotated r = e.run(p, m, a, params(p, rottype, g, normtype));
      ASSERT_EQ(r.rc, TKXFAC_OK);
      EXPECT_EQ(r.status, TKXFAC_ROTATE_CONVERGE);
      EXPECT_LE(max_abs_diff(r.l, a), 1e-10);
    }
}

TEST(Rotation, ConvergenceMeasureIgnoresTheScaleOfWeightsAndPattern) {
  const int p = 24, m = 4;
  const Mat a = population_pattern(p, m, 0.3, 0.15);
  Mat a3 = a;
  for (double& v : a3) v *= 3;
  for (int rottype : {2, 7}) {
    SCOPED_TRACE(rottype);
    const Weights g = rottype == 2 ? orthomax(p - 1, 1) : oblimin(0, p);
    Weights g7 = g;
    for (double& v : g7) v *= 7;
    Extension e;
    // Part way, where the measure is far from rounding, and at the end.
    for (int maxiter : {3, 100}) {
      TKXFAC_ROTPARMS one = params(p, rottype, g, 3), other = params(p, rottype, g7, 3);
      one.maxiter = other.maxiter = maxiter;
      const Rotated r1 = e.run(p, m, a, one);
      const Rotated r2 = e.run(p, m, a3, other);
      EXPECT_EQ(r1.iterations, r2.iterations);
      EXPECT_LE(max_abs_diff(r1.tran, r2.tran), 1e-12);
      EXPECT_NEAR(r2.criterion, 7 * 81 * r1.criterion, 1e-12 * std::fabs(7 * 81 * r1.criterion));
      if (maxiter == 3) {
        EXPECT_EQ(r1.status, TKXFAC_ROTATE_NOT_CONVERGE);
        EXPECT_NEAR(r1.convergence, r2.convergence, 1e-8 * r1.convergence);
      } else {
        EXPECT_EQ(r1.status, TKXFAC_ROTATE_CONVERGE);
        EXPECT_EQ(r2.status, TKXFAC_ROTATE_CONVERGE);
      }
    }
  }
}

TEST(Rotation, HarrisKaiserRotatesTheRescaledPatternOrthogonally) {
  const int p = 24, m = 4;
  const Mat a = population_pattern(p, m, 0.3, 0.15);
  std::vector<double> c(static_cast<std::size_t>(m), 0.0);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) c[static_cast<std::size_t>(j)] += el(a, p, i, j) * el(a, p, i, j);
  const Weights varimax = orthomax(p - 1, 1);
  Extension e;

  // Power 1 rotates A itself: the plain rotation, with factor weights c^(1/2).
  const Rotated plain = e.run(p, m, a, params(p, 2, varimax));
  EXPECT_EQ(plain.factor_weights_rc, TKXFAC_ERR_NOT_SET);
  TKXFAC_ROTPARMS rot = params(p, 2, varimax);
  rot.hkpower = 1;
  const Rotated one = e.run(p, m, a, rot);
  EXPECT_EQ(one.status, TKXFAC_ROTATE_CONVERGE);
  EXPECT_LE(max_abs_diff(one.l, plain.l), 1e-10);
  ASSERT_EQ(one.factor_weights_rc, TKXFAC_OK);
  for (int j = 0; j < m; ++j)
    EXPECT_NEAR(one.factor_weights[static_cast<std::size_t>(j)],
                std::sqrt(c[static_cast<std::size_t>(j)]), 1e-12);

  // Power 0 (the HK type without a power): tran = diag(c^(-1/2)) T with T the
  // varimax rotation of B = A diag(c^(-1/2)), which Kaiser's rotation finds
  // too; the factor correlations are left to the caller.
  for (double power : {kMissing, 0.0}) {
    rot = params(p, 23, varimax);
    rot.hkpower = power;
    const Rotated hk = e.run(p, m, a, rot);
    ASSERT_EQ(hk.rc, TKXFAC_OK);
    EXPECT_EQ(hk.status, TKXFAC_ROTATE_CONVERGE);
    Mat t = hk.tran, b = a;
    for (int j = 0; j < m; ++j) {
      const double s = std::sqrt(c[static_cast<std::size_t>(j)]);
      for (int k = 0; k < m; ++k) el(t, m, j, k) *= s;
      for (int i = 0; i < p; ++i) el(b, p, i, j) /= s;
    }
    Mat eye(static_cast<std::size_t>(m) * m, 0.0);
    for (int j = 0; j < m; ++j) el(eye, m, j, j) = 1;
    EXPECT_LE(max_abs_diff(mul(transpose(t, m, m), t, m, m, m), eye), 1e-10);
    EXPECT_LE(max_abs_diff(hk.l, mul(a, hk.tran, p, m, m)), 1e-12);
    EXPECT_EQ(hk.phi, eye);
    EXPECT_LE(difference_up_to_order_and_sign(mul(b, t, p, m, m),
                                              pairwise_orthomax(b, p, m, 1.0, true), p, m),
              1e-6);
    ASSERT_EQ(hk.factor_weights_rc, TKXFAC_OK);
    for (double w : hk.factor_weights) EXPECT_NEAR(w, 1.0, 1e-15);
  }

  // Any other power: weights c^(power/2).  An oblique type never runs in
  // this mode, whatever the power.
  rot = params(p, 1, orthomax(1, 0));
  rot.hkpower = 0.5;
  const Rotated half = e.run(p, m, a, rot);
  ASSERT_EQ(half.factor_weights_rc, TKXFAC_OK);
  for (int j = 0; j < m; ++j)
    EXPECT_NEAR(half.factor_weights[static_cast<std::size_t>(j)],
                std::pow(c[static_cast<std::size_t>(j)], 0.25), 1e-12);
  rot = params(p, 7, oblimin(0, p));
  rot.hkpower = 0.5;
  const Rotated obl = e.run(p, m, a, rot);
  EXPECT_EQ(obl.status, TKXFAC_ROTATE_CONVERGE);
  EXPECT_EQ(obl.factor_weights_rc, TKXFAC_ERR_NOT_SET);
  EXPECT_GT(std::fabs(el(obl.phi, m, 1, 0)), 1e-3);
}

TEST(Rotation, RowNormalisations) {
  const int p = 24, m = 4;
  const Mat a = population_pattern(p, m, 0.3, 0.15);
  std::vector<double> s(static_cast<std::size_t>(p));
  for (int i = 0; i < p; ++i) s[static_cast<std::size_t>(i)] = 0.5 + 0.25 * (i % 7);
  const Mat sa = scale_rows(a, p, m, s);
  for (int rottype : {2, 7}) {
    SCOPED_TRACE(rottype);
    const Weights g = rottype == 2 ? orthomax(p - 1, 1) : oblimin(0, p);
    Extension e;
    // Kaiser: scaling the rows of A changes nothing but the rows of L.
    const Rotated kaiser = e.run(p, m, a, params(p, rottype, g, 1));
    const Rotated scaled = e.run(p, m, sa, params(p, rottype, g, 1));
    EXPECT_LE(max_abs_diff(kaiser.tran, scaled.tran), 1e-10);
    EXPECT_LE(max_abs_diff(scaled.l, scale_rows(kaiser.l, p, m, s)), 1e-10);
    EXPECT_EQ(kaiser.var_weights_rc, TKXFAC_ERR_NOT_SET);
    // The default code: Kaiser when asked for, raw otherwise.
    TKXFAC_ROTPARMS rot = params(p, rottype, g, 6);
    rot.kaisernorm = true;
    EXPECT_LE(max_abs_diff(e.run(p, m, a, rot).tran, kaiser.tran), 1e-14);
    const Rotated raw = e.run(p, m, a, params(p, rottype, g, 3));
    rot.kaisernorm = false;
    EXPECT_LE(max_abs_diff(e.run(p, m, a, rot).tran, raw.tran), 1e-14);
    EXPECT_GT(max_abs_diff(raw.tran, kaiser.tran), 1e-3);

    // COV: the rows weighted by the standard deviations handed over, all 1
    // when there are none.
    const Rotated unit = e.run(p, m, a, params(p, rottype, g, 4));
    EXPECT_LE(max_abs_diff(unit.tran, raw.tran), 1e-14);
    ASSERT_EQ(unit.var_weights_rc, TKXFAC_OK);
    EXPECT_EQ(unit.var_weights, std::vector<double>(static_cast<std::size_t>(p), 1.0));
    const Rotated cov = e.run(p, m, a, params(p, rottype, g, 4), &s);
    EXPECT_LE(max_abs_diff(cov.tran, e.run(p, m, sa, params(p, rottype, g, 3)).tran), 1e-10);
    EXPECT_EQ(cov.var_weights, s);

    // WEIGHT: Kaiser normalisation and then a weight per row in (0, 1.001];
    // the rotation is the raw rotation of the rows so scaled.
    const Rotated weighted = e.run(p, m, a, params(p, rottype, g, 2));
    EXPECT_EQ(weighted.status, TKXFAC_ROTATE_CONVERGE);
    ASSERT_EQ(weighted.var_weights_rc, TKXFAC_OK);
    std::vector<double> d = kaiser_scale(a, p, m);
    for (int i = 0; i < p; ++i) {
      const double wi = weighted.var_weights[static_cast<std::size_t>(i)];
      EXPECT_GT(wi, 0);
      EXPECT_LE(wi, 1.001);
      d[static_cast<std::size_t>(i)] *= wi;
    }
    EXPECT_LE(max_abs_diff(weighted.tran,
                           e.run(p, m, scale_rows(a, p, m, d), params(p, rottype, g, 3)).tran),
              1e-8);
  }
}

TEST(Rotation, CuretonMulaikWeightsFollowTheAngleToTheFirstFactor) {
  // Two factors: a single-factor variable lies 45 degrees from the first
  // (general) factor and counts fully; one on the general factor or at right
  // angles to it counts least; halfway in angle, half.
  const int p = 6, m = 2;
  const double pi = std::acos(-1.0);
  const double angles[p] = {0, pi / 4, pi / 2, pi / 8, 3 * pi / 8, pi / 4};
  const double lengths[p] = {0.7, 0.6, 0.5, 0.8, 0.4, 0.9};
  Mat a(static_cast<std::size_t>(p) * m);
  for (int i = 0; i < p; ++i) {
    el(a, p, i, 0) = lengths[i] * std::cos(angles[i]) * (i % 2 ? -1 : 1);
    el(a, p, i, 1) = lengths[i] * std::sin(angles[i]);
  }
  Extension e;
  const Rotated r = e.run(p, m, a, params(p, 2, orthomax(p - 1, 1), 2));
  ASSERT_EQ(r.var_weights_rc, TKXFAC_OK);
  const double expected[p] = {0.001, 1.001, 0.001, 0.501, 0.501, 1.001};
  for (int i = 0; i < p; ++i)
    EXPECT_NEAR(r.var_weights[static_cast<std::size_t>(i)], expected[i], 1e-12) << i;
}

TEST(Rotation, StatusesForWhatCannotConverge) {
  const int p = 24, m = 4;
  const Mat a = population_pattern(p, m, 0.3, 0.15);
  Extension e;
  // One iteration is not enough; the last iterate is still a rotation of A.
  TKXFAC_ROTPARMS rot = params(p, 2, orthomax(p - 1, 1));
  rot.maxiter = 1;
  Rotated r = e.run(p, m, a, rot);
  ASSERT_EQ(r.rc, TKXFAC_OK);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_NOT_CONVERGE);
  EXPECT_EQ(r.iterations, 1);
  EXPECT_GT(r.convergence, 1e-9);
  EXPECT_LE(max_abs_diff(r.l, mul(a, r.tran, p, m, m)), 1e-12);
  Mat eye(static_cast<std::size_t>(m) * m, 0.0);
  for (int j = 0; j < m; ++j) el(eye, m, j, j) = 1;
  EXPECT_LE(max_abs_diff(mul(transpose(r.tran, m, m), r.tran, m, m, m), eye), 1e-10);
  // Covarimin on four correlated factors: two of them merge, T tends to a
  // singular matrix.
  rot = params(p, 9, oblimin(1, p), 3);
  rot.maxiter = 5000;
  r = e.run(p, m, a, rot);
  ASSERT_EQ(r.rc, TKXFAC_OK);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_TO_SINGULARITY);
  EXPECT_LE(max_abs_diff(r.l, mul(a, r.tran, p, m, m)), 1e-9 * std::fabs(r.l[0]) + 1e-9);
  // A missing loading: an exception status, no crash, nothing invented.
  Mat bad = a;
  bad[5] = kMissing;
  r = e.run(p, m, bad, params(p, 7, oblimin(0, p)));
  ASSERT_EQ(r.rc, TKXFAC_OK);
  EXPECT_EQ(r.status, TKXFAC_ROTATE_EXCEPTION);
  EXPECT_EQ(r.iterations, 0);
  // One factor: nothing to rotate.
  const Mat one(a.begin(), a.begin() + p);
  r = e.run(p, 1, one, params(p, 2, orthomax(p - 1, 1)));
  EXPECT_EQ(r.status, TKXFAC_ROTATE_CONVERGE);
  EXPECT_EQ(r.tran, Mat{1.0});
  EXPECT_EQ(r.l, one);
}

TEST(Rotation, RefusesRequestsItCannotRunAndForgetsStaleResults) {
  const int p = 8, m = 2;
  const Mat a = population_pattern(p, m, 0.2, 0.15);
  const TKXFAC_ROTPARMS good = params(p, 2, orthomax(p - 1, 1));
  Extension e;
  std::int32_t status = 0;
  // Nothing given yet.
  EXPECT_EQ(e.rotate(nullptr), TKXFAC_ERR_ARGUMENT);
  EXPECT_EQ(e.rotate(&good), TKXFAC_ERR_NOT_SET);
  for (int code : {4, 5, 6, 13, 14, 21, 55, 57, 58}) {
    std::vector<double> out;
    EXPECT_EQ(e.get(code, out, 64), TKXFAC_ERR_NOT_SET) << code;
  }
  ASSERT_EQ(e.set_int(TKXFAC_VAL_NVAR, p), TKXFAC_OK);
  EXPECT_EQ(e.rotate(&good), TKXFAC_ERR_NOT_SET);  // no nfact
  ASSERT_EQ(e.set_int(TKXFAC_VAL_NFACT, 0), TKXFAC_OK);
  EXPECT_EQ(e.set(TKXFAC_VAL_PATTERN, a), TKXFAC_ERR_SIZE);  // no room for a pattern
  EXPECT_EQ(e.rotate(&good), TKXFAC_ERR_ARGUMENT);           // no factors
  ASSERT_EQ(e.set_int(TKXFAC_VAL_NFACT, m), TKXFAC_OK);
  EXPECT_EQ(e.rotate(&good), TKXFAC_ERR_NOT_SET);  // no pattern
  EXPECT_EQ(e.set(TKXFAC_VAL_PATTERN, Mat(a.begin(), a.end() - 1)), TKXFAC_ERR_SIZE);
  ASSERT_EQ(e.set(TKXFAC_VAL_PATTERN, a), TKXFAC_OK);

  // Parameters the engine cannot run with.
  for (int rottype : {0, 22, 24, -1}) {
    TKXFAC_ROTPARMS rot = good;
    rot.rottype = rottype;
    EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT) << rottype;
  }
  for (int normtype : {0, 5, 7, 8}) {
    TKXFAC_ROTPARMS rot = good;
    rot.normtype = normtype;
    EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT) << normtype;
  }
  TKXFAC_ROTPARMS rot = good;
  rot.maxiter = 0;
  EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT);
  rot = good;
  rot.eps = kMissing;
  EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT);
  rot = good;
  rot.eps = -1;
  EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT);
  rot = good;
  rot.gcf_parms[3] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT);
  rot = good;
  rot.hkpower = std::numeric_limits<double>::infinity();
  EXPECT_EQ(e.rotate(&rot), TKXFAC_ERR_ARGUMENT);
  EXPECT_EQ(e.get_scalar(TKXFAC_ROTATION_STATUS, status), TKXFAC_ERR_NOT_SET);

  // A result belongs to its pattern: a new pattern, a new order or a reset
  // forgets it.
  ASSERT_EQ(e.rotate(&good), TKXFAC_OK);
  ASSERT_EQ(e.get_scalar(TKXFAC_ROTATION_STATUS, status), TKXFAC_OK);
  EXPECT_EQ(status, TKXFAC_ROTATE_CONVERGE);
  std::vector<double> out;
  EXPECT_EQ(e.get(TKXFAC_VAL_VAR_WEIGHTS, out, static_cast<std::size_t>(p)), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(e.get(TKXFAC_VAL_FACTOR_WEIGHTS, out, static_cast<std::size_t>(m)), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(e.get(TKXFAC_VAL_ROTATED_PATTERN, out, static_cast<std::size_t>(p) * m - 1),
            TKXFAC_ERR_SIZE);
  ASSERT_EQ(e.set(TKXFAC_VAL_PATTERN, a), TKXFAC_OK);
  EXPECT_EQ(e.get_scalar(TKXFAC_ROTATION_STATUS, status), TKXFAC_ERR_NOT_SET);
  ASSERT_EQ(e.rotate(&good), TKXFAC_OK);
  ASSERT_EQ(e.set_int(TKXFAC_VAL_NFACT, 1), TKXFAC_OK);
  EXPECT_EQ(e.get_scalar(TKXFAC_ROTATION_STATUS, status), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(e.rotate(&good), TKXFAC_ERR_NOT_SET);  // the pattern was of two factors
  ASSERT_EQ(e.set_int(TKXFAC_VAL_NFACT, m), TKXFAC_OK);
  ASSERT_EQ(e.set(TKXFAC_VAL_PATTERN, a), TKXFAC_OK);
  ASSERT_EQ(e.rotate(&good), TKXFAC_OK);
  ASSERT_EQ(e.reset(), TKXFAC_OK);
  EXPECT_EQ(e.get_scalar(TKXFAC_ROTATION_STATUS, status), TKXFAC_ERR_NOT_SET);
}

}  // namespace
}  // namespace kav
