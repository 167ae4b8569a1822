// Special data sets read back: each type encodes one set of statistics
// (computed here from a small raw sample in long double) and must give back
// its correlation matrix, means, deviations and counts; bad matrices stop
// with their messages and statuses.
#include "factor/input/zrcorr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/input/zrsimp.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"

namespace kav {
namespace {

constexpr double M = std::numeric_limits<double>::quiet_NaN();  // a missing cell
using Ints = std::vector<int>;
using Doubles = std::vector<double>;
using Outcome = std::pair<int, Ints>;  // a status and the messages logged

// A special data set: _TYPE_ and _NAME_ (unless left out), then the given
// numeric variables, with rows written as text: `;` between rows, each
// _TYPE_ and _NAME_ (where the data set has them) and the values; "." is an
// empty name or a missing value.
struct Special {
  std::shared_ptr<MemoryDataSet> ds = std::make_shared<MemoryDataSet>();
  int ntype = -1, nname = -1;
  explicit Special(std::vector<std::string> numeric, const std::string& rows = "",
                   std::string type = "CORR", bool with_type = true, bool with_name = true) {
    ds->header.name = "WORK.SPECIAL";
    ds->header.type = type;
    auto add = [&](const std::string& name, bool character) {
      Variable v;
      v.name = name;
      if (character) v.kind = VarKind::Character, v.length = 32;
      ds->header.vars.push_back(v);
      return static_cast<int>(ds->header.vars.size()) - 1;
    };
    if (with_type) ntype = add("_TYPE_", true);
    if (with_name) nname = add("_NAME_", true);
    for (auto& n : numeric) add(n, false);
    std::stringstream all(rows);
    for (std::string line; std::getline(all, line, ';');) {
      if (line.find_first_not_of(' ') == std::string::npos) continue;
      std::istringstream in(line);
      std::string t, n, v;
      if (ntype >= 0) in >> t;
      if (nname >= 0) in >> n;
      Doubles values;
      while (in >> v) values.push_back(v == "." ? M : std::stod(v));
      row(t == "." ? "" : t, n == "." ? "" : n, values);
    }
  }
  Special& row(const std::string& type, const std::string& name, Doubles values) {
    Observation o;
    o.resize(ds->header.vars.size());
    if (ntype >= 0) o.str[ntype] = type;
    if (nname >= 0) o.str[nname] = name;
    for (std::size_t k = 0; k < values.size(); ++k)
      o.num[first() + k] = std::isnan(values[k]) ? missing_value() : values[k];
    ds->rows.push_back(o);
    return *this;
  }
  std::size_t first() const { return static_cast<std::size_t>((ntype >= 0) + (nname >= 0)); }
};

struct Options {
  bool noint = false;
  const char* vardef = "DF";
  Ints vars = {};  // positions of the analysis variables; the first nvar numeric ones by default
  std::vector<ByVariable> by = {};
  bool simple = false;  // zrsimp instead of zrcorr
};

// What one BY group read back, with the numbers of the messages it logged.
struct Read {
  int rc = -1;
  Doubles cor, mean, std;
  double vardiv = 0, sumwt = 0, nobs = 0;
  Ints msgs;
  std::vector<std::string> texts;
  double r(int i, int j) const {
    return i >= j ? cor[i * (i + 1) / 2 + j] : cor[j * (j + 1) / 2 + i];
  }
  // The counts read: observations, sum of weights, variance divisor.
  Doubles counts() const { return {nobs, sumwt, vardiv}; }
  Outcome outcome() const { return {rc, msgs}; }
  int count(int number) const {
    return static_cast<int>(std::count(msgs.begin(), msgs.end(), number));
  }
  std::string text(int number) const {
    for (std::size_t k = 0; k < msgs.size(); ++k)
      if (msgs[k] == number) return texts[k];
    ADD_FAILURE() << "no message " << number;
    return {};
  }
};

// Every BY group of the data set read in turn (one without BY variables).
std::vector<Read> read_groups(const Special& s, int nvar, Options o = {}) {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  StepContext ctx{session, {}};
  auto reader = open_memory_reader(s.ds);
  ByGroups groups(*reader, o.by);
  if (o.vars.empty())
    for (int k = 0; k < nvar; ++k) o.vars.push_back(static_cast<int>(s.first()) + k);
  std::vector<Read> out;
  for (int g = 1; groups.xbynext() == g; ++g) {
    Read r;
    r.cor.assign(nvar * (nvar + 1) / 2, -7);
    r.mean.assign(nvar, -7);
    r.std.assign(nvar, -7);
    Doubles datax(nvar);
    const std::size_t logged = session.log.entries().size();
    try {
      r.rc = o.simple ? zrsimp(ctx, groups, o.vars, r.mean.data(), r.std.data(), datax.data(),
                               o.vardef, &r.vardiv, &r.sumwt, &r.nobs)
                      : zrcorr(ctx, groups, o.vars, o.noint, s.ds->header.type, r.cor.data(),
                               r.mean.data(), r.std.data(), datax.data(), o.vardef, &r.vardiv,
                               &r.sumwt, &r.nobs);
    } catch (const StepExit& e) {
      r.rc = e.code;
    }
    for (std::size_t k = logged; k < session.log.entries().size(); ++k)
      if (const auto& e = session.log.entries()[k]; e.group == 230) {
        r.msgs.push_back(e.number);
        r.texts.push_back(e.text);
      }
    out.push_back(r);
    if (o.by.empty()) break;
  }
  return out;
}
Read read(const Special& s, int nvar, const Options& o = {}) {
  auto all = read_groups(s, nvar, o);
  EXPECT_EQ(all.size(), 1u);
  return all.empty() ? Read{} : all[0];
}

// The statistics a raw sample of three variables encodes, in long double.
using LMat = std::vector<std::vector<long double>>;
struct Sample {
  static constexpr int p = 3;
  long double n = 0;
  std::vector<long double> mean, sums;
  LMat raw, centred;  // crossproducts
  explicit Sample(unsigned seed, int rows = 25) : n(rows), mean(p), sums(p) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0, 1);
    std::vector<std::vector<long double>> x;
    for (int i = 0; i < rows; ++i) {
      const double c = z(rng);
      x.push_back({5 + c + z(rng), -2 + 0.5 * c + 2 * z(rng), 10 + 0.3 * z(rng) - c});
      for (int j = 0; j < p; ++j) sums[j] += x.back()[j];
    }
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
  static double corr(const LMat& a, int j, int k) {
    return static_cast<double>(a[j][k] / std::sqrt(a[j][j] * a[k][k]));
  }
  static double sd(const LMat& a, int j, long double d) {
    return static_cast<double>(std::sqrt(a[j][j] / d));
  }
  // Row j of a as correlations (d = 0) or divided by d.
  static Doubles row(const LMat& a, int j, long double d) {
    Doubles out;
    for (int k = 0; k < p; ++k)
      out.push_back(d == 0 ? corr(a, j, k) : static_cast<double>(a[j][k] / d));
    return out;
  }
  static Doubles sds(const LMat& a, long double d) {
    return {sd(a, 0, d), sd(a, 1, d), sd(a, 2, d)};
  }
  Doubles means() const { return Doubles(mean.begin(), mean.end()); }
  Doubles counts() const { return Doubles(p, static_cast<double>(n)); }
};

const std::vector<std::string> kNames = {"height", "Width", "depth"};

// Checks that what was read is the centred (or, with noint, uncorrected)
// correlation structure of the sample, with deviations by divisor n - 1
// (or n).
void expect_sample(const Read& r, const Sample& s, bool noint, bool with_means = true) {
  ASSERT_EQ(r.rc, 0);
  const auto& a = noint ? s.raw : s.centred;
  const long double d = noint ? s.n : s.n - 1;
  for (int j = 0; j < s.p; ++j) {
    if (with_means) {
      EXPECT_NEAR(r.mean[j], static_cast<double>(s.mean[j]), 1e-12) << "mean " << j;
    }
    EXPECT_NEAR(r.std[j], Sample::sd(a, j, d), 1e-12 * Sample::sd(a, j, d)) << "std " << j;
    for (int k = 0; k < s.p; ++k)
      EXPECT_NEAR(r.r(j, k), Sample::corr(a, j, k), 1e-12) << "r " << j << k;
  }
  EXPECT_EQ(r.nobs, static_cast<double>(s.n));
  EXPECT_EQ(r.sumwt, static_cast<double>(s.n));
  EXPECT_EQ(r.vardiv, static_cast<double>(d));
}

// Each type written from the same sample reads back to the same statistics,
// centred and under NOINT.
TEST(Zrcorr, EveryTypeGivesBackWhatItEncodes) {
  const Sample s(3);
  auto corr = [&](std::string type, const LMat& a, Doubles sd, const char* sdtype) {
    Special d(kNames, "", type);
    d.row("MEAN", "", s.means()).row(sdtype, "", sd).row("N", "", s.counts());
    for (int j = 0; j < 3; ++j) d.row(type == "FACTOR" ? "CORR" : type, kNames[j], s.row(a, j, 0));
    if (type == "FACTOR") d.row("EIGENVAL", "", {2, 0.7, 0.3}).row("PRIORS", "", {1, 1, 1});
    return d;
  };
  auto cov = [&](std::string type, const LMat& a, long double dv, const std::string& rowtype) {
    Special d(kNames, "", type);
    d.row("N", "", s.counts()).row(type == "EST" ? "PARM" : "MEAN", "", s.means());
    for (int j = 0; j < 3; ++j) d.row(rowtype, kNames[j], s.row(a, j, dv));
    return d;
  };
  const std::vector<std::pair<std::string, Special>> cases = {
      {"CORR", corr("CORR", s.centred, Sample::sds(s.centred, s.n - 1), "STD")},
      {"FACTOR", corr("FACTOR", s.centred, Sample::sds(s.centred, s.n - 1), "STD")},
      {"UCORR", corr("UCORR", s.raw, Sample::sds(s.raw, s.n), "USTD")},
      {"COV", cov("COV", s.centred, s.n - 1, "COV")},
      {"EST", cov("EST", s.centred, s.n - 1, "COVB")},
      {"ACE", cov("ACE", s.centred, s.n - 1, "ACE")},
      {"UCOV", cov("UCOV", s.raw, s.n, "UCOV")},
      {"SSCP", cov("SSCP", s.raw, 1, "SSCP")},
  };
  for (const auto& [type, data] : cases)
    for (bool noint : {false, true}) {
      SCOPED_TRACE(type + (noint ? " noint" : ""));
      const Read r = read(data, 3, {.noint = noint});
      expect_sample(r, s, noint);
      // SSCP without an intercept variable says so; nothing else is noted.
      EXPECT_EQ(r.msgs, type == "SSCP" ? Ints{31} : Ints{});
    }

  // SSCP with the intercept row and column: sums and count come from them.
  Special sscp({"INTERCEP", "height", "Width", "depth"}, "", "SSCP");
  Doubles irow = {static_cast<double>(s.n)};
  for (int j = 0; j < 3; ++j) irow.push_back(static_cast<double>(s.sums[j]));
  sscp.row("SSCP", "INTERCEPT", irow);
  for (int j = 0; j < 3; ++j) {
    Doubles r = {static_cast<double>(s.sums[j])};
    for (int k = 0; k < 3; ++k) r.push_back(static_cast<double>(s.raw[j][k]));
    sscp.row("SSCP", kNames[j], r);
  }
  for (bool noint : {false, true}) {
    SCOPED_TRACE(noint ? "SSCP intercept noint" : "SSCP intercept");
    const Read r = read(sscp, 3, {.noint = noint, .vars = {3, 4, 5}});
    expect_sample(r, s, noint);
    EXPECT_TRUE(r.msgs.empty());
  }
}

TEST(Zrcorr, DefaultsAndCountsWithTheirMessages) {
  const std::vector<std::string> ab = {"a", "b"};
  const std::string corr = "; CORR a 1 0.5; CORR b 0.5 1";
  // No N row: 10000 observations; missing means and deviations.
  Read r = read(Special(ab, corr), 2);
  EXPECT_EQ(r.outcome(), (Outcome{0, {38, 39, 17}}));
  EXPECT_EQ(r.counts(), (Doubles{10000, 10000, 9999}));
  EXPECT_EQ(r.mean, Doubles(2, 0.0));
  EXPECT_EQ(r.std, Doubles(2, 1.0));

  // N values that differ: the smallest; SUMWGT sets the weight sum.
  r = read(Special(ab, "N . 40 35; SUMWGT . 80 80; STD . 2 3; MEAN . 1 2" + corr), 2,
           {.vardef = "WDF"});
  EXPECT_EQ(r.outcome(), (Outcome{0, {11}}));
  EXPECT_EQ(r.counts(), (Doubles{35, 80, 79}));
  EXPECT_EQ(r.std, (Doubles{2, 3}));

  // A negative sum of weights counts as 0.
  r = read(Special(ab, "N . 40 40; SUMWGT . -3 -3" + corr), 2);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts(), (Doubles{40, 0, 39}));

