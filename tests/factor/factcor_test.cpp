// The correlation stage of a BY group, run as whole steps with NFACTORS=-1
// (the group stops after its correlations): partial variables against
// regression residuals computed here, the count of removed partial
// variables, and the warnings on observation counts and zero variances.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "cli/run.h"
#include "host/library.h"
#include "host/output.h"
#include "host/session.h"
#include "lang/program.h"
#include "support/capture_destination.h"

namespace kav {
namespace {

struct Step {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  OutputDelivery delivery;
  std::vector<OutputObject> objects;
  Step() {
    register_all_procedures(session.procedures);
    session.output = &delivery;
    delivery.attach_destination("capture", std::make_unique<testing_support::Capture>(&objects));
  }
  void run(const std::string& program) { Interpreter(session).run(program, "t.kav"); }
  const Table* table(const std::string& name) const {
    for (const auto& o : objects)
      if (o.table() && o.table()->name == name) return o.table();
    return nullptr;
  }
  int count(int group, int number) const {
    int n = 0;
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) ++n;
    return n;
  }
  MemoryDataSet data(const std::string& member) {
    DataSetName n;
    n.libref = "WORK";
    n.member = member;
    return read_all(*session.libraries.open_read(n, ValidVarName::V7));
  }
};

const double kData[][6] = {{1, 2, 3, 4, 1, 7},   {2, 1, 4, 3, 2, 5}, {3, 4, 2, 5, 1, 9},
                           {4, 3, 5, 2, 3, 4},   {5, 6, 4, 7, 2, 8}, {6, 5, 7, 6, 4, 6},
                           {7, 8, 6, 9, 3, 11},  {8, 7, 9, 8, 5, 7}, {9, 9, 8, 7, 4, 12},
                           {10, 12, 9, 11, 6, 9}};
constexpr int kRows = 10;

std::string data_step(bool twin) {
  std::string s = "data s; input x1-x4 z w";
  s += twin ? " zz;\n" : ";\n";
  s += "datalines;\n";
  for (const auto& r : kData) {
    for (int j = 0; j < 6; ++j) s += std::to_string(r[j]) + " ";
    if (twin) s += std::to_string(r[4]);  // a copy of z
    s += "\n";
  }
  return s + ";\n";
}

// Residuals of x_j on an intercept, z and w, by the normal equations in
// long double; then their correlations and standard deviations with the
// degrees of freedom n - 3.
struct Residuals {
  long double corr[4][4];
  long double sd[4];
};
Residuals residuals() {
  auto col = [](int j) {
    std::vector<long double> v;
    for (const auto& r : kData) v.push_back(r[j]);
    return v;
  };
  std::vector<long double> one(kRows, 1), z = col(4), w = col(5);
  std::vector<std::vector<long double>> basis = {one, z, w};
  long double g[3][3] = {}, res[4][kRows];
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int i = 0; i < kRows; ++i) g[a][b] += basis[a][i] * basis[b][i];
  for (int j = 0; j < 4; ++j) {
    std::vector<long double> x = col(j);
    long double rhs[3] = {}, m[3][4];
    for (int a = 0; a < 3; ++a)
      for (int i = 0; i < kRows; ++i) rhs[a] += basis[a][i] * x[i];
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) m[a][b] = g[a][b];
      m[a][3] = rhs[a];
    }
    for (int p = 0; p < 3; ++p)  // Gauss-Jordan
      for (int a = 0; a < 3; ++a)
        if (a != p) {
          long double f = m[a][p] / m[p][p];
          for (int b = 0; b < 4; ++b) m[a][b] -= f * m[p][b];
        }
    for (int i = 0; i < kRows; ++i) {
      long double fit = 0;
      for (int a = 0; a < 3; ++a) fit += basis[a][i] * m[a][3] / m[a][a];
      res[j][i] = x[i] - fit;
    }
  }
  Residuals r{};
  for (int a = 0; a < 4; ++a) {
    long double ss = 0;
    for (int i = 0; i < kRows; ++i) ss += res[a][i] * res[a][i];
    r.sd[a] = std::sqrt(ss / (kRows - 3));
    for (int b = 0; b < 4; ++b) {
      long double ab = 0, bb = 0;
      for (int i = 0; i < kRows; ++i) {
        ab += res[a][i] * res[b][i];
        bb += res[b][i] * res[b][i];
      }
      r.corr[a][b] = ab / std::sqrt(ss * bb);
    }
  }
  return r;
}

double num(const Cell& c) {
  return std::get<double>(c);
}

