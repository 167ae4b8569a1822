// Special data sets read back: each type encodes one set of statistics
// (computed here from a small raw sample in long double) and must give back
// its correlation matrix, means, deviations and counts; bad matrices stop
// with their messages and statuses.
#include "factor/zrcorr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/zrsimp.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"

namespace kav {
namespace {

constexpr double M = std::numeric_limits<double>::quiet_NaN();  // a missing cell

struct Host {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  StepContext ctx{session, {}};
  int count(int number) const {
    int n = 0;
    for (const auto& e : session.log.entries())
      if (e.group == 230 && e.number == number) ++n;
    return n;
  }
  const LogEntry* find(int number) const {
    for (const auto& e : session.log.entries())
      if (e.group == 230 && e.number == number) return &e;
    return nullptr;
  }
  std::vector<int> numbers() const {
    std::vector<int> out;
    for (const auto& e : session.log.entries())
      if (e.group == 230) out.push_back(e.number);
    return out;
  }
};

Variable var(const std::string& name, bool character = false) {
  Variable v;
  v.name = name;
  if (character) {
    v.kind = VarKind::Character;
    v.length = 32;
  }
  return v;
}

// A special data set: _TYPE_, _NAME_, then the given numeric variables.
struct Special {
  std::shared_ptr<MemoryDataSet> ds = std::make_shared<MemoryDataSet>();
  int ntype = 0, nname = 1;
  explicit Special(std::vector<std::string> numeric, bool with_type = true, bool with_name = true,
                   std::string type = "CORR") {
    ds->header.name = "WORK.SPECIAL";
    ds->header.type = type;
    if (with_type)
      ds->header.vars.push_back(var("_TYPE_", true));
    else
      ntype = -1;
    if (with_name)
      ds->header.vars.push_back(var("_NAME_", true));
    else
      nname = -1;
    if (!with_type && with_name) nname = 0;
    for (auto& n : numeric) ds->header.vars.push_back(var(n));
  }
  Special& row(const std::string& type, const std::string& name, std::vector<double> values) {
    Observation o;
    o.resize(ds->header.vars.size());
    if (ntype >= 0) o.str[ntype] = type;
    if (nname >= 0) o.str[nname] = name;
    const std::size_t first = static_cast<std::size_t>((ntype >= 0) + (nname >= 0));
    for (std::size_t k = 0; k < values.size(); ++k)
      o.num[first + k] = std::isnan(values[k]) ? missing_value() : values[k];
    ds->rows.push_back(o);
    return *this;
  }
  std::vector<int> positions(int n) const {
    std::vector<int> v;
    const int first = (ntype >= 0) + (nname >= 0);
    for (int k = 0; k < n; ++k) v.push_back(first + k);
    return v;
  }
};

struct Read {
  int rc = -1;
  std::vector<double> cor, mean, std;
  double vardiv = 0, sumwt = 0, nobs = 0;
  double r(int i, int j) const {
    return i >= j ? cor[i * (i + 1) / 2 + j] : cor[j * (j + 1) / 2 + i];
  }
};

Read read(Host& h, const Special& s, int nvar, bool noint = false, std::string type = "",
          std::string vardef = "DF      ", std::vector<int> vars = {}) {
  auto reader = open_memory_reader(s.ds);
  ByGroups groups(*reader, {});
  EXPECT_EQ(groups.xbynext(), 1);
  Read r;
  r.cor.assign(nvar * (nvar + 1) / 2, -7);
  r.mean.assign(nvar, -7);
  r.std.assign(nvar, -7);
  std::vector<double> datax(nvar);
  if (vars.empty()) vars = s.positions(nvar);
  r.rc = zrcorr(h.ctx, groups, vars, noint ? 1 : 0, type.empty() ? s.ds->header.type : type,
                r.cor.data(), r.mean.data(), r.std.data(), datax.data(), vardef, &r.vardiv,
                &r.sumwt, &r.nobs);
  return r;
}

// The statistics a raw sample encodes, in long double.
struct Sample {
  int p = 3;
  std::vector<std::vector<long double>> x;
  long double n = 0;
  std::vector<long double> mean, sums;
  std::vector<std::vector<long double>> raw, centred;  // crossproducts
  explicit Sample(unsigned seed, int rows = 25) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0, 1);
    for (int i = 0; i < rows; ++i) {
      const double c = z(rng);
      x.push_back({5 + c + z(rng), -2 + 0.5 * c + 2 * z(rng), 10 + 0.3 * z(rng) - c});
    }
    n = rows;
    mean.assign(p, 0);
    sums.assign(p, 0);
    for (auto& r : x)
      for (int j = 0; j < p; ++j) sums[j] += r[j];
    for (int j = 0; j < p; ++j) mean[j] = sums[j] / n;
    raw.assign(p, std::vector<long double>(p, 0));
    centred = raw;
    for (auto& r : x)
      for (int j = 0; j < p; ++j)
        for (int k = 0; k < p; ++k) {
          raw[j][k] += r[j] * r[k];
          centred[j][k] += (r[j] - mean[j]) * (r[k] - mean[k]);
        }
  }
  // Correlation of crossproducts a; standard deviation with divisor d.
  static double corr(const std::vector<std::vector<long double>>& a, int j, int k) {
    return static_cast<double>(a[j][k] / std::sqrt(a[j][j] * a[k][k]));
  }
  static double sd(const std::vector<std::vector<long double>>& a, int j, long double d) {
    return static_cast<double>(std::sqrt(a[j][j] / d));
  }
  std::vector<double> vec(const std::vector<long double>& v) const {
    return std::vector<double>(v.begin(), v.end());
  }
  std::vector<double> row(const std::vector<std::vector<long double>>& a, int j, long double d,
                          bool as_corr) const {
    std::vector<double> out;
    for (int k = 0; k < p; ++k)
      out.push_back(as_corr ? corr(a, j, k) : static_cast<double>(a[j][k] / d));
    return out;
  }
  std::vector<double> sd_row(const std::vector<std::vector<long double>>& a, long double d) const {
    std::vector<double> out;
    for (int j = 0; j < p; ++j) out.push_back(sd(a, j, d));
    return out;
  }
};