  // A lower triangle is enough; rows of other variables are ignored.
  r = read(Special({"a", "z", "b"}, "N . 9 9 9; CORR a 1 . .; CORR z 0.1 1 .; CORR b 0.4 0.2 1"), 2,
           {.vars = {2, 4}});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.r(1, 0), 0.4);
  EXPECT_EQ(r.r(1, 1), 1);

  // Without _NAME_ the rows are taken in order; one row too many stops.
  Special unnamed(ab, "N 5 5; CORR 1 0.25; CORR 0.25 1", "CORR", true, false);
  r = read(unnamed, 2);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.r(1, 0), 0.25);
  EXPECT_EQ(r.count(10), 1);
  r = read(unnamed.row("CORR", "", {0.25, 1}), 2);
  EXPECT_EQ(r.rc, 108);
  EXPECT_EQ(r.count(21), 1);

  // Without _TYPE_ every row is a matrix row.
  r = read(Special(ab, "a 1 0.3; b 0.3 1", "CORR", false), 2);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.r(0, 1), 0.3);
  EXPECT_EQ(r.count(9), 1);

  // Names: a doubtful one takes the next position, once noted; a hard one stops.
  Special doubtful(ab, "N . 5 5; CORR 1st 1 0.25; CORR 2nd 0.25 1");
  r = read(doubtful, 2);
  EXPECT_EQ(r.rc, 4);
  EXPECT_EQ(r.count(13), 1);
  EXPECT_EQ(r.r(1, 0), 0.25);
  r = read(doubtful.row("CORR", std::string(40, 'q'), {0.25, 1}), 2);
  EXPECT_EQ(r.rc, 108);
  EXPECT_EQ(r.count(14), 1);

  // No observations.
  r = read(Special(ab), 2);
  EXPECT_EQ(r.outcome(), (Outcome{108, {5}}));
}

