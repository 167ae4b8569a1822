// Standard errors of a maximum-likelihood solution.
//
// The unrotated loadings get theirs from the information matrix of the
// normal likelihood in the loadings and the unique variances.  That matrix
// is singular: every orthogonal rotation of the loadings reproduces the
// same correlations, so the likelihood is flat along m(m-1)/2 directions.
// The fit picks one point of each such orbit, the one at which
// L' Sigma^-1 L is diagonal; bordering the information matrix with the
// derivatives of those conditions and inverting the whole (symmetric but
// indefinite) matrix gives the covariance of the loadings as the fit
// identifies them.
//
// A rotated solution is a function of the unrotated loadings A: the
// rotation T is the stationary point of the criterion at A.  Differentiating
// the stationarity conditions (implicit functions) gives the derivative of T,
// and with it those of the rotated pattern, factor correlations and
// structure; the delta method carries the covariance of A through them.
// Rotations are written as L = X M, with X the (row-scaled) pattern and M
// the transformation the procedure holds; a small change of M is M K, where
// K is skew-symmetric for an orthogonal rotation and, for an oblique one,
// keeps the factor variances at 1 (the diagonal of K Phi is 0).
//
// Promax and Procrustes are not stationary points but explicit maps: the
// target (for promax a power of the prerotated pattern), the least-squares
// transformation to it and its rescaling to unit factor variances are
// differentiated step by step and chained with the prerotation's
// derivatives, which the prerotation leaves behind for that purpose.
#include "factor/results/factse.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "factor/rotate/rotation_registry.h"
#include "factor/rotate/rotselect.h"
#include "factor/state/factmsg.h"
#include "factor/state/stages.h"
#include "host/services.h"
#include "host/step.h"
#include "host/value.h"
#include "numeric/dense.h"
#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// A pivot of the bordered information matrix this small leaves its inverse
// meaningless, whatever SINGULAR= allowed.
constexpr double kTinyPivot = 1.491668147e-154;

// Blocks of the step's pool that live for one call: a refused request
// marks the area as failed instead of ending the step, since standard
// errors that cannot be had must not stop the analysis.
class WorkArea {
 public:
  explicit WorkArea(COMSTR* com) : pool_(&com->host->pool()) {}
  WorkArea(const WorkArea&) = delete;
  WorkArea& operator=(const WorkArea&) = delete;
  ~WorkArea() {
    for (void* b : blocks_) pool_->release(b);
  }
  template <class T>
  T* get(std::uint64_t count) {
    T* p = failed_ ? nullptr : pool_->allocate_array<T>(std::max<std::uint64_t>(count, 1));
    if (p)
      blocks_.push_back(p);
    else
      failed_ = true;
    return p;
  }
  bool failed() const { return failed_; }

 private:
  StepPool* pool_;
  std::vector<void*> blocks_;
  bool failed_ = false;
};

void release(COMSTR* com, double*& a) {
  if (a) com->host->pool().release(a);
  a = nullptr;
}

// A result array from the pool, or null (with message 358) when refused.
double* keep(COMSTR* com, std::uint64_t count) {
  double* a = com->host->pool().allocate_array<double>(std::max<std::uint64_t>(count, 1));
  if (!a) com->host->xpmlog(kFactorGroup, kMsgSeNoMemory);
  return a;
}

// The smallest pivot quantity of a UDU' factorisation: |d| of each 1 x 1
// block, |det| / |off-diagonal| of each 2 x 2 block.
double smallest_pivot(const double* a, long n, const int* kpvt) {
  auto u = [&](long i, long j) { return a[packed_index(j, i)]; };  // upper (i <= j)
  double least = INFINITY;
  for (long k = n - 1; k >= 0;) {
    if (kpvt[k] > 0 || k == 0) {
      least = std::min(least, std::fabs(u(k, k)));
      k -= 1;
    } else {
      const double b = u(k - 1, k);
      const double det = u(k - 1, k - 1) * u(k, k) - b * b;
      least = std::min(least, b != 0 ? std::fabs(det) / std::fabs(b) : std::fabs(det));
      k -= 2;
    }
  }
  return least;
}

// ---------------------------------------------------------------------------
// The rotation's stationarity conditions and their derivatives.

