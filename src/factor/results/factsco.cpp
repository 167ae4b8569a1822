// Scoring coefficients by the regression method, and the residual and
// partial correlations of the unrotated solution.
//
// Both work on `cor` and leave it overwritten; the correlation matrix (and
// its inverse, when the diagnostics saved it) is read back from the scratch
// file each time, so repeated calls after every rotation see the same
// matrix and give the same inverse.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/output/factsta.h"
#include "factor/output/matrix_printer.h"
#include "factor/output/notes.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/scratch.h"
#include "factor/state/stages.h"
#include "host/services.h"
#include "numeric/dense.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// Residuals this small are exactly 0: a perfect fit shows as one.
constexpr double kResidualZero = 1.053671212772351e-08;

double sym(const double* a, int i, int j) {
  return a[packed_sym_index(i, j)];
}

// Root mean squares of the off-diagonal elements of the packed matrix a,
// per variable into `each` and overall as the result.  With one variable
// there is no off-diagonal element: everything is 0.
double off_diagonal_rms(const double* a, int n, std::vector<double>& each) {
  each.assign(static_cast<std::size_t>(n), 0.0);
  if (n < 2) return 0;
  double total = 0;
  for (int i = 0; i < n; ++i) {
    double s = 0;
    for (int j = 0; j < n; ++j)
      if (j != i) s += sym(a, i, j) * sym(a, i, j);
    each[static_cast<std::size_t>(i)] = std::sqrt(s / (n - 1));
    total += s;
  }
  return std::sqrt(total / (static_cast<double>(n) * (n - 1)));
}

void show_rms(COMSTR* com, const char* name, int titleno, const std::vector<double>& each,
              double overall) {
  factpm2(com, {.name = name,
                .title = factitle(com, titleno, {factnum(overall)}),
                .values = each.data(),
                .shape = one_column(com->nvar, kLabelVariables)});
}

}  // namespace

void factscr(COMSTR* com) {
  const int n = com->nvar, m = com->nfact;
  if (m < 1 || !com->score) return;
  const double* s = com->nfc > 0 ? com->struc : com->fact;
  double* c = com->cor;

  // The inverse of the correlation matrix: saved by the diagnostics, or
  // made here from the saved matrix.
  if (com->notei != 0) {
    factutr(com, c, com->notei);
  } else {
    factutr(com, c, com->notec);
    std::vector<double> work(static_cast<std::size_t>(n));
    if (znndsol(com->singular, n, c, work.data(), 0, nullptr) > 0)
      com->host->xpmlog(kFactorGroup, kMsgScoreSingular);
  }

  if (com->fmethod == kFmScore) {
    // Scoring coefficients read as input are the coefficients: the squared
    // multiple correlation of each score with the variables is w'Rw.
    factutr(com, c, com->notec);
    for (int j = 0; j < m; ++j) {
      double smc = 0;
      for (int i = 0; i < n; ++i) {
        com->score[dense_index(i, j, n)] = com->fact[dense_index(i, j, n)];
        for (int k = 0; k < n; ++k)
          smc += com->fact[dense_index(i, j, n)] * sym(c, i, k) * com->fact[dense_index(k, j, n)];
      }
      com->datax[j] = smc;
    }
  } else {
    for (int j = 0; j < m; ++j) {
      double smc = 0;
      for (int i = 0; i < n; ++i) {
        double v = 0;
        for (int k = 0; k < n; ++k) v += sym(c, i, k) * s[dense_index(k, j, n)];
        com->score[dense_index(i, j, n)] = v;
        smc += s[dense_index(i, j, n)] * v;
      }
      com->datax[j] = smc;
    }
  }

  if (com->ods) {
    factonote(com, kMsgScoreHeading);
    factpm2(com, {.name = "VarFactorCorr",
                  .title = factitle(com, kMsgVarFactorCorr),
                  .values = com->datax,
                  .shape = one_column(m, kLabelFactors)});
    factm2(com, {.name = "StdScoreCoef",
                 .values = com->score,
                 .shape = variables_by_factors(n, m),
                 .titleno = kMsgStdScoreCoef,
                 .labelno = kMsgScoreLabel});
  }
}

void factres(COMSTR* com) {
  const int n = com->nvar, m = com->nfact;
  double* r = com->cor;
  factutr(com, r, com->notec);
  const double* l = com->fact;
  // Correlated factors (an input pattern with its correlations) add their
  // cross terms to the reproduced correlations.
  const bool correlated = com->fcor && com->nfc > 0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j <= i; ++j) {
      double rep = 0;
      for (int k = 0; k < m; ++k) {
        rep += l[dense_index(i, k, n)] * l[dense_index(j, k, n)];
        if (!correlated) continue;
        for (int q = 0; q < m; ++q)
          if (q != k)
            rep += sym(com->fcor, k, q) * l[dense_index(i, k, n)] * l[dense_index(j, q, n)];
      }
      double res = r[packed_index(i, j)] - rep;
      if (std::fabs(res) < kResidualZero) res = 0;
      r[packed_index(i, j)] = res;
    }
  }

  std::vector<double> each;
  if (com->ods) {
    factm2(com, {.name = "ResCorrUniqueDiag",
                 .values = r,
                 .shape = variables_packed(n),
                 .titleno = kMsgResidualTitle,
                 .labelno = kMsgResidualLabel});
    const double overall = off_diagonal_rms(r, n, each);
    show_rms(com, "RMSOffDiagResids", kMsgResidualRms, each, overall);
  }
  factsvxv(com, "RESIDUAL", r, kStoreSymmetric);

  // Partial correlations controlling the factors.
  std::vector<double> d(static_cast<std::size_t>(n));
  zcovcor(n, r, d.data());
  if (com->ods) {
    factm2(com, {.name = "ParCorrControlFactor",
                 .values = r,
                 .shape = variables_packed(n),
                 .titleno = kMsgPartialTitle,
                 .labelno = kMsgPartialLabel});
    const double overall = off_diagonal_rms(r, n, each);
    show_rms(com, "RMSOffDiagPartials", kMsgPartialRms, each, overall);
  }
}

}  // namespace kav
