// The moment pass against an independent two-pass computation in long
// double, its counts, messages and stops, and the agreement of its modes
// (observation mode, one buffer, several worker threads).
#include "factor/zacorrn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/zcthread.h"
#include "host/csv.h"
#include "host/progress.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"
#include "numeric/matrix.h"

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
  const LogEntry* find(int group, int number) const {
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) return &e;
    return nullptr;
  }
  bool has_text(const std::string& part) const {
    for (const auto& e : session.log.entries())
      if (e.text.find(part) != std::string::npos) return true;
    return false;
  }
  void threads(const std::string& value) { ctx.xjsympn("zacorr_threads", value); }
};

// Raw data: p analysis columns x1..xp, then F and W.
Variable numeric(const std::string& name) {
  Variable v;
  v.name = name;
  return v;
}

std::shared_ptr<MemoryDataSet> make_data(int p, const std::vector<std::vector<double>>& rows) {
  auto ds = std::make_shared<MemoryDataSet>();
  ds->header.name = "WORK.RAW";
  for (int j = 0; j < p; ++j)
    ds->header.vars.push_back(numeric(std::string(1, 'x').append(std::to_string(j + 1))));
  ds->header.vars.push_back(numeric("F"));
  ds->header.vars.push_back(numeric("W"));
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

void expect_same(const Result& a, const Result& b, double tol, const std::string& what) {
  auto close = [&](const std::vector<double>& x, const std::vector<double>& y, const char* n) {
    ASSERT_EQ(x.size(), y.size());
    double scale = 0;
    for (double v : x) scale = std::max(scale, std::fabs(v));
    for (std::size_t i = 0; i < x.size(); ++i)
      EXPECT_LE(std::fabs(x[i] - y[i]), tol * scale) << what << " " << n << "[" << i << "]";
  };
  EXPECT_EQ(a.rc, b.rc) << what;
  close(a.mean, b.mean, "mean");
  close(a.std, b.std, "std");
  close(a.corr, b.corr, "corr");
  EXPECT_EQ(a.nobs, b.nobs) << what;
  EXPECT_NEAR(a.sumwgt, b.sumwgt, tol * a.sumwgt) << what;
  EXPECT_EQ(a.counts.NObsRead, b.counts.NObsRead) << what;
  EXPECT_EQ(a.counts.NObsUsed, b.counts.NObsUsed) << what;
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
  const int p = 16;  // wide enough for two threads to be used
  auto data = make_data(p, messy_rows(p, 3000, 11));
  for (bool freq : {false, true})
    for (bool weight : {false, true})
      for (bool noint : {false, true})
        for (const char* vardef : {"N", "DF", "WDF", "WEIGHT", "WGT"}) {
          Request rq{freq, weight, noint, vardef};
          const std::string what = std::string(vardef) + (freq ? " freq" : "") +
                                   (weight ? " weight" : "") + (noint ? " noint" : "");
          Host h;
          h.threads("1");
          Result r = run(h, data, p, rq);
          Reference ref = reference(*data, p, rq);
          ASSERT_EQ(r.rc, 0) << what;
          expect_close(r.mean, ref.mean, 1e-13, what + " mean");
          expect_close(r.std, ref.std, 1e-13, what + " std");
          expect_close(r.corr, ref.corr, 1e-13, what + " corr");
          EXPECT_EQ(r.nobs, static_cast<double>(ref.nobs)) << what;
          EXPECT_NEAR(r.sumwgt, static_cast<double>(ref.sumwgt), 1e-12 * r.sumwgt) << what;
          EXPECT_NEAR(r.vardiv, static_cast<double>(ref.vardiv), 1e-12 * r.vardiv) << what;
          EXPECT_EQ(r.counts.NObsRead, 3000) << what;
          EXPECT_EQ(r.counts.NObsUsed, ref.nused) << what;
          EXPECT_EQ(r.counts.SumFreqsRead, freq ? ref.freqs_read : 3000) << what;
          EXPECT_EQ(r.counts.SumFreqsUsed, static_cast<double>(ref.nobs)) << what;
          EXPECT_NEAR(r.counts.SumWeightsRead, weight ? ref.weights_read : r.counts.SumFreqsRead,
                      1e-9)
              << what;
          EXPECT_EQ(r.counts.SumWeightsUsed, r.sumwgt) << what;
          EXPECT_EQ(h.count(230, 3), 1) << what;  // some values are missing
          EXPECT_EQ(h.count(230, 4), freq || weight ? 1 : 0) << what;

          // Two workers and observation mode give the same numbers.
          Host h2;
          h2.threads("2");
          expect_same(r, run(h2, data, p, rq), 1e-14, what + " two threads");
          Host h0;
          h0.threads("0");
          expect_same(r, run(h0, data, p, rq), 1e-14, what + " observation mode");
        }
}

TEST(Zacorrn, LargeOffsetsKeepThirteenDigits) {
  // Columns near 1e7 and 1e9 that differ only in their first decimals.
  const int p = 4, n = 4000;
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> digits(0, 9999);
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < n; ++i) {
    const double a = digits(rng) / 1e4, b = digits(rng) / 1e4;
    rows.push_back({1e9 + a, 1e9 + 0.5 * a + b, 1e7 + b - 0.25 * a, 1e7 + 0.1 * b, 1, 1});
  }
  auto data = make_data(p, rows);
  Reference ref = reference(*data, p, {});
  for (const char* threads : {"1", "2", "0"}) {
    Host h;
    h.threads(threads);
    Result r = run(h, data, p, {});
    ASSERT_EQ(r.rc, 0);
    for (int j = 0; j < p; ++j) {
      EXPECT_LE(std::fabs(r.std[j] - ref.std[j]), 1e-13 * ref.std[j]) << threads << " std " << j;
      EXPECT_LE(std::fabs(r.mean[j] - ref.mean[j]), 1e-15 * ref.mean[j])
          << threads << " mean " << j;
    }
    for (std::size_t k = 0; k < r.corr.size(); ++k)
      EXPECT_LE(std::fabs(r.corr[k] - ref.corr[k]), 1e-13 * std::fabs(ref.corr[k]))
          << threads << " corr " << k;
  }
}

