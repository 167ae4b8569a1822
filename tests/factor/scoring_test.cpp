// Scoring coefficients, OUT= scores and residual correlations of whole
// steps on raw data, against what the test computes from the data file
// itself: correlations of the complete observations, coefficients
// R^-1 S by the regression method, scores as standardised data times the
// coefficients, regression residuals on the partial variables, and the
// residual matrix R - L L'.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "factor/program_fixture.h"
#include "support/reference_eigen.h"
#include "support/temp_folder.h"

namespace {

using namespace kav::progtest;
using Names = std::vector<std::string>;
using kav::reference::correlations;

// The named columns of a data set read back from CSV.
Mat columns(const CsvData& d, const Names& names) {
  Mat out;
  for (const auto& row : d.rows) {
    std::vector<double> v;
    for (const std::string& n : names) v.push_back(row[static_cast<std::size_t>(d.column(n))]);
    out.push_back(v);
  }
  return out;
}

// The complete observations of a reference data file in the named columns,
// and per row of the file whether it is complete.
Mat complete(const std::string& file, const Names& names, std::vector<bool>* used = nullptr) {
  Mat x;
  for (const auto& row : columns(read_csv(fs::path(KAV_REFERENCE_DIR) / "data" / file), names)) {
    bool ok = true;
    for (double v : row) ok = ok && !std::isnan(v);
    if (used) used->push_back(ok);
    if (ok) x.push_back(row);
  }
  return x;
}

// Columns centred (unless already) and scaled by their standard deviations
// (divisor n - 1).
Mat standardise(const Mat& x, bool centre = true) {
  const std::size_t n = x.size();
  Mat z = x;
  for (std::size_t j = 0; j < x[0].size(); ++j) {
    double mean = 0, ss = 0;
    for (const auto& r : x) mean += centre ? r[j] / static_cast<double>(n) : 0;
    for (const auto& r : x) ss += (r[j] - mean) * (r[j] - mean);
    for (auto& r : z) r[j] = (r[j] - mean) / std::sqrt(ss / static_cast<double>(n - 1));
  }
  return z;
}

// A test with a CSV library `o` in a folder of its own.
struct Scoring : kav::testing_support::TempFolderTest {
  Outcome run(const std::string& body) const {
    return kav::progtest::run("libname o '" + dir.string() + "';\n" + body);
  }
  CsvData read(const std::string& member) const { return read_csv(dir / (member + ".csv")); }
};
using Residuals = Scoring;

const Names kItems = {"item1", "item2", "item3", "item4", "item5", "item6", "item7", "item8"};

TEST_F(Scoring, CoefficientsAndScoresFollowTheRegressionMethod) {
  const Mat x = complete("survey8.csv", kItems), z = standardise(x), rinv = inv(correlations(z));
  // Variable-factor correlations: the structure of an oblique solution, the
  // pattern otherwise.
  for (const auto& [rotate, corr_table] : {std::pair{"varimax", "OrthRotFactPat"},
                                           {"quartimin", "FactorStructure"},
                                           {"none", "FactorPattern"}}) {
    SCOPED_TRACE(rotate);
    Outcome r =
        run("proc factor data=ref.survey8 priors=smc nfactors=2 rotate=" + std::string(rotate) +
            " out=o.scores; var item1-item8; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    const Mat s = table(r, corr_table), b = mul(rinv, s);
    EXPECT_LT(maxdiff(table(r, "StdScoreCoef"), b), 1e-10);
    // Squared multiple correlations: the diagonal of S' R^-1 S.
    const Mat smc = mul(tr(s), b), shown = table(r, "VarFactorCorr");
    ASSERT_EQ(shown.size(), 2u);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(shown[j][0], smc[j][j], 1e-10);
    const CsvData out = read("scores");
    ASSERT_EQ(out.rows.size(), 500u);
    EXPECT_LT(maxdiff(columns(out, {"Factor1", "Factor2"}), mul(z, b)), 1e-9);
    EXPECT_EQ(maxdiff(columns(out, kItems), x), 0);  // the input comes along unchanged
  }
}

TEST_F(Scoring, ObservationsWithMissingValuesKeepTheirPlaceWithMissingScores) {
  Outcome r =
      run("proc factor data=ref.airquality nfactors=2 mineigen=0 out=o.air; "
          "var Ozone Solar_R Wind Temp; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  std::vector<bool> used;
  const Mat z =
      standardise(complete("airquality.csv", {"Ozone", "Solar.R", "Wind", "Temp"}, &used));
  const Mat expect = mul(z, mul(inv(correlations(z)), table(r, "FactorPattern")));
  const Mat got = columns(read("air"), {"Factor1", "Factor2"});
  ASSERT_EQ(got.size(), used.size()) << "every observation is written";
  std::size_t k = 0;
  for (std::size_t row = 0; row < got.size(); ++row) {
    if (used[row]) {
      EXPECT_LT(maxdiff({got[row]}, {expect[k++]}), 1e-9) << row;
    } else {
      EXPECT_TRUE(std::isnan(got[row][0]) && std::isnan(got[row][1])) << row;
    }
  }
  EXPECT_EQ(k, z.size());
}

// With partial variables the scores are those of the residuals on them,
// standardised, and the residuals themselves are written.
TEST_F(Scoring, PartialVariablesAreRegressedOutBeforeScoring) {
  Outcome r =
      run("proc factor data=ref.survey8 nfactors=2 out=o.part; var item1-item6; "
          "partial item7 item8; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Names vars(kItems.begin(), kItems.begin() + 6);
  const Mat y = complete("survey8.csv", vars);
  // Least squares of each variable on an intercept and the partial variables.
  Mat x;
  for (const auto& row : complete("survey8.csv", {"item7", "item8"}))
    x.push_back({1, row[0], row[1]});
  const Mat fit = mul(x, mul(inv(mul(tr(x), x)), mul(tr(x), y)));
  Mat e = y;
  for (std::size_t i = 0; i < e.size(); ++i)
    for (std::size_t j = 0; j < vars.size(); ++j) e[i][j] -= fit[i][j];
  const CsvData out = read("part");
  Names rnames;
  for (const auto& v : vars) rnames.push_back("R_" + v);
  EXPECT_LT(maxdiff(columns(out, rnames), e), 1e-9);
  // Scores: residuals scaled to unit standard deviation, times R^-1 L with
  // R the correlations of the residuals (the partial correlations).
  const Mat u = standardise(e, false), b = mul(inv(correlations(u)), table(r, "FactorPattern"));
  EXPECT_LT(maxdiff(table(r, "StdScoreCoef"), b), 1e-9);
  EXPECT_LT(maxdiff(columns(out, {"Factor1", "Factor2"}), mul(u, b)), 1e-8);
}

// An OUTSTAT= data set read back by later steps: its pattern scores and
// rotates as the original did, its scoring coefficients come back with
// scores of unit variance, and an oblique pattern keeps its correlations.
TEST(InputSolution, AnOutstatDataSetIsRotatedAndScoredAgain) {
  Outcome r = run(
      "proc factor data=ref.survey8 priors=smc nfactors=2 rotate=varimax score outstat=st;"
      " var item1-item8; run;\n"
      "proc factor data=st method=pattern rotate=none score; run;\n"
      "proc factor data=st method=score; run;\n"
      "proc factor data=st method=pattern rotate=quartimin; run;\n"
      "proc factor data=ref.survey8 priors=smc nfactors=2 rotate=quartimin; var item1-item8; run;\n"
      "proc factor data=ref.survey8 priors=smc nfactors=2 rotate=promax outstat=ob;"
      " var item1-item8; run;\n"
      "proc factor data=ob method=pattern; run;\n");
  for (int step = 0; step < 7; ++step) ASSERT_EQ(exit_code(r, step), 0) << step << r.log;
  const Mat w = table(r, "StdScoreCoef", 1);
  EXPECT_LT(maxdiff(table(r, "StdScoreCoef", 2), w), 1e-12) << "scored again from the pattern";
  // Scoring coefficients standardised to scores of unit variance.
  const Mat v = mul(mul(tr(w), correlations(standardise(complete("survey8.csv", kItems)))), w);
  Mat unit = w;
  for (auto& row : unit)
    for (std::size_t j = 0; j < 2; ++j) row[j] /= std::sqrt(v[j][j]);
  EXPECT_LT(maxdiff(table(r, "InputScoreCoef"), unit), 1e-10);
  // Quartimin of the read varimax pattern is quartimin of the extraction,
  // up to the order of the factors.
  const Mat again = table(r, "ObliqueRotFactPat", 1), direct = table(r, "ObliqueRotFactPat", 2);
  for (std::size_t j = 0; j < 2; ++j) {
    double best = INFINITY;
    for (std::size_t k = 0; k < 2; ++k) {
      double d = 0;
      for (std::size_t i = 0; i < 8; ++i) d = std::max(d, std::fabs(again[i][j] - direct[i][k]));
      best = std::min(best, d);
    }
    EXPECT_LT(best, 1e-6);
  }
  // The promax pattern and its correlations read back give its structure.
  for (const char* name : {"InterFactorCorr", "FactorStructure"})
    EXPECT_LT(maxdiff(table(r, name, -1), table(r, name, 3)), 1e-12) << name;
  EXPECT_LT(maxdiff(table(r, "InputFactorPattern", -1), table(r, "ObliqueRotFactPat", 3)), 1e-12);
}

TEST(InputSolution, MissingRowsAreReportedAndMissingLoadingsReadAsZeros) {
  // A correlation data set has no factor rows.
  Outcome none = run("proc factor data=ref.physical8(type=corr) method=pattern; run;");
  EXPECT_EQ(exit_code(none), 108);
  EXPECT_TRUE(has_message(none, 31));
  const std::string head =
      "data f(type=factor);\n  length _type_ $ 8 _name_ $ 8;\n  input _type_ $ _name_ $ a b c;\n"
      "  datalines;\n";
  // Fewer FCORR rows than factors.
  Outcome few = run(head +
                    "PATTERN F1 0.8 0.7 0.1\nPATTERN F2 0.1 0.2 0.9\nFCORR F1 1 0.3 .\n;\n"
                    "proc factor data=f method=pattern; run;");
  EXPECT_EQ(exit_code(few, 1), 108) << few.log;
  EXPECT_TRUE(has_message(few, 32));
  // FACTOR rows count as PATTERN rows.
  Outcome zero = run(head +
                     "FACTOR Verbal 0.8 . 0.1\nPATTERN Spatial 0.1 0.2 0.9\n;\n"
                     "proc factor data=f method=pattern; run;");
  ASSERT_EQ(exit_code(zero, 1), 0) << zero.log;
  EXPECT_EQ(table(zero, "InputFactorPattern"), (Mat{{0.8, 0.1}, {0, 0.2}, {0.1, 0.9}}));
}

// OUT= that cannot be created stops the step with the reason, before any
// table of the analysis, and the other output data set is not left behind.
TEST_F(Scoring, AnOutDataSetThatCannotBeWrittenStopsTheStepCleanly) {
  Outcome r =
      run("proc factor data=ref.survey8 nfactors=2 outstat=o.st "
          "out='/nonexistent-kav-folder/sub/scores.csv'; var item1-item8; run;");
  EXPECT_GE(exit_code(r), 1000);
  EXPECT_NE(r.log.find("/nonexistent-kav-folder/sub/scores.csv"), std::string::npos) << r.log;
  EXPECT_FALSE(fs::exists(dir / "st.csv"));
  EXPECT_FALSE(fs::exists("/nonexistent-kav-folder"));
  for (const json& o : r.results["steps"].back().value("outputs", json::array()))
    EXPECT_NE(o.value("type", ""), "table") << o.value("name", "");
}

TEST_F(Residuals, ResidualsArePartialledByTheFactors) {
  Outcome r =
      run("proc factor data=ref.survey8 priors=smc nfactors=2 residuals outstat=o.st; "
          "var item1-item8; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat l = table(r, "FactorPattern"), ll = mul(l, tr(l));
  Mat res = correlations(standardise(complete("survey8.csv", kItems)));
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t j = 0; j < 8; ++j) res[i][j] -= ll[i][j];
  EXPECT_LT(maxdiff(table(r, "ResCorrUniqueDiag"), res), 1e-10);
  // The root mean square of each variable's off-diagonal residuals, and the
  // partial correlations controlling the factors: the residuals scaled by
  // the uniquenesses.
  const Mat rms = table(r, "RMSOffDiagResids");
  Mat partial = res;
  for (std::size_t i = 0; i < 8; ++i) {
    double s = 0;
    for (std::size_t j = 0; j < 8; ++j) {
      s += j != i ? res[i][j] * res[i][j] : 0;
      partial[i][j] = res[i][j] / std::sqrt(res[i][i] * res[j][j]);
    }
    EXPECT_NEAR(rms[i][0], std::sqrt(s / 7), 1e-10);
  }
  EXPECT_LT(maxdiff(table(r, "ParCorrControlFactor"), partial), 1e-10);
  // The RESIDUAL rows of OUTSTAT=, one per variable.
  EXPECT_LT(maxdiff(stat_rows(read("st"), "RESIDUAL"), res), 1e-12);
}

}  // namespace
