// Principal components, the principal factor method and Harris components
// (factprn); iterated principal factors and alpha factoring (factpri).
//
// The priors already sit on the diagonal of `cor` when factcd returns, so
// one eigen-decomposition gives principal components (priors of 1) or the
// one-step principal factor solution (any other priors).  The iterated
// methods replace the diagonal by the communalities of the previous
// solution until they stop changing.
#include "factor/extract/factprn.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "factor/extract/factcd.h"
#include "factor/extract/factnf.h"
#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/output/notes.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/scratch.h"
#include "factor/state/status.h"
#include "host/log.h"
#include "host/services.h"
#include "numeric/eigen.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// Title of an eigenvalue table: the catalogue text, or `fallback` when the
// catalogue has none.
std::string eigen_title(int number, const char* fallback) {
  if (!message_known(kFactorGroup, number) && fallback) return fallback;
  return format_message(kFactorGroup, number, {});
}

// The title number of the eigenvalue table of the matrix factored once.
int single_title(const COMSTR* com) {
  const int reduced = com->priortyp == kPriOne ? 0 : 1;
  if (fopt_test(com, kFoptCov)) return kMsgEigCov + reduced;
  if (factwtd(com)) return kMsgEigWeighted + reduced;
  return kMsgEigCorr + reduced;
}

// ---------------------------------------------------------------------------
// Tables of the extraction.

void show_eigenvalues(COMSTR* com, const std::string& title) {
  factevt(com, title, com->nvar);
}
// The eigenvectors sit in `fact` until the loadings are formed from them.
void show_eigenvectors(COMSTR* com) {
  factm2(com, {.name = "Eigenvectors",
               .values = com->fact,
               .shape = variables_by_numbers(com->nvar, com->nfact)});
}
void history_open(COMSTR* com) {
  facthis(com, 1);
}
void history_row(COMSTR* com, int iteration, double change) {
  FACTHISROW row{iteration, 0, 0.0, 0.0, change, com->communal};
  facthis(com, 0, &row);
}
void history_close(COMSTR* com) {
  facthis(com, 3);
}
void show_convergence(COMSTR* com) {
  facthis(com, 4);
}
void show_alpha(COMSTR* com, const double* alpha) {
  factpm2(com, {.name = "AlphaCoef",
                .title = factitle(com, kMsgAlphaTitle),
                .values = alpha,
                .shape = one_row(com->nfact, kLabelFactors)});
}

// Eigenvalues of `cor` into eigval; the packed matrix keeps what zeigvec
// needs afterwards.
void eigenvalues(COMSTR* com) {
  int code = zeigen2(com->nvar, com->cor, com->eigval, 0, nullptr, com->datax);
  if (code != 0) facteigm(com, code);
}

void eigenvectors(COMSTR* com) {
  int code = zeigvec(com->nvar, com->nfact, com->cor, com->eigval, com->fact, com->datax);
  if (code != 0) facteigm(com, code);
}

}  // namespace

// ---------------------------------------------------------------------------

void weightit(int n, double* a, const double* wt) {
  for (int i = 0; i < n; ++i) {
    const double di = std::sqrt(std::max(0.0, wt[i]));
    double* row = a + packed_index(i, 0);
    for (int j = 0; j <= i; ++j) row[j] *= di * std::sqrt(std::max(0.0, wt[j]));
  }
}

void weightit(COMSTR* com) {
  weightit(com->nvar, com->cor, com->wt);
}

void factefz(COMSTR* com) {
  const int n = com->nvar;
  int first = 0;
  while (first < n && std::isnan(com->eigval[first])) ++first;
  if (first == n) return;
  const double limit = com->eigval[first] * kFactZero;
  for (int k = first + 1; k < n; ++k) {
    if (std::fabs(com->eigval[k]) <= limit) com->eigval[k] = 0.0;
  }
}

