// The number of factors: each rule and its boundary, the method defaults,
// the MAP and parallel-analysis choices, the degrees-of-freedom warning and
// the messages that report the choice.
#include "factor/factnf.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"
#include "factor/factcd.h"
#include "factor/factor.h"

namespace kav::coretest {
namespace {

class FactnfTest : public CoreTest {
 protected:
  // A group of as many variables as eigenvalues, with these eigenvalues.
  void eigen(const Vec& values, int method = kFmPrincipal, int prior = kPriOne) {
    const std::size_t n = values.size();
    Vec identity;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j <= i; ++j) identity.push_back(i == j ? 1.0 : 0.0);
    load(identity, method, prior);
    eigval = values;
  }
  int choose() {
    factnf(com);
    return com->nfact;
  }
  bool said(int number, const std::string& fragment) const {
    return text_of(number).find(fragment) != std::string::npos;
  }
};

TEST_F(FactnfTest, ComponentsKeepEigenvaluesAboveOneAndStopAtOneItself) {
  eigen({3, 1, 0.5, 0.5});
  EXPECT_EQ(choose(), 1);
  EXPECT_EQ(com->mineigen, 1.0);
  EXPECT_EQ(com->percent, 1.0);
  EXPECT_TRUE(logged(kMsgRetainedLog1));
  EXPECT_TRUE(said(kMsgRetainedLog1, "MINEIGEN"));
  EXPECT_EQ(com->iscree, 0);
}

TEST_F(FactnfTest, CommonFactorsWithSmcPriorsKeepFactorsUpToAllCommonVariance) {
  eigen({3, 1, 0.5, 0.5}, kFmPrincipal, kPriSmc);
  EXPECT_EQ(choose(), 4);
  EXPECT_DOUBLE_EQ(com->mineigen, 3 * kFactZero);
  EXPECT_EQ(com->percent, 1.0);
  // Reduced eigenvalues: the proportion passes 1 before the negative ones.
  eigen({2, 2, 1, -0.5, -0.5}, kFmPrincipal, kPriSmc);
  EXPECT_EQ(choose(), 2);
  EXPECT_TRUE(said(kMsgRetainedLog, "PROPORTION"));
}

TEST_F(FactnfTest, ProportionCountsTheFactorThatReachesIt) {
  eigen({2, 1, 1});
  com->percentp = 0.75;
  EXPECT_EQ(choose(), 2);
  EXPECT_TRUE(said(kMsgRetainedLog, "PROPORTION"));
  // Just above the boundary one more factor is needed.
  eigen({2, 1, 1});
  com->percentp = 0.7500001;
  EXPECT_EQ(choose(), 3);
  // The defaults are not applied when a proportion is given.
  eigen({2, 1, 0.5, 0.5});
  com->percentp = 0.85;
  EXPECT_EQ(choose(), 3);
  EXPECT_DOUBLE_EQ(com->mineigen, 2 * kFactZero);
}

TEST_F(FactnfTest, ProportionNeverStopsWhenTheEigenvaluesNearlyCancel) {
  eigen({1, 0.5, -0.5, -0.995}, kFmPrincipal, kPriSmc);
  com->percentp = 0.5;
  com->mineigp = -10;
  EXPECT_EQ(choose(), 4);
  EXPECT_TRUE(said(kMsgRetainedLog, "NFACTOR"));
}

TEST_F(FactnfTest, MineigenStopsAtAnEigenvalueEqualToIt) {
  eigen({3, 2, 1.5, 1});
  com->mineigp = 1.5;
  EXPECT_EQ(choose(), 2);
  EXPECT_TRUE(said(kMsgRetainedLog, "MINEIGEN"));
  eigen({3, 2, 1.5, 1});
  com->mineigp = 1.4999999;
  EXPECT_EQ(choose(), 3);
  // A given MINEIGEN= leaves the proportion at 0: no default stop.
  EXPECT_EQ(com->percent, 0.0);
}

TEST_F(FactnfTest, NfactorsBoundsTheWalkFirst) {
  eigen({3, 2, 1.5, 1});
  com->nfactp = 2;
  com->maxfact = 2;
  com->mineigp = 0;
  EXPECT_EQ(choose(), 2);
  EXPECT_TRUE(said(kMsgRetainedLog, "NFACTOR"));
  // With NFACTORS= given and nothing else, no default applies.
  eigen({3, 0.5, 0.2});
  com->nfactp = 2;
  com->maxfact = 2;
  EXPECT_EQ(choose(), 2);
  EXPECT_EQ(com->percent, 0.0);
}

TEST_F(FactnfTest, NfactorsZeroRetainsNothingButStillAppliesTheDefaults) {
  eigen({3, 1, 0.5});
  com->nfactp = 0;
  com->maxfact = 0;
  EXPECT_EQ(choose(), 0);
  EXPECT_TRUE(said(kMsgRetainedLog, "NFACTOR"));
  EXPECT_TRUE(logged(kMsgNoFactors));
  EXPECT_EQ(com->mineigen, 1.0);
  EXPECT_EQ(com->percent, 1.0);
}

TEST_F(FactnfTest, AlphaHarrisAndWeightedComponentsHaveTheirOwnThresholds) {
  for (int method : {kFmAlpha, kFmHarris}) {
    eigen({3, 1.2, 0.9, 0.4}, method, kPriSmc);
    EXPECT_EQ(choose(), 2) << method;
    EXPECT_EQ(com->mineigen, 1.0) << method;
  }
  // Components of a covariance matrix: the mean variance.
  eigen({6, 2.5, 1, 0.5}, kFmPrincipal, kPriOne);
  fopt_set(com, kFoptVarWeights);
  wt = {4, 3, 2, 1};
  EXPECT_EQ(choose(), 1);
  EXPECT_EQ(com->mineigen, 2.5);
  // Image analysis uses the same rule whatever the priors.
  eigen({6, 2.5, 1, 0.5}, kFmImage, kPriSmc);
  EXPECT_EQ(choose(), 2);
  EXPECT_EQ(com->mineigen, 1.0);
}

TEST_F(FactnfTest, MissingLeadingEigenvaluesAreSkippedAndAllMissingRetainsNone) {
  const double m = std::nan("");
  eigen({m, 3, 0.5});
  EXPECT_EQ(choose(), 2);  // the count includes the missing one before the walk
  EXPECT_EQ(com->iscree, 1);
  eigen({m, m, m});
  EXPECT_EQ(choose(), 0);
  EXPECT_TRUE(logged(kMsgNoEigenvalues));
  EXPECT_FALSE(logged(kMsgNoFactors));
}

TEST_F(FactnfTest, MapAndParallelAnalysisDecideWhenAsked) {
  eigen({3, 2, 1});
  com->usemap = 2;
  com->nfactmap2 = 1;
  EXPECT_EQ(choose(), 1);
  EXPECT_TRUE(logged(kMsgMap2Log + 1));
  eigen({3, 2, 1});
  com->usemap = 4;
  com->nfactmap4 = 3;
  EXPECT_EQ(choose(), 3);
  EXPECT_TRUE(logged(kMsgMap4Log));
  eigen({3, 2, 1});
  com->usepa = 1;
  com->nfactpa = 2;
  com->alphapa = 0.05;
  EXPECT_EQ(choose(), 2);
  EXPECT_TRUE(logged(kMsgPaLog));
  EXPECT_TRUE(said(kMsgPaLog, "0.05"));
  // MAP takes precedence over parallel analysis.
  eigen({3, 2, 1});
  com->usepa = 1;
  com->nfactpa = 2;
  com->usemap = 2;
  com->nfactmap2 = 0;
  EXPECT_EQ(choose(), 0);
  EXPECT_TRUE(logged(kMsgNoFactors));
}

TEST_F(FactnfTest, TooManyFactorsForTheDegreesOfFreedomWarnsForCommonFactorMethods) {
  // Four variables and three factors: ((4-3)^2 - 7)/2 = -3.
  auto warned = [&](int method, const Vec& values, int m) {
    eigen(values, method, kPriSmc);
    com->nfactp = com->maxfact = m;
    const int before = count(kFactorGroup, kMsgNoDf);
    choose();
    return count(kFactorGroup, kMsgNoDf) - before;
  };
  for (int method : {kFmUls, kFmPrinit, kFmAlpha, kFmMl, kFmGls})
    EXPECT_EQ(warned(method, {3, 2, 1, 0.5}, 3), 1) << method;
  for (int method : {kFmPrincipal, kFmHarris, kFmImage})
    EXPECT_EQ(warned(method, {3, 2, 1, 0.5}, 3), 0) << method;
  // Six variables and two factors leave ((6-2)^2 - 8)/2 = 4; six and three
  // leave exactly 0, which is not positive.
  EXPECT_EQ(warned(kFmMl, {3, 2, 1, 0.5, 0.4, 0.1}, 2), 0);
  EXPECT_EQ(warned(kFmMl, {3, 2, 1, 0.5, 0.4, 0.1}, 3), 1);
}

TEST(FactnfProgram, NfactorsZeroRetainsNothingAndShowsNoPattern) {
  ProgramRun r;
  r.go(corr4("c") + "proc factor data=c nfactors=0; run;");
  EXPECT_EQ(r.factor_step().exit_code, 0);
  EXPECT_EQ(r.count(kMsgNoFactors), 1);
  EXPECT_NE(r.table("Eigenvalues"), nullptr);
  EXPECT_EQ(r.table("FactorPattern"), nullptr);
  EXPECT_TRUE(r.note_with(kMsgRetainedNote));
}

}  // namespace
}  // namespace kav::coretest
