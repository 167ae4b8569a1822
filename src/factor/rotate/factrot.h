// Rotation of the factor pattern: the analytic criteria (factrot, with the
// factoring extension doing the iterations), promax and Procrustes (factpro)
// and the quantities every oblique solution is completed with (factobl).
// factrot and factpro themselves are declared with the other stages in
// stages.h.
#pragma once

#include "factor/state/comstr.h"

namespace kav {

// The four weights g0..g3 of the generalised Crawford-Ferguson criterion for
// rotation code `method` on p variables and m factors.  On entry the first
// slots carry the method's parameters: gamma for ORTHOMAX and HK, tau for
// OBLIMIN, k1 and k2 for the CF pair, k1..k4 for the GENCF pair.  Returns
// false for a code that is not an analytic criterion.
bool factkap(double weights[4], int p, int m, int method);

// The extension's number for an analytic rotation code (0 for any other).
int factrottype(int method);

// Completes an oblique solution.  Mode 'D': the extension returned the
// factor correlations in fcor; 'H': Harris-Kaiser, 'O': promax and
// Procrustes, where fcor follows from tran; 'I': an input pattern with its
// factor correlations.  Leaves fcor, rcor, dinv, ref and struc, and nfact 0
// (with message 53) when the factor correlations are singular.
void factobl(COMSTR* com, char mode);
// Shows the oblique solution: factor correlations, pattern, reference axes,
// reference structure, factor structure and the variance explained.
void factobp(COMSTR* com);
// Orders the factors by the sum of squares of their pattern columns,
// largest first, carrying the transformation along; with_correlations also
// reorders fcor and rcor, with_scales dinv.
void factord(COMSTR* com, bool with_correlations, bool with_scales);

// The least-squares transformation X of A X = T for a p x m pattern A and
// target T (both column-major); X is m x m column-major.  `work` holds
// m(m+1)/2 + m doubles.  Returns the number of rank-deficient pivots of A'A.
int zprcrst(int p, int m, const double* a, const double* t, double* x, double* work);

// Puts the unrotated solution back in fact (from ufact) with uncorrelated
// factors, so that an analytic rotation always starts from it.
void factunrot(COMSTR* com);

// Makes sure the oblique arrays exist (fcor and rcor as identities when new).
void factoblbuf(COMSTR* com);

}  // namespace kav
