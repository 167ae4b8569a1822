// Maximum likelihood, unweighted and generalized least squares fits.
//
// Each fit is checked by the first-order conditions of its criterion in
// the full parameter space and by the closed form of one factor on three
// variables.  The tests and fit measures are recomputed by their formulas
// from the solution shown, with chi-square probabilities from the closed
// forms of the distribution.  Heywood cases (where the optimiser's bounds
// hold a unique variance at 0), iteration limits and a singular matrix are
// checked by their messages and status codes.
#include "factor/extract/factnr.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/status.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"

namespace kav::coretest {
namespace {

double logdet(const Mat& a) {
  double s = 0;
  for (double v : jacobi(a).values) s += std::log(v);
  return s;
}

// The ML discrepancy ln|S| + tr(R S^-1) - ln|R| - p of S = L L' + Psi.
double ml_discrepancy(const Mat& r, const Mat& l, const Vec& psi) {
  Mat sigma = mul(l, tr(l));
  for (std::size_t i = 0; i < r.size(); ++i) sigma[i][i] += psi[i];
  const Mat rs = mul(r, inv(sigma));
  double trace = 0;
  for (std::size_t i = 0; i < r.size(); ++i) trace += rs[i][i];
  return logdet(sigma) + trace - logdet(r) - static_cast<double>(r.size());
}

// Pr(chi-square with df degrees of freedom > x) from the closed forms:
// Q(1) = erfc(sqrt(x/2)), Q(2) = exp(-x/2), Q(df + 2) = Q(df) + (x/2)^(df/2)
// exp(-x/2) / Gamma(df/2 + 1).
double upper_chisq(int df, double x) {
  double q = df % 2 ? std::erfc(std::sqrt(x / 2)) : std::exp(-x / 2);
  for (int d = df % 2 ? 1 : 2; d < df; d += 2)
    q += std::exp(d / 2.0 * std::log(x / 2) - x / 2 - std::lgamma(d / 2.0 + 1));
  return q;
}

class FactnrTest : public CoreTest {
 protected:
  // An ML, ULS or GLS fit of `r` with `m` factors, converged tightly.
  void fit(const Mat& r, int method, int m, std::initializer_list<FoptBit> flags = {},
           int maxiter = 500) {
    load(r, method, kPriSmc);
    if (method != kFmUls) fopt_set(com, kFoptVarWeights);
    for (FoptBit b : flags) fopt_set(com, b);
    com->nfactp = com->maxfact = m;
    com->epsilon = 1e-10;
    com->maxiter = maxiter;
    factnr(com);
  }
  Mat loadings() const {
    Mat l(static_cast<std::size_t>(com->nvar), Vec(static_cast<std::size_t>(com->nfact)));
    for (int i = 0; i < com->nvar; ++i)
      for (int k = 0; k < com->nfact; ++k) l[i][k] = loading(i, k);
    return l;
  }
  Vec psi() const { return Vec(com->nrptr->psi, com->nrptr->psi + com->nvar); }
  void expect_loadings(std::initializer_list<double> column, double tol = 1e-6) {
    int j = 0;
    for (double v : column) EXPECT_NEAR(loading(j++, 0), v, tol) << j;
  }
};

// The derivative of each criterion with respect to Sigma is, up to its
// sign, B = W (Sigma - R) W: W = Sigma^-1 for ML, R^-1 for GLS
// (tr((I - R^-1 Sigma)^2) / 2), I for ULS (tr((R - Sigma)^2) / 2).  At a
// stationary point in loadings and unique variances both B L and diag(B)
// vanish.
TEST_F(FactnrTest, EveryFitIsStationaryForItsCriterionInTheFullParameterSpace) {
  Mat ml_loadings;
  for (const auto& [r, method, m] : {std::tuple{physical8(), kFmMl, 2},
                                     {tests24(), kFmMl, 4},
                                     {physical8(), kFmGls, 2},
                                     {physical8(), kFmUls, 2}}) {
    SCOPED_TRACE(std::to_string(method) + " " + std::to_string(m));
    fit(r, method, m);
    ASSERT_EQ(com->nfact, m);
    EXPECT_EQ(com->iterrc, 0);
    EXPECT_TRUE(logged(kMsgIterConverged));
    const Mat l = loadings();
    const Vec u = psi();
    Mat sigma = mul(l, tr(l)), diff = sigma;
    for (std::size_t i = 0; i < r.size(); ++i) {
      sigma[i][i] += u[i];
      diff[i][i] += u[i];
      for (std::size_t j = 0; j < r.size(); ++j) diff[i][j] -= r[i][j];
    }
    const Mat w = method == kFmMl ? inv(sigma) : method == kFmGls ? inv(r) : Mat{};
    const Mat b = w.empty() ? diff : mul(mul(w, diff), w), bl = mul(b, l);
    double worst = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
      worst = std::max(worst, std::fabs(b[i][i]));
      for (double v : bl[i]) worst = std::max(worst, std::fabs(v));
    }
    EXPECT_LT(worst, 1e-6);
    if (method == kFmMl) {
      const double f = ml_discrepancy(r, l, u);
      EXPECT_NEAR(com->nrptr->f, f, 1e-6 * f);
      // Weights 1/psi; the weighted variance each factor explains is its
      // eigenvalue of the weighted reduced correlation matrix, L' Psi^-1 L.
      for (std::size_t i = 0; i < r.size(); ++i) EXPECT_NEAR(wt[i] * u[i], 1, 1e-6);
      for (int k = 0; k < m; ++k) {
        double explained = 0;
        for (std::size_t i = 0; i < r.size(); ++i) explained += l[i][k] * l[i][k] / u[i];
        EXPECT_NEAR(eigval[k], explained, 1e-7 * explained);
      }
      if (m == 2) ml_loadings = l;
    } else {
      // The criteria differ on data that do not fit: not the ML solution.
      EXPECT_GT(std::fabs(l[0][1] - ml_loadings[0][1]), 1e-4);
    }
  }
}

TEST_F(FactnrTest, OneFactorOnThreeVariablesHasItsClosedForm) {
  // l_i^2 = r_ij r_ik / r_jk: a saturated model that fits exactly.
  const double r12 = 0.6, r13 = 0.5, r23 = 0.4;
  for (int method : {kFmMl, kFmGls, kFmUls}) {
    SCOPED_TRACE(method);
    fit(three(r12, r13, r23), method, 1);
    ASSERT_EQ(com->nfact, 1);
    EXPECT_EQ(com->iterrc, 0);
    expect_loadings(
        {std::sqrt(r12 * r13 / r23), std::sqrt(r12 * r23 / r13), std::sqrt(r13 * r23 / r12)});
    EXPECT_NEAR(com->nrptr->f, 0.0, 1e-10);
  }
}

// r12 r13 / r23 = 1.4: the first variable wants a communality above 1.
TEST_F(FactnrTest, HeywoodCasesStopOrAreBoundedOrAllowed) {
  const Mat r = three(0.8, 0.7, 0.4);
  fit(r, kFmMl, 1);
  EXPECT_EQ(com->nfact, -1);
  EXPECT_EQ(com->iterrc, 1);
  EXPECT_EQ(com->ReasonConvStat, kMsgHeywood);
  EXPECT_GE(com->rc, kRcByGroup);
  EXPECT_TRUE(logged(kMsgHeywood));
  EXPECT_TRUE(logged(kMsgHeywoodHint));

  // HEYWOOD keeps the first unique variance at 0: the factor is the first
  // variable, and the others are its regressions.
  fit(r, kFmMl, 1, {kFoptHeywood});
  ASSERT_EQ(com->nfact, 1);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_FALSE(logged(kMsgHeywood));
  EXPECT_EQ(com->nrptr->psi[0], 0.0);
  EXPECT_EQ(priors[0], 1.0);
  expect_loadings({1.0, 0.8, 0.7});
  EXPECT_TRUE(std::isnan(wt[0]));
  EXPECT_TRUE(logged(kMsgNrWeightMissing));

  // ULTRAHEYWOOD lets the communality pass 1: the closed form again.
  fit(r, kFmMl, 1, {kFoptUltraHeywood});
  ASSERT_EQ(com->nfact, 1);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_NEAR(com->nrptr->psi[0], 1 - 1.4, 1e-6);
  expect_loadings({std::sqrt(1.4), 0.8 / std::sqrt(1.4), 0.7 / std::sqrt(1.4)});
}

TEST_F(FactnrTest, IterationLimitsLeaveTheLastEstimatesUnconvergedAndASingularMatrixStops) {
  fit(physical8(), kFmMl, 2, {}, 0);
  EXPECT_EQ(com->nrptr->iter, 0);
  EXPECT_EQ(com->nfact, 2);
  EXPECT_EQ(com->iterrc, 3);
  EXPECT_EQ(com->ReasonConvStat, kMsgNrIterLimit);
  // The loadings still reproduce the communalities of the last iterate.
  for (int j = 0; j < 8; ++j) EXPECT_NEAR(row_ss(j) + com->nrptr->psi[j], 1.0, 0.1);
  // The third variable is the mean of the first two.
  const double a = 0.5, c = std::sqrt(0.5 * (1 + a));
  for (int method : {kFmMl, kFmGls}) {
    fit(three(a, c, c), method, 1);
    EXPECT_EQ(com->nfact, 0);
    EXPECT_GE(com->rc, kRcSingular);
    EXPECT_TRUE(logged(kMsgNrSingular));
  }
}

// Whole programs: the tables of an ML fit checked by their formulas.

TEST(FactnrProgram, SignificanceTestsAndFitMeasuresFollowTheirFormulas) {
  Mat r = read_matrix("ability6_cov.csv", "COV");
  const Mat cov = r;
  for (std::size_t i = 0; i < r.size(); ++i)
    for (std::size_t j = 0; j < r.size(); ++j) r[i][j] /= std::sqrt(cov[i][i] * cov[j][j]);
  const auto run = progtest::run(
      "proc factor data=ref.ability6_cov(type=cov) method=ml nfactors=2 converge=1e-10 "
      "maxiter=500; run;");
  ASSERT_EQ(progtest::exit_code(run), 0) << run.log;
  const Mat t = progtest::table(run, "SignifTests"), fm = progtest::table(run, "FitMeasures");
  ASSERT_EQ(t.size(), 4u);  // DF, ChiSq, ProbChiSq per row
  ASSERT_EQ(fm.size(), 4u);
  Vec psi;
  for (const auto& row : progtest::table(run, "FinalCommunWgt")) psi.push_back(1 - row[0]);
  const double f = ml_discrepancy(r, progtest::table(run, "FactorPattern"), psi);

  const double n = 112, p = 6, m = 2;
  const double chi0 = -(n - 1 - (2 * p + 5) / 6) * logdet(r), df0 = 15;
  const double chim = (n - 1 - (2 * p + 5) / 6 - 2 * m / 3) * f, dfm = 4;  // ((p-m)^2 - p - m) / 2
  EXPECT_EQ(t[0][0], df0);
  EXPECT_NEAR(t[0][1], chi0, 1e-6 * chi0);
  EXPECT_NEAR(t[0][2], upper_chisq(15, chi0), 1e-12);
  EXPECT_TRUE(std::isnan(t[1][1]));
  EXPECT_EQ(t[2][0], dfm);
  EXPECT_NEAR(t[2][1], chim, 1e-6 * chim);
  const double prob = upper_chisq(4, chim);
  EXPECT_GT(prob, 0.01);  // a probability worth checking
  EXPECT_NEAR(t[2][2], prob, 1e-6);

  // Chi-square, AIC, SBC and Tucker-Lewis.
  const double r0 = chi0 / df0, rm = chim / dfm;
  const double expected[4] = {(n - 1) * f, (n - 1) * f - 2 * dfm, (n - 1) * f - dfm * std::log(n),
                              (r0 - rm) / (r0 - 1)};
  for (std::size_t k = 0; k < 4; ++k)
    EXPECT_NEAR(fm[k][0], expected[k], 1e-6 * std::fabs(expected[k])) << k;
  // The squared canonical correlations are y / (1 + y) of the eigenvalues y
  // of the weighted reduced correlation matrix (the last Eigenvalues table).
  const Mat cc = progtest::table(run, "CanCorr"), ev = progtest::table(run, "Eigenvalues", -1);
  ASSERT_EQ(cc.size() * cc[0].size(), 2u);
  for (std::size_t k = 0; k < 2; ++k)
    EXPECT_NEAR(cc.size() == 1 ? cc[0][k] : cc[k][0], ev[k][1] / (1 + ev[k][1]), 1e-12);
}

TEST(FactnrProgram, TestsThatCannotBeMadeSaySo) {
  // One factor on three variables is saturated: no degrees of freedom, and
  // the Tucker-Lewis coefficient takes r0 for rm, so it is 0.
  auto r = progtest::run(
      "data c(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 50 50 50\nCORR a 1 .6 .5\nCORR b .6 1 .4\nCORR c .5 .4 1\n;\n"
      "proc factor data=c method=ml nfactors=1; run;");
  Mat t = progtest::table(r, "SignifTests");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[2][0], 0.0);
  EXPECT_NEAR(t[2][1], 0.0, 1e-8);
  EXPECT_TRUE(std::isnan(t[2][2]));
  EXPECT_EQ(times(r, kMsgNoDf), 1);
  EXPECT_EQ(progtest::table(r, "FitMeasures")[3][0], 0.0);

