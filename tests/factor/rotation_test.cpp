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
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/criteria.h"
#include "factor/program_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using namespace kav::progtest;
namespace criteria = kav::criteria;

// Columns of b matched to those of a up to order and sign.
double maxdiff_up_to_columns(const Mat& a, Mat b) {
  const std::size_t m = a[0].size();
  std::vector<bool> used(m, false);
  double worst = 0;
  for (std::size_t j = 0; j < m; ++j) {
    double best = INFINITY;
    std::size_t pick = 0;
    double sign = 1;
    for (std::size_t k = 0; k < m; ++k) {
      if (used[k]) continue;
      for (double s : {1.0, -1.0}) {
        double d = 0;
        for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i][j] - s * b[i][k]));
        if (d < best) best = d, pick = k, sign = s;
      }
    }
    used[pick] = true;
    (void)sign;
    worst = std::max(worst, best);
  }
  return worst;
}
// Rows scaled to unit length (Kaiser's normalisation); `h` receives the lengths.
Mat kaiser(const Mat& a, std::vector<double>& h) {
  Mat n = a;
  h.assign(a.size(), 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    double s = 0;
    for (double v : a[i]) s += v * v;
    h[i] = std::sqrt(s);
    for (double& v : n[i]) v /= h[i];
  }
  return n;
}

// ---------------------------------------------------------------------------
// Independent rotations.

// Kaiser's pairwise planar rotations maximising the orthomax criterion
// sum_j [sum_i l^4 - gamma/p (sum_i l^2)^2], swept over all factor pairs
// until no angle is worth turning.
Mat pairwise_orthomax(Mat l, double gamma) {
  const std::size_t p = l.size(), m = l[0].size();
  for (int sweep = 0; sweep < 1000; ++sweep) {
    double largest = 0;
    for (std::size_t j = 0; j + 1 < m; ++j)
      for (std::size_t k = j + 1; k < m; ++k) {
        double a = 0, b = 0, c = 0, d = 0;
        for (std::size_t i = 0; i < p; ++i) {
          const double x = l[i][j], y = l[i][k];
          const double u = x * x - y * y, v = 2 * x * y;
          a += u, b += v, c += u * u - v * v, d += 2 * u * v;
        }
        const double num = d - 2 * gamma * a * b / static_cast<double>(p);
        const double den = c - gamma * (a * a - b * b) / static_cast<double>(p);
        const double phi = std::atan2(num, den) / 4;
        largest = std::max(largest, std::fabs(phi));
        const double cs = std::cos(phi), sn = std::sin(phi);
        for (std::size_t i = 0; i < p; ++i) {
          const double x = l[i][j], y = l[i][k];
          l[i][j] = cs * x + sn * y;
          l[i][k] = -sn * x + cs * y;
        }
      }
    if (largest < 1e-15) break;
  }
  return l;
}

// Column lengths of t made 1: the oblique rotations' constraint.
Mat unit_columns(Mat t) {
  for (std::size_t j = 0; j < t[0].size(); ++j) {
    double s = 0;
    for (const auto& row : t) s += row[j] * row[j];
    for (auto& row : t) row[j] /= std::sqrt(s);
  }
  return t;
}

// ---------------------------------------------------------------------------

const char* kTests24 = "proc factor data=ref.tests24(type=corr) priors=smc nfactors=4 ";
const char* kPhysical = "proc factor data=ref.physical8(type=corr) priors=smc nfactors=2 ";

