// Correlation diagnostics and prior communalities: the inverse and what is
// derived from it, checked against an independent long-double inverse and
// the reference values of the 24 psychological tests and the 8 physical
// measurements; every prior type with its fall-backs and messages; the
// variable weights of each method.
#include "factor/factcd.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"
#include "factor/factor.h"

namespace kav::coretest {
namespace {

class FactcdTest : public CoreTest {};

Mat tests24() {
  return read_matrix("tests24.csv", "CORR");
}
Mat physical8() {
  return read_matrix("physical8.csv", "CORR");
}

TEST_F(FactcdTest, SmcPriorsComeFromTheInverseWhichIsSavedAndTheMatrixRestored) {
  const Mat r = tests24();
  const Mat inv = inverse(r);
  load(r, 1, kPriSmc);
  const Vec original = cor;
  factcd(com);
  const int n = com->nvar;
  ASSERT_EQ(n, 24);
  const double reference[] = {0.510748007518632, 0.29956676556787,  0.440462797053647,
                              0.409177455193405, 0.672621027877021, 0.676551911871111,
                              0.684049283646831, 0.56378987397786};
  for (int j = 0; j < 8; ++j) EXPECT_NEAR(priors[j], reference[j], 1e-10) << j;
  for (int j = 0; j < n; ++j) {
    EXPECT_NEAR(priors[j], static_cast<double>(1 - 1 / inv[j][j]), 1e-12) << j;
    EXPECT_EQ(communal[j], priors[j]);
    EXPECT_EQ(at(j, j), priors[j]);
    for (int i = 0; i < j; ++i) EXPECT_EQ(at(j, i), original[pk(j, i)]);
  }
  EXPECT_EQ(com->rc, 0);
  // The inverse is in the scratch file for the later stages.
  ASSERT_GT(com->notei, com->notec);
  Vec saved(cor.size());
  ASSERT_EQ(com->utid->xcpoint(com->notei), 0);
  ASSERT_EQ(com->utid->xcread(saved.data(), saved.size() * sizeof(double)), 0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j)
      EXPECT_NEAR(saved[pk(i, j)], static_cast<double>(inv[i][j]), 1e-10);
  for (double w : wt) EXPECT_EQ(w, 1.0);
}

TEST_F(FactcdTest, SamplingAdequacyMatchesIndependentPartialCorrelationsAndTheReference) {
  const Mat r = tests24();
  const Mat c = inverse(r);
  load(r, 1, kPriOne);
  fopt_set(com, kFoptMsa);
  factcd(com);
  const int n = com->nvar;
  long double s_all = 0, q_all = 0;
  for (int i = 0; i < n; ++i) {
    long double s = 0, q = 0;
    for (int j = 0; j < n; ++j) {
      if (j == i) continue;
      const long double p = -c[i][j] / std::sqrt(c[i][i] * c[j][j]);
      s += r[i][j] * r[i][j];
      q += p * p;
    }
    s_all += s;
    q_all += q;
    EXPECT_NEAR(datax[2 * n + i], static_cast<double>(s / (s + q)), 1e-12) << i;
  }
  EXPECT_NEAR(datax[3 * n], static_cast<double>(s_all / (s_all + q_all)), 1e-12);
  EXPECT_NEAR(datax[3 * n], 0.881333502410017, 1e-10);
  EXPECT_NEAR(datax[2 * n], 0.8978013334893, 1e-10);
  EXPECT_NEAR(datax[2 * n + 1], 0.842612207099745, 1e-10);
  // PRIORS=ONE overwrites the inverse's diagonal, and the correlations are back.
  for (int j = 0; j < n; ++j) {
    EXPECT_EQ(communal[j], 1.0);
    EXPECT_EQ(priors[j], 1.0);
  }
  EXPECT_NEAR(at(1, 0), static_cast<double>(r[1][0]), 0);
  EXPECT_GT(com->notei, 0);
}

TEST_F(FactcdTest, UncorrelatedVariablesHaveZeroAdequacyNotAnUndefinedOne) {
  load(Vec{1, 0, 1, 0, 0, 1}, 1, kPriOne);
  fopt_set(com, kFoptMsa);
  datax[9] = -1;
  factcd(com);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(datax[6 + i], 0.0);
  EXPECT_EQ(datax[9], 0.0);

  // One variable apart from two correlated ones: its adequacy is 0 while the
  // overall value comes from the others (which, with two variables, is 0.5).
  load(Vec{1, 0.6, 1, 0, 0, 1}, 1, kPriOne);
  fopt_set(com, kFoptMsa);
  factcd(com);
  EXPECT_NEAR(datax[6], 0.5, 1e-15);
  EXPECT_NEAR(datax[7], 0.5, 1e-15);
  EXPECT_EQ(datax[8], 0.0);
  EXPECT_NEAR(datax[9], 0.5, 1e-15);
}

TEST_F(FactcdTest, ASingularMatrixFallsBackWithStatus112AndNoAdequacy) {
  // Variables 1 and 2 are identical.
  const Vec r = {1, 1, 1, 0.5, 0.5, 1};
  load(r, 1, kPriSmc);
  fopt_set(com, kFoptMsa);
  datax[9] = -7;
  factcd(com);
  EXPECT_EQ(com->rc, kRcSingular);
  EXPECT_TRUE(logged(kMsgSingular));
  EXPECT_TRUE(logged(kMsgSmcSubstitute));
  EXPECT_NE(text_of(kMsgSmcSubstitute).find("1.0."), std::string::npos);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(priors[j], 1.0);
  EXPECT_EQ(at(1, 0), 1.0);
  EXPECT_EQ(at(2, 1), 0.5);
  EXPECT_EQ(com->notei, 0);
  EXPECT_EQ(datax[9], -7);  // no sampling adequacy

  // ASMC falls back to the largest absolute correlations and says so.
  load(Vec{1, 1, 1, -0.7, 0.5, 1}, 1, kPriAsmc);
  com->rc = 0;
  factcd(com);
  EXPECT_EQ(com->rc, kRcSingular);
  EXPECT_EQ(priors[0], 1.0);
  EXPECT_EQ(priors[1], 1.0);
  EXPECT_EQ(priors[2], 0.7);
  EXPECT_EQ(count(kFactorGroup, kMsgSmcSubstitute), 2);
  const std::string max_text = format_message(kFactorGroup, kMsgMaxSubstitute, {});
  bool named = false;
  for (const auto& e : session.log.entries())
    if (e.number == kMsgSmcSubstitute && e.text.find(max_text) != std::string::npos) named = true;
  EXPECT_TRUE(named);
}

TEST_F(FactcdTest, MaxAndAsmcPriorsMatchTheReference) {
  load(tests24(), 1, kPriMax);
  factcd(com);
  const double max_ref[] = {0.489, 0.348, 0.403, 0.468, 0.723, 0.722, 0.722, 0.619, 0.723};
  for (int j = 0; j < 9; ++j) EXPECT_NEAR(priors[j], max_ref[j], 1e-12) << j;
  EXPECT_EQ(com->notei, 0);  // MAX needs no inverse

  const Mat r = physical8();
  load(r, 1, kPriAsmc);
  factcd(com);
  const double asmc_ref[] = {0.919609415986195, 0.956917439436044, 0.902007343515772,
                             0.888327541681168, 0.843703714825174, 0.680691411857293,
                             0.633417281108489};
  for (int j = 0; j < 7; ++j) EXPECT_NEAR(priors[j], asmc_ref[j], 1e-10) << j;
  long double max_sum = 0, asmc_sum = 0;
  for (int j = 0; j < 8; ++j) {
    long double m = 0;
    for (int i = 0; i < 8; ++i)
      if (i != j) m = std::max(m, std::fabs(r[j][i]));
    max_sum += m;
    asmc_sum += priors[j];
  }
  EXPECT_NEAR(static_cast<double>(asmc_sum), static_cast<double>(max_sum), 1e-12);
}

TEST_F(FactcdTest, AVariableWithoutDeviationGetsPriorZeroWhateverTheMethod) {
  for (int type : {kPriOne, kPriMax, kPriSmc, kPriRandom}) {
    load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, type);
    com->seed = 5;
    vstd[1] = 0;
    factcd(com);
    EXPECT_EQ(priors[1], 0.0) << type;
    EXPECT_EQ(communal[1], 0.0) << type;
    EXPECT_EQ(at(1, 1), 0.0) << type;
    EXPECT_GT(priors[0], 0.0) << type;
  }
}

TEST_F(FactcdTest, RandomPriorsComeFromTheSeededGeneratorAndAreAnnounced) {
  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriRandom);
  com->seed = 12345;
  factcd(com);
  EXPECT_TRUE(logged(kMsgRandomSeed));
  EXPECT_NE(text_of(kMsgRandomSeed).find("12345"), std::string::npos);
  const Vec first = priors;
  for (double p : first) {
    EXPECT_GT(p, 0.0);
    EXPECT_LT(p, 1.0);
  }
  EXPECT_NE(first[0], first[1]);
  EXPECT_NE(com->seed, 12345);  // the state moved on
  for (int j = 0; j < 3; ++j) EXPECT_EQ(at(j, j), first[static_cast<std::size_t>(j)]);

  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriRandom);
  com->seed = 12345;
  factcd(com);
  EXPECT_EQ(priors, first);
  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriRandom);
  com->seed = 12346;
  factcd(com);
  EXPECT_NE(priors, first);

  // Without a seed the clock gives one, and the message names it.
  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriRandom);
  com->seed = 0;
  factcd(com);
  EXPECT_GT(com->seed, 0);
  EXPECT_EQ(count(kFactorGroup, kMsgRandomSeed), 4);
}

