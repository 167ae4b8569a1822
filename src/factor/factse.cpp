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
#include "factor/factse.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "factor/factcd.h"
#include "factor/factor.h"
#include "factor/rotselect.h"
#include "factor/stages.h"
#include "host/services.h"
#include "host/step.h"
#include "host/value.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

constexpr int kMsgSigmaSingular = 355;
constexpr int kMsgNotDecomposed = 356;
constexpr int kMsgFcorSingular = 357;
constexpr int kMsgNoMemory = 358;
constexpr int kMsgMethodWithout = 359;
constexpr int kMsgNormWithout = 360;
constexpr int kMsgTinyPivot = 361;
constexpr int kMsgRotationSingular = 904;

// A pivot of the bordered information matrix this small leaves its inverse
// meaningless, whatever SINGULAR= allowed.
constexpr double kTinyPivot = 1.491668147e-154;

long idx(long i, long j) {
  return i >= j ? packed_index(i, j) : packed_index(j, i);
}

std::size_t at(long i, long j, long rows) {
  return static_cast<std::size_t>(j * rows + i);
}

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
  if (!a) com->host->xpmlog(kFactorGroup, kMsgNoMemory);
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

class RotationSystem {
 public:
  RotationSystem(int p, int m, bool oblique, const double* g, const double* x, const double* tran,
                 const double* fcor)
      : p_(p), m_(m), oblique_(oblique), x_(x), tran_(tran) {
    std::copy(g, g + 4, g_);
    phi_.assign(static_cast<std::size_t>(m) * m, 0.0);
    for (int a = 0; a < m; ++a)
      for (int b = 0; b < m; ++b)
        phi_[at(a, b, m)] = a == b ? 1.0 : oblique ? fcor[idx(a, b)] : 0.0;
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
        const double v = l_[at(i, j, p)];
        grad_[at(i, j, p)] =
            4 * v * (g_[0] * total_ + g_[1] * row_[i] + g_[2] * col_[j] + g_[3] * v * v);
      }
    n_.assign(static_cast<std::size_t>(m) * m, 0.0);
    cross(l_.data(), grad_.data(), n_.data());
    dg_.assign(l_.size(), 0.0);
    dn_.assign(n_.size(), 0.0);
  }

  int order() const { return static_cast<int>(pairs_.size()); }
  const std::vector<std::pair<int, int>>& pairs() const { return pairs_; }
  double phi(int a, int b) const { return phi_[at(a, b, m_)]; }

  // The basis change K of coordinate s, added `scale` times into k.
  void add_basis(int s, double scale, double* k) const {
    const auto [a, b] = pairs_[static_cast<std::size_t>(s)];
    k[at(a, b, m_)] += scale;
    if (oblique_)
      k[at(a, a, m_)] -= scale * phi(a, b);
    else
      k[at(b, a, m_)] -= scale;
  }

  // dPhi = -(Phi K' + K Phi) of a change K (oblique).
  void phi_change(const double* k, double* dphi) const {
    for (int a = 0; a < m_; ++a)
      for (int b = 0; b < m_; ++b) {
        double s = 0;
        for (int c = 0; c < m_; ++c) s += phi(a, c) * k[at(b, c, m_)] + k[at(a, c, m_)] * phi(c, b);
        dphi[at(a, b, m_)] = -s;
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
        const double d = 2 * l_[at(i, j, p)] * dl[at(i, j, p)];
        drow[static_cast<std::size_t>(i)] += d;
        dcol[static_cast<std::size_t>(j)] += d;
        dtotal += d;
      }
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < p; ++i) {
        const double v = l_[at(i, j, p)], dv = dl[at(i, j, p)];
        dg_[at(i, j, p)] =
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
        for (int i = 0; i < p; ++i) s += l_[at(i, a, p)] * dg_[at(i, b, p)];
        dn_[at(a, b, m)] += s;
      }
    for (std::size_t s = 0; s < pairs_.size(); ++s) {
      const auto [a, b] = pairs_[s];
      if (oblique_) {
        out[s] = dn_[at(a, b, m)] - dn_[at(a, a, m)] * phi(a, b) -
                 (dphi ? n_[at(a, a, m)] * dphi[at(a, b, m)] : 0.0);
      } else {
        out[s] = dn_[at(a, b, m)] - dn_[at(b, a, m)];
      }
    }
  }

  const double* rotated() const { return l_.data(); }

 private:
  // out (p x m) = a (p x m) b (m x m).
  void multiply(const double* a, const double* b, double* out) const {
    for (int c = 0; c < m_; ++c)
      for (int i = 0; i < p_; ++i) {
        double s = 0;
        for (int t = 0; t < m_; ++t) s += a[at(i, t, p_)] * b[at(t, c, m_)];
        out[at(i, c, p_)] = s;
      }
  }
  // out (m x m) = a' b for p x m matrices.
  void cross(const double* a, const double* b, double* out) const {
    for (int u = 0; u < m_; ++u)
      for (int v = 0; v < m_; ++v) {
        double s = 0;
        for (int i = 0; i < p_; ++i) s += a[at(i, u, p_)] * b[at(i, v, p_)];
        out[at(u, v, m_)] = s;
      }
  }
  void sums(const double* l, std::vector<double>& row, std::vector<double>& col,
            double& total) const {
    row.assign(static_cast<std::size_t>(p_), 0.0);
    col.assign(static_cast<std::size_t>(m_), 0.0);
    total = 0;
    for (int j = 0; j < m_; ++j)
      for (int i = 0; i < p_; ++i) {
        const double sq = l[at(i, j, p_)] * l[at(i, j, p_)];
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

// ---------------------------------------------------------------------------

// Standard errors of the unrotated solution, and the covariance every
// rotation starts from.
void unrotated(COMSTR* com) {
  const long p = com->nvar, m = com->nfact;
  rotini(com);
  release(com, com->covp);
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
    com->host->xpmlog(kFactorGroup, kMsgNoMemory);
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

// Standard errors of a rotation of the unrotated solution by an analytic
// criterion with weights g.
void rotated(COMSTR* com, int method, const double* g) {
  const int p = com->nvar, m = com->nfact;
  const bool oblique = oblsol(method);
  const long pm = static_cast<long>(p) * m;
  const long nphi = static_cast<long>(m) * (m + 1) / 2;

  WorkArea work(com);
  if (oblique) {
    double* copy = work.get<double>(static_cast<std::uint64_t>(nphi));
    double* w = work.get<double>(static_cast<std::uint64_t>(m));
    if (work.failed()) {
      com->host->xpmlog(kFactorGroup, kMsgNoMemory);
      return;
    }
    std::copy(com->fcor, com->fcor + nphi, copy);
    if (znndsol(com->singular, m, copy, w, 0, nullptr) > 0) {
      com->host->xpmlog(kFactorGroup, kMsgFcorSingular);
      return;
    }
  }

  // The pattern the criterion saw: Kaiser's normalisation divides each row
  // of the unrotated pattern by its length h; the other normalisations
  // that reach here leave it as it is.
  const double* a = com->ufact;
  const bool kaiser = com->normtype == 0 || com->normtype == 1;
  std::vector<double> d(static_cast<std::size_t>(p), 1.0);
  std::vector<char> scaled(static_cast<std::size_t>(p), 0);
  if (kaiser)
    for (int i = 0; i < p; ++i) {
      double h2 = 0;
      for (int j = 0; j < m; ++j) h2 += a[at(i, j, p)] * a[at(i, j, p)];
      if (h2 > 0) {
        d[static_cast<std::size_t>(i)] = 1 / std::sqrt(h2);
        scaled[static_cast<std::size_t>(i)] = 1;
      }
    }
  std::vector<double> x(static_cast<std::size_t>(pm));
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) x[at(i, j, p)] = d[static_cast<std::size_t>(i)] * a[at(i, j, p)];

  RotationSystem sys(p, m, oblique, g, x.data(), com->tran, com->fcor);
  const int r = sys.order();

  const std::uint64_t upm = static_cast<std::uint64_t>(pm);
  double* jk = work.get<double>(static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(r));
  double* qraux = work.get<double>(static_cast<std::uint64_t>(r));
  int* jpvt = work.get<int>(static_cast<std::uint64_t>(r));
  double* qrwork = work.get<double>(2 * static_cast<std::uint64_t>(r));
  double* jphi = oblique ? work.get<double>(upm * static_cast<std::uint64_t>(nphi)) : nullptr;
  double* jstruc = oblique ? work.get<double>(upm * upm) : nullptr;
  double* variances = work.get<double>(std::max(upm, static_cast<std::uint64_t>(nphi)));
  release(com, com->dbda);
  com->dbda = work.failed() ? nullptr : com->host->pool().allocate_array<double>(upm * upm);
  if (work.failed() || !com->dbda) {
    com->host->xpmlog(kFactorGroup, kMsgNoMemory);
    return;
  }

  // The conditions' derivatives with respect to the rotation's own
  // coordinates, decomposed once.
  std::vector<double> k(static_cast<std::size_t>(m) * m), dl(static_cast<std::size_t>(pm)),
      dphi(static_cast<std::size_t>(m) * m), rhs(static_cast<std::size_t>(r));
  const double* l = sys.rotated();
  for (int s = 0; s < r; ++s) {
    std::fill(k.begin(), k.end(), 0.0);
    sys.add_basis(s, 1.0, k.data());
    for (int c = 0; c < m; ++c)
      for (int i = 0; i < p; ++i) {
        double v = 0;
        for (int t = 0; t < m; ++t) v += l[at(i, t, p)] * k[at(t, c, m)];
        dl[at(i, c, p)] = v;
      }
    if (oblique) sys.phi_change(k.data(), dphi.data());
    sys.conditions(dl.data(), oblique ? dphi.data() : nullptr,
                   jk + static_cast<std::size_t>(s) * r);
  }
  if (zqrdec(r, r, jk, com->singular, qraux, jpvt, qrwork) > 0) {
    com->host->xpmlog(kFactorGroup, kMsgRotationSingular);
    return;
  }

  // One unrotated loading at a time: how the criterion's pattern moves, how
  // far the rotation turns to stay stationary, and what that does to the
  // rotated pattern, factor correlations and structure.
  const double* tran = com->tran;
  const double* lam = com->fact;
  double* jlam = com->dbda;
  std::vector<double> dx(static_cast<std::size_t>(m)), dlam(static_cast<std::size_t>(pm));
  std::fill(dl.begin(), dl.end(), 0.0);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i) {
      const long in = static_cast<long>(j) * p + i;
      // Row i of the change of X = D A, and of L = X M.
      const double di = d[static_cast<std::size_t>(i)];
      // d(1/h_i) = -a_ij / h_i^3.
      const double ddi = scaled[static_cast<std::size_t>(i)] ? -a[at(i, j, p)] * di * di * di : 0.0;
      for (int t = 0; t < m; ++t)
        dx[static_cast<std::size_t>(t)] = (t == j ? di : 0.0) + ddi * a[at(i, t, p)];
      for (int c = 0; c < m; ++c) {
        double v = 0;
        for (int t = 0; t < m; ++t) v += dx[static_cast<std::size_t>(t)] * tran[at(t, c, m)];
        dl[at(i, c, p)] = v;
      }
      sys.conditions(dl.data(), nullptr, rhs.data());
      for (int c = 0; c < m; ++c) dl[at(i, c, p)] = 0.0;
      for (double& v : rhs) v = -v;
      zqrsol(r, r, jk, qraux, jpvt, r, rhs.data(), qrwork);
      std::fill(k.begin(), k.end(), 0.0);
      for (int s = 0; s < r; ++s) sys.add_basis(s, rhs[static_cast<std::size_t>(s)], k.data());

      // dLambda = dA M + Lambda K.
      for (int c = 0; c < m; ++c)
        for (int q = 0; q < p; ++q) {
          double v = q == i ? tran[at(j, c, m)] : 0.0;
          for (int t = 0; t < m; ++t) v += lam[at(q, t, p)] * k[at(t, c, m)];
          dlam[at(q, c, p)] = v;
          jlam[static_cast<std::size_t>(static_cast<long>(c) * p + q) * upm +
               static_cast<std::size_t>(in)] = v;
        }
      if (!oblique) continue;
      sys.phi_change(k.data(), dphi.data());
      for (int u = 0; u < m; ++u)
        for (int v = 0; v <= u; ++v)
          jphi[static_cast<std::size_t>(packed_index(u, v)) * upm + static_cast<std::size_t>(in)] =
              u == v ? 0.0 : dphi[at(u, v, m)];
      // dS = dLambda Phi + Lambda dPhi.
      for (int c = 0; c < m; ++c)
        for (int q = 0; q < p; ++q) {
          double v = 0;
          for (int t = 0; t < m; ++t)
            v += dlam[at(q, t, p)] * sys.phi(t, c) + lam[at(q, t, p)] * dphi[at(t, c, m)];
          jstruc[static_cast<std::size_t>(static_cast<long>(c) * p + q) * upm +
                 static_cast<std::size_t>(in)] = v;
        }
    }

  // The delta method.
  auto standard_errors = [&](const double* jac, long nout) {
    delmeth(variances, nout, nout, pm, jac, com->covp);
    double* se = keep(com, static_cast<std::uint64_t>(nout));
    if (se)
      for (long q = 0; q < nout; ++q) se[q] = std::sqrt(std::max(0.0, variances[q]));
    return se;
  };
  com->factse = standard_errors(jlam, pm);
  if (oblique && com->factse) {
    com->fcorse = standard_errors(jphi, nphi);
    com->strucse = com->fcorse ? standard_errors(jstruc, pm) : nullptr;
    if (!com->strucse) rotini(com);
  }
}

}  // namespace