TEST(Zacorrn, StiffDataAreReproducibleAndAgreeAcrossThreadCounts) {
  // Means near 1e9 and 1e7, spreads of a few thousandths, 40 variables (wide
  // enough for three threads) and 5000 rows (78 buffers to share out).
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
    h.session.options.debug.insert("zacorr");
    Result r = run(h, data, p, {});
    EXPECT_TRUE(h.has_text(std::string("zacorr: ") + threads + " thread(s)")) << threads;
    return r;
  };
  const Result one = pass("1");
  ASSERT_EQ(one.rc, 0);
  for (int j = 0; j < p; ++j) {
    EXPECT_LE(std::fabs(one.mean[j] - ref.mean[j]), 1e-15 * ref.mean[j]) << j;
    EXPECT_LE(std::fabs(one.std[j] - ref.std[j]), 1e-13 * ref.std[j]) << j;
  }
  expect_close(one.corr, ref.corr, 1e-13, "one thread corr");

  for (const char* threads : {"2", "3"}) {
    const Result first = pass(threads);
    // Every run with this many threads gives the very same bits.
    for (int again = 0; again < 3; ++again) {
      const Result r = pass(threads);
      EXPECT_EQ(r.mean, first.mean) << threads;
      EXPECT_EQ(r.std, first.std) << threads;
      EXPECT_EQ(r.corr, first.corr) << threads;
      EXPECT_EQ(r.sumwgt, first.sumwgt) << threads;
    }
    // And the same numbers as one thread, to 1e-13 relative.
    for (int j = 0; j < p; ++j) {
      EXPECT_LE(std::fabs(first.mean[j] - one.mean[j]), 1e-13 * std::fabs(one.mean[j])) << j;
      EXPECT_LE(std::fabs(first.std[j] - one.std[j]), 1e-13 * one.std[j]) << j;
    }
    for (std::size_t k = 0; k < one.corr.size(); ++k)
      EXPECT_LE(std::fabs(first.corr[k] - one.corr[k]), 1e-13) << threads << " corr " << k;
  }
}