TEST(Zrcorr, SymmetryAndDiagonalChecks) {
  const std::vector<std::string> names = {"alpha", "beta", "gamma"};
  auto matrix = [&](const std::string& type, const std::string& rows) {
    return read(Special(names, "N . 20 20 20; " + rows, type), 3);
  };
  // Halves that disagree name both variables.
  Read r = matrix("CORR", "CORR alpha 1 0.5 0.1; CORR beta 0.5002 1 0.2; CORR gamma 0.1 0.2 1");
  EXPECT_EQ(r.rc, 108);
  EXPECT_NE(r.text(23).find("beta"), std::string::npos);
  EXPECT_NE(r.text(23).find("alpha"), std::string::npos);
  // Within the tolerance the later row's value is kept.
  r = matrix("CORR", "CORR alpha 1 0.5 0.1; CORR beta 0.50005 1 0.2; CORR gamma 0.1 0.2 1");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.r(0, 1), 0.50005);
  // A missing diagonal when the halves are compared.
  r = read(Special(names, "CORR alpha . 0.5 0.1; CORR beta 0.5 1 0.2"), 3);
  EXPECT_EQ(r.outcome(), (Outcome{108, {40}}));
  // A negative variance, named.
  r = matrix("COV", "COV alpha 1 0 0; COV beta 0 -2 0; COV gamma 0 0 1");
  EXPECT_EQ(r.rc, 108);
  EXPECT_NE(r.text(27).find("beta"), std::string::npos);
  // A zero variance with a non-zero covariance.
  r = matrix("COV", "COV alpha 1 0.3 0; COV beta 0.3 0 0; COV gamma 0 0 1");
  EXPECT_EQ(r.rc, 108);
  EXPECT_EQ(r.count(26), 1);
  // A correlation diagonal above 1: noted, warned and rescaled.
  r = matrix("CORR", "CORR alpha 4 1 0; CORR beta 1 1 0; CORR gamma 0 0 1");
  EXPECT_EQ(r.outcome(), (Outcome{4, {22, 25, 18, 38, 39}}));
  EXPECT_DOUBLE_EQ(r.r(0, 1), 0.5);
  EXPECT_EQ(r.r(0, 0), 1);
  // Below 1: noted and rescaled, without the warning.
  r = matrix("CORR", "CORR alpha 0.25 0.25 0; CORR beta 0.25 1 0; CORR gamma 0 0 1");
  EXPECT_EQ(r.outcome(), (Outcome{0, {22, 18, 38, 39}}));
  EXPECT_DOUBLE_EQ(r.r(0, 1), 0.5);
}

