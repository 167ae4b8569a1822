// Principal components, principal factor, Harris components, iterated
// principal factor and alpha factoring: eigenvalues and loadings against the
// reference values and an independent long-double Jacobi decomposition;
// the fixed point of the iterations; Heywood cases with and without
// HEYWOOD and ULTRAHEYWOOD; convergence outcomes and their messages.
#include "factor/factprn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "core_fixture.h"
#include "factor/factcd.h"
#include "factor/factnf.h"
#include "factor/factor.h"
#include "factor/factpos.h"

namespace kav::coretest {
namespace {

class FactprnTest : public CoreTest {
 protected:
  void nfactors(int m) {
    com->nfactp = m;
    com->maxfact = m;
  }
  // Communalities as row sums of squared loadings.
  double row_ss(int j) const {
    double s = 0;
    for (int k = 0; k < com->nfact; ++k) s += loading(j, k) * loading(j, k);
    return s;
  }
};

Mat tests24() {
  return read_matrix("tests24.csv", "CORR");
}
Mat physical8() {
  return read_matrix("physical8.csv", "CORR");
}

// The values of the reference analyses themselves are checked by the
// reference cases; here the extraction is checked against an independent
// decomposition and its invariants.
TEST_F(FactprnTest, PrincipalComponentsAreTheJacobiDecomposition) {
  const Mat r = physical8();
  load(r, kFmPrincipal, kPriOne);
  nfactors(2);
  factprn(com);
  ASSERT_EQ(com->nfact, 2);
  EXPECT_NEAR(std::accumulate(eigval.begin(), eigval.end(), 0.0), 8.0, 1e-12);
  // Loadings are v sqrt(lambda), each vector signed so that its sum is positive.
  const Eigen e = jacobi(r);
  for (std::size_t k = 0; k < 8; ++k)
    EXPECT_NEAR(eigval[k], static_cast<double>(e.values[k]), 1e-12) << k;
  for (int k = 0; k < 2; ++k) {
    const auto& v = e.vectors[static_cast<std::size_t>(k)];
    const long double sign = std::accumulate(v.begin(), v.end(), 0.0L) > 0 ? 1 : -1;
    for (int j = 0; j < 8; ++j) {
      const long double expect =
          sign * v[static_cast<std::size_t>(j)] * std::sqrt(e.values[static_cast<std::size_t>(k)]);
      EXPECT_NEAR(loading(j, k), static_cast<double>(expect), 1e-12);
    }
  }
}

// The reduced matrix has the priors on its diagonal: its eigenvalues add up
// to their sum, and the loadings reproduce its leading part.
TEST_F(FactprnTest, PrincipalFactorEigenvaluesSumToThePriorsOfEachType) {
  const std::pair<Mat, int> cases[] = {
      {tests24(), kPriSmc}, {tests24(), kPriMax}, {physical8(), kPriAsmc}};
  for (const auto& [r, prior] : cases) {
    SCOPED_TRACE(prior);
    load(r, kFmPrincipal, prior);
    nfactors(2);
    factprn(com);
    ASSERT_EQ(com->nfact, 2);
    const double trace = std::accumulate(priors.begin(), priors.end(), 0.0);
    EXPECT_NEAR(std::accumulate(eigval.begin(), eigval.end(), 0.0), trace, 1e-10);
    factvaf(com, 0);
    for (std::size_t j = 0; j < r.size(); ++j)
      EXPECT_NEAR(communal[j], row_ss(static_cast<int>(j)), 1e-12) << j;
  }
}

TEST_F(FactprnTest, ACovarianceAnalysisFactorsCovariancesButLoadsOnTheCorrelationScale) {
  const Mat cov = read_matrix("ability6_cov.csv", "COV");
  const std::size_t n = cov.size();
  Mat r = cov;
  Vec sd(n);
  for (std::size_t i = 0; i < n; ++i) sd[i] = static_cast<double>(std::sqrt(cov[i][i]));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) r[i][j] = cov[i][j] / std::sqrt(cov[i][i] * cov[j][j]);
  load(r, kFmPrincipal, kPriOne);
  vstd = sd;
  fopt_set(com, kFoptCov);
  fopt_set(com, kFoptVarWeights);
  nfactors(2);
  factprn(com);
  const Eigen e = jacobi(cov);
  for (std::size_t k = 0; k < n; ++k)
    EXPECT_NEAR(eigval[k], static_cast<double>(e.values[k]), 1e-9) << k;
  // Correlations of the variables with the components: |v| sqrt(lambda) / sd.
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < static_cast<int>(n); ++j) {
      const auto jj = static_cast<std::size_t>(j), kk = static_cast<std::size_t>(k);
      EXPECT_NEAR(
          std::fabs(loading(j, k)),
          static_cast<double>(std::fabs(e.vectors[kk][jj]) * std::sqrt(e.values[kk])) / sd[jj],
          1e-9);
    }
  for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(wt[j], sd[j] * sd[j], 1e-12);
}

