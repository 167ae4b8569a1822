// The moment pass over in-memory raw data: rows per second with one and two
// worker threads (and in observation mode), each against a plain two-pass
// computation (one loop for the means, one for the centred crossproducts)
// timed in the same process on the same data.  Counters:
//   rows_per_second  rows of the pass per second
//   vs_two_pass      two-pass time / pass time (above 1: the pass is faster)
//   cpu_per_pass     processor seconds of all threads per pass, so that the
//                    cost of the hand-overs shows even on a busy machine
// The crossproduct kernel alone reports its floating-point rate (GFLOPs).
//
//   bench_moments --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "factor/zacorrn.h"
#include "host/bygroup.h"
#include "host/services.h"
#include "host/session.h"
#include "numeric/vector_kernels.h"

namespace kav {
namespace {

// Rows held compactly (one flat array) so that a million rows fit; each
// observation is copied out as a memory data set would hand it over.
class FlatReader : public ObsReader {
 public:
  FlatReader(const std::vector<double>* values, int p, std::int64_t rows)
      : v_(values), p_(p), n_(rows) {
    for (int j = 0; j < p; ++j) {
      Variable var;
      char name[16];
      std::snprintf(name, sizeof name, "x%d", j + 1);
      var.name = name;
      h_.vars.push_back(var);
    }
    h_.name = "WORK.BENCH";
  }
  const DataSetHeader& header() const override { return h_; }
  bool next(Observation& obs) override {
    if (row_ >= n_) return false;
    if (obs.num.size() != static_cast<std::size_t>(p_)) obs.resize(static_cast<std::size_t>(p_));
    const double* src = v_->data() + row_ * p_;
    std::copy(src, src + p_, obs.num.begin());
    ++row_;
    return true;
  }
  ObsPosition note() const override { return {row_, row_ + 1}; }
  void point(const ObsPosition& pos) override { row_ = pos.offset; }
  std::int64_t count_hint() const override { return n_; }

 private:
  const std::vector<double>* v_;
  int p_;
  std::int64_t n_, row_ = 0;
  DataSetHeader h_;
};

struct Data {
  int p;
  std::int64_t n;
  std::vector<double> values;  // row-major
};

const Data& data(int p, std::int64_t n) {
  static std::map<std::pair<int, std::int64_t>, std::unique_ptr<Data>> cache;
  auto& slot = cache[{p, n}];
  if (!slot) {
    slot = std::make_unique<Data>(Data{p, n, std::vector<double>(static_cast<std::size_t>(p * n))});
    std::mt19937_64 rng(42);
    std::normal_distribution<double> z(0, 1);
    for (std::int64_t i = 0; i < n; ++i) {
      const double common = z(rng);
      for (int j = 0; j < p; ++j)
        slot->values[static_cast<std::size_t>(i * p + j)] = 10.0 * j + common + z(rng);
    }
  }
  return *slot;
}

// The plain way: means in one loop, centred crossproducts in a second.
double two_pass_seconds(const Data& d) {
  static std::map<std::pair<int, std::int64_t>, double> cache;
  auto found = cache.find({d.p, d.n});
  if (found != cache.end()) return found->second;
  const auto t0 = std::chrono::steady_clock::now();
  const int p = d.p;
  std::vector<double> mean(static_cast<std::size_t>(p), 0.0), dev(static_cast<std::size_t>(p));
  std::vector<double> sscp(static_cast<std::size_t>(p * (p + 1) / 2), 0.0);
  for (std::int64_t i = 0; i < d.n; ++i)
    for (int j = 0; j < p; ++j) mean[j] += d.values[static_cast<std::size_t>(i * p + j)];
  for (double& m : mean) m /= static_cast<double>(d.n);
  for (std::int64_t i = 0; i < d.n; ++i) {
    for (int j = 0; j < p; ++j) dev[j] = d.values[static_cast<std::size_t>(i * p + j)] - mean[j];
    double* row = sscp.data();
    for (int j = 0; j < p; ++j) {
      for (int k = 0; k <= j; ++k) row[k] += dev[j] * dev[k];
      row += j + 1;
    }
  }
  benchmark::DoNotOptimize(sscp.data());
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  cache[{d.p, d.n}] = s;
  return s;
}

// User and system time of every thread of the process.
double process_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return sec(u.ru_utime) + sec(u.ru_stime);
}

// args: p, rows, "zacorr_threads" (0 is observation mode)
void BM_MomentPass(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const std::int64_t n = state.range(1);
  const Data& d = data(p, n);
  const double baseline = two_pass_seconds(d);
  std::ostringstream log;
  Session session(":memory:", &log);
  StepContext ctx(session, {});
  ctx.xjsympn("zacorr_threads", std::to_string(state.range(2)));
  std::vector<double> mean(p), sd(p), corr(p * (p + 1) / 2), work(p);
  double nobs = 0, sumwgt = 0, vardiv = 0, seconds = 0;
  const double cpu0 = process_cpu_seconds();
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    FlatReader reader(&d.values, p, n);
    ByGroups groups(reader, {});
    groups.xbynext();
    zacorrInfo_S info;
    info.fileid = &groups;
    info.host = &ctx;
    for (int j = 0; j < p; ++j) info.vars.push_back(j);
    info.mean = mean.data();
    info.std = sd.data();
    info.corr = corr.data();
    info.work = work.data();
    info.nobsPtr = &nobs;
    info.sumwgtPtr = &sumwgt;
    info.vardivPtr = &vardiv;
    if (zacorrn(&info) != 0) state.SkipWithError("the pass failed");
    benchmark::DoNotOptimize(corr.data());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  const double per_pass = seconds / static_cast<double>(state.iterations());
  state.counters["rows_per_second"] = static_cast<double>(n) / per_pass;
  state.counters["vs_two_pass"] = baseline / per_pass;
  state.counters["two_pass_rows_per_second"] = static_cast<double>(n) / baseline;
  state.counters["cpu_per_pass"] =
      (process_cpu_seconds() - cpu0) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MomentPass)
    ->ArgNames({"p", "rows", "threads"})
    ->Args({20, 1000000, 1})
    ->Args({20, 1000000, 2})
    ->Args({20, 1000000, 0})
    ->Args({100, 200000, 1})
    ->Args({100, 200000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The crossproduct kernel on one full buffer of 64 rows: 2 flops per
// product, p(p+1)/2 products and p sums per row.
void BM_CrossproductKernel(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const long n = 64;
  std::vector<double> buffer(static_cast<std::size_t>(p * n)), sums(p), sscp(p * (p + 1) / 2);
  std::mt19937_64 rng(7);
  std::normal_distribution<double> z(0, 1);
  for (double& v : buffer) v = z(rng);
  for (auto _ : state) {
    zvscpm(buffer.data(), p, n, n, sums.data(), sscp.data());
    benchmark::DoNotOptimize(sscp.data());
  }
  const double flops = 2.0 * n * (p * (p + 1) / 2.0 + p);
  state.counters["GFLOPs"] = benchmark::Counter(
      flops * 1e-9 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CrossproductKernel)->Arg(20)->Arg(100)->Arg(300);

}  // namespace
}  // namespace kav

BENCHMARK_MAIN();