TEST(Zrcorr, IncompleteMatrixFallsBackToAnotherType) {
  const Sample s(8);
  Special d(kNames, "CORR height 1 . .; CORR Width . 1 .");
  d.row("N", "", s.counts()).row("MEAN", "", s.means());
  for (int j = 0; j < 3; ++j) d.row("COV", kNames[j], Sample::row(s.centred, j, s.n - 1));
  Read r = read(d, 3);
  expect_sample(r, s, false);
  EXPECT_EQ(r.msgs, (Ints{16, 28}));
  EXPECT_NE(r.text(28).find("CORR"), std::string::npos);
  EXPECT_NE(r.text(28).find("COV"), std::string::npos);

  // With BY groups the second read starts again at the group, not the data.
  const Special by({"g", "height", "Width", "depth"},
                   "N . 1 9 9 9; CORR height 1 1 0.1 0.2; CORR Width 1 0.1 1 0.3;"
                   "CORR depth 1 0.2 0.3 1; N . 2 9 9 9; CORR height 2 1 . .;"
                   "COV height 2 4 2 0; COV Width 2 2 4 0; COV depth 2 0 0 9");
  const auto groups = read_groups(by, 3, {.vars = {3, 4, 5}, .by = {{"g"}}});
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].rc, 0);
  EXPECT_EQ(groups[0].r(1, 0), 0.1);
  EXPECT_EQ(groups[1].rc, 0);
  EXPECT_DOUBLE_EQ(groups[1].r(1, 0), 0.5);
  EXPECT_DOUBLE_EQ(groups[1].std[2], 3);

  // Nothing to fall back to.
  r = read(Special(kNames, "CORR height 1 . ."), 3);
  EXPECT_EQ(r.outcome(), (Outcome{108, {16, 41}}));
  r = read(Special(kNames, "MEAN . 1 2 3"), 3);
  EXPECT_EQ(r.outcome(), (Outcome{108, {16, 15}}));
}

