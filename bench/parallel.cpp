// Parallel analysis speed: N = 1000 observations on p = 50 variables, 1000
// simulated data sets, on 1 and 2 threads, against one correlation-and-
// eigenvalue computation of the same size timed in the same iterations.
//
// Counters: sims_per_s (simulated data sets per second), pa_ms (the whole
// analysis), baseline_ms (correlations of a 1000 x 50 data matrix held in
// memory and their eigenvalues), ratio (time per simulated data set /
// baseline_ms: what one simulation costs in such computations; it also
// draws the data), pa_ratio (pa_ms / baseline_ms).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "numeric/eigen.h"
#include "tkxfac/tkxaids.h"

namespace {

constexpr int kObs = 1000, kVars = 50, kSims = 1000;

// The baseline: correlations of a data matrix already in memory by centred
// cross products, then the eigenvalues.
struct Baseline {
  std::vector<double> data, mean, cross, packed, values, work;
  Baseline()
      : data(static_cast<std::size_t>(kObs) * kVars),
        mean(kVars),
        cross(static_cast<std::size_t>(kVars) * kVars),
        packed(static_cast<std::size_t>(kVars) * (kVars + 1) / 2),
        values(kVars),
        work(8 * kVars) {
    std::mt19937_64 gen(2024);
    std::normal_distribution<double> z;
    for (double& v : data) v = z(gen);
  }
  void run() {
    std::fill(mean.begin(), mean.end(), 0.0);
    for (int i = 0; i < kObs; ++i)
      for (int j = 0; j < kVars; ++j) mean[j] += data[static_cast<std::size_t>(i) * kVars + j];
    for (double& m : mean) m /= kObs;
    std::fill(cross.begin(), cross.end(), 0.0);
    std::vector<double> row(kVars);
    for (int i = 0; i < kObs; ++i) {
      for (int j = 0; j < kVars; ++j)
        row[j] = data[static_cast<std::size_t>(i) * kVars + j] - mean[j];
      for (int j = 0; j < kVars; ++j) {
        double* c = &cross[static_cast<std::size_t>(j) * kVars];
        for (int k = 0; k <= j; ++k) c[k] += row[j] * row[k];
      }
    }
    std::size_t at = 0;
    for (int i = 0; i < kVars; ++i)
      for (int j = 0; j <= i; ++j)
        packed[at++] = cross[static_cast<std::size_t>(i) * kVars + j] /
                       std::sqrt(cross[static_cast<std::size_t>(i) * kVars + i] *
                                 cross[static_cast<std::size_t>(j) * kVars + j]);
    kav::zeigen2(kVars, packed.data(), values.data(), 0, nullptr, work.data());
    benchmark::DoNotOptimize(values.data());
  }
};

void ParallelAnalysis(benchmark::State& state) {
  kav::ParallelRequest request;
  request.nvar = kVars;
  request.nobs = kObs;
  request.nsims = kSims;
  request.alpha = 0.05;
  request.seed = 12345;
  request.threads = static_cast<int>(state.range(0));
  Baseline baseline;
  kav::ParallelResult result;
  constexpr int kBaselineRuns = 50;  // the baseline is short; time several
  double pa_seconds = 0, baseline_seconds = 0;
  using clock = std::chrono::steady_clock;
  for (auto _ : state) {
    auto t0 = clock::now();
    if (kav::parallel_analysis(request, result) != 0)
      state.SkipWithError("parallel analysis failed");
    benchmark::DoNotOptimize(result.critical.data());
    auto t1 = clock::now();
    for (int k = 0; k < kBaselineRuns; ++k) baseline.run();
    auto t2 = clock::now();
    pa_seconds += std::chrono::duration<double>(t1 - t0).count();
    baseline_seconds += std::chrono::duration<double>(t2 - t1).count() / kBaselineRuns;
  }
  const double iters = static_cast<double>(state.iterations());
  state.counters["sims_per_s"] = kSims * iters / pa_seconds;
  state.counters["pa_ms"] = 1e3 * pa_seconds / iters;
  state.counters["baseline_ms"] = 1e3 * baseline_seconds / iters;
  state.counters["ratio"] = (pa_seconds / kSims) / baseline_seconds;
  state.counters["pa_ratio"] = pa_seconds / baseline_seconds;
  state.counters["threads"] = result.threads;
}

}  // namespace

BENCHMARK(ParallelAnalysis)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

BENCHMARK_MAIN();
