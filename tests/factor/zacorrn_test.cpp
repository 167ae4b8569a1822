// The moment pass against an independent two-pass computation in long
// double, its counts, messages and stops, and the agreement of its modes
// (observation mode, one buffer, several worker threads).
#include "factor/input/zacorrn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "factor/input/zcthread.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"

namespace kav {
namespace {

struct Host {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  StepContext ctx{session, {}};

  int count(int group, int number) const {
    int n = 0;
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) ++n;
    return n;
  }
  std::string text(int group, int number) const {
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) return e.text;
    return "(no message)";
  }
  bool has_text(const std::string& part) const {
    for (const auto& e : session.log.entries())
      if (e.text.find(part) != std::string::npos) return true;
    return false;
  }
  void threads(const std::string& value) { ctx.xjsympn("zacorr_threads", value); }
};

// Raw data: p analysis columns x1..xp, then F and W.
std::shared_ptr<MemoryDataSet> make_data(int p, const std::vector<std::vector<double>>& rows) {
  auto ds = std::make_shared<MemoryDataSet>();
  ds->header.name = "WORK.RAW";
  for (int j = 0; j <= p + 1; ++j) {
    ds->header.vars.emplace_back();
    ds->header.vars.back().name = j < p ? "x" + std::to_string(j + 1) : j == p ? "F" : "W";
  }
  for (const auto& r : rows) {
    Observation o;
    o.resize(ds->header.vars.size());
    for (std::size_t k = 0; k < r.size(); ++k) o.num[k] = r[k];
    ds->rows.push_back(o);
  }
  return ds;
}

struct Request {
  bool freq = false, weight = false, noint = false;
  std::string vardef = "DF";
};

struct Result {
  int rc = -1;
  std::vector<double> mean, std, corr;
  double nobs = 0, sumwgt = 0, vardiv = 0;
  NOBSTR counts;
};

// The pass over the first group of any reader; the variables are its first p
// columns (then F and W when asked for).
Result run_reader(Host& h, ObsReader& reader, int p, const Request& rq = {}) {
  ByGroups groups(reader, {});
  EXPECT_EQ(groups.xbynext(), 1);
  Result r;
  r.mean.assign(p, -1);
  r.std.assign(p, -1);
  r.corr.assign(p * (p + 1) / 2, -1);
  std::vector<double> work(p);
  zacorrInfo_S info;
  info.flags = rq.noint ? kZacorrNoint : 0;
  info.fileid = &groups;
  info.host = &h.ctx;
  for (int j = 0; j < p; ++j) info.vars.push_back(j);
  if (rq.freq) info.freqvar = p;
  if (rq.weight) info.weightvar = p + 1;
  info.vardef = (rq.vardef + "        ").substr(0, 8);
  info.sumwgtPtr = &r.sumwgt;
  info.vardivPtr = &r.vardiv;
  info.mean = r.mean.data();
  info.std = r.std.data();
  info.corr = r.corr.data();
  info.work = work.data();
  info.nobsPtr = &r.nobs;
  info.nobsp = &r.counts;
  r.rc = zacorrn(&info);
  return r;
}

Result run(Host& h, std::shared_ptr<MemoryDataSet> data, int p, const Request& rq) {
  auto reader = open_memory_reader(data);
  return run_reader(h, *reader, p, rq);
}

// The same statistics, two passes in long double, straight from the rules:
// frequencies are truncated, observations with a frequency below 1, a
// missing or non-positive weight or any missing value are left out.
struct Reference {
  std::vector<long double> mean, std, corr;
  long double nobs = 0, sumwgt = 0, vardiv = 0;
  double nread = 0, nused = 0, freqs_read = 0, weights_read = 0;
};

