// Maximum likelihood, unweighted and generalized least squares fits.
//
// The fits are checked against routes of their own written here: an EM
// algorithm for the factor model in long double (ML), the first-order
// conditions of each criterion in the full parameter space (ML, GLS), the
// closed form of one factor on three variables, and the fixed point of
// iterated principal factors (ULS).  The tests and fit measures are
// recomputed by their formulas from the EM fit, with chi-square
// probabilities from the closed forms of the distribution.  Heywood cases,
// iteration limits, a singular matrix and the optimiser's own outcomes
// are checked by their messages and status codes.
#include "factor/factnr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "core_fixture.h"
#include "factor/factcd.h"
#include "factor/factor.h"
#include "factor/factprn.h"

namespace kav::coretest {
namespace {

using LVec = std::vector<long double>;

Mat physical8() {
  return read_matrix("physical8.csv", "CORR");
}
Mat tests24() {
  return read_matrix("tests24.csv", "CORR");
}
Mat ability6() {
  const Mat cov = read_matrix("ability6_cov.csv", "COV");
  Mat r = cov;
  for (std::size_t i = 0; i < r.size(); ++i)
    for (std::size_t j = 0; j < r.size(); ++j)
      r[i][j] = cov[i][j] / std::sqrt(cov[i][i] * cov[j][j]);
  return r;
}
Mat three(double r12, double r13, double r23) {
  return {{1, r12, r13}, {r12, 1, r23}, {r13, r23, 1}};
}

Mat product(const Mat& a, const Mat& b) {
  Mat c(a.size(), std::vector<long double>(b[0].size(), 0));
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t k = 0; k < b.size(); ++k)
      for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][k] * b[k][j];
  return c;
}
Mat transpose(const Mat& a) {
  Mat t(a[0].size(), std::vector<long double>(a.size()));
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
  Solution s{Mat(p, std::vector<long double>(mm)), LVec(p)};
  for (std::size_t i = 0; i < p; ++i) {
    long double h = 0;
    for (std::size_t k = 0; k < mm; ++k) {
      s.loadings[i][k] = start.vectors[k][i] * std::sqrt(start.values[k]) * 0.9L;
      h += s.loadings[i][k] * s.loadings[i][k];
    }
    s.psi[i] = 1 - h;
  }
  for (int it = 0; it < 200000; ++it) {
    Mat lt_psi = transpose(s.loadings);  // L' Psi^-1
    for (std::size_t k = 0; k < mm; ++k)
      for (std::size_t i = 0; i < p; ++i) lt_psi[k][i] /= s.psi[i];
    Mat g = product(lt_psi, s.loadings);
    for (std::size_t k = 0; k < mm; ++k) g[k][k] += 1;
    const Mat beta = product(inverse(g), lt_psi);
    const Mat beta_r = product(beta, r);
    Mat czz = product(beta_r, transpose(beta));
    const Mat bl = product(beta, s.loadings);
    for (std::size_t k = 0; k < mm; ++k)
      for (std::size_t l = 0; l < mm; ++l) czz[k][l] += (k == l ? 1 : 0) - bl[k][l];
    const Mat next = product(transpose(beta_r), inverse(czz));
    const Mat fitted = product(next, beta_r);
    long double change = 0;
    for (std::size_t i = 0; i < p; ++i) {
      const long double psi = r[i][i] - fitted[i][i];
      change = std::max(change, std::fabs(psi - s.psi[i]));
      s.psi[i] = psi;
    }
    s.loadings = next;
    if (change < 1e-15L) break;
  }
  Mat lt_psi = transpose(s.loadings);
  for (std::size_t k = 0; k < mm; ++k)
    for (std::size_t i = 0; i < p; ++i) lt_psi[k][i] /= s.psi[i];
  const Eigen turn = jacobi(product(lt_psi, s.loadings));
  Mat canonical(p, std::vector<long double>(mm, 0));
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
  void fit(const Mat& r, int method, int m, std::initializer_list<FoptBit> flags = {}) {
    load(r, method, kPriSmc);
    if (method != kFmUls) fopt_set(com, kFoptVarWeights);
    for (FoptBit b : flags) fopt_set(com, b);
    com->nfactp = com->maxfact = m;
    com->epsilon = 1e-10;
    com->maxiter = 500;
    factnr(com);
  }
  Solution solution() const {
    const auto p = static_cast<std::size_t>(com->nvar), m = static_cast<std::size_t>(com->nfact);
    Solution s{Mat(p, std::vector<long double>(m)), LVec(p)};
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t k = 0; k < m; ++k)
        s.loadings[i][k] = loading(static_cast<int>(i), static_cast<int>(k));
      s.psi[i] = com->nrptr->psi[i];
    }
    return s;
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
  const std::pair<Mat, int> cases[] = {{physical8(), 2}, {ability6(), 2}, {tests24(), 4}};
  for (const auto& [r, m] : cases) {
    SCOPED_TRACE(r.size());
    fit(r, kFmMl, m);
    ASSERT_EQ(com->nfact, m);
    EXPECT_EQ(com->iterrc, 0);
    EXPECT_TRUE(logged(kMsgIterConverged));
    const Solution reference = em(r, m);
    const Solution ours = solution();
    for (int j = 0; j < com->nvar; ++j)
      for (int k = 0; k < m; ++k)
        EXPECT_NEAR(
            loading(j, k),
            static_cast<double>(
                reference.loadings[static_cast<std::size_t>(j)][static_cast<std::size_t>(k)]),
            1e-5)
            << j << "," << k;
    const double f = static_cast<double>(ml_discrepancy(r, reference));
    EXPECT_NEAR(com->nrptr->f, f, 1e-6 * f);
    EXPECT_NEAR(static_cast<double>(ml_discrepancy(r, ours)), f, 1e-6 * f);
    // Sigma^-1 (Sigma - R) Sigma^-1 annihilates the loadings and has a zero
    // diagonal at the maximum.
    const Mat si = inverse(ours.sigma());
    Mat diff = ours.sigma();
    for (std::size_t i = 0; i < r.size(); ++i)
      for (std::size_t j = 0; j < r.size(); ++j) diff[i][j] -= r[i][j];
    EXPECT_LT(first_order(product(product(si, diff), si), ours), 1e-6L);
    // Weights 1/psi; the weighted variance each factor explains is its
    // eigenvalue of the weighted reduced correlation matrix.
    for (int k = 0; k < m; ++k) {
      long double w = 0;
      for (std::size_t i = 0; i < r.size(); ++i) {
        EXPECT_NEAR(wt[i], 1 / static_cast<double>(ours.psi[i]), 1e-6 * wt[i]);
        w += ours.loadings[i][static_cast<std::size_t>(k)] *
             ours.loadings[i][static_cast<std::size_t>(k)] / ours.psi[i];
      }
      EXPECT_NEAR(eigval[static_cast<std::size_t>(k)], static_cast<double>(w), 1e-7 * w);
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
    EXPECT_NEAR(loading(0, 0), std::sqrt(r12 * r13 / r23), 1e-6);
    EXPECT_NEAR(loading(1, 0), std::sqrt(r12 * r23 / r13), 1e-6);
    EXPECT_NEAR(loading(2, 0), std::sqrt(r13 * r23 / r12), 1e-6);
    EXPECT_NEAR(com->nrptr->f, 0.0, 1e-10);
  }
}

