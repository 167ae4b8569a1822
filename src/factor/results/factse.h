// Standard errors of a maximum-likelihood solution: the information matrix
// of the unrotated loadings and unique variances, and the delta method that
// carries the covariance of the unrotated loadings through a rotation.
// factse itself is declared with the other stages in stages.h.
#pragma once

#include "factor/state/comstr.h"

namespace kav {

// The method code that asks factse for the unrotated solution.
inline constexpr int kFactseUnrotated = 14;

// Standard errors and covariance of the unrotated ML loadings (p x m,
// column-major).  The information matrix is that of the loadings and the p
// unique variances 1 - h_i, bordered by the m(m-1)/2 conditions that make
// L' Sigma^-1 L diagonal (the identification the fit gives its loadings);
// its inverse is divided by `vardiv`.  `se` receives the p*m standard
// errors, `cov` (when not null) the packed covariance of the loadings.
// `sigma` holds p(p+1)/2 doubles, `bordered` n(n+1)/2 and `pivots` n ints,
// n = p*m + p + m(m-1)/2.  Returns 0, or the number of the message that says
// why there are no standard errors: 355 (the reproduced correlation matrix
// is singular), 356 (the bordered matrix cannot be decomposed) or 361 (one
// of its pivots is nearly zero).
int info(double vardiv, double tol, double* se, double* cov, const double* loadings, double* sigma,
         double* bordered, int* pivots, int m, int p);

// Standard errors of a promax or Procrustes solution, after factobl has
// completed it (fact, tran, fcor): `before` is the pattern the rotation
// started from, `target` the target it was fitted to, `power` promax's
// power, `orthogonal_start` whether `before` had uncorrelated factors.
// The derivatives run through the target (promax), the least-squares
// transformation and its normalisation to unit factor variances, chained
// with the prerotation's when `before` is a prerotated pattern.
void factsepro(COMSTR* com, int method, double power, bool orthogonal_start, const double* before,
               const double* target);

// The delta method for quantities whose derivatives with respect to the
// unrotated loadings vec(A) (p x m, column by column) are
//   vec(dA N) + U R vec(dA)
// (pattern-shaped quantities, when n, m x m, is not null; otherwise only
// the second part): `out` receives the nout variances, the diagonal of
// J C J' for the packed covariance `cov` of vec(A).  U is nout x r, column
// by column; `cr` holds C R' (pm x r, column by column) and `rcr` R C R'
// (r x r), which every quantity of one rotation shares.
void delmeth(double* out, long nout, int p, int m, const double* n, int r, const double* u,
             const double* cr, const double* rcr, const double* cov);

// Releases the standard errors of a rotated solution, so that a rotation
// that cannot have them leaves none behind.
void rotini(COMSTR* com);

}  // namespace kav
