// The moment pass over in-memory raw data: rows per second with one and two
// worker threads (and in observation mode), each against a plain two-pass
// computation (one loop for the means, one for the centred crossproducts)
// timed in the same process on the same data.  Counters:
//   rows_per_second  rows of the pass per second
//   vs_two_pass      two-pass time / pass time (above 1: the pass is faster)
//   cpu_per_pass     processor seconds of all threads per pass, so that the
//                    cost of the hand-overs shows even on a busy machine
//   read_s, process_s  seconds per pass the reader spent filling buffers and
//                    the workers spent processing them (summed over workers),
//                    from the pass's own "zacorr" debug line; when process_s
//                    grows with the thread count the kernel itself is slowed
// The same pass reading a CSV file (the CSV engine in the loop) for p = 20,
// 100 and 300 (the last file is about 5 GB in the temporary folder; every
// file is removed when the benchmark ends).  The crossproduct kernel alone reports its
// floating-point rate (GFLOPs), and BM_PeakFlops measures the peak it is
// compared with: 16 independent multiply-add chains on one core, compiled
// with the same flags as the kernel (so the same vector instructions).
//
//   bench_moments --benchmark_counters_tabular=true
//   bench_moments --benchmark_filter='Csv|Kernel|Peak'   (the quicker part)

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "factor/zacorrn.h"
#include "host/bygroup.h"
#include "host/csv.h"
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

// Output arrays of one pass and the call itself.
struct Results {
  explicit Results(int p) : p(p), mean(p), sd(p), corr(p * (p + 1) / 2), work(p) {}
  bool pass(ByGroups& groups, StepContext& ctx) {
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
    const bool ok = zacorrn(&info) == 0;
    benchmark::DoNotOptimize(corr.data());
    return ok;
  }
  int p;
  std::vector<double> mean, sd, corr, work;
  double nobs = 0, sumwgt = 0, vardiv = 0;
};

// The reading and processing times of the passes, from the pass's debug
// lines ("... reading 0.352 s, processing 1.771 s (all threads)"), averaged.
void add_phase_counters(benchmark::State& state, const std::string& log) {
  double read = 0, process = 0;
  int passes = 0;
  for (std::size_t at = log.find("reading "); at != std::string::npos;
       at = log.find("reading ", at + 1)) {
    double r = 0, p = 0;
    if (std::sscanf(log.c_str() + at, "reading %lf s, processing %lf s", &r, &p) == 2) {
      read += r;
      process += p;
      ++passes;
    }
  }
  if (passes == 0) return;
  state.counters["read_s"] = read / passes;
  state.counters["process_s"] = process / passes;
}

