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
inline constexpr char kNoLabels = 0;  // factpm2: rows or columns without labels

// Position of element (i, j), both from 0, of an n-row, m-column matrix in
// the given storage.  An unknown code writes a debug message and gives 0.
std::int64_t nsub(COMSTR* com, char type, int i, int j, int n, int m);

// The REORDER permutation `perm` of COMSTR from an nvar x nfact column-major
// loading matrix: variables grouped by the factor of their largest absolute
// loading, groups in factor order, largest signed loading first in a group;
// a variable whose loadings are all 0 goes after every group.
void factprm(COMSTR* com, const double* loadings);

// How a printed matrix is laid out: its storage, its size, and what labels
// its rows and columns.
struct MatrixShape {
  char storage = kStoreColumn;
  int nrow = 0, ncol = 0;
  char rowkind = kLabelVariables, colkind = kLabelFactors;
};

// The shapes most matrices of the procedure have.  Variables by factors,
// column by column: loadings, structures, coefficients.
inline MatrixShape variables_by_factors(int nvar, int nfact) {
  return {kStoreColumn, nvar, nfact, kLabelVariables, kLabelFactors};
}
// Variables by numbered columns, column by column: eigenvectors, one value
// per variable.
inline MatrixShape variables_by_numbers(int nvar, int ncol) {
  return {kStoreColumn, nvar, ncol, kLabelVariables, kLabelNumbers};
}
// A symmetric matrix of the variables as a packed lower triangle:
// correlations and their kin.
inline MatrixShape variables_packed(int nvar) {
  return {kStoreSymmetric, nvar, nvar, kLabelVariables, kLabelVariables};
}
// Factors by factors: transformations (column by column) and factor
// correlations (packed, kStoreSymmetric).
inline MatrixShape factors_by_factors(int nfact, char storage = kStoreColumn) {
  return {storage, nfact, nfact, kLabelFactors, kLabelFactors};
}

// A matrix for factm2, named field by field at the call.
struct PrintedMatrix {
  const char* name = nullptr;  // the output table
  const double* values = nullptr;
  MatrixShape shape;
  int titleno = 0;  // catalogue numbers of group 180 (0: none)
  int labelno = 0;
  const double* se = nullptr;  // standard errors in the layout of `values`, or null
  bool stacked = false;        // with `se`: the errors stacked under the values (else `se`
                               // only keeps the values unrounded)
  const char* path = nullptr;  // the template; null: the procedure's prefix and `name`
};

// Writes a matrix as an output table.  How it is shown depends on which
// array of COMSTR its values are (fact, struc, ref, score, cor, fcor, rcor,
// other).
void factm2(COMSTR* com, const PrintedMatrix& matrix);

// The coverage display of a confidence interval [lower, upper] around the
// estimate `x` against the target `cover` (0: the interval is judged
// against 0 alone); "   ." when a limit is missing.
const char* factcov(double x, double lower, double upper, double cover);

// The standard normal distribution function and its inverse.
double factncdf(double z);
double factnqnt(double p);

}  // namespace kav
