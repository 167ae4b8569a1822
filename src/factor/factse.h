// Standard errors of a maximum-likelihood solution: the information matrix
// of the unrotated loadings and unique variances, and the delta method that
// carries the covariance of the unrotated loadings through a rotation.
// factse itself is declared with the other stages in stages.h.
#pragma once

#include "factor/comstr.h"

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

// The delta method: for the npar x nout column-major Jacobian `jacobian`
// (column k the derivatives of output k) and the packed covariance `cov` of
// the npar parameters, `out` receives J' C J.  With `length` equal to nout
// only its diagonal (the variances); with nout(nout+1)/2 all of it, packed.
void delmeth(double* out, long length, long nout, long npar, const double* jacobian,
             const double* cov);

}  // namespace kav
