// Scoring coefficients, OUT= scores and residual correlations of whole
// steps on raw data, against what the test computes from the data file
// itself: correlations of the complete observations, coefficients
// R^-1 S by the regression method, scores as standardised data times the
// coefficients, regression residuals on the partial variables, and the
// residual matrix R - L L'.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace {

using namespace kav::progtest;

// The complete observations of the reference data file, in the named columns.
struct Data {
  Mat x;                   // complete observations only
  std::vector<bool> used;  // per row of the file: complete or not
};
Data load(const std::string& file, const std::vector<std::string>& columns) {
  CsvData c = read_csv(fs::path(KAV_REFERENCE_DIR) / "data" / file);
  Data d;
  std::vector<int> at;
  for (const std::string& name : columns) at.push_back(c.column(name));
  for (const auto& row : c.rows) {
    std::vector<double> v;
    bool ok = true;
    for (int k : at) {
      const double x = row[static_cast<std::size_t>(k)];
      ok = ok && !std::isnan(x);
      v.push_back(x);
    }
    d.used.push_back(ok);
    if (ok) d.x.push_back(v);
  }
  return d;
}

// Columns centred and scaled by their standard deviations (divisor n - 1).
Mat standardise(const Mat& x) {
  const std::size_t n = x.size(), p = x[0].size();
  Mat z = x;
  for (std::size_t j = 0; j < p; ++j) {
    double mean = 0, ss = 0;
    for (const auto& r : x) mean += r[j];
    mean /= static_cast<double>(n);
    for (const auto& r : x) ss += (r[j] - mean) * (r[j] - mean);
    const double sd = std::sqrt(ss / static_cast<double>(n - 1));
    for (auto& r : z) r[j] = (r[j] - mean) / sd;
  }
  return z;
}

Mat correlation(const Mat& z) {
  Mat r = mul(tr(z), z);
  const double n1 = static_cast<double>(z.size() - 1);
  for (auto& row : r)
    for (double& v : row) v /= n1;
  return r;
}

// The OUT= columns of a CSV library data set.
Mat columns(const CsvData& d, const std::vector<std::string>& names) {
  Mat out;
  for (const auto& row : d.rows) {
    std::vector<double> v;
    for (const std::string& n : names) v.push_back(row[static_cast<std::size_t>(d.column(n))]);
    out.push_back(v);
  }
  return out;
}

