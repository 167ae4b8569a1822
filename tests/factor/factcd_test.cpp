// Correlation diagnostics and prior communalities: the inverse and what is
// derived from it against an independent inverse, every prior type with its
// fall-backs and messages, and the variable weights of each method.
#include "factor/extract/factcd.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/status.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"

namespace kav::coretest {
namespace {

using FactcdTest = CoreTest;
const Vec kSmall = {1, 0.4, 1, 0.3, 0.2, 1};

// On a singular matrix ASMC falls back to the largest absolute correlations
// and says so (SMC falls back to 1: see the whole step below).
TEST_F(FactcdTest, ASingularMatrixFallsBackWithStatus112) {
  load(Vec{1, 1, 1, -0.7, 0.5, 1}, 1, kPriAsmc);
  factcd(com);
  EXPECT_EQ(com->rc, kRcSingular);
  EXPECT_EQ(priors, (Vec{1, 1, 0.7}));
  const std::string max_text = format_message(kFactorGroup, kMsgMaxSubstitute, {});
  EXPECT_NE(text_of(kMsgSmcSubstitute).find(max_text), std::string::npos);
}

// MAX: the largest absolute correlation, needing no inverse (the values of
// the other prior types are checked by the reference cases).
TEST_F(FactcdTest, MaxPriorsAreTheLargestAbsoluteCorrelations) {
  load(Vec{1, -0.7, 1, 0.3, 0.2, 1}, 1, kPriMax);
  factcd(com);
  EXPECT_EQ(priors, (Vec{0.7, 0.7, 0.3}));
}

TEST_F(FactcdTest, ListedPriorsAndTheWeightsOfEachMethod) {
  struct Case {
    int method, prior;
    Vec given, priors, wt;
  };
  // Alpha weights by 1 / communality; ML, GLS and Harris by 1 / uniqueness,
  // the uniqueness kept at least 0.001; iterated principal factors by 1.
  const Vec heywood = {0.9995, 0.5, 1.2};
  const Case cases[] = {{kFmPrincipal, kPriList, {0.3, 0.6, 0.9}, {0.3, 0.6, 0.9}, {1, 1, 1}},
                        {kFmPattern, kPriNone, {7, 7, 7}, {7, 7, 7}, {7, 7, 7}},
                        {kFmAlpha, kPriList, {0, 0.5, 0.25}, {0, 0.5, 0.25}, {0, 2, 4}},
                        {kFmMl, kPriList, heywood, heywood, {1000, 2, 1000}},
                        {kFmGls, kPriList, heywood, heywood, {1000, 2, 1000}},
                        {kFmHarris, kPriList, heywood, heywood, {1000, 2, 1000}},
                        {kFmPrinit, kPriOne, {}, {1, 1, 1}, {1, 1, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    load(kSmall, c.method, c.prior);
    if (!c.given.empty()) priors = c.given;
    wt = communal = {7, 7, 7};
    factcd(com);
    EXPECT_EQ(priors, c.priors);
    EXPECT_LT(progtest::maxdiff({wt}, {c.wt}), 1e-9);
    EXPECT_EQ(communal, (c.prior == kPriNone ? Vec{7, 7, 7} : priors));
    EXPECT_EQ(at(2, 2), c.prior == kPriNone ? 1.0 : priors[2]);
  }
}

TEST_F(FactcdTest, MissingPriorsOrWeightRowsRaise108AndFallBackAndAScratchFailureEndsTheStep) {
  load(kSmall, 1, kPriInput);
  factcd(com);
  EXPECT_EQ(com->rc, kRcByGroup);
  EXPECT_TRUE(logged(kMsgNoPriorsRow));
  EXPECT_EQ(priors, (Vec{1, 1, 1}));

  load(kSmall, 1, kPriOne);
  fopt_set(com, kFoptWeight);
  wt = {3, 4, 5};
  factcd(com);
  EXPECT_EQ(com->rc, kRcByGroup);
  EXPECT_TRUE(logged(kMsgNoWeightRow));
  EXPECT_EQ(wt, (Vec{3, 4, 5}));

  load(kSmall, 1, kPriSmc);
  com->utid->xcclose(0);
  EXPECT_EQ(exit_code(factcd), kExitUtility);
}

// Whole steps: priors and weights read from the input data set, the
// diagnostics shown, and a singular matrix as the user meets it.

TEST(FactcdProgram, PriorsAndWeightsAreReadFromTheirRows) {
  auto r = progtest::run(corr4("COMMUNALITY . 0.5 . 0.3 0.2\n") +
                         "proc factor data=c priors=input nfactors=1; run;");
  EXPECT_EQ(progtest::exit_code(r, 1), 0) << r.log;
  // A missing value reads as 0.
  EXPECT_EQ(progtest::table(r, "PriorCommunalEst"), (Mat{{0.5}, {0}, {0.3}, {0.2}}));
  r = progtest::run(corr4("WEIGHT . 2 3 4 5\n") + "proc factor data=c weight nfactors=1; run;");
  EXPECT_EQ(progtest::exit_code(r, 1), 0) << r.log;
  const Mat cells = progtest::table(r, "FinalCommunWgt");  // communality, weight per variable
  ASSERT_EQ(cells.size(), 4u);
  for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(cells[j][1], j + 2.0);
}

TEST(FactcdProgram, TheInverseAndPartialCorrelationsAreShownAsComputedIndependently) {
  const auto r = progtest::run(corr4() + "proc factor data=c priors=smc msa all nfactors=-1; run;");
  const Mat c =
      inv({{1, 0.6, 0.5, 0.4}, {0.6, 1, 0.45, 0.35}, {0.5, 0.45, 1, 0.3}, {0.4, 0.35, 0.3, 1}});
  Mat partial = c;
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 4; ++j)
      partial[i][j] = i == j ? 1 : -c[i][j] / std::sqrt(c[i][i] * c[j][j]);
  EXPECT_LT(progtest::maxdiff(progtest::table(r, "InvCorr"), c), 1e-12);
  EXPECT_LT(progtest::maxdiff(progtest::table(r, "ParCorrControlVar"), partial), 1e-12);
  EXPECT_TRUE(progtest::has_table(r, "SamplingAdequacy"));
  // NFACTORS=-1: the diagnostics alone.
  EXPECT_FALSE(progtest::has_table(r, "Eigenvalues"));
}

TEST(FactcdProgram, ASingularMatrixEndsTheStepWith112WithoutSamplingAdequacy) {
  const auto r = progtest::run(
      "data d; input x1 x2 x3;\ndatalines;\n1 1 2\n2 2 1\n3 3 5\n4 4 3\n5 5 4\n6 6 7\n;\n"
      "proc factor data=d priors=smc msa all nfactors=1; run;");
  EXPECT_EQ(progtest::exit_code(r, 1), kRcSingular);
  EXPECT_EQ(times(r, kMsgSingular), 1);
  EXPECT_EQ(times(r, kMsgSmcSubstitute), 1);
  EXPECT_FALSE(progtest::has_table(r, "SamplingAdequacy"));
  EXPECT_FALSE(progtest::has_table(r, "ParCorrControlVar"));
  EXPECT_EQ(progtest::table(r, "PriorCommunalEst"), (Mat{{1}, {1}, {1}}));
  EXPECT_TRUE(progtest::has_table(r, "FactorPattern"));  // the analysis goes on
  // The partial inverse has a zero row and column for the dependent variable.
  const Mat inv_shown = progtest::table(r, "InvCorr");
  ASSERT_EQ(inv_shown.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_EQ(std::fabs(inv_shown[1][k]) + std::fabs(inv_shown[k][1]), 0.0);
  EXPECT_GT(inv_shown[0][0], 0.0);
}

}  // namespace
}  // namespace kav::coretest
