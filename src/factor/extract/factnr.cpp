// Maximum likelihood (ML), unweighted least squares (ULS) and generalized
// least squares (GLS) extraction.
//
// For a given vector psi of unique variances the best loadings of every
// method follow from one eigen-decomposition, so the fit is a minimisation
// over psi alone (p parameters instead of p(m + 1)):
// - ULS factors R - Psi (under weighting D R D with the unique variances on
//   the same scale); the criterion is half the sum of the squared
//   eigenvalues that the m factors leave over.
// - ML and GLS factor L Psi L', L the inverse of the Cholesky factor C of R
//   (R = C C').  Its eigenvalues e are the reciprocals x = 1/e of the
//   eigenvalues of Psi^-1/2 R Psi^-1/2; the p - m largest e (smallest x)
//   are the dimensions the factors leave over, and enter the criterion:
//   ML sum(x - ln x - 1), GLS half the sum of (1/x - 1)^2.
// The optimiser (zoldrap) takes Newton steps on a Hessian approximation,
// the squared inner products of the vectors the gradient is built from,
// which is positive semidefinite everywhere; a ridge added to its diagonal
// turns the steps toward the gradient when a full step does not descend.
//
// Every evaluation finds all eigenvalues, but eigenvectors only for the m
// factors.  The derivatives are sums over the dimensions the factors leave
// over, and each such sum is the sum over all dimensions, known in closed
// form, less the factors' part.  With U the vectors L' z (U' R U = I,
// U' Psi U = diag(e), so U U' = R^-1):
//   sum over all of x u u'    = Psi^-1
//   sum over all of x^2 u u'  = Psi^-1 R Psi^-1
//   sum over all of e u u'    = R^-1 Psi R^-1
// and for ULS the eigenvectors z of A = R - Psi give sum z z' = I and
// sum e z z' = A.  So an evaluation costs the reduction to tridiagonal form
// and O(p^2 m) besides, not the O(p^3) of all the vectors.  Where unique
// variances near 0 would make the closed form lose digits to cancellation
// (or while the number of factors is not yet known) all vectors are found
// and summed as before.  The vectors live in `fact` (p x p for these
// methods): ML and GLS keep the factors' eigenvectors in the last m
// columns (and, when all vectors are found, the gradient vectors
// sqrt(x) L' z in the first p - m); ULS keeps them in the first m.
#include "factor/extract/factnr.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "factor/extract/factcd.h"
#include "factor/extract/factnf.h"
#include "factor/extract/factprn.h"
#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/output/notes.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/scratch.h"
#include "factor/state/status.h"
#include "host/format.h"
#include "host/log.h"
#include "host/output.h"
#include "host/services.h"
#include "host/value.h"
#include "numeric/eigen.h"
#include "numeric/gamma.h"
#include "numeric/inner.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

std::size_t column(int k, int n) {
  return static_cast<std::size_t>(k) * static_cast<std::size_t>(n);
}

// Eigenvalues of L Psi L' at or below this are taken as 0; their x is kBigX.
constexpr double kEigenFloor = 1e-12;
constexpr double kBigX = 1e12;
constexpr double kTiny = 2.225073858507202e-308;

// ---------------------------------------------------------------------------
// The optimiser.

constexpr double kRidgeStart = 0.03125;
constexpr double kRidgeLimit = 1024;
constexpr double kFreezeGradient = 1e-8;
constexpr double kBoundTolerance = 1e-4;
// A predicted relative decrease below this is as good as convergence.
constexpr double kPredictedDone = 1.053671212772351e-8;
// A predicted relative decrease below this times the number of parameters
// is within the rounding of the criterion, a sum over the variables.
constexpr double kPredictedNoise = 4 * std::numeric_limits<double>::epsilon();
constexpr double kHessianNegligible = 2.2250738585072018e-304;

bool has_bound(const double* bound, int i) {
  return bound && !std::isnan(bound[i]);
}

// Elements from..i of row i of a packed Cholesky factor, the rows above
// done; false at a pivot that is not positive.
bool cholesky_row(double* a, int i, int from) {
  double* ri = a + packed_index(i, 0);
  for (int j = from; j <= i; ++j) {
    const double* rj = a + packed_index(j, 0);
    const double s = ri[j] - inner::dot(ri, rj, j);
    if (j < i) {
      ri[j] = s / rj[j];
    } else {
      if (!(s > 0)) return false;
      ri[i] = std::sqrt(s);
    }
  }
  return true;
}

// Cholesky factorisation of the packed matrix in place; false at the first
// pivot that is not positive.
bool cholesky(int n, double* a) {
  int i = 0;
  // Four rows at a time up to the first of them: element j of each needs
  // row j and the row's own elements before j only, so the four sums of a
  // column go on side by side.  The same operations in the same order as
  // one row at a time.
  for (; i + 4 <= n; i += 4) {
    double* r[4];
    for (int q = 0; q < 4; ++q) r[q] = a + packed_index(i + q, 0);
    for (int j = 0; j < i; ++j) {
      const double* rj = a + packed_index(j, 0);
      double s[4];
      inner::dot4(r, rj, j, s);
      for (int q = 0; q < 4; ++q) r[q][j] = (r[q][j] - s[q]) / rj[j];
    }
    for (int q = 0; q < 4; ++q)
      if (!cholesky_row(a, i + q, i)) return false;
  }
  for (; i < n; ++i)
    if (!cholesky_row(a, i, 0)) return false;
  return true;
}