// The generalised Crawford-Ferguson criterion Q with weights g0..g3 at the
// rotated (row-scaled) pattern L = X M, its gradient G, and the conditions
// that hold where the rotation stopped; `conditions` gives how they change
// with L (and with Phi for an oblique rotation), through the Hessian of Q.
class RotationSystem {
 public:
  RotationSystem(int p, int m, bool oblique, const double* g, const double* x, const double* tran,
                 const double* fcor)
      : p_(p), m_(m), oblique_(oblique), x_(x), tran_(tran) {
    std::copy(g, g + 4, g_);
    phi_.assign(static_cast<std::size_t>(m) * m, 0.0);
    for (int a = 0; a < m; ++a)
      for (int b = 0; b < m; ++b)
        phi_[dense_index(a, b, m)] = a == b ? 1.0 : oblique ? fcor[packed_sym_index(a, b)] : 0.0;
    // The conditions: orthogonal, the skew part of L'G for a < b; oblique,
    // the off-diagonal of L'G - diag(L'G) Phi for every a != b.  The basis
    // of changes K pairs with them in the same order.
    for (int a = 0; a < m; ++a)
      for (int b = 0; b < m; ++b)
        if (oblique ? a != b : a < b) pairs_.emplace_back(a, b);
    l_.assign(static_cast<std::size_t>(p) * m, 0.0);
    multiply(x_, tran_, l_.data());
    sums(l_.data(), row_, col_, total_);
    grad_.assign(l_.size(), 0.0);
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < p; ++i) {
        const double v = l_[dense_index(i, j, p)];
        grad_[dense_index(i, j, p)] =
            4 * v * (g_[0] * total_ + g_[1] * row_[i] + g_[2] * col_[j] + g_[3] * v * v);
      }
    n_.assign(static_cast<std::size_t>(m) * m, 0.0);
    cross(l_.data(), grad_.data(), n_.data());
    dg_.assign(l_.size(), 0.0);
    dn_.assign(n_.size(), 0.0);
  }

  int order() const { return static_cast<int>(pairs_.size()); }
  const std::vector<std::pair<int, int>>& pairs() const { return pairs_; }
  double phi(int a, int b) const { return phi_[dense_index(a, b, m_)]; }

  // The basis change K of coordinate s, added `scale` times into k.
  void add_basis(int s, double scale, double* k) const {
    const auto [a, b] = pairs_[static_cast<std::size_t>(s)];
    k[dense_index(a, b, m_)] += scale;
    if (oblique_)
      k[dense_index(a, a, m_)] -= scale * phi(a, b);
    else
      k[dense_index(b, a, m_)] -= scale;
  }

  // dPhi = -(Phi K' + K Phi) of a change K (oblique).
  void phi_change(const double* k, double* dphi) const {
    for (int a = 0; a < m_; ++a)
      for (int b = 0; b < m_; ++b) {
        double s = 0;
        for (int c = 0; c < m_; ++c)
          s += phi(a, c) * k[dense_index(b, c, m_)] + k[dense_index(a, c, m_)] * phi(c, b);
        dphi[dense_index(a, b, m_)] = -s;
      }
  }

  // The change of the conditions for a change dl of the rotated (scaled)
  // pattern and dphi of the factor correlations (null: none).
  void conditions(const double* dl, const double* dphi, double* out) {
    const int p = p_, m = m_;
    // Change of the gradient of the criterion.
    std::vector<double> drow(static_cast<std::size_t>(p), 0.0),
        dcol(static_cast<std::size_t>(m), 0.0);
    double dtotal = 0;
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < p; ++i) {
        const double d = 2 * l_[dense_index(i, j, p)] * dl[dense_index(i, j, p)];
        drow[static_cast<std::size_t>(i)] += d;
        dcol[static_cast<std::size_t>(j)] += d;
        dtotal += d;
      }
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < p; ++i) {
        const double v = l_[dense_index(i, j, p)], dv = dl[dense_index(i, j, p)];
        dg_[dense_index(i, j, p)] =
            4 * dv * (g_[0] * total_ + g_[1] * row_[i] + g_[2] * col_[j] + 3 * g_[3] * v * v) +
            4 * v *
                (g_[0] * dtotal + g_[1] * drow[static_cast<std::size_t>(i)] +
                 g_[2] * dcol[static_cast<std::size_t>(j)]);
      }
    // dN = dL' G + L' dG.
    cross(dl, grad_.data(), dn_.data());
    for (int a = 0; a < m; ++a)
      for (int b = 0; b < m; ++b) {
        double s = 0;
        for (int i = 0; i < p; ++i) s += l_[dense_index(i, a, p)] * dg_[dense_index(i, b, p)];
        dn_[dense_index(a, b, m)] += s;
      }
    for (std::size_t s = 0; s < pairs_.size(); ++s) {
      const auto [a, b] = pairs_[s];
      if (oblique_) {
        out[s] = dn_[dense_index(a, b, m)] - dn_[dense_index(a, a, m)] * phi(a, b) -
                 (dphi ? n_[dense_index(a, a, m)] * dphi[dense_index(a, b, m)] : 0.0);
      } else {
        out[s] = dn_[dense_index(a, b, m)] - dn_[dense_index(b, a, m)];
      }
    }
  }

  const double* rotated() const { return l_.data(); }
  const double* phi_matrix() const { return phi_.data(); }

 private:
  // out (p x m) = a (p x m) b (m x m).
  void multiply(const double* a, const double* b, double* out) const {
    dense_multiply({a, p_, m_}, {b, m_, m_}, {out, p_, m_});
  }
  // out (m x m) = a' b for p x m matrices.
  void cross(const double* a, const double* b, double* out) const {
    dense_transpose_multiply({a, p_, m_}, {b, p_, m_}, {out, m_, m_});
  }
  void sums(const double* l, std::vector<double>& row, std::vector<double>& col,
            double& total) const {
    row.assign(static_cast<std::size_t>(p_), 0.0);
    col.assign(static_cast<std::size_t>(m_), 0.0);
    total = 0;
    for (int j = 0; j < m_; ++j)
      for (int i = 0; i < p_; ++i) {
        const double sq = l[dense_index(i, j, p_)] * l[dense_index(i, j, p_)];
        row[static_cast<std::size_t>(i)] += sq;
        col[static_cast<std::size_t>(j)] += sq;
        total += sq;
      }
  }

  int p_, m_;
  bool oblique_;
  double g_[4];
  const double* x_;
  const double* tran_;
  std::vector<double> phi_, l_, grad_, n_, dg_, dn_, row_, col_;
  double total_ = 0;
  std::vector<std::pair<int, int>> pairs_;
};

// Inverse of a small n x n matrix; false when a pivot vanishes against the
// matrix's size.
bool invert_small(int n, const std::vector<double>& a, std::vector<double>& inv) {
  inv.assign(static_cast<std::size_t>(n) * n, 0.0);
  return dense_invert({a.data(), n, n}, {inv.data(), n, n}, 1e-13) == DenseStatus::kOk;
}

// out (r x c) = a' b for a (n x r) and b (n x c).
void cross(int n, int r, int c, const double* a, const double* b, double* out) {
  dense_transpose_multiply({a, n, r}, {b, n, c}, {out, r, c});
}
// out (n x c) = a (n x k) b (k x c); `add` adds to out.
void product(int n, int k, int c, const double* a, const double* b, double* out, bool add) {
  dense_multiply({a, n, k}, {b, k, c}, {out, n, c}, add);
}

// ---------------------------------------------------------------------------
// The shape of the derivatives.
//
// A change dA of the unrotated loadings moves a rotated pattern by dA N
// (N the transformation, or the product of the transformations when one
// rotation starts from another) plus a part that runs through a few
// coordinates: the rotation's own (r of them), or the entries of the
// least-squares transformation (m^2).  Each Jacobian is therefore
//   vec(dA N) + U z,  z = R vec(dA),
// with U (quantities x r) and R (r x pm), and the delta method needs the
// covariance C of vec(A) only through C R', R C R' and the m x m blocks of
// C that belong to one variable: a few passes over C instead of one per
// quantity.  Factor correlations have no dA N part.

struct Shape {
  const double* n = nullptr;  // m x m, or null
  const double* u = nullptr;  // nout x r, column by column
};