struct Library {
  fs::path dir = fs::temp_directory_path() / ("kav_score_" + std::to_string(::getpid()));
  Library() {
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Library() { fs::remove_all(dir); }
  std::string statement() const { return "libname o '" + dir.string() + "';\n"; }
};

const std::vector<std::string> kItems = {"item1", "item2", "item3", "item4",
                                         "item5", "item6", "item7", "item8"};

TEST(Scoring, CoefficientsAndScoresFollowTheRegressionMethod) {
  Library lib;
  for (const char* rotate : {"rotate=varimax", "rotate=quartimin", "rotate=none"}) {
    SCOPED_TRACE(rotate);
    Outcome r = run(lib.statement() + "proc factor data=ref.survey8 priors=smc nfactors=2 " +
                    rotate + " out=o.scores; var item1-item8; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    const Data d = load("survey8.csv", kItems);
    const Mat z = standardise(d.x);
    const Mat rinv = inv(correlation(z));
    // Variable-factor correlations: the structure of an oblique solution,
    // the pattern otherwise.
    const bool oblique = std::string(rotate) == "rotate=quartimin";
    const Mat s = oblique ? table(r, "FactorStructure")
                          : table(r, std::string(rotate) == "rotate=none" ? "FactorPattern"
                                                                          : "OrthRotFactPat");
    const Mat b = mul(rinv, s);
    EXPECT_LT(maxdiff(table(r, "StdScoreCoef"), b), 1e-10);
    // Squared multiple correlations: the diagonal of S' R^-1 S.
    const Mat smc = mul(tr(s), b);
    const Mat shown = table(r, "VarFactorCorr");
    ASSERT_EQ(shown.size(), 2u);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(shown[j][0], smc[j][j], 1e-10);

    const CsvData out = read_csv(lib.dir / "scores.csv");
    ASSERT_EQ(out.rows.size(), 500u);
    EXPECT_LT(maxdiff(columns(out, {"Factor1", "Factor2"}), mul(z, b)), 1e-9);
    // The input comes along unchanged.
    EXPECT_EQ(maxdiff(columns(out, kItems), d.x), 0);
  }
}

TEST(Scoring, ObservationsWithMissingValuesKeepTheirPlaceWithMissingScores) {
  Library lib;
  Outcome r = run(lib.statement() +
                  "proc factor data=ref.airquality nfactors=2 mineigen=0 out=o.air; "
                  "var Ozone Solar_R Wind Temp; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Data d = load("airquality.csv", {"Ozone", "Solar.R", "Wind", "Temp"});
  const CsvData out = read_csv(lib.dir / "air.csv");
  ASSERT_EQ(out.rows.size(), d.used.size()) << "every observation is written";
  const Mat b = mul(inv(correlation(standardise(d.x))), table(r, "FactorPattern"));
  const Mat expect = mul(standardise(d.x), b);
  const Mat got = columns(out, {"Factor1", "Factor2"});
  std::size_t k = 0;
  for (std::size_t row = 0; row < got.size(); ++row) {
    if (!d.used[row]) {
      EXPECT_TRUE(std::isnan(got[row][0]) && std::isnan(got[row][1])) << "row " << row;
      continue;
    }
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(got[row][j], expect[k][j], 1e-9);
    ++k;
  }
  EXPECT_EQ(k, d.x.size());
}

// With partial variables the scores are those of the residuals on them,
// standardised, and the residuals themselves are written.
TEST(Scoring, PartialVariablesAreRegressedOutBeforeScoring) {
  Library lib;
  Outcome r = run(lib.statement() +
                  "proc factor data=ref.survey8 nfactors=2 out=o.part; var item1-item6; "
                  "partial item7 item8; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const std::vector<std::string> vars = {"item1", "item2", "item3", "item4", "item5", "item6"};
  const Data y = load("survey8.csv", vars);
  const Data xp = load("survey8.csv", {"item7", "item8"});
  // Least squares of each variable on an intercept and the partial variables.
  Mat x;
  for (const auto& row : xp.x) x.push_back({1.0, row[0], row[1]});
  const Mat coef = mul(inv(mul(tr(x), x)), mul(tr(x), y.x));
  Mat e = y.x;
  const Mat fit = mul(x, coef);
  for (std::size_t i = 0; i < e.size(); ++i)
    for (std::size_t j = 0; j < vars.size(); ++j) e[i][j] -= fit[i][j];
  const CsvData out = read_csv(lib.dir / "part.csv");
  std::vector<std::string> rnames;
  for (const auto& v : vars) rnames.push_back("R_" + v);
  EXPECT_LT(maxdiff(columns(out, rnames), e), 1e-9);
  // Scores: residuals scaled to unit standard deviation, times R^-1 L with
  // R the correlations of the residuals (the partial correlations).
  Mat u = e;
  for (std::size_t j = 0; j < vars.size(); ++j) {
    double ss = 0;
    for (const auto& row : e) ss += row[j] * row[j];
    const double sd = std::sqrt(ss / static_cast<double>(e.size() - 1));
    for (auto& row : u) row[j] /= sd;
  }
  const Mat b = mul(inv(correlation(u)), table(r, "FactorPattern"));
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
  const Mat rho = correlation(standardise(load("survey8.csv", kItems).x));
  const Mat v = mul(mul(tr(w), rho), w);
  Mat unit = w;
  for (auto& row : unit)
    for (std::size_t j = 0; j < 2; ++j) row[j] /= std::sqrt(v[j][j]);
  EXPECT_LT(maxdiff(table(r, "InputScoreCoef"), unit), 1e-10);
  // Quartimin of the read varimax pattern is quartimin of the extraction.
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
  EXPECT_LT(maxdiff(table(r, "InputFactorPattern", -1), table(r, "ObliqueRotFactPat", 3)), 1e-12);
  EXPECT_LT(maxdiff(table(r, "InterFactorCorr", -1), table(r, "InterFactorCorr", 3)), 1e-12);
  EXPECT_LT(maxdiff(table(r, "FactorStructure", -1), table(r, "FactorStructure", 3)), 1e-12);
}

TEST(InputSolution, MissingRowsAreReported) {
  // A correlation data set has no factor rows.
  Outcome none = run("proc factor data=ref.physical8(type=corr) method=pattern; run;");
  EXPECT_EQ(exit_code(none), 108);
  EXPECT_TRUE(has_message(none, 31));
  // Fewer FCORR rows than factors.
  Outcome few = run(
      "data f(type=factor);\n  length _type_ $ 8 _name_ $ 8;\n  input _type_ $ _name_ $ a b c;\n"
      "  datalines;\nPATTERN F1 0.8 0.7 0.1\nPATTERN F2 0.1 0.2 0.9\nFCORR F1 1 0.3 .\n;\n"
      "proc factor data=f method=pattern; run;");
  EXPECT_EQ(exit_code(few, 1), 108) << few.log;
  EXPECT_TRUE(has_message(few, 32));
  // Missing loadings read as zeros; FACTOR rows count as PATTERN rows.
  Outcome zero = run(
      "data f(type=factor);\n  length _type_ $ 8 _name_ $ 8;\n  input _type_ $ _name_ $ a b c;\n"
      "  datalines;\nFACTOR Verbal 0.8 . 0.1\nPATTERN Spatial 0.1 0.2 0.9\n;\n"
      "proc factor data=f method=pattern; run;");
  ASSERT_EQ(exit_code(zero, 1), 0) << zero.log;
  EXPECT_EQ(table(zero, "InputFactorPattern"), (Mat{{0.8, 0.1}, {0, 0.2}, {0.1, 0.9}}));
}

// OUT= that cannot be created stops the step with the reason, and the
// step's other output data set is not left behind half written.
TEST(Scoring, AnOutDataSetThatCannotBeWrittenStopsTheStepCleanly) {
  Library lib;
  Outcome r = run(lib.statement() +
                  "proc factor data=ref.survey8 nfactors=2 outstat=o.st "
                  "out='/nonexistent-kav-folder/sub/scores.csv'; var item1-item8; run;");
  EXPECT_GE(exit_code(r), 1000);
  EXPECT_NE(r.log.find("/nonexistent-kav-folder/sub/scores.csv"), std::string::npos) << r.log;
  EXPECT_FALSE(fs::exists(lib.dir / "st.csv"));
  EXPECT_FALSE(fs::exists("/nonexistent-kav-folder"));
  // Found when the statement is read: no table of the analysis was printed.
  const json& steps = r.results["steps"];
  ASSERT_FALSE(steps.empty());
  for (const json& o : steps.back().value("outputs", json::array()))
    EXPECT_NE(o.value("type", ""), "table") << o.value("name", "");
}

TEST(Residuals, ResidualsArePartialledByTheFactors) {
  Library lib;
  Outcome r = run(lib.statement() +
                  "proc factor data=ref.survey8 priors=smc nfactors=2 residuals outstat=o.st; "
                  "var item1-item8; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat rho = correlation(standardise(load("survey8.csv", kItems).x));
  const Mat l = table(r, "FactorPattern");
  Mat res = rho;
  const Mat ll = mul(l, tr(l));
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t j = 0; j < 8; ++j) res[i][j] -= ll[i][j];
  EXPECT_LT(maxdiff(table(r, "ResCorrUniqueDiag"), res), 1e-10);
  const Mat rms = table(r, "RMSOffDiagResids");
  for (std::size_t i = 0; i < 8; ++i) {
    double s = 0;
    for (std::size_t j = 0; j < 8; ++j)
      if (j != i) s += res[i][j] * res[i][j];
    EXPECT_NEAR(rms[i][0], std::sqrt(s / 7), 1e-10);
  }
  // Partial correlations controlling the factors: the residuals scaled by
  // the uniquenesses, which are the diagonal of the inverse's own scale.
  Mat partial = res;
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t j = 0; j < 8; ++j) partial[i][j] = res[i][j] / std::sqrt(res[i][i] * res[j][j]);
  EXPECT_LT(maxdiff(table(r, "ParCorrControlFactor"), partial), 1e-10);
  // The RESIDUAL rows of OUTSTAT=, one per variable.
  const Mat stored = stat_rows(read_csv(lib.dir / "st.csv"), "RESIDUAL");
  EXPECT_LT(maxdiff(stored, res), 1e-12);
}

}  // namespace