// Solves (L L') d = g with the packed factor L.
void cholesky_solve(int n, const double* l, const double* g, double* d) {
  for (int i = 0; i < n; ++i) {
    const double* ri = l + packed_index(i, 0);
    double s = g[i];
    for (int k = 0; k < i; ++k) s -= ri[k] * d[k];
    d[i] = s / ri[i];
  }
  for (int i = n - 1; i >= 0; --i) {
    double s = d[i];
    for (int k = i + 1; k < n; ++k) s -= l[packed_index(k, i)] * d[k];
    d[i] = s / l[packed_index(i, i)];
  }
}

// Takes parameter i out of this step: no gradient, and a Hessian row and
// column of zeros whose diagonal keeps the row's scale.
void freeze(int n, int i, double* g, double* h) {
  double ss = 0;
  for (int j = 0; j < n; ++j) {
    const double v = h[packed_sym_index(i, j)];
    ss += v * v;
  }
  const double rms = std::sqrt(ss / n);
  for (int j = 0; j < n; ++j) h[packed_sym_index(i, j)] = 0.0;
  h[packed_index(i, i)] = rms > 0 ? rms : 1.0;
  g[i] = 0.0;
}

}  // namespace

std::size_t zoldrap_work(int n) {
  return packed_size(n) + 2 * static_cast<std::size_t>(n);
}

int zoldrap(int n, int maxiter, double* f, double* x, double* g, double* h, double* work,
            const double* lower, const double* upper, const NRCALLBACKS& cb, double* predicted) {
  const std::size_t np = packed_size(n);
  double* factor = work;     // the ridged Hessian and its Cholesky factor
  double* step = work + np;  // n
  double* saved = step + n;  // n: the point before the step
  double pred = std::numeric_limits<double>::infinity();
  double ridge = 0;       // the ridge the next step starts from
  double last_ridge = 0;  // the ridge of the last accepted step

  // A larger ridge for the next try; false past the limit.
  auto raise = [&ridge]() {
    ridge = ridge == 0 ? kRidgeStart : 4 * ridge;
    return ridge <= kRidgeLimit;
  };

  *f = cb.funct(cb.ctx);
  int status = kNrIterations;
  for (int iteration = 0; iteration < maxiter && status == kNrIterations; ++iteration) {
    cb.derivs(cb.ctx, g, h);

    // A parameter on a bound whose step would push it further out stays
    // where it is for this step.
    for (int i = 0; i < n; ++i) {
      if (has_bound(upper, i) && x[i] >= upper[i]) {
        x[i] = upper[i];
        if (g[i] <= kFreezeGradient) freeze(n, i, g, h);
      } else if (has_bound(lower, i) && x[i] <= lower[i]) {
        x[i] = lower[i];
        if (g[i] >= -kFreezeGradient) freeze(n, i, g, h);
      }
    }

    double norm = 0, largest = 0;
    for (std::size_t k = 0; k < np; ++k) {
      norm += h[k] * h[k];
      largest = std::max(largest, std::fabs(h[k]));
    }
    norm = std::sqrt(norm);

    bool accepted = false, tried = false;
    while (!accepted) {
      double added = 0;
      if (ridge != 0) added = largest <= kHessianNegligible ? ridge : ridge * norm / double(np);
      std::copy(h, h + np, factor);
      for (int i = 0; i < n; ++i) factor[packed_index(i, i)] += added;
      if (!cholesky(n, factor)) {
        if (!raise()) {
          status = kNrRidge;
          break;
        }
        continue;
      }
      cholesky_solve(n, factor, g, step);
      double gd = 0;
      for (int i = 0; i < n; ++i) gd += g[i] * step[i];
      pred = std::fabs(*f) > kTiny ? gd / *f : 0.0;

      // Shorten the step so that no parameter leaves its bounds; the
      // parameters that set the length land exactly on their bound.
      double t = 1;
      for (int i = 0; i < n; ++i) {
        if (step[i] < 0 && has_bound(upper, i) && x[i] - step[i] > upper[i])
          t = std::min(t, std::max(0.0, (upper[i] - x[i]) / -step[i]));
        if (step[i] > 0 && has_bound(lower, i) && x[i] - step[i] < lower[i])
          t = std::min(t, std::max(0.0, (x[i] - lower[i]) / step[i]));
      }
      if (pred < kPredictedNoise * n) {
        // The model promises less than the rounding of the criterion
        // itself (a sum over the variables): whether a trial point came out
        // lower or not would be chance, and the run ends as converged, as
        // the ridges climbed to their limit would end it.
        status = kNrNoDescent;
        break;
      }
      std::copy(x, x + n, saved);
      for (int i = 0; i < n; ++i) {
        double v = x[i] - t * step[i];
        if (has_bound(upper, i) && step[i] < 0) {
          const double reach = (upper[i] - x[i]) / -step[i];
          if (reach <= t * (1 + kBoundTolerance) || v > upper[i]) v = upper[i];
        }
        if (has_bound(lower, i) && step[i] > 0) {
          const double reach = (x[i] - lower[i]) / step[i];
          if (reach <= t * (1 + kBoundTolerance) || v < lower[i]) v = lower[i];
        }
        x[i] = v;
      }

      const double trial = cb.funct(cb.ctx);
      tried = true;
      if (trial < *f) {
        *f = trial;
        accepted = true;
        last_ridge = ridge;
        break;
      }
      std::copy(saved, saved + n, x);
      if (!raise()) {
        status = kNrNoDescent;
        break;
      }
    }
    if (!accepted) {
      // The callbacks last saw a rejected trial point: bring them back.
      if (tried) *f = cb.funct(cb.ctx);
      break;
    }

    const int stop = cb.convtest(cb.ctx, last_ridge);
    ridge = ridge / 4;
    if (ridge < kRidgeStart) ridge = 0;
    if (stop) status = kNrConverged;
  }

  if (status != kNrConverged && pred < kPredictedDone) status = kNrConverged;
  if (status == kNrConverged && (last_ridge > 0 || ridge > 0)) {
    // A point reached only with a ridge must still be a minimum of the
    // criterion itself.
    std::copy(h, h + np, factor);
    if (!cholesky(n, factor)) status = kNrHessian;
  }
  if (predicted) *predicted = pred;
  return status;
}