void factht(COMSTR* com) {
  com->heycode = 1;
  if (fopt_test(com, kFoptUltraHeywood)) return;
  const bool bound = fopt_test(com, kFoptHeywood);
  for (int j = 0; j < com->nvar; ++j) {
    if (com->communal[j] > 1.0) {
      if (bound) {
        com->communal[j] = 1.0;
        com->heycode = 0;
      } else {
        com->heycode = -1;
      }
    }
  }
  if (com->heycode < 0) {
    factrc(com, kRcSingular);
    com->nfact = -1;
    com->host->xpmlog(kFactorGroup, kMsgHeywood);
    com->host->xpmlog(kFactorGroup, kMsgHeywoodHint);
    factonote(com, kMsgHeywood);
  }
}

void factldg(COMSTR* com) {
  const int n = com->nvar;
  const bool weighted = factwtd(com);
  for (int k = 0; k < com->nfact; ++k) {
    const double scale = std::sqrt(std::max(0.0, com->eigval[k]));
    double* column = com->fact + static_cast<std::size_t>(k) * static_cast<std::size_t>(n);
    for (int j = 0; j < n; ++j) {
      double v = column[j] * scale;
      if (weighted) v = com->wt[j] > 0 ? v / std::sqrt(com->wt[j]) : 0.0;
      column[j] = v;
    }
  }
}

void factalc(const COMSTR* com, double* alpha) {
  const double n = com->nvar;
  for (int k = 0; k < com->nfact; ++k)
    alpha[k] = n / (n - 1) * (1.0 - 1.0 / std::max(com->eigval[k], kFactZero));
}

void factprn(COMSTR* com) {
  factcd(com);
  if (factwtd(com)) weightit(com);

  eigenvalues(com);
  factefz(com);
  if (com->ods) show_eigenvalues(com, eigen_title(single_title(com), nullptr));

  factnf(com);
  if (com->nfact <= 0) return;

  eigenvectors(com);
  if (com->ods && fopt_test(com, kFoptEigenvectors)) show_eigenvectors(com);
  factldg(com);
}

namespace {

// The communalities the retained factors reproduce: the sum over factors of
// the eigenvalue (0 when negative) times the squared eigenvector element,
// divided by the variable's weight; below m times the tolerance t, 0.
void communalities_from_factors(COMSTR* com, double t, std::vector<double>& h) {
  const int n = com->nvar, m = com->nfact;
  const double* wt = com->wt;
  for (int j = 0; j < n; ++j) {
    double s = 0;
    for (int k = 0; k < m; ++k) {
      const double v = com->fact[static_cast<std::size_t>(k) * static_cast<std::size_t>(n) +
                                 static_cast<std::size_t>(j)];
      s += std::max(com->eigval[k], 0.0) * v * v;
    }
    if (s <= m * t) {
      s = 0;
    } else if (wt[j] > 0) {
      s /= wt[j];
    }
    h[static_cast<std::size_t>(j)] = s;
  }
  std::copy(h.begin(), h.end(), com->communal);
}

// The largest change of a communality from its prior in this iteration.
double largest_change(const COMSTR* com) {
  double change = 0;
  for (int j = 0; j < com->nvar; ++j)
    change = std::max(change, std::fabs(com->communal[j] - com->priors[j]));
  return change;
}

// Whether the iterations converged: the return code, the reason, the
// table and the log.
void report_convergence(COMSTR* com, bool converged) {
  if (converged) {
    com->iterrc = 0;
    com->ReasonConvStat = kMsgReasonConverged;
    if (com->ods) show_convergence(com);
    com->host->xpmlog(kFactorGroup, kMsgIterConverged);
  } else {
    com->iterrc = 3;
    com->ReasonConvStat = kMsgNotConverged;
    if (com->ods) show_convergence(com);
    com->host->xpmlog(kFactorGroup, kMsgNotConverged);
  }
}

// The eigenvalues of the final reduced matrix, titled by what it is, and
// the eigenvectors when asked for.
void show_final_eigen(COMSTR* com) {
  if (fopt_test(com, kFoptCov)) {
    show_eigenvalues(com,
                     eigen_title(kMsgEigCov + 1, "Eigenvalues of the Reduced Covariance Matrix"));
  } else if (factwtd(com)) {
    show_eigenvalues(com, eigen_title(kMsgEigWeighted + 1,
                                      "Eigenvalues of the Weighted Reduced Correlation Matrix"));
  } else {
    show_eigenvalues(com,
                     eigen_title(kMsgEigCorr + 1, "Eigenvalues of the Reduced Correlation Matrix"));
  }
  if (fopt_test(com, kFoptEigenvectors)) show_eigenvectors(com);
}

}  // namespace

