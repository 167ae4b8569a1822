// Rotated solutions of whole PROC FACTOR steps, checked against what the
// test computes itself from the unrotated pattern: Kaiser's pairwise
// planar rotations for the orthomax family, the stationarity of the oblique
// criteria written out as their textbook double sums, the closed form of
// promax, a Procrustes target built from a known transformation, and the
// invariants every rotated solution keeps (the common part L Phi L' = A A',
// structure, reference axes).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/criteria.h"
#include "factor/program_fixture.h"
#include "factor/rotation_reference.h"

namespace fs = std::filesystem;

namespace {

using namespace kav::progtest;
namespace criteria = kav::criteria;

// Columns of b matched to those of a up to order and sign.
double maxdiff_up_to_columns(const Mat& a, const Mat& b) {
  const std::size_t m = a[0].size();
  std::vector<bool> used(m, false);
  double worst = 0;
  for (std::size_t j = 0; j < m; ++j) {
    double best = INFINITY;
    std::size_t pick = 0;
    for (std::size_t k = 0; k < m; ++k)
      for (double s : {1.0, -1.0}) {
        double d = 0;
        for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i][j] - s * b[i][k]));
        if (!used[k] && d < best) best = d, pick = k;
      }
    used[pick] = true;
    worst = std::max(worst, best);
  }
  return worst;
}
Mat identity(std::size_t n) {
  Mat eye = zeros(n, n);
  for (std::size_t k = 0; k < n; ++k) eye[k][k] = 1;
  return eye;
}

const char* kTests24 = "proc factor data=ref.tests24(type=corr) priors=smc nfactors=4 ";
const char* kPhysical = "proc factor data=ref.physical8(type=corr) priors=smc nfactors=2 ";

TEST(RotatedSolution, OrthomaxFamilyEqualsKaisersPairwiseRotation) {
  struct Case {
    const char* options;
    double gamma;
    bool normalised;
  } cases[] = {
      {"rotate=varimax", 1, true},
      {"rotate=orthomax(0.5)", 0.5, true},
      {"rotate=varimax norm=raw", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    EXPECT_TRUE(has_message(r, 301)) << "the convergence note";
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "OrthRotFactPat");
    const Mat t = table(r, "OrthTrans");
    ASSERT_EQ(l.size(), 24u);
    EXPECT_LT(maxdiff_up_to_columns(orthomax(a, c.gamma, c.normalised), l), 1e-6);
    EXPECT_LT(maxdiff(mul(a, t), l), 1e-10);  // L = A T, T orthogonal
    EXPECT_LT(maxdiff(mul(tr(t), t), identity(4)), 1e-10);
  }
}