TEST(RotatedSolution, OrthomaxFamilyEqualsKaisersPairwiseRotation) {
  struct Case {
    const char* options;
    double gamma;
    bool normalised;
  };
  const Case cases[] = {
      // The criteria's weights are checked one by one elsewhere; here the
      // wiring: a criterion with its parameter, and both normalisations.
      {"rotate=varimax", 1, true},
      {"rotate=orthomax(0.5)", 0.5, true},
      {"rotate=varimax norm=raw", 1, false},
      // A tolerance of 0 is met where rounding stops the measure.
      {"rotate=varimax rconverge=0", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Outcome r = run(std::string(kTests24) + c.options + "; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    EXPECT_TRUE(has_message(r, 301)) << "the convergence note";
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "OrthRotFactPat");
    const Mat t = table(r, "OrthTrans");
    ASSERT_EQ(l.size(), 24u);
    // The reference rotation, on Kaiser-normalised rows when asked.
    std::vector<double> h;
    Mat start = c.normalised ? kaiser(a, h) : a;
    Mat expect = pairwise_orthomax(start, c.gamma);
    if (c.normalised)
      for (std::size_t i = 0; i < expect.size(); ++i)
        for (double& v : expect[i]) v *= h[i];
    EXPECT_LT(maxdiff_up_to_columns(expect, l), 1e-6);
    // L = A T with T orthogonal.
    EXPECT_LT(maxdiff(mul(a, t), l), 1e-10);
    Mat eye = zeros(4, 4);
    for (int k = 0; k < 4; ++k) eye[k][k] = 1;
    EXPECT_LT(maxdiff(mul(tr(t), t), eye), 1e-10);
  }
}

// The oblique solution of a criterion: stationary on the constraint set,
// and every derived matrix consistent with the pattern and correlations.
TEST(RotatedSolution, ObliqueCriteriaAreStationaryAndTheSolutionIsConsistent) {
  struct Case {
    const char* options;
    std::function<double(const Mat&)> criterion;
  };
  const Case cases[] = {
      {"rotate=quartimin", [](const Mat& l) { return criteria::oblimin(l, 0); }},
      {"rotate=oblimin(0.3)", [](const Mat& l) { return criteria::oblimin(l, 0.3); }},
      {"tau=-0.5", [](const Mat& l) { return criteria::oblimin(l, -0.5); }},
      {"rotate=oblicf(0.8, 0.2)", [](const Mat& l) { return criteria::crawford_ferguson(l, 0.8, 0.2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Outcome r = run(std::string(kTests24) + c.options + "; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
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
    const Mat an = kaiser(a, h);
    const Mat t = tr(inv(x));
    auto f = [&](const Mat& tt) { return c.criterion(mul(an, tr(inv(unit_columns(tt))))); };
    double scale = 0;
    for (const auto& row : an) {
      double s = 0;
      for (double v : row) s += v * v;
      scale += s * s;
    }
    std::mt19937 gen(7);
    std::normal_distribution<double> z;
    for (int dir = 0; dir < 6; ++dir) {
      Mat e = zeros(4, 4), up = t, down = t;
      const double eps = 1e-5;
      for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
          e[i][j] = z(gen);
          up[i][j] += eps * e[i][j];
          down[i][j] -= eps * e[i][j];
        }
      const double slope = (f(up) - f(down)) / (2 * eps);
      EXPECT_LT(std::fabs(slope), 1e-6 * scale) << "direction " << dir;
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
  };
  const Case cases[] = {{"rotate=promax", 3, true},
                        {"rotate=promax(4) nopromaxnorm", 4, false},
                        {"power=2", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Outcome r = run(std::string(kTests24) + c.options + "; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    const Mat b = table(r, "OrthRotFactPat", 1, "PrerotatedSolution");
    ASSERT_EQ(b.size(), 24u);
    Mat target = b;
    for (auto& row : target) {
      double s = 0;
      for (double v : row) s += v * v;
      for (double& v : row) {
        if (c.rownorm) v /= std::sqrt(s);
        v = std::pow(std::fabs(v), c.power - 1) * v;
      }
    }
    for (std::size_t j = 0; j < 4; ++j) {
      double big = 0;
      for (const auto& row : target) big = std::max(big, std::fabs(row[j]));
      for (auto& row : target) row[j] /= big;
    }
    EXPECT_LT(maxdiff(table(r, "ProcrustesTarget"), target), 1e-12);
    const Mat x = mul(inv(mul(tr(b), b)), mul(tr(b), target));
    EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), x), 1e-10);
    const Mat xi = inv(mul(tr(x), x));
    Mat xd = x;
    for (auto& row : xd)
      for (std::size_t j = 0; j < 4; ++j) row[j] *= std::sqrt(xi[j][j]);
    Mat phi = xi;
    for (std::size_t j = 0; j < 4; ++j)
      for (std::size_t k = 0; k < 4; ++k) phi[j][k] /= std::sqrt(xi[j][j] * xi[k][k]);
    EXPECT_LT(maxdiff(table(r, "NormObliqueTrans"), xd), 1e-10);
    EXPECT_LT(maxdiff(table(r, "ObliqueRotFactPat"), mul(b, xd)), 1e-10);
    EXPECT_LT(maxdiff(table(r, "InterFactorCorr"), phi), 1e-10);
  }
}

// A target made from the unrotated pattern and a known transformation M
// gives back M, normalised to factors of unit variance.
TEST(RotatedSolution, ProcrustesRecoversAKnownTransformation) {
  Outcome first = run(std::string(kPhysical) + "; run;");
  const Mat a = table(first, "FactorPattern");
  ASSERT_EQ(a.size(), 8u);
  const Mat m = {{0.8, 0.3}, {-0.5, 0.9}};
  const Mat t = mul(a, m);
  auto target_step = [&](int rows, bool blank_zero) {
    std::ostringstream p;
    p.precision(17);
    p << "data target;\n input Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth "
         "ChestWidth;\n datalines;\n";
    for (int k = 0; k < rows; ++k) {
      for (std::size_t i = 0; i < 8; ++i) {
        const double v = t[i][static_cast<std::size_t>(k % 2)];
        if (blank_zero && k == 0 && i == 0) {
          p << ". ";  // a missing entry is a zero of the target
        } else {
          p << v << ' ';
        }
      }
      p << "\n";
    }
    p << ";\n" << kPhysical << "target=target outstat=os; run;\n";
    return run(p.str());
  };
  Outcome r = target_step(2, false);
  ASSERT_EQ(exit_code(r, 1), 0) << r.log;
  const Mat xi = inv(mul(tr(m), m));
  Mat md = m;
  for (auto& row : md)
    for (std::size_t j = 0; j < 2; ++j) row[j] *= std::sqrt(xi[j][j]);
  EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), m), 1e-10);
  EXPECT_LT(maxdiff(table(r, "ObliqueRotFactPat"), mul(a, md)), 1e-10);
  EXPECT_FALSE(has_message(r, 82));

  // More observations than factors: the extra ones are ignored, with a note.
  Outcome longer = target_step(3, false);
  EXPECT_TRUE(has_message(longer, 82));
  EXPECT_LT(maxdiff(table(longer, "ObliqueRotFactPat"), mul(a, md)), 1e-10);

  // A missing entry is a zero: the same rotation as the target with that zero.
  Outcome gap = target_step(2, true);
  Mat t0 = t;
  t0[0][0] = 0;
  const Mat x0 = mul(inv(mul(tr(a), a)), mul(tr(a), t0));
  EXPECT_LT(maxdiff(table(gap, "ProcrustesTrans"), x0), 1e-10);

  // Fewer observations than factors: no rotation, message 81 and status 108.
  Outcome shorter = target_step(1, false);
  EXPECT_TRUE(has_message(shorter, 81));
  EXPECT_EQ(exit_code(shorter, 1), 108);
  EXPECT_FALSE(has_table(shorter, "ObliqueRotFactPat"));
}

// INPUT T01-T24 names the 24 tests as they are named, with the width of
// their numbers, so a target typed under those names is the target used.
TEST(RotatedSolution, ATargetEnteredWithANumberedRangeIsTheTargetUsed) {
  Mat target = zeros(24, 4);
  std::ostringstream p;
  p << "data tg; input T01-T24; datalines;\n";
  for (std::size_t j = 0; j < 4; ++j) {
    for (std::size_t i = 0; i < 24; ++i) {
      target[i][j] = i % 4 == j ? 1 : 0.1 * static_cast<double>(j);
      p << target[i][j] << ' ';
    }
    p << '\n';
  }
  p << ";\nproc print data=tg; run;\n" << kTests24 << "target=tg; var T01-T24; run;\n";
  Outcome r = run(p.str());
  ASSERT_EQ(exit_code(r, 2), 0) << r.log;
  std::vector<std::string> names;
  for (const auto& o : r.results["steps"][1]["outputs"])
    if (o.value("name", "") == "Print")
      for (const auto& c : o["columns"]) names.push_back(c["name"]);
  ASSERT_EQ(names.size(), 25u);  // Obs and the variables
  EXPECT_EQ(names[1], "T01");
  EXPECT_EQ(names[9], "T09");
  EXPECT_EQ(names[24], "T24");
  EXPECT_LT(maxdiff(table(r, "ProcrustesTarget"), target), 1e-12);
}

TEST(RotatedSolution, HarrisKaiserGivesAnOrderedObliqueSolutionOfTheSameCommonPart) {
  for (const char* options : {"rotate=hk", "rotate=hk(0.5)", "rotate=varimax hkpower=0.5"}) {
    SCOPED_TRACE(options);
    Outcome r = run(std::string(kTests24) + options + "; run;");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "ObliqueRotFactPat");
    const Mat x = table(r, "ObliqueTrans");
    const Mat phi = table(r, "InterFactorCorr");
    ASSERT_EQ(l.size(), 24u);
    EXPECT_LT(maxdiff(mul(a, x), l), 1e-10);
    EXPECT_LT(maxdiff(mul(mul(l, phi), tr(l)), mul(a, tr(a))), 1e-10);
    // The factor correlations follow from the transformation alone.
    const Mat fromx = inv(mul(tr(x), x));
    EXPECT_LT(maxdiff(phi, fromx), 1e-10);
    // Factors come largest first.
    std::vector<double> ss(4, 0);
    for (const auto& row : l)
      for (std::size_t j = 0; j < 4; ++j) ss[j] += row[j] * row[j];
    EXPECT_TRUE(std::is_sorted(ss.rbegin(), ss.rend()));
  }
}

