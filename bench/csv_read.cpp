// Reading a numeric CSV data set into observations, against reading the same
// file's bytes with no parsing at all.  The file (1e6 rows x 10 columns of
// numbers as a typical export writes them) is made once in a temporary
// folder; both measurements run in the same process, so the ratio holds on a
// noisy machine.  "ratio_to_raw" is the parse time over the raw read time,
// both as processor time of this process (user and system), which other
// jobs on a shared machine disturb far less than the wall clock.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "host/csv.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 1'000'000;
constexpr int kCols = 10;

struct BenchFile {
  fs::path dir;
  std::string with_sidecar, without_sidecar;
  std::int64_t bytes = 0;

  BenchFile() {
    std::string pattern = (fs::temp_directory_path() / "kav-csv-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
    with_sidecar = (dir / "typed.csv").string();
    without_sidecar = (dir / "plain.csv").string();
    kav::DataSetHeader h;
    for (int c = 0; c < kCols; ++c) h.vars.push_back({"x" + std::to_string(c + 1), "", {}, 8});
    auto writer = kav::open_csv_writer(with_sidecar, h);
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> normal(50.0, 15.0);
    kav::Observation obs;
    obs.resize(kCols);
    for (int r = 0; r < kRows; ++r) {
      // Survey-like values: scores with up to three decimals, a few integers.
      for (int c = 0; c < kCols; ++c)
        obs.num[c] = c < 3 ? std::round(normal(rng)) : std::round(normal(rng) * 1000) / 1000;
      writer->write(obs);
    }
    writer->commit();
    fs::copy_file(with_sidecar, without_sidecar);
    bytes = static_cast<std::int64_t>(fs::file_size(with_sidecar));
  }
  ~BenchFile() { fs::remove_all(dir); }
};

BenchFile& bench_file() {
  static BenchFile file;
  return file;
}

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Reads the whole file into a buffer, as fast as stdio allows.
std::size_t read_raw(const std::string& path, std::vector<char>& buf) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  std::size_t total = 0, got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) total += got;
  std::fclose(f);
  return total;
}

double raw_seconds(const std::string& path) {
  std::vector<char> buf(1 << 20);
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(read_raw(path, buf));
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void BM_RawRead(benchmark::State& state) {
  BenchFile& file = bench_file();
  std::vector<char> buf(1 << 20);
  for (auto _ : state) benchmark::DoNotOptimize(read_raw(file.with_sidecar, buf));
  state.SetBytesProcessed(state.iterations() * file.bytes);
}

void read_csv(benchmark::State& state, const std::string& path) {
  BenchFile& file = bench_file();
  const double raw = raw_seconds(path);
  double total = 0, sum = 0;
  for (auto _ : state) {
    const double t0 = cpu_seconds();
    auto reader = kav::open_csv_reader(path, kav::CsvReadOptions{});
    kav::Observation obs;
    while (reader->next(obs)) sum += obs.num[kCols - 1];
    total += cpu_seconds() - t0;
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(state.iterations() * file.bytes);
  state.counters["ratio_to_raw"] = total / static_cast<double>(state.iterations()) / raw;
  state.counters["file_MB"] = static_cast<double>(file.bytes) / 1e6;
}

// Kinds from the sidecar: one pass over the file.
void BM_ReadCsvTyped(benchmark::State& state) {
  read_csv(state, bench_file().with_sidecar);
}
// No sidecar: a first pass infers the kinds, then the rows are read.
void BM_ReadCsvInferred(benchmark::State& state) {
  read_csv(state, bench_file().without_sidecar);
}

BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadCsvTyped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadCsvInferred)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
