// The number-of-factors aids in whole programs: the MAP table against
// Velicer's test computed here from the data, parallel analysis choosing the
// known number of factors of generated data, its seed in the table and in
// SYSRANDOM, the same results per BY group, and
// the aids dropped or refused when the data cannot support them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "factor/program_fixture.h"
#include "support/reference_eigen.h"

namespace kav {
namespace {

using progtest::json;
using progtest::Mat;
using progtest::Outcome;
using Column = std::vector<double>;

// DATALINES of the rows of x, each after `prefix`, with six decimals.
std::string lines(const Mat& x, const std::string& prefix = "") {
  std::string out;
  char text[32];
  for (const auto& row : x) {
    out += prefix;
    for (double v : row) {
      std::snprintf(text, sizeof text, " %.6f", v);
      out += text;
    }
    out += "\n";
  }
  return out;
}

// Generated data as x1-xp of WORK.D; x holds the values as the program reads
// them (written with six decimals), so the test computes from the same.
struct Data {
  int p = 0;
  Mat x;
  std::string step;
};

Data make_data(int nobs, int factors, int per, double loading, std::uint64_t seed) {
  Data d;
  d.p = factors * per;
  d.x = reference::factor_data(nobs, factors, per, loading, seed);
  for (auto& row : d.x)
    for (double& v : row) v = std::round(v * 1e6) / 1e6;
  d.step = "data d; input x1-x" + std::to_string(d.p) + ";\ndatalines;\n" + lines(d.x) + ";\n";
  return d;
}

// The occurrence-th table of that name, or null.
const json* find_table(const Outcome& r, const std::string& name, int occurrence = 1) {
  const auto found = progtest::outputs(r, name, "table");
  return static_cast<int>(found.size()) >= occurrence ? found[occurrence - 1] : nullptr;
}

Column column(const json* t, const std::string& name) {
  return t ? progtest::column(*t, name) : Column{};
}

double gap(const Column& a, const Column& b) {
  return progtest::maxdiff({a}, {b});
}

int last_exit(const Outcome& r) {
  return progtest::exit_code(r, static_cast<int>(r.results["steps"].size()) - 1);
}

int pattern_columns(const Outcome& r) {
  const Mat pattern = progtest::table(r, "FactorPattern");
  return pattern.empty() ? -1 : static_cast<int>(pattern[0].size());
}

// The value of `name=...` that a %PUT wrote to the log.
std::string put_value(const Outcome& r, const std::string& name) {
  std::smatch m;
  return std::regex_search(r.log, m, std::regex(name + "=(\\S*)")) ? m[1].str()
                                                                   : "(not in the log)";
}

TEST(Aids, MapTableIsVelicersTestOfTheDataAndChoosesTheNumberOfFactors) {
  const Data d = make_data(150, 2, 4, 0.7, 1);
  const reference::Map want = reference::velicer(reference::correlations(d.x));
  for (const bool squared : {true, false}) {
    SCOPED_TRACE(squared);
    const Outcome r = progtest::run(
        d.step + "proc factor data=d nfactors=" + (squared ? "map2" : "map4") + "; run;");
    EXPECT_EQ(last_exit(r), 0) << r.log;
    const json* t = find_table(r, "AveParCorrControlPC");
    ASSERT_NE(t, nullptr) << r.log;
    EXPECT_LT(gap(column(t, "AveParCor2"), want.map2), 1e-10);
    EXPECT_LT(gap(column(t, "AveParCor4"), want.map4), 1e-10);
    const Column& curve = squared ? want.map2 : want.map4;
    const auto suggested = std::min_element(curve.begin(), curve.end()) - curve.begin();
    EXPECT_EQ(suggested, 2);
    const Column flags = column(t, squared ? "OptAveParCor2" : "OptAveParCor4");
    EXPECT_EQ(std::count(flags.begin(), flags.end(), 1.0), 1);
    EXPECT_EQ(flags[suggested], 1.0);
    EXPECT_EQ(pattern_columns(r), suggested);
    EXPECT_TRUE(progtest::has_message(r, squared ? 289 : 293)) << r.log;
  }
}

// Two threads here: the same results on any number of threads are checked
// where they are made, in the extension's simulations (tkxaids_test.cpp) and
// in the moment pass (zacorrn_test.cpp).
TEST(Aids, ParallelAnalysisFindsTheKnownFactorsWithItsSeed) {
  const Data d = make_data(300, 3, 4, 0.7, 2);
  const Outcome r = progtest::run(
      d.step + "proc factor data=d nthreads=2 nfactors=parallel(seed=77 nsims=400 alpha=0.1); run;\n"
               "%put SEEDWAS=&sysrandom;\n");
  EXPECT_EQ(last_exit(r), 0) << r.log;
  EXPECT_EQ(pattern_columns(r), 3);
  EXPECT_TRUE(progtest::has_message(r, 189)) << r.log;
  EXPECT_EQ(put_value(r, "SEEDWAS"), "77");
  const json* t1 = find_table(r, "ParallelAnalysis");
  ASSERT_TRUE(t1);
  EXPECT_EQ((*t1)["dynamics"]["Seed"], 77);
  EXPECT_EQ((*t1)["dynamics"]["NSims"], 400);
  EXPECT_EQ(column(t1, "NThreads")[0], 2);

  // The observed eigenvalues are those of the data's correlations, and the
  // suggestion counts the leading ones above their critical values.
  const Column observed = column(t1, "Eigenvalue"), critical = column(t1, "CritEigPA"),
               mean = column(t1, "AveEigPA"), flags = column(t1, "FgEigen");
  EXPECT_LT(gap(observed, reference::jacobi(reference::correlations(d.x)).values), 1e-10);
  for (int i = 0; i < d.p; ++i) {
    EXPECT_EQ(flags[i], i < 3 ? 1 : 0) << i;
    EXPECT_EQ(observed[i] > critical[i], i < 3) << i;
  }
  // Simulated correlation matrices have trace p.
  EXPECT_NEAR(std::accumulate(mean.begin(), mean.end(), 0.0), d.p, 1e-9);
}

TEST(Aids, EachByGroupIsSimulatedWithItsOwnNumberOfObservations) {
  // Groups of 80 and 50 observations: each group's tables are those of its
  // observations analysed alone.
  const Data a = make_data(80, 2, 3, 0.7, 6), b = make_data(50, 2, 3, 0.7, 7);
  const std::string options = " parallel(seed=9 nsims=300) map nfactors=1;";
  const Outcome by =
      progtest::run("data d; input g x1-x6;\ndatalines;\n" + lines(a.x, "1") + lines(b.x, "2") +
                    ";\nproc factor data=d" + options + " var x1-x6; by g; run;");
  const Outcome alone = progtest::run(a.step + "proc factor data=d" + options + " run;\n" + b.step +
                                      "proc factor data=d" + options + " run;");
  for (int group = 1; group <= 2; ++group) {
    SCOPED_TRACE(group);
    const json *t = find_table(by, "ParallelAnalysis", group),
               *u = find_table(alone, "ParallelAnalysis", group);
    const json *m = find_table(by, "AveParCorrControlPC", group),
               *n = find_table(alone, "AveParCorrControlPC", group);
    ASSERT_TRUE(t && u && m && n) << by.log;
    EXPECT_EQ(column(t, "AveEigPA"), column(u, "AveEigPA"));
    EXPECT_EQ(column(t, "CritEigPA"), column(u, "CritEigPA"));
    EXPECT_LT(gap(column(t, "Eigenvalue"), column(u, "Eigenvalue")), 1e-12);
    EXPECT_LT(gap(column(m, "AveParCor2"), column(n, "AveParCor2")), 1e-12);
  }
  EXPECT_NE(column(find_table(by, "ParallelAnalysis", 1), "AveEigPA"),
            column(find_table(by, "ParallelAnalysis", 2), "AveEigPA"));
}

// PRIORS=RANDOM without RANDOM= takes its seed from the clock and leaves it
// in SYSRANDOM, from which the same priors come again.
TEST(Aids, ARandomStartIsRepeatedFromSysrandom) {
  const Data d = make_data(60, 1, 4, 0.6, 3);
  const Outcome r = progtest::run(d.step + "proc factor data=d priors=random nfactors=1; run;\n"
                                           "%put SEEDWAS=&sysrandom;\n"
                                           "proc factor data=d priors=random random=&sysrandom nfactors=1; run;");
  EXPECT_NE(put_value(r, "SEEDWAS"), "0");
  const json *first = find_table(r, "PriorCommunalEst", 1), *again = find_table(r, "PriorCommunalEst", 2);
  ASSERT_TRUE(first && again) << r.log;
  EXPECT_EQ((*first)["rows"], (*again)["rows"]);
}

TEST(Aids, TooFewObservationsDropTheDisplayAndStopTheChoice) {
  const Data d = make_data(4, 1, 6, 0.6, 5);  // 4 observations, 6 variables
  const Outcome shown = progtest::run(d.step + "proc factor data=d parallel map nfactors=1; run;");
  EXPECT_EQ(last_exit(shown), 0) << shown.log;
  EXPECT_TRUE(progtest::has_message(shown, 431));
  EXPECT_TRUE(progtest::has_message(shown, 432));
  EXPECT_FALSE(progtest::has_table(shown, "ParallelAnalysis"));
  EXPECT_FALSE(progtest::has_table(shown, "AveParCorrControlPC"));
  EXPECT_EQ(pattern_columns(shown), 1);
  for (const char* option : {"parallel", "map"}) {
    const Outcome chosen =
        progtest::run(d.step + "proc factor data=d nfactors=" + option + "; run;");
    EXPECT_TRUE(progtest::has_message(chosen, 430)) << option;
    EXPECT_EQ(last_exit(chosen), 1012) << option;
  }
}

}  // namespace
}  // namespace kav