// C R' (pm x r, column by column) and R C R' (r x r); R holds the r
// coordinates of each input together.
void crossterms(const double* cov, long pm, int r, const double* rr, double* cr, double* rcr) {
  std::vector<double> rs(static_cast<std::size_t>(pm));
  for (int s = 0; s < r; ++s) {
    for (long in = 0; in < pm; ++in) rs[static_cast<std::size_t>(in)] = rr[in * r + s];
    inner::packed_symv(pm, cov, rs.data(), cr + static_cast<long>(s) * pm);
  }
  for (int s = 0; s < r; ++s)
    for (int t = 0; t < r; ++t) {
      double v = 0;
      for (long in = 0; in < pm; ++in) v += rr[in * r + t] * cr[static_cast<long>(s) * pm + in];
      rcr[static_cast<long>(t) * r + s] = v;
    }
}

// The derivatives of the current pattern with respect to the unrotated
// one stay in dbda for a rotation that starts from that pattern (promax or
// Procrustes after a prerotation): p*m, r, then N, U and R, then the
// pattern they belong to, so that a pattern changed since (by a rotation
// without standard errors, or in another BY group) is never taken for the
// one they describe.
struct Prior {
  bool unrotated = true;  // the pattern is the unrotated one: N = I, r = 0
  int r = 0;
  const double* n = nullptr;
  const double* u = nullptr;
  const double* rr = nullptr;
};

std::uint64_t derivative_size(long pm, int m, int r) {
  const auto upm = static_cast<std::uint64_t>(pm), ur = static_cast<std::uint64_t>(r),
             um = static_cast<std::uint64_t>(m);
  return 2 + um * um + 2 * upm * ur + upm;
}

// Keeps N, U and R of the current pattern (com->fact) in dbda.
void keep_derivatives(COMSTR* com, long pm, int m, int r, const double* n, const double* u,
                      const double* rr) {
  double* block = com->host->pool().allocate_array<double>(derivative_size(pm, m, r));
  release(com, com->dbda);
  if (!block) return;
  const std::size_t mm = static_cast<std::size_t>(m) * m, ur = static_cast<std::size_t>(pm) * r;
  block[0] = static_cast<double>(pm);
  block[1] = r;
  std::copy(n, n + mm, block + 2);
  std::copy(u, u + ur, block + 2 + mm);
  std::copy(rr, rr + ur, block + 2 + mm + ur);
  std::copy(com->fact, com->fact + pm, block + 2 + mm + 2 * ur);
  com->dbda = block;
}

// The derivatives of `pattern`: false when it is neither the unrotated
// pattern nor the one dbda describes.
bool derivatives_of(const COMSTR* com, const double* pattern, long pm, int m, Prior& prior) {
  const std::size_t bytes = static_cast<std::size_t>(pm) * sizeof(double);
  prior = Prior{};
  if (std::memcmp(pattern, com->ufact, bytes) == 0) return true;
  const double* block = com->dbda;
  if (!block || block[0] != static_cast<double>(pm)) return false;
  const int r = static_cast<int>(block[1]);
  const std::size_t mm = static_cast<std::size_t>(m) * m, ur = static_cast<std::size_t>(pm) * r;
  if (std::memcmp(block + 2 + mm + 2 * ur, pattern, bytes) != 0) return false;
  prior.unrotated = false;
  prior.r = r;
  prior.n = block + 2;
  prior.u = block + 2 + mm;
  prior.rr = block + 2 + mm + ur;
  return true;
}

// Standard errors of the pattern, factor correlations and structure of a
// rotated solution from the shapes of their derivatives and the common R.
void propagate(COMSTR* com, int r, const double* rr, const Shape& pattern, const Shape* corr,
               const Shape* structure) {
  const int p = com->nvar, m = com->nfact;
  const long pm = static_cast<long>(p) * m, nphi = static_cast<long>(m) * (m + 1) / 2;
  WorkArea work(com);
  double* cr = work.get<double>(static_cast<std::uint64_t>(pm) * static_cast<std::uint64_t>(r));
  double* rcr = work.get<double>(static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(r));
  double* variances = work.get<double>(static_cast<std::uint64_t>(std::max(pm, nphi)));
  if (work.failed()) {
    com->host->xpmlog(kFactorGroup, kMsgSeNoMemory);
    return;
  }
  crossterms(com->covp, pm, r, rr, cr, rcr);
  auto standard_errors = [&](const Shape& shape, long nout) {
    delmeth(variances, nout, p, m, shape.n, r, shape.u, cr, rcr, com->covp);
    double* se = keep(com, static_cast<std::uint64_t>(nout));
    if (se)
      for (long q = 0; q < nout; ++q) se[q] = std::sqrt(std::max(0.0, variances[q]));
    return se;
  };
  com->factse = standard_errors(pattern, pm);
  if (corr && com->factse) {
    com->fcorse = standard_errors(*corr, nphi);
    com->strucse = com->fcorse ? standard_errors(*structure, pm) : nullptr;
    if (!com->strucse) rotini(com);
  }
}

// Standard errors of the unrotated solution, and the covariance every
// rotation starts from.
void unrotated(COMSTR* com) {
  const long p = com->nvar, m = com->nfact;
  rotini(com);
  release(com, com->covp);
  release(com, com->dbda);
  if (m < 1) return;
  const long pm = p * m;
  const long n = pm + p + m * (m - 1) / 2;

  WorkArea work(com);
  double* sigma = work.get<double>(static_cast<std::uint64_t>(p * (p + 1) / 2));
  double* bordered =
      work.get<double>(static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n + 1) / 2);
  int* pivots = work.get<int>(static_cast<std::uint64_t>(n));
  StepPool& pool = com->host->pool();
  double* se = pool.allocate_array<double>(static_cast<std::uint64_t>(pm));
  double* cov = pool.allocate_array<double>(static_cast<std::uint64_t>(pm * (pm + 1) / 2));
  if (work.failed() || !se || !cov) {
    com->host->xpmlog(kFactorGroup, kMsgSeNoMemory);
    release(com, se);
    release(com, cov);
    return;
  }
  const int rc = info(com->vardiv, com->singular, se, cov, com->fact, sigma, bordered, pivots,
                      static_cast<int>(m), static_cast<int>(p));
  if (rc != 0) {
    com->host->xpmlog(kFactorGroup, rc);
    release(com, se);
    release(com, cov);
    return;
  }
  com->factse = se;
  com->covp = cov;
  if (com->ufact) std::memcpy(com->ufact, com->fact, static_cast<std::size_t>(pm) * sizeof(double));
}

// U of the pattern, the factor correlations and the structure: what each
// coordinate of a rotation does to them.  For an analytic rotation the
// coordinates are those of the rotation itself; for promax and Procrustes the
// m^2 entries of dX, then the prerotation's own.
struct CoordinateEffects {
  std::vector<double> ulam, uphi, ustruc;
};