TEST(Zacorrn, FrequencyAndWeightRules) {
  // x1 x2 F W
  auto data = make_data(2, {{1, 2, 2.7, 1},              // counts twice
                            {3, 1, 0.4, 1},              // frequency below 1: out
                            {5, 7, 1, 0},                // zero weight: out, frequency read
                            {2, missing_value(), 3, 1},  // missing value: out, both read
                            {4, 4, missing_value(), 1},  // missing frequency: out
                            {6, 3, 1, 2}});
  Host h;
  h.threads("1");
  Result r = run(h, data, 2, {true, true, false, "N"});
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts.NObsRead, 6);
  EXPECT_EQ(r.counts.NObsUsed, 2);
  EXPECT_EQ(r.counts.SumFreqsRead, 2 + 1 + 3 + 1);
  EXPECT_EQ(r.counts.SumFreqsUsed, 3);
  EXPECT_EQ(r.counts.SumWeightsRead, 2 + 3 + 2);
  EXPECT_EQ(r.counts.SumWeightsUsed, 4);
  // Case weights 2 (x=1,2) and 2 (x=6,3): means 3.5 and 2.5.
  EXPECT_DOUBLE_EQ(r.mean[0], 3.5);
  EXPECT_DOUBLE_EQ(r.mean[1], 2.5);
  EXPECT_DOUBLE_EQ(r.std[0], std::sqrt((2 * 2.5 * 2.5 + 2 * 2.5 * 2.5) / 3));
  const LogEntry* miss = h.find(230, 3);
  const LogEntry* zero = h.find(230, 4);
  ASSERT_TRUE(miss && zero);
  EXPECT_NE(miss->text.find("1 of the 6"), std::string::npos) << miss->text;
  EXPECT_NE(zero->text.find("3 of the 6"), std::string::npos) << zero->text;
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
    EXPECT_EQ(r.corr[0], 0) << threads;  // the diagonal
    EXPECT_EQ(r.corr[1], 0) << threads;
    EXPECT_EQ(r.corr[3], 0) << threads;
    EXPECT_EQ(r.corr[2], 1) << threads;
  }
}

