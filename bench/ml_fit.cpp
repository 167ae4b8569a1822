// Maximum likelihood fit speed as a ratio to one eigen-decomposition (all
// eigenvalues and vectors) of the same matrix, both timed in the same
// process.  The matrix is the correlation matrix of 2,000 simulated
// observations of a five-factor model on p = 50, 100, 200 variables, fitted
// with five factors at the default CONVERGE= and MAXITER=.
//
// Counters: ml_ms and eigen_ms (time per fit and per decomposition), ratio
// (ml_ms / eigen_ms: the fit's cost in decompositions), iterations and
// evaluations of the fit.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <random>
#include <sstream>
#include <vector>

#include "factor/extract/factnr.h"
#include "factor/state/method_codes.h"
#include "factor/state/scratch.h"
#include "factor/state/step_record.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"
#include "numeric/eigen.h"
#include "numeric/matrix.h"

namespace {

constexpr int kFactors = 5;
constexpr int kObservations = 2000;

// Packed correlation matrix of simulated data: each variable loads 0.4-0.8
// on one factor (in turn) and 0-0.2 on the others.
std::vector<double> simulated_correlations(int p) {
  std::mt19937_64 rng(20240611u + static_cast<unsigned>(p));
  std::uniform_real_distribution<double> main(0.4, 0.8), cross(0.0, 0.2);
  std::normal_distribution<double> normal;
  std::vector<double> loadings(static_cast<std::size_t>(p) * kFactors), unique(p);
  for (int i = 0; i < p; ++i) {
    double h = 0;
    for (int k = 0; k < kFactors; ++k) {
      const double l = k == i % kFactors ? main(rng) : cross(rng);
      loadings[static_cast<std::size_t>(i) * kFactors + k] = l;
      h += l * l;
    }
    unique[i] = std::sqrt(std::max(0.05, 1 - h));
  }
  std::vector<double> sums(p, 0), cross_products(static_cast<std::size_t>(p) * (p + 1) / 2, 0),
      row(p), f(kFactors);
  for (int n = 0; n < kObservations; ++n) {
    for (double& v : f) v = normal(rng);
    for (int i = 0; i < p; ++i) {
      double v = unique[i] * normal(rng);
      for (int k = 0; k < kFactors; ++k)
        v += loadings[static_cast<std::size_t>(i) * kFactors + k] * f[k];
      row[i] = v;
      sums[i] += v;
    }
    for (int i = 0; i < p; ++i)
      for (int j = 0; j <= i; ++j) cross_products[kav::packed_index(i, j)] += row[i] * row[j];
  }
  std::vector<double> r(cross_products.size());
  for (int i = 0; i < p; ++i)
    for (int j = 0; j <= i; ++j)
      r[kav::packed_index(i, j)] =
          cross_products[kav::packed_index(i, j)] - sums[i] * sums[j] / kObservations;
  std::vector<double> sd(p);
  kav::zcovcor(p, r.data(), sd.data());
  return r;
}

// One BY group's state, as the correlation preparation leaves it, for an
// ML fit with SMC priors and no printed output.
struct MlRun {
  std::ostringstream log;
  kav::Session session{":memory:", &log};
  kav::StepContext ctx{session, {}};
  kav::FACTSTEP step;
  kav::COMSTR* com = &step.com;
  std::vector<double> r, vstd, vmean, wt, communal, eigval, priors, cor, fact, datax;

  explicit MlRun(int p) : r(simulated_correlations(p)) {
    const auto n = static_cast<std::size_t>(p);
    vstd.assign(n, 1);
    for (auto* v : {&vmean, &wt, &communal, &eigval, &priors}) v->assign(n, 0);
    fact.assign(n * n, 0);
    datax.assign(10 * n, 0);
    *com = kav::COMSTR{};
    com->host = &ctx;
    com->step = &step;
    com->nvar = com->ntot = p;
    com->fmethod = kav::kFmMl;
    com->priortyp = kav::kPriSmc;
    com->nfactp = com->maxfact = kFactors;
    com->miss = std::nan("");
    com->mineigp = com->percentp = com->miss;
    com->singular = 1e-7;
    com->epsilon = 0.001;
    com->maxiter = 30;
    kav::fopt_set(com, kav::kFoptVarWeights);
    com->vmean = vmean.data();
    com->vstd = vstd.data();
    com->wt = wt.data();
    com->communal = communal.data();
    com->eigval = eigval.data();
    com->priors = priors.data();
    com->fact = fact.data();
    com->datax = datax.data();
    com->utid = &ctx.utility();
    com->utid->xcopen(kav::kUtilityOpenFlags);
    com->notec = com->utid->xcnote();
    com->utid->xcwrite(r.data(), r.size() * sizeof(double));
  }
  void fit() {
    cor = r;
    com->cor = cor.data();
    com->rc = 0;
    kav::factnr(com);
  }
};

void MlFitAgainstEigen(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  MlRun run(p);
  std::vector<double> a, values(p), vectors(static_cast<std::size_t>(p) * p), work(8 * p);
  double ml_seconds = 0, eigen_seconds = 0;
  using clock = std::chrono::steady_clock;
  for (auto _ : state) {
    auto t0 = clock::now();
    run.fit();
    benchmark::DoNotOptimize(run.fact.data());
    auto t1 = clock::now();
    a = run.r;
    kav::zeigen2(p, a.data(), values.data(), p, vectors.data(), work.data());
    benchmark::DoNotOptimize(vectors.data());
    auto t2 = clock::now();
    ml_seconds += std::chrono::duration<double>(t1 - t0).count();
    eigen_seconds += std::chrono::duration<double>(t2 - t1).count();
  }
  if (run.com->nfact != kFactors || run.com->iterrc != 0)
    state.SkipWithError("the fit did not converge to five factors");
  const double iters = static_cast<double>(state.iterations());
  state.counters["ml_ms"] = 1e3 * ml_seconds / iters;
  state.counters["eigen_ms"] = 1e3 * eigen_seconds / iters;
  state.counters["ratio"] = ml_seconds / eigen_seconds;
  state.counters["iterations"] = run.com->nrptr->iter;
  state.counters["evaluations"] = run.com->nrptr->nfct;
}

}  // namespace

BENCHMARK(MlFitAgainstEigen)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
