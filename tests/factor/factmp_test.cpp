// The matrix printer: element positions, the REORDER permutation, the
// rounded and fuzzed displays with their thresholds, and the stacked display
// of standard errors with tests or confidence limits.  Expected numbers are
// worked out here from their definitions (erfc for the normal probabilities,
// tanh/atanh for the correlation limits), not taken from the printer.
#include "factor/output/matrix_printer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/table_fixture.h"
#include "host/format.h"
#include "host/log.h"

namespace kav {
namespace {

using testing_support::TableFixture;
using Names = std::vector<std::string>;

constexpr double kZ975 = 1.959963984540054;  // upper 2.5% point of the standard normal
const double kMiss = missing_value();

double phi(double z) {
  return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

class MatrixPrinter : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    variables({"x1", "x2", "x3", "x4", "x5", "x6"});
    factor_names(3);
  }
  // Prints `x` as table `name` (template Stat.Factor.<name>) and returns it.
  const Table* show(char type, const double* x, const double* se, int rows, int cols, char rowkind,
                    char colkind, const std::string& name, int stacked = 1) {
    factm2(com, {.name = name.c_str(),
                 .values = x,
                 .shape = {type, rows, cols, rowkind, colkind},
                 .se = se,
                 .stacked = stacked != 0});
    return table(name);
  }
  static Names row_labels(const Table& t) {
    Names out;
    for (const Row& r : t.rows) out.push_back(std::get<std::string>(r[0]));
    return out;
  }
};

TEST_F(MatrixPrinter, ReorderGroupsByLargestLoadingThenSignedValue) {
  com->nfact = 2;
  // Column-major 6 x 2.
  const std::vector<double> all = {0.2, 0.8, 0, -0.9, 0.5, 0.8, 0.7, 0.1, 0, 0.3, -0.5, 0.2};
  com->fact = doubles(all);
  factprm(com, com->fact);
  // Factor 1 group: x2 and x6 tie at 0.8 (input order kept), x5 (its tie of
  // 0.5 against -0.5 goes to the first factor), x4 at -0.9 last; then x1 on
  // factor 2; the all-zero x3 after every group.
  EXPECT_EQ(std::vector<int>(com->perm, com->perm + 6), (std::vector<int>{1, 5, 4, 3, 0, 2}));

  fopt_set(com, kFoptReorder);
  const Table* t = show('C', com->fact, nullptr, 6, 2, 'V', 'F', "FactorPattern");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(row_labels(*t), (Names{"x2", "x6", "x5", "x4", "x1", "x3"}));
  EXPECT_EQ(std::get<double>(t->rows[3][1]), -0.9);
  EXPECT_EQ(std::get<double>(t->rows[3][2]), 0.3);
  // Scoring coefficients follow the same order; a matrix held elsewhere does not.
  com->score = doubles(all);
  EXPECT_EQ(row_labels(*show('C', com->score, nullptr, 6, 2, 'V', 'F', "StdScoreCoef", 0))[0],
            "x2");
  // Standard errors take the reordered rows with them.
  com->factse = doubles({0.01, 0.02, 0.03, 0.04, 0.05, 0.06, 0, 0, 0, 0, 0, 0});
  t = show('C', com->fact, com->factse, 6, 2, 'V', 'F', "FactorPattern");
  EXPECT_EQ(std::get<double>(t->stacks[0].rows[0][0]), 0.02);
}

TEST_F(MatrixPrinter, RoundedValuesNeverShowMinusZeroAndFlagOnlyAboveTheThreshold) {
  fopt_set(com, kFoptRound);
  com->flag = 0.5;
  com->fact = doubles({-0.004, -0.006, 0.5, 0.5000001, 0.994, -0.4});
  const Table* t = show('C', com->fact, nullptr, 6, 1, 'V', 'F', "FactorPattern");
  ASSERT_NE(t, nullptr);
  const double r0 = num(*t, 0, "RFactor1");
  EXPECT_EQ(r0, 0.0);
  EXPECT_FALSE(std::signbit(r0));
  const Names shown_as = {"0", "-1", "50", "50", "99", "-40"},
              flags = {" ", " ", " ", "*", "*", " "};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(shown(*t, i, "RFactor1"), shown_as[i]) << i;
    // Equal to the threshold: not flagged; just above it: flagged.
    EXPECT_EQ(text(*t, i, "FgFactor1"), flags[i]) << i;
  }
  EXPECT_EQ(num(*t, 1, "Factor1"), -0.006);  // the original travels along
  EXPECT_EQ(t->footnotes, Names{format_message(kFactorGroup, 50, {"0.5"})});

