// The rotation engine: gradient projection (Jennrich 2001 for orthogonal,
// 2002 for oblique rotation) with Barzilai-Borwein step lengths under a
// non-monotone line search, finished by Newton steps in local coordinates.
//
// Notation: X is the p x m pattern being rotated (the unrotated pattern after
// the Harris-Kaiser column rescaling and the row scaling), T the m x m matrix
// the iteration moves.  Orthogonal rotation: L = X T with T orthogonal.
// Oblique rotation: L = X T^{-T} with the columns of T of unit length, and the
// factor correlations are T'T.  The engine minimises f = sign * Q, sign = -1
// for the orthogonal types (which maximise Q) and +1 for the oblique ones.
//
// Why the iteration is built this way: plain gradient projection with
// step halving converges linearly, often slowly enough that the default
// iteration limit runs out before a tight convergence criterion is met.
// Barzilai-Borwein steps bring it close to the solution quickly, but at a
// relative gradient of 1e-8 or so the changes of f fall below rounding and no
// line search can judge a step any more.  Near the solution the engine
// therefore takes Newton steps on the criterion pulled back to local
// coordinates (skew-symmetric generators for orthogonal T, tangent vectors of
// each unit column for oblique T), with the exact Hessian of the quartic
// criterion: they converge quadratically, and a step whose change of f is
// lost in rounding is still accepted when it reduces the gradient.
//
// The convergence measure is
//
//   ||Gp||_F / (||L||_F * ||G_L^abs||_F),
//
// where Gp is the gradient with respect to T projected onto the tangent space
// (Jennrich's projection), and G_L^abs is the gradient of Q with respect to
// L with every weight and every term of the sum taken by its magnitude.  The
// denominator is the size the projected gradient is made of (for orthogonal T
// it bounds ||X' G_L||), so the measure does not change when all four weights
// are multiplied by a constant or the pattern by a scale factor, it is not
// swamped when the criterion itself tends to zero (oblimin at a perfect
// simple structure), and rounding leaves it at about 1e-16 at the solution.
#include "tkxfac/tkxrot.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <utility>

#include "numeric/constants.h"
#include "numeric/dense.h"
#include "numeric/eigen.h"
#include "numeric/inner.h"

namespace kav {

namespace {

using Matrix = std::vector<double>;  // column-major

using numeric_constants::kMachineEpsilon;

// Iteration settings, chosen on the test and benchmark problems.
// Newton steps are tried once the convergence measure is below this.
constexpr double kNewtonStart = 1e-3;
// Armijo fraction of the predicted decrease a step must achieve.
constexpr double kArmijo = 1e-4;
// Weight of the past in the non-monotone reference value (Zhang-Hager).
constexpr double kNonmonotone = 0.85;
// Halvings of the step before the engine gives up: 2^-40 of a step no
// longer moves T measurably.
constexpr int kMaxHalvings = 40;
// Longest gradient step, as the Frobenius norm of the change of T: beyond a
// step of this size the projected direction says nothing.
constexpr double kMaxStep = 1.0;
// Newton steps only up to this many local coordinates (orthogonal: 20
// factors, oblique: 14): beyond it the dense Hessian costs more than the
// gradient steps it saves, and the gradient steps alone reach a tight
// criterion in well under a hundred iterations there.
constexpr int kNewtonLargest = 200;
// An oblique transformation whose smallest singular value falls below this
// is tending to a singular matrix: two factors are becoming one.
constexpr double kSingular = 1e-7;
// Some criteria (biquartimin and covarimin among them) are unbounded below
// on some patterns: merging factors lowers them without end, but so slowly
// that kSingular is out of reach of any practical iteration limit.  Such a
// run ends at the limit with T close to singular and still closing in,
// which more iterations would not cure; it is reported as tending to
// singularity, not as slow convergence, when the smallest singular value
// is below kNearSingular (a factor correlation matrix with an eigenvalue
// below 0.01) and has fallen below kStillClosing times its value halfway
// through the iterations.  A run that converges slowly to a solution with
// strongly correlated factors keeps that value steady.
constexpr double kNearSingular = 0.1;
constexpr double kStillClosing = 0.75;
// A change of f below this multiple of the criterion's magnitude (the sum of
// its terms taken by their size) is rounding, not a change.
constexpr double kFlat = 1e-13;
// The convergence measure cannot be brought below rounding, about 1e-16 at
// a solution.  Once it is under this level and no longer goes down, the
// iteration has done all it can, whatever the tolerance (RCONVERGE=0 asks
// for exactly that).  Below the default tolerance, so the default is not
// affected.
constexpr double kRoundingLevel = 1e-13;

double dot(const Matrix& x, const Matrix& y) {
  return inner::dot(x.data(), y.data(), static_cast<std::ptrdiff_t>(x.size()));
}

bool all_finite(const Matrix& x) {
  for (double v : x)
    if (!std::isfinite(v)) return false;
  return true;
}

// Eigenvalues (largest first) and, when `vectors` is not null, the
// eigenvectors of the symmetric n x n matrix s.  False when the solver fails.
bool symmetric_eigen(int n, const Matrix& s, std::vector<double>& values, Matrix* vectors) {
  std::vector<double> packed;
  packed.reserve(static_cast<std::size_t>(n) * (n + 1) / 2);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j)
      packed.push_back(0.5 * (s[dense_index(i, j, n)] + s[dense_index(j, i, n)]));
  values.assign(static_cast<std::size_t>(n), 0.0);
  std::vector<double> work(8 * static_cast<std::size_t>(n));
  int rc;
  if (vectors) {
    vectors->assign(static_cast<std::size_t>(n) * n, 0.0);
    rc = zeigen2(n, packed.data(), values.data(), n, vectors->data(), work.data());
  } else {
    rc = zeigen2(n, packed.data(), values.data(), 0, nullptr, work.data());
  }
  return rc <= 0;
}

// Smallest singular value of the n x n matrix t.
double smallest_singular_value(int n, const Matrix& t) {
  Matrix tt(static_cast<std::size_t>(n) * n);
  dense_transpose_multiply({t.data(), n, n}, {t.data(), n, n}, {tt.data(), n, n});
  std::vector<double> values;
  if (!symmetric_eigen(n, tt, values, nullptr)) return 0;
  return std::sqrt(std::max(0.0, values.back()));
}

// The orthogonal polar factor of y in place: y (y'y)^{-1/2}, from the eigen
// decomposition of y'y, then one Newton-Schulz step that takes the
// orthogonality to rounding level.  False when y is (nearly) singular.
bool orthogonal_polar_factor(int n, Matrix& y) {
  Matrix yy(static_cast<std::size_t>(n) * n), v, root(static_cast<std::size_t>(n) * n);
  dense_transpose_multiply({y.data(), n, n}, {y.data(), n, n}, {yy.data(), n, n});
  std::vector<double> values;
  if (!symmetric_eigen(n, yy, values, &v)) return false;
  if (!(values.back() > 1e-20 * values.front())) return false;
  // root = V diag(1/sqrt(lambda)) V'
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double s = 0;
      for (int k = 0; k < n; ++k)
        s += v[dense_index(i, k, n)] * v[dense_index(j, k, n)] / std::sqrt(values[k]);
      root[dense_index(i, j, n)] = s;
    }
  Matrix u(static_cast<std::size_t>(n) * n);
  dense_multiply({y.data(), n, n}, {root.data(), n, n}, {u.data(), n, n});
  // u (3I - u'u) / 2
  dense_transpose_multiply({u.data(), n, n}, {u.data(), n, n}, {yy.data(), n, n});
  for (double& x : yy) x = -0.5 * x;
  for (int i = 0; i < n; ++i) yy[dense_index(i, i, n)] += 1.5;
  dense_multiply({u.data(), n, n}, {yy.data(), n, n}, {y.data(), n, n});
  return true;
}