TEST_F(FactnrTest, GeneralizedLeastSquaresIsStationaryInTheFullParameterSpace) {
  // G = tr((I - R^-1 Sigma)^2) / 2 has the derivative -B with
  // B = R^-1 - R^-1 Sigma R^-1 with respect to Sigma.
  const Mat r = physical8();
  fit(r, kFmGls, 2);
  ASSERT_EQ(com->nfact, 2);
  EXPECT_EQ(com->iterrc, 0);
  const Solution s = solution();
  const Mat ri = inverse(r);
  Mat b = product(product(ri, s.sigma()), ri);
  for (std::size_t i = 0; i < r.size(); ++i)
    for (std::size_t j = 0; j < r.size(); ++j) b[i][j] = ri[i][j] - b[i][j];
  EXPECT_LT(first_order(b, s), 1e-6L);
  // Not the ML solution: the criteria differ on data that do not fit.
  const Solution ml = em(r, 2);
  EXPECT_GT(std::fabs(static_cast<double>(s.loadings[0][1] - ml.loadings[0][1])), 1e-4);
}

TEST_F(FactnrTest, UnweightedLeastSquaresIsTheIteratedPrincipalFactorFixedPoint) {
  for (const auto& [r, m] : {std::pair{physical8(), 2}, std::pair{tests24(), 3}}) {
    load(r, kFmPrinit, kPriSmc);
    com->nfactp = com->maxfact = m;
    com->epsilon = 1e-13;
    com->maxiter = 20000;
    factpri(com);
    ASSERT_EQ(com->iterrc, 0);
    const Vec fixed = fact;
    fit(r, kFmUls, m);
    ASSERT_EQ(com->nfact, m);
    EXPECT_EQ(com->iterrc, 0);
    for (int j = 0; j < com->nvar; ++j)
      for (int k = 0; k < m; ++k)
        EXPECT_NEAR(loading(j, k), fixed[static_cast<std::size_t>(k * com->nvar + j)], 1e-6);
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
  EXPECT_NEAR(loading(0, 0), 1.0, 1e-6);
  EXPECT_NEAR(loading(1, 0), 0.8, 1e-6);
  EXPECT_NEAR(loading(2, 0), 0.7, 1e-6);
  EXPECT_TRUE(std::isnan(wt[0]));
  EXPECT_TRUE(logged(kMsgNrWeightMissing));

  // ULTRAHEYWOOD lets the communality pass 1: the closed form again.
  fit(r, kFmMl, 1, {kFoptUltraHeywood});
  ASSERT_EQ(com->nfact, 1);
  EXPECT_EQ(com->iterrc, 0);
  EXPECT_NEAR(com->nrptr->psi[0], 1 - 1.4, 1e-6);
  EXPECT_NEAR(loading(0, 0), std::sqrt(1.4), 1e-6);
  EXPECT_NEAR(loading(1, 0), 0.8 / std::sqrt(1.4), 1e-6);
  EXPECT_NEAR(loading(2, 0), 0.7 / std::sqrt(1.4), 1e-6);
}

TEST_F(FactnrTest, IterationLimitsLeaveTheLastEstimatesUnconverged) {
  for (int limit : {0, 1}) {
    SCOPED_TRACE(limit);
    load(physical8(), kFmMl, kPriSmc);
    fopt_set(com, kFoptVarWeights);
    com->nfactp = com->maxfact = 2;
    com->epsilon = 1e-10;
    com->maxiter = limit;
    factnr(com);
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
  const Mat r = {{1, a, c}, {a, 1, c}, {c, c, 1}};
  for (int method : {kFmMl, kFmGls}) {
    fit(r, method, 1);
    EXPECT_EQ(com->nfact, 0);
    EXPECT_GE(com->rc, kRcSingular);
    EXPECT_TRUE(logged(kMsgNrSingular));
  }
}

// ---------------------------------------------------------------------------
// The optimiser on problems whose answers are known.

struct Quadratic {
  Vec centre, x;
  int calls = 0;
  double funct() {
    ++calls;
    double f = 0;
    for (std::size_t i = 0; i < x.size(); ++i)
      f += (i + 1.0) * (x[i] - centre[i]) * (x[i] - centre[i]);
    return f / 2;
  }
};

TEST(Zoldrap, BoundsHoldTheParametersThatWouldCrossThem) {
  Quadratic q{{-0.5, 0.3, 2.0}, {0.5, 0.5, 0.5}};
  NRCALLBACKS cb{&q, [](void* c) { return static_cast<Quadratic*>(c)->funct(); },
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
  struct State {
    double x = 1, value = 0;
    double h = -1;
    int stop = 0;
  } s;
  auto funct = [](void* c) {
    auto* s = static_cast<State*>(c);
    return s->value += 1;  // never lower
  };
  auto derivs = [](void* c, double* g, double* h) {
    g[0] = 1;
    h[0] = static_cast<State*>(c)->h;
  };
  auto convtest = [](void* c, double) { return static_cast<State*>(c)->stop; };
  Vec g(1), h(1), work(zoldrap_work(1));
  double f = 0;
  // Every step rises: the ridge grows past its limit.
  s.h = 1;
  EXPECT_EQ(zoldrap(1, 5, &f, &s.x, g.data(), h.data(), work.data(), nullptr, nullptr,
                    {&s, funct, derivs, convtest}),
            kNrNoDescent);
  EXPECT_EQ(s.x, 1.0);
  // A Hessian that no ridge can make positive definite.
  s.h = std::nan("");
  EXPECT_EQ(zoldrap(1, 5, &f, &s.x, g.data(), h.data(), work.data(), nullptr, nullptr,
                    {&s, funct, derivs, convtest}),
            kNrRidge);
  // A maximum of -x^2/2 reached only with a ridge: not a minimum.
  struct Peak {
    double x = 1;
  } peak;
  auto down = [](void* c) {
    const double x = static_cast<Peak*>(c)->x;
    return -x * x / 2;
  };
  auto slope = [](void* c, double* g, double* h) {
    g[0] = -static_cast<Peak*>(c)->x;
    h[0] = -1;
  };
  EXPECT_EQ(zoldrap(1, 5, &f, &peak.x, g.data(), h.data(), work.data(), nullptr, nullptr,
                    {&peak, down, slope, [](void*, double) { return 1; }}),
            kNrHessian);
}

// ---------------------------------------------------------------------------
// Whole programs: the tables of an ML fit checked by their formulas.

std::string reference_data() {
  return "libname ref '" + std::string(KAV_REFERENCE_DIR) + "/data';\n";
}

const Table* signif(const ProgramRun& run) {
  return run.table("SignifTests");
}
double cell(const Table* t, std::size_t row, const std::string& column) {
  for (std::size_t c = 0; c < t->columns.size(); ++c)
    if (t->columns[c].name == column) return std::get<double>(t->rows.at(row)[c]);
  ADD_FAILURE() << column;
  return 0;
}

TEST(FactnrProgram, SignificanceTestsAndFitMeasuresFollowTheirFormulas) {
  const Mat r = ability6();
  ProgramRun run;
  run.go(reference_data() +
         "proc factor data=ref.ability6_cov(type=cov) method=ml nfactors=2 converge=1e-10 "
         "maxiter=500; run;");
  ASSERT_EQ(run.factor_step().exit_code, 0);
  const Table* t = signif(run);
  const Table* fm = run.table("FitMeasures");
  ASSERT_TRUE(t && fm);
  ASSERT_EQ(t->rows.size(), 4u);

  const double n = 112, p = 6, m = 2;
  const double f = static_cast<double>(ml_discrepancy(r, em(r, 2)));
  const double ld = static_cast<double>(logdet(r));
  const double chi0 = -(n - 1 - (2 * p + 5) / 6) * ld, df0 = p * (p - 1) / 2;
  const double chim = (n - 1 - (2 * p + 5) / 6 - 2 * m / 3) * f;
  const double dfm = ((p - m) * (p - m) - (p + m)) / 2;
  EXPECT_EQ(cell(t, 0, "DF"), df0);
  EXPECT_NEAR(cell(t, 0, "ChiSq"), chi0, 1e-6 * chi0);
  EXPECT_NEAR(cell(t, 0, "ProbChiSq"), upper_chisq(15, chi0), 1e-12);
  EXPECT_TRUE(std::isnan(cell(t, 1, "ChiSq")));
  EXPECT_EQ(cell(t, 2, "DF"), dfm);
  EXPECT_NEAR(cell(t, 2, "ChiSq"), chim, 1e-6 * chim);
  const double prob = upper_chisq(4, chim);
  EXPECT_GT(prob, 0.01);  // a probability worth checking
  EXPECT_NEAR(cell(t, 2, "ProbChiSq"), prob, 1e-6);

  const double r0 = chi0 / df0, rm = chim / dfm;
  const double expected[4] = {(n - 1) * f, (n - 1) * f - 2 * dfm, (n - 1) * f - dfm * std::log(n),
                              (r0 - rm) / (r0 - 1)};
  ASSERT_EQ(fm->rows.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k)
    EXPECT_NEAR(std::get<double>(fm->rows[k][1]), expected[k], 1e-6 * std::fabs(expected[k])) << k;
  // The squared canonical correlations are y / (1 + y) of the eigenvalues y
  // of the weighted reduced correlation matrix (the last Eigenvalues table).
  const std::vector<double> cc = run.numbers("CanCorr");
  const Table* ev = nullptr;
  for (const auto& o : run.objects)
    if (o.table() && o.table()->name == "Eigenvalues") ev = o.table();
  ASSERT_EQ(cc.size(), 2u);
  ASSERT_TRUE(ev);
  for (std::size_t k = 0; k < 2; ++k) {
    const double y = cell(ev, k, "Eigenvalue");
    EXPECT_NEAR(cc[k], y / (1 + y), 1e-12);
  }
}

TEST(FactnrProgram, TestsThatCannotBeMadeSaySo) {
  // One factor on three variables is saturated: no degrees of freedom.
  ProgramRun saturated;
  saturated.go(
      "data c(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 50 50 50\nCORR a 1 .6 .5\nCORR b .6 1 .4\nCORR c .5 .4 1\n;\n"
      "proc factor data=c method=ml nfactors=1; run;");
  const Table* t = signif(saturated);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->rows.size(), 4u);
  EXPECT_EQ(cell(t, 2, "DF"), 0.0);
  EXPECT_NEAR(cell(t, 2, "ChiSq"), 0.0, 1e-8);
  EXPECT_TRUE(std::isnan(cell(t, 2, "ProbChiSq")));
  EXPECT_EQ(t->footnotes.size(), 1u);
  EXPECT_EQ(saturated.count(kMsgNoDf), 1);
  // Saturated: the Tucker-Lewis coefficient takes r0 for rm, so it is 0.
  EXPECT_EQ(std::get<double>(saturated.table("FitMeasures")->rows[3][1]), 0.0);

  // No factors: only the test of no common factors, and the fit measures
  // use F = -ln det R.
  ProgramRun none;
  none.go(reference_data() +
          "proc factor data=ref.physical8(type=corr) method=ml nfactors=0; run;");
  t = signif(none);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->rows.size(), 2u);
  const double ld = static_cast<double>(logdet(physical8()));
  EXPECT_NEAR(std::get<double>(none.table("FitMeasures")->rows[0][1]), -304 * ld, 1e-9 * 304);
  EXPECT_EQ(none.table("FactorPattern"), nullptr);
}

TEST(FactnrProgram, HeywoodSingularAndUnconvergedRunsEndAsTheyShould) {
  const std::string heywood =
      "data h(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 200 200 200\nCORR a 1 .8 .7\nCORR b .8 1 .4\nCORR c .7 .4 1\n;\n";
  ProgramRun stop;
  stop.go(heywood + "proc factor data=h method=ml nfactors=1; run;");
  EXPECT_EQ(stop.factor_step().exit_code, kRcByGroup);
  EXPECT_EQ(stop.count(kMsgHeywood), 1);
  EXPECT_EQ(stop.count(kMsgHeywoodHint), 1);
  EXPECT_NE(signif(stop), nullptr);  // the tests still run
  EXPECT_EQ(stop.table("FactorPattern"), nullptr);

  ProgramRun bounded;
  bounded.go(heywood +
             "proc factor data=h method=ml nfactors=1 heywood outstat=s; run;\n"
             "proc print data=s; run;");
  EXPECT_EQ(bounded.factor_step().exit_code, 0);
  EXPECT_EQ(bounded.count(kMsgHeywood), 0);
  ASSERT_NE(bounded.table("FactorPattern"), nullptr);
  // The WEIGHT row of OUTSTAT= holds a missing value for the variable whose
  // unique variance is 0, and 1/psi for the others.
  bool weight_row = false;
  for (const auto& o : bounded.objects) {
    const Table* t = o.table();
    if (!t || t->name == "FactorPattern") continue;
    for (const auto& row : t->rows) {
      if (row.size() < 5 || !std::holds_alternative<std::string>(row[1]) ||
          std::get<std::string>(row[1]) != "WEIGHT")
        continue;
      weight_row = true;
      EXPECT_TRUE(std::isnan(std::get<double>(row[3])));
      EXPECT_NEAR(std::get<double>(row[4]), 1 / (1 - 0.64), 1e-5);
    }
  }
  EXPECT_TRUE(weight_row);

  ProgramRun singular;
  singular.go(
      "data s(type=corr); input _type_ $ _name_ $ a b c; datalines;\n"
      "N . 50 50 50\nCORR a 1 .5 1\nCORR b .5 1 .5\nCORR c 1 .5 1\n;\n"
      "proc factor data=s method=ml; run;");
  EXPECT_EQ(singular.factor_step().exit_code, kRcSingular);
  EXPECT_EQ(singular.count(kMsgNrSingular), 1);
  EXPECT_EQ(singular.table("FactorPattern"), nullptr);

  ProgramRun unconverged;
  unconverged.go(reference_data() +
                 "proc factor data=ref.physical8(type=corr) method=uls nfactors=2 "
                 "converge=1e-12 maxiter=2; run;");
  EXPECT_EQ(unconverged.count(kMsgNrIterLimit), 1);
  const std::vector<double> status = unconverged.numbers("ConvergenceStatus");
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0], 3.0);
  EXPECT_EQ(unconverged.numbers("IterHistory").size(), 2u * (5 + 8));
  EXPECT_NE(unconverged.table("FactorPattern"), nullptr);
}

}  // namespace
}  // namespace kav::coretest