TEST(Factcor, PartialCorrelationsAndDeviationsAreThoseOfRegressionResiduals) {
  Step s;
  s.run(data_step(false) +
        "proc factor data=s simple corr nfactors=-1 outstat=st;\n"
        " var x1-x4; partial z w; run;");
  Residuals want = residuals();
  const Table* pc = s.table("PartialCorr");
  ASSERT_NE(pc, nullptr) << s.log_text.str();
  ASSERT_EQ(pc->rows.size(), 4u);
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      EXPECT_NEAR(num(pc->rows[a][b + 1]), static_cast<double>(want.corr[a][b]), 1e-13)
          << a << "," << b;
  const Table* sd = s.table("CondStdDev");
  ASSERT_NE(sd, nullptr);
  for (int a = 0; a < 4; ++a)
    EXPECT_NEAR(num(sd->rows[a][1]), static_cast<double>(want.sd[a]),
                1e-13 * static_cast<double>(want.sd[a]));
  // The raw correlation table shows all six variables.
  ASSERT_NE(s.table("Corr"), nullptr);
  EXPECT_EQ(s.table("Corr")->rows.size(), 6u);
  // OUTSTAT=: the N row has lost the two partial variables under VARDEF=DF.
  auto st = s.data("st");
  ASSERT_GE(st.rows.size(), 3u);
  EXPECT_EQ(st.rows[2].str[0], "N");
  EXPECT_EQ(st.rows[2].num[2], kRows - 2);
}

TEST(Factcor, TwoIdenticalPartialVariablesRemoveOneDegreeOfFreedom) {
  Step s;
  s.run(data_step(true) +
        "proc factor data=s nfactors=-1 outstat=st;\n"
        " var x1-x4; partial z zz; run;");
  auto st = s.data("st");
  ASSERT_GE(st.rows.size(), 3u) << s.log_text.str();
  EXPECT_EQ(st.rows[2].str[0], "N");
  EXPECT_EQ(st.rows[2].num[2], kRows - 1);
}

TEST(Factcor, WarningsOnCountsAndZeroVariances) {
  // NOBS= below the number of variables: warning 21, status 4 reported as 0.
  Step few;
  few.run(data_step(false) + "proc factor data=s nobs=3 nfactors=-1; var x1-x4; run;");
  EXPECT_EQ(few.count(180, 21), 1) << few.log_text.str();
  EXPECT_EQ(few.session.steps.back().exit_code, 0);

  // An analysis variable that is an exact function of the partial variable:
  // zero conditional deviation and message 24 naming it.
  Step lin;
  lin.run(
      "data u; input x1 x2 x3 z; datalines;\n1 2 3 1\n2 1 5 2\n3 5 3 1\n4 3 7 3\n5 6 5 2\n6 4 9 "
      "4\n;\n"
      "proc factor data=u simple nfactors=-1; var x1-x3; partial z; run;");
  // x3 = 2z + 1 exactly.
  EXPECT_EQ(lin.count(180, 24), 1) << lin.log_text.str();
  const Table* sd = lin.table("CondStdDev");
  ASSERT_NE(sd, nullptr);
  EXPECT_EQ(num(sd->rows[2][1]), 0.0);
}

TEST(Factcor, TheAidsComeFromTheExtensionAndTheStepGoesOn) {
  // Parallel analysis and MAP are fetched after the hand-over; their values
  // are checked in aids_test.cpp.
  for (const char* option : {"parallel", "map"}) {
    SCOPED_TRACE(option);
    Step s;
    s.run(data_step(false) + "proc factor data=s nfactors=" + option + "; var x1-x4; run;");
    EXPECT_EQ(s.count(180, 901), 0) << s.log_text.str();
    EXPECT_EQ(s.count(180, 433), 0) << s.log_text.str();
    EXPECT_EQ(s.session.steps.back().exit_code, 0);
  }
}

TEST(Factcor, NumericByValuesReachOutstatExactly) {
  // BY values with more digits than any printed form keeps.
  std::string program = "data b; input g x1-x3; datalines;\n";
  const char* keys[] = {"0.12345678901234567", "98765.432109876543"};
  for (const char* g : keys)
    for (const auto& r : kData)
      program += std::string(g) + " " + std::to_string(r[0]) + " " + std::to_string(r[1]) + " " +
                 std::to_string(r[3]) + "\n";
  program += ";\nproc factor data=b nfactors=-1 outstat=st; by g; var x1-x3; run;";
  Step s;
  s.run(program);
  auto st = s.data("st");
  ASSERT_FALSE(st.rows.empty()) << s.log_text.str();
  ASSERT_EQ(st.header.vars[0].name, "g");
  EXPECT_EQ(st.rows.front().num[0], 0.12345678901234567);
  EXPECT_EQ(st.rows.back().num[0], 98765.432109876543);
}

}  // namespace
}  // namespace kav