// ---------------------------------------------------------------------------
// The criterion

// Sums of squared loadings at one rotated pattern: what a criterion keeps
// from its value for its derivatives.
struct Terms {
  std::vector<double> row, col;  // row and column sums of squares
  double total = 0;              // sum of all squares
  double t[4] = {0, 0, 0, 0};    // the four terms of Q
};

// A rotation criterion as the engine sees it.  The engine minimises
// f = sign * Q; the orthogonal rotations maximise Q (sign -1), the oblique
// ones minimise it (sign +1).
class RotationCriterion {
 public:
  virtual ~RotationCriterion() = default;

  // Q at l, in its own units; keeps in s what the derivatives need.
  virtual double q(const double* l, Terms& s) const = 0;
  double f(const double* l, Terms& s) const { return sign() * q(l, s); }
  double sign() const { return sign_; }

  // The sum of the terms of Q by their size: the scale against which a
  // change of f is judged.
  virtual double magnitude(const Terms& s) const = 0;

  // Gradient of f with respect to l.
  virtual void gradient(const double* l, const Terms& s, double* grad) const = 0;
  // Frobenius norm of the gradient with every weight and term by size: the
  // scale of the convergence measure.
  virtual double gradient_size(const double* l, const Terms& s) const = 0;

  // What Newton steps need.  The Hessian of f with respect to L along a
  // direction D is taken to be
  //   4 sign (D o B + L o (c0 dS + c1 dr_i + c2 dc_j)),
  // dS, dr_i, dc_j the changes of the total, row and column sums of
  // squares: curvature() gives B, coupling(k) gives c_k.
  virtual void curvature(const double* l, const Terms& s, double* b) const = 0;
  virtual double coupling(int k) const = 0;

 protected:
  explicit RotationCriterion(double sign) : sign_(sign) {}

 private:
  double sign_;
};

// The generalised Crawford-Ferguson criterion: a quartic in the loadings
// with the four weights g0..g3 (see tkxrot.h).
class QuarticCriterion final : public RotationCriterion {
 public:
  QuarticCriterion(int p, int m, const double g[4], double sign)
      : RotationCriterion(sign), p_(p), m_(m) {
    for (int k = 0; k < 4; ++k) g_[k] = g[k];
  }

  double q(const double* l, Terms& s) const override {
    s.row.assign(static_cast<std::size_t>(p_), 0.0);
    s.col.assign(static_cast<std::size_t>(m_), 0.0);
    double fourth = 0, total = 0, colsq = 0;
    for (int j = 0; j < m_; ++j) {
      const double* lj = l + dense_index(0, j, p_);
      double c = 0;
      for (int i = 0; i < p_; ++i) {
        const double sq = lj[i] * lj[i];
        s.row[static_cast<std::size_t>(i)] += sq;
        c += sq;
        fourth += sq * sq;
      }
      s.col[static_cast<std::size_t>(j)] = c;
      total += c;
      colsq += c * c;
    }
    s.total = total;
    s.t[0] = total * total;
    s.t[1] = inner::dot(s.row.data(), s.row.data(), p_);
    s.t[2] = colsq;
    s.t[3] = fourth;
    return g_[0] * s.t[0] + g_[1] * s.t[1] + g_[2] * s.t[2] + g_[3] * s.t[3];
  }

  double magnitude(const Terms& s) const override {
    double r = 0;
    for (int k = 0; k < 4; ++k) r += std::fabs(g_[k]) * s.t[k];
    return r;
  }

  // 4 sign l_ij (g0 S + g1 r_i + g2 c_j + g3 l_ij^2).
  void gradient(const double* l, const Terms& s, double* grad) const override {
    for (int j = 0; j < m_; ++j) {
      const double cj = g_[0] * s.total + g_[2] * s.col[static_cast<std::size_t>(j)];
      const double* lj = l + dense_index(0, j, p_);
      double* gj = grad + dense_index(0, j, p_);
      for (int i = 0; i < p_; ++i)
        gj[i] = 4 * sign() * lj[i] *
                (cj + g_[1] * s.row[static_cast<std::size_t>(i)] + g_[3] * lj[i] * lj[i]);
    }
  }

  double gradient_size(const double* l, const Terms& s) const override {
    const double a0 = std::fabs(g_[0]), a1 = std::fabs(g_[1]), a2 = std::fabs(g_[2]),
                 a3 = std::fabs(g_[3]);
    double sum = 0;
    for (int j = 0; j < m_; ++j) {
      const double cj = a0 * s.total + a2 * s.col[static_cast<std::size_t>(j)];
      const double* lj = l + dense_index(0, j, p_);
      for (int i = 0; i < p_; ++i) {
        const double v =
            4 * lj[i] * (cj + a1 * s.row[static_cast<std::size_t>(i)] + a3 * lj[i] * lj[i]);
        sum += v * v;
      }
    }
    return std::sqrt(sum);
  }