// ---------------------------------------------------------------------------
// The fit.

namespace {

// Everything the callbacks share besides COMSTR and NRSTRUCT.
struct NRFIT {
  COMSTR* com;
  NRSTRUCT* nr;
  int p;
  bool weighted;    // ULS on D R D
  double* chol;     // ML, GLS: the Cholesky factor C of R, packed
  double* inv;      // ML, GLS: L = C^-1, packed
  double* e;        // eigenvalues of the last evaluation, descending
  double* x;        // ML, GLS: their reciprocals, with kBigX for e <= floor
  double* eigwork;  // 8p: the eigensolver's workspace
  double* optwork;  // zoldrap's workspace
  double* scratch;  // p x p; during the fit, the factors' vectors L' z
  double* rinv;     // GLS: R^-1, packed
  bool partial;     // the last evaluation found the factors' vectors only
  int valcode;      // the eigensolver's code of the last evaluation's values
  int eigcode;      // first non-zero eigensolver code met during the fit
  bool history;     // rows go to the iteration history
  bool failed;      // nothing to fit (ULS without factors)
  bool evaluated;   // the next evaluation is at the point just evaluated
};

// The eigensolver on `arb`: all eigenvalues into e (descending).
void decompose(NRFIT* fit) {
  COMSTR* com = fit->com;
  const int code = zeigen2(fit->p, fit->nr->arb, fit->e, 0, nullptr, fit->eigwork);
  if (code == 98 || code == 99) facteigm(com, code);  // ends the step
  fit->valcode = code;
}

// Then the eigenvectors of eigenvalues [first, first + count) into the same
// columns of fact; the codes as one call of the solver would give them.
void eigenvectors(NRFIT* fit, int first, int count) {
  const int p = fit->p;
  int code = fit->valcode;
  if (count > 0) {
    const int q = zeigvecs(p, first, count, fit->nr->arb, fit->e, fit->com->fact + column(first, p),
                           fit->eigwork);
    if (q == kEigenBadArguments) facteigm(fit->com, q);
    code = q == kEigenClusterNotOrthonormal ? q
           : fit->valcode == kEigenQlFailed ? q + kEigenQlFailed
                                            : q;
  }
  if (code != 0 && fit->eigcode == 0) fit->eigcode = code;
}

// Unique variances this small (against the variance) leave the closed-form
// sums with too few digits: all vectors are found instead.
constexpr double kClosedFormPsi = 1e-4;

// Whether an evaluation may find the m factors' vectors only.
bool factors_only(const NRFIT* fit) {
  const NRSTRUCT* nr = fit->nr;
  const int p = fit->p, m = p - nr->kp;
  if (!nr->nfactbit || m >= nr->kp) return false;
  if (nr->ulsbit) return true;
  if (!(fit->e[p - 1] > kEigenFloor)) return false;
  for (int i = 0; i < p; ++i)
    if (!(nr->psi[i] >= kClosedFormPsi * fit->com->cor[packed_index(i, i)])) return false;
  return true;
}

// The eigenvalues that decide the number of factors, shown and used once.
void preliminary(NRFIT* fit) {
  COMSTR* com = fit->com;
  NRSTRUCT* nr = fit->nr;
  const int p = fit->p;
  if (nr->ulsbit) {
    std::copy(fit->e, fit->e + p, com->eigval);
  } else {
    // x - 1 from the largest x down: the eigenvalues of the weighted
    // reduced correlation matrix at the start values.
    for (int k = 0; k < p; ++k) {
      const int at = p - 1 - k;
      com->eigval[k] = fit->e[at] > kEigenFloor ? fit->x[at] - 1.0 : com->miss;
    }
  }
  factefz(com);
  if (com->ods) factevt(com, format_message(kFactorGroup, kMsgNrPreliminary, {}), p);
  factnf(com);
  nr->nfactbit = 1;
  const int m = std::clamp(com->nfact, 0, p);
  nr->kp = p - m;
  if (nr->ulsbit && m < 1) fit->failed = true;
}

double criterion_uls(NRFIT* fit) {
  COMSTR* com = fit->com;
  NRSTRUCT* nr = fit->nr;
  const int p = fit->p;
  for (int i = 0; i < p; ++i)
    if (std::fabs(nr->psi[i]) < 1e-12) nr->psi[i] = 0.0;
  for (int i = 0; i < p; ++i) {
    const double di = fit->weighted ? std::sqrt(std::max(0.0, com->wt[i])) : 1.0;
    double* row = nr->arb + packed_index(i, 0);
    const double* r = com->cor + packed_index(i, 0);
    for (int j = 0; j < i; ++j) {
      const double dj = fit->weighted ? std::sqrt(std::max(0.0, com->wt[j])) : 1.0;
      row[j] = r[j] * di * dj;
    }
    row[i] = (fit->weighted ? std::max(0.0, com->wt[i]) : 1.0) - nr->psi[i];
  }
  decompose(fit);
  if (!nr->nfactbit) preliminary(fit);
  if (fit->failed) return 0.0;
  const int m = p - nr->kp;
  fit->partial = factors_only(fit);
  eigenvectors(fit, 0, fit->partial ? m : p);
  double f = 0;
  for (int k = m; k < p; ++k) f += fit->e[k] * fit->e[k];
  return 0.5 * f;
}

double criterion_ml_gls(NRFIT* fit) {
  COMSTR* com = fit->com;
  NRSTRUCT* nr = fit->nr;
  const int p = fit->p;
  const double* l = fit->inv;
  const double* psi = nr->psi;
  // L Psi L', lower triangle: (i, j) = sum over k <= j of L_ik psi_k L_jk,
  // row i of L scaled by psi (packed, in the scratch the factors' u take
  // only later) dotted with row j <= i.  Four rows i at a time share each
  // row j up to the first of them.
  double* scaled = fit->scratch;
  for (int i = 0; i < p; ++i) {
    const double* li = l + packed_index(i, 0);
    double* si = scaled + packed_index(i, 0);
    for (int k = 0; k <= i; ++k) si[k] = li[k] * psi[k];
  }
  int i = 0;
  for (; i + 4 <= p; i += 4) {
    const double* rows[4];
    for (int q = 0; q < 4; ++q) rows[q] = scaled + packed_index(i + q, 0);
    for (int j = 0; j <= i; ++j) {
      double d[4];
      inner::dot4(rows, l + packed_index(j, 0), j + 1, d);
      for (int q = 0; q < 4; ++q) nr->arb[packed_index(i + q, j)] = d[q];
    }
    for (int q = 1; q < 4; ++q)
      for (int j = i + 1; j <= i + q; ++j)
        nr->arb[packed_index(i + q, j)] = inner::dot(rows[q], l + packed_index(j, 0), j + 1);
  }
  for (; i < p; ++i)
    for (int j = 0; j <= i; ++j)
      nr->arb[packed_index(i, j)] =
          inner::dot(scaled + packed_index(i, 0), l + packed_index(j, 0), j + 1);
  decompose(fit);
  for (int k = 0; k < p; ++k) fit->x[k] = fit->e[k] > kEigenFloor ? 1.0 / fit->e[k] : kBigX;
  if (!nr->nfactbit) preliminary(fit);

  const int kp = nr->kp;
  fit->partial = factors_only(fit);
  eigenvectors(fit, fit->partial ? kp : 0, fit->partial ? p - kp : p);
  double f = 0;
  for (int k = 0; k < kp; ++k) {
    const double x = fit->x[k];
    if (nr->mlbit) {
      f += x - std::log(x) - 1.0;
    } else {
      const double d = 1.0 / x - 1.0;
      f += 0.5 * d * d;
    }
  }
  if (fit->partial) {
    // The factors' u = L' z, kept beside their eigenvectors: u_i is the sum
    // of L_ji z_j over j >= i, in that order, taken row j of L by row j.
    const int m = p - kp;
    std::fill(fit->scratch, fit->scratch + column(m, p), 0.0);
    for (int j = 0; j < p; ++j) {
      const double* lj = l + packed_index(j, 0);
      for (int k = 0; k < m; ++k)
        inner::axpy(com->fact[column(kp + k, p) + j], lj, fit->scratch + column(k, p), j + 1);
    }
    return f;
  }
  // The gradient vectors w_k = sqrt(x_k) L' z_k replace the eigenvectors
  // they are made from: entry i needs z entries i and later only.
  for (int k = 0; k < kp; ++k) {
    double* z = com->fact + column(k, p);
    const double s = std::sqrt(fit->x[k]);
    for (int i = 0; i < p; ++i) {
      double v = 0;
      for (int j = i; j < p; ++j) v += l[packed_index(j, i)] * z[j];
      z[i] = s * v;
    }
  }
  return f;
}

double funct(void* ctx) {
  auto* fit = static_cast<NRFIT*>(ctx);
  ++fit->nr->nfct;
  if (fit->evaluated) {
    // The optimiser's first evaluation is at the start point, which the
    // fit has just evaluated to decide the number of factors: its result
    // stands, and it still counts as the optimiser's evaluation in the
    // iteration history.
    fit->evaluated = false;
    return fit->nr->f;
  }
  const double f = fit->nr->ulsbit ? criterion_uls(fit) : criterion_ml_gls(fit);
  fit->nr->f = f;
  return f;
}

// The Hessian approximation: squared inner products over the vectors in
// columns [first, last) of fact, each product weighted by weight[k] (all 1
// when null).
void squared_gram(const NRFIT* fit, int first, int last, const double* weight, double* h) {
  const int p = fit->p;
  const double* v = fit->com->fact;
  for (int i = 0; i < p; ++i) {
    for (int j = 0; j <= i; ++j) {
      double s = 0;
      for (int k = first; k < last; ++k)
        s += v[column(k, p) + i] * v[column(k, p) + j] * (weight ? weight[k] : 1.0);
      h[packed_index(i, j)] = s * s;
    }
  }
}

// The sums over the factors' vectors v_k (columns of `v`, m of them):
// sum c_k v_k v_k' packed into h, with c_k = weight(k).
template <typename Weight>
void factor_gram(int p, int m, const double* v, Weight weight, double* h) {
  std::fill(h, h + packed_size(p), 0.0);
  for (int k = 0; k < m; ++k) {
    const double* vk = v + column(k, p);
    const double c = weight(k);
    for (int i = 0; i < p; ++i) {
      const double a = c * vk[i];
      double* row = h + packed_index(i, 0);
      for (int j = 0; j <= i; ++j) row[j] += a * vk[j];
    }
  }
}

// The derivatives from the factors' vectors and the closed-form totals.
void derivs_from_factors(NRFIT* fit, double* g, double* h) {
  const NRSTRUCT* nr = fit->nr;
  const COMSTR* com = fit->com;
  const int p = fit->p, kp = nr->kp, m = p - kp;
  const double* psi = nr->psi;
  if (nr->ulsbit) {
    // g_i = -(A_ii - sum e_k z_ki^2); H = (I - sum z z')^2 entrywise.
    const double* z = com->fact;
    factor_gram(
        p, m, z, [](int) { return 1.0; }, h);
    for (int i = 0; i < p; ++i) {
      const double a = (fit->weighted ? std::max(0.0, com->wt[i]) : 1.0) - psi[i];
      double s = 0;
      for (int k = 0; k < m; ++k) s += fit->e[k] * z[column(k, p) + i] * z[column(k, p) + i];
      g[i] = -(a - s);
    }
    for (int i = 0; i < p; ++i)
      for (int j = 0; j <= i; ++j) {
        const double v = (i == j ? 1.0 : 0.0) - h[packed_index(i, j)];
        h[packed_index(i, j)] = v * v;
      }
    return;
  }
  const double* u = fit->scratch;  // u_k = L' z_k of the factors
  const double* x = fit->x + kp;   // their x, largest last
  const double* e = fit->e + kp;
  if (nr->mlbit) {
    // g_i = (1/psi_i - sum x u_i^2) - (R_ii/psi_i^2 - sum x^2 u_i^2);
    // H = (Psi^-1 - sum x u u')^2 entrywise.
    factor_gram(
        p, m, u, [x](int k) { return x[k]; }, h);
    for (int i = 0; i < p; ++i) {
      double s2 = 0;
      for (int k = 0; k < m; ++k) {
        const double w = u[column(k, p) + i];
        s2 += x[k] * x[k] * w * w;
      }
      const double r = com->cor[packed_index(i, i)];
      g[i] = (1.0 / psi[i] - h[packed_index(i, i)]) - (r / (psi[i] * psi[i]) - s2);
    }
    for (int i = 0; i < p; ++i)
      for (int j = 0; j <= i; ++j) {
        const double v = (i == j ? 1.0 / psi[i] : 0.0) - h[packed_index(i, j)];
        h[packed_index(i, j)] = v * v;
      }
    return;
  }
  // GLS: g_i = (R^-1 Psi R^-1)_ii - (R^-1)_ii - sum (e - 1) u_i^2;
  // H = (R^-1 - sum u u')^2 entrywise.
  const double* rinv = fit->rinv;
  factor_gram(
      p, m, u, [](int) { return 1.0; }, h);
  for (int i = 0; i < p; ++i) {
    double q = 0;
    for (int k = 0; k < p; ++k) {
      const double v = rinv[packed_sym_index(i, k)];
      q += v * psi[k] * v;
    }
    double s = 0;
    for (int k = 0; k < m; ++k) {
      const double w = u[column(k, p) + i];
      s += (e[k] - 1.0) * w * w;
    }
    g[i] = q - rinv[packed_index(i, i)] - s;
  }
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j) {
      const double v = rinv[packed_index(i, j)] - h[packed_index(i, j)];
      h[packed_index(i, j)] = v * v;
    }
}