// The oblique solution of a criterion: stationary on the constraint set,
// and every derived matrix consistent with the pattern and correlations.
TEST(RotatedSolution, ObliqueCriteriaAreStationaryAndTheSolutionIsConsistent) {
  struct Case {
    const char* options;
    std::function<double(const Mat&)> criterion;
  } cases[] = {
      {"rotate=quartimin", [](const Mat& l) { return criteria::oblimin(l, 0); }},
      {"rotate=oblimin(0.3)", [](const Mat& l) { return criteria::oblimin(l, 0.3); }},
      {"tau=-0.5", [](const Mat& l) { return criteria::oblimin(l, -0.5); }},
      {"rotate=oblicf(0.8, 0.2)",
       [](const Mat& l) { return criteria::crawford_ferguson(l, 0.8, 0.2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "ObliqueRotFactPat");
    const Mat x = table(r, "ObliqueTrans");
    const Mat phi = table(r, "InterFactorCorr");
    ASSERT_EQ(l.size(), 24u);
    ASSERT_EQ(phi.size(), 4u);
    EXPECT_LT(maxdiff(mul(a, x), l), 1e-10) << "pattern = unrotated pattern x transformation";
    EXPECT_LT(maxdiff(mul(mul(l, phi), tr(l)), mul(a, tr(a))), 1e-10) << "the common part";
    EXPECT_LT(maxdiff(table(r, "FactorStructure"), mul(l, phi)), 1e-10);
    // Reference axes: the inverse factor correlations as correlations;
    // reference structure = pattern / sqrt(diag of the inverse).
    const Mat pinv = inv(phi);
    Mat rc = pinv, ref = l;
    for (std::size_t j = 0; j < 4; ++j)
      for (std::size_t k = 0; k < 4; ++k) rc[j][k] /= std::sqrt(pinv[j][j] * pinv[k][k]);
    for (auto& row : ref)
      for (std::size_t j = 0; j < 4; ++j) row[j] /= std::sqrt(pinv[j][j]);
    EXPECT_LT(maxdiff(table(r, "ReferenceAxisCorr"), rc), 1e-10);
    EXPECT_LT(maxdiff(table(r, "ReferenceStructure"), ref), 1e-10);

    // Stationarity.  The criterion is taken on Kaiser-normalised rows, as a
    // function of the oblique T (unit columns) with L = A inv(T)'.
    std::vector<double> h;
    const Mat an = normalised(a, h);
    auto f = [&](Mat tt) {
      for (std::size_t j = 0; j < 4; ++j) {
        double s = 0;
        for (const auto& row : tt) s += row[j] * row[j];
        for (auto& row : tt) row[j] /= std::sqrt(s);
      }
      return c.criterion(mul(an, tr(inv(tt))));
    };
    const double scale = static_cast<double>(an.size());  // sum of squared row lengths squared
    const Mat t = tr(inv(x));
    std::mt19937 gen(7);
    std::normal_distribution<double> z;
    for (int dir = 0; dir < 6; ++dir) {
      Mat up = t, down = t;
      const double eps = 1e-5;
      for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
          const double e = z(gen);
          up[i][j] += eps * e;
          down[i][j] -= eps * e;
        }
      EXPECT_LT(std::fabs(f(up) - f(down)) / (2 * eps), 1e-6 * scale) << "direction " << dir;
    }
  }
}

// Promax: least squares to the powered target, then factors of unit
// variance, all from the prerotated pattern.
TEST(RotatedSolution, PromaxFollowsItsClosedForm) {
  struct Case {
    const char* options;
    double power;
    bool rownorm;
  } cases[] = {
      {"rotate=promax", 3, true}, {"rotate=promax(4) nopromaxnorm", 4, false}, {"power=2", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    const Mat b = table(r, "OrthRotFactPat", 1, "PrerotatedSolution");
    ASSERT_EQ(b.size(), 24u);
    const Mat target = promax_target(b, c.power, c.rownorm);
    EXPECT_LT(maxdiff(table(r, "ProcrustesTarget"), target), 1e-12);
    const Mat x = lsq(b, target);
    EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), x), 1e-10);
    const Mat xi = inv(mul(tr(x), x));
    Mat xd = x, phi;
    for (auto& row : xd)
      for (std::size_t j = 0; j < 4; ++j) row[j] *= std::sqrt(xi[j][j]);
    EXPECT_LT(maxdiff(table(r, "NormObliqueTrans"), xd), 1e-10);
    EXPECT_LT(maxdiff(table(r, "ObliqueRotFactPat"), procrustes(b, target, phi)), 1e-10);
    EXPECT_LT(maxdiff(table(r, "InterFactorCorr"), phi), 1e-10);
  }
}

// A target made from the unrotated pattern and a known transformation M
// gives back M; a missing entry of the target is a zero.
TEST(RotatedSolution, ProcrustesRecoversAKnownTransformation) {
  const Mat a = table(ran(std::string(kPhysical) + "; run;"), "FactorPattern");
  ASSERT_EQ(a.size(), 8u);
  const Mat m = {{0.8, 0.3}, {-0.5, 0.9}};
  const Mat t = mul(a, m);
  auto target_step = [&](int rows, bool blank_first) {
    std::ostringstream p;
    p.precision(17);
    p << "data target; input Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth "
         "ChestWidth;\ndatalines;\n";
    for (int k = 0; k < rows; ++k) {
      for (std::size_t i = 0; i < 8; ++i) {
        if (blank_first && k == 0 && i == 0)
          p << ". ";
        else
          p << t[i][static_cast<std::size_t>(k % 2)] << ' ';
      }
      p << "\n";
    }
    p << ";\n" << kPhysical << "target=target; run;\n";
    return run(p.str());
  };
  Mat phi;
  const Outcome r = target_step(2, false);
  EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), m), 1e-10);
  EXPECT_LT(maxdiff(table(r, "ObliqueRotFactPat"), procrustes(a, t, phi)), 1e-10);
  EXPECT_FALSE(has_message(r, 82));
  // More observations than factors: the extra ones are ignored, with a note.
  const Outcome longer = target_step(3, false);
  EXPECT_TRUE(has_message(longer, 82));
  EXPECT_LT(maxdiff(table(longer, "ProcrustesTrans"), m), 1e-10);
  Mat t0 = t;
  t0[0][0] = 0;
  EXPECT_LT(maxdiff(table(target_step(2, true), "ProcrustesTrans"), lsq(a, t0)), 1e-10);
  // Fewer observations than factors: no rotation, message 81 and status 108.
  const Outcome shorter = target_step(1, false);
  EXPECT_TRUE(has_message(shorter, 81));
  EXPECT_EQ(exit_code(shorter, 1), 108);
  EXPECT_FALSE(has_table(shorter, "ObliqueRotFactPat"));
}

