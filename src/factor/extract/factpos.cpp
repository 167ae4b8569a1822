// The unrotated solution: shown, summarised, cleaned and written out.
//
// Loadings that are zero up to rounding are made exactly zero, and a factor
// left with nothing but zeros is dropped, so that no later stage (rotation,
// scoring, residuals) works on a factor that does not exist.
#include "factor/extract/factpos.h"

#include <cmath>
#include <cstring>
#include <string>

#include "factor/output/factods.h"
#include "factor/output/factsta.h"
#include "factor/output/matrix_printer.h"
#include "factor/results/factse.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "host/log.h"
#include "host/services.h"
#include "numeric/dense.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// ---------------------------------------------------------------------------
// Tables of the unrotated solution.

// Variables whose unique variance the fit left at a bound: 0 or below (a
// Heywood case held at 0 by HEYWOOD or passed by ULTRAHEYWOOD), or the upper
// bound 1 that HEYWOOD sets.  Their names, separated by commas.
std::string boundary_variables(const COMSTR* com) {
  const NRSTRUCT* nr = com->nrptr;
  std::string names;
  if (!nr || !nr->psi) return names;
  for (int i = 0; i < com->nvar; ++i) {
    const double psi = nr->psi[i];
    if (psi > 0 && !(nr->heybit && psi >= 1)) continue;
    if (!names.empty()) names += ", ";
    names += factvnam(com, i);
  }
  return names;
}

// Standard errors of the unrotated ML pattern: asked for, they are never
// silently left out; the standard-error stage says whether it can give them.
// The asymptotic theory they come from needs a solution inside the
// parameter space, so a solution at its boundary gets them with a note.
void standard_errors(COMSTR* com) {
  factse(com, kFactseUnrotated, nullptr);
  if (!com->factse) return;
  const std::string names = boundary_variables(com);
  if (!names.empty()) com->host->xpmlog(kFactorGroup, kMsgSeBoundary, {names});
}
void show_pattern(COMSTR* com) {
  factm2(com, {.name = "FactorPattern",
               .values = com->fact,
               .shape = variables_by_factors(com->nvar, com->nfact),
               .se = com->factse,
               .stacked = true});
}
void show_variance_explained(COMSTR* com, int titleno, const std::string& insert, bool weighted) {
  const int m = com->nfact;
  const std::string title = factitle(com, titleno, {insert});
  if (weighted) {
    factv3t(com, kLabelFactors, m, com->datax, "Weighted", com->datax + m, "Unweighted", nullptr,
            nullptr, "VarExplainWgt", 0, "VarExplainHead", title,
            (std::string(kTablePrefix) + "VarExplainWgt").c_str());
  } else {
    factpm2(com, {.name = "VarExplain",
                  .title = title,
                  .values = com->datax + m,
                  .shape = one_row(m, kLabelFactors)});
  }
}
void show_final_communalities(COMSTR* com, bool weighted, double weighted_total) {
  if (weighted) {
    factfct(com, weighted_total);
  } else {
    factpm2(com, {.name = "FinalCommun",
                  .title = factitle(com, kMsgFinalCommun, {factnum(com->totcom)}),
                  .values = com->communal,
                  .shape = one_row(com->nvar, kLabelVariables)});
  }
}

}  // namespace

double factvaf(COMSTR* com, int mode) {
  const int n = com->nvar;
  const int m = com->nfact;
  const double* matrix = mode == 1 ? com->struc : mode == 2 ? com->ref : com->fact;
  double* weighted = com->datax;
  double* unweighted = com->datax + m;
  std::fill(com->datax, com->datax + 2 * m, 0.0);
  const bool wtd = factwtd(com);

  for (int k = 0; k < m; ++k) {
    for (int j = 0; j < n; ++j) {
      const double v = matrix[dense_index(j, k, n)];
      unweighted[k] += v * v;
      if (wtd && !std::isnan(com->wt[j])) weighted[k] += com->wt[j] * v * v;
    }
  }

  if (com->ods) {
    static const char* const kInserts[] = {" ", "ignoring other factors",
                                           "eliminating other factors"};
    show_variance_explained(com, kMsgVarExplain + mode, kInserts[mode], wtd);
  }

  const double* f = com->fact;
  for (int j = 0; j < n; ++j) {
    double h = 0;
    if (mode == 0) {
      for (int k = 0; k < m; ++k) h += f[dense_index(j, k, n)] * f[dense_index(j, k, n)];
    } else {
      for (int k = 0; k < m; ++k) {
        for (int l = 0; l < m; ++l) {
          h += f[dense_index(j, k, n)] * com->fcor[packed_sym_index(k, l)] *
               f[dense_index(j, l, n)];
        }
      }
    }
    com->communal[j] = h;
  }

  double total = 0, weighted_total = 0;
  for (int j = 0; j < n; ++j) {
    total += com->communal[j];
    if (wtd && mode == 0 && !std::isnan(com->wt[j]))
      weighted_total += com->communal[j] * com->wt[j];
  }
  com->totcom = total;
  const bool weighted_table = wtd && mode == 0;
  if (com->ods) show_final_communalities(com, weighted_table, weighted_total);
  return weighted_table ? weighted_total : total;
}

void factpos(COMSTR* com) {
  const int n = com->nvar;
  if (com->nfact >= 1) {
    if (com->fmethod != kFmPattern && com->fmethod != kFmScore) {
      if (com->fmethod == kFmMl && fopt_test(com, kFoptStderr)) standard_errors(com);
      if (fopt_test(com, kFoptReorder)) factprm(com, com->fact);
      if (com->ods) show_pattern(com);
      factvaf(com, 0);
    }

    const std::size_t cells = static_cast<std::size_t>(n) * static_cast<std::size_t>(com->nfact);
    for (std::size_t i = 0; i < cells; ++i) {
      if (std::fabs(com->fact[i]) <= kFactZero) com->fact[i] = 0.0;
    }

    // Drop factors without a non-zero loading, moving the others left.
    const int before = com->nfact;
    int kept = 0;
    for (int k = 0; k < before; ++k) {
      bool empty = true;
      for (int j = 0; j < n && empty; ++j) empty = com->fact[dense_index(j, k, n)] == 0.0;
      if (empty) {
        com->host->xpmlog(kFactorGroup, kMsgFactorDropped, {std::to_string(k + 1)});
        continue;
      }
      if (kept != k) {
        std::memcpy(com->fact + dense_index(0, kept, n), com->fact + dense_index(0, k, n),
                    static_cast<std::size_t>(n) * sizeof(double));
      }
      ++kept;
    }
    com->nfact = kept;
    if (kept == 0) {
      com->host->xpmlog(kFactorGroup, kMsgNoFactorLeft);
      factrc(com, kRcSingular);
    } else if (kept == 1) {
      if (com->tran) com->tran[0] = 1.0;
      if (com->fcor) com->fcor[0] = 1.0;
      if (com->dinv) com->dinv[0] = 1.0;
    }
  }

  // The rotations start from this solution, each one afresh.
  if (com->nfact >= 1 && com->ufact)
    std::memcpy(com->ufact, com->fact,
                static_cast<std::size_t>(n) * static_cast<std::size_t>(com->nfact) *
                    sizeof(double));
  if (com->nfact >= 0) factspos(com);
}

}  // namespace kav