  // The default threshold is the root mean square of every shown element:
  // a symmetric matrix counts both triangles, so for [[1, .6], [.6, 1]] it
  // is sqrt(2.72 / 4), which 0.6 stays below and 1 exceeds (over the stored
  // triangle alone it would be sqrt(2.36 / 3)).
  com->flag = 0;
  variables({"a", "b"});
  com->cor = doubles({1, 0.6, 1});
  t = show('S', com->cor, nullptr, 2, 2, 'V', 'V', "Corr", 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->footnotes[0], format_message(kFactorGroup, 50, {factnum(std::sqrt(0.68))}));
  EXPECT_EQ(text(*t, 0, "Fga") + text(*t, 0, "Fgb") + text(*t, 1, "Fga"), "*  ");
  EXPECT_EQ(num(*t, 1, "Ra"), 60.0);
}

TEST_F(MatrixPrinter, FuzzThresholdsDependOnTheTable) {
  com->fuzz = 0.3;
  variables({"a", "b", "c"});
  struct Case {
    const char* name;
    double hidden, shown;
  };
  const Case cases[] = {{"Corr", 0.29, 0.3},
                        {"PartialCorr", 0.149, 0.15},
                        {"ParCorrControlVar", 0.149, 0.15},
                        {"ParCorrControlFactor", 0.149, 0.15},
                        {"ResCorrUniqueDiag", 0.074, 0.075}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Packed 3 x 3: (1,0) hidden, (2,0) shown, (2,1) negative and hidden.
    com->cor = doubles({1, c.hidden, 1, c.shown, -c.hidden, 1});
    const Table* t = show('S', com->cor, nullptr, 3, 3, 'V', 'V', c.name, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_missing(num(*t, 1, "Fza")));
    EXPECT_EQ(num(*t, 2, "Fza"), c.shown);
    EXPECT_TRUE(is_missing(num(*t, 2, "Fzb")));
    EXPECT_EQ(num(*t, 1, "b"), 1.0);
    EXPECT_EQ(t->footnotes[0], format_message(kFactorGroup, 51, {factnum(c.shown)}));
  }
  // The pattern hides below the threshold itself; scoring coefficients are
  // never fuzzed.
  com->fact = doubles({0.299, 0.3, -0.31});
  const Table* t = show('C', com->fact, nullptr, 3, 1, 'V', 'F', "FactorPattern");
  EXPECT_TRUE(is_missing(num(*t, 0, "FzFactor1")));
  EXPECT_EQ(num(*t, 1, "FzFactor1"), 0.3);
  EXPECT_EQ(shown(*t, 2, "FzFactor1"), "-0.31000");
  com->score = doubles({0.01, 0.02, 0.03});
  t = show('C', com->score, nullptr, 3, 1, 'V', 'F', "StdScoreCoef", 0);
  EXPECT_EQ(std::get<double>(t->rows[0][1]), 0.01);
}