// The pattern the criterion saw: Kaiser's normalisation divides each row
// of the unrotated pattern by its length h; the other normalisations
// that reach here leave it as it is.
struct CriterionPattern {
  std::vector<double> d;     // each row's divisor 1/h; 1 for a row left as it is
  std::vector<char> scaled;  // whether the row was divided
  std::vector<double> x;     // X = D A
};

CriterionPattern criterion_pattern(const COMSTR* com, int p, int m) {
  const double* a = com->ufact;
  const bool kaiser = com->normtype == 0 || com->normtype == 1;
  CriterionPattern out{std::vector<double>(static_cast<std::size_t>(p), 1.0),
                       std::vector<char>(static_cast<std::size_t>(p), 0),
                       std::vector<double>(static_cast<std::size_t>(p) * m)};
  if (kaiser)
    for (int i = 0; i < p; ++i) {
      double h2 = 0;
      for (int j = 0; j < m; ++j) h2 += a[dense_index(i, j, p)] * a[dense_index(i, j, p)];
      if (h2 > 0) {
        out.d[static_cast<std::size_t>(i)] = 1 / std::sqrt(h2);
        out.scaled[static_cast<std::size_t>(i)] = 1;
      }
    }
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i)
      out.x[dense_index(i, j, p)] = out.d[static_cast<std::size_t>(i)] * a[dense_index(i, j, p)];
  return out;
}

// The conditions' derivatives with respect to the rotation's own
// coordinates, QR-decomposed once so that each loading's turn is one solve.
struct DecomposedConditions {
  std::vector<double> jk, qraux, qrwork;
  std::vector<int> jpvt;
};

// Differentiates the conditions along each coordinate of the rotation, and
// finds what each coordinate does to the pattern (Lambda K), the factor
// correlations and the structure.  False (and said) when the derivatives
// are singular.
bool differentiate_conditions(COMSTR* com, RotationSystem& sys, bool oblique,
                              DecomposedConditions& jac, CoordinateEffects& u) {
  const int p = com->nvar, m = com->nfact;
  const long nphi = static_cast<long>(m) * (m + 1) / 2;
  const std::size_t upm = static_cast<std::size_t>(p) * m, mm = static_cast<std::size_t>(m) * m;
  const int r = sys.order();
  const std::size_t ur = static_cast<std::size_t>(r);
  const double* lam = com->fact;
  jac = {std::vector<double>(ur * ur), std::vector<double>(ur), std::vector<double>(2 * ur),
         std::vector<int>(ur)};
  u = {std::vector<double>(upm * ur), std::vector<double>(static_cast<std::size_t>(nphi) * ur),
       std::vector<double>(upm * ur)};
  std::vector<double> k(mm), dl(upm), dphi(mm);
  const double* l = sys.rotated();
  for (int s = 0; s < r; ++s) {
    std::fill(k.begin(), k.end(), 0.0);
    sys.add_basis(s, 1.0, k.data());
    product(p, m, m, l, k.data(), dl.data(), false);
    if (oblique) sys.phi_change(k.data(), dphi.data());
    sys.conditions(dl.data(), oblique ? dphi.data() : nullptr, jac.jk.data() + s * ur);
    double* us = u.ulam.data() + s * upm;
    product(p, m, m, lam, k.data(), us, false);
    if (!oblique) continue;
    for (int a = 0; a < m; ++a)
      for (int v = 0; v <= a; ++v)
        u.uphi[s * static_cast<std::size_t>(nphi) + static_cast<std::size_t>(packed_index(a, v))] =
            a == v ? 0.0 : dphi[dense_index(a, v, m)];
    // Lambda K Phi + Lambda dPhi.
    std::vector<double> kphi(mm);
    product(m, m, m, k.data(), sys.phi_matrix(), kphi.data(), false);
    for (std::size_t e = 0; e < mm; ++e) kphi[e] += dphi[e];
    product(p, m, m, lam, kphi.data(), u.ustruc.data() + s * upm, false);
  }
  if (zqrdec(r, r, jac.jk.data(), com->singular, jac.qraux.data(), jac.jpvt.data(),
             jac.qrwork.data()) > 0) {
    com->host->xpmlog(kFactorGroup, kMsgRotationSingular);
    return false;
  }
  return true;
}

// R: one unrotated loading at a time, how the criterion's pattern moves
// and how far the rotation turns to stay stationary.
std::vector<double> turns_of_loadings(const COMSTR* com, RotationSystem& sys,
                                      const CriterionPattern& cp, DecomposedConditions& jac) {
  const int p = com->nvar, m = com->nfact;
  const int r = sys.order();
  const std::size_t ur = static_cast<std::size_t>(r), upm = static_cast<std::size_t>(p) * m;
  const double* a = com->ufact;
  const double* tran = com->tran;
  std::vector<double> rr(ur * upm), dx(static_cast<std::size_t>(m)), dl(upm), rhs(ur);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) {
      const long in = static_cast<long>(j) * p + i;
      // Row i of the change of X = D A, and of L = X M.
      const double di = cp.d[static_cast<std::size_t>(i)];
      // d(1/h_i) = -a_ij / h_i^3.
      const double ddi =
          cp.scaled[static_cast<std::size_t>(i)] ? -a[dense_index(i, j, p)] * di * di * di : 0.0;
      for (int t = 0; t < m; ++t)
        dx[static_cast<std::size_t>(t)] = (t == j ? di : 0.0) + ddi * a[dense_index(i, t, p)];
      for (int c = 0; c < m; ++c) {
        double v = 0;
        for (int t = 0; t < m; ++t)
          v += dx[static_cast<std::size_t>(t)] * tran[dense_index(t, c, m)];
        dl[dense_index(i, c, p)] = v;
      }
      sys.conditions(dl.data(), nullptr, rhs.data());
      for (int c = 0; c < m; ++c) dl[dense_index(i, c, p)] = 0.0;
      for (double& v : rhs) v = -v;
      zqrsol(r, r, jac.jk.data(), jac.qraux.data(), jac.jpvt.data(), r, rhs.data(),
             jac.qrwork.data());
      std::copy(rhs.begin(), rhs.end(), rr.begin() + in * r);
    }
  return rr;
}