TEST(Zrcorr, MeansForUncorrectedInput) {
  const Sample s(4);
  // UCOV without means cannot be centred; with NOINT it need not be.
  Special ucov(kNames, "", "UCOV");
  ucov.row("N", "", s.counts());
  for (int j = 0; j < 3; ++j) ucov.row("UCOV", kNames[j], Sample::row(s.raw, j, s.n));
  Read r = read(ucov, 3);
  EXPECT_EQ(r.outcome(), (Outcome{108, {36}}));
  r = read(ucov, 3, {.noint = true});
  expect_sample(r, s, true, false);
  EXPECT_EQ(r.msgs, Ints{38});

  // SSCP with an intercept variable but a missing sum.
  Special sscp({"INTERCEPT", "height", "Width", "depth"}, "N . . 25 25 25", "SSCP");
  for (int j = 0; j < 3; ++j) {
    Doubles row = {j == 1 ? M : static_cast<double>(s.sums[j])};
    for (int k = 0; k < 3; ++k) row.push_back(static_cast<double>(s.raw[j][k]));
    sscp.row("SSCP", kNames[j], row);
  }
  r = read(sscp, 3, {.vars = {3, 4, 5}});
  EXPECT_EQ(r.outcome(), (Outcome{108, {34}}));

  // EST needs its PARM row.
  Special est(kNames, "PARM . 1 . 3", "EST");
  for (int j = 0; j < 3; ++j) est.row("COV", kNames[j], Sample::row(s.centred, j, s.n - 1));
  r = read(est, 3);
  EXPECT_EQ(r.outcome(), (Outcome{108, {35}}));

  // Centring that leaves less than rounding noise of a variance.
  r = read(Special({"a", "b"}, "N . 10 10; MEAN . 1e8 2; UCOV a 1e16 2e8; UCOV b 2e8 5", "UCOV"),
           2);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.std[0], 0);
  EXPECT_EQ(r.r(0, 0), 0);
  EXPECT_EQ(r.r(1, 0), 0);
  EXPECT_EQ(r.r(1, 1), 1);
  // And a variance that comes out negative.
  r = read(Special({"a", "b"}, "N . 10 10; MEAN . 3 2; UCOV a 5 6; UCOV b 6 50", "UCOV"), 2);
  EXPECT_EQ(r.outcome(), (Outcome{4, {24}}));
  EXPECT_EQ(r.std[0], 0);
  EXPECT_EQ(r.r(1, 0), 0);
}

