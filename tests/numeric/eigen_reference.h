#pragma once
// Test matrices for the eigensolver and the LAPACK reference it is checked
// against.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

extern "C" void dsyevr_(const char* jobz, const char* range, const char* uplo, const int* n,
                        double* a, const int* lda, const double* vl, const double* vu,
                        const int* il, const int* iu, const double* abstol, int* m, double* w,
                        double* z, const int* ldz, int* isuppz, double* work, const int* lwork,
                        int* iwork, const int* liwork, int* info, std::size_t, std::size_t,
                        std::size_t);

namespace kav::test {

// Dense symmetric matrix, column-major n x n.
struct Dense {
  int n = 0;
  std::vector<double> v;
  explicit Dense(int order) : n(order), v(static_cast<std::size_t>(order) * order, 0.0) {}
  double& operator()(int i, int j) { return v[static_cast<std::size_t>(j) * n + i]; }
  double operator()(int i, int j) const { return v[static_cast<std::size_t>(j) * n + i]; }
};

inline std::vector<double> packed(const Dense& a) {
  std::vector<double> p;
  p.reserve(static_cast<std::size_t>(a.n) * (a.n + 1) / 2);
  for (int i = 0; i < a.n; ++i)
    for (int j = 0; j <= i; ++j) p.push_back(a(i, j));
  return p;
}

// Eigenvalues in ascending order from LAPACK (and vectors when wanted).
inline std::vector<double> lapack_eigenvalues(const Dense& a,
                                              std::vector<double>* vectors = nullptr) {
  int n = a.n;
  std::vector<double> copy = a.v, w(n), z(vectors ? static_cast<std::size_t>(n) * n : 1);
  std::vector<int> isuppz(2 * n);
  const char jobz = vectors ? 'V' : 'N', range = 'A', uplo = 'L';
  double vl = 0, vu = 0, abstol = 0;
  int il = 0, iu = 0, m = 0, ldz = vectors ? n : 1, info = 0, lwork = -1, liwork = -1, iq = 0;
  double wq = 0;
  dsyevr_(&jobz, &range, &uplo, &n, copy.data(), &n, &vl, &vu, &il, &iu, &abstol, &m, w.data(),
          z.data(), &ldz, isuppz.data(), &wq, &lwork, &iq, &liwork, &info, 1, 1, 1);
  lwork = static_cast<int>(wq);
  liwork = iq;
  std::vector<double> work(lwork);
  std::vector<int> iwork(liwork);
  dsyevr_(&jobz, &range, &uplo, &n, copy.data(), &n, &vl, &vu, &il, &iu, &abstol, &m, w.data(),
          z.data(), &ldz, isuppz.data(), work.data(), &lwork, iwork.data(), &liwork, &info, 1, 1,
          1);
  if (vectors) *vectors = z;
  return w;
}

// Q diag(lambda) Q' with Q a product of random Householder reflections.
inline Dense with_spectrum(const std::vector<double>& lambda, std::mt19937_64& rng) {
  const int n = static_cast<int>(lambda.size());
  Dense a(n);
  for (int i = 0; i < n; ++i) a(i, i) = lambda[i];
  std::normal_distribution<double> normal;
  for (int r = 0; r < 3; ++r) {
    std::vector<double> u(n);
    double uu = 0;
    for (double& x : u) {
      x = normal(rng);
      uu += x * x;
    }
    // A := H A H with H = I - 2uu'/u'u.
    std::vector<double> au(n, 0.0);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) au[i] += a(i, j) * u[j];
    double uau = 0;
    for (int i = 0; i < n; ++i) uau += u[i] * au[i];
    const double c = 2.0 / uu;
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        a(i, j) += -c * (u[i] * au[j] + au[i] * u[j]) + c * c * uau * u[i] * u[j];
  }
  for (int j = 0; j < n; ++j)
    for (int i = j + 1; i < n; ++i) a(j, i) = a(i, j);
  return a;
}

inline Dense random_matrix(int n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unif(-1.0, 1.0);
  Dense a(n);
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) a(i, j) = a(j, i) = unif(rng);
  return a;
}

// D R D with D spanning ten orders of magnitude.
inline Dense graded_matrix(int n, std::mt19937_64& rng) {
  Dense a = random_matrix(n, rng);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      a(i, j) *= std::pow(10.0, -10.0 * (i + j) / (2.0 * std::max(n - 1, 1)));
  return a;
}

// Groups of eigenvalues that differ only in the tenth digit.
inline Dense clustered_matrix(int n, std::mt19937_64& rng) {
  std::vector<double> lambda(n);
  for (int i = 0; i < n; ++i) lambda[i] = (i % 4) + 1e-10 * (i / 4) + (i % 4 == 3 ? -5.0 : 0.0);
  return with_spectrum(lambda, rng);
}

// Eigenvalues repeated exactly, with multiplicities up to five.
inline Dense repeated_matrix(int n, std::mt19937_64& rng) {
  std::vector<double> lambda(n);
  for (int i = 0; i < n; ++i) lambda[i] = static_cast<double>((i / 5) % 7) - 2.0;
  return with_spectrum(lambda, rng);
}

}  // namespace kav::test
