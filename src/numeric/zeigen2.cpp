// Entry points of the symmetric eigensolver: zeigen2 reduces the matrix and
// finds all eigenvalues (and optionally the leading eigenvectors); zeigvec
// finds eigenvectors later from what zeigen2 left in the workspace, so that
// a caller can decide how many it needs after seeing the eigenvalues.

#include <algorithm>
#include <bit>
#include <cstdint>

#include "numeric/eigen.h"

namespace kav {
namespace {

bool bad_arguments(int n, const double* a, const double* eigval, int nvec, const double* eigvec,
                   const double* work) {
  return n < 1 || nvec < 0 || nvec > n || a == nullptr || eigval == nullptr || work == nullptr ||
         (nvec >= 1 && eigvec == nullptr);
}

// The host's missing values are NaNs whose upper 16 bits are all ones.
bool is_missing(double x) {
  return (std::bit_cast<std::uint64_t>(x) >> 48) == 0xffffu;
}

// Inverse iteration, back-transformation, cluster clean-up and signs for the
// first nvec eigenvalues. With stop_on_poor a vector of the worst quality
// ends the work before the back-transformation.
int eigenvectors(int n, int nvec, const double* a, const double* eigval, double* z, double* work,
                 bool stop_on_poor) {
  const double* d = work;
  const double* e = work + n;
  const double* e2 = work + 2 * n;
  const double* ind = work + 3 * n;
  double* scratch = work + 4 * n;
  const int quality = ztinvit(n, d, e, e2, nvec, eigval, ind, z, scratch);
  if (stop_on_poor && quality <= kEigenVectorBad) return quality;
  ztrbak3(n, a, nvec, z);
  int code = quality;
  if (nvec > 1 && zeiggrp(n, nvec, eigval, d, e, z, scratch) != 0) code = kEigenClusterNotOrthonormal;
  zeigref(n, nvec, z);
  return code;
}

}  // namespace

int zeigen2(int n, double* a, double* eigval, int nvec, double* eigvec, double* work) {
  return zeigen2(n, a, eigval, nvec, eigvec, work, EigenTuning{});
}

int zeigen2(int n, double* a, double* eigval, int nvec, double* eigvec, double* work,
            const EigenTuning& tuning) {
  if (bad_arguments(n, a, eigval, nvec, eigvec, work)) return kEigenBadArguments;
  double* d = work;
  double* e = work + n;
  double* e2 = work + 2 * n;
  double* ind = work + 3 * n;
  double* scratch = work + 4 * n;
  double* saved = work + 5 * n;
  ztred3(n, a, d, e, e2);
  std::copy(work, work + 3 * n, saved);
  const bool ql_failed = zimtqlv(n, d, e, e2, eigval, ind, scratch, tuning.ql_iteration_limit) != 0;
  if (ql_failed) {
    std::copy(saved, saved + 3 * n, work);
    if (zbisect(n, d, e, e2, 0.0, eigval, ind, scratch) < n) return kEigenMissingOrBisectionFailed;
  }
  if (nvec == 0) return ql_failed ? kEigenQlFailed : kEigenOk;
  const int code = eigenvectors(n, nvec, a, eigval, eigvec, work, false);
  if (code == kEigenClusterNotOrthonormal) return code;
  return ql_failed ? code + kEigenQlFailed : code;
}

int zeigvec(int n, int nvec, double* a, const double* eigval, double* eigvec, double* work) {
  if (nvec == 0) return 0;
  if (bad_arguments(n, a, eigval, nvec, eigvec, work)) return kEigenBadArguments;
  if (std::any_of(eigval, eigval + nvec, is_missing)) return kEigenMissingOrBisectionFailed;
  return eigenvectors(n, nvec, a, eigval, eigvec, work, true);
}

}  // namespace kav