// Power 1 rotates the pattern itself: the varimax solution, uncorrelated.
TEST(RotatedSolution, HarrisKaiserOfPowerOneIsVarimax) {
  Outcome hk = run(std::string(kTests24) + "rotate=hk(1); run;");
  Outcome vm = run(std::string(kTests24) + "rotate=varimax; run;");
  ASSERT_EQ(exit_code(hk), 0) << hk.log;
  EXPECT_LT(maxdiff_up_to_columns(table(vm, "OrthRotFactPat"), table(hk, "ObliqueRotFactPat")),
            1e-8);
  Mat eye = zeros(4, 4);
  for (int k = 0; k < 4; ++k) eye[k][k] = 1;
  EXPECT_LT(maxdiff(table(hk, "InterFactorCorr"), eye), 1e-8);
}

TEST(RotatedSolution, EachListEntryRotatesTheUnrotatedSolution) {
  Outcome both = run(std::string(kTests24) + "rotate=varimax, none, quartimin; run;");
  Outcome alone = run(std::string(kTests24) + "rotate=quartimin; run;");
  ASSERT_EQ(exit_code(both), 0) << both.log;
  EXPECT_LT(maxdiff(table(both, "ObliqueRotFactPat"), table(alone, "ObliqueRotFactPat")), 1e-10);
  EXPECT_LT(maxdiff(table(both, "OrthRotFactPat"),
                    table(run(std::string(kTests24) + "rotate=varimax; run;"), "OrthRotFactPat")),
            1e-12);
  // Promax too; its prerotation is kept only when it heads the list.
  struct Case {
    const char* list;
    int occurrence;  // of the promax pattern among the list's oblique ones
    const char* alone;
  };
  const Case promax[] = {{"rotate=quartimin, promax", 2, "rotate=promax prerotate=none"},
                         {"rotate=promax, quartimin", 1, "rotate=promax"}};
  for (const Case& c : promax) {
    SCOPED_TRACE(c.list);
    Outcome listed = run(std::string(kTests24) + c.list + "; run;");
    ASSERT_EQ(exit_code(listed), 0) << listed.log;
    EXPECT_LT(maxdiff(table(listed, "ObliqueRotFactPat", c.occurrence),
                      table(run(std::string(kTests24) + c.alone + "; run;"), "ObliqueRotFactPat")),
              1e-10);
  }
}