  // The part of the Hessian of Q with respect to L that acts entry by
  // entry: d grad_ij / d l_ij without the coupling through the sums is
  // 4 (g0 S + g1 r_i + g2 c_j + 3 g3 l_ij^2); b receives the bracket.  The
  // sums couple the entries with the weights g0, g1 and g2.
  void curvature(const double* l, const Terms& s, double* b) const override {
    for (int j = 0; j < m_; ++j) {
      const double cj = g_[0] * s.total + g_[2] * s.col[static_cast<std::size_t>(j)];
      const double* lj = l + dense_index(0, j, p_);
      double* bj = b + dense_index(0, j, p_);
      for (int i = 0; i < p_; ++i)
        bj[i] = cj + g_[1] * s.row[static_cast<std::size_t>(i)] + 3 * g_[3] * lj[i] * lj[i];
    }
  }

  double coupling(int k) const override { return g_[k]; }

 private:
  int p_, m_;
  double g_[4];
};

// ---------------------------------------------------------------------------
// The iteration

// One iterate with what is known about it.
struct Point {
  Matrix t;     // m x m, the matrix being optimised
  Matrix tinv;  // its inverse (oblique only)
  Matrix l;     // p x m rotated pattern
  Terms terms;
  double f = 0;
  // Filled by derive():
  Matrix gl;  // gradient of f with respect to l
  Matrix g;   // with respect to t
  Matrix gp;  // g projected onto the tangent space at t
  double gp_norm2 = 0, measure = 0;
};

class Engine {
 public:
  Engine(int p, int m, const Matrix& x, const RotationCriterion& crit, bool oblique)
      : p_(p), m_(m), oblique_(oblique), x_(x), crit_(crit) {}

  int evaluations = 0;

  // Forms the rotated pattern and f at pt.t.  False when t cannot be
  // inverted or a value is not finite.
  bool place(Point& pt) {
    ++evaluations;
    pt.l.resize(static_cast<std::size_t>(p_) * m_);
    if (oblique_) {
      pt.tinv.assign(pt.t.size(), 0.0);
      if (dense_invert({pt.t.data(), m_, m_}, {pt.tinv.data(), m_, m_}, m_ * kMachineEpsilon) !=
          DenseStatus::kOk)
        return false;
      // L = X T^{-T}: column k of L is X times row k of T^{-1}.
      Matrix tinvt(static_cast<std::size_t>(m_) * m_);
      for (int i = 0; i < m_; ++i)
        for (int j = 0; j < m_; ++j) tinvt[dense_index(i, j, m_)] = pt.tinv[dense_index(j, i, m_)];
      dense_multiply({x_.data(), p_, m_}, {tinvt.data(), m_, m_}, {pt.l.data(), p_, m_});
    } else {
      dense_multiply({x_.data(), p_, m_}, {pt.t.data(), m_, m_}, {pt.l.data(), p_, m_});
    }
    pt.f = crit_.f(pt.l.data(), pt.terms);
    return std::isfinite(pt.f) && all_finite(pt.l);
  }

  // Gradient, projected gradient and convergence measure at a placed point.
  void derive(Point& pt) const {
    const std::size_t mm = static_cast<std::size_t>(m_) * m_;
    pt.gl.resize(static_cast<std::size_t>(p_) * m_);
    crit_.gradient(pt.l.data(), pt.terms, pt.gl.data());
    pt.g.resize(mm);
    pt.gp.resize(mm);
    Matrix w(mm);
    if (oblique_) {
      // G = -T^{-T} G_L' L
      dense_transpose_multiply({pt.gl.data(), p_, m_}, {pt.l.data(), p_, m_}, {w.data(), m_, m_});
      for (int i = 0; i < m_; ++i)
        for (int j = 0; j < m_; ++j) {
          double s = 0;
          for (int k = 0; k < m_; ++k)
            s += pt.tinv[dense_index(k, i, m_)] * w[dense_index(k, j, m_)];
          pt.g[dense_index(i, j, m_)] = -s;
        }
      // Gp = G - T diag(colsums(T o G))
      for (int j = 0; j < m_; ++j) {
        const double c = inner::dot(pt.t.data() + dense_index(0, j, m_),
                                    pt.g.data() + dense_index(0, j, m_), m_);
        for (int i = 0; i < m_; ++i)
          pt.gp[dense_index(i, j, m_)] =
              pt.g[dense_index(i, j, m_)] - c * pt.t[dense_index(i, j, m_)];
      }
    } else {
      // G = X' G_L;  Gp = G - T sym(T'G)
      dense_transpose_multiply({x_.data(), p_, m_}, {pt.gl.data(), p_, m_}, {pt.g.data(), m_, m_});
      dense_transpose_multiply({pt.t.data(), m_, m_}, {pt.g.data(), m_, m_}, {w.data(), m_, m_});
      Matrix sym(mm);
      for (int i = 0; i < m_; ++i)
        for (int j = 0; j < m_; ++j)
          sym[dense_index(i, j, m_)] = 0.5 * (w[dense_index(i, j, m_)] + w[dense_index(j, i, m_)]);
      dense_multiply({pt.t.data(), m_, m_}, {sym.data(), m_, m_}, {pt.gp.data(), m_, m_});
      for (std::size_t k = 0; k < mm; ++k) pt.gp[k] = pt.g[k] - pt.gp[k];
    }
    pt.gp_norm2 = dot(pt.gp, pt.gp);
    const double scale = std::sqrt(dot(pt.l, pt.l)) * crit_.gradient_size(pt.l.data(), pt.terms);
    pt.measure = scale > 0 ? std::sqrt(pt.gp_norm2) / scale : 0.0;
    if (!std::isfinite(pt.gp_norm2)) pt.measure = std::numeric_limits<double>::quiet_NaN();
  }