// Standard errors of a rotation of the unrotated solution by an analytic
// criterion with weights g.
void rotated(COMSTR* com, int method, const double* g) {
  const int p = com->nvar, m = com->nfact;
  const bool oblique = oblsol(method);
  const long pm = static_cast<long>(p) * m;
  const long nphi = static_cast<long>(m) * (m + 1) / 2;
  const std::size_t mm = static_cast<std::size_t>(m) * m;

  if (oblique) {
    std::vector<double> copy(com->fcor, com->fcor + nphi), w(static_cast<std::size_t>(m));
    if (znndsol(com->singular, m, copy.data(), w.data(), 0, nullptr) > 0) {
      com->host->xpmlog(kFactorGroup, kMsgFcorSingular);
      return;
    }
  }

  const CriterionPattern cp = criterion_pattern(com, p, m);
  RotationSystem sys(p, m, oblique, g, cp.x.data(), com->tran, com->fcor);
  const int r = sys.order();
  DecomposedConditions jac;
  CoordinateEffects u;
  if (!differentiate_conditions(com, sys, oblique, jac, u)) return;
  const std::vector<double> rr = turns_of_loadings(com, sys, cp, jac);

  // dLambda = dA M + Lambda K; dS = dA M Phi + Lambda (K Phi + dPhi).
  const double* tran = com->tran;
  std::vector<double> mphi(mm);
  product(m, m, m, tran, sys.phi_matrix(), mphi.data(), false);
  const Shape pattern{tran, u.ulam.data()}, corr{nullptr, u.uphi.data()},
      structure{mphi.data(), u.ustruc.data()};
  propagate(com, r, rr.data(), pattern, oblique ? &corr : nullptr, oblique ? &structure : nullptr);
  if (com->factse) keep_derivatives(com, pm, m, r, tran, u.ulam.data(), rr.data());
}

// ---------------------------------------------------------------------------
// Promax and Procrustes: explicit maps from the pattern they start from.

// How promax built its target T from the pattern B: each row divided by its
// length (unless NOPROMAXNORM), each element n turned into |n|^(k-1) n,
// each column divided by its largest magnitude.
class PromaxTarget {
 public:
  PromaxTarget(const COMSTR* com, const double* b, int p, int m, double power)
      : b_(b),
        p_(p),
        m_(m),
        power_(power),
        rowlen_(static_cast<std::size_t>(p), 0.0),
        raw_(static_cast<std::size_t>(p) * m, 0.0),
        dn_(raw_.size()),
        argmax_(static_cast<std::size_t>(m), -1) {
    for (int i = 0; i < p; ++i) {
      double ss = 0;
      for (int j = 0; j < m; ++j) ss += b[dense_index(i, j, p)] * b[dense_index(i, j, p)];
      if (fopt_test(com, kFoptPromaxNorm) && ss > kSmall)
        rowlen_[static_cast<std::size_t>(i)] = std::sqrt(ss);
    }
    for (int j = 0; j < m; ++j) {
      double big = 0;
      for (int i = 0; i < p; ++i) {
        const double len = rowlen_[static_cast<std::size_t>(i)];
        const double n = len > 0 ? b[dense_index(i, j, p)] / len : b[dense_index(i, j, p)];
        const double t = std::pow(std::fabs(n), power - 1) * n;
        raw_[dense_index(i, j, p)] = t;
        if (std::fabs(t) > big) {
          big = std::fabs(t);
          argmax_[static_cast<std::size_t>(j)] = i;
        }
      }
      if (big <= kSmall * kSmall) argmax_[static_cast<std::size_t>(j)] = -1;
    }
  }

  // dT (p x m) for a change dB of the pattern.
  void change(const double* db, double* dt) {
    const int p = p_, m = m_;
    const double* b = b_;
    const double power = power_;
    for (int i = 0; i < p; ++i) {
      const double len = rowlen_[static_cast<std::size_t>(i)];
      double dot = 0;
      if (len > 0)
        for (int j = 0; j < m; ++j) dot += b[dense_index(i, j, p)] * db[dense_index(i, j, p)];
      for (int j = 0; j < m; ++j) {
        const double n = len > 0 ? b[dense_index(i, j, p)] / len : b[dense_index(i, j, p)];
        const double d = len > 0 ? db[dense_index(i, j, p)] / len - b[dense_index(i, j, p)] * dot / (len * len * len)
                                 : db[dense_index(i, j, p)];
        // d(|n|^(k-1) n) = k |n|^(k-1) dn.
        const double slope =
            n != 0 ? power * std::pow(std::fabs(n), power - 1) : (power == 1 ? 1.0 : 0.0);
        dn_[dense_index(i, j, p)] = slope * d;
      }
    }
    for (int j = 0; j < m; ++j) {
      const int im = argmax_[static_cast<std::size_t>(j)];
      if (im < 0) {
        for (int i = 0; i < p; ++i) dt[dense_index(i, j, p)] = dn_[dense_index(i, j, p)];
        continue;
      }
      const double c = std::fabs(raw_[dense_index(im, j, p)]);
      const double dc = (raw_[dense_index(im, j, p)] < 0 ? -1.0 : 1.0) * dn_[dense_index(im, j, p)];
      for (int i = 0; i < p; ++i)
        dt[dense_index(i, j, p)] = dn_[dense_index(i, j, p)] / c - raw_[dense_index(i, j, p)] * dc / (c * c);
    }
  }

 private:
  static constexpr double kSmall = 1.110223024625157e-12;
  const double* b_;
  int p_, m_;
  double power_;
  std::vector<double> rowlen_, raw_, dn_;
  std::vector<int> argmax_;
};

// The least-squares transformation of the pattern B to the target T and its
// rescaling to unit factor variances: X = (B'B)^-1 B'T, Y = (X'X)^-1 and
// the column scales s = sqrt(diag Y) give M = X diag(s) and
// Phi = diag(1/s) Y diag(1/s).  With a promax target, a change of B moves
// T as well.
class TargetFit {
 public:
  TargetFit(int p, int m, const double* b, const double* target, PromaxTarget* promax)
      : p_(p), m_(m), b_(b), target_(target), promax_(promax) {}