TEST(RotatedSolution, HarrisKaiserGivesAnOrderedObliqueSolutionOfTheSameCommonPart) {
  for (const char* options : {"rotate=hk", "rotate=hk(0.5)", "rotate=varimax hkpower=0.5"}) {
    SCOPED_TRACE(options);
    const Outcome r = ran(std::string(kTests24) + options + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "ObliqueRotFactPat");
    const Mat x = table(r, "ObliqueTrans");
    ASSERT_EQ(l.size(), 24u);
    EXPECT_LT(maxdiff(mul(a, x), l), 1e-10);
    EXPECT_LT(maxdiff(mul(mul(l, table(r, "InterFactorCorr")), tr(l)), mul(a, tr(a))), 1e-10);
    EXPECT_LT(maxdiff(table(r, "InterFactorCorr"), inv(mul(tr(x), x))), 1e-10);
    std::vector<double> ss(4, 0);
    for (const auto& row : l)
      for (std::size_t j = 0; j < 4; ++j) ss[j] += row[j] * row[j];
    EXPECT_TRUE(std::is_sorted(ss.rbegin(), ss.rend())) << "factors come largest first";
  }
  // Power 1 rotates the pattern itself: the varimax solution, uncorrelated.
  const Outcome hk = ran(std::string(kTests24) + "rotate=hk(1); run;");
  EXPECT_LT(maxdiff_up_to_columns(orthomax(table(hk, "FactorPattern"), 1, true),
                                  table(hk, "ObliqueRotFactPat")),
            1e-6);
  EXPECT_LT(maxdiff(table(hk, "InterFactorCorr"), identity(4)), 1e-8);
}

TEST(RotatedSolution, EachListEntryRotatesTheUnrotatedSolution) {
  const Outcome both = ran(std::string(kTests24) + "rotate=varimax, none, quartimin; run;");
  const Outcome alone = ran(std::string(kTests24) + "rotate=quartimin; run;");
  EXPECT_LT(maxdiff(table(both, "ObliqueRotFactPat"), table(alone, "ObliqueRotFactPat")), 1e-10);
  EXPECT_LT(maxdiff_up_to_columns(orthomax(table(both, "FactorPattern"), 1, true),
                                  table(both, "OrthRotFactPat")),
            1e-6);
}