TEST(RotatedSolution, WhatCannotBeRotatedSaysWhy) {
  // One factor: nothing to rotate, a note.
  Outcome one = run("proc factor data=ref.physical8(type=corr) nfactors=1 rotate=varimax; run;");
  EXPECT_EQ(exit_code(one), 0);
  EXPECT_TRUE(has_message(one, 102));
  EXPECT_FALSE(has_table(one, "OrthRotFactPat"));
  // RITER=0: no iterations allowed, no rotation.
  Outcome none = run(std::string(kPhysical) + "rotate=varimax riter=0; run;");
  EXPECT_EQ(exit_code(none), 0);
  EXPECT_TRUE(has_message(none, 197));
  EXPECT_FALSE(has_table(none, "OrthRotFactPat"));
  // One iteration cannot converge: the step stops and shows no rotated pattern.
  Outcome short_run = run(std::string(kTests24) + "rotate=quartimin riter=1; run;");
  EXPECT_EQ(exit_code(short_run), 1012);
  EXPECT_TRUE(has_message(short_run, 178));
  EXPECT_FALSE(has_table(short_run, "ObliqueRotFactPat"));
  // A TARGET= data set that is empty, or that does not exist.
  Outcome empty = run(
      "data t;\n  input Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth ChestWidth;\n"
      "  datalines;\n;\n" + std::string(kPhysical) + "target=t; run;");
  EXPECT_EQ(exit_code(empty, 1), 108);
  EXPECT_TRUE(has_message(empty, 81));
  EXPECT_FALSE(has_table(empty, "ObliqueRotFactPat"));
  Outcome missing = run(std::string(kPhysical) + "target=nosuch; run;");
  EXPECT_GE(exit_code(missing), 1000);
  EXPECT_NE(missing.log.find("NOSUCH"), std::string::npos) << missing.log;
  // Biquartimin on eight factors of the 24 tests is unbounded: factors merge
  // ever more slowly, so the transformation tends to a singular one; on six
  // it only converges slowly (RITER=1000 reaches the solution).
  struct Limit {
    int nfactors;
    int riter;
    int message;
  };
  for (const Limit& c : {Limit{8, 240, 195}, Limit{6, 240, 178}, Limit{6, 1000, 301}}) {
    SCOPED_TRACE(c.nfactors);
    Outcome r =
        run("proc factor data=ref.tests24(type=corr) priors=smc rotate=biquartimin nfactors=" +
            std::to_string(c.nfactors) + " riter=" + std::to_string(c.riter) + "; run;");
    EXPECT_EQ(exit_code(r), c.message == 301 ? 0 : 1012);
    for (int m : {195, 178, 301}) EXPECT_EQ(has_message(r, m), m == c.message) << m << r.log;
  }
  // HKPOWER= with an oblique criterion is ignored with a note.
  Outcome hk = run(std::string(kPhysical) + "rotate=quartimin hkpower=0.5; run;");
  EXPECT_EQ(exit_code(hk), 0);
  EXPECT_TRUE(has_message(hk, 100));
  EXPECT_TRUE(has_table(hk, "ObliqueRotFactPat"));
}

