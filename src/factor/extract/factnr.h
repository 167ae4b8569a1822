// Maximum likelihood, unweighted least squares and generalized least squares
// extraction (factnr), fitted by a ridged Newton-Raphson optimiser over the
// unique variances (zoldrap), and the significance tests and fit measures
// of a maximum likelihood solution (factsig).
#pragma once

#include <cstddef>

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

// What zoldrap returns.
inline constexpr int kNrConverged = 0;   // the convergence test said stop
inline constexpr int kNrIterations = 1;  // MAXITER= iterations done
inline constexpr int kNrNoDescent = 2;   // no step lowered the criterion
inline constexpr int kNrRidge = 3;       // the ridge needed grew too large
inline constexpr int kNrHessian = 4;     // the Hessian is not positive definite at the end

// The three routines the optimiser calls back.  They work on the caller's
// state behind `ctx`; the parameters are the vector handed to zoldrap,
// which the optimiser moves in place.
struct NRCALLBACKS {
  void* ctx;
  // The criterion at the current parameters.
  double (*funct)(void* ctx);
  // Gradient g (n) and Hessian approximation h (packed, n(n+1)/2) at the
  // point of the last funct call.
  void (*derivs)(void* ctx, double* g, double* h);
  // Called once per accepted step, with the ridge of that step; non-zero
  // stops the optimiser (converged, or a reason of the caller's own).
  int (*convtest)(void* ctx, double ridge);
};

// Doubles of work zoldrap needs for n parameters.
std::size_t zoldrap_work(int n);

// Minimises the criterion over x (n parameters) by Newton-Raphson steps on
// the ridged Hessian, at most `maxiter` iterations.  `lower` and `upper`
// may be null; a missing (NaN) element means no bound.  *f receives the
// criterion at the final x, and the callbacks' state always belongs to
// that point.  *predicted receives the last predicted relative decrease
// (infinity when no step was computed).  Returns one of the codes above.
int zoldrap(int n, int maxiter, double* f, double* x, double* g, double* h, double* work,
            const double* lower, const double* upper, const NRCALLBACKS& callbacks,
            double* predicted = nullptr);

// Extraction by ML (fmethod 5), ULS (2) or GLS (6).  Leaves nfact, fact,
// eigval, priors (the final communalities), wt (ML and GLS: 1/psi), the
// convergence status in iterrc and ReasonConvStat, and raises rc on a
// singular matrix (112) or a Heywood case (108).
void factnr(COMSTR* com);

// The tests of no common factors and of nfact factors, and the fit
// measures, from the log-determinant of the correlation matrix and the
// maximum likelihood criterion at the solution.  Only with output.
void factsig(COMSTR* com, double logdet, double criterion);

// Degrees of freedom of m common factors on p variables:
// ((p - m)^2 - (p + m)) / 2.
int factdfm(int p, int m);

}  // namespace kav