TEST_F(FactcdTest, AListOfPriorsIsKeptAndNoPriorTypeTouchesNothing) {
  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriList);
  priors = {0.3, 0.6, 0.9};
  factcd(com);
  EXPECT_EQ(priors, (Vec{0.3, 0.6, 0.9}));
  EXPECT_EQ(at(2, 2), 0.9);
  EXPECT_EQ(communal, priors);

  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 10, kPriNone);
  priors = {7, 7, 7};
  communal = {8, 8, 8};
  wt = {9, 9, 9};
  factcd(com);
  EXPECT_EQ(priors, (Vec{7, 7, 7}));
  EXPECT_EQ(communal, (Vec{8, 8, 8}));
  EXPECT_EQ(wt, (Vec{9, 9, 9}));
  EXPECT_EQ(at(1, 1), 1.0);
}

TEST_F(FactcdTest, EachMethodGetsItsVariableWeights) {
  const Vec r = {1, 0.4, 1, 0.3, 0.2, 1};
  load(r, kFmAlpha, kPriList);
  priors = {0.0, 0.5, 0.25};
  factcd(com);
  EXPECT_EQ(wt, (Vec{0.0, 2.0, 4.0}));

  for (int method : {kFmMl, kFmGls, kFmHarris}) {
    load(r, method, kPriList);
    priors = {0.9995, 0.5, 1.2};
    factcd(com);
    EXPECT_NEAR(wt[0], 1000.0, 1e-9) << method;
    EXPECT_NEAR(wt[1], 2.0, 1e-15) << method;
    EXPECT_NEAR(wt[2], 1000.0, 1e-9) << method;
  }

  load(r, kFmPrincipal, kPriOne);
  fopt_set(com, kFoptCov);
  vstd = {2, 3, 0.5};
  factcd(com);
  EXPECT_EQ(wt, (Vec{4, 9, 0.25}));
  fopt_clear(com, kFoptCov);

  load(r, kFmPrinit, kPriOne);
  wt = {5, 5, 5};
  factcd(com);
  EXPECT_EQ(wt, (Vec{1, 1, 1}));
}