  // to.t = the point reached from `from` by the step -alpha * Gp, pulled back
  // onto the manifold; then placed.
  bool gradient_step(const Point& from, double alpha, Point& to) {
    to.t = from.t;
    inner::axpy(-alpha, from.gp.data(), to.t.data(), static_cast<std::ptrdiff_t>(to.t.size()));
    if (!retract(to.t)) return false;
    return place(to);
  }

  // Newton direction in local coordinates at `at`: false when the Hessian
  // there is not positive definite.  `decrease` receives the decrease of f
  // the quadratic model predicts.
  bool newton_direction(const Point& pt, std::vector<double>& u, double& decrease) {
    return oblique_ ? oblique_newton(pt, u, decrease) : orthogonal_newton(pt, u, decrease);
  }

  // The point `scale` times the Newton direction away from `from`.
  bool newton_step(const Point& from, const std::vector<double>& u, double scale, Point& to) {
    to.t = from.t;
    if (oblique_) {
      // Column j moves along its tangent basis and is normalised back.
      for (int j = 0; j < m_; ++j) {
        const Matrix& b = basis_[static_cast<std::size_t>(j)];
        double* tj = to.t.data() + dense_index(0, j, m_);
        for (int k = 0; k < m_ - 1; ++k)
          inner::axpy(scale * u[static_cast<std::size_t>(j * (m_ - 1) + k)],
                      b.data() + dense_index(0, k, m_), tj, m_);
        const double norm = std::sqrt(inner::dot(tj, tj, m_));
        for (int i = 0; i < m_; ++i) tj[i] /= norm;
      }
    } else {
      // T (I + K) pulled back to the orthogonal matrices.
      Matrix k(static_cast<std::size_t>(m_) * m_, 0.0);
      std::size_t e = 0;
      for (int a = 0; a < m_; ++a)
        for (int b = a + 1; b < m_; ++b, ++e) {
          k[dense_index(a, b, m_)] = scale * u[e];
          k[dense_index(b, a, m_)] = -scale * u[e];
        }
      for (int i = 0; i < m_; ++i) k[dense_index(i, i, m_)] = 1;
      dense_multiply({from.t.data(), m_, m_}, {k.data(), m_, m_}, {to.t.data(), m_, m_});
      if (!orthogonal_polar_factor(m_, to.t)) return false;
    }
    return place(to);
  }

  double magnitude(const Point& pt) const { return crit_.magnitude(pt.terms); }

 private:
  bool retract(Matrix& t) const {
    if (!oblique_) return orthogonal_polar_factor(m_, t);
    for (int j = 0; j < m_; ++j) {
      double* tj = t.data() + dense_index(0, j, m_);
      const double norm = std::sqrt(inner::dot(tj, tj, m_));
      if (!(norm > 0) || !std::isfinite(norm)) return false;
      for (int i = 0; i < m_; ++i) tj[i] /= norm;
    }
    return true;
  }