TEST(Coverage, EachDisplayFromAnIntervalBuiltForIt) {
  // Per interval: the display for each target c.  Without a target (c = 0)
  // only 0 is placed; a negative estimate's target is -c.  The displays of
  // whole steps are left to these cases.
  struct Case {
    double x, lower, upper;
    std::vector<std::pair<double, const char*>> shown;
  };
  const Case cases[] = {
      {0.5, 0.2, 0.8, {{0, " 0[]"}, {0.1, "0*[]"}, {0.5, "0[*]"}, {0.8, "0[*]"}, {0.9, "0[]*"}}},
      {0.1, -0.2, 0.4, {{0, " [0]"}, {0.3, "[0*]"}, {0.4, "[0]*"}}},
      {0.1, 0, 0.4, {{0, " [0]"}}},
      {0, -0.2, 0.4, {{0.5, "[0]*"}}},
      {-0.5, -0.8, -0.2, {{0, " []0"}, {0.9, "*[]0"}, {0.5, "[*]0"}, {0.2, "[*]0"}, {0.1, "[]*0"}}},
      {-0.1, -0.4, 0.2, {{0.3, "[*0]"}, {0.4, "[*0]"}, {0.5, "*[0]"}}},
      {0.5, kMiss, 0.8, {{0.1, "   ."}}},
      {0.5, 0.2, kMiss, {{0, "   ."}}},
  };
  for (const Case& k : cases)
    for (const auto& [c, shown] : k.shown)
      EXPECT_STREQ(factcov(k.x, k.lower, k.upper, c), shown)
          << k.x << " [" << k.lower << ", " << k.upper << "] " << c;
}

// ---------------------------------------------------------------------------
// Standard errors stacked under the estimates

class StdErrStack : public MatrixPrinter {
 protected:
  const Table* pattern(const std::vector<double>& x, const std::vector<double>& s, int rows = 6) {
    com->fact = doubles(x);
    com->factse = doubles(s);
    return show('C', com->fact, com->factse, rows, static_cast<int>(x.size()) / rows, 'V', 'F',
                "FactorPattern");
  }
  // A number of a stack (StdErr, T, P, L, U) at an element.
  static double at(const Table& t, const std::string& stack, std::size_t i, std::size_t j = 0) {
    const Stack* s = t.find_stack(stack);
    EXPECT_NE(s, nullptr) << stack;
    return s ? std::get<double>(s->rows.at(i).at(j)) : NAN;
  }
  // The coverage display stacked under element (i, j).
  static std::string coverage(const Table& t, std::size_t i, std::size_t j = 0) {
    const Stack* s = t.find_stack("Coverage");
    return s ? std::get<std::string>(s->rows.at(i).at(j)) : "(none)";
  }
  static Names stack_names(const Table& t) {
    Names out;
    for (const Stack& s : t.stacks) out.push_back(s.name);
    return out;
  }
};

TEST_F(StdErrStack, TestsOfTheHypothesisValueLookOnTheSideOfTheEstimate) {
  // With ROUND and FUZZ in force the estimates are still shown as they are.
  fopt_set(com, kFoptRound);
  com->fuzz = 0.9;
  com->hypval = 0.3;
  // Negative or missing standard error: no test; zero: an infinite statistic.
  const std::vector<double> x = {0.7, -0.5, 0.3, 0.2, 0.6, 0.4};
  const std::vector<double> s = {0.1, 0.2, 0.05, -0.1, kMiss, 0};
  for (bool one_tailed : {false, true}) {
    SCOPED_TRACE(one_tailed);
    fopt_set(com, one_tailed ? kFoptOneTail : kFoptTwoTail);
    const Table* t = pattern(x, s);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->template_path, "Stat.Factor.FactorPattern");
    EXPECT_EQ(std::get<double>(t->rows[0][1]), 0.7);
    EXPECT_EQ(stack_names(*t), (Names{"StdErr", "T", "P"}));
    for (std::size_t i = 0; i < 6; ++i) {
      SCOPED_TRACE(i);
      if (i == 3 || i == 4) {
        EXPECT_TRUE(is_missing(at(*t, "T", i)) && is_missing(at(*t, "P", i)));
        continue;
      }
      EXPECT_EQ(at(*t, "StdErr", i), s[i]);
      // Positive estimate: (x - h)/s; negative: (x + h)/s.
      const double z = (x[i] > 0 ? x[i] - 0.3 : x[i] + 0.3) / s[i];
      const double p = !one_tailed ? std::erfc(std::fabs(z) / std::sqrt(2.0))
                       : x[i] > 0  ? 1 - phi(z)
                                   : phi(z);
      if (std::isinf(z)) {
        EXPECT_EQ(at(*t, "T", i), z);
      } else {
        EXPECT_NEAR(at(*t, "T", i), z, 1e-12);
      }
      EXPECT_NEAR(at(*t, "P", i), p, 1e-12);
    }
  }
}

