// The rotation engine of the factoring extension: orthogonal and oblique
// rotation of a factor pattern by the generalised Crawford-Ferguson criterion
//
//   Q(L) = g0 (sum_ij l_ij^2)^2 + g1 sum_i (sum_j l_ij^2)^2
//        + g2 sum_j (sum_i l_ij^2)^2 + g3 sum_ij l_ij^4,
//
// which the orthogonal rotation types maximise over orthogonal matrices and
// the oblique ones minimise over transformations with unit-length columns,
// with the row scalings (Kaiser, Cureton-Mulaik weights, standard
// deviations) and the Harris-Kaiser orthoblique variant.
//
// Whatever the kind of rotation, the rotated pattern is L = A * tran for the
// unrotated pattern A and the transformation handed back; the factor
// correlations are those of the rotated factors (the identity for
// orthogonal and Harris-Kaiser rotations).
#pragma once

#include <vector>

#include "tkxfac/tkxfac.h"

namespace kav {

// What one rotation hands back (the extension's values 4, 5, 6, 13, 14, 21,
// 55, 57 and 58).  When the status is not TKXFAC_ROTATE_CONVERGE the
// matrices hold the last iterate.
struct RotationResult {
  int status = 0;  // a TKXFAC_ROTATE_ code
  int iterations = 0;
  // The criterion Q at the pattern the engine rotated: the rotated pattern
  // with its rows scaled as the row normalisation scaled them (for
  // Harris-Kaiser, the rescaled pattern B rotated by T).
  double criterion = 0;
  // The convergence measure at the last iterate (see tkxrot.cpp).
  double convergence = 0;
  std::vector<double> pattern;         // nvar x nfact, column-major
  std::vector<double> transformation;  // nfact x nfact, column-major
  std::vector<double> factor_corr;     // packed lower triangle, row by row
  std::vector<double> var_weights;     // WEIGHT and COV row scaling only
  std::vector<double> factor_weights;  // Harris-Kaiser mode only
  // How the work went, for benchmarks and for tests of the engine itself:
  // evaluations of the criterion (each forms the rotated pattern), and the
  // iterations that took a Newton step.
  int evaluations = 0;
  int newton_steps = 0;
};

// The rotation types the engine knows, by kind.  Harris-Kaiser (TKXFAC_ROTTYPE_HK)
// counts as orthogonal: its inner rotation is.
bool rottype_is_orthogonal(int rottype);
bool rottype_is_oblique(int rottype);

// Rotates the nvar x nfact pattern `a` (column-major) as `parms` asks.
// vstd: the variables' standard deviations for COV row scaling, or null
// (then all 1).  Returns TKXFAC_OK when the rotation ran, whatever its
// status, and TKXFAC_ERR_ARGUMENT (with `result` cleared) for a request it
// cannot run: an unknown rotation or normalisation type, fewer than one
// iteration allowed, a negative or missing convergence criterion,
// non-finite weights or Harris-Kaiser power, sizes below 1.
int rotate_pattern(int nvar, int nfact, const double* a, const double* vstd,
                   const TKXFAC_ROTPARMS& parms, RotationResult& result);

}  // namespace kav
