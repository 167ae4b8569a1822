// The stage routines a BY group runs through, in the order factdo calls
// them.  Each takes the state record first; factrot and factpro return
// non-zero when the rotation could not be done.
#pragma once

#include "factor/state/comstr.h"

namespace kav {

void factcor(COMSTR* com);  // read the group, form the correlation or covariance matrix
void factcd(COMSTR* com);   // correlation diagnostics
void factoig(COMSTR* com);  // initial tables of the group
void factprn(COMSTR* com);  // PRINCIPAL, HARRIS
void factpri(COMSTR* com);  // PRINIT, ALPHA
void factnr(COMSTR* com);   // ULS, ML, GLS
void factim(COMSTR* com);   // IMAGE
void factin(COMSTR* com);   // PATTERN, SCORE input
void factpos(COMSTR* com);  // post-processing of the unrotated solution
void factscr(COMSTR* com);  // scoring coefficients
void factres(COMSTR* com);  // residual and partial correlations
void factplt(COMSTR* com, int oblique, int stage);  // line-printer factor plots
void factgpt(COMSTR* com, int oblique, int stage);  // loadings graphs
int factrot(COMSTR* com, int method, int which);    // analytic rotation
int factpro(COMSTR* com, int method, int which);    // promax and Procrustes
void factstt(COMSTR* com, int mode);                // OUTSTAT= solution rows
// Standard errors of a rotated maximum-likelihood solution, given the
// rotation code and its four criterion weights.
void factse(COMSTR* com, int method, const double* weights);
void factoutopen(COMSTR* com);  // defines the OUT= data set when the statement is read
void factout(COMSTR* com);      // OUT= observations of a BY group
void factoutend(COMSTR* com);  // makes OUT= visible when the step ends normally
void factpdg(COMSTR* com);                          // path diagram

// The stage routines of one BY group, as factdo calls them.  The procedure
// uses kFactorStages; tests substitute their own to watch the order.
struct FACTSTAGES {
  void (*factcor)(COMSTR*);
  void (*factcd)(COMSTR*);
  void (*factoig)(COMSTR*);
  void (*factprn)(COMSTR*);
  void (*factpri)(COMSTR*);
  void (*factnr)(COMSTR*);
  void (*factim)(COMSTR*);
  void (*factin)(COMSTR*);
  void (*factpos)(COMSTR*);
  void (*factscr)(COMSTR*);
  void (*factres)(COMSTR*);
  void (*factplt)(COMSTR*, int oblique, int stage);
  void (*factgpt)(COMSTR*, int oblique, int stage);
  int (*factrot)(COMSTR*, int method, int which);
  int (*factpro)(COMSTR*, int method, int which);
  void (*factstt)(COMSTR*, int mode);
  void (*factout)(COMSTR*);
  void (*factpdg)(COMSTR*);
};
extern const FACTSTAGES kFactorStages;

}  // namespace kav