const char* kNames[] = {"height", "Width", "depth"};

// Checks that what was read is the centred (or, with noint, uncorrected)
// correlation structure of the sample, with deviations by divisor n - 1
// (or n).
void expect_sample(const Read& r, const Sample& s, bool noint, const std::string& what,
                   bool with_means = true) {
  ASSERT_EQ(r.rc, 0) << what;
  const auto& a = noint ? s.raw : s.centred;
  const long double d = noint ? s.n : s.n - 1;
  for (int j = 0; j < s.p; ++j) {
    if (with_means) {
      EXPECT_NEAR(r.mean[j], static_cast<double>(s.mean[j]), 1e-12) << what << " mean " << j;
    }
    EXPECT_NEAR(r.std[j], Sample::sd(a, j, d), 1e-12 * Sample::sd(a, j, d)) << what << " std " << j;
    for (int k = 0; k < s.p; ++k)
      EXPECT_NEAR(r.r(j, k), Sample::corr(a, j, k), 1e-12) << what << " r " << j << k;
  }
  EXPECT_EQ(r.nobs, static_cast<double>(s.n)) << what;
  EXPECT_EQ(r.sumwt, static_cast<double>(s.n)) << what;
  EXPECT_EQ(r.vardiv, static_cast<double>(d)) << what;
}

