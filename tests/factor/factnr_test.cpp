// Maximum likelihood, unweighted and generalized least squares fits.
//
// The fits are checked against routes of their own written here: an EM
// algorithm for the factor model in long double (ML), the first-order
// conditions of each criterion in the full parameter space, and the closed
// form of one factor on three variables.  The tests and fit measures are
// recomputed by their formulas from the EM fit, with chi-square
// probabilities from the closed forms of the distribution.  Heywood cases,
// iteration limits, a singular matrix and the optimiser's own outcomes
// are checked by their messages and status codes.
#include "factor/factnr.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"
#include "factor/factcd.h"
#include "factor/factor.h"

namespace kav::coretest {
namespace {

using LVec = std::vector<long double>;

Mat physical8() {
  return read_matrix("physical8.csv", "CORR");
}
Mat ability6() {
  Mat r = read_matrix("ability6_cov.csv", "COV");
  const Mat cov = r;
  for (std::size_t i = 0; i < r.size(); ++i)
    for (std::size_t j = 0; j < r.size(); ++j) r[i][j] /= std::sqrt(cov[i][i] * cov[j][j]);
  return r;
}
Mat three(double r12, double r13, double r23) {
  return {{1, r12, r13}, {r12, 1, r23}, {r13, r23, 1}};
}

Mat product(const Mat& a, const Mat& b) {
  Mat c(a.size(), LVec(b[0].size(), 0));
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t k = 0; k < b.size(); ++k)
      for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][k] * b[k][j];
  return c;
}
Mat transpose(const Mat& a) {
  Mat t(a[0].size(), LVec(a.size()));
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < a[0].size(); ++j) t[j][i] = a[i][j];
  return t;
}
long double logdet(const Mat& a) {
  long double s = 0;
  for (long double v : jacobi(a).values) s += std::log(v);
  return s;
}

// A factor solution: loadings (p x m) and unique variances.
struct Solution {
  Mat loadings;
  LVec psi;
  Mat sigma() const {
    Mat s = product(loadings, transpose(loadings));
    for (std::size_t i = 0; i < s.size(); ++i) s[i][i] += psi[i];
    return s;
  }
  Mat lt_psi() const {  // L' Psi^-1
    Mat t = transpose(loadings);
    for (auto& row : t)
      for (std::size_t i = 0; i < psi.size(); ++i) row[i] /= psi[i];
    return t;
  }
};

// The ML discrepancy ln|S| + tr(R S^-1) - ln|R| - p.
long double ml_discrepancy(const Mat& r, const Solution& s) {
  const Mat sigma = s.sigma();
  const Mat rs = product(r, inverse(sigma));
  long double trace = 0;
  for (std::size_t i = 0; i < r.size(); ++i) trace += rs[i][i];
  return logdet(sigma) + trace - logdet(r) - static_cast<long double>(r.size());
}

