// Harris components against an independent Jacobi decomposition (the
// iterated principal factor and alpha solutions are the reference cases
// prinit_physical8 and alpha_tests24); Heywood cases with and without
// HEYWOOD and ULTRAHEYWOOD; convergence outcomes and their messages.
#include "factor/extract/factprn.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "core_fixture.h"
#include "factor/extract/factpos.h"

namespace kav::coretest {
namespace {

class FactprnTest : public CoreTest {
 protected:
  void start(const Mat& r, int method, int prior, int m) {
    load(r, method, prior);
    com->nfactp = com->maxfact = m;
  }
};

TEST_F(FactprnTest, HarrisComponentsFactorTheWeightedReducedMatrixAndKeepEigenvaluesAboveOne) {
  const Mat r = physical8(), c = inv(r);
  load(r, kFmHarris, kPriSmc);
  fopt_set(com, kFoptVarWeights);
  factprn(com);
  // D (R - U^2) D with d_j = 1/sqrt(1 - smc_j) = sqrt(c_jj).
  Mat g = r;
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t j = 0; j < 8; ++j)
      g[i][j] = (i == j ? 1 - 1 / c[i][i] : r[i][j]) * std::sqrt(c[i][i] * c[j][j]);
  const auto e = jacobi(g);
  for (std::size_t k = 0; k < 8; ++k) EXPECT_NEAR(eigval[k], e.values[k], 1e-9) << k;
  const int above = static_cast<int>(
      std::count_if(e.values.begin(), e.values.end(), [](double v) { return v > 1; }));
  ASSERT_GE(above, 1);
  EXPECT_EQ(com->nfact, above);
  for (int k = 0; k < above; ++k)
    for (int j = 0; j < 8; ++j)
      EXPECT_NEAR(std::fabs(loading(j, k)),
                  std::fabs(e.vectors[k][j]) * std::sqrt(e.values[k] / c[j][j]), 1e-10);
}

TEST_F(FactprnTest, IterationOutcomesAreReportedAsConvergedOrNot) {
  start(physical8(), kFmPrincipal, kPriSmc, 2);
  factprn(com);
  const Vec one_step = fact, eig = eigval;
  // No iteration: the principal factor solution, unconverged; two
  // iterations against a tight criterion: unconverged too.
  for (int maxiter : {2, 0}) {
    start(physical8(), kFmPrinit, kPriSmc, 2);
    com->epsilon = 1e-13;
    com->maxiter = maxiter;
    factpri(com);
    EXPECT_EQ(com->nfact, 2);
    EXPECT_EQ(com->iterrc, 3);
    EXPECT_EQ(com->ReasonConvStat, kMsgNotConverged);
    EXPECT_FALSE(logged(kMsgIterConverged));
  }
  EXPECT_LT(progtest::maxdiff({eigval, fact}, {eig, one_step}), 1e-12);
  // A criterion larger than the first change stops after one iteration, whose
  // communalities are those of the principal factor solution.
  start(physical8(), kFmPrinit, kPriSmc, 2);
  com->epsilon = 10;
  factpri(com);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_TRUE(logged(kMsgIterConverged));
  for (int j = 0; j < 8; ++j) {
    double h = 0;
    for (int k = 0; k < 2; ++k) h += one_step[k * 8 + j] * one_step[k * 8 + j];
    EXPECT_NEAR(communal[j], h, 1e-12);
  }
}

TEST_F(FactprnTest, NegligibleEigenvaluesBecomeZeroAndNoPositiveFactorRetainsNone) {
  load(Vec{1, 0, 1, 0, 0, 1, 0, 0, 0, 1}, kFmPrincipal, kPriOne);
  eigval = {2, 2e-13, -1e-13, 3e-13};
  factefz(com);
  EXPECT_EQ(eigval, (Vec{2, 0, 0, 3e-13}));
  eigval = {std::nan(""), 4, 1e-13, -5e-13};
  factefz(com);
  EXPECT_EQ(eigval[2], 0.0);
  EXPECT_EQ(eigval[3], -5e-13);

  // Uncorrelated variables with MAX priors: the reduced matrix is zero.
  load(Vec{1, 0, 1, 0, 0, 1}, kFmPrincipal, kPriMax);
  fact.assign(fact.size(), 7.0);
  factprn(com);
  EXPECT_EQ(com->nfact, 0);
  EXPECT_TRUE(logged(kMsgNoFactors));
  EXPECT_EQ(eigval, (Vec{0, 0, 0}));
  EXPECT_EQ(fact[0], 7.0);  // no loadings computed
}

// One factor fits exactly with a squared loading of 0.8 * 0.8 / 0.5 = 1.28
// on the first variable: HEYWOOD caps it at 1, ULTRAHEYWOOD lets it pass.
TEST(FactprnProgram, AHeywoodCaseEndsTheGroupWith112UnlessAnOptionAllowsIt) {
  for (const char* option : {"", "heywood", "ultraheywood"}) {
    SCOPED_TRACE(option);
    const auto r = progtest::run(
        "data h(type=corr); length _TYPE_ $ 8 _NAME_ $ 8; input _TYPE_ $ _NAME_ $ a b c;\n"
        "datalines;\nN . 50 50 50\nCORR a 1 0.8 0.8\nCORR b 0.8 1 0.5\nCORR c 0.8 0.5 1\n;\n"
        "proc factor data=h method=prinit priors=smc nfactors=1 maxiter=10000 converge=1e-12 " +
        std::string(option) + "; run;");
    const bool allowed = *option != 0;
    EXPECT_EQ(progtest::exit_code(r, 1), allowed ? 0 : kRcSingular);
    EXPECT_EQ(times(r, kMsgHeywood), allowed ? 0 : 1);
    EXPECT_EQ(times(r, kMsgIterConverged), allowed ? 1 : 0);
    EXPECT_EQ(progtest::has_table(r, "FactorPattern"), allowed);
    EXPECT_TRUE(progtest::has_table(r, "IterHistory"));
    EXPECT_EQ(times(r, kMsgHeywoodHint), allowed ? 0 : 1);
    // Bounded, the iterations settle away from the unbounded fixed point.
    const double h = allowed ? progtest::table(r, "FinalCommun")[0][0] : 1.28;
    EXPECT_TRUE(option[0] == 'h' ? h < 1.2 : std::fabs(h - 1.28) < 1e-6) << h;
  }
}

TEST(FactprnProgram, EigenvectorsAreShownOfUnitLengthBeforeTheyBecomeLoadings) {
  const auto r = progtest::run(corr4() + "proc factor data=c eigenvectors nfactors=2; run;");
  const Mat v = progtest::table(r, "Eigenvectors"), f = progtest::table(r, "FactorPattern");
  const Mat ev = progtest::table(r, "Eigenvalues");  // number, eigenvalue, difference, ...
  ASSERT_EQ(v.size(), 4u);
  ASSERT_EQ(f.size(), 4u);
  for (std::size_t k = 0; k < 2; ++k) {
    double len = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      len += v[j][k] * v[j][k];
      EXPECT_NEAR(f[j][k], v[j][k] * std::sqrt(ev[k][1]), 1e-12);
    }
    EXPECT_NEAR(len, 1.0, 1e-12);
  }
}

}  // namespace
}  // namespace kav::coretest
