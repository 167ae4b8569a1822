// The oblique solution: whatever produced the pattern (an oblique criterion,
// Harris-Kaiser, promax, a target, an input pattern), the factor
// correlations, the reference axes, the reference structure and the factor
// structure follow from the pattern, the transformation and the factor
// correlations in the same way.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "factor/extract/factpos.h"
#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/rotate/factrot.h"
#include "factor/state/factmsg.h"
#include "factor/state/status.h"
#include "host/services.h"
#include "numeric/dense.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// How far a factor variance may be from 1 and still count as 1.
constexpr double kUnitVariance = 1.053671212772351e-8;
// Loadings at or below this size do not count towards a factor's size when
// Harris-Kaiser factors are ordered, and closer sums than this keep order.
constexpr double kOrderTolerance = 1e-8;

// Inverts the packed matrix a of order m in place; false when it is
// singular at the step's tolerance.
bool invert(COMSTR* com, double* a, int m) {
  std::vector<double> w(static_cast<std::size_t>(m));
  return znndsol(com->singular, m, a, w.data(), 0, nullptr) == 0;
}

// The factor correlations are singular: the oblique solution cannot be
// completed and the group reports no factor results after it.
void singular(COMSTR* com) {
  com->host->xpmlog(kFactorGroup, kMsgSingularFcor);
  factrc(com, kRcByGroup);
  com->nfact = 0;
}

// dinv from the diagonal of rcor, then rcor as correlations.
void reference_scales(COMSTR* com, int m) {
  for (int j = 0; j < m; ++j) {
    const double d = com->rcor[packed_sym_index(j, j)];
    com->dinv[j] = d > 0 ? std::sqrt(d) : 1.0;
  }
  std::vector<double> d(static_cast<std::size_t>(m));
  zcovcor(m, com->rcor, d.data());
}

void swap_packed(double* a, int m, int i, int j) {
  for (int k = 0; k < m; ++k) {
    if (k == i || k == j) continue;
    std::swap(a[packed_sym_index(i, k)], a[packed_sym_index(j, k)]);
  }
  std::swap(a[packed_sym_index(i, i)], a[packed_sym_index(j, j)]);
}

void swap_columns(double* a, int n, int i, int j) {
  for (int r = 0; r < n; ++r) std::swap(a[dense_index(r, i, n)], a[dense_index(r, j, n)]);
}

}  // namespace

void factobl(COMSTR* com, char mode) {
  const int m = com->nfact, p = com->nvar;
  if (mode == 'I')
    fopt_clear(com, kFoptOblique);
  else
    fopt_set(com, kFoptOblique);
  factoblbuf(com);
  if (m < 1) return;
  const std::size_t tri = static_cast<std::size_t>(m) * (m + 1) / 2;

  if (mode == 'D' || mode == 'I') {
    std::copy(com->fcor, com->fcor + tri, com->rcor);
    if ((com->nfc >= 1 || mode == 'D') && !invert(com, com->rcor, m)) return singular(com);
    com->nfc = m;
    reference_scales(com, m);
  } else {
    if (com->nfc > 0 && !invert(com, com->fcor, m)) return singular(com);
    com->nfc = m;
    // rcor = tran' fcor tran: the column-major transformation read by rows
    // is its transpose.
    std::vector<double> work(static_cast<std::size_t>(m));
    zqform(com->fcor, m, com->tran, m, com->rcor, work.data());
    for (int j = 0; j < m; ++j) {
      const double d = com->rcor[packed_sym_index(j, j)];
      com->dinv[j] = d > 0 ? std::sqrt(d) : 1.0;
    }
    std::copy(com->rcor, com->rcor + tri, com->fcor);
    if (!invert(com, com->fcor, m)) return singular(com);
    std::vector<double> d(static_cast<std::size_t>(m));
    zcovcor(m, com->rcor, d.data());
  }

  // Factors of unit variance: the pattern then refers to standardised
  // factors and fcor is their correlation matrix.
  if (mode != 'D') {
    for (int j = 0; j < m; ++j) {
      const double v = com->fcor[packed_sym_index(j, j)];
      if (!(v > 0) || std::fabs(1 - v) <= kUnitVariance) continue;
      fopt_set(com, kFoptOblique);
      com->fcor[packed_sym_index(j, j)] = 1;
      const double s = std::sqrt(v);
      for (int k = 0; k < m; ++k) {
        com->tran[dense_index(k, j, m)] *= s;
        if (k != j) com->fcor[packed_sym_index(j, k)] /= s;
      }
      com->dinv[j] *= s;
      for (int i = 0; i < p; ++i) com->fact[dense_index(i, j, p)] *= s;
    }
  }
  if (mode == 'H') factord(com, true, true);

  for (int j = 0; j < m; ++j)
    for (int i = 0; i < p; ++i)
      com->ref[dense_index(i, j, p)] = com->fact[dense_index(i, j, p)] / com->dinv[j];
  for (int j = 0; j < m; ++j) {
    for (int i = 0; i < p; ++i) {
      double s = 0;
      for (int k = 0; k < m; ++k) s += com->fact[dense_index(i, k, p)] * com->fcor[packed_sym_index(k, j)];
      com->struc[dense_index(i, j, p)] = s;
    }
  }
}