TEST(RotatedSolution, WhatCannotBeRotatedSaysWhy) {
  const std::string empty_target =
      "data t; input Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth ChestWidth;\n"
      "datalines;\n;\n";
  struct Case {
    std::string program;
    int step, exit, message;
    const char* absent;  // the table not shown
  } cases[] = {
      {"proc factor data=ref.physical8(type=corr) nfactors=1 rotate=varimax;", 0, 0, 102,
       "OrthRotFactPat"},
      {std::string(kPhysical) + "rotate=varimax riter=0;", 0, 0, 197, "OrthRotFactPat"},
      {std::string(kTests24) + "rotate=quartimin riter=1;", 0, 1012, 178, "ObliqueRotFactPat"},
      {empty_target + kPhysical + "target=t;", 1, 108, 81, "ObliqueRotFactPat"},
      {std::string(kPhysical) + "rotate=quartimin hkpower=0.5;", 0, 0, 100, "FactorWeightRotate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const Outcome r = run(c.program + " run;");
    EXPECT_EQ(exit_code(r, c.step), c.exit) << r.log;
    EXPECT_TRUE(has_message(r, c.message));
    EXPECT_FALSE(has_table(r, c.absent));
  }
  const Outcome missing = run(std::string(kPhysical) + "target=nosuch; run;");
  EXPECT_GE(exit_code(missing), 1000);
  EXPECT_NE(missing.log.find("NOSUCH"), std::string::npos) << missing.log;
}

// The weights a rotation used are shown: the standard deviations under
// NORM=COV, Cureton-Mulaik weights under NORM=WEIGHT, and in Harris-Kaiser
// mode the factor weights c^(power/2), c the factors' sums of squares.
TEST(RotatedSolution, RotationWeightsAreShown) {
  const std::string ability = "proc factor data=ref.ability6_cov(type=cov) nfactors=2 ";
  auto flat = [](const Mat& m) {
    std::vector<double> v;
    for (const auto& row : m) v.insert(v.end(), row.begin(), row.end());
    return v;
  };
  const auto vw = flat(table(ran(ability + "rotate=varimax norm=cov; run;"), "VarWeightRotate"));
  const double variances[] = {24.641, 6.7, 149.831, 12.711, 52.604, 135.292};
  ASSERT_EQ(vw.size(), 6u);
  for (std::size_t k = 0; k < 6; ++k) EXPECT_NEAR(vw[k], std::sqrt(variances[k]), 1e-6);
  for (double w : flat(table(ran(ability + "rotate=varimax norm=weight; run;"), "VarWeightRotate")))
    EXPECT_TRUE(w > 0 && w <= 1.0011) << w;
  EXPECT_FALSE(has_table(ran(ability + "rotate=varimax; run;"), "VarWeightRotate"));

  const Outcome hk = ran(ability + "rotate=varimax hkpower=0.5; run;");
  const Mat a = table(hk, "FactorPattern");
  const auto fw = flat(table(hk, "FactorWeightRotate"));
  ASSERT_EQ(fw.size(), 2u);
  for (std::size_t j = 0; j < 2; ++j) {
    double c = 0;
    for (const auto& row : a) c += row[j] * row[j];
    EXPECT_NEAR(fw[j], std::pow(c, 0.25), 1e-10 * fw[j]);
  }
  // Power 0 weights are all 1 and are not shown.
  EXPECT_FALSE(has_table(ran(ability + "rotate=hk; run;"), "FactorWeightRotate"));
}

TEST(RotatedSolution, OutstatCarriesTheRotatedRowsInOrderAndReadsBack) {
  const std::vector<std::string> oblique = {"TRANSFOR", "FCORR",    "PATTERN",
                                            "RCORR",    "REFERENC", "STRUCTUR"};
  std::vector<std::string> promax = {"UNROTATE", "PRETRANS", "PREROTAT"}, quartimin = {"UNROTATE"};
  promax.insert(promax.end(), oblique.begin(), oblique.end());
  quartimin.insert(quartimin.end(), oblique.begin(), oblique.end());
  struct Case {
    const char* options;
    std::vector<std::string> types;  // the rows after EIGENVAL
    const char* pattern;             // the table the PATTERN rows show
  } cases[] = {
      {"rotate=varimax", {"UNROTATE", "TRANSFOR", "PATTERN"}, "OrthRotFactPat"},
      {"rotate=quartimin", quartimin, "ObliqueRotFactPat"},
      {"rotate=promax", promax, "ObliqueRotFactPat"},
  };
  const fs::path dir = fs::temp_directory_path() / ("kav_rotstat_" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Outcome r = ran("libname o '" + dir.string() + "';\n" + kPhysical + c.options +
                          " outstat=o.stat; run;\n"
                          "proc factor data=o.stat method=principal priors=smc nfactors=2; run;\n");
    const CsvData rows = read_csv(dir / "stat.csv");
    std::vector<std::string> after;
    bool seen = false;
    for (const auto& cells : rows.cells) {
      const std::string type = cells.empty() ? "" : cells[0];
      if (seen && (after.empty() || after.back() != type)) after.push_back(type);
      if (type == "EIGENVAL") seen = true;
    }
    EXPECT_EQ(after, c.types);
    // PATTERN holds the pattern one factor per row.
    EXPECT_LT(maxdiff(tr(stat_rows(rows, "PATTERN")), table(r, c.pattern, -1)), 1e-12);
    // The TYPE=FACTOR data set read back gives the same analysis.
    EXPECT_LT(maxdiff(table(r, "Eigenvalues", 1), table(r, "Eigenvalues", -1)), 1e-12);
  }
  fs::remove_all(dir);
}

}  // namespace