  // False when B'B or X'X is singular, or Y has a diagonal entry not above 0.
  bool solve() {
    const int p = p_, m = m_;
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    std::vector<double> g(mm), bt(mm), xx(mm);
    x_.assign(mm, 0.0);
    s_.assign(static_cast<std::size_t>(m), 0.0);
    cross(p, m, m, b_, b_, g.data());
    cross(p, m, m, b_, target_, bt.data());
    if (!invert_small(m, g, ginv_)) return false;
    product(m, m, m, ginv_.data(), bt.data(), x_.data(), false);
    cross(m, m, m, x_.data(), x_.data(), xx.data());
    if (!invert_small(m, xx, y_)) return false;
    for (int j = 0; j < m; ++j) {
      if (!(y_[dense_index(j, j, m)] > 0)) return false;
      s_[static_cast<std::size_t>(j)] = std::sqrt(y_[dense_index(j, j, m)]);
    }
    mtran_.assign(mm, 0.0);
    phi_.assign(mm, 0.0);
    for (int v = 0; v < m; ++v)
      for (int u = 0; u < m; ++u) {
        mtran_[dense_index(u, v, m)] = x_[dense_index(u, v, m)] * sj(v);
        phi_[dense_index(u, v, m)] = u == v ? 1.0 : y_[dense_index(u, v, m)] / (sj(u) * sj(v));
      }
    dt_.assign(static_cast<std::size_t>(p) * m, 0.0);
    for (std::vector<double>* v : {&w_, &w2_, &dg_, &dy_}) v->assign(mm, 0.0);
    ds_.assign(static_cast<std::size_t>(m), 0.0);
    return true;
  }

  const double* transformation() const { return mtran_.data(); }
  const double* phi() const { return phi_.data(); }

  // dX for a change dB of the pattern (through the target too for promax):
  // dX = G^-1 (dB'T + B'dT - (dB'B + B'dB) X).
  void change_of_x(const double* db, double* dx) {
    const int p = p_, m = m_;
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    std::fill(dt_.begin(), dt_.end(), 0.0);
    if (promax_) promax_->change(db, dt_.data());
    cross(p, m, m, db, target_, w_.data());
    cross(p, m, m, b_, dt_.data(), w2_.data());
    for (std::size_t e = 0; e < mm; ++e) w_[e] += w2_[e];
    cross(p, m, m, db, b_, w2_.data());
    for (int v = 0; v < m; ++v)
      for (int u = 0; u < m; ++u) dg_[dense_index(u, v, m)] = w2_[dense_index(u, v, m)] + w2_[dense_index(v, u, m)];
    product(m, m, m, dg_.data(), x_.data(), w2_.data(), false);
    for (std::size_t e = 0; e < mm; ++e) w_[e] -= w2_[e];
    product(m, m, m, ginv_.data(), w_.data(), dx, false);
  }

  // dM and dPhi for a change dX: dY = -Y (dX'X + X'dX) Y, ds_j = dY_jj /
  // (2 s_j), dM = dX diag(s) + X diag(ds), dPhi_uv = dY_uv / (s_u s_v) -
  // Y_uv (ds_u / s_u + ds_v / s_v) / (s_u s_v).
  void change_of_m(const double* dx, double* dm, double* dphi) {
    const int m = m_;
    cross(m, m, m, dx, x_.data(), w_.data());
    for (int v = 0; v < m; ++v)
      for (int u = 0; u < m; ++u) w2_[dense_index(u, v, m)] = w_[dense_index(u, v, m)] + w_[dense_index(v, u, m)];
    product(m, m, m, y_.data(), w2_.data(), w_.data(), false);
    product(m, m, m, w_.data(), y_.data(), dy_.data(), false);
    for (double& v : dy_) v = -v;
    for (int j = 0; j < m; ++j) ds_[static_cast<std::size_t>(j)] = dy_[dense_index(j, j, m)] / (2 * sj(j));
    for (int v = 0; v < m; ++v)
      for (int u = 0; u < m; ++u) {
        const double dsu = ds_[static_cast<std::size_t>(u)], dsv = ds_[static_cast<std::size_t>(v)];
        dm[dense_index(u, v, m)] = dx[dense_index(u, v, m)] * sj(v) + x_[dense_index(u, v, m)] * dsv;
        dphi[dense_index(u, v, m)] =
            u == v ? 0.0
                   : dy_[dense_index(u, v, m)] / (sj(u) * sj(v)) -
                         y_[dense_index(u, v, m)] * (dsu / sj(u) + dsv / sj(v)) / (sj(u) * sj(v));
      }
  }

 private:
  double sj(int j) const { return s_[static_cast<std::size_t>(j)]; }

  int p_, m_;
  const double* b_;
  const double* target_;
  PromaxTarget* promax_;
  std::vector<double> ginv_, x_, y_, s_, mtran_, phi_, dt_, w_, w2_, dg_, dy_, ds_;
};

CoordinateEffects coordinate_effects(TargetFit& fit, const Prior& prior, const double* b,
                                     const double* lam, int p, int m, int r) {
  const std::size_t upm = static_cast<std::size_t>(p) * m, mm = static_cast<std::size_t>(m) * m;
  const std::size_t ur = static_cast<std::size_t>(r), nphi = static_cast<std::size_t>(m) * (m + 1) / 2;
  CoordinateEffects out{std::vector<double>(upm * ur), std::vector<double>(nphi * ur, 0.0),
                        std::vector<double>(upm * ur)};
  std::vector<double> dx(mm), dm(mm), dphi(mm);
  for (std::size_t e = 0; e < mm; ++e) {
    std::fill(dx.begin(), dx.end(), 0.0);
    dx[e] = 1;
    fit.change_of_m(dx.data(), dm.data(), dphi.data());
    double* ul = out.ulam.data() + e * upm;
    product(p, m, m, b, dm.data(), ul, false);  // B dM
    for (int u = 0; u < m; ++u)
      for (int v = 0; v <= u; ++v)
        out.uphi[e * nphi + static_cast<std::size_t>(packed_index(u, v))] = dphi[dense_index(u, v, m)];
    double* us = out.ustruc.data() + e * upm;
    product(p, m, m, ul, fit.phi(), us, false);  // B dM Phi + Lambda dPhi
    product(p, m, m, lam, dphi.data(), us, true);
  }
  for (int t = 0; t < prior.r; ++t) {
    // A prerotation coordinate moves B by its column u_t: u_t M, u_t M Phi.
    const std::size_t e = mm + static_cast<std::size_t>(t);
    product(p, m, m, prior.u + static_cast<std::size_t>(t) * upm, fit.transformation(),
            out.ulam.data() + e * upm, false);
    product(p, m, m, out.ulam.data() + e * upm, fit.phi(), out.ustruc.data() + e * upm, false);
  }
  return out;
}