TEST(Zrcorr, WrongVariableTypesEndTheStep) {
  Special numeric_type({"a", "b"});
  numeric_type.ds->header.vars[0].kind = VarKind::Numeric;
  Read r = read(numeric_type, 2);
  EXPECT_EQ(r.outcome(), (Outcome{1008, {33}}));
  Special sscp({"a", "b", "INTERCEP"}, "", "SSCP");
  sscp.ds->header.vars[4].kind = VarKind::Character;
  r = read(sscp, 2);
  EXPECT_EQ(r.outcome(), (Outcome{1008, {32}}));
}

TEST(Zrsimp, MeansDeviationsAndCounts) {
  auto simp = [](const std::string& rows, const char* vardef = "DF", bool with_type = true) {
    return read(Special({"a", "b"}, rows, "FACTOR", with_type), 2,
                {.vardef = vardef, .simple = true});
  };
  Read r = simp("MEAN . 3 .; STD . . 2; N . 30 20; PATTERN F1 0.7 0.6");
  EXPECT_EQ(r.outcome(), (Outcome{0, {11}}));
  EXPECT_EQ(r.mean, (Doubles{3, 0}));
  EXPECT_EQ(r.std, (Doubles{1, 2}));
  EXPECT_EQ(r.counts(), (Doubles{20, 20, 19}));
  // The sum of weights stands for the count in the divisor.
  r = simp("N . 30 30; SUMWGT . 12.5 12.5", "N");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.counts(), (Doubles{30, 12.5, 12.5}));
  // No N row; no _TYPE_ (means 0, deviations 1); no observations.
  r = simp("MEAN . 1 2");
  EXPECT_EQ(r.outcome(), (Outcome{0, {17}}));
  EXPECT_EQ(r.counts(), (Doubles{10000, 10000, 9999}));
  r = simp("x 1 2", "DF", false);
  EXPECT_EQ(r.outcome(), (Outcome{0, {19}}));
  EXPECT_EQ(r.mean, (Doubles{0, 0}));
  EXPECT_EQ(r.std, (Doubles{1, 1}));
  EXPECT_EQ(r.nobs, 10000);
  r = simp("");
  EXPECT_EQ(r.outcome(), (Outcome{108, {5}}));
}

}  // namespace
}  // namespace kav