void derivs(void* ctx, double* g, double* h) {
  auto* fit = static_cast<NRFIT*>(ctx);
  NRSTRUCT* nr = fit->nr;
  ++nr->nhes;
  if (fit->partial) {
    derivs_from_factors(fit, g, h);
    return;
  }
  const int p = fit->p;
  const double* v = fit->com->fact;
  std::fill(g, g + p, 0.0);
  if (nr->ulsbit) {
    const int m = p - nr->kp;
    for (int k = m; k < p; ++k) {
      const double* z = v + column(k, p);
      for (int i = 0; i < p; ++i) g[i] -= fit->e[k] * z[i] * z[i];
    }
    squared_gram(fit, m, p, nullptr, h);
  } else {
    for (int k = 0; k < nr->kp; ++k) {
      const double x = fit->x[k];
      const double c = nr->mlbit ? 1.0 - x : 1.0 / (x * x) - 1.0 / x;
      const double* w = v + column(k, p);
      for (int i = 0; i < p; ++i) g[i] += c * w[i] * w[i];
    }
    // ML: the information of the likelihood, (sum of w w')^2.  GLS: that of
    // its own criterion, where R^-1 = sum of w w' / x takes the place of
    // the inverse of the fitted matrix; the unweighted form would take
    // steps far too long while x is away from 1.
    if (nr->mlbit) {
      squared_gram(fit, 0, nr->kp, nullptr, h);
    } else {
      for (int k = 0; k < nr->kp; ++k) fit->scratch[k] = 1.0 / fit->x[k];
      squared_gram(fit, 0, nr->kp, fit->scratch, h);
    }
  }
}