// R: how each unrotated loading moves the coordinates, through dB = dA N +
// U R vec(dA) of the prerotation (dA itself from the unrotated pattern).
std::vector<double> coordinates_of_loadings(TargetFit& fit, const Prior& prior, int p, int m,
                                            int r) {
  const long pm = static_cast<long>(p) * m;
  const std::size_t upm = static_cast<std::size_t>(pm), mm = static_cast<std::size_t>(m) * m;
  const std::size_t ur = static_cast<std::size_t>(r);
  std::vector<double> rr(ur * upm), db(upm), dx(mm);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) {
      const long in = static_cast<long>(j) * p + i;
      std::fill(db.begin(), db.end(), 0.0);
      if (prior.unrotated) {
        db[dense_index(i, j, p)] = 1;
      } else {
        for (int c = 0; c < m; ++c) db[dense_index(i, c, p)] = prior.n[dense_index(j, c, m)];
        for (int t = 0; t < prior.r; ++t)
          inner::axpy(prior.rr[in * prior.r + t], prior.u + static_cast<std::size_t>(t) * upm,
                      db.data(), pm);
      }
      fit.change_of_x(db.data(), dx.data());
      double* ri = rr.data() + static_cast<std::size_t>(in) * ur;
      std::copy(dx.begin(), dx.end(), ri);
      for (int t = 0; t < prior.r; ++t)
        ri[mm + static_cast<std::size_t>(t)] = prior.rr[in * prior.r + t];
    }
  return rr;
}

}  // namespace

void factsepro(COMSTR* com, int method, double power, bool orthogonal_start, const double* before,
               const double* target) {
  const int p = com->nvar, m = com->nfact;
  if (m < 2 || !com->covp || !com->ufact) return;
  if (!orthogonal_start) {
    // Starting from an oblique solution, the factor correlations it had
    // enter the normalisation as well; that path is not differentiated.
    com->host->xpmlog(kFactorGroup, kMsgMethodWithout);
    return;
  }
  const long pm = static_cast<long>(p) * m;
  const std::size_t mm = static_cast<std::size_t>(m) * m;
  // The pattern the rotation started from is the unrotated one, or a
  // prerotation whose derivatives were kept; otherwise it had no standard
  // errors, and said why when it was rotated.
  Prior prior;
  if (!derivatives_of(com, before, pm, m, prior)) return;

  std::optional<PromaxTarget> promax;
  if (method == kRotPromax) promax.emplace(com, before, p, m, power);
  TargetFit fit(p, m, before, target, promax ? &*promax : nullptr);
  if (!fit.solve()) return;

  const int r = static_cast<int>(mm) + prior.r;
  const CoordinateEffects u = coordinate_effects(fit, prior, before, com->fact, p, m, r);
  const std::vector<double> rr = coordinates_of_loadings(fit, prior, p, m, r);

  // N: that of B times M, and times Phi for the structure.
  std::vector<double> nlam(mm), nstruc(mm);
  if (prior.unrotated)
    nlam.assign(fit.transformation(), fit.transformation() + mm);
  else
    product(m, m, m, prior.n, fit.transformation(), nlam.data(), false);
  product(m, m, m, nlam.data(), fit.phi(), nstruc.data(), false);
  const Shape pattern{nlam.data(), u.ulam.data()}, corr{nullptr, u.uphi.data()},
      structure{nstruc.data(), u.ustruc.data()};
  propagate(com, r, rr.data(), pattern, &corr, &structure);
  if (com->factse) keep_derivatives(com, pm, m, r, nlam.data(), u.ulam.data(), rr.data());
}

namespace {

// The quantities the information is made of, for loadings L (p by m) and
// the inverse W of the reproduced correlations (packed in sigma): B = W L
// and C = L' W L.
struct InformationTerms {
  long P, M;
  const double* loadings;
  const double* sigma;
  std::vector<double> b, c;
  double lam(long i, long k) const { return loadings[k * P + i]; }
  double W(long i, long j) const { return sigma[packed_sym_index(i, j)]; }
  double B(long i, long k) const { return b[static_cast<std::size_t>(k * P + i)]; }
  double C(long k, long l) const { return c[static_cast<std::size_t>(l * M + k)]; }
};

// The reproduced correlations with unit diagonal, inverted in place to W;
// false when they are singular.
bool invert_reproduced(double tol, const double* loadings, double* sigma, long P, long M) {
  auto lam = [&](long i, long k) { return loadings[k * P + i]; };
  for (long i = 0; i < P; ++i)
    for (long j = 0; j <= i; ++j) {
      double s = 0;
      for (long k = 0; k < M; ++k) s += lam(i, k) * lam(j, k);
      sigma[packed_index(i, j)] = i == j ? 1.0 : s;
    }
  std::vector<double> w(static_cast<std::size_t>(P));
  return znndsol(tol, static_cast<int>(P), sigma, w.data(), 0, nullptr) <= 0;
}

// B = W L and C = L' W L.
InformationTerms information_terms(const double* loadings, const double* sigma, long P, long M) {
  InformationTerms t{P,
                     M,
                     loadings,
                     sigma,
                     std::vector<double>(static_cast<std::size_t>(P * M)),
                     std::vector<double>(static_cast<std::size_t>(M * M))};
  for (long k = 0; k < M; ++k)
    for (long i = 0; i < P; ++i) {
      double s = 0;
      for (long j = 0; j < P; ++j) s += t.W(i, j) * t.lam(j, k);
      t.b[static_cast<std::size_t>(k * P + i)] = s;
    }
  for (long k = 0; k < M; ++k)
    for (long l = 0; l < M; ++l) {
      double s = 0;
      for (long i = 0; i < P; ++i) s += t.lam(i, k) * t.B(i, l);
      t.c[static_cast<std::size_t>(l * M + k)] = s;
    }
  return t;
}

// The information of one observation, 1/2 tr(W dSigma_a W dSigma_b):
//   loadings (i,k), (j,l):  W_ij C_kl + B_il B_jk
//   loading (j,k), unique variance i:  W_ij B_ik
//   unique variances i, j:  W_ij^2 / 2
// Fills the first pm + p rows of `bordered`; returns the trace.
double fill_information(const InformationTerms& t, double* bordered) {
  const long P = t.P, M = t.M, pm = P * M;
  auto W = [&](long i, long j) { return t.W(i, j); };
  auto B = [&](long i, long k) { return t.B(i, k); };
  auto C = [&](long k, long l) { return t.C(k, l); };
  double trace = 0;
  for (long k = 0; k < M; ++k)
    for (long i = 0; i < P; ++i) {
      const long row = k * P + i;
      for (long l = 0; l <= k; ++l)
        for (long j = 0; j < P && l * P + j <= row; ++j)
          bordered[packed_index(row, l * P + j)] = W(i, j) * C(k, l) + B(i, l) * B(j, k);
      trace += bordered[packed_index(row, row)];
    }
  for (long i = 0; i < P; ++i) {
    const long row = pm + i;
    for (long k = 0; k < M; ++k)
      for (long j = 0; j < P; ++j) bordered[packed_index(row, k * P + j)] = W(i, j) * B(i, k);
    for (long j = 0; j <= i; ++j) bordered[packed_index(row, pm + j)] = 0.5 * W(i, j) * W(i, j);
    trace += bordered[packed_index(row, row)];
  }
  return trace;
}

// The border: derivatives of (L' W L)_kl, k < l, with W = Sigma^-1.
//   loading (i,j):  [k=j] B_il + B_ik [l=j] - B_ik C_jl - C_kj B_il
//   unique variance i:  -B_ik B_il
// Each row is scaled to the size of the information's diagonal, which
// leaves the covariance of the loadings as it is and keeps the pivots of
// the decomposition comparable with the tolerance.
void fill_border(const InformationTerms& t, double trace, double* bordered) {
  const long P = t.P, M = t.M, pm = P * M;
  auto B = [&](long i, long k) { return t.B(i, k); };
  auto C = [&](long k, long l) { return t.C(k, l); };
  const double size = trace / static_cast<double>(pm + P);
  long row = pm + P;
  std::vector<double> d(static_cast<std::size_t>(pm + P));
  for (long k = 0; k < M; ++k)
    for (long l = k + 1; l < M; ++l, ++row) {
      double norm = 0;
      for (long j = 0; j < M; ++j)
        for (long i = 0; i < P; ++i) {
          double v = -B(i, k) * C(j, l) - C(k, j) * B(i, l);
          if (k == j) v += B(i, l);
          if (l == j) v += B(i, k);
          d[static_cast<std::size_t>(j * P + i)] = v;
          norm = std::max(norm, std::fabs(v));
        }
      for (long i = 0; i < P; ++i) {
        const double v = -B(i, k) * B(i, l);
        d[static_cast<std::size_t>(pm + i)] = v;
        norm = std::max(norm, std::fabs(v));
      }
      const double scale = norm > 0 ? size / norm : 1.0;
      for (long q = 0; q < pm + P; ++q)
        bordered[packed_index(row, q)] = scale * d[static_cast<std::size_t>(q)];
    }
}

}  // namespace

