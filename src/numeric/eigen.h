#pragma once
// Dense symmetric eigensolver.
//
// The matrix is a packed lower triangle, row by row: element (i, j), j <= i,
// at i(i+1)/2 + j. Eigenvalues come back largest first; eigenvector k is the
// column z[k*n .. k*n+n-1] and belongs to the k-th largest eigenvalue.
//
// The solver allocates nothing. The caller passes a workspace of 8n doubles
// laid out as
//   [0, n)    diagonal d of the tridiagonal form
//   [n, 2n)   sub-diagonal e (e[i] couples rows i-1 and i, e[0] = 0)
//   [2n, 3n)  squared sub-diagonal; a zero marks the start of a new block
//   [3n, 4n)  for each eigenvalue, the number (1, 2, ...) of the unreduced
//             tridiagonal block it belongs to, held as a double
//   [4n, 8n)  scratch; zeigen2 keeps a copy of the tridiagonal form there
//             while the QL iteration runs
// The first 4n entries and the packed array (which holds the Householder
// vectors after zeigen2) must stay untouched between zeigen2 and zeigvec.
//
// Return codes of zeigen2 and zeigvec:
//    0            success
//   -1            QL failed; the eigenvalues were found by bisection
//   -10/-20/-30   an eigenvector of reduced quality was accepted (the worst)
//   -11/-21/-31   the same, and QL failed
//   97            the vectors of a cluster of equal eigenvalues could not be
//                 orthonormalised
//   98            bisection found fewer than n eigenvalues (zeigen2); one of
//                 the wanted eigenvalues is a missing value (zeigvec)
//   99            invalid arguments

#include <functional>

namespace kav {

// The return codes above by name.  The quality codes add to the QL one (-11
// is a fair vector after QL failed), so they stay plain integers.
inline constexpr int kEigenOk = 0;
inline constexpr int kEigenQlFailed = -1;
inline constexpr int kEigenVectorFair = -10;
inline constexpr int kEigenVectorPoor = -20;
inline constexpr int kEigenVectorBad = -30;
inline constexpr int kEigenClusterNotOrthonormal = 97;
inline constexpr int kEigenMissingOrBisectionFailed = 98;
inline constexpr int kEigenBadArguments = 99;

// Knobs that only tests change: a QL iteration limit of 0 makes QL fail on
// any matrix that is not already diagonal, so that bisection takes over.
struct EigenTuning {
  int ql_iteration_limit = 50;
};

int zeigen2(int n, double* a, double* eigval, int nvec, double* eigvec, double* work);
int zeigen2(int n, double* a, double* eigval, int nvec, double* eigvec, double* work,
            const EigenTuning& tuning);
int zeigvec(int n, int nvec, double* a, const double* eigval, double* eigvec, double* work);

// Where zeigmsg reports. The solver's messages are group 271, numbers 1-6
// and 100; they carry no arguments.
struct EigenMessageSink {
  // Logs message (group, number); returns the host's message handle.
  std::function<int(int group, int number)> log;
  // Adds the message as an output note named "EigenNote". Left empty when
  // nothing is printed.
  std::function<void(const char* name, int group, int number)> note;
  // Ends the procedure with the given exit code. The host's version does not
  // return; if it does, zeigmsg returns normally.
  std::function<void(int code)> exit;
};

// Turns a zeigen2/zeigvec code into messages; returns the handle of the last
// message logged (0 when none).
int zeigmsg(int code, const EigenMessageSink& sink);

// ---- Building blocks --------------------------------------------------------

// Householder reduction of the packed matrix a to tridiagonal form d, e, e2.
// a receives the Householder vectors; the diagonal slot of row i receives the
// scale h of step i (0 when the step was skipped).
void ztred3(int n, double* a, double* d, double* e, double* e2);

// Implicit QL with Wilkinson shifts; d, e are left as they are, e2 gets zeros
// where the matrix splits into blocks. w receives the eigenvalues in
// descending order and ind their block numbers. rv1 is scratch of n.
// Returns 0, or -(index + 1) of the eigenvalue that did not converge within
// iteration_limit iterations.
int zimtqlv(int n, const double* d, const double* e, double* e2, double* w, double* ind,
            double* rv1, int iteration_limit = 50);

// Gerschgorin interval [lower, upper] of the tridiagonal matrix d, e.
void gersch(int n, const double* d, const double* e, double* lower, double* upper);
// Number of eigenvalues of the tridiagonal matrix (d, e, e2) below x.
int sturm(int n, const double* d, const double* e, const double* e2, double x);
// The point at which bisection splits the interval [lo, hi].
double cut(double lo, double hi);
// All eigenvalues by bisection, descending, with block numbers as zimtqlv
// gives them; e2 gets zeros at the block boundaries. reltol 0 means
// 2.220446049250314e-16. scratch holds 2n doubles. Returns the number found.
int zbisect(int n, const double* d, const double* e, double* e2, double reltol, double* w,
            double* ind, double* scratch);

// Inverse iteration for the first m eigenvalues w (descending, block numbers
// ind) of the tridiagonal matrix. z receives m columns of n. scratch holds
// 4n doubles. Returns 0 or the worst quality code (-10, -20, -30).
int ztinvit(int n, const double* d, const double* e, const double* e2, int m, const double* w,
            const double* ind, double* z, double* scratch);

// Back-transformation of m tridiagonal eigenvectors with the Householder
// vectors that ztred3 left in a.
void ztrbak3(int n, const double* a, int m, double* z);

// Orthonormal basis of the k columns z (each n long) by Householder QR with
// column pivoting, written over z. scratch holds 2k doubles. Returns the
// rank found; when it is below k the extra columns are unit directions that
// complete an orthonormal set, not vectors of the span.
int modqrd(int n, int k, double* z, double* scratch);

// Re-orthonormalises the eigenvectors of clusters of (numerically) equal
// eigenvalues among the first nvec. d, e: the tridiagonal form. scratch holds
// 2*nvec doubles. Returns 0, or 97 when a cluster was rank deficient.
int zeiggrp(int n, int nvec, const double* eigval, const double* d, const double* e, double* z,
            double* scratch);

// Clears negligible entries and fixes the sign of each of the nvec vectors.
void zeigref(int n, int nvec, double* z);

}  // namespace kav