TEST_F(FactcdTest, MissingPriorsOrWeightRowsRaise108AndFallBack) {
  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriInput);
  factcd(com);
  EXPECT_EQ(com->rc, kRcByGroup);
  EXPECT_TRUE(logged(kMsgNoPriorsRow));
  EXPECT_EQ(com->priortyp, kPriOne);
  EXPECT_EQ(priors, (Vec{1, 1, 1}));

  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriOne);
  com->rc = 0;
  fopt_set(com, kFoptWeight);
  wt = {3, 4, 5};
  factcd(com);
  EXPECT_EQ(com->rc, kRcByGroup);
  EXPECT_TRUE(logged(kMsgNoWeightRow));
  EXPECT_EQ(wt, (Vec{3, 4, 5}));
}

TEST_F(FactcdTest, AScratchFileFailureEndsTheStepWith1020) {
  load(Vec{1, 0.4, 1, 0.3, 0.2, 1}, 1, kPriSmc);
  com->utid->xcclose(0);
  EXPECT_EQ(exit_code(factcd), kExitUtility);
  EXPECT_EQ(com->rc, kExitUtility);
}

}  // namespace
}  // namespace kav::coretest

namespace kav::coretest {
namespace {

// Whole steps: priors and weights read from the input data set, and a
// singular matrix as the user meets it.

TEST(FactcdProgram, InputPriorsComeFromACommunalityRowWithMissingValuesAsZero) {
  ProgramRun r;
  r.go(corr4("c", "COMMUNALITY . 0.5 . 0.3 0.2\n") +
       "proc factor data=c priors=input nfactors=1; run;");
  EXPECT_EQ(r.factor_step().exit_code, 0);
  EXPECT_EQ(r.numbers("PriorCommunalEst"), (Vec{0.5, 0, 0.3, 0.2}));
  EXPECT_EQ(r.count(kMsgNoPriorsRow), 0);
}

TEST(FactcdProgram, WeightsAreReadFromTheWeightRow) {
  ProgramRun r;
  r.go(corr4("c", "WEIGHT . 2 3 4 5\n") + "proc factor data=c weight nfactors=1; run;");
  EXPECT_EQ(r.factor_step().exit_code, 0);
  const Vec cells = r.numbers("FinalCommunWgt");  // communality, weight per variable
  ASSERT_EQ(cells.size(), 8u);
  EXPECT_EQ((Vec{cells[1], cells[3], cells[5], cells[7]}), (Vec{2, 3, 4, 5}));
}

TEST(FactcdProgram, ASingularMatrixEndsTheStepWith112WithoutSamplingAdequacy) {
  ProgramRun r;
  r.go(
      "data d; input x1 x2 x3;\ndatalines;\n1 1 2\n2 2 1\n3 3 5\n4 4 3\n5 5 4\n6 6 7\n;\n"
      "proc factor data=d priors=smc msa nfactors=1; run;");
  EXPECT_EQ(r.factor_step().exit_code, kRcSingular);
  EXPECT_EQ(r.count(kMsgSingular), 1);
  EXPECT_EQ(r.count(kMsgSmcSubstitute), 1);
  EXPECT_EQ(r.table("SamplingAdequacy"), nullptr);
  EXPECT_EQ(r.table("ParCorrControlVar"), nullptr);
  EXPECT_EQ(r.numbers("PriorCommunalEst"), (Vec{1, 1, 1}));
  EXPECT_NE(r.table("FactorPattern"), nullptr);  // the analysis goes on
}

}  // namespace
}  // namespace kav::coretest