int convtest(void* ctx, double ridge) {
  auto* fit = static_cast<NRFIT*>(ctx);
  COMSTR* com = fit->com;
  NRSTRUCT* nr = fit->nr;
  const int p = fit->p;
  ++nr->iter;
  nr->ridge = ridge;
  const bool scaled = nr->ulsbit && fit->weighted;
  double change = 0;
  bool negative = false;
  for (int i = 0; i < p; ++i) {
    const double psi = nr->psi[i];
    double d = std::fabs(psi - nr->xld[i]);
    if (scaled) {
      const double w = com->wt[i];
      com->priors[i] = w > 0 ? (w - psi) / w : 0.0;
      d = w > 0 ? d / w : 0.0;
    } else {
      com->priors[i] = 1.0 - psi;
    }
    change = std::max(change, d);
    nr->xld[i] = psi;
    if (psi < 0) negative = true;
  }
  if (fit->history) {
    FACTHISROW row{nr->iter, nr->nfct, nr->f, ridge, change, com->priors};
    facthis(com, 0, &row);
  }
  if (negative && !nr->heybit && !fopt_test(com, kFoptUltraHeywood)) {
    com->heycode = -1;
    return 1;
  }
  return nr->iter >= 2 && change < com->epsilon ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Set-up and the results.

// The state of the fit in the step's pool, sized for nvar; one per step.
NRSTRUCT* nr_state(COMSTR* com) {
  if (com->nrptr) return com->nrptr;
  const int p = com->nvar;
  const std::uint64_t np = packed_size(p);
  const std::uint64_t n = static_cast<std::uint64_t>(p);
  void* block = factalloc(com, sizeof(NRSTRUCT));
  auto* nr = new (block) NRSTRUCT{};
  nr->psi = factalloc_doubles(com, 3 * n);
  nr->grd = nr->psi + n;
  nr->xld = nr->grd + n;
  nr->hes = factalloc_doubles(com, 2 * np);
  nr->arb = nr->hes + np;
  // chol, inv (packed), e, x (p), eigensolver (8p), optimiser, scratch (p x p),
  // R^-1 (packed)
  nr->wrk = factalloc_doubles(com, 3 * np + 10 * n + zoldrap_work(p) + n * n);
  com->nrptr = nr;
  return nr;
}

void bind(NRFIT* fit) {
  const int p = fit->p;
  const std::size_t np = packed_size(p);
  double* w = fit->nr->wrk;
  fit->chol = w;
  fit->inv = w + np;
  fit->e = w + 2 * np;
  fit->x = fit->e + p;
  fit->eigwork = fit->x + p;
  fit->optwork = fit->eigwork + 8 * static_cast<std::size_t>(p);
  fit->scratch = fit->optwork + zoldrap_work(p);
  fit->rinv = fit->scratch + static_cast<std::size_t>(p) * static_cast<std::size_t>(p);
}

// R^-1 = L' L from L = C^-1 (GLS).
void invert_correlations(NRFIT* fit) {
  const int p = fit->p;
  const double* l = fit->inv;
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j) {
      double s = 0;
      for (int k = i; k < p; ++k) s += l[packed_index(k, i)] * l[packed_index(k, j)];
      fit->rinv[packed_index(i, j)] = s;
    }
}

