#pragma once
// Log-gamma, the regularised incomplete gamma ratios and the upper-tail
// chi-square probability built on them.

namespace kav {

// ln Gamma(x) for x > 0. Returns -99 for x <= 2.225073858507202e-308 and
// exactly 0 within 1.110223024625157e-16 of 1 and of 2.
double zlgamma(double x);

// P(a, x) and Q(a, x) = 1 - P(a, x), the regularised lower and upper
// incomplete gamma ratios, and the gamma density x^(a-1) e^-x / Gamma(a)
// (dP/dx) as the third value. Returns 0, or 1 on error (a < 0, x < 0, or no
// convergence within 2000 terms) with P = Q = -2 and density 0.
// a = 0 is the distribution concentrated at 0: P = 1, Q = 0 for every x >= 0.
int zigamma(double* p, double* q, double* density, double x, double a);

// Pr(chi-square with df degrees of freedom > x) = Q(df/2, x/2); the host's
// missing value when zigamma reports an error (for example x < 0).
double zpgx2(int df, double x);

}  // namespace kav