Reference reference(const MemoryDataSet& data, int p, const Request& rq) {
  Reference ref;
  std::vector<std::pair<long double, const double*>> used;
  for (const Observation& o : data.rows) {
    ref.nread += 1;
    long double f = 1, w = 1;
    if (rq.freq) {
      if (is_missing(o.num[p])) continue;
      f = std::floor(o.num[p]);
      if (f < 1) continue;
      ref.freqs_read += static_cast<double>(f);
    }
    if (rq.weight) {
      if (is_missing(o.num[p + 1]) || o.num[p + 1] <= 0) continue;
      w = o.num[p + 1];
      ref.weights_read += static_cast<double>(w * f);
    }
    bool miss = false;
    for (int j = 0; j < p; ++j) miss = miss || is_missing(o.num[j]);
    if (miss) continue;
    ref.nused += 1;
    ref.nobs += f;
    ref.sumwgt += f * w;
    used.push_back({f * w, o.num.data()});
  }
  ref.mean.assign(p, 0);
  for (auto& [c, x] : used)
    for (int j = 0; j < p; ++j) ref.mean[j] += c * x[j];
  for (int j = 0; j < p; ++j) ref.mean[j] /= ref.sumwgt;
  std::vector<long double> cp(p * (p + 1) / 2, 0);
  for (auto& [c, x] : used)
    for (int j = 0; j < p; ++j)
      for (int k = 0; k <= j; ++k) {
        const long double dj = rq.noint ? x[j] : x[j] - ref.mean[j];
        const long double dk = rq.noint ? x[k] : x[k] - ref.mean[k];
        cp[j * (j + 1) / 2 + k] += c * dj * dk;
      }
  const long double df = rq.noint ? 0 : 1;
  const std::string& v = rq.vardef;
  if (v == "N")
    ref.vardiv = ref.nobs;
  else if (v == "DF")
    ref.vardiv = ref.nobs - df;
  else if (v == "WDF")
    ref.vardiv = ref.sumwgt - df;
  else
    ref.vardiv = ref.sumwgt;
  ref.std.assign(p, 0);
  for (int j = 0; j < p; ++j) ref.std[j] = std::sqrt(cp[j * (j + 1) / 2 + j] / ref.vardiv);
  ref.corr.assign(cp.size(), 0);
  for (int j = 0; j < p; ++j)
    for (int k = 0; k <= j; ++k)
      ref.corr[j * (j + 1) / 2 + k] =
          cp[j * (j + 1) / 2 + k] / std::sqrt(cp[j * (j + 1) / 2 + j] * cp[k * (k + 1) / 2 + k]);
  return ref;
}

// Relative agreement scaled by the largest magnitude of the vector, so that
// values near 0 are judged against their scale.
void expect_close(const std::vector<double>& got, const std::vector<long double>& want, double tol,
                  const std::string& what) {
  ASSERT_EQ(got.size(), want.size());
  long double scale = 0;
  for (long double w : want) scale = std::max(scale, std::fabs(w));
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_LE(std::fabs(static_cast<long double>(got[i]) - want[i]), tol * scale)
        << what << "[" << i << "]: " << got[i] << " vs " << static_cast<double>(want[i]);
}

// Correlated columns with missing values, frequencies (some fractional, some
// below 1, some missing) and weights (some 0, negative or missing).
std::vector<std::vector<double>> messy_rows(int p, int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> z(0, 1);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < n; ++i) {
    std::vector<double> r(p + 2);
    const double common = z(rng);
    for (int j = 0; j < p; ++j) r[j] = 3.0 * j - 1.0 + (0.3 * j + 0.5) * (common + z(rng));
    if (u(rng) < 0.05) r[static_cast<std::size_t>(i) % p] = missing_value();
    const double fu = u(rng);
    r[p] = fu < 0.03   ? missing_value()
           : fu < 0.08 ? 0.4
                       : 1.0 + std::floor(4 * u(rng)) + 0.7 * u(rng);
    const double wu = u(rng);
    r[p + 1] = wu < 0.03 ? missing_value() : wu < 0.05 ? 0.0 : wu < 0.06 ? -1.0 : 0.2 + 2 * u(rng);
    rows.push_back(r);
  }
  return rows;
}