TEST_F(FactprnTest, HarrisComponentsFactorTheWeightedReducedMatrixAndKeepEigenvaluesAboveOne) {
  const Mat r = physical8();
  const Mat c = inverse(r);
  load(r, kFmHarris, kPriSmc);
  fopt_set(com, kFoptVarWeights);
  factprn(com);
  // D (R - U^2) D with d_j = 1/sqrt(1 - smc_j) = sqrt(c_jj).
  Mat g = r;
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 8; ++j) {
      long double rij = i == j ? 1 - 1 / c[i][i] : r[i][j];
      g[i][j] = rij * std::sqrt(c[i][i] * c[j][j]);
    }
  }
  const Eigen e = jacobi(g);
  int above = 0;
  for (int k = 0; k < 8; ++k) {
    EXPECT_NEAR(eigval[k], static_cast<double>(e.values[static_cast<std::size_t>(k)]), 1e-9) << k;
    if (e.values[static_cast<std::size_t>(k)] > 1) ++above;
  }
  EXPECT_EQ(com->mineigen, 1.0);
  EXPECT_EQ(com->nfact, above);
  ASSERT_GE(above, 1);
  for (int k = 0; k < above; ++k) {
    for (int j = 0; j < 8; ++j) {
      const long double expect =
          std::fabs(e.vectors[static_cast<std::size_t>(k)][static_cast<std::size_t>(j)]) *
          std::sqrt(e.values[static_cast<std::size_t>(k)]) / std::sqrt(c[j][j]);
      EXPECT_NEAR(std::fabs(loading(j, k)), static_cast<double>(expect), 1e-10);
    }
  }
}

TEST_F(FactprnTest, IteratedPrincipalFactorsReachAFixedPoint) {
  load(physical8(), kFmPrinit, kPriSmc);
  nfactors(2);
  com->epsilon = 1e-13;
  com->maxiter = 5000;
  factpri(com);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_EQ(com->ReasonConvStat, kMsgReasonConverged);
  EXPECT_TRUE(logged(kMsgIterConverged));
  for (int j = 0; j < 8; ++j) {
    EXPECT_NEAR(row_ss(j), communal[j], 1e-11) << j;
    EXPECT_EQ(priors[j], communal[j]);
  }
}

TEST_F(FactprnTest, IterationOutcomesAreReportedAsConvergedOrNot) {
  load(physical8(), kFmPrinit, kPriSmc);
  nfactors(2);
  com->epsilon = 1e-13;
  com->maxiter = 2;
  factpri(com);
  EXPECT_EQ(com->iterrc, 3);
  EXPECT_EQ(com->ReasonConvStat, kMsgNotConverged);
  EXPECT_TRUE(logged(kMsgNotConverged));
  EXPECT_FALSE(logged(kMsgIterConverged));
  EXPECT_EQ(com->nfact, 2);

  // A criterion larger than the first change stops after one iteration, whose
  // communalities are those of the principal factor solution.
  load(physical8(), kFmPrincipal, kPriSmc);
  nfactors(2);
  factprn(com);
  Vec one_step(8);
  for (int j = 0; j < 8; ++j) one_step[static_cast<std::size_t>(j)] = row_ss(j);
  load(physical8(), kFmPrinit, kPriSmc);
  nfactors(2);
  com->epsilon = 10;
  factpri(com);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_TRUE(logged(kMsgIterConverged));
  for (int j = 0; j < 8; ++j)
    EXPECT_NEAR(communal[j], one_step[static_cast<std::size_t>(j)], 1e-12);
}

TEST_F(FactprnTest, AlphaFactoringWeightsByTheInverseCommunalities) {
  load(tests24(), kFmAlpha, kPriSmc);
  fopt_set(com, kFoptVarWeights);
  nfactors(4);
  com->epsilon = 1e-13;
  com->maxiter = 5000;
  factpri(com);
  ASSERT_EQ(com->nfact, 4);
  EXPECT_EQ(com->iterrc, 0);
  for (int j = 0; j < 24; ++j) {
    EXPECT_NEAR(wt[j], 1 / communal[j], 1e-12);
    EXPECT_NEAR(row_ss(j), communal[j], 1e-10) << j;
  }
}