// EM for the factor model (Rubin and Thayer): with beta = (I + G)^-1 L' Psi^-1
// and G = L' Psi^-1 L, the new loadings are R beta' (I - beta L + beta R
// beta')^-1 and the new unique variances diag(R - L_new beta R).  Then the
// solution is turned to the canonical orientation (L' Psi^-1 L diagonal,
// largest first, columns summing to a positive number).
Solution em(const Mat& r, int m) {
  const std::size_t p = r.size(), mm = static_cast<std::size_t>(m);
  const Eigen start = jacobi(r);
  Solution s{Mat(p, LVec(mm)), LVec(p, 1)};
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t k = 0; k < mm; ++k) {
      s.loadings[i][k] = start.vectors[k][i] * std::sqrt(start.values[k]) * 0.9L;
      s.psi[i] -= s.loadings[i][k] * s.loadings[i][k];
    }
  for (int it = 0; it < 200000; ++it) {
    Mat g = product(s.lt_psi(), s.loadings);
    for (std::size_t k = 0; k < mm; ++k) g[k][k] += 1;
    const Mat beta = product(inverse(g), s.lt_psi());
    const Mat beta_r = product(beta, r);
    Mat czz = product(beta_r, transpose(beta));
    const Mat bl = product(beta, s.loadings);
    for (std::size_t k = 0; k < mm; ++k)
      for (std::size_t l = 0; l < mm; ++l) czz[k][l] += (k == l ? 1 : 0) - bl[k][l];
    s.loadings = product(transpose(beta_r), inverse(czz));
    const Mat fitted = product(s.loadings, beta_r);
    long double change = 0;
    for (std::size_t i = 0; i < p; ++i) {
      change = std::max(change, std::fabs(r[i][i] - fitted[i][i] - s.psi[i]));
      s.psi[i] = r[i][i] - fitted[i][i];
    }
    if (change < 1e-15L) break;
  }
  const Eigen turn = jacobi(product(s.lt_psi(), s.loadings));
  Mat canonical(p, LVec(mm, 0));
  for (std::size_t k = 0; k < mm; ++k) {
    long double sum = 0;
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t l = 0; l < mm; ++l) canonical[i][k] += s.loadings[i][l] * turn.vectors[k][l];
      sum += canonical[i][k];
    }
    if (sum < 0)
      for (std::size_t i = 0; i < p; ++i) canonical[i][k] = -canonical[i][k];
  }
  s.loadings = canonical;
  return s;
}

// Pr(chi-square with df degrees of freedom > x) from the closed forms:
// Q(1) = erfc(sqrt(x/2)), Q(2) = exp(-x/2), Q(df + 2) = Q(df) + (x/2)^(df/2)
// exp(-x/2) / Gamma(df/2 + 1).
double upper_chisq(int df, double x) {
  long double q = df % 2 ? std::erfc(std::sqrt(x / 2.0L)) : std::exp(-x / 2.0L);
  for (int d = df % 2 ? 1 : 2; d < df; d += 2)
    q += std::exp(d / 2.0L * std::log(x / 2.0L) - x / 2.0L - std::lgamma(d / 2.0L + 1));
  return static_cast<double>(q);
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
  Solution solution() const {
    const auto p = static_cast<std::size_t>(com->nvar), m = static_cast<std::size_t>(com->nfact);
    Solution s{Mat(p, LVec(m)), LVec(com->nrptr->psi, com->nrptr->psi + p)};
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t k = 0; k < m; ++k)
        s.loadings[i][k] = loading(static_cast<int>(i), static_cast<int>(k));
    return s;
  }
  void expect_loadings(std::initializer_list<double> column, double tol = 1e-6) {
    int j = 0;
    for (double v : column) EXPECT_NEAR(loading(j++, 0), v, tol) << j;
  }
  // The largest entry of B L and of diag(B), B the derivative of the
  // criterion with respect to Sigma (up to its sign): both vanish at a
  // stationary point of the criterion in loadings and unique variances.
  static long double first_order(const Mat& b, const Solution& s) {
    const Mat bl = product(b, s.loadings);
    long double worst = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
      worst = std::max(worst, std::fabs(b[i][i]));
      for (long double v : bl[i]) worst = std::max(worst, std::fabs(v));
    }
    return worst;
  }
};

