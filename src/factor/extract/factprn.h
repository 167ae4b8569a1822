// Extraction by eigen-decomposition of the reduced (and possibly weighted)
// correlation or covariance matrix: principal components, the principal
// factor method and Harris components (factprn), iterated principal factors
// and alpha factoring (factpri), with the helpers they share.
#pragma once

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

void factprn(COMSTR* com);
void factpri(COMSTR* com);

// Sets eigenvalues that are negligible against the largest to exactly 0.
void factefz(COMSTR* com);
// Heywood test of `communal`: sets `heycode` (1 none, 0 capped, -1 failed);
// a failure ends the group's extraction (nfact = -1, status 112).
void factht(COMSTR* com);

// Scales the packed matrix a of order n to D·A·D, d_j = sqrt(max(0, wt_j)),
// diagonal included; the COMSTR form scales `cor` of order nvar.
void weightit(int n, double* a, const double* wt);
void weightit(COMSTR* com);

// Loadings from the eigenvectors in `fact` and the eigenvalues: column k
// times sqrt(max(0, eigval_k)), divided by sqrt(wt_j) under weighting.
void factldg(COMSTR* com);

// Coefficient alpha of each retained factor of an alpha factor analysis.
void factalc(const COMSTR* com, double* alpha);

}  // namespace kav