TEST(Zacorrn, StopsWithTheirMessages) {
  {  // one observation needs NOINT
    auto data = make_data(2, {{1, 2, 1, 1}});
    Host h;
    h.threads("1");
    EXPECT_EQ(run(h, data, 2, {}).rc, 108);
    const LogEntry* e = h.find(230, 7);
    ASSERT_TRUE(e);
    EXPECT_NE(e->text.find("2"), std::string::npos);
    Host h2;
    h2.threads("1");
    Result r = run(h2, data, 2, {false, false, true, "N"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(h2.count(230, 7), 0);
    EXPECT_DOUBLE_EQ(r.std[1], 2);  // uncorrected: sqrt(4 / 1)
  }
  {  // an empty group
    auto data = make_data(2, {});
    Host h;
    h.threads("2");
    EXPECT_EQ(run(h, data, 2, {}).rc, 108);
    EXPECT_EQ(h.count(230, 5), 1);
  }
  {  // no positive weight
    auto data = make_data(2, {{1, 2, 1, 0}, {2, 1, 1, -3}});
    Host h;
    h.threads("1");
    EXPECT_EQ(run(h, data, 2, {false, true, false, "DF"}).rc, 108);
    EXPECT_EQ(h.count(230, 4), 1);
    EXPECT_EQ(h.count(230, 6), 1);
  }
  {  // WDF with a weight sum of exactly 1 leaves no divisor
    auto data = make_data(2, {{1, 2, 1, 0.5}, {2, 1, 1, 0.5}});
    Host h;
    h.threads("1");
    Result r = run(h, data, 2, {false, true, false, "WDF"});
    EXPECT_EQ(r.rc, 108);
    EXPECT_EQ(h.count(230, 8), 1);
    EXPECT_EQ(r.vardiv, 0);
  }
  {  // raw data that look like a special data set
    auto data = make_data(2, {{1, 2, 1, 1}, {2, 5, 1, 1}});
    data->header.vars.push_back({"_TYPE_", "", VarKind::Character, 8});
    data->header.vars.push_back({"_NAME_", "", VarKind::Character, 8});
    for (auto& o : data->rows) {
      o.num.resize(data->header.vars.size(), missing_value());
      o.str.resize(data->header.vars.size());
    }
    Host h;
    h.threads("1");
    EXPECT_EQ(run(h, data, 2, {}).rc, 0);
    const LogEntry* e = h.find(230, 1);
    ASSERT_TRUE(e);
    EXPECT_NE(e->text.find("WORK.RAW"), std::string::npos);
  }
}

TEST(Zacorrn, ThreadCountRule) {
  auto count = [](const char* macro, bool threads, int cpus) {
    Host h;
    if (macro) h.threads(macro);
    h.session.options.threads = threads;
    h.session.options.cpucount = cpus;
    return znthreads(h.ctx, "zacorr_threads");
  };
  EXPECT_EQ(count("3.7", false, 1), 3);  // the macro variable wins
  EXPECT_EQ(count("500", true, 2), 100);
  EXPECT_EQ(count("-2", true, 8), 0);
  EXPECT_EQ(count("0", true, 8), 0);
  EXPECT_EQ(count(nullptr, false, 8), 1);
  EXPECT_EQ(count(nullptr, true, 1), 1);
  EXPECT_EQ(count(nullptr, true, 6), 6);
  EXPECT_EQ(count(nullptr, true, 300), 100);

  Host h;
  h.session.options.debug.insert("znthreads");
  h.session.options.threads = false;
  EXPECT_EQ(znthreads(h.ctx, "zacorr_threads"), 1);
  EXPECT_TRUE(h.has_text("znthreads: no threads"));
  h.threads("2");
  EXPECT_EQ(znthreads(h.ctx, "zacorr_threads"), 2);
  EXPECT_TRUE(h.has_text("znthreads: 2 thread(s)"));
}

TEST(Zacorrn, DebugSwitchNamesThreadsAndBufferSize) {
  auto data = make_data(2, {{1, 2, 1, 1}, {2, 5, 1, 1}, {4, 1, 1, 1}});
  Host h;
  h.session.options.debug.insert("zacorr");
  h.threads("2");
  EXPECT_EQ(run(h, data, 2, {}).rc, 0);
  // Two variables are too narrow for a second thread to pay.
  EXPECT_TRUE(h.has_text("zacorr: 1 of 2 thread(s) used; 2 variable(s) are too few for more to pay"));
  EXPECT_TRUE(h.has_text("zacorr: 1 thread(s), vecsize=64"));
  auto wide = make_data(20, messy_rows(20, 100, 4));
  Host hw;
  hw.session.options.debug.insert("zacorr");
  hw.threads("2");
  EXPECT_EQ(run(hw, wide, 20, {}).rc, 0);
  EXPECT_TRUE(hw.has_text("zacorr: 2 thread(s), vecsize=64"));
  EXPECT_FALSE(hw.has_text("too few"));

  // The same 20 variables parsed from a CSV file keep one thread.
  const std::string path = ::testing::TempDir() + "zacorrn_debug.csv";
  {
    auto reader = open_memory_reader(wide);
    auto writer = open_csv_writer(path, reader->header());
    Observation o;
    while (reader->next(o)) writer->write(o);
    writer->commit();
  }
  CsvReadOptions opts;
  opts.name = "WORK.RAW";
  auto csv = open_csv_reader(path, opts);
  Host ht;
  ht.session.options.debug.insert("zacorr");
  ht.threads("2");
  EXPECT_EQ(run_reader(ht, *csv, 20).rc, 0);
  EXPECT_TRUE(ht.has_text(
      "zacorr: 1 of 2 thread(s) used; 20 variable(s) read from text are too few for more to pay"));
  std::remove(path.c_str());
  std::remove(csv_sidecar_path(path).c_str());
  Host quiet;
  quiet.threads("2");
  run(quiet, data, 2, {});
  EXPECT_FALSE(quiet.has_text("zacorr:"));
  Host h0;
  h0.session.options.debug.insert("zacorr");
  h0.threads("0");
  run(h0, data, 2, {});
  EXPECT_TRUE(h0.has_text("zacorr: 1 thread(s), vecsize=1"));
}

TEST(Zacorrn, ThreadsAreUsedOnlyWhereTheyPay) {
  // Narrow data keep one thread however many are offered; from about 16
  // variables a second thread pays, and wider data keep more busy, but
  // never more than the reading can feed or than were offered.
  for (int nvar : {1, 2, 5, 10, 15})
    EXPECT_EQ(zthreads_that_pay(8, nvar, nvar, false, false), 1) << nvar;
  EXPECT_EQ(zthreads_that_pay(8, 16, 16, false, false), 2);
  EXPECT_EQ(zthreads_that_pay(8, 20, 20, false, false), 2);
  int last = 1;
  for (int nvar = 16; nvar <= 400; nvar += 8) {
    const int n = zthreads_that_pay(100, nvar, nvar, false, false);
    EXPECT_GE(n, last) << nvar;  // wider data never get fewer threads
    last = n;
  }
  EXPECT_GE(zthreads_that_pay(100, 100, 100, false, false), 4);
  EXPECT_LT(zthreads_that_pay(100, 100, 100, false, false), 100);
  EXPECT_EQ(zthreads_that_pay(2, 300, 300, false, false), 2);
  // Weights add arithmetic per observation.
  EXPECT_GE(zthreads_that_pay(8, 15, 17, true, false), zthreads_that_pay(8, 15, 15, false, false));
  // Text to parse: the reading is slower and hands its text over at every
  // turn, so threads pay only for wide data.
  EXPECT_EQ(zthreads_that_pay(8, 20, 20, false, true), 1);
  EXPECT_EQ(zthreads_that_pay(8, 100, 100, false, true), 1);
  EXPECT_EQ(zthreads_that_pay(8, 300, 300, false, true), 2);
  // Observation mode and one thread are left as asked.
  EXPECT_EQ(zthreads_that_pay(0, 100, 100, false, false), 0);
  EXPECT_EQ(zthreads_that_pay(1, 100, 100, false, false), 1);
}

TEST(Zacorrn, BufferSizingFallsBackToObservationMode) {
  const int nvar = 10, nvals = 12;
  std::vector<std::vector<char>> blocks;
  auto allocator = [&](std::uint64_t limit) {
    return [&blocks, limit](std::uint64_t bytes) -> void* {
      if (bytes > limit) return nullptr;
      blocks.emplace_back(bytes);
      return blocks.back().data();
    };
  };
  const std::uint64_t buffer = 8 * 64 * nvals;
  ZacorrLayout all = zacsize(4, nvar, nvals, 1e9, allocator(UINT64_MAX));
  EXPECT_EQ(all.count, 4);
  EXPECT_EQ(all.vecsize, 64);
  // Each worker block holds its record, buffer, sums and triangle.
  EXPECT_GE(all.worker_bytes, buffer + 8 * (nvar + nvar * (nvar + 1) / 2));

  // Memory for two workers only (and a cache line to align them): the count
  // comes down.
  const std::uint64_t two = 64 + buffer + all.worker_bytes;
  ZacorrLayout fewer = zacsize(4, nvar, nvals, 1e9, allocator(two));
  EXPECT_EQ(fewer.count, 2);
  // The available memory caps the count before any allocation.
  ZacorrLayout capped =
      zacsize(8, nvar, nvals, (buffer + 3.5 * all.worker_bytes) / 1000.0, allocator(UINT64_MAX));
  EXPECT_EQ(capped.count, 3);
  // Not even two workers: one smaller buffer on the calling thread.
  ZacorrLayout small = zacsize(4, nvar, nvals, 1e9, allocator(8 * 16 * nvals));
  EXPECT_EQ(small.count, 1);
  EXPECT_EQ(small.vecsize, 16);
  ZacorrLayout none = zacsize(4, nvar, nvals, 1e9, allocator(0));
  EXPECT_EQ(none.count, 1);
  EXPECT_EQ(none.vecsize, 1);
  EXPECT_EQ(none.block, nullptr);
  ZacorrLayout asked = zacsize(0, nvar, nvals, 1e9, allocator(UINT64_MAX));
  EXPECT_EQ(asked.vecsize, 1);
  EXPECT_EQ(asked.count, 1);
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
    Host ref_host;
    ref_host.threads("1");
    Result ref = run(ref_host, first, 2, {});
    EXPECT_EQ(got.nobs, ref.nobs) << threads;
    EXPECT_NEAR(got.std[0], ref.std[0], 1e-14 * ref.std[0]) << threads;
    EXPECT_NEAR(got.corr[1], ref.corr[1], 1e-14) << threads;
  }
}

TEST(Zacorrn, ReadErrorInALaterBufferEndsTheStep) {
  // Wide enough for two threads; the error comes in the second buffer-full,
  // read by the second thread: the pass cannot vouch for the sums, so the
  // step ends, naming the error, with nothing left running.
  const int p = 20;
  auto data = make_data(p, messy_rows(p, 400, 9));
  Host h;
  h.threads("2");
  FailingReader reader(data, 100);
  try {
    run_reader(h, reader, p);
    ADD_FAILURE() << "the step went on";
  } catch (const StepExit& e) {
    EXPECT_EQ(e.code, 1012);
  }
  EXPECT_TRUE(h.has_text("unreadable number 'x7'"));
  EXPECT_EQ(h.count(174, 55), 1);
}

// The threaded scheme alone: every filled buffer is processed exactly once
// (the last, partly filled one included), by the thread whose turn it was,
// and failures map to their codes.
struct Handout {
  long fills = 0;      // buffers filled so far
  long last = 0;       // the fill that reports the end
  long fail_read = 0;  // the fill that reports a read error (0: none)
  long fail_process = 0;
};
struct Slot {
  Handout* h;
  long seq = 0;
  long long processed_sum = 0;
  long processed = 0;
};
void fill_slot(void* b, int* status) {
  auto* s = static_cast<Slot*>(b);
  s->seq = ++s->h->fills;
  *status = s->seq == s->h->fail_read ? 7 : s->seq == s->h->last ? -1 : 0;
}
int process_slot(void* b) {
  auto* s = static_cast<Slot*>(b);
  s->processed_sum += s->seq;
  ++s->processed;
  return s->seq == s->h->fail_process ? 1 : 0;
}

int handout(Handout& h, int workers, std::vector<Slot>& slots) {
  slots.assign(static_cast<std::size_t>(workers), Slot{&h});
  std::vector<void*> ptrs;
  for (Slot& s : slots) ptrs.push_back(&s);
  ZCT_PARMS parms;
  parms.nThreads = workers;
  parms.buffers = ptrs.data();
  parms.ReadBufferFunction = fill_slot;
  parms.ProcessBufferFunction = process_slot;
  return zcthread(&parms);
}

TEST(Zcthread, EveryBufferIsProcessedOnceAndFailuresMapToCodes) {
  for (int workers : {1, 2, 3, 8})
    for (int round = 0; round < 10; ++round) {
      Handout h;
      h.last = 300 + round;
      std::vector<Slot> slots;
      ASSERT_EQ(handout(h, workers, slots), 0);
      // Buffer t holds fills t+1, t+1+n, t+1+2n ...: the threads take their
      // turns at reading in a fixed rotation, whatever their timing.
      for (int t = 0; t < workers; ++t) {
        long count = 0;
        long long sum = 0;
        for (long seq = t + 1; seq <= h.last; seq += workers) {
          ++count;
          sum += seq;
        }
        const Slot& s = slots[static_cast<std::size_t>(t)];
        ASSERT_EQ(s.processed, count) << workers << " workers, buffer " << t;
        ASSERT_EQ(s.processed_sum, sum) << workers << " workers, buffer " << t;
      }
    }
  Handout bad_read;
  bad_read.last = 100;
  bad_read.fail_read = 10;
  std::vector<Slot> slots;
  EXPECT_EQ(handout(bad_read, 2, slots), 55);
  Handout bad_process;
  bad_process.last = 100;
  bad_process.fail_process = 50;
  EXPECT_EQ(handout(bad_process, 2, slots), 43);

  ZCT_PARMS none;
  EXPECT_EQ(zcthread(&none), 1);
  void* missing[2] = {&slots[0], nullptr};
  none.nThreads = 2;
  none.buffers = missing;
  none.ReadBufferFunction = fill_slot;
  none.ProcessBufferFunction = process_slot;
  EXPECT_EQ(zcthread(&none), 1);
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

TEST(Zacorrn, ProgressIsShownOnlyToATerminal) {
  std::ostringstream quiet, shown;
  {
    ProgressDisplay p(&quiet, false, 1000, 0.0, 0.0);
    for (int i = 0; i < 1000; ++i) p.update(i);
  }
  EXPECT_TRUE(quiet.str().empty());
  {
    ProgressDisplay p(&shown, true, 1000, 0.0, 0.0);
    for (int i = 0; i < 1000; ++i) p.update(i);
  }
  EXPECT_NE(shown.str().find("observations read"), std::string::npos);
  EXPECT_EQ(shown.str().back(), '\r');  // the line is cleared at the end
  EXPECT_EQ(ProgressDisplay::line(1000, 2, 11000),
            "1000 observations read, 500 per second, about 0:20 left");
  EXPECT_EQ(ProgressDisplay::line(1000, 2, -1), "1000 observations read, 500 per second");
}

}  // namespace
}  // namespace kav