// Each type written from the same sample reads back to the same statistics,
// centred and under NOINT.
TEST(Zrcorr, EveryTypeGivesBackWhatItEncodes) {
  const Sample s(3);
  const std::vector<std::string> names(kNames, kNames + 3);
  const auto mean = s.vec(s.mean);
  std::vector<double> nrow(3, static_cast<double>(s.n));
  const auto std_c = s.sd_row(s.centred, s.n - 1), std_u = s.sd_row(s.raw, s.n);

  auto corr = [&](std::string type, const std::vector<std::vector<long double>>& a,
                  std::vector<double> sd, const char* sdtype) {
    Special d(names, true, true, type);
    d.row("MEAN", "", mean).row(sdtype, "", sd).row("N", "", nrow);
    for (int j = 0; j < 3; ++j)
      d.row(type == "FACTOR" ? "CORR" : type, names[j], s.row(a, j, 1, true));
    if (type == "FACTOR") d.row("EIGENVAL", "", {2, 0.7, 0.3}).row("PRIORS", "", {1, 1, 1});
    return d;
  };
  auto cov = [&](std::string type, const std::vector<std::vector<long double>>& a, long double dv,
                 const std::string& rowtype) {
    Special d(names, true, true, type);
    d.row("N", "", nrow);
    d.row(type == "EST" ? "PARM" : "MEAN", "", mean);
    for (int j = 0; j < 3; ++j) d.row(rowtype, names[j], s.row(a, j, dv, false));
    return d;
  };
  const std::vector<std::pair<std::string, Special>> cases = {
      {"CORR", corr("CORR", s.centred, std_c, "STD")},
      {"FACTOR", corr("FACTOR", s.centred, std_c, "STD")},
      {"UCORR", corr("UCORR", s.raw, std_u, "USTD")},
      {"COV", cov("COV", s.centred, s.n - 1, "COV")},
      {"EST", cov("EST", s.centred, s.n - 1, "COVB")},
      {"ACE", cov("ACE", s.centred, s.n - 1, "ACE")},
      {"UCOV", cov("UCOV", s.raw, s.n, "UCOV")},
      {"SSCP", cov("SSCP", s.raw, 1, "SSCP")},
  };
  for (const auto& [type, data] : cases)
    for (bool noint : {false, true}) {
      const std::string what = type + (noint ? " noint" : "");
      Host h;
      expect_sample(read(h, data, 3, noint), s, noint, what);
      // SSCP without an intercept variable says so; nothing else is noted.
      EXPECT_EQ(h.numbers(), type == "SSCP" ? std::vector<int>{31} : std::vector<int>{}) << what;
    }

  // SSCP with the intercept row and column: sums and count come from them.
  Special sscp({"INTERCEP", "height", "Width", "depth"}, true, true, "SSCP");
  std::vector<double> irow = {static_cast<double>(s.n)};
  for (int j = 0; j < 3; ++j) irow.push_back(static_cast<double>(s.sums[j]));
  sscp.row("SSCP", "INTERCEPT", irow);
  for (int j = 0; j < 3; ++j) {
    std::vector<double> r = {static_cast<double>(s.sums[j])};
    for (int k = 0; k < 3; ++k) r.push_back(static_cast<double>(s.raw[j][k]));
    sscp.row("SSCP", names[j], r);
  }
  for (bool noint : {false, true}) {
    Host h;
    expect_sample(read(h, sscp, 3, noint, "", "DF      ", {3, 4, 5}), s, noint,
                  noint ? "SSCP intercept noint" : "SSCP intercept");
    EXPECT_TRUE(h.numbers().empty());
  }
}

