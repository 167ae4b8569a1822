#pragma once
// Small dense kernels on symmetric matrices held as packed lower triangles
// (element (i, j), j <= i, at i(i+1)/2 + j; row i is the contiguous run of
// i + 1 entries starting at i(i+1)/2). They work in place on the caller's
// arrays, allocate nothing and report singularity only through their result.
// Tolerances are absolute and are compared with the current pivot, i.e. the
// pivot after the earlier pivots have been eliminated (for a correlation
// matrix, 1 - R^2 of the variable on those pivoted before it).

namespace kav {

// Results of zinvlo and zrecsol.
inline constexpr int kMatrixOk = 0;
inline constexpr int kMatrixSingular = 1;

// Index of element (i, j), j <= i, in a packed lower triangle.
constexpr long packed_index(long i, long j) {
  return i * (i + 1) / 2 + j;
}

// Index of element (i, j) of a packed symmetric matrix, from either triangle.
constexpr long packed_sym_index(long i, long j) {
  return i >= j ? packed_index(i, j) : packed_index(j, i);
}

// Crossproducts or covariances to correlations in place; d receives the
// square roots of the diagonal (0 for a non-positive diagonal). Correlations
// of size 1.110223024625157e-13 or less become exactly 0.
void zcovcor(int n, double* a, double* d);

// Inverse of a symmetric non-negative definite matrix by Gauss-Jordan sweeps
// in pivot order 0..n-1, solving m right-hand sides b (n doubles each, one
// after another; may be null when m = 0) along the way. A pivot below tol is
// rejected: its row and column become zero and so does its entry in every
// solution. w is a work vector of n. Returns the number of rejected pivots;
// the matrix then holds the inverse of the accepted part.
int znndsol(double tol, int n, double* a, double* w, int m, double* b);

// Inverse of a symmetric matrix that need not be definite, by the same
// sweeps. A pivot with |d| <= tol stops at once with kMatrixSingular (the
// matrix is left partly swept); otherwise kMatrixOk and a holds the inverse.
int zinvlo(double tol, double* a, int n, double* w);

// Adds row i to the packed Cholesky factor L held in a (rows 0..i-1 already
// factored). A diagonal whose square is not above tol becomes 0, and so do
// the later entries of that column.
void zchol(double tol, int i, double* a);

// Forward substitution L x = b in place in x (b on entry); an unknown whose
// diagonal is 0 becomes 0.
void zchol2(int n, const double* l, double* x);

// A = U D U' with Bunch-Kaufman diagonal pivoting, working from the last
// column back. kpvt receives, per column, the 1-based index it was
// interchanged with; both columns of a 2x2 block carry the negated index.
// Returns 0, or the 1-based column at which a pivot block whose magnitude is
// not above tol stopped the factorisation.
int zududec(int n, double* a, int* kpvt, double tol);

// The inverse of A in place, from the factors of zududec. work holds n.
void zuduinv(double* a, int n, const int* kpvt, double* work);

// Sweep operator on pivot k. flags[k] == '0' means k is not swept: it is
// swept when its current pivot is at least tol (flag set to '1') and left
// alone otherwise. A swept pivot (flag other than '0') is swept back, which
// restores the matrix as it was before its sweep (flag set to '0').
// Storage convention: the swept block holds the inverse of its part of the
// original matrix; an element (i, j), j < i, between an unswept and a swept
// variable holds the regression coefficient of the swept one when i is the
// unswept one, and its negative when i is the swept one; the unswept block
// holds the residual crossproducts. work holds n.
void zsweep(double tol, double* a, int k, int n, char* flags, double* work);

// Householder QR with column pivoting of the m x n column-major matrix a
// (m >= n). A column whose remaining norm is not above tol times its
// original norm is rank deficient and is not used. qraux receives the
// reflector scales, jpvt the column order (0-based), work holds 2n.
// Returns the number of deficient columns (0 on success).
int zqrdec(int m, int n, double* a, double tol, double* qraux, int* jpvt, double* work);

// Least-squares solution of a x = b with the factors of zqrdec: b (m long) is
// overwritten, its first n entries receiving x in the original column
// order. Deficient columns get 0. work holds n.
void zqrsol(int m, int n, const double* a, const double* qraux, const int* jpvt, int rank,
            double* b, double* work);

// Dense LU with partial pivoting of the n x n row-major matrix a.
// mode 0: decompose a in place (ipvt receives the pivot rows); returns
//         kMatrixSingular when a is singular, else kMatrixOk.
// mode 1: solve a x = x in place with the decomposition; returns kMatrixOk.
// mode 2: x[0] receives the determinant of the decomposed matrix; returns
//         kMatrixOk.
int zrecsol(int mode, int n, double* a, int* ipvt, double* x);

// g := B A B' (packed, order m) for a packed A of order n and a row-major
// m x n matrix B. work holds n.
void zqform(const double* a, int n, const double* b, int m, double* g, double* work);

}  // namespace kav