TEST(Zacorrn, RawDataMatchesTwoPassForEveryVardefFreqAndWeight) {
  // 16 variables are enough for two threads to be used; with 63 a thread
  // alone puts the values in their columns as it reads them, and with a
  // frequency or a weight beside them (64 values) it turns each group of
  // rows when it processes it, as threads always do.
  for (const int p : {16, 63}) {
    auto data = make_data(p, messy_rows(p, 3000, 11));
    for (bool freq : {false, true})
      for (bool weight : {false, true})
        for (bool noint : {false, true})
          for (const char* vardef : {"N", "DF", "WDF", "WEIGHT", "WGT"}) {
            Request rq{freq, weight, noint, vardef};
            const std::string what = std::string(vardef) + (freq ? " freq" : "") +
                                     (weight ? " weight" : "") + (noint ? " noint" : "");
            const Reference ref = reference(*data, p, rq);
            for (const char* threads : {"1", "2", "0"}) {
              SCOPED_TRACE(what + " threads=" + threads);
              Host h;
              h.threads(threads);
              const Result r = run(h, data, p, rq);
              ASSERT_EQ(r.rc, 0);
              expect_close(r.mean, ref.mean, 1e-13, "mean");
              expect_close(r.std, ref.std, 1e-13, "std");
              expect_close(r.corr, ref.corr, 1e-13, "corr");
              EXPECT_EQ(r.nobs, static_cast<double>(ref.nobs));
              EXPECT_NEAR(r.sumwgt, static_cast<double>(ref.sumwgt), 1e-12 * r.sumwgt);
              EXPECT_NEAR(r.vardiv, static_cast<double>(ref.vardiv), 1e-12 * r.vardiv);
              EXPECT_EQ(r.counts.NObsRead, 3000);
              EXPECT_EQ(r.counts.NObsUsed, ref.nused);
              EXPECT_EQ(r.counts.SumFreqsRead, freq ? ref.freqs_read : 3000);
              EXPECT_EQ(r.counts.SumFreqsUsed, static_cast<double>(ref.nobs));
              EXPECT_NEAR(r.counts.SumWeightsRead,
                          weight ? ref.weights_read : r.counts.SumFreqsRead, 1e-9);
              EXPECT_EQ(r.counts.SumWeightsUsed, r.sumwgt);
              EXPECT_EQ(h.count(230, 3), 1);  // some values are missing
              EXPECT_EQ(h.count(230, 4), freq || weight ? 1 : 0);
            }
          }
  }
}

TEST(Zacorrn, StiffDataAreAccurateAndReproducibleOnAnyNumberOfThreads) {
  // Means near 1e9 and 1e7 with spreads of a few thousandths, 40 variables
  // (wide enough for three threads) and 5000 rows (78 buffers to share out).
  const int p = 40, n = 5000;
  std::mt19937_64 rng(17);
  std::uniform_int_distribution<int> digits(0, 9999);
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < n; ++i) {
    std::vector<double> r(p + 2, 1.0);
    const double common = digits(rng) / 1e4;
    for (int j = 0; j < p; ++j)
      r[j] = (j % 2 ? 1e7 : 1e9) + j + 0.5 * common + digits(rng) / 1e4 * (j % 3 + 1);
    rows.push_back(r);
  }
  auto data = make_data(p, rows);
  Reference ref = reference(*data, p, {});
  auto pass = [&](const char* threads) {
    Host h;
    h.threads(threads);
    Result r = run(h, data, p, {});
    EXPECT_EQ(r.rc, 0) << threads;
    return r;
  };
  for (const char* threads : {"0", "1", "2", "3"}) {
    SCOPED_TRACE(threads);
    const Result first = pass(threads);
    for (int j = 0; j < p; ++j) {
      EXPECT_LE(std::fabs(first.mean[j] - ref.mean[j]), 1e-15 * ref.mean[j]) << j;
      EXPECT_LE(std::fabs(first.std[j] - ref.std[j]), 1e-13 * ref.std[j]) << j;
    }
    for (std::size_t k = 0; k < first.corr.size(); ++k)
      EXPECT_LE(std::fabs(first.corr[k] - ref.corr[k]), 1e-13) << k;
    // Every run with this many threads gives the very same bits.
    for (int again = 0; again < 2; ++again) {
      const Result r = pass(threads);
      EXPECT_EQ(r.mean, first.mean);
      EXPECT_EQ(r.std, first.std);
      EXPECT_EQ(r.corr, first.corr);
      EXPECT_EQ(r.sumwgt, first.sumwgt);
    }
  }
  // The threads offered are all used on data this wide.
  EXPECT_EQ(zthreads_that_pay(3, p, p, false, false), 3);
}