TEST(Zrcorr, DefaultsAndCountsWithTheirMessages) {
  const std::vector<std::string> names = {"a", "b"};
  {  // no N row: 10000 observations; missing means and deviations
    Special d(names);
    d.row("CORR", "a", {1, 0.5}).row("CORR", "b", {0.5, 1});
    Host h;
    Read r = read(h, d, 2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.nobs, 10000);
    EXPECT_EQ(r.sumwt, 10000);
    EXPECT_EQ(r.vardiv, 9999);
    EXPECT_EQ(r.mean, std::vector<double>(2, 0.0));
    EXPECT_EQ(r.std, std::vector<double>(2, 1.0));
    EXPECT_EQ(h.numbers(), (std::vector<int>{38, 39, 17}));
  }
  {  // N values that differ: the smallest; SUMWGT sets the weight sum
    Special d(names);
    d.row("N", "", {40, 35}).row("SUMWGT", "", {80, 80});
    d.row("CORR", "a", {1, 0.5}).row("CORR", "b", {0.5, 1}).row("STD", "", {2, 3});
    d.row("MEAN", "", {1, 2});
    Host h;
    Read r = read(h, d, 2, false, "", "WDF");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.nobs, 35);
    EXPECT_EQ(r.sumwt, 80);
    EXPECT_EQ(r.vardiv, 79);
    EXPECT_EQ(r.std, (std::vector<double>{2, 3}));
    EXPECT_EQ(h.numbers(), std::vector<int>{11});
  }
  {  // a negative sum of weights counts as 0
    Special d(names);
    d.row("N", "", {40, 40}).row("SUMWGT", "", {-3, -3});
    d.row("CORR", "a", {1, 0.5}).row("CORR", "b", {0.5, 1});
    Host h;
    Read r = read(h, d, 2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.sumwt, 0);
    EXPECT_EQ(r.vardiv, 39);
  }
  {  // a lower triangle is enough; rows of other variables are ignored
    Special d({"a", "z", "b"});
    d.row("N", "", {9, 9, 9});
    d.row("CORR", "a", {1, M, M}).row("CORR", "z", {0.1, 1, M}).row("CORR", "b", {0.4, 0.2, 1});
    Host h;
    Read r = read(h, d, 2, false, "", "DF      ", {2, 4});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.r(1, 0), 0.4);
    EXPECT_EQ(r.r(1, 1), 1);
  }
  {  // without _NAME_ the rows are taken in order
    Special d(names, true, false);
    d.row("N", "", {5, 5}).row("CORR", "", {1, 0.25}).row("CORR", "", {0.25, 1});
    Host h;
    Read r = read(h, d, 2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.r(1, 0), 0.25);
    EXPECT_EQ(h.count(10), 1);
    d.row("CORR", "", {0.25, 1});  // one row too many
    Host h2;
    EXPECT_EQ(read(h2, d, 2).rc, 108);
    EXPECT_EQ(h2.count(21), 1);
  }
  {  // without _TYPE_ every row is a matrix row
    Special d(names, false, true);
    d.row("", "a", {1, 0.3}).row("", "b", {0.3, 1});
    Host h;
    Read r = read(h, d, 2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.r(0, 1), 0.3);
    EXPECT_EQ(h.count(9), 1);
  }
  {  // names: a doubtful one takes the next position, once noted; a hard one stops
    Special d(names);
    d.row("N", "", {5, 5}).row("CORR", "1st", {1, 0.25}).row("CORR", "2nd", {0.25, 1});
    Host h;
    Read r = read(h, d, 2);
    EXPECT_EQ(r.rc, 4);
    EXPECT_EQ(h.count(13), 1);
    EXPECT_EQ(r.r(1, 0), 0.25);
    d.row("CORR", std::string(40, 'q'), {0.25, 1});
    Host h2;
    EXPECT_EQ(read(h2, d, 2).rc, 108);
    EXPECT_EQ(h2.count(14), 1);
  }
  {  // no observations
    Special d(names);
    Host h;
    EXPECT_EQ(read(h, d, 2).rc, 108);
    EXPECT_EQ(h.numbers(), std::vector<int>{5});
  }
}

TEST(Zrcorr, SymmetryAndDiagonalChecks) {
  const std::vector<std::string> names = {"alpha", "beta", "gamma"};
  auto base = [&](double ab_in_b_row) {
    Special d(names);
    d.row("N", "", {20, 20, 20});
    d.row("CORR", "alpha", {1, 0.5, 0.1}).row("CORR", "beta", {ab_in_b_row, 1, 0.2});
    d.row("CORR", "gamma", {0.1, 0.2, 1});
    return d;
  };
  {
    Host h;
    EXPECT_EQ(read(h, base(0.5002), 3).rc, 108);
    const LogEntry* e = h.find(23);
    ASSERT_TRUE(e);
    EXPECT_NE(e->text.find("beta"), std::string::npos);
    EXPECT_NE(e->text.find("alpha"), std::string::npos);
  }
  {  // within the tolerance the later row's value is kept
    Host h;
    Read r = read(h, base(0.50005), 3);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.r(0, 1), 0.50005);
  }
  {  // a missing diagonal when the halves are compared
    Special d(names);
    d.row("CORR", "alpha", {M, 0.5, 0.1}).row("CORR", "beta", {0.5, 1, 0.2});
    Host h;
    EXPECT_EQ(read(h, d, 3).rc, 108);
    EXPECT_EQ(h.numbers(), std::vector<int>{40});
  }
  {  // a negative variance
    Special d(names, true, true, "COV");
    d.row("N", "", {20, 20, 20});
    d.row("COV", "alpha", {1, 0, 0}).row("COV", "beta", {0, -2, 0});
    d.row("COV", "gamma", {0, 0, 1});
    Host h;
    EXPECT_EQ(read(h, d, 3).rc, 108);
    const LogEntry* e = h.find(27);
    ASSERT_TRUE(e);
    EXPECT_NE(e->text.find("beta"), std::string::npos);
  }
  {  // a zero variance with a non-zero covariance
    Special d(names, true, true, "COV");
    d.row("N", "", {20, 20, 20});
    d.row("COV", "alpha", {1, 0.3, 0}).row("COV", "beta", {0.3, 0, 0});
    d.row("COV", "gamma", {0, 0, 1});
    Host h;
    EXPECT_EQ(read(h, d, 3).rc, 108);
    EXPECT_EQ(h.count(26), 1);
  }
  {  // a correlation diagonal above 1: noted, warned and rescaled
    Special d(names);
    d.row("N", "", {20, 20, 20});
    d.row("CORR", "alpha", {4, 1, 0}).row("CORR", "beta", {1, 1, 0});
    d.row("CORR", "gamma", {0, 0, 1});
    Host h;
    Read r = read(h, d, 3);
    EXPECT_EQ(r.rc, 4);
    EXPECT_EQ(h.numbers(), (std::vector<int>{22, 25, 18, 38, 39}));
    EXPECT_DOUBLE_EQ(r.r(0, 1), 0.5);
    EXPECT_EQ(r.r(0, 0), 1);
  }
}

