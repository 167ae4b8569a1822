// Image component analysis of whole steps against the textbook definitions
// computed in the test from the inverse correlation matrix: squared
// multiple correlations 1 - 1/r^ii, image coefficients B = I - S^2 R^-1,
// image covariance G = R + S^2 R^-1 S^2 - 2 S^2 (S^2 = diag(R^-1)^-1),
// image factors as eigenvectors of G, and the pattern B^-1 times them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "factor/program_fixture.h"
#include "support/temp_folder.h"

namespace {

using namespace kav::progtest;

using ImageAnalysis = kav::testing_support::TempFolderTest;

TEST_F(ImageAnalysis, FollowsTheTextbookDefinitions) {
  Outcome r = run("libname o '" + dir.string() +
                  "';\nproc factor data=ref.physical8(type=corr) method=image nfactors=2 "
                  "outstat=o.im; run;");
  ASSERT_EQ(exit_code(r), 0) << r.log;
  const Mat rho = read_matrix("physical8.csv", "CORR");
  ASSERT_EQ(rho.size(), 8u);
  const Mat ri = inv(rho);
  Mat s2 = zeros(8, 8), eye = zeros(8, 8);
  for (std::size_t i = 0; i < 8; ++i) s2[i][i] = 1 / ri[i][i], eye[i][i] = 1;
  Mat b = mul(s2, ri);
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t j = 0; j < 8; ++j) b[i][j] = eye[i][j] - b[i][j];
  Mat g = mul(mul(s2, ri), s2);
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t j = 0; j < 8; ++j) g[i][j] += rho[i][j] - 2 * s2[i][j];

  const Mat smc = table(r, "MultipleCorr");
  ASSERT_EQ(smc.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_NEAR(smc[i][0], 1 - s2[i][i], 1e-12);
  EXPECT_LT(maxdiff(table(r, "ImageCoef"), b), 1e-10);
  EXPECT_LT(maxdiff(table(r, "ImageCov"), g), 1e-10);

  // Image factors: eigenvectors of G scaled by the square roots of the
  // eigenvalues shown, so G f = lambda f.
  const Mat f = table(r, "ImageFactors");
  const Mat ev = table(r, "Eigenvalues");
  const Mat gf = mul(g, f);
  for (std::size_t k = 0; k < 2; ++k) {
    double len = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_NEAR(gf[i][k], ev[k][1] * f[i][k], 1e-9);
      len += f[i][k] * f[i][k];
    }
    EXPECT_NEAR(len, ev[k][1], 1e-9);
  }
  // The pattern of the observed variables solves B x = f.
  EXPECT_LT(maxdiff(mul(b, table(r, "FactorPattern")), f), 1e-10);

  // OUTSTAT=: one IMAGE and one IMAGECOV row per variable.
  const CsvData st = read_csv(dir / "im.csv");
  const Mat image = stat_rows(st, "IMAGE"), imagecov = stat_rows(st, "IMAGECOV");
  EXPECT_LT(maxdiff(image, b), 1e-12);
  EXPECT_LT(maxdiff(imagecov, g), 1e-12);
}

TEST_F(ImageAnalysis, UncorrelatedVariablesHaveNoImages) {
  Outcome r =
      run("data u(type=corr);\n  length _name_ $ 2;\n  input _type_ $ _name_ $ a b;\n  datalines;\n"
          "N . 50 50\nCORR a 1 0\nCORR b 0 1\n;\n"
          "proc factor data=u method=image; run;");
  ASSERT_EQ(r.results["steps"].size(), 2u);
  EXPECT_EQ(table(r, "ImageCov"), (Mat{{0, 0}, {0, 0}}));
  EXPECT_TRUE(has_message(r, 41)) << r.log;
  // A variable that is an exact combination of others: regressing a
  // fourth variable on all three, the sweep declines it (message 179), and
  // its own squared multiple correlation is 1.
  const std::string h = "0.7071067811865476";
  Outcome dep =
      run("data d(type=corr);\n  length _name_ $ 2;\n  input _type_ $ _name_ $ a b c e;\n"
          "  datalines;\nN . 50 50 50 50\nCORR a 1 0 " +
          h + " 0.1\nCORR b 0 1 " + h + " 0.2\nCORR c " + h + " " + h + " 1 " +
          std::to_string((0.1 + 0.2) / std::sqrt(2.0)) + "\nCORR e 0.1 0.2 " +
          std::to_string((0.1 + 0.2) / std::sqrt(2.0)) +
          " 1\n;\n"
          "proc factor data=d method=image nfactors=1; run;");
  const Mat smc = table(dep, "MultipleCorr");
  ASSERT_EQ(smc.size(), 4u);
  EXPECT_NEAR(smc[2][0], 1, 1e-6);
  EXPECT_TRUE(has_message(dep, 179)) << dep.log;
}

}  // namespace