TEST(Zacorrn, ConstantVariableGetsZeroRow) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < 200; ++i) rows.push_back({1e6 + 0.1, 0.5 * i, std::sin(i), 1, 1});
  auto data = make_data(3, rows);
  for (const char* threads : {"0", "1", "2"}) {
    Host h;
    h.threads(threads);
    Result r = run(h, data, 3, {});
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.std[0], 0) << threads;
    EXPECT_EQ(r.mean[0], 1e6 + 0.1) << threads;
    EXPECT_EQ(r.corr, (std::vector<double>{0, 0, 1, 0, r.corr[4], 1})) << threads;
  }
}

TEST(Zacorrn, StopsWithTheirMessages) {
  const double M = missing_value();
  struct Case {
    const char* what;
    std::vector<std::vector<double>> rows;
    Request rq;
    std::vector<int> messages;  // of group 230, once each
  } cases[] = {
      {"one observation", {{1, 2, 1, 1}}, {}, {7}},
      {"an empty group", {}, {}, {5}},
      {"no positive weight", {{1, 2, 1, 0}, {2, 1, 1, -3}}, {false, true}, {4, 6}},
      {"a weight sum of 1 under WDF",
       {{1, 2, 1, 0.5}, {2, 1, 1, 0.5}},
       {false, true, false, "WDF"},
       {8}},
      {"no complete observation", {{1, M, 1, 1}, {M, 2, 1, 1}}, {}, {3}},
  };
  for (const Case& c : cases)
    for (const char* threads : {"1", "2"}) {
      SCOPED_TRACE(std::string(c.what) + " threads=" + threads);
      Host h;
      h.threads(threads);
      EXPECT_EQ(run(h, make_data(2, c.rows), 2, c.rq).rc, 108);
      for (int m : c.messages) EXPECT_EQ(h.count(230, m), 1) << m;
    }
  // One observation is enough under NOINT: uncorrected, sqrt(4 / 1).
  Host h;
  Result r = run(h, make_data(2, {{1, 2, 1, 1}}), 2, {false, false, true, "N"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_DOUBLE_EQ(r.std[1], 2);
  // Raw data that look like a special data set are read as raw data, noted.
  auto data = make_data(2, {{1, 2, 1, 1}, {2, 5, 1, 1}});
  data->header.vars.push_back({"_TYPE_", "", VarKind::Character, 8});
  data->header.vars.push_back({"_NAME_", "", VarKind::Character, 8});
  for (auto& o : data->rows) {
    o.num.resize(data->header.vars.size(), missing_value());
    o.str.resize(data->header.vars.size());
  }
  Host special;
  EXPECT_EQ(run(special, data, 2, {}).rc, 0);
  EXPECT_NE(special.text(230, 1).find("WORK.RAW"), std::string::npos) << special.text(230, 1);
}

// A reader whose data end in a read error after `good` rows.
class FailingReader : public ObsReader {
 public:
  FailingReader(std::shared_ptr<MemoryDataSet> d, std::size_t good) : d_(d), good_(good) {}
  const DataSetHeader& header() const override { return d_->header; }
  bool next(Observation& obs) override {
    if (row_ >= good_) throw DataError("WORK.RAW", "line 9", "unreadable number 'x7'");
    if (row_ >= d_->rows.size()) return false;
    obs = d_->rows[row_++];
    return true;
  }
  ObsPosition note() const override { return {std::int64_t(row_), std::int64_t(row_) + 1}; }
  void point(const ObsPosition& p) override { row_ = std::size_t(p.offset); }

 private:
  std::shared_ptr<MemoryDataSet> d_;
  std::size_t good_, row_ = 0;
};

TEST(Zacorrn, ReadErrorReportsAndKeepsWhatWasRead) {
  auto data = make_data(2, messy_rows(2, 40, 3));
  for (auto& o : data->rows) o.num[2] = o.num[3] = 1;
  for (const char* threads : {"0", "1", "2"}) {
    Host h;
    h.threads(threads);
    FailingReader reader(data, 30);
    const Result got = run_reader(h, reader, 2);
    const NOBSTR& counts = got.counts;
    EXPECT_EQ(got.rc, 0) << threads;
    EXPECT_TRUE(h.has_text("unreadable number 'x7'")) << threads;
    // Whatever was read before the error is analysed (the row being read
    // ahead when the error came may be lost with it).
    EXPECT_GE(counts.NObsRead, 29) << threads;
    EXPECT_LE(counts.NObsRead, 30) << threads;
    auto first = std::make_shared<MemoryDataSet>(*data);
    first->rows.resize(static_cast<std::size_t>(counts.NObsRead));
    const Reference ref = reference(*first, 2, {});
    EXPECT_EQ(got.nobs, static_cast<double>(ref.nobs)) << threads;
    expect_close(got.std, ref.std, 1e-13, "std");
    expect_close(got.corr, ref.corr, 1e-13, "corr");
  }
}

TEST(Zacorrn, OverflowInAWorkerStopsTheStep) {
  const int p = 16;
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < 500; ++i) {
    std::vector<double> r(p + 2, 1.0);
    r[0] = i % 2 ? 1e200 : -1e200;
    for (int j = 1; j < p; ++j) r[j] = i * j % 7;
    rows.push_back(r);
  }
  auto data = make_data(p, rows);
  Host h;
  h.threads("2");
  try {
    run(h, data, p, {});
    ADD_FAILURE() << "the step went on";
  } catch (const StepExit& e) {
    EXPECT_EQ(e.code, 1012);
  }
  EXPECT_EQ(h.count(174, 54), 1);
}

// Blocks go to whichever thread is free, block k always into buffer k mod
// n: threads sent away after two blocks, or held up in every block, leave
// the very same bits, and a held-up thread leaves its share to the others.
struct Lane {
  std::int64_t* next = nullptr;  // the next value to read, shared
  double values[50];
  int n = 0;
  double sum = 0;
};
std::thread::id lane_caller;
bool slow_workers = false;
std::atomic<int> caller_blocks{0};
void read_lane(void* b, int* status) {
  auto* l = static_cast<Lane*>(b);
  for (l->n = 0; l->n < 50 && *l->next < 20000; ++l->n) l->values[l->n] = 1.0 / double(++*l->next);
  *status = *l->next < 20000 ? 0 : -1;
}
int sum_lane(void* b) {
  auto* l = static_cast<Lane*>(b);
  if (std::this_thread::get_id() == lane_caller)
    ++caller_blocks;
  else if (slow_workers)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  for (int i = 0; i < l->n; ++i) l->sum += l->values[i] * l->values[i];
  return 0;
}

TEST(Zcthread, BlocksGoToFreeThreadsWithTheSameBits) {
  lane_caller = std::this_thread::get_id();
  for (int n : {2, 3}) {
    std::vector<double> sums[3];
    for (int run : {0, 1, 2}) {  // plain, going on alone, workers held up
      SCOPED_TRACE(testing::Message() << n << " threads, run " << run);
      std::int64_t next = 0;
      std::vector<Lane> lanes(static_cast<std::size_t>(n));
      std::vector<void*> buffers;
      for (Lane& l : lanes) buffers.push_back(&l), l.next = &next;
      ZCT_PARMS parms;
      parms.nThreads = n;
      parms.buffers = buffers.data();
      parms.ReadBufferFunction = read_lane;
      parms.ProcessBufferFunction = sum_lane;
      parms.judge_blocks = 2;
      parms.judge_micros = 0;
      parms.keep_gain = run == 1 ? 1e30 : 0;
      slow_workers = run == 2;
      caller_blocks = 0;
      ASSERT_EQ(zcthread(&parms), 0);
      slow_workers = false;
      EXPECT_EQ(parms.threads_at_end, run == 1 ? 1 : n);
      // 400 blocks.  Taking turns, the caller would do exactly its 400 / n
      // of them; taking whatever block comes next, it does every block whose
      // buffer no worker holds up (2 ms a block), about 2/3 of them with one
      // worker and 1/2 with two.
      if (run == 2) {
        EXPECT_GT(caller_blocks, 1.15 * 400 / n);
      }
      for (const Lane& l : lanes) sums[run].push_back(l.sum);
    }
    EXPECT_EQ(sums[0], sums[1]) << n;
    EXPECT_EQ(sums[0], sums[2]) << n;
  }
}

}  // namespace
}  // namespace kav