class HeywoodTest : public FactprnTest {
 protected:
  // One factor fits exactly with a squared loading of 0.8 * 0.8 / 0.5 = 1.28
  // on the first variable.
  void run(FoptBit option, bool with_option) {
    load(Vec{1, 0.8, 1, 0.8, 0.5, 1}, kFmPrinit, kPriSmc);
    nfactors(1);
    com->epsilon = 1e-12;
    com->maxiter = 10000;
    if (with_option) fopt_set(com, option);
    factpri(com);
  }
};

TEST_F(HeywoodTest, WithoutAnOptionTheGroupFailsWith112) {
  run(kFoptHeywood, false);
  EXPECT_EQ(com->nfact, -1);
  EXPECT_EQ(com->heycode, -1);
  EXPECT_EQ(com->rc, kRcSingular);
  EXPECT_EQ(count(kFactorGroup, kMsgHeywood), 1);
  EXPECT_EQ(count(kFactorGroup, kMsgHeywoodHint), 1);
}

TEST_F(HeywoodTest, HeywoodCapsTheCommunalityAtOne) {
  run(kFoptHeywood, true);
  EXPECT_EQ(com->nfact, 1);
  EXPECT_EQ(com->heycode, 0);
  EXPECT_EQ(communal[0], 1.0);
  EXPECT_LT(com->rc, kRcSingular);
  EXPECT_FALSE(logged(kMsgHeywood));
}

TEST_F(HeywoodTest, UltraHeywoodLetsTheCommunalityPassOne) {
  run(kFoptUltraHeywood, true);
  EXPECT_EQ(com->nfact, 1);
  EXPECT_EQ(com->heycode, 1);
  EXPECT_NEAR(communal[0], 1.28, 1e-6);
  EXPECT_NEAR(communal[1], 0.5, 1e-6);
  EXPECT_NEAR(row_ss(0), communal[0], 1e-6);
  EXPECT_FALSE(logged(kMsgHeywood));
}

TEST_F(FactprnTest, NegligibleEigenvaluesBecomeExactlyZero) {
  load(Vec{1, 0, 1, 0, 0, 1, 0, 0, 0, 1}, kFmPrincipal, kPriOne);
  eigval = {2, 2e-13, -1e-13, 3e-13};
  factefz(com);
  EXPECT_EQ(eigval, (Vec{2, 0, 0, 3e-13}));
  eigval = {std::nan(""), 4, 1e-13, -5e-13};
  factefz(com);
  EXPECT_EQ(eigval[2], 0.0);
  EXPECT_EQ(eigval[3], -5e-13);
}

TEST_F(FactprnTest, AMatrixWithNoPositiveFactorRetainsNone) {
  // Uncorrelated variables with MAX priors: the reduced matrix is zero.
  load(Vec{1, 0, 1, 0, 0, 1}, kFmPrincipal, kPriMax);
  fact.assign(fact.size(), 7.0);
  factprn(com);
  EXPECT_EQ(com->nfact, 0);
  EXPECT_TRUE(logged(kMsgNoFactors));
  for (double e : eigval) EXPECT_EQ(e, 0.0);
  EXPECT_EQ(fact[0], 7.0);  // no loadings computed
}

TEST_F(FactprnTest, AnEigensolverFailureEndsTheRun) {
  load(Vec{1, 0, 1}, kFmPrincipal, kPriOne);
  try {
    facteigm(com, 99);
    FAIL() << "code 99 must end the run";
  } catch (const StepExit& e) {
    EXPECT_EQ(e.code, kExitInternal);
  }
  EXPECT_EQ(count(271, 2), 1);
}

// One factor fits these correlations only with a communality of 1.28.
std::string heywood_program(const std::string& option) {
  return "data h(type=corr); length _TYPE_ $ 8 _NAME_ $ 8; input _TYPE_ $ _NAME_ $ a b c;\n"
         "datalines;\nN . 50 50 50\nCORR a 1 0.8 0.8\nCORR b 0.8 1 0.5\nCORR c 0.8 0.5 1\n;\n"
         "proc factor data=h method=prinit priors=smc nfactors=1 maxiter=500 " +
         option + "; run;";
}