  // Solves h u = -grad by Cholesky; false when h is not positive definite.
  static bool solve_newton(int n, Matrix& h, const std::vector<double>& grad,
                           std::vector<double>& u, double& decrease) {
    // Symmetrise: the two halves differ by rounding only.
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < i; ++j) {
        const double v = 0.5 * (h[dense_index(i, j, n)] + h[dense_index(j, i, n)]);
        h[dense_index(i, j, n)] = h[dense_index(j, i, n)] = v;
      }
    double dmax = 0;
    for (int i = 0; i < n; ++i) dmax = std::max(dmax, std::fabs(h[dense_index(i, i, n)]));
    if (!(dmax > 0) || !std::isfinite(dmax)) return false;
    // Lower Cholesky factor in place.
    for (int j = 0; j < n; ++j) {
      double d = h[dense_index(j, j, n)];
      for (int k = 0; k < j; ++k) d -= h[dense_index(j, k, n)] * h[dense_index(j, k, n)];
      if (!(d > 1e-12 * dmax)) return false;
      d = std::sqrt(d);
      h[dense_index(j, j, n)] = d;
      for (int i = j + 1; i < n; ++i) {
        double s = h[dense_index(i, j, n)];
        for (int k = 0; k < j; ++k) s -= h[dense_index(i, k, n)] * h[dense_index(j, k, n)];
        h[dense_index(i, j, n)] = s / d;
      }
    }
    u.assign(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < n; ++i) {
      double s = -grad[static_cast<std::size_t>(i)];
      for (int k = 0; k < i; ++k) s -= h[dense_index(i, k, n)] * u[static_cast<std::size_t>(k)];
      u[static_cast<std::size_t>(i)] = s / h[dense_index(i, i, n)];
    }
    for (int i = n - 1; i >= 0; --i) {
      double s = u[static_cast<std::size_t>(i)];
      for (int k = i + 1; k < n; ++k) s -= h[dense_index(k, i, n)] * u[static_cast<std::size_t>(k)];
      u[static_cast<std::size_t>(i)] = s / h[dense_index(i, i, n)];
    }
    decrease = -0.5 * inner::dot(grad.data(), u.data(), n);
    return std::isfinite(decrease) && decrease >= 0;
  }

  // What both Newton forms need at a point, with B from curvature():
  //   C = L'L,  M = L'G_L,  Z[x][a][b] = sum_i l_ix l_ia B_ib.
  // The Hessian of f with respect to L along a direction D is
  //   4 sign (D o B + L o (g0 dS + g1 dr_i + g2 dc_j)),
  // dS, dr_i, dc_j the changes of the total, row and column sums of squares;
  // L' times it falls apart into C, Z and (for g1) fourth-order moments of
  // L, so that a Hessian column costs O(m^2) or O(m^3) instead of O(p m^2).
  void curvature_moments(const Point& pt) {
    const std::size_t mm = static_cast<std::size_t>(m_) * m_;
    c_.resize(mm);
    m_gl_.resize(mm);
    dense_transpose_multiply({pt.l.data(), p_, m_}, {pt.l.data(), p_, m_}, {c_.data(), m_, m_});
    dense_transpose_multiply({pt.l.data(), p_, m_}, {pt.gl.data(), p_, m_}, {m_gl_.data(), m_, m_});
    Matrix b(static_cast<std::size_t>(p_) * m_), lb(static_cast<std::size_t>(p_));
    crit_.curvature(pt.l.data(), pt.terms, b.data());
    z_.assign(mm * static_cast<std::size_t>(m_), 0.0);
    for (int a = 0; a < m_; ++a)
      for (int bb = 0; bb < m_; ++bb) {
        const double* la = pt.l.data() + dense_index(0, a, p_);
        const double* cb = b.data() + dense_index(0, bb, p_);
        for (int i = 0; i < p_; ++i) lb[static_cast<std::size_t>(i)] = la[i] * cb[i];
        for (int x = 0; x < m_; ++x)
          z_[(static_cast<std::size_t>(x) * m_ + a) * m_ + bb] =
              inner::dot(pt.l.data() + dense_index(0, x, p_), lb.data(), p_);
      }
  }

  double z(int x, int a, int b) const {
    return z_[(static_cast<std::size_t>(x) * m_ + a) * m_ + b];
  }

  // Orthogonal T: coordinates are the entries k_ab, a < b, of a skew matrix
  // K, the point T polar(I + K).  With M = L' G_L the gradient is
  // M_ab - M_ba and the Hessian
  //   h(K1, K2) = <H_L[L K1], L K2> + tr(M'(K1 K2 + K2 K1)) / 2.
  // Along L K the total and the row sums of squares do not change; the
  // column sums change by dc_b = 2 C_ab = -dc_a.
  bool orthogonal_newton(const Point& pt, std::vector<double>& u, double& decrease) {
    const int n = m_ * (m_ - 1) / 2;
    if (n == 0 || n > kNewtonLargest) return false;
    curvature_moments(pt);
    auto mat = [&](int i, int j) { return m_gl_[dense_index(i, j, m_)]; };
    auto cov = [&](int i, int j) { return c_[dense_index(i, j, m_)]; };
    const double scale = 4 * crit_.sign(), g2 = crit_.coupling(2);
    std::vector<std::pair<int, int>> pairs;
    for (int a = 0; a < m_; ++a)
      for (int b = a + 1; b < m_; ++b) pairs.emplace_back(a, b);
    std::vector<double> grad(static_cast<std::size_t>(n));
    for (int e = 0; e < n; ++e) {
      auto [a, b] = pairs[static_cast<std::size_t>(e)];
      grad[static_cast<std::size_t>(e)] = mat(a, b) - mat(b, a);
    }
    // tr(M' K1 K2) for K1 = E_ab - E_ba, K2 = E_cd - E_dc.
    auto trace = [&](int a, int b, int c, int d) {
      double s = 0;
      if (b == c) s += mat(a, d);
      if (b == d) s -= mat(a, c);
      if (a == c) s -= mat(b, d);
      if (a == d) s += mat(b, c);
      return s;
    };
    Matrix h(static_cast<std::size_t>(n) * n);
    Matrix nn(static_cast<std::size_t>(m_) * m_, 0.0);  // L' H_L[L K]: columns a and b only
    for (int e = 0; e < n; ++e) {
      auto [a, b] = pairs[static_cast<std::size_t>(e)];
      const double dcb = 2 * cov(a, b);
      for (int x = 0; x < m_; ++x) {
        nn[dense_index(x, b, m_)] = scale * (z(x, a, b) + g2 * dcb * cov(x, b));
        nn[dense_index(x, a, m_)] = -scale * (z(x, b, a) + g2 * dcb * cov(x, a));
      }
      for (int e2 = 0; e2 < n; ++e2) {
        auto [c, d] = pairs[static_cast<std::size_t>(e2)];
        h[dense_index(e2, e, n)] = nn[dense_index(c, d, m_)] - nn[dense_index(d, c, m_)] +
                                   0.5 * (trace(a, b, c, d) + trace(c, d, a, b));
      }
      for (int x = 0; x < m_; ++x) nn[dense_index(x, a, m_)] = nn[dense_index(x, b, m_)] = 0;
    }
    return solve_newton(n, h, grad, u, decrease);
  }

  // Oblique T: column j moves to normalise(t_j + B_j u_j), B_j an orthonormal
  // basis of the vectors orthogonal to t_j.  With W = T^{-1}, w_e = W b_e
  // for the basis vector b_e of column j, P_e = e_j w_e' and M = L' G_L:
  //   L = L0 - L0 P + L0 (P^2 + diag(|v_j|^2) / 2) + ...,
  // so the gradient is -(M w_e)_j and the Hessian
  //   h(e, e') = <H_L[L0 P_e], L0 P_e'> + tr(M'(P_e P_e' + P_e' P_e))
  //            + [e = e'] M_jj.
  // L0 P_e = l_j w_e' changes the total by 2 (C w_e)_j, column c by
  // 2 w_c C_cj and row i by 2 l_ij (L w_e)_i.
  bool oblique_newton(const Point& pt, std::vector<double>& u, double& decrease) {
    const int n = m_ * (m_ - 1);
    if (n == 0 || n > kNewtonLargest) return false;
    const int k1 = m_ - 1;
    // Tangent bases from the Householder reflection that maps t_j to a
    // multiple of the first unit vector: its other columns span t_j's
    // orthogonal complement.
    basis_.assign(static_cast<std::size_t>(m_), Matrix());
    for (int j = 0; j < m_; ++j) {
      const double* tj = pt.t.data() + dense_index(0, j, m_);
      std::vector<double> v(tj, tj + m_);
      v[0] += tj[0] >= 0 ? 1.0 : -1.0;
      const double vv = inner::dot(v.data(), v.data(), m_);
      Matrix& b = basis_[static_cast<std::size_t>(j)];
      b.assign(static_cast<std::size_t>(m_) * k1, 0.0);
      for (int k = 0; k < k1; ++k)
        for (int i = 0; i < m_; ++i)
          b[dense_index(i, k, m_)] =
              (i == k + 1 ? 1.0 : 0.0) -
              2 * v[static_cast<std::size_t>(i)] * v[static_cast<std::size_t>(k + 1)] / vv;
    }
    curvature_moments(pt);
    const double scale = 4 * crit_.sign(), g0 = crit_.coupling(0), g1 = crit_.coupling(1),
                 g2 = crit_.coupling(2);
    // Fourth moments F(ab, jc) = sum_i l_ia l_ib l_ij l_ic, by pairs.
    const int np = m_ * (m_ + 1) / 2;
    auto pair = [](int a, int b) { return a >= b ? a * (a + 1) / 2 + b : b * (b + 1) / 2 + a; };
    Matrix fourth;
    if (g1 != 0) {
      Matrix products(static_cast<std::size_t>(p_) * np);
      for (int a = 0; a < m_; ++a)
        for (int b = 0; b <= a; ++b)
          for (int i = 0; i < p_; ++i)
            products[dense_index(i, pair(a, b), p_)] =
                pt.l[dense_index(i, a, p_)] * pt.l[dense_index(i, b, p_)];
      fourth.resize(static_cast<std::size_t>(np) * np);
      for (int q = 0; q < np; ++q)
        for (int r = 0; r <= q; ++r)
          fourth[dense_index(q, r, np)] = fourth[dense_index(r, q, np)] = inner::dot(
              products.data() + dense_index(0, q, p_), products.data() + dense_index(0, r, p_), p_);
    }
    auto mat = [&](int i, int j) { return m_gl_[dense_index(i, j, m_)]; };
    auto cov = [&](int i, int j) { return c_[dense_index(i, j, m_)]; };
    Matrix w(static_cast<std::size_t>(m_) * n), mw(static_cast<std::size_t>(m_) * n);
    std::vector<double> grad(static_cast<std::size_t>(n));
    for (int e = 0; e < n; ++e) {
      const int j = e / k1, k = e % k1;
      dense_multiply({pt.tinv.data(), m_, m_},
                     {basis_[static_cast<std::size_t>(j)].data() + dense_index(0, k, m_), m_, 1},
                     {w.data() + dense_index(0, e, m_), m_, 1});
      dense_multiply({m_gl_.data(), m_, m_}, {w.data() + dense_index(0, e, m_), m_, 1},
                     {mw.data() + dense_index(0, e, m_), m_, 1});
      grad[static_cast<std::size_t>(e)] = -mw[dense_index(j, e, m_)];
    }
    Matrix h(static_cast<std::size_t>(n) * n);
    Matrix nn(static_cast<std::size_t>(m_) * m_);  // L' H_L[L0 P_e]
    std::vector<double> fw(static_cast<std::size_t>(np));
    for (int e = 0; e < n; ++e) {
      const int j = e / k1;
      const double* we = w.data() + dense_index(0, e, m_);
      double dtotal = 0;
      for (int c = 0; c < m_; ++c) dtotal += 2 * we[c] * cov(c, j);
      // sum_c w_c F(ab, jc) for every pair ab.
      if (g1 != 0)
        for (int q = 0; q < np; ++q) {
          double s = 0;
          for (int c = 0; c < m_; ++c) s += we[c] * fourth[dense_index(q, pair(j, c), np)];
          fw[static_cast<std::size_t>(q)] = s;
        }
      for (int a = 0; a < m_; ++a)
        for (int b = 0; b < m_; ++b) {
          double v = we[b] * z(a, j, b) + cov(a, b) * (g0 * dtotal + g2 * 2 * we[b] * cov(b, j));
          if (g1 != 0) v += 2 * g1 * fw[static_cast<std::size_t>(pair(a, b))];
          nn[dense_index(a, b, m_)] = scale * v;
        }
      for (int e2 = 0; e2 < n; ++e2) {
        const int j2 = e2 / k1;
        const double* we2 = w.data() + dense_index(0, e2, m_);
        double s = 0;
        for (int c = 0; c < m_; ++c) s += nn[dense_index(j2, c, m_)] * we2[c];
        s += we[j2] * mw[dense_index(j, e2, m_)] + we2[j] * mw[dense_index(j2, e, m_)];
        if (e2 == e) s += mat(j, j);
        h[dense_index(e2, e, n)] = s;
      }
    }
    return solve_newton(n, h, grad, u, decrease);
  }

  int p_, m_;
  bool oblique_;
  Matrix x_;
  const RotationCriterion& crit_;
  std::vector<Matrix> basis_;  // oblique tangent bases of the latest Newton direction
  Matrix c_, m_gl_, z_;        // curvature_moments()
};