TEST_F(FactnrTest, MaximumLikelihoodAgreesWithAnEmFitInLoadingsAndCriterion) {
  for (const auto& [r, m] :
       {std::pair{physical8(), 2}, std::pair{read_matrix("tests24.csv", "CORR"), 4}}) {
    SCOPED_TRACE(r.size());
    fit(r, kFmMl, m);
    ASSERT_EQ(com->nfact, m);
    EXPECT_EQ(com->iterrc, 0);
    EXPECT_TRUE(logged(kMsgIterConverged));
    const Solution reference = em(r, m), ours = solution();
    for (std::size_t j = 0; j < r.size(); ++j)
      for (int k = 0; k < m; ++k)
        EXPECT_NEAR(ours.loadings[j][k], reference.loadings[j][k], 1e-5) << j << "," << k;
    const double f = static_cast<double>(ml_discrepancy(r, reference));
    EXPECT_NEAR(com->nrptr->f, f, 1e-6 * f);
    EXPECT_NEAR(static_cast<double>(ml_discrepancy(r, ours)), f, 1e-6 * f);
    // Weights 1/psi; the weighted variance each factor explains is its
    // eigenvalue of the weighted reduced correlation matrix.
    for (std::size_t i = 0; i < r.size(); ++i)
      EXPECT_NEAR(wt[i], 1 / static_cast<double>(ours.psi[i]), 1e-6 * wt[i]);
    const Mat explained = product(ours.lt_psi(), ours.loadings);
    for (int k = 0; k < m; ++k)
      EXPECT_NEAR(eigval[k], static_cast<double>(explained[k][k]), 1e-7 * explained[k][k]);
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

TEST_F(FactnrTest, EveryFitIsStationaryForItsCriterionInTheFullParameterSpace) {
  // The derivative of each criterion with respect to Sigma is, up to its
  // sign, B = W (Sigma - R) W: W = Sigma^-1 for ML, R^-1 for GLS
  // (tr((I - R^-1 Sigma)^2) / 2), I for ULS (tr((R - Sigma)^2) / 2).
  const Mat r = physical8();
  for (int method : {kFmMl, kFmGls, kFmUls}) {
    SCOPED_TRACE(method);
    fit(r, method, 2);
    ASSERT_EQ(com->nfact, 2);
    EXPECT_EQ(com->iterrc, 0);
    const Solution s = solution();
    Mat diff = s.sigma();
    for (std::size_t i = 0; i < r.size(); ++i)
      for (std::size_t j = 0; j < r.size(); ++j) diff[i][j] -= r[i][j];
    const Mat w = method == kFmMl ? inverse(s.sigma()) : method == kFmGls ? inverse(r) : Mat{};
    EXPECT_LT(first_order(w.empty() ? diff : product(product(w, diff), w), s), 1e-6L);
    // The criteria differ on data that do not fit: not the ML solution.
    if (method != kFmMl) {
      EXPECT_GT(std::fabs(static_cast<double>(s.loadings[0][1] - em(r, 2).loadings[0][1])), 1e-4);
    }
  }
}

// r12 r13 / r23 = 1.4: the first variable wants a communality above 1.
TEST_F(FactnrTest, HeywoodCasesStopOrAreBoundedOrAllowed) {
  const Mat r = three(0.8, 0.7, 0.4);
  fit(r, kFmMl, 1);
  EXPECT_EQ(com->nfact, -1);
  EXPECT_EQ(com->heycode, -1);
  EXPECT_EQ(com->iterrc, 1);
  EXPECT_EQ(com->ReasonConvStat, kMsgHeywood);
  EXPECT_GE(com->rc, kRcByGroup);
  EXPECT_TRUE(logged(kMsgHeywood));
  EXPECT_TRUE(logged(kMsgHeywoodHint));

  // HEYWOOD keeps the first unique variance at 0: the factor is the first
  // variable, and the others are its regressions.
  const int stops = count(kFactorGroup, kMsgHeywood);
  fit(r, kFmMl, 1, {kFoptHeywood});
  ASSERT_EQ(com->nfact, 1);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_EQ(count(kFactorGroup, kMsgHeywood), stops);
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

TEST_F(FactnrTest, IterationLimitsLeaveTheLastEstimatesUnconverged) {
  for (int limit : {0, 1}) {
    SCOPED_TRACE(limit);
    fit(physical8(), kFmMl, 2, {}, limit);
    EXPECT_EQ(com->nrptr->iter, limit);
    EXPECT_EQ(com->nfact, 2);
    EXPECT_EQ(com->iterrc, 3);
    EXPECT_EQ(com->ReasonConvStat, kMsgNrIterLimit);
    EXPECT_TRUE(logged(kMsgNrIterLimit));
    EXPECT_FALSE(logged(kMsgIterConverged));
    // The loadings still reproduce the communalities of the last iterate.
    for (int j = 0; j < 8; ++j)
      EXPECT_NEAR(
          loading(j, 0) * loading(j, 0) + loading(j, 1) * loading(j, 1) + com->nrptr->psi[j], 1.0,
          0.1);
  }
}

TEST_F(FactnrTest, ASingularMatrixStopsMaximumLikelihoodWithItsMessage) {
  // The third variable is the mean of the first two.
  const double a = 0.5, c = std::sqrt(0.5 * (1 + a));
  for (int method : {kFmMl, kFmGls}) {
    fit({{1, a, c}, {a, 1, c}, {c, c, 1}}, method, 1);
    EXPECT_EQ(com->nfact, 0);
    EXPECT_GE(com->rc, kRcSingular);
    EXPECT_TRUE(logged(kMsgNrSingular));
  }
}

// ---------------------------------------------------------------------------
// The optimiser on problems whose answers are known.

TEST(Zoldrap, BoundsHoldTheParametersThatWouldCrossThem) {
  // f = sum (i + 1) (x_i - c_i)^2 / 2 in the unit box.
  struct Quadratic {
    Vec centre, x;
  } q{{-0.5, 0.3, 2.0}, {0.5, 0.5, 0.5}};
  NRCALLBACKS cb{&q,
                 [](void* c) {
                   auto* q = static_cast<Quadratic*>(c);
                   double f = 0;
                   for (std::size_t i = 0; i < 3; ++i)
                     f += (i + 1.0) * (q->x[i] - q->centre[i]) * (q->x[i] - q->centre[i]);
                   return f / 2;
                 },
                 [](void* c, double* g, double* h) {
                   auto* q = static_cast<Quadratic*>(c);
                   for (int i = 0; i < 3; ++i) {
                     g[i] = (i + 1.0) * (q->x[i] - q->centre[i]);
                     for (int j = 0; j <= i; ++j) h[i * (i + 1) / 2 + j] = i == j ? i + 1.0 : 0.0;
                   }
                 },
                 [](void*, double) { return 0; }};
  Vec g(3), h(6), work(zoldrap_work(3)), lower{0, 0, 0}, upper{1, 1, 1};
  double f = 0;
  EXPECT_EQ(zoldrap(3, 20, &f, q.x.data(), g.data(), h.data(), work.data(), lower.data(),
                    upper.data(), cb),
            kNrConverged);
  EXPECT_EQ(q.x[0], 0.0);
  EXPECT_NEAR(q.x[1], 0.3, 1e-12);
  EXPECT_EQ(q.x[2], 1.0);
  EXPECT_NEAR(f, (0.25 + 3 * 1.0) / 2, 1e-12);
  // No iteration at all.
  q.x = {0.5, 0.5, 0.5};
  EXPECT_EQ(zoldrap(3, 0, &f, q.x.data(), g.data(), h.data(), work.data(), nullptr, nullptr, cb),
            kNrIterations);
}

TEST(Zoldrap, OutcomesOfAFitThatCannotProceed) {
  // A criterion that rises at every call, with slope 1 and curvature h.
  struct State {
    double x = 1, value = 0, h = 1;
  } s;
  const NRCALLBACKS rising{&s, [](void* c) { return static_cast<State*>(c)->value += 1; },
                           [](void* c, double* g, double* h) {
                             g[0] = 1;
                             h[0] = static_cast<State*>(c)->h;
                           },
                           [](void*, double) { return 0; }};
  Vec g(1), h(1), work(zoldrap_work(1));
  double f = 0;
  // Every step rises: the ridge grows past its limit, and x stays.
  EXPECT_EQ(zoldrap(1, 5, &f, &s.x, g.data(), h.data(), work.data(), nullptr, nullptr, rising),
            kNrNoDescent);
  EXPECT_EQ(s.x, 1.0);
  // A Hessian that no ridge can make positive definite.
  s.h = std::nan("");
  EXPECT_EQ(zoldrap(1, 5, &f, &s.x, g.data(), h.data(), work.data(), nullptr, nullptr, rising),
            kNrRidge);
  // A maximum of -x^2/2 reached only with a ridge: not a minimum.
  double x = 1;
  const NRCALLBACKS peak{
      &x, [](void* c) { return -*static_cast<double*>(c) * *static_cast<double*>(c) / 2; },
      [](void* c, double* g, double* h) {
        g[0] = -*static_cast<double*>(c);
        h[0] = -1;
      },
      [](void*, double) { return 1; }};
  EXPECT_EQ(zoldrap(1, 5, &f, &x, g.data(), h.data(), work.data(), nullptr, nullptr, peak),
            kNrHessian);
}

// ---------------------------------------------------------------------------
// Whole programs: the tables of an ML fit checked by their formulas.

const std::string kReference = "libname ref '" + std::string(KAV_REFERENCE_DIR) + "/data';\n";

double cell(const Table* t, std::size_t row, const std::string& column) {
  for (std::size_t c = 0; t && c < t->columns.size(); ++c)
    if (t->columns[c].name == column) return std::get<double>(t->rows.at(row)[c]);
  ADD_FAILURE() << column;
  return 0;
}

TEST(FactnrProgram, SignificanceTestsAndFitMeasuresFollowTheirFormulas) {
  const Mat r = ability6();
  ProgramRun run;
  run.go(kReference +
         "proc factor data=ref.ability6_cov(type=cov) method=ml nfactors=2 converge=1e-10 "
         "maxiter=500; run;");
  ASSERT_EQ(run.factor_step().exit_code, 0);
  const Table *t = run.table("SignifTests"), *fm = run.table("FitMeasures");
  ASSERT_TRUE(t && fm);
  ASSERT_EQ(t->rows.size(), 4u);
  ASSERT_EQ(fm->rows.size(), 4u);

  const double n = 112, p = 6, m = 2;
  const double f = static_cast<double>(ml_discrepancy(r, em(r, 2)));
  const double chi0 = -(n - 1 - (2 * p + 5) / 6) * static_cast<double>(logdet(r)), df0 = 15;
  const double chim = (n - 1 - (2 * p + 5) / 6 - 2 * m / 3) * f, dfm = 4;  // ((p-m)^2 - p - m) / 2
  EXPECT_EQ(cell(t, 0, "DF"), df0);
  EXPECT_NEAR(cell(t, 0, "ChiSq"), chi0, 1e-6 * chi0);
  EXPECT_NEAR(cell(t, 0, "ProbChiSq"), upper_chisq(15, chi0), 1e-12);
  EXPECT_TRUE(std::isnan(cell(t, 1, "ChiSq")));
  EXPECT_EQ(cell(t, 2, "DF"), dfm);
  EXPECT_NEAR(cell(t, 2, "ChiSq"), chim, 1e-6 * chim);
  const double prob = upper_chisq(4, chim);
  EXPECT_GT(prob, 0.01);  // a probability worth checking
  EXPECT_NEAR(cell(t, 2, "ProbChiSq"), prob, 1e-6);

  // Chi-square, AIC, SBC and Tucker-Lewis.
  const double r0 = chi0 / df0, rm = chim / dfm;
  const double expected[4] = {(n - 1) * f, (n - 1) * f - 2 * dfm, (n - 1) * f - dfm * std::log(n),
                              (r0 - rm) / (r0 - 1)};
  for (std::size_t k = 0; k < 4; ++k)
    EXPECT_NEAR(std::get<double>(fm->rows[k][1]), expected[k], 1e-6 * std::fabs(expected[k])) << k;
  // The squared canonical correlations are y / (1 + y) of the eigenvalues y
  // of the weighted reduced correlation matrix (the last Eigenvalues table).
  const std::vector<double> cc = run.numbers("CanCorr");
  const Table* ev = nullptr;
  for (const auto& o : run.objects)
    if (o.table() && o.table()->name == "Eigenvalues") ev = o.table();
  ASSERT_EQ(cc.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const double y = cell(ev, k, "Eigenvalue");
    EXPECT_NEAR(cc[k], y / (1 + y), 1e-12);
  }
}

TEST(FactnrProgram, TestsThatCannotBeMadeSaySo) {
  // One factor on three variables is saturated: no degrees of freedom, and
  // the Tucker-Lewis coefficient takes r0 for rm, so it is 0.
  ProgramRun saturated;
  saturated.go(
      "data c(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 50 50 50\nCORR a 1 .6 .5\nCORR b .6 1 .4\nCORR c .5 .4 1\n;\n"
      "proc factor data=c method=ml nfactors=1; run;");
  const Table* t = saturated.table("SignifTests");
  ASSERT_TRUE(t);
  ASSERT_EQ(t->rows.size(), 4u);
  EXPECT_EQ(cell(t, 2, "DF"), 0.0);
  EXPECT_NEAR(cell(t, 2, "ChiSq"), 0.0, 1e-8);
  EXPECT_TRUE(std::isnan(cell(t, 2, "ProbChiSq")));
  EXPECT_EQ(t->footnotes.size(), 1u);
  EXPECT_EQ(saturated.count(kMsgNoDf), 1);
  EXPECT_EQ(std::get<double>(saturated.table("FitMeasures")->rows[3][1]), 0.0);

  // No factors: only the test of no common factors, and the fit measures
  // use F = -ln det R.
  ProgramRun none;
  none.go(kReference + "proc factor data=ref.physical8(type=corr) method=ml nfactors=0; run;");
  t = none.table("SignifTests");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rows.size(), 2u);
  const double ld = static_cast<double>(logdet(physical8()));
  EXPECT_NEAR(std::get<double>(none.table("FitMeasures")->rows[0][1]), -304 * ld, 1e-9 * 304);
  EXPECT_EQ(none.table("FactorPattern"), nullptr);
}

TEST(FactnrProgram, HeywoodAndUnconvergedRunsEndAsTheyShould) {
  // A Heywood stop ends the group but still shows the tests.
  ProgramRun stop;
  stop.go(
      "data h(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 200 200 200\nCORR a 1 .8 .7\nCORR b .8 1 .4\nCORR c .7 .4 1\n;\n"
      "proc factor data=h method=ml nfactors=1; run;");
  EXPECT_EQ(stop.factor_step().exit_code, kRcByGroup);
  EXPECT_EQ(stop.count(kMsgHeywood), 1);
  EXPECT_EQ(stop.count(kMsgHeywoodHint), 1);
  EXPECT_NE(stop.table("SignifTests"), nullptr);
  EXPECT_EQ(stop.table("FactorPattern"), nullptr);

  // Out of iterations: status 3, a history row per iteration, and a pattern.
  ProgramRun unconverged;
  unconverged.go(kReference +
                 "proc factor data=ref.physical8(type=corr) method=uls nfactors=2 "
                 "converge=1e-12 maxiter=2; run;");
  EXPECT_EQ(unconverged.count(kMsgNrIterLimit), 1);
  EXPECT_EQ(unconverged.numbers("ConvergenceStatus"), std::vector<double>{3.0});
  EXPECT_EQ(unconverged.numbers("IterHistory").size(), 2u * (5 + 8));
  EXPECT_NE(unconverged.table("FactorPattern"), nullptr);
}

}  // namespace
}  // namespace kav::coretest