TEST(FactprnProgram, AHeywoodCaseWithoutAnOptionEndsTheGroupWith112AndNoPattern) {
  ProgramRun r;
  r.go(heywood_program(""));
  EXPECT_EQ(r.factor_step().exit_code, kRcSingular);
  EXPECT_EQ(r.count(kMsgHeywood), 1);
  EXPECT_EQ(r.count(kMsgHeywoodHint), 1);
  EXPECT_TRUE(r.note_with(kMsgHeywood));
  EXPECT_EQ(r.table("FactorPattern"), nullptr);
  EXPECT_NE(r.table("IterHistory"), nullptr);
}

TEST(FactprnProgram, HeywoodAndUltraHeywoodLetTheAnalysisFinish) {
  for (const char* option : {"heywood", "ultraheywood"}) {
    ProgramRun r;
    r.go(heywood_program(option));
    EXPECT_EQ(r.factor_step().exit_code, 0) << option;
    EXPECT_EQ(r.count(kMsgHeywood), 0) << option;
    EXPECT_NE(r.table("FactorPattern"), nullptr) << option;
    EXPECT_NE(r.table("ConvergenceStatus"), nullptr) << option;
    EXPECT_EQ(r.count(kMsgIterConverged), 1) << option;
  }
}

TEST(FactprnProgram, EigenvectorsAreShownOfUnitLengthBeforeTheyBecomeLoadings) {
  ProgramRun r;
  r.go(corr4("c") + "proc factor data=c eigenvectors nfactors=2; run;");
  const Vec v = r.numbers("Eigenvectors");
  const Vec f = r.numbers("FactorPattern");
  const Vec ev = r.numbers("Eigenvalues");  // number, eigenvalue, difference, ... per row
  ASSERT_EQ(v.size(), 8u);
  ASSERT_EQ(f.size(), 8u);
  for (std::size_t k = 0; k < 2; ++k) {
    double len = 0;
    for (std::size_t j = 0; j < 4; ++j) len += v[j * 2 + k] * v[j * 2 + k];
    EXPECT_NEAR(len, 1.0, 1e-12);
  }
  const Table* t = r.table("Eigenvalues");
  ASSERT_NE(t, nullptr);
  std::size_t col = 0;
  for (std::size_t c = 0; c < t->columns.size(); ++c)
    if (t->columns[c].name == "Eigenvalue") col = c;
  for (std::size_t k = 0; k < 2; ++k) {
    const double lambda = std::get<double>(t->rows[k][col]);
    for (std::size_t j = 0; j < 4; ++j)
      EXPECT_NEAR(f[j * 2 + k], v[j * 2 + k] * std::sqrt(lambda), 1e-12);
  }
  EXPECT_FALSE(ev.empty());
}

TEST(FactprnProgram, EigenvalueTablesAreTitledByTheMatrixFactored) {
  auto title = [](const std::string& options) {
    ProgramRun r;
    r.go(corr4("c") + "proc factor data=c " + options + "; run;");
    const Table* t = nullptr;
    for (const auto& o : r.objects)
      if (o.table() && o.table()->name == "Eigenvalues") t = o.table();  // the last one
    return t && !t->title.empty() ? t->title[0] : std::string();
  };
  auto has = [](const std::string& text, int number) {
    return text.find(format_message(kFactorGroup, number, {})) != std::string::npos;
  };
  EXPECT_TRUE(has(title("nfactors=1"), kMsgEigCorr));
  EXPECT_TRUE(has(title("priors=smc nfactors=1"), kMsgEigCorr + 1));
  EXPECT_TRUE(has(title("method=harris nfactors=1"), kMsgEigWeighted + 1));
  EXPECT_TRUE(has(title("method=alpha nfactors=1"), kMsgEigWeighted + 1));
  EXPECT_TRUE(has(title("method=prinit nfactors=1"), kMsgEigCorr + 1));
}

TEST_F(FactprnTest, WithoutIterationsPrinitGivesThePrincipalFactorSolutionUnconverged) {
  load(physical8(), kFmPrincipal, kPriSmc);
  nfactors(2);
  factprn(com);
  const Vec one_step = fact;
  const Vec eig = eigval;
  load(physical8(), kFmPrinit, kPriSmc);
  nfactors(2);
  com->maxiter = 0;
  factpri(com);
  EXPECT_EQ(com->nfact, 2);
  EXPECT_EQ(com->iterrc, 3);
  EXPECT_TRUE(logged(kMsgNotConverged));
  for (int k = 0; k < 8; ++k) EXPECT_NEAR(eigval[k], eig[static_cast<std::size_t>(k)], 1e-12);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(fact[i], one_step[i], 1e-12);
}

}  // namespace
}  // namespace kav::coretest