// R = C C' column by column with the log-determinant from the pivots, then
// L = C^-1.  False when R is singular (a pivot not above SINGULAR=).
bool factor_correlations(NRFIT* fit, double* logdet) {
  COMSTR* com = fit->com;
  const int p = fit->p;
  double* c = fit->chol;
  const double tol = com->singular;
  bool singular = false;
  double sum = 0;
  for (int i = 0; i < p; ++i) {
    const double* r = com->cor + packed_index(i, 0);
    double* ci = c + packed_index(i, 0);
    for (int j = 0; j <= i; ++j) {
      const double* cj = c + packed_index(j, 0);
      double s = r[j];
      for (int k = 0; k < j; ++k) s -= ci[k] * cj[k];
      if (j < i) {
        ci[j] = cj[j] != 0 ? s / cj[j] : 0.0;
      } else {
        sum += std::log(std::max(s, tol));
        if (s > tol) {
          ci[i] = std::sqrt(s);
        } else {
          ci[i] = 0.0;
          singular = true;
        }
      }
    }
  }
  *logdet = sum;
  if (singular) return false;
  // Forward substitution column by column: L C = I.
  double* l = fit->inv;
  for (int j = 0; j < p; ++j) {
    l[packed_index(j, j)] = 1.0 / c[packed_index(j, j)];
    for (int i = j + 1; i < p; ++i) {
      double s = 0;
      for (int k = j; k < i; ++k) s += c[packed_index(i, k)] * l[packed_index(k, j)];
      l[packed_index(i, j)] = -s / c[packed_index(i, i)];
    }
  }
  return true;
}

// Column k of a p-row matrix signed so that its entries add up to a
// positive number (or, when they cancel, so that its largest entry is).
void orient(double* v, int p) {
  double s = 0, big = 0, at_big = 0;
  for (int i = 0; i < p; ++i) {
    s += v[i];
    if (std::fabs(v[i]) > big + 1.053671212772351e-8) {
      big = std::fabs(v[i]);
      at_big = v[i];
    }
  }
  if (std::fabs(s) < 1.053671212772351e-8) s = at_big;
  if (s < 0)
    for (int i = 0; i < p; ++i) v[i] = -v[i];
}

void show_eigenvectors(COMSTR* com, const double* vectors) {
  factm2(com, {.name = "Eigenvectors",
               .values = vectors,
               .shape = variables_by_numbers(com->nvar, com->nfact)});
}

void show_cancorr(COMSTR* com, const double* values) {
  factpm2(com, {.name = "CanCorr",
                .title = factitle(com, kMsgCanCorr),
                .values = values,
                .shape = one_row(com->nfact, kLabelFactors)});
}

// The eigenvalue table of the solution.
void show_eigenvalues(COMSTR* com, const NRSTRUCT* nr) {
  int title = kMsgEigCorr + 1;
  if (nr->ulsbit && fopt_test(com, kFoptCov))
    title = kMsgEigCov + 1;
  else if (!nr->ulsbit || factwtd(com))
    title = kMsgEigWeighted + 1;
  factevt(com, format_message(kFactorGroup, title, {}), com->nvar);
}

