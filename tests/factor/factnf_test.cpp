// The number of factors: each rule and its boundary, the method defaults,
// the MAP and parallel-analysis choices, the degrees-of-freedom warning and
// the messages that report the choice.
#include "factor/extract/factnf.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"

namespace kav::coretest {
namespace {

const double kNone = std::nan("");

class FactnfTest : public CoreTest {
 protected:
  // A group of as many variables as eigenvalues, with these eigenvalues.
  void eigen(const Vec& values, int method = kFmPrincipal, int prior = kPriOne) {
    Vec identity;
    for (std::size_t i = 0; i < values.size(); ++i)
      for (std::size_t j = 0; j <= i; ++j) identity.push_back(i == j ? 1.0 : 0.0);
    load(identity, method, prior);
    eigval = values;
  }
  int choose() {
    factnf(com);
    return com->nfact;
  }
};

TEST_F(FactnfTest, EachRuleStopsWhereItShouldAndSaysWhichStopped) {
  struct Case {
    Vec values;
    int method, prior, nfactors;
    double proportion, mineigen;
    int want;
    const char* rule;                    // named in the message that reports the choice
    double mineigen_used, percent_used;  // NaN: not checked
  };
  const double zero = kFactZero;
  const Case cases[] = {
      // Components keep eigenvalues above 1 and stop at 1 itself.
      {{3, 1, 0.5, 0.5}, kFmPrincipal, kPriOne, -99, kNone, kNone, 1, "MINEIGEN", 1, 1},
      // Common factors with SMC priors keep factors up to all common variance,
      // the proportion passing 1 before the negative eigenvalues.
      {{3, 1, 0.5, 0.5}, kFmPrincipal, kPriSmc, -99, kNone, kNone, 4, "", 3 * zero, 1},
      {{2, 2, 1, -0.5, -0.5}, kFmPrincipal, kPriSmc, -99, kNone, kNone, 2, "PROPORTION", kNone, 1},
      // PROPORTION= counts the factor that reaches it, and no default applies.
      {{2, 1, 1}, kFmPrincipal, kPriOne, -99, 0.75, kNone, 2, "PROPORTION", kNone, kNone},
      {{2, 1, 1}, kFmPrincipal, kPriOne, -99, 0.7500001, kNone, 3, "", kNone, kNone},
      {{2, 1, 0.5, 0.5}, kFmPrincipal, kPriOne, -99, 0.85, kNone, 3, "", 2 * zero, kNone},
      // Eigenvalues that nearly cancel never reach the proportion.
      {{1, 0.5, -0.5, -0.995}, kFmPrincipal, kPriSmc, -99, 0.5, -10, 4, "NFACTOR", kNone, kNone},
      // MINEIGEN= stops at an eigenvalue equal to it and leaves no proportion.
      {{3, 2, 1.5, 1}, kFmPrincipal, kPriOne, -99, kNone, 1.5, 2, "MINEIGEN", kNone, kNone},
      {{3, 2, 1.5, 1}, kFmPrincipal, kPriOne, -99, kNone, 1.4999999, 3, "", kNone, 0},
      // NFACTORS= bounds the walk first; given alone, no default applies.
      {{3, 2, 1.5, 1}, kFmPrincipal, kPriOne, 2, kNone, 0, 2, "NFACTOR", kNone, kNone},
      {{3, 0.5, 0.2}, kFmPrincipal, kPriOne, 2, kNone, kNone, 2, "", kNone, 0},
      // NFACTORS=0 retains nothing but still applies the defaults.
      {{3, 1, 0.5}, kFmPrincipal, kPriOne, 0, kNone, kNone, 0, "NFACTOR", 1, 1},
      // Alpha, Harris and image analysis: eigenvalues above 1 whatever the priors.
      {{3, 1.2, 0.9, 0.4}, kFmAlpha, kPriSmc, -99, kNone, kNone, 2, "", 1, kNone},
      {{3, 1.2, 0.9, 0.4}, kFmHarris, kPriSmc, -99, kNone, kNone, 2, "", 1, kNone},
      {{6, 2.5, 1, 0.5}, kFmImage, kPriSmc, -99, kNone, kNone, 2, "", 1, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.values) + " method " + std::to_string(c.method));
    eigen(c.values, c.method, c.prior);
    if (c.nfactors != -99) com->nfactp = com->maxfact = c.nfactors;
    com->percentp = c.proportion;
    com->mineigp = c.mineigen;
    EXPECT_EQ(choose(), c.want);
    const std::string said = text_of(c.want == 1 ? kMsgRetainedLog1 : kMsgRetainedLog);
    EXPECT_NE(said.find(c.rule), std::string::npos) << said;
    for (auto [got, want] :
         {std::pair{com->mineigen, c.mineigen_used}, {com->percent, c.percent_used}})
      EXPECT_TRUE(std::isnan(want) || std::fabs(got - want) < 1e-15) << got << " " << want;
    EXPECT_EQ(logged(kMsgNoFactors), c.want == 0);
  }
}

TEST_F(FactnfTest, WeightedComponentsAndMissingEigenvalues) {
  // Components of a covariance matrix: the threshold is the mean variance.
  eigen({6, 2.5, 1, 0.5});
  fopt_set(com, kFoptVarWeights);
  wt = {4, 3, 2, 1};
  EXPECT_EQ(choose(), 1);
  EXPECT_EQ(com->mineigen, 2.5);
  // Missing leading eigenvalues are counted but skipped; all missing retain none.
  eigen({kNone, 3, 0.5});
  EXPECT_EQ(choose(), 2);
  EXPECT_EQ(com->iscree, 1);
  eigen({kNone, kNone, kNone});
  EXPECT_EQ(choose(), 0);
  EXPECT_TRUE(logged(kMsgNoEigenvalues));
  EXPECT_FALSE(logged(kMsgNoFactors));
}

TEST_F(FactnfTest, TooManyFactorsForTheDegreesOfFreedomWarnsForCommonFactorMethods) {
  auto warned = [&](int method, const Vec& values, int m) {
    eigen(values, method, kPriSmc);
    com->nfactp = com->maxfact = m;
    choose();
    return count(kMsgNoDf);
  };
  // Four variables and three factors: ((4-3)^2 - 7)/2 = -3.
  for (int method : {kFmUls, kFmPrinit, kFmAlpha, kFmMl, kFmGls})
    EXPECT_EQ(warned(method, {3, 2, 1, 0.5}, 3), 1) << method;
  for (int method : {kFmPrincipal, kFmHarris, kFmImage})
    EXPECT_EQ(warned(method, {3, 2, 1, 0.5}, 3), 0) << method;
  // Six variables and two factors leave ((6-2)^2 - 8)/2 = 4; six and three
  // leave exactly 0, which is not positive.
  EXPECT_EQ(warned(kFmMl, {3, 2, 1, 0.5, 0.4, 0.1}, 2), 0);
  EXPECT_EQ(warned(kFmMl, {3, 2, 1, 0.5, 0.4, 0.1}, 3), 1);
}

}  // namespace
}  // namespace kav::coretest
