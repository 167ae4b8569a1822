// Rotated solutions of whole PROC FACTOR steps, and their standard errors:
// what holds whatever the criterion (every rotated solution keeps the
// common part L Phi L' = A A', its structure and reference axes follow
// from the pattern and the factor correlations), how rotations combine in
// a list, their messages and exit statuses, targets read from data sets,
// OUTSTAT= rows and BY groups.  The rotated values themselves and the
// standard errors are reference cases (tests/reference, computed by
// scripts/rotations.py there).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace kav::progtest;

// The outcome of a program whose steps must all run cleanly.
Outcome ran(const std::string& program) {
  Outcome r = run(program);
  for (std::size_t k = 0; k < r.results["steps"].size(); ++k)
    EXPECT_EQ(exit_code(r, static_cast<int>(k)), 0) << r.log;
  return r;
}

// The least-squares transformation of x towards y, (x'x)^-1 x'y.
Mat lsq(const Mat& x, const Mat& y) {
  return mul(inv(mul(tr(x), x)), mul(tr(x), y));
}

Mat identity(std::size_t n) {
  Mat eye = zeros(n, n);
  for (std::size_t k = 0; k < n; ++k) eye[k][k] = 1;
  return eye;
}

// A stack of a table (the occurrence-th of that name) as JSON rows; null
// when the table or the stack is not there.
const json* stack_rows(const Outcome& r, const std::string& name, const std::string& stack,
                       int occurrence = 1) {
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name && --occurrence == 0)
        return o.contains("stacks") && o["stacks"].contains(stack) ? &o["stacks"][stack] : nullptr;
  return nullptr;
}
Mat stack(const Outcome& r, const std::string& name, const std::string& stack, int occurrence = 1) {
  const json* rows = stack_rows(r, name, stack, occurrence);
  if (!rows) ADD_FAILURE() << "no " << stack << " stack in " << name << "\n" << r.log;
  Mat out;
  for (const auto& row : rows ? *rows : json::array()) {
    out.emplace_back();
    for (const auto& c : row) out.back().push_back(c.is_number() ? c.get<double>() : NAN);
  }
  return out;
}

const char* kMl24 =
    "proc factor data=ref.tests24(type=corr) method=ml nfactors=3 converge=1e-10 maxiter=500 ";
const char* kTests24 = "proc factor data=ref.tests24(type=corr) priors=smc nfactors=4 ";
const char* kPhysical = "proc factor data=ref.physical8(type=corr) priors=smc nfactors=2 ";

TEST(RotatedSolution, OrthogonalIsTheUnrotatedTimesAnOrthogonalTransformation) {
  // A tolerance of 0 is met where rounding stops the measure.
  const Outcome r = ran(std::string(kTests24) + "rotate=varimax; run;");
  const Outcome zero = ran(std::string(kTests24) + "rotate=varimax rconverge=0; run;");
  for (const Outcome* o : {&r, &zero}) {
    EXPECT_TRUE(has_message(*o, 301)) << "the convergence note";
    const Mat t = table(*o, "OrthTrans");
    EXPECT_LT(maxdiff(mul(table(*o, "FactorPattern"), t), table(*o, "OrthRotFactPat")), 1e-10);
    EXPECT_LT(maxdiff(mul(tr(t), t), identity(4)), 1e-10);
  }
  EXPECT_LT(maxdiff(table(r, "OrthRotFactPat"), table(zero, "OrthRotFactPat")), 1e-8);
}