struct Outcome {
  int status = 0;
  int iterations = 0;
  int newton_steps = 0;
};

// Places `cur` at T = I and derives the criterion there; false when that
// fails or the measure is not finite.
bool start_at_identity(Engine& engine, int m, Point& cur) {
  cur.t.assign(static_cast<std::size_t>(m) * m, 0.0);
  for (int i = 0; i < m; ++i) cur.t[dense_index(i, i, m)] = 1;
  if (!engine.place(cur)) return false;
  engine.derive(cur);
  return std::isfinite(cur.measure);
}

// What carries over from one step to the next: the gradient step's length,
// the non-monotone reference value and its weight, and the measure below
// which a Newton step is tried next.
struct StepControl {
  double alpha;
  double reference, weight = 1;
  // After a Newton attempt fails (the Hessian is not positive definite
  // there, or the step does not pay), the next one waits until the measure
  // has come down by a further factor: building the Hessian costs about as
  // much as m(m-1)/2 (orthogonal) or m(m-1) (oblique) criterion evaluations.
  double newton_below = kNewtonStart;

  // The reference value takes in the value f of the point just reached.
  void take_in(double f) {
    const double next_weight = kNonmonotone * weight + 1;
    reference = (kNonmonotone * weight * reference + f) / next_weight;
    weight = next_weight;
  }
};

