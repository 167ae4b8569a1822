// The OUTSTAT= data set.  Whole steps: the rows each stage writes and their
// order, each matrix row by row as the step's tables show it, BY values in
// front.
#include "factor/output/factsta.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "factor/state/factds.h"
#include "factor/program_fixture.h"
#include "support/temp_folder.h"

namespace kav {
namespace {

using namespace progtest;
using Types = std::vector<std::string>;

// The _TYPE_ values of a data set, each run of equal values once.
Types runs(const CsvData& d, std::size_t at = 0) {
  Types t;
  for (const auto& row : d.cells)
    if (t.empty() || t.back() != row[at]) t.push_back(row[at]);
  return t;
}

using OutstatStep = testing_support::TempFolderTest;

TEST_F(OutstatStep, EachMatrixIsWrittenAsTheStepShowsIt) {
  const Outcome r = run("libname o '" + dir.string() +
                        "';\nproc factor data=ref.survey8 priors=smc nfactors=2 rotate=promax score"
                        " simple corr outstat=o.st; var item1-item8; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const CsvData d = read_csv(dir / "st.csv");
  EXPECT_EQ(d.names[0], "_TYPE_");
  EXPECT_EQ(d.names[1], "_NAME_");
  EXPECT_EQ(d.names[9], "item8");
  // No SUMWGT: weights equal counts.  The orthogonal varimax before promax
  // has its own block without correlations, then the oblique solution.
  EXPECT_EQ(runs(d), (Types{"MEAN", "STD", "N", "CORR", "COMMUNAL", "PRIORS", "EIGENVAL",
                            "UNROTATE", "PRETRANS", "PREROTAT", "PRESCORE", "TRANSFOR", "FCORR",
                            "PATTERN", "RCORR", "REFERENC", "STRUCTUR", "SCORE"}));
  EXPECT_EQ(runs(d, 1)[1], "item1");
  // Rows of variables x factors tables are the factors; factors x factors
  // rows end in missing values.
  const Mat simple = table(r, "SimpleStatistics");
  EXPECT_EQ(stat_rows(d, "MEAN"), (Mat{tr(simple)[0]}));
  EXPECT_EQ(stat_rows(d, "STD"), (Mat{tr(simple)[1]}));
  EXPECT_EQ(stat_rows(d, "CORR"), table(r, "Corr"));
  EXPECT_EQ(stat_rows(d, "UNROTATE"), tr(table(r, "FactorPattern")));
  EXPECT_EQ(stat_rows(d, "PATTERN"), tr(table(r, "ObliqueRotFactPat")));
  EXPECT_EQ(stat_rows(d, "STRUCTUR"), tr(table(r, "FactorStructure")));
  EXPECT_EQ(stat_rows(d, "PREROTAT"), tr(table(r, "OrthRotFactPat")));
  EXPECT_EQ(stat_rows(d, "PRESCORE"), tr(table(r, "StdScoreCoef", 1)));
  EXPECT_EQ(stat_rows(d, "SCORE"), tr(table(r, "StdScoreCoef", 2)));
  const Mat fcorr = stat_rows(d, "FCORR"), phi = table(r, "InterFactorCorr");
  ASSERT_EQ(fcorr.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_EQ((std::vector<double>(fcorr[k].begin(), fcorr[k].begin() + 2)), phi[k]);
    EXPECT_TRUE(std::isnan(fcorr[k][2]) && std::isnan(fcorr[k][7]));
  }
}

TEST_F(OutstatStep, ByValuesComeFirstInEveryRow) {
  const Outcome r = run("libname o '" + dir.string() +
                        "';\nproc factor data=ref.airquality nfactors=2 outstat=o.st;"
                        " var Ozone Solar_R Wind Temp; by Month; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const CsvData d = read_csv(dir / "st.csv");
  EXPECT_EQ(d.names[0], "Month");
  EXPECT_EQ(d.names[1], "_TYPE_");
  EXPECT_EQ(runs(d), (Types{"5", "6", "7", "8", "9"}));
  const std::size_t per_group = d.rows.size() / 5;
  for (std::size_t k = 0; k < d.rows.size(); ++k) {
    EXPECT_EQ(d.rows[k][0], 5.0 + static_cast<double>(k / per_group)) << k;
    EXPECT_EQ(d.cells[k][1], d.cells[k % per_group][1]) << k;
  }
}

}  // namespace
}  // namespace kav
