// Eigensolver speed as a ratio to LAPACK's dsyevr, both timed in the same
// process on the same random matrix: eigenvalues only, and with all vectors.
// The "ratio" counter is kav time / LAPACK time (below 1: kav is faster).

#include "numeric/eigen.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <random>
#include <vector>

extern "C" void dsyevr_(const char* jobz, const char* range, const char* uplo, const int* n,
                        double* a, const int* lda, const double* vl, const double* vu,
                        const int* il, const int* iu, const double* abstol, int* m, double* w,
                        double* z, const int* ldz, int* isuppz, double* work, const int* lwork,
                        int* iwork, const int* liwork, int* info, std::size_t, std::size_t,
                        std::size_t);

namespace {

struct Problem {
  int n;
  std::vector<double> dense;   // column-major, full
  std::vector<double> packed;  // lower triangle, row by row
};

Problem make_problem(int n) {
  Problem p{n, std::vector<double>(static_cast<std::size_t>(n) * n), {}};
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> unif(-1.0, 1.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      const double x = unif(rng);
      p.dense[static_cast<std::size_t>(j) * n + i] = x;
      p.dense[static_cast<std::size_t>(i) * n + j] = x;
      p.packed.push_back(x);
    }
  return p;
}

class Lapack {
 public:
  Lapack(int n, bool vectors)
      : n_(n),
        jobz_(vectors ? 'V' : 'N'),
        a_(static_cast<std::size_t>(n) * n),
        w_(n),
        z_(vectors ? static_cast<std::size_t>(n) * n : 1),
        isuppz_(2 * n) {
    int lwork = -1, liwork = -1, iq = 0;
    double wq = 0;
    call(&wq, lwork, &iq, liwork);
    work_.resize(static_cast<std::size_t>(wq));
    iwork_.resize(iq);
  }
  void run(const std::vector<double>& dense) {
    a_ = dense;
    call(work_.data(), static_cast<int>(work_.size()), iwork_.data(),
         static_cast<int>(iwork_.size()));
    benchmark::DoNotOptimize(w_.data());
  }

 private:
  void call(double* work, int lwork, int* iwork, int liwork) {
    const char range = 'A', uplo = 'L';
    double vl = 0, vu = 0, abstol = 0;
    int il = 0, iu = 0, m = 0, ldz = jobz_ == 'V' ? n_ : 1, info = 0;
    dsyevr_(&jobz_, &range, &uplo, &n_, a_.data(), &n_, &vl, &vu, &il, &iu, &abstol, &m, w_.data(),
            z_.data(), &ldz, isuppz_.data(), work, &lwork, iwork, &liwork, &info, 1, 1, 1);
  }
  int n_;
  char jobz_;
  std::vector<double> a_, w_, z_, work_;
  std::vector<int> isuppz_, iwork_;
};

void compare(benchmark::State& state, bool vectors) {
  const int n = static_cast<int>(state.range(0));
  const Problem p = make_problem(n);
  Lapack lapack(n, vectors);
  std::vector<double> a, values(n), z(vectors ? static_cast<std::size_t>(n) * n : 1),
      work(8 * static_cast<std::size_t>(n));
  double kav_seconds = 0, lapack_seconds = 0;
  using clock = std::chrono::steady_clock;
  for (auto _ : state) {
    auto t0 = clock::now();
    a = p.packed;
    kav::zeigen2(n, a.data(), values.data(), vectors ? n : 0, z.data(), work.data());
    benchmark::DoNotOptimize(values.data());
    auto t1 = clock::now();
    lapack.run(p.dense);
    auto t2 = clock::now();
    kav_seconds += std::chrono::duration<double>(t1 - t0).count();
    lapack_seconds += std::chrono::duration<double>(t2 - t1).count();
  }
  const double iters = static_cast<double>(state.iterations());
  state.counters["kav_ms"] = 1e3 * kav_seconds / iters;
  state.counters["lapack_ms"] = 1e3 * lapack_seconds / iters;
  state.counters["ratio"] = kav_seconds / lapack_seconds;
}

void EigenvaluesOnly(benchmark::State& state) {
  compare(state, false);
}
void EigenvaluesAndVectors(benchmark::State& state) {
  compare(state, true);
}

}  // namespace

BENCHMARK(EigenvaluesOnly)->Arg(50)->Arg(200)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(EigenvaluesAndVectors)
    ->Arg(50)
    ->Arg(200)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