// The weights a rotation used are shown: the standard deviations under
// NORM=COV, Cureton-Mulaik weights under NORM=WEIGHT, and in Harris-Kaiser
// mode the factor weights c^(power/2), c the factors' sums of squares.
TEST(RotatedSolution, RotationWeightsAreShown) {
  const std::string ability = "proc factor data=ref.ability6_cov(type=cov) nfactors=2 ";
  Outcome cov = run(ability + "rotate=varimax norm=cov; run;");
  ASSERT_EQ(exit_code(cov), 0) << cov.log;
  const double variances[] = {24.641, 6.7, 149.831, 12.711, 52.604, 135.292};
  const Mat vw = table(cov, "VarWeightRotate");
  ASSERT_EQ(vw.size() * vw[0].size(), 6u);
  for (std::size_t k = 0; k < 6; ++k)
    EXPECT_NEAR(vw[0].size() == 6 ? vw[0][k] : vw[k][0], std::sqrt(variances[k]), 1e-6);

  Outcome weight = run(ability + "rotate=varimax norm=weight; run;");
  ASSERT_EQ(exit_code(weight), 0) << weight.log;
  for (const auto& row : table(weight, "VarWeightRotate"))
    for (double w : row) {
      EXPECT_GT(w, 0);
      EXPECT_LE(w, 1.0011);
    }
  EXPECT_FALSE(has_table(run(ability + "rotate=varimax; run;"), "VarWeightRotate"));

  Outcome hk = run(ability + "rotate=varimax hkpower=0.5; run;");
  ASSERT_EQ(exit_code(hk), 0) << hk.log;
  const Mat a = table(hk, "FactorPattern");
  const Mat fw = table(hk, "FactorWeightRotate");
  std::vector<double> got;
  for (const auto& row : fw) got.insert(got.end(), row.begin(), row.end());
  ASSERT_EQ(got.size(), 2u);
  for (std::size_t j = 0; j < 2; ++j) {
    double c = 0;
    for (const auto& row : a) c += row[j] * row[j];
    EXPECT_NEAR(got[j], std::pow(c, 0.25), 1e-10 * got[j]);
  }
  // Power 0 weights are all 1 and are not shown.
  EXPECT_FALSE(has_table(run(ability + "rotate=hk; run;"), "FactorWeightRotate"));
}