TEST(Zrcorr, IncompleteMatrixFallsBackToAnotherType) {
  const Sample s(8);
  const std::vector<std::string> names(kNames, kNames + 3);
  Special d(names);
  d.row("N", "", std::vector<double>(3, static_cast<double>(s.n)));
  d.row("MEAN", "", s.vec(s.mean));
  d.row("CORR", "height", {1, M, M}).row("CORR", "Width", {M, 1, M});
  for (int j = 0; j < 3; ++j) d.row("COV", names[j], s.row(s.centred, j, s.n - 1, false));
  Host h;
  Read r = read(h, d, 3);
  expect_sample(r, s, false, "fallback to COV");
  EXPECT_EQ(h.numbers(), (std::vector<int>{16, 28}));
  const LogEntry* e = h.find(28);
  ASSERT_TRUE(e);
  EXPECT_NE(e->text.find("CORR"), std::string::npos);
  EXPECT_NE(e->text.find("COV"), std::string::npos);

  // With BY groups the second read starts again at the group, not the data.
  Special by({"g", "height", "Width", "depth"});
  auto add = [&](double g, const std::string& t, const std::string& n, std::vector<double> v) {
    v.insert(v.begin(), g);
    by.row(t, n, v);
  };
  add(1, "N", "", {9, 9, 9});
  add(1, "CORR", "height", {1, 0.1, 0.2});
  add(1, "CORR", "Width", {0.1, 1, 0.3});
  add(1, "CORR", "depth", {0.2, 0.3, 1});
  add(2, "N", "", {9, 9, 9});
  add(2, "CORR", "height", {1, M, M});
  add(2, "COV", "height", {4, 2, 0});
  add(2, "COV", "Width", {2, 4, 0});
  add(2, "COV", "depth", {0, 0, 9});
  auto reader = open_memory_reader(by.ds);
  ByGroups groups(*reader, {{"g"}});
  std::vector<double> cor(6), mean(3), sd(3), datax(3);
  double vardiv, sumwt, nobs;
  Host hb;
  ASSERT_EQ(groups.xbynext(), 1);
  EXPECT_EQ(zrcorr(hb.ctx, groups, {3, 4, 5}, 0, "CORR", cor.data(), mean.data(), sd.data(),
                   datax.data(), "DF", &vardiv, &sumwt, &nobs),
            0);
  EXPECT_EQ(cor[1], 0.1);
  ASSERT_EQ(groups.xbynext(), 2);
  EXPECT_EQ(zrcorr(hb.ctx, groups, {3, 4, 5}, 0, "CORR", cor.data(), mean.data(), sd.data(),
                   datax.data(), "DF", &vardiv, &sumwt, &nobs),
            0);
  EXPECT_DOUBLE_EQ(cor[1], 0.5);
  EXPECT_DOUBLE_EQ(sd[2], 3);
  EXPECT_EQ(groups.xbynext(), 0);

  {  // nothing to fall back to
    Special d2(names);
    d2.row("CORR", "height", {1, M, M});
    Host h2;
    EXPECT_EQ(read(h2, d2, 3).rc, 108);
    EXPECT_EQ(h2.numbers(), (std::vector<int>{16, 41}));
    Special d3(names);
    d3.row("MEAN", "", {1, 2, 3});
    Host h3;
    EXPECT_EQ(read(h3, d3, 3).rc, 108);
    EXPECT_EQ(h3.numbers(), (std::vector<int>{16, 15}));
  }
}