void factpri(COMSTR* com) {
  const int n = com->nvar;
  const std::uint64_t size = packed_size(n);
  double* copy = factalloc_doubles(com, size);
  StepPool& pool = com->host->pool();
  struct Release {
    StepPool& pool;
    double* block;
    ~Release() { pool.release(block); }
  } release{pool, copy};

  factcd(com);
  const bool alpha = com->fmethod == kFmAlpha;
  double* cor = com->cor;
  double* wt = com->wt;
  if (!alpha && factwtd(com)) weightit(com);
  std::memcpy(copy, cor, size * sizeof(double));

  // The diagonal of the matrix factored at one iteration, from `priors`.
  auto reduce = [&]() {
    for (int j = 0; j < n; ++j) {
      com->priors[j] = com->communal[j];
      if (alpha) {
        cor[packed_index(j, j)] = com->priors[j];
        wt[j] = com->priors[j] > 0 ? 1.0 / com->priors[j] : 0.0;
      } else {
        cor[packed_index(j, j)] = com->priors[j] * wt[j];
      }
    }
    if (alpha) weightit(com);
  };
  // First decomposition: the preliminary eigenvalues decide the number of
  // factors.  False when no factor is retained.
  auto preliminary = [&]() {
    factefz(com);
    if (com->ods) show_eigenvalues(com, eigen_title(kMsgPreliminary, "Preliminary Eigenvalues"));
    factnf(com);
    return com->nfact >= 1;
  };

  bool converged = false;
  if (com->maxiter <= 0) {
    // Without iterations the solution is that of the priors themselves.
    reduce();
    eigenvalues(com);
    if (!preliminary()) return;
    eigenvectors(com);
  }

  const double t = std::max(n * 1.1102230246251565e-16, kFactTiny);
  std::vector<double> h(static_cast<std::size_t>(n));
  for (int it = 1; it <= com->maxiter; ++it) {
    if (it > 1) std::memcpy(cor, copy, size * sizeof(double));
    reduce();
    eigenvalues(com);
    if (it == 1) {
      if (!preliminary()) return;
      if (com->ods) history_open(com);
    }
    eigenvectors(com);

    communalities_from_factors(com, t, h);
    factht(com);
    const double change = largest_change(com);
    if (com->ods) history_row(com, it, change);
    if (com->heycode < 0) {
      if (com->ods) history_close(com);
      return;
    }
    if (change < com->epsilon) {
      converged = true;
      break;
    }
  }
  if (com->ods && com->maxiter > 0) history_close(com);

  // The last communalities are the priors of the solution.
  for (int j = 0; j < n; ++j) {
    com->priors[j] = com->communal[j];
    if (alpha) wt[j] = com->priors[j] > 0 ? 1.0 / com->priors[j] : 0.0;
  }
  report_convergence(com, converged);

  factefz(com);
  if (com->ods) show_final_eigen(com);

  if (alpha && com->ods) {
    std::vector<double> coefficient(static_cast<std::size_t>(com->nfact));
    factalc(com, coefficient.data());
    show_alpha(com, coefficient.data());
  }

  factldg(com);
}

}  // namespace kav