// One step from `cur` to `trial`: Newton when the measure is below the
// control's threshold, else a gradient step halved until it is acceptable,
// then Newton if it was not tried yet.  A trial point is taken when it
// decreases f enough, or when the change of f is rounding and the gradient
// went down.  False when no step is acceptable.
bool take_step(Engine& engine, Point& cur, Point& trial, std::vector<double>& u, StepControl& ctl,
               int& newton_steps) {
  const double flat = kFlat * engine.magnitude(cur);
  auto acceptable = [&](double required) {
    if (trial.f <= required) {
      engine.derive(trial);
      return true;
    }
    if (std::fabs(trial.f - cur.f) <= flat) {
      engine.derive(trial);
      return trial.measure < cur.measure;
    }
    return false;
  };
  bool moved = false, tried_newton = false;
  auto try_newton = [&]() {
    tried_newton = true;
    double decrease = 0;
    if (engine.newton_direction(cur, u, decrease))
      for (double scale = 1; scale > 1.0 / 16; scale *= 0.5)
        if (engine.newton_step(cur, u, scale, trial) &&
            acceptable(cur.f - kArmijo * scale * decrease))
          return true;
    ctl.newton_below = 0.1 * cur.measure;
    return false;
  };
  if (cur.measure < ctl.newton_below) moved = try_newton();
  if (moved) {
    ++newton_steps;
  } else {
    const double gnorm = std::sqrt(cur.gp_norm2);
    double a = std::min(ctl.alpha, kMaxStep / gnorm);
    for (int h = 0; h <= kMaxHalvings && !moved; ++h, a *= 0.5)
      moved = engine.gradient_step(cur, a, trial) &&
              acceptable(ctl.reference - kArmijo * a * cur.gp_norm2);
    if (!moved && !tried_newton) {
      moved = try_newton();
      if (moved) ++newton_steps;
    }
  }
  return moved;
}

// Barzilai-Borwein length for the next gradient step after the step from
// `cur` to `next`, alternating the two quotients; where the curvature along
// the step is not positive, the geometric mean of the two, which always is.
// Without a usable step the length stays `alpha`.
double next_step_length(const Point& cur, const Point& next, int iterations, double alpha) {
  double ss = 0, sy = 0, yy = 0;
  for (std::size_t k = 0; k < cur.t.size(); ++k) {
    const double s = next.t[k] - cur.t[k], y = next.gp[k] - cur.gp[k];
    ss += s * s;
    sy += s * y;
    yy += y * y;
  }
  if (yy > 0 && ss > 0) {
    if (sy > 0) return iterations % 2 ? ss / sy : sy / yy;
    return std::sqrt(ss / yy);
  }
  return alpha;
}

// Runs the iteration from T = I; `cur` ends at the last iterate.
Outcome iterate(Engine& engine, int m, bool oblique, int maxiter, double eps, Point& cur) {
  Outcome out;
  if (!start_at_identity(engine, m, cur)) {
    out.status = TKXFAC_ROTATE_EXCEPTION;
    return out;
  }
  Point trial;
  std::vector<double> u;
  // First step: a tenth of the longest step.
  StepControl ctl{cur.gp_norm2 > 0 ? 0.1 * kMaxStep / std::sqrt(cur.gp_norm2) : 0.0, cur.f};
  double previous_measure = std::numeric_limits<double>::infinity();
  // Oblique only: the smallest singular value of T now and halfway through
  // the iterations allowed.
  double smallest = 1, halfway = 1;
  for (;;) {
    // At or below the tolerance (an exactly stationary point has converged
    // even for a tolerance of 0), or as far as rounding lets the measure go.
    const bool at_rounding = cur.measure <= kRoundingLevel;
    if (cur.measure <= eps || (at_rounding && cur.measure >= previous_measure)) {
      out.status = TKXFAC_ROTATE_CONVERGE;
      break;
    }
    if (out.iterations >= maxiter) {
      const bool closing =
          oblique && smallest < kNearSingular && smallest < kStillClosing * halfway;
      out.status = closing ? TKXFAC_ROTATE_TO_SINGULARITY : TKXFAC_ROTATE_NOT_CONVERGE;
      break;
    }
    if (!take_step(engine, cur, trial, u, ctl, out.newton_steps)) {
      // No step improves on a point whose measure is rounding already.
      out.status = at_rounding ? TKXFAC_ROTATE_CONVERGE : TKXFAC_ROTATE_FAIL_TO_OPTIMIZE;
      break;
    }
    ++out.iterations;
    previous_measure = cur.measure;
    ctl.alpha = next_step_length(cur, trial, out.iterations, ctl.alpha);
    std::swap(cur, trial);
    ctl.take_in(cur.f);
    if (!std::isfinite(cur.measure)) {
      out.status = TKXFAC_ROTATE_EXCEPTION;
      break;
    }
    if (oblique) {
      smallest = smallest_singular_value(m, cur.t);
      if (out.iterations == maxiter / 2) halfway = smallest;
      if (smallest < kSingular) {
        out.status = TKXFAC_ROTATE_TO_SINGULARITY;
        break;
      }
    }
  }
  return out;
}

// Cureton-Mulaik weight of one row of the pattern: with theta the angle
// between the row and the first unrotated factor and theta0 = acos(1/sqrt(m))
// the angle at which a variable of a single factor lies when the m factors
// stand symmetrically about the first one, the weight is
//   cos^2(90 deg * (theta0 - theta) / theta0)           for theta < theta0,
//   cos^2(90 deg * (theta - theta0) / (90 deg - theta0)) otherwise,
// so that variables near the general factor and variables at right angles
// to it, which carry little information on where the factors lie, count
// little.  A floor keeps every row in the criterion; a zero row has nothing
// to weight and gets the floor.
constexpr double kWeightFloor = 0.001;

double cureton_mulaik_weight(double first, double length, int m) {
  if (!(length > 0)) return kWeightFloor;
  const double half_pi = std::numbers::pi / 2;
  const double theta0 = std::acos(1 / std::sqrt(static_cast<double>(m)));
  const double theta = std::acos(std::min(1.0, std::fabs(first) / length));
  double angle;
  if (theta < theta0)
    angle = half_pi * (theta0 - theta) / theta0;
  else
    angle = half_pi * (theta - theta0) / (half_pi - theta0);
  const double c = std::cos(angle);
  return c * c + kWeightFloor;
}

}  // namespace

bool rottype_is_orthogonal(int rottype) {
  return (rottype >= 1 && rottype <= 6) || rottype == 16 || rottype == 18 ||
         rottype == TKXFAC_ROTTYPE_ORTH_GENCF || rottype == TKXFAC_ROTTYPE_HK;
}

bool rottype_is_oblique(int rottype) {
  return (rottype >= 7 && rottype <= 15) || rottype == 17 || rottype == 19 ||
         rottype == TKXFAC_ROTTYPE_OBLI_GENCF;
}