TEST(Zrcorr, MeansForUncorrectedInput) {
  const Sample s(4);
  const std::vector<std::string> names(kNames, kNames + 3);
  {  // UCOV without means cannot be centred; with NOINT it need not be
    Special d(names, true, true, "UCOV");
    d.row("N", "", std::vector<double>(3, static_cast<double>(s.n)));
    for (int j = 0; j < 3; ++j) d.row("UCOV", names[j], s.row(s.raw, j, s.n, false));
    Host h;
    EXPECT_EQ(read(h, d, 3).rc, 108);
    EXPECT_EQ(h.numbers(), std::vector<int>{36});
    Host h2;
    expect_sample(read(h2, d, 3, true), s, true, "UCOV noint", false);
    EXPECT_EQ(h2.numbers(), std::vector<int>{38});
  }
  {  // SSCP with an intercept variable but a missing sum
    Special d({"INTERCEPT", "height", "Width", "depth"}, true, true, "SSCP");
    d.row("N", "", {M, 25, 25, 25});
    for (int j = 0; j < 3; ++j) {
      std::vector<double> r = {j == 1 ? M : static_cast<double>(s.sums[j])};
      for (int k = 0; k < 3; ++k) r.push_back(static_cast<double>(s.raw[j][k]));
      d.row("SSCP", names[j], r);
    }
    Host h;
    EXPECT_EQ(read(h, d, 3, false, "", "DF", {3, 4, 5}).rc, 108);
    EXPECT_EQ(h.numbers(), std::vector<int>{34});
  }
  {  // EST needs its PARM row
    Special d(names, true, true, "EST");
    d.row("PARM", "", {1, M, 3});
    for (int j = 0; j < 3; ++j) d.row("COV", names[j], s.row(s.centred, j, s.n - 1, false));
    Host h;
    EXPECT_EQ(read(h, d, 3).rc, 108);
    EXPECT_EQ(h.numbers(), std::vector<int>{35});
  }
  {  // centring that leaves less than rounding noise of a variance
    Special d({"a", "b"}, true, true, "UCOV");
    d.row("N", "", {10, 10}).row("MEAN", "", {1e8, 2});
    d.row("UCOV", "a", {1e16, 2e8}).row("UCOV", "b", {2e8, 5});
    Host h;
    Read r = read(h, d, 2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.std[0], 0);
    EXPECT_EQ(r.r(0, 0), 0);
    EXPECT_EQ(r.r(1, 0), 0);
    EXPECT_EQ(r.r(1, 1), 1);
    // and a variance that comes out negative
    Special n({"a", "b"}, true, true, "UCOV");
    n.row("N", "", {10, 10}).row("MEAN", "", {3, 2});
    n.row("UCOV", "a", {5, 6}).row("UCOV", "b", {6, 50});
    Host h2;
    Read r2 = read(h2, n, 2);
    EXPECT_EQ(r2.rc, 4);
    EXPECT_EQ(h2.numbers(), std::vector<int>{24});
    EXPECT_EQ(r2.std[0], 0);
    EXPECT_EQ(r2.r(1, 0), 0);
  }
}

TEST(Zrcorr, WrongVariableTypesEndTheStep) {
  auto code = [](Special& d, const std::string& type) {
    Host h;
    auto reader = open_memory_reader(d.ds);
    ByGroups groups(*reader, {});
    groups.xbynext();
    std::vector<double> cor(3), mean(2), sd(2), datax(2);
    double vardiv, sumwt, nobs;
    try {
      zrcorr(h.ctx, groups, {2, 3}, 0, type, cor.data(), mean.data(), sd.data(), datax.data(), "DF",
             &vardiv, &sumwt, &nobs);
    } catch (const StepExit& e) {
      return std::make_pair(e.code, h.numbers());
    }
    return std::make_pair(0, h.numbers());
  };
  Special numeric_type({"a", "b"});
  numeric_type.ds->header.vars[0].kind = VarKind::Numeric;
  EXPECT_EQ(code(numeric_type, "CORR"), std::make_pair(1008, std::vector<int>{33}));
  Special sscp({"a", "b", "INTERCEP"}, true, true, "SSCP");
  sscp.ds->header.vars[4].kind = VarKind::Character;
  EXPECT_EQ(code(sscp, "SSCP"), std::make_pair(1008, std::vector<int>{32}));
}

