// The correlation stage of a BY group, run as whole steps with NFACTORS=-1
// (the group stops after its correlations): partial variables against
// regression residuals computed here, the count of removed partial
// variables, and the warnings on observation counts and zero variances.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "factor/program_fixture.h"
#include "support/temp_folder.h"

namespace kav::progtest {
namespace {

const Mat kData = {{1, 2, 3, 4, 1, 7},   {2, 1, 4, 3, 2, 5}, {3, 4, 2, 5, 1, 9},
                   {4, 3, 5, 2, 3, 4},   {5, 6, 4, 7, 2, 8}, {6, 5, 7, 6, 4, 6},
                   {7, 8, 6, 9, 3, 11},  {8, 7, 9, 8, 5, 7}, {9, 9, 8, 7, 4, 12},
                   {10, 12, 9, 11, 6, 9}};

// x1-x4 z w, and zz a copy of z.
std::string data_step() {
  std::string s = "data s; input x1-x4 z w zz;\ndatalines;\n";
  for (const auto& r : kData) {
    for (double v : r) s += std::to_string(v) + " ";
    s += std::to_string(r[4]) + "\n";
  }
  return s + ";\n";
}

// A test whose OUTSTAT= goes to a CSV library `o` in a folder of its own.
struct Factcor : testing_support::TempFolderTest {
  Outcome run(const std::string& body) const {
    return progtest::run("libname o '" + dir.string() + "';\n" + body);
  }
  // The N row of OUTSTAT= o.st (its first variable after _TYPE_ and _NAME_).
  double n_row() const { return stat_rows(read_csv(dir / "st.csv"), "N").at(0).at(0); }
};

TEST_F(Factcor, PartialCorrelationsAndDeviationsAreThoseOfRegressionResiduals) {
  const Outcome r = run(data_step() +
                        "proc factor data=s simple corr nfactors=-1 outstat=o.st;\n"
                        " var x1-x4; partial z w; run;");
  ASSERT_EQ(exit_code(r, 1), 0) << r.log;
  // Residuals of x1-x4 on an intercept, z and w by the normal equations; then
  // their correlations and standard deviations with n - 3 degrees of freedom.
  Mat x, y;
  for (const auto& row : kData) {
    x.push_back({1, row[4], row[5]});
    y.push_back({row[0], row[1], row[2], row[3]});
  }
  Mat e = y;
  const Mat fit = mul(x, mul(inv(mul(tr(x), x)), mul(tr(x), y)));
  for (std::size_t i = 0; i < e.size(); ++i)
    for (std::size_t j = 0; j < 4; ++j) e[i][j] -= fit[i][j];
  const Mat ss = mul(tr(e), e);
  Mat corr = ss, sd = {{}};
  for (std::size_t a = 0; a < 4; ++a) {
    sd[0].push_back(std::sqrt(ss[a][a] / 7));
    for (std::size_t b = 0; b < 4; ++b) corr[a][b] = ss[a][b] / std::sqrt(ss[a][a] * ss[b][b]);
  }
  EXPECT_LT(maxdiff(table(r, "PartialCorr"), corr), 1e-13);
  const Mat shown = table(r, "CondStdDev");
  EXPECT_LT(maxdiff(shown.size() == 1 ? shown : tr(shown), sd), 1e-13);
  // The raw correlation table shows all six variables.
  EXPECT_EQ(table(r, "Corr").size(), 6u);
  // OUTSTAT=: the N row has lost the two partial variables under VARDEF=DF.
  EXPECT_EQ(n_row(), 8);
}

TEST_F(Factcor, TwoIdenticalPartialVariablesRemoveOneDegreeOfFreedom) {
  const Outcome r = run(data_step() +
                        "proc factor data=s nfactors=-1 outstat=o.st;\n"
                        " var x1-x4; partial z zz; run;");
  ASSERT_EQ(exit_code(r, 1), 0) << r.log;
  EXPECT_EQ(n_row(), 9);
}

TEST(FactcorWarnings, OnCountsAndZeroVariances) {
  // NOBS= below the number of variables: warning 21, status 4 reported as 0.
  const Outcome few = run(data_step() + "proc factor data=s nobs=3 nfactors=-1; var x1-x4; run;");
  EXPECT_TRUE(has_message(few, 21)) << few.log;
  EXPECT_EQ(exit_code(few, 1), 0);
  // An analysis variable that is an exact function of the partial variable
  // (x3 = 2z + 1): zero conditional deviation and message 24 naming it.
  const Outcome lin =
      run("data u; input x1 x2 x3 z; datalines;\n1 2 3 1\n2 1 5 2\n3 5 3 1\n4 3 7 3\n5 6 5 2\n"
          "6 4 9 4\n;\nproc factor data=u simple nfactors=-1; var x1-x3; partial z; run;");
  EXPECT_TRUE(has_message(lin, 24)) << lin.log;
  const Mat sd = table(lin, "CondStdDev");
  EXPECT_EQ(sd.size() == 1 ? sd[0][2] : sd[2][0], 0.0);
}

}  // namespace
}  // namespace kav::progtest