// Runs the benchmark's passes over the readers `open` gives, one per pass,
// with "zacorr_threads" from the third argument; returns the seconds per pass
// and adds the reading and processing counters.
template <typename Open>
double seconds_per_pass(benchmark::State& state, int p, Open open) {
  std::ostringstream log;
  Session session(":memory:", &log);
  StepContext ctx(session, {});
  ctx.xjsympn("zacorr_threads", std::to_string(state.range(2)));
  session.options.debug.insert("zacorr");
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    std::unique_ptr<ObsReader> reader = open();
    ByGroups groups(*reader, {});
    groups.xbynext();
    if (!Results(p).pass(groups, ctx)) state.SkipWithError("the pass failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  add_phase_counters(state, log.str());
  return seconds / static_cast<double>(state.iterations());
}

// args: p, rows, "zacorr_threads" (0 is observation mode)
void BM_MomentPass(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const std::int64_t n = state.range(1);
  const Data& d = data(p, n);
  const double baseline = two_pass_seconds(d);
  const double cpu0 = process_cpu_seconds();
  const double per_pass =
      seconds_per_pass(state, p, [&] { return std::make_unique<FlatReader>(&d.values, p, n); });
  state.counters["rows_per_second"] = static_cast<double>(n) / per_pass;
  state.counters["vs_two_pass"] = baseline / per_pass;
  state.counters["two_pass_rows_per_second"] = static_cast<double>(n) / baseline;
  state.counters["cpu_per_pass"] =
      (process_cpu_seconds() - cpu0) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MomentPass)
    ->ArgNames({"p", "rows", "threads"})
    ->Args({20, 2000000, 1})
    ->Args({20, 2000000, 2})
    ->Args({20, 2000000, 0})
    ->Args({100, 2000000, 1})
    ->Args({100, 2000000, 2})
    ->Args({100, 2000000, 3})
    ->Args({100, 2000000, 4})
    ->Args({300, 2000000, 1})
    ->Args({300, 2000000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The CSV files of the run, removed (with their sidecars) when it ends.
struct CsvFiles {
  std::map<std::pair<int, std::int64_t>, std::string> paths;
  ~CsvFiles() {
    std::error_code ignored;
    for (const auto& [key, path] : paths) {
      std::filesystem::remove(path, ignored);
      std::filesystem::remove(csv_sidecar_path(path), ignored);
    }
  }
};

// The data written once as a CSV file with its sidecar (so kinds are not
// inferred), kept for the run in the temporary folder.
std::string csv_file(const Data& d) {
  static CsvFiles files;
  auto& path = files.paths[{d.p, d.n}];
  if (!path.empty()) return path;
  path = (std::filesystem::temp_directory_path() /
          ("kav_bench_moments_" + std::to_string(d.p) + "_" + std::to_string(d.n) + ".csv"))
             .string();
  FlatReader source(&d.values, d.p, d.n);
  auto writer = open_csv_writer(path, source.header());
  Observation obs;
  while (source.next(obs)) writer->write(obs);
  writer->commit();
  return path;
}

// args: p, rows, "zacorr_threads"
void BM_MomentPassCsv(benchmark::State& state) {
  const int p = static_cast<int>(state.range(0));
  const std::int64_t n = state.range(1);
  const Data& d = data(p, n);
  const double baseline = two_pass_seconds(d);
  const std::string path = csv_file(d);
  const double per_pass = seconds_per_pass(state, p, [&]() -> std::unique_ptr<ObsReader> {
    CsvReadOptions opts;
    opts.name = "BENCH";
    return open_csv_reader(path, opts);
  });
  state.counters["rows_per_second"] = static_cast<double>(n) / per_pass;
  state.counters["vs_two_pass"] = baseline / per_pass;
  state.counters["MB_per_second"] =
      static_cast<double>(std::filesystem::file_size(path)) / per_pass * 1e-6;
}
BENCHMARK(BM_MomentPassCsv)
    ->ArgNames({"p", "rows", "threads"})
    ->Args({20, 2000000, 1})
    ->Args({20, 2000000, 2})
    ->Args({100, 2000000, 1})
    ->Args({100, 2000000, 2})
    ->Args({300, 2000000, 1})
    ->Args({300, 2000000, 2})
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

// The peak the kernel is compared with: independent multiply-add chains,
// enough of them to hide the latency of each operation, counting 2 flops
// per multiply-add.
void BM_PeakFlops(benchmark::State& state) {
  constexpr int kChains = 16;
  alignas(64) double acc[kChains];
  for (int k = 0; k < kChains; ++k) acc[k] = 1.0 + k * 1e-3;
  const double m = 0.9999999, c = 1e-7;
  const long reps = 1 << 16;
  for (auto _ : state) {
    for (long r = 0; r < reps; ++r)
      for (int k = 0; k < kChains; ++k) acc[k] = acc[k] * m + c;
    benchmark::DoNotOptimize(acc);
    benchmark::ClobberMemory();
  }
  state.counters["GFLOPs"] =
      benchmark::Counter(2.0 * kChains * reps * 1e-9 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PeakFlops);

}  // namespace
}  // namespace kav

BENCHMARK_MAIN();