void factord(COMSTR* com, bool with_correlations, bool with_scales) {
  const int m = com->nfact, p = com->nvar;
  for (int j = 0; j < m; ++j) {
    double s = 0;
    for (int i = 0; i < p; ++i) {
      const double v = com->fact[dense_index(i, j, p)];
      if (std::fabs(v) > kOrderTolerance) s += v * v;
    }
    com->eigval[j] = s;
  }
  for (int j = 1; j < m; ++j) {
    for (int k = j; k > 0 && com->eigval[k] > com->eigval[k - 1] + kOrderTolerance; --k) {
      swap_columns(com->fact, p, k, k - 1);
      // The transformation follows its factors, so that the pattern stays
      // the unrotated pattern times the transformation shown.
      if (com->tran) swap_columns(com->tran, m, k, k - 1);
      std::swap(com->eigval[k], com->eigval[k - 1]);
      if (with_correlations) {
        swap_packed(com->fcor, m, k, k - 1);
        swap_packed(com->rcor, m, k, k - 1);
      }
      if (with_scales) std::swap(com->dinv[k], com->dinv[k - 1]);
    }
  }
}

void factobp(COMSTR* com) {
  const int m = com->nfact, p = com->nvar;
  if (m < 1) return;
  if (fopt_test(com, kFoptReorder)) factprm(com, com->ref);
  if (com->ods) {
    factm2(com, {.name = "InterFactorCorr",
                 .values = com->fcor,
                 .shape = factors_by_factors(m, kStoreSymmetric),
                 .titleno = kMsgInterFactor,
                 .se = com->fcorse,
                 .stacked = true});
    if (fopt_test(com, kFoptOblique)) {
      factm2(com, {.name = "ObliqueRotFactPat",
                   .values = com->fact,
                   .shape = variables_by_factors(p, m),
                   .titleno = kMsgObliquePattern,
                   .se = com->factse,
                   .stacked = true});
    } else {
      factm2(com, {.name = "InputFactorPattern",
                   .values = com->fact,
                   .shape = variables_by_factors(p, m),
                   .titleno = kMsgInputPattern,
                   .se = com->factse,
                   .stacked = true});
    }
    factm2(com, {.name = "ReferenceAxisCorr",
                 .values = com->rcor,
                 .shape = factors_by_factors(m, kStoreSymmetric),
                 .titleno = kMsgRefAxes});
    factm2(com, {.name = "ReferenceStructure",
                 .values = com->ref,
                 .shape = variables_by_factors(p, m),
                 .titleno = kMsgRefStructure});
  }
  factvaf(com, 2);
  if (com->ods)
    factm2(com, {.name = "FactorStructure",
                 .values = com->struc,
                 .shape = variables_by_factors(p, m),
                 .titleno = kMsgStructure,
                 .se = com->strucse,
                 .stacked = true});
  factvaf(com, 1);
}

}  // namespace kav