// With BY groups, each group is rotated toward the target of its own BY
// values; a group the target has no rows for is skipped.
TEST(RotatedSolution, ProcrustesTakesTheTargetOfEachByGroup) {
  std::ifstream csv(std::string(KAV_REFERENCE_DIR) + "/data/physical8.csv");
  std::string line, lines;
  std::getline(csv, line);
  while (std::getline(csv, line)) {
    line.erase(std::remove(line.begin(), line.end(), '"'), line.end());
    std::replace(line.begin(), line.end(), ',', ' ');
    if (line.rfind("N  ", 0) == 0) line.insert(2, ".");  // the N row has no _NAME_
    lines += line + "\n";
  }
  std::string data = "data corr2(type=corr);\n  length _name_ $ 10;\n  input g _type_ $ _name_ $ "
                     "Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth ChestWidth;\n"
                     "  datalines;\n";
  for (int g : {1, 2, 3}) {
    std::stringstream in(lines);
    while (std::getline(in, line)) data += std::to_string(g) + " " + line + "\n";
  }
  data += ";\n";
  // Group 1 aims at lengths then girths, group 3 the other way round; the
  // target has no group 2.
  const std::string target =
      "data tg;\n  input g Height ArmSpan Forearm LowerLeg Weight BitroDiam ChestGirth "
      "ChestWidth;\n  datalines;\n"
      "1 1 1 1 1 0 0 0 0\n1 0 0 0 0 1 1 1 1\n"
      "3 0 0 0 0 1 1 1 1\n3 1 1 1 1 0 0 0 0\n;\n";
  Outcome r = run(data + target +
                  "proc factor data=corr2 priors=smc nfactors=2 target=tg; by g; run;\n");
  ASSERT_EQ(r.results["steps"].size(), 3u) << r.log;
  EXPECT_EQ(exit_code(r, 2), 0) << r.log;
  const Mat first = table(r, "ProcrustesTarget", 1), second = table(r, "ProcrustesTarget", 2);
  ASSERT_EQ(first.size(), 8u);
  ASSERT_EQ(second.size(), 8u);
  EXPECT_EQ(first[0], (std::vector<double>{1, 0}));
  EXPECT_EQ(second[0], (std::vector<double>{0, 1}));
  // Two groups analysed (1 and 3): the same solution with its factors swapped.
  const Mat l1 = table(r, "ObliqueRotFactPat", 1), l3 = table(r, "ObliqueRotFactPat", 2);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_NEAR(l1[i][0], l3[i][1], 1e-10);
    EXPECT_NEAR(l1[i][1], l3[i][0], 1e-10);
  }
  EXPECT_TRUE(has_message(r, 177)) << "the group without a target is named";
  // Outputs without a name (notes) must not be looked into with [] on a
  // const object, which is undefined for a missing key.
  const json& outputs = r.results["steps"][2]["outputs"];
  EXPECT_EQ(std::count_if(outputs.begin(), outputs.end(),
                          [](const json& o) { return o.value("name", "") == "ProcrustesTarget"; }),
            2);
}