  // No factors: only the test of no common factors, and the fit measures
  // use F = -ln det R.
  r = progtest::run("proc factor data=ref.physical8(type=corr) method=ml nfactors=0; run;");
  EXPECT_EQ(progtest::table(r, "SignifTests").size(), 2u);
  EXPECT_NEAR(progtest::table(r, "FitMeasures")[0][0], -304 * logdet(physical8()), 1e-9 * 304);
  EXPECT_FALSE(progtest::has_table(r, "FactorPattern"));
}

TEST(FactnrProgram, HeywoodAndUnconvergedRunsEndAsTheyShould) {
  // A Heywood stop ends the group but still shows the tests.
  auto r = progtest::run(
      "data h(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 200 200 200\nCORR a 1 .8 .7\nCORR b .8 1 .4\nCORR c .7 .4 1\n;\n"
      "proc factor data=h method=ml nfactors=1; run;");
  EXPECT_EQ(progtest::exit_code(r, 1), kRcByGroup);
  EXPECT_EQ(times(r, kMsgHeywood), 1);
  EXPECT_TRUE(progtest::has_table(r, "SignifTests"));
  EXPECT_FALSE(progtest::has_table(r, "FactorPattern"));

  // Out of iterations: status 3, a history row per iteration, and a pattern.
  r = progtest::run(
      "proc factor data=ref.physical8(type=corr) method=uls nfactors=2 converge=1e-12 maxiter=2;"
      " run;");
  EXPECT_EQ(times(r, kMsgNrIterLimit), 1);
  EXPECT_TRUE(progtest::has_table(r, "ConvergenceStatus"));
  // Evaluations: the start point twice (the number of factors is decided
  // on the first), then one trial point per iteration, none turned down.
  const auto history = progtest::outputs(r, "IterHistory", "table");
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(progtest::column(*history[0], "Evaluations"), (std::vector<double>{3, 4}));
  EXPECT_TRUE(progtest::has_table(r, "FactorPattern"));
}

}  // namespace
}  // namespace kav::coretest