int info(double vardiv, double tol, double* se, double* cov, const double* loadings, double* sigma,
         double* bordered, int* pivots, int m, int p) {
  const long P = p, M = m, pm = P * M, n = pm + P + M * (M - 1) / 2;
  auto lam = [&](long i, long k) { return loadings[k * P + i]; };

  // The reproduced correlations with unit diagonal, and their inverse W.
  for (long i = 0; i < P; ++i)
    for (long j = 0; j <= i; ++j) {
      double s = 0;
      for (long k = 0; k < M; ++k) s += lam(i, k) * lam(j, k);
      sigma[packed_index(i, j)] = i == j ? 1.0 : s;
    }
  std::vector<double> w(static_cast<std::size_t>(P));
  if (znndsol(tol, p, sigma, w.data(), 0, nullptr) > 0) return kMsgSigmaSingular;
  auto W = [&](long i, long j) { return sigma[idx(i, j)]; };

  // B = W L and C = L' W L.
  std::vector<double> b(static_cast<std::size_t>(pm)), c(static_cast<std::size_t>(M * M));
  for (long k = 0; k < M; ++k)
    for (long i = 0; i < P; ++i) {
      double s = 0;
      for (long j = 0; j < P; ++j) s += W(i, j) * lam(j, k);
      b[static_cast<std::size_t>(k * P + i)] = s;
    }
  auto B = [&](long i, long k) { return b[static_cast<std::size_t>(k * P + i)]; };
  for (long k = 0; k < M; ++k)
    for (long l = 0; l < M; ++l) {
      double s = 0;
      for (long i = 0; i < P; ++i) s += lam(i, k) * B(i, l);
      c[static_cast<std::size_t>(l * M + k)] = s;
    }
  auto C = [&](long k, long l) { return c[static_cast<std::size_t>(l * M + k)]; };

  // The information of one observation, 1/2 tr(W dSigma_a W dSigma_b):
  //   loadings (i,k), (j,l):  W_ij C_kl + B_il B_jk
  //   loading (j,k), unique variance i:  W_ij B_ik
  //   unique variances i, j:  W_ij^2 / 2
  std::fill(bordered, bordered + n * (n + 1) / 2, 0.0);
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

  // The border: derivatives of (L' W L)_kl, k < l, with W = Sigma^-1.
  //   loading (i,j):  [k=j] B_il + B_ik [l=j] - B_ik C_jl - C_kj B_il
  //   unique variance i:  -B_ik B_il
  // Each row is scaled to the size of the information's diagonal, which
  // leaves the covariance of the loadings as it is and keeps the pivots of
  // the decomposition comparable with the tolerance.
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

void delmeth(double* out, long length, long nout, long npar, const double* jacobian,
             const double* cov) {
  const bool full = length != nout;
  std::vector<double> v(static_cast<std::size_t>(npar));
  for (long k = 0; k < nout; ++k) {
    const double* jk = jacobian + k * npar;
    // v = C J_k, C packed symmetric.
    std::fill(v.begin(), v.end(), 0.0);
    for (long i = 0; i < npar; ++i) {
      const double* ci = cov + packed_index(i, 0);
      double s = 0;
      for (long t = 0; t < i; ++t) {
        s += ci[t] * jk[t];
        v[static_cast<std::size_t>(t)] += ci[t] * jk[i];
      }
      v[static_cast<std::size_t>(i)] += s + ci[i] * jk[i];
    }
    auto dot = [&](const double* jl) {
      double s = 0;
      for (long t = 0; t < npar; ++t) s += jl[t] * v[static_cast<std::size_t>(t)];
      return s;
    };
    if (!full) {
      out[k] = dot(jk);
    } else {
      for (long l = 0; l <= k; ++l) out[packed_index(k, l)] = dot(jacobian + l * npar);
    }
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
  const bool harris_kaiser = method == kRotHk || (!oblsol(method) && !is_missing(com->hkpower));
  if (method == kRotPromax || method == kRotProcrustes || harris_kaiser) {
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

}  // namespace kav