TEST(RotatedSolution, OutstatCarriesTheRotatedRowsInOrderAndReadsBack) {
  struct Case {
    const char* options;
    std::vector<std::string> types;  // the rows after EIGENVAL
    const char* pattern;             // the table the PATTERN rows show
  };
  const std::vector<std::string> oblique = {"TRANSFOR", "FCORR",    "PATTERN",
                                            "RCORR",    "REFERENC", "STRUCTUR"};
  std::vector<std::string> promax = {"UNROTATE", "PRETRANS", "PREROTAT"};
  promax.insert(promax.end(), oblique.begin(), oblique.end());
  std::vector<std::string> quartimin = {"UNROTATE"};
  quartimin.insert(quartimin.end(), oblique.begin(), oblique.end());
  const Case cases[] = {
      {"rotate=varimax", {"UNROTATE", "TRANSFOR", "PATTERN"}, "OrthRotFactPat"},
      {"rotate=quartimin", quartimin, "ObliqueRotFactPat"},
      {"rotate=promax", promax, "ObliqueRotFactPat"},
  };
  const fs::path dir = fs::temp_directory_path() / ("kav_rotstat_" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    fs::remove_all(dir);
    fs::create_directories(dir);
    Outcome r = run("libname o '" + dir.string() + "';\n" + kPhysical + c.options +
                " outstat=o.stat; run;\n"
                "proc factor data=o.stat method=principal priors=smc nfactors=2; run;\n");
    ASSERT_EQ(exit_code(r), 0) << r.log;
    ASSERT_EQ(exit_code(r, 1), 0) << r.log;
    const CsvData rows = read_csv(dir / "stat.csv");
    std::vector<std::string> after;
    Mat shown = table(r, c.pattern, -1);
    bool seen = false;
    for (const auto& cells : rows.cells) {
      const std::string type = cells.empty() ? "" : cells[0];
      if (seen && (after.empty() || after.back() != type)) after.push_back(type);
      if (type == "EIGENVAL") seen = true;
    }
    const Mat stored = stat_rows(rows, "PATTERN");
    EXPECT_EQ(after, c.types);
    // PATTERN holds the pattern one factor per row.
    EXPECT_LT(maxdiff(tr(stored), shown), 1e-12);
    // The TYPE=FACTOR data set read back gives the same analysis.
    EXPECT_LT(maxdiff(table(r, "Eigenvalues", 1), table(r, "Eigenvalues", -1)), 1e-12);
  }
  fs::remove_all(dir);
}

}  // namespace