// Every oblique solution: pattern = starting pattern x transformation, the
// common part kept, structure and reference axes from the pattern and the
// factor correlations.
TEST(RotatedSolution, ObliqueSolutionsAreConsistent) {
  struct Case {
    const char* options;
    const char* from;  // the pattern the transformation applies to
    const char* transformation;
  } cases[] = {
      {"rotate=quartimin", "FactorPattern", "ObliqueTrans"},
      {"rotate=oblicf(0.8, 0.2)", "FactorPattern", "ObliqueTrans"},
      {"rotate=hk(0.5)", "FactorPattern", "ObliqueTrans"},
      {"rotate=promax", "OrthRotFactPat", "NormObliqueTrans"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const Outcome r = ran(std::string(kTests24) + c.options + "; run;");
    const Mat a = table(r, "FactorPattern");
    const Mat l = table(r, "ObliqueRotFactPat");
    const Mat phi = table(r, "InterFactorCorr");
    ASSERT_EQ(l.size(), 24u);
    ASSERT_EQ(phi.size(), 4u);
    EXPECT_LT(maxdiff(mul(table(r, c.from), table(r, c.transformation)), l), 1e-10);
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
  }
}

TEST(RotatedSolution, EachListEntryRotatesTheUnrotatedSolution) {
  struct Case {
    const char* list;
    const char* table;
    int occurrence;  // of that table among the list's
    const char* alone;
  } cases[] = {{"rotate=varimax, none, quartimin", "ObliqueRotFactPat", 1, "rotate=quartimin"},
               {"rotate=varimax, none, quartimin", "OrthRotFactPat", 1, "rotate=varimax"},
               // Promax's prerotation is kept only when it heads the list.
               {"rotate=quartimin, promax", "ObliqueRotFactPat", 2, "rotate=promax prerotate=none"},
               {"rotate=promax, quartimin", "ObliqueRotFactPat", 1, "rotate=promax"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_LT(maxdiff(table(ran(std::string(kTests24) + c.list + "; run;"), c.table, c.occurrence),
                      table(ran(std::string(kTests24) + c.alone + "; run;"), c.table)),
              1e-10);
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
  const Outcome r = target_step(2, false);
  EXPECT_LT(maxdiff(table(r, "ProcrustesTrans"), m), 1e-10);
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
}

// The weights a rotation used are shown: the standard deviations under
// NORM=COV, and in Harris-Kaiser mode the factor weights c^(power/2), c the
// factors' sums of squares.
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
  const fs::path dir = fs::temp_directory_path() / ("kav_rotstat_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const Outcome r = ran("libname o '" + dir.string() + "';\n" + kPhysical +
                        "rotate=promax outstat=o.stat; run;\n"
                        "proc factor data=o.stat method=principal priors=smc nfactors=2; run;\n");
  const CsvData rows = read_csv(dir / "stat.csv");
  fs::remove_all(dir);
  std::vector<std::string> after;  // the kinds of row after EIGENVAL
  bool seen = false;
  for (const auto& cells : rows.cells) {
    const std::string type = cells.empty() ? "" : cells[0];
    if (seen && (after.empty() || after.back() != type)) after.push_back(type);
    seen |= type == "EIGENVAL";
  }
  EXPECT_EQ(after, (std::vector<std::string>{"UNROTATE", "PRETRANS", "PREROTAT", "TRANSFOR",
                                             "FCORR", "PATTERN", "RCORR", "REFERENC", "STRUCTUR"}));
  // PATTERN holds the pattern one factor per row.
  EXPECT_LT(maxdiff(tr(stat_rows(rows, "PATTERN")), table(r, "ObliqueRotFactPat", 1)), 1e-12);
  // The TYPE=FACTOR data set read back gives the same analysis.
  EXPECT_LT(maxdiff(table(r, "Eigenvalues", 1), table(r, "Eigenvalues", -1)), 1e-12);
}

// ALPHA= asks for the standard errors with their limits, symmetric for the
// pattern of an oblique solution.
TEST(StandardErrors, LimitsOfTheUnrotatedPattern) {
  const Outcome r = ran(std::string(kMl24) + "alpha=0.1 rotate=quartimin; run;");
  const Mat a = table(r, "FactorPattern"), se = stack(r, "FactorPattern", "StdErr");
  const Mat lower = stack(r, "FactorPattern", "L"), upper = stack(r, "FactorPattern", "U");
  const double q = 1.6448536269514722;
  ASSERT_EQ(a.size(), 24u);
  ASSERT_EQ(se.size(), 24u);
  for (std::size_t i = 0; i < 24; ++i)
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_NEAR(lower[i][k], a[i][k] - q * se[i][k], 1e-10);
      EXPECT_NEAR(upper[i][k], a[i][k] + q * se[i][k], 1e-10);
    }
}

TEST(StandardErrors, WhatHasNoStandardErrorsSaysWhy) {
  // NORM=WEIGHT: message 360; the rotated pattern is shown without them,
  // the unrotated one with them.
  const Outcome w = ran(std::string(kMl24) + "stderr rotate=varimax norm=weight; run;");
  EXPECT_TRUE(has_message(w, 360));
  EXPECT_NE(stack_rows(w, "FactorPattern", "StdErr"), nullptr);
  EXPECT_EQ(stack_rows(w, "OrthRotFactPat", "StdErr"), nullptr);
  // Harris-Kaiser: message 359, and nothing left over from the rotation
  // before it in the list.
  const Outcome hk = ran(std::string(kMl24) + "stderr rotate=varimax, hk; run;");
  EXPECT_TRUE(has_message(hk, 359));
  EXPECT_NE(stack_rows(hk, "OrthRotFactPat", "StdErr"), nullptr);
  EXPECT_EQ(stack_rows(hk, "ObliqueRotFactPat", "StdErr"), nullptr);
  // Promax after an oblique prerotation: message 359, the prerotated
  // solution keeps its own.
  const Outcome po = ran(std::string(kMl24) + "stderr prerotate=quartimin rotate=promax; run;");
  EXPECT_TRUE(has_message(po, 359));
  EXPECT_NE(stack_rows(po, "ObliqueRotFactPat", "StdErr"), nullptr);
  EXPECT_FALSE(table(po, "ObliqueRotFactPat", 2).empty());
  EXPECT_EQ(stack_rows(po, "ObliqueRotFactPat", "StdErr", 2), nullptr);
  // Other methods never compute them (the request is dropped with 353).
  const Outcome pf = ran("proc factor data=ref.tests24(type=corr) nfactors=3 stderr; run;");
  EXPECT_TRUE(has_message(pf, 353));
  EXPECT_EQ(stack_rows(pf, "FactorPattern", "StdErr"), nullptr);
}

// r12 r13 / r23 = 1.4: the one-factor fit wants a communality of 1.4 for x1,
// which HEYWOOD holds at 1 and ULTRAHEYWOOD lets through.  Either way the
// solution lies at the boundary of the parameter space, where asymptotic
// standard errors do not hold: a note names x1, and x1 only.
TEST(StandardErrors, ABoundarySolutionIsNotedWithItsVariables) {
  const std::string data =
      "data h(type=corr); input _type_ $ _name_ $ x1 x2 x3; datalines;\n"
      "N . 200 200 200\nCORR x1 1 .8 .7\nCORR x2 .8 1 .4\nCORR x3 .7 .4 1\n;\n"
      "proc factor data=h method=ml nfactors=1 stderr ";
  for (const char* option : {"heywood", "ultraheywood"}) {
    SCOPED_TRACE(option);
    const Outcome r = ran(data + option + "; run;");
    ASSERT_NE(stack_rows(r, "FactorPattern", "StdErr"), nullptr);
    std::string text;
    for (const auto& m : r.results["steps"][1]["log"])
      if (m["group"] == 180 && m["number"] == 368) text = m["text"];
    EXPECT_NE(text.find("x1"), std::string::npos) << r.log;
    EXPECT_EQ(text.find("x2"), std::string::npos);
    EXPECT_EQ(text.find("x3"), std::string::npos);
  }
  // An interior solution gets no such note.
  EXPECT_FALSE(has_message(ran(std::string(kMl24) + "stderr; run;"), 368));
}

TEST(StandardErrors, EachByGroupHasItsOwn) {
  // Raw data of a two-factor model for BY group g.
  auto two_factor_lines = [](int g, int n) {
    std::mt19937_64 rng(12345 + g);
    std::normal_distribution<double> z;
    std::string out;
    for (int k = 0; k < n; ++k) {
      const double f1 = z(rng), f2 = z(rng);
      out += std::to_string(g);
      for (int i = 0; i < 6; ++i)
        out += ' ' + std::to_string((i < 3 ? 0.75 : 0.15 + 0.05 * g) * f1 +
                                    (i < 3 ? 0.1 : 0.65) * f2 + 0.6 * z(rng));
      out += "\n";
    }
    return out;
  };
  // Each group's standard errors, unrotated and after a promax rotation
  // (which chains the prerotation's derivatives), are those of the group
  // analysed alone.
  const std::string head = "data d; input g x1-x6;\ndatalines;\n";
  const std::string step =
      "proc factor data=d method=ml nfactors=2 stderr rotate=promax; var x1-x6;";
  const Outcome both = ran(head + two_factor_lines(1, 120) + two_factor_lines(2, 150) + ";\n" +
                           step + " by g; run;");
  for (int g = 1; g <= 2; ++g) {
    SCOPED_TRACE(g);
    const Outcome alone =
        ran(head + two_factor_lines(g, g == 1 ? 120 : 150) + ";\n" + step + " run;");
    for (const char* name : {"FactorPattern", "ObliqueRotFactPat", "FactorStructure"}) {
      const Mat expect = stack(alone, name, "StdErr");
      ASSERT_FALSE(expect.empty()) << name;
      EXPECT_LT(maxdiff(stack(both, name, "StdErr", g), expect), 1e-12) << name;
    }
  }
}

}  // namespace
