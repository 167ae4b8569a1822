// The matrix printer: loadings, coefficients and correlation matrices as
// output tables, with the display options that make factor output readable
// (REORDER, FUZZ=, ROUND and FLAG=) and the stacked display of estimates
// with standard errors, tests of HYPVALUE= or confidence limits.
#pragma once

#include <cstdint>

#include "factor/state/comstr.h"

namespace kav {

// Storage codes of the matrices the printer takes.
inline constexpr char kStoreColumn = 'C';     // (i, j) at i + j*n
inline constexpr char kStoreRow = 'R';        // (i, j) at j + i*m
inline constexpr char kStoreSymmetric = 'S';  // packed lower triangle by rows

// Label kinds of rows and columns.
inline constexpr char kLabelVariables = 'V';
inline constexpr char kLabelFactors = 'F';
inline constexpr char kLabelNumbers = 'N';

// Position of element (i, j), both from 0, of an n-row, m-column matrix in
// the given storage.  An unknown code writes a debug message and gives 0.
std::int64_t nsub(COMSTR* com, char type, int i, int j, int n, int m);

// The REORDER permutation `perm` of COMSTR from an nvar x nfact column-major
// loading matrix: variables grouped by the factor of their largest absolute
// loading, groups in factor order, largest signed loading first in a group;
// a variable whose loadings are all 0 goes after every group.
void factprm(COMSTR* com, const double* loadings);

// Writes a matrix as the output table `name` under `path`.  `se` (same
// storage as `x`, or null) carries standard errors; `stacked` is 1 for the
// matrices that may carry them.  How the matrix is shown depends on which
// array of COMSTR `x` is (fact, struc, ref, score, cor, fcor, rcor, other).
// `titleno` and `labelno` are catalogue numbers of group 180 (0: none).
void factm2(COMSTR* com, char type, const double* x, const double* se, int nrow, int ncol,
            char rowkind, char colkind, int titleno, int labelno, const char* name,
            const char* path, int stacked);

// The coverage display of a confidence interval [lower, upper] around the
// estimate `x` against the target `cover` (0: the interval is judged
// against 0 alone); "   ." when a limit is missing.
const char* factcov(double x, double lower, double upper, double cover);

// The standard normal distribution function and its inverse.
double factncdf(double z);
double factnqnt(double p);

}  // namespace kav