TEST(Zrsimp, MeansDeviationsAndCounts) {
  const std::vector<std::string> names = {"a", "b"};
  auto run = [](Host& h, const Special& d, const char* vardef, std::vector<double>& mean,
                std::vector<double>& sd, double& vardiv, double& sumwt, double& nobs) {
    auto reader = open_memory_reader(d.ds);
    ByGroups groups(*reader, {});
    groups.xbynext();
    mean.assign(2, -7);
    sd.assign(2, -7);
    std::vector<double> datax(2);
    return zrsimp(h.ctx, groups, d.positions(2), mean.data(), sd.data(), datax.data(), vardef,
                  &vardiv, &sumwt, &nobs);
  };
  std::vector<double> mean, sd;
  double vardiv, sumwt, nobs;
  {
    Special d(names, true, true, "FACTOR");
    d.row("MEAN", "", {3, M}).row("STD", "", {M, 2}).row("N", "", {30, 20});
    d.row("PATTERN", "F1", {0.7, 0.6});
    Host h;
    EXPECT_EQ(run(h, d, "DF", mean, sd, vardiv, sumwt, nobs), 0);
    EXPECT_EQ(mean, (std::vector<double>{3, 0}));
    EXPECT_EQ(sd, (std::vector<double>{1, 2}));
    EXPECT_EQ(nobs, 20);
    EXPECT_EQ(sumwt, 20);
    EXPECT_EQ(vardiv, 19);
    EXPECT_EQ(h.numbers(), std::vector<int>{11});
  }
  {  // the sum of weights stands for the count in the divisor
    Special d(names, true, true, "FACTOR");
    d.row("N", "", {30, 30}).row("SUMWGT", "", {12.5, 12.5});
    Host h;
    EXPECT_EQ(run(h, d, "N", mean, sd, vardiv, sumwt, nobs), 0);
    EXPECT_EQ(vardiv, 12.5);
    EXPECT_EQ(nobs, 30);
  }
  {
    Special d(names, true, true, "FACTOR");
    d.row("MEAN", "", {1, 2});
    Host h;
    EXPECT_EQ(run(h, d, "DF", mean, sd, vardiv, sumwt, nobs), 0);
    EXPECT_EQ(nobs, 10000);
    EXPECT_EQ(vardiv, 9999);
    EXPECT_EQ(h.numbers(), std::vector<int>{17});
  }
  {
    Special d(names, false, true, "FACTOR");
    d.row("", "x", {1, 2});
    Host h;
    EXPECT_EQ(run(h, d, "DF", mean, sd, vardiv, sumwt, nobs), 0);
    EXPECT_EQ(mean, (std::vector<double>{0, 0}));
    EXPECT_EQ(sd, (std::vector<double>{1, 1}));
    EXPECT_EQ(nobs, 10000);
    EXPECT_EQ(h.numbers(), std::vector<int>{19});
  }
  {
    Special d(names, true, true, "FACTOR");
    Host h;
    EXPECT_EQ(run(h, d, "DF", mean, sd, vardiv, sumwt, nobs), 108);
    EXPECT_EQ(h.numbers(), std::vector<int>{5});
  }
}

TEST(Zrcorr, SameTellsWhetherValuesAgree) {
  double r;
  const double v1[] = {4, missing_value(), 4};
  EXPECT_EQ(same(&r, v1, 3), 1);
  EXPECT_EQ(r, 4);
  const double v2[] = {4, 3, missing_value(), 7};
  EXPECT_EQ(same(&r, v2, 4), 0);
  EXPECT_EQ(r, 3);
  const double v3[] = {missing_value(), missing_value()};
  EXPECT_EQ(same(&r, v3, 2), 1);
  EXPECT_TRUE(is_missing(r));
}

}  // namespace
}  // namespace kav