int rotate_pattern(int nvar, int nfact, const double* a, const double* vstd,
                   const TKXFAC_ROTPARMS& parms, RotationResult& result) {
  result = RotationResult{};
  const bool orthogonal = rottype_is_orthogonal(parms.rottype);
  const bool oblique = rottype_is_oblique(parms.rottype);
  if (nvar < 1 || nfact < 1 || !a || !(orthogonal || oblique)) return TKXFAC_ERR_ARGUMENT;
  const int norm = parms.normtype;
  if (norm != 1 && norm != 2 && norm != 3 && norm != 4 && norm != 6) return TKXFAC_ERR_ARGUMENT;
  if (parms.maxiter < 1 || !(parms.eps >= 0) || !std::isfinite(parms.eps))
    return TKXFAC_ERR_ARGUMENT;
  for (double g : parms.gcf_parms)
    if (!std::isfinite(g)) return TKXFAC_ERR_ARGUMENT;
  const bool harris_kaiser =
      parms.rottype == TKXFAC_ROTTYPE_HK || (orthogonal && !std::isnan(parms.hkpower));
  const double power = std::isnan(parms.hkpower) ? 0.0 : parms.hkpower;
  if (harris_kaiser && !std::isfinite(power)) return TKXFAC_ERR_ARGUMENT;

  const int p = nvar, m = nfact;
  const std::size_t pm = static_cast<std::size_t>(p) * m;
  Matrix x(a, a + pm);

  // Harris-Kaiser: rotate B = A diag(c_j^((power-1)/2)) orthogonally.
  std::vector<double> colscale(static_cast<std::size_t>(m), 1.0);
  if (harris_kaiser) {
    result.factor_weights.assign(static_cast<std::size_t>(m), 1.0);
    for (int j = 0; j < m; ++j) {
      const double c = inner::dot(a + dense_index(0, j, p), a + dense_index(0, j, p), p);
      if (c > 0) {
        colscale[static_cast<std::size_t>(j)] = std::pow(c, 0.5 * (power - 1));
        result.factor_weights[static_cast<std::size_t>(j)] = std::pow(c, 0.5 * power);
      }
      for (int i = 0; i < p; ++i) x[dense_index(i, j, p)] *= colscale[static_cast<std::size_t>(j)];
    }
  }

  // Row scaling.  The transformation found for D X is the one for X.
  std::vector<double> rowscale(static_cast<std::size_t>(p), 1.0);
  const bool kaiser = norm == 1 || (norm == 6 && parms.kaisernorm);
  if (kaiser || norm == 2) {
    if (norm == 2) result.var_weights.resize(static_cast<std::size_t>(p));
    for (int i = 0; i < p; ++i) {
      double h = 0;
      for (int j = 0; j < m; ++j) h += x[dense_index(i, j, p)] * x[dense_index(i, j, p)];
      h = std::sqrt(h);
      double d = h > 0 ? 1 / h : 1.0;
      if (norm == 2) {
        const double w = cureton_mulaik_weight(x[dense_index(i, 0, p)], h, m);
        result.var_weights[static_cast<std::size_t>(i)] = w;
        d *= w;
      }
      rowscale[static_cast<std::size_t>(i)] = d;
    }
  } else if (norm == 4) {
    if (vstd) rowscale.assign(vstd, vstd + p);
    result.var_weights = rowscale;
  }
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) x[dense_index(i, j, p)] *= rowscale[static_cast<std::size_t>(i)];

  // The rotation does not depend on the pattern's overall size: the engine
  // works on it scaled to a largest entry of 1, away from overflow.
  double largest = 0;
  for (double v : x) largest = std::max(largest, std::fabs(v));
  Matrix work = x;
  if (largest > 0 && std::isfinite(largest))
    for (double& v : work) v /= largest;

  Point cur;
  Outcome outcome;
  if (!all_finite(x)) {
    outcome.status = TKXFAC_ROTATE_EXCEPTION;
    cur.t.assign(static_cast<std::size_t>(m) * m, 0.0);
    for (int i = 0; i < m; ++i) cur.t[dense_index(i, i, m)] = 1;
    cur.tinv = cur.t;
    cur.measure = std::numeric_limits<double>::quiet_NaN();
  } else {
    const QuarticCriterion criterion(p, m, parms.gcf_parms, oblique ? 1.0 : -1.0);
    Engine engine(p, m, work, criterion, oblique);
    outcome = iterate(engine, m, oblique, parms.maxiter, parms.eps, cur);
    result.evaluations = engine.evaluations;
  }
  result.status = outcome.status;
  result.iterations = outcome.iterations;
  result.newton_steps = outcome.newton_steps;
  result.convergence = cur.measure;

  // tran: T (orthogonal), T^{-T} (oblique), then the Harris-Kaiser column
  // rescaling in front.
  const std::size_t mm = static_cast<std::size_t>(m) * m;
  result.transformation.assign(mm, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j)
      result.transformation[dense_index(i, j, m)] =
          colscale[static_cast<std::size_t>(i)] *
          (oblique ? cur.tinv[dense_index(j, i, m)] : cur.t[dense_index(i, j, m)]);
  result.pattern.assign(pm, 0.0);
  dense_multiply({a, p, m}, {result.transformation.data(), m, m}, {result.pattern.data(), p, m});
  result.factor_corr.assign(static_cast<std::size_t>(m) * (m + 1) / 2, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j <= i; ++j)
      result.factor_corr[static_cast<std::size_t>(i) * (i + 1) / 2 + j] =
          oblique ? (i == j ? 1.0
                            : inner::dot(cur.t.data() + dense_index(0, i, m),
                                         cur.t.data() + dense_index(0, j, m), m))
                  : (i == j ? 1.0 : 0.0);

  // The criterion at the pattern that was rotated, in its own units.
  Matrix scaled = result.pattern;
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i)
      scaled[dense_index(i, j, p)] *= rowscale[static_cast<std::size_t>(i)];
  Terms terms;
  result.criterion = QuarticCriterion(p, m, parms.gcf_parms, 1.0).q(scaled.data(), terms);
  return TKXFAC_OK;
}

}  // namespace kav