// ML and GLS: the loadings from the eigenvectors of the m smallest e,
// carried back with C; weights 1/psi; eigenvalues x - 1.
void ml_solution(NRFIT* fit) {
  COMSTR* com = fit->com;
  NRSTRUCT* nr = fit->nr;
  const int p = fit->p;
  const int m = std::max(com->nfact, 0);

  for (int i = 0; i < p; ++i) {
    const double psi = nr->psi[i];
    if (psi > 0) {
      com->wt[i] = 1.0 / psi;
    } else {
      com->wt[i] = com->miss;
      com->host->xpmlog(kFactorGroup, kMsgNrWeightMissing, {factvnam(com, i)});
    }
  }

  // Eigenvectors of the factors, largest x first, carried back: C z.
  double* back = fit->scratch;
  for (int k = 0; k < m; ++k) {
    const double* z = com->fact + column(p - 1 - k, p);
    double* v = back + column(k, p);
    for (int i = 0; i < p; ++i) {
      const double* ci = fit->chol + packed_index(i, 0);
      double s = 0;
      for (int j = 0; j <= i; ++j) s += ci[j] * z[j];
      v[i] = s;
    }
    orient(v, p);
  }
  if (com->ods && fopt_test(com, kFoptEigenvectors) && m > 0) show_eigenvectors(com, back);
  // The eigenvalue as the decomposition gave it: with negative unique
  // variances (ULTRAHEYWOOD) it may be below 0, and 1 - e stays exact.
  for (int k = 0; k < m; ++k) {
    const double scale = std::sqrt(std::max(0.0, 1.0 - fit->e[p - 1 - k]));
    const double* v = back + column(k, p);
    double* out = com->fact + column(k, p);
    for (int i = 0; i < p; ++i) out[i] = v[i] * scale;
  }
  for (int k = 0; k < p; ++k) {
    const int at = p - 1 - k;
    com->eigval[k] = fit->e[at] > kEigenFloor ? fit->x[at] - 1.0 : com->miss;
  }
}

// ULS: the loadings from the eigenvectors of the m largest eigenvalues.
void uls_solution(NRFIT* fit) {
  COMSTR* com = fit->com;
  const int p = fit->p;
  const int m = std::max(com->nfact, 0);
  std::copy(fit->e, fit->e + p, com->eigval);
  factefz(com);
  if (com->ods && fopt_test(com, kFoptEigenvectors) && m > 0) show_eigenvectors(com, com->fact);
  for (int k = 0; k < m; ++k) {
    const double scale = std::sqrt(std::max(0.0, fit->e[k]));
    double* v = com->fact + column(k, p);
    for (int i = 0; i < p; ++i) {
      double value = v[i] * scale;
      if (fit->weighted) value = com->wt[i] > 0 ? value / std::sqrt(com->wt[i]) : 0.0;
      v[i] = value;
    }
  }
}

// How the optimiser ended: the status table, the log and, when the fit did
// not end at a clear minimum, a note in the output.
void report_outcome(COMSTR* com, int status) {
  int log = kMsgNrNoDescent;
  switch (status) {
    case kNrConverged:
      com->iterrc = 0;
      com->ReasonConvStat = kMsgNrConverged;
      log = kMsgIterConverged;
      break;
    case kNrIterations:
      com->iterrc = 3;
      com->ReasonConvStat = kMsgNrIterLimit;
      log = kMsgNrIterLimit;
      break;
    case kNrRidge:
      com->iterrc = 3;
      com->ReasonConvStat = kMsgNrRidge;
      log = kMsgNrRidge;
      break;
    case kNrHessian:
      com->iterrc = 3;
      com->ReasonConvStat = kMsgNrHessian;
      log = kMsgNrHessian;
      break;
    default:
      com->iterrc = 1;
      com->ReasonConvStat = kMsgNrNoDescent;
      log = kMsgNrNoDescent;
      break;
  }
  if (com->ods) facthis(com, 4);
  com->host->xpmlog(kFactorGroup, log);
  if (status >= kNrNoDescent) {
    factonote(com, kMsgNrCaution);
    com->host->xpmlog(kFactorGroup, kMsgNrUnclear);
  }
}

}  // namespace

int factdfm(int p, int m) {
  return ((p - m) * (p - m) - (p + m)) / 2;
}

void factnr(COMSTR* com) {
  const int p = com->nvar;
  NRSTRUCT* nr = nr_state(com);
  nr->iter = nr->nfct = nr->nhes = 0;
  nr->kp = p;
  nr->nfactbit = 0;
  nr->f = nr->ridge = 0.0;
  nr->mlbit = com->fmethod == kFmMl;
  nr->glsbit = com->fmethod == kFmGls;
  nr->ulsbit = com->fmethod == kFmUls;
  nr->heybit = fopt_test(com, kFoptHeywood) ? 1 : 0;

  NRFIT fit{};
  fit.com = com;
  fit.nr = nr;
  fit.p = p;
  fit.weighted = nr->ulsbit && factwtd(com);
  bind(&fit);

  factcd(com);
  // The diagnostics leave the priors on the diagonal; the fit needs R.
  factutr(com, com->cor, com->notec);

  for (int i = 0; i < p; ++i) {
    double psi = 1.0 - com->priors[i];
    if (fit.weighted) psi *= std::max(0.0, com->wt[i]);
    if (!nr->ulsbit) psi = std::max(psi, com->epsilon);
    nr->psi[i] = psi;
    nr->xld[i] = psi;
  }

  double logdet = 0;
  if (!nr->ulsbit && !factor_correlations(&fit, &logdet)) {
    factrc(com, kRcSingular);
    com->nfact = 0;
    std::fill(com->eigval, com->eigval + p, com->miss);
    com->host->xpmlog(kFactorGroup, kMsgNrSingular);
    factonote(com, kMsgNrSingular);
    return;
  }
  if (nr->glsbit) invert_correlations(&fit);

  // Bounds of HEYWOOD: communalities between 0 and 1.
  std::vector<double> lower, upper;
  if (nr->heybit) {
    lower.assign(static_cast<std::size_t>(p), 0.0);
    upper.assign(static_cast<std::size_t>(p), 1.0);
    if (fit.weighted)
      for (int i = 0; i < p; ++i) upper[static_cast<std::size_t>(i)] = std::max(0.0, com->wt[i]);
  }
  com->heycode = 1;

  // The first evaluation decides the number of factors before the
  // optimiser starts.
  funct(&fit);
  if (fit.failed) {
    nr->f = 0;
    return;
  }

  fit.evaluated = true;
  fit.history = com->ods != nullptr;
  if (fit.history) facthis(com, 2);
  NRCALLBACKS callbacks{&fit, funct, derivs, convtest};
  double f = 0;
  const int status =
      zoldrap(p, com->maxiter, &f, nr->psi, nr->grd, nr->hes, fit.optwork,
              nr->heybit ? lower.data() : nullptr, nr->heybit ? upper.data() : nullptr, callbacks);
  nr->f = f;
  if (fit.history) facthis(com, 3);
  if (fit.eigcode != 0) facteigm(com, fit.eigcode);

  if (com->heycode < 0) {
    com->iterrc = 1;
    com->ReasonConvStat = kMsgHeywood;
    if (com->ods) facthis(com, 4);
    factrc(com, kRcByGroup);
    com->nfact = -1;
    com->host->xpmlog(kFactorGroup, kMsgHeywood);
    com->host->xpmlog(kFactorGroup, kMsgHeywoodHint);
    factonote(com, kMsgHeywood);
    if (nr->mlbit) factsig(com, logdet, f);
    return;
  }
  report_outcome(com, status);

  const int m = std::max(com->nfact, 0);
  if (nr->mlbit) {
    factsig(com, logdet, f);
    if (com->ods && m > 0) {
      std::vector<double> cancorr(static_cast<std::size_t>(m));
      for (int k = 0; k < m; ++k) {
        const double x = fit.x[p - 1 - k];
        cancorr[static_cast<std::size_t>(k)] = (x - 1.0) / x;
      }
      show_cancorr(com, cancorr.data());
    }
  }
  if (nr->ulsbit)
    uls_solution(&fit);
  else
    ml_solution(&fit);
  if (com->ods) show_eigenvalues(com, nr);
}