TEST_F(StdErrStack, CorrelationLimitsStayInsideOneAndAreMissingAtOne) {
  com->alpha = 0.05;
  const std::vector<double> x = {0.6, -0.3, 1.0, -1.0, 0.2, 0.5};
  const std::vector<double> s = {0.1, 0.2, 0.1, 0.1, 0, kMiss};
  const Table* t = pattern(x, s);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(stack_names(*t), (Names{"StdErr", "L", "U", "Coverage"}));
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 1) {
      EXPECT_TRUE(is_missing(at(*t, "L", i)) && is_missing(at(*t, "U", i))) << i;
      continue;
    }
    const double w = kZ975 * s[i] / (1 - x[i] * x[i]);
    EXPECT_NEAR(at(*t, "L", i), std::tanh(std::atanh(x[i]) - w), 1e-9) << i;
    EXPECT_NEAR(at(*t, "U", i), std::tanh(std::atanh(x[i]) + w), 1e-9) << i;
  }
  // Coverage stacked after the limits: 0.6 lies clear of 0, -0.3 spans it.
  EXPECT_EQ(coverage(*t, 0) + coverage(*t, 1) + coverage(*t, 2) + coverage(*t, 4),
            " 0[] [0]   .   .");

  // Without a hypothesis or a level only the standard errors are stacked.
  com->alpha = kMiss;
  t = pattern({0.1, 0.2, 0.3, 0.4, 0.5, 0.6}, {0.01, 0.02, 0.03, 0.04, 0.05, 0.06});
  EXPECT_EQ(stack_names(*t), Names{"StdErr"});
  EXPECT_EQ(at(*t, "StdErr", 5), 0.06);
}

// Each element's interval is built to land in one display; the display must
// be found in the Coverage stack at that element.  With alpha = 0.1 the
// limits of an oblique pattern are symmetric, x -+ 0.1645 for s = 0.1 and
// -+ 0.329 for s = 0.2; the target is 0.45 (-0.45 for a negative estimate).
TEST_F(StdErrStack, ObliquePatternLimitsAreSymmetricAndEachCoverageStandsUnderItsElement) {
  const std::vector<double> x = {0.8, 0.15, -0.2, 0.3}, s = {0.1, 0.2, 0.1, 0};  // column-major
  const Names shown = {"0*[]", "*[]0", "[0*]", "   ."};                          // row-major
  com->alpha = 0.1;
  com->cover = 0.45;
  fopt_set(com, kFoptOblique);
  const Table* t = pattern(x, s, 2);
  ASSERT_NE(t, nullptr);
  const double q = 1.6448536269514722;  // upper 5% point
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_EQ(coverage(*t, i, j), shown[i * 2 + j]) << i << "," << j;
      if (s[j * 2 + i] > 0) {
        EXPECT_NEAR(at(*t, "L", i, j), x[j * 2 + i] - q * s[j * 2 + i], 1e-12);
        EXPECT_NEAR(at(*t, "U", i, j), x[j * 2 + i] + q * s[j * 2 + i], 1e-12);
      }
    }
  EXPECT_EQ(t->columns.size(), 3u);  // the coverage stays out of the table's own columns
}

}  // namespace
}  // namespace kav