namespace kav::coretest {
namespace {

TEST(FactcdProgram, PartialCorrelationsAndTheInverseAreShownAsComputedIndependently) {
  ProgramRun r;
  // ALL also asks for stages after extraction; only the diagnostics matter here.
  r.go(corr4("c") + "proc factor data=c priors=smc msa all nfactors=1; run;");
  const Mat R = {
      {1, 0.6, 0.5, 0.4}, {0.6, 1, 0.45, 0.35}, {0.5, 0.45, 1, 0.3}, {0.4, 0.35, 0.3, 1}};
  const Mat C = inverse(R);
  const Vec inv = r.numbers("InvCorr");
  const Vec partial = r.numbers("ParCorrControlVar");
  ASSERT_EQ(inv.size(), 16u);
  ASSERT_EQ(partial.size(), 16u);
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_NEAR(inv[i * 4 + j], static_cast<double>(C[i][j]), 1e-12);
      const long double p = i == j ? 1 : -C[i][j] / std::sqrt(C[i][i] * C[j][j]);
      EXPECT_NEAR(partial[i * 4 + j], static_cast<double>(p), 1e-12);
    }
  }
  const Table* msa = r.table("SamplingAdequacy");
  ASSERT_NE(msa, nullptr);
  bool overall = false;
  for (const auto& d : msa->dynamics) overall = overall || d.name == "_OverallMSA";
  EXPECT_TRUE(overall);
}

TEST(FactcdProgram, ASingularMatrixShowsItsPartialInverseWithAZeroRow) {
  ProgramRun r;
  r.go(
      "data d; input x1 x2 x3;\ndatalines;\n1 1 2\n2 2 1\n3 3 5\n4 4 3\n5 5 4\n6 6 7\n;\n"
      "proc factor data=d priors=smc all nfactors=1; run;");
  const Vec inv = r.numbers("InvCorr");
  ASSERT_EQ(inv.size(), 9u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(inv[3 + k], 0.0);  // row of the dependent variable
    EXPECT_EQ(inv[k * 3 + 1], 0.0);
  }
  EXPECT_GT(inv[0], 0.0);
}

TEST(FactcdProgram, PriorsOfOneAreANoteNotATable) {
  ProgramRun r;
  r.go(corr4("c") + "proc factor data=c; run;");
  EXPECT_EQ(r.table("PriorCommunalEst"), nullptr);
  EXPECT_TRUE(r.note_with(kMsgPriorsTitle));
  // The note names the value, or it would be a title over nothing.
  bool says_one = false;
  for (const auto& o : r.objects)
    if (o.note())
      for (const auto& line : o.note()->lines)
        says_one = says_one || line == format_message(kFactorGroup, kMsgPriorsTitle, {}) + ": ONE";
  EXPECT_TRUE(says_one);
}

}  // namespace
}  // namespace kav::coretest

namespace kav::coretest {
namespace {

TEST(FactcdProgram, NfactorsMinusOneGivesTheDiagnosticsAlone) {
  ProgramRun r;
  r.go(corr4("c") + "proc factor data=c msa nfactors=-1; run;");
  EXPECT_EQ(r.factor_step().exit_code, 0);
  EXPECT_NE(r.table("SamplingAdequacy"), nullptr);
  EXPECT_EQ(r.table("Eigenvalues"), nullptr);
  EXPECT_EQ(r.table("FactorPattern"), nullptr);
}

}  // namespace
}  // namespace kav::coretest