// ---------------------------------------------------------------------------
// Significance tests and fit measures.

void factsig(COMSTR* com, double logdet, double criterion) {
  if (!com->ods) return;
  const int p = com->nvar;
  const int m = std::max(com->nfact, 0);
  const double miss = missing_value();
  const double n = com->nobs;
  const double n1 = n - 1;
  const double f = m == 0 ? -logdet : criterion;

  const int df0 = p * (p - 1) / 2;
  const double chi0 = -(n1 - (2.0 * p + 5.0) / 6.0) * logdet;
  const int dfm = factdfm(p, m);
  const double chim = (n1 - (2.0 * p + 5.0) / 6.0 - 2.0 * m / 3.0) * f;
  const double chi = n1 * f;
  const double aic = chi - 2.0 * dfm;
  const double sbc = chi - dfm * std::log(n);
  const double r0 = df0 < kTiny ? miss : chi0 / df0;
  const double rm = dfm > 0 ? chim / dfm : r0;
  double tucker = miss;
  if (!is_missing(r0) && !is_missing(rm)) tucker = r0 > 1 ? (r0 - rm) / (r0 - 1) : 0.0;

  // A test with no degrees of freedom cannot be made: no probability.
  auto probability = [&](int df, double chisq) {
    if (df <= 0 || is_missing(chisq)) return miss;
    return zpgx2(df, chisq);
  };
  auto number = [](double v) { return std::isfinite(v) ? v : missing_value(); };

  Table t;
  t.name = "SignifTests";
  t.label = format_message(kFactorGroup, kMsgSignifTests, {});
  t.template_path = std::string(kTablePrefix) + "SignifTests";
  t.title.push_back(factitle(com, kMsgSigTitle, {factnum(n)}));
  t.add_column("Test", ColumnKind::Text);
  t.add_column("DF", ColumnKind::Integer);
  t.add_column("ChiSq", ColumnKind::Number);
  t.add_column("ProbChiSq", ColumnKind::Number);
  auto row = [&](const std::string& test, double df, double chisq, double prob) {
    t.add_row(Row{test, df, chisq, prob});
  };
  const std::string h0 = format_message(kFactorGroup, kMsgSigNone, {});
  row(h0, df0, number(chi0), probability(df0, number(chi0)));
  row(format_message(kFactorGroup, kMsgSigNoneAlt, {}), miss, miss, miss);
  if (df0 <= 0) t.footnotes.push_back(format_message(kFactorGroup, kMsgSigNoDf, {h0, "0"}));
  if (m > 0) {
    const std::string hm = m == 1
                               ? format_message(kFactorGroup, kMsgSigFactor1, {})
                               : format_message(kFactorGroup, kMsgSigFactors, {std::to_string(m)});
    row(hm, dfm, number(chim), probability(dfm, number(chim)));
    row(format_message(kFactorGroup, kMsgSigFactorsAlt, {}), miss, miss, miss);
    if (dfm <= 0)
      t.footnotes.push_back(format_message(kFactorGroup, kMsgSigNoDf, {hm, std::to_string(dfm)}));
  }
  factoadd(com, std::move(t));

  const double values[4] = {number(chi), number(aic), number(sbc), number(tucker)};
  const int labels[4] = {kMsgChiUncorrected, kMsgAic, kMsgSbc, kMsgTuckerLewis};
  double largest = 0;
  for (double v : values)
    if (!is_missing(v)) largest = std::max(largest, std::fabs(v));
  Table fm;
  fm.name = "FitMeasures";
  fm.label = format_message(kFactorGroup, kMsgFitMeasures, {});
  fm.template_path = std::string(kTablePrefix) + "FitMeasures";
  fm.title.push_back(fm.label);
  fm.add_column("Measure", ColumnKind::Text, std::string());
  fm.add_column("Value", ColumnKind::Number, std::nullopt, choose_format(largest / 10, 10));
  for (int k = 0; k < 4; ++k)
    fm.add_row(Row{format_message(kFactorGroup, labels[k], {}), values[k]});
  factoadd(com, std::move(fm));
}

}  // namespace kav