int info(double vardiv, double tol, double* se, double* cov, const double* loadings, double* sigma,
         double* bordered, int* pivots, int m, int p) {
  const long P = p, M = m, pm = P * M, n = pm + P + M * (M - 1) / 2;
  if (!invert_reproduced(tol, loadings, sigma, P, M)) return kMsgSigmaSingular;
  const InformationTerms terms = information_terms(loadings, sigma, P, M);
  std::fill(bordered, bordered + n * (n + 1) / 2, 0.0);
  fill_border(terms, fill_information(terms, bordered), bordered);

  if (zududec(static_cast<int>(n), bordered, pivots, tol) != 0) return kMsgNotDecomposed;
  if (smallest_pivot(bordered, n, pivots) < kTinyPivot) return kMsgTinyPivot;
  std::vector<double> work(static_cast<std::size_t>(n));
  zuduinv(bordered, static_cast<int>(n), pivots, work.data());

  for (long q = 0; q < pm; ++q) {
    se[q] = std::sqrt(std::max(0.0, bordered[packed_index(q, q)] / vardiv));
    if (cov)
      for (long t = 0; t <= q; ++t) cov[packed_index(q, t)] = bordered[packed_index(q, t)] / vardiv;
  }
  return 0;
}

void delmeth(double* out, long nout, int p, int m, const double* n, int r, const double* u,
             const double* cr, const double* rcr, const double* cov) {
  const long pm = static_cast<long>(p) * m;
  for (long o = 0; o < nout; ++o) {
    double kron = 0, crossed = 0, low = 0;
    auto uo = [&](int s) { return u[static_cast<long>(s) * nout + o]; };
    if (n) {
      // Output (q, c) moves by sum_j N_jc dA_qj.
      const long q = o % p, c = o / p;
      for (int j = 0; j < m; ++j) {
        const double nj = n[dense_index(j, c, m)];
        if (nj == 0) continue;
        for (int t = 0; t < m; ++t)
          kron += nj * n[dense_index(t, c, m)] * cov[packed_sym_index(j * p + q, t * p + q)];
        for (int s = 0; s < r; ++s)
          crossed += nj * cr[static_cast<long>(s) * pm + j * p + q] * uo(s);
      }
    }
    for (int s = 0; s < r; ++s) {
      double v = 0;
      for (int t = 0; t < r; ++t) v += rcr[static_cast<long>(t) * r + s] * uo(t);
      low += uo(s) * v;
    }
    out[o] = kron + 2 * crossed + low;
  }
}

void factse(COMSTR* com, int method, const double* weights) {
  if (method == kFactseUnrotated) {
    unrotated(com);
    return;
  }
  // Harris-Kaiser (HK itself, or an orthogonal criterion with HKPOWER=)
  // rescales the factors before and after its rotation, and promax and
  // Procrustes fit a target: none of them is the stationary point of a
  // criterion this computation differentiates.
  const RotationMethod* row = find_rotation(method);
  const bool harris_kaiser =
      (row && row->kind == RotKind::HarrisKaiser) || (!oblsol(method) && !is_missing(com->hkpower));
  if ((row && row->kind == RotKind::Target) || harris_kaiser) {
    com->host->xpmlog(kFactorGroup, kMsgMethodWithout);
    return;
  }
  if (com->normtype == 2 || com->normtype == 4) {
    com->host->xpmlog(kFactorGroup, kMsgNormWithout);
    return;
  }
  if (com->nfact < 2 || !com->covp || !com->ufact || !weights) return;
  rotated(com, method, weights);
}

void rotini(COMSTR* com) {
  StepPool* pool = com->host ? &com->host->pool() : nullptr;
  for (double** a : {&com->factse, &com->fcorse, &com->strucse}) {
    if (*a && pool) pool->release(*a);
    *a = nullptr;
  }
}

}  // namespace kav
