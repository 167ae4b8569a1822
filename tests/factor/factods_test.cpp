// The procedure's table writers: statuses of the output layer, titles and
// their cut, the result groups, the Eigenvalues rules, the NObs rows with the
// special missing value naming the input, the iteration history, one-call
// vectors and matrices, and the templates the tables are resolved against.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "factor/factmp.h"
#include "factor/table_fixture.h"
#include "factor/zacorrn.h"
#include "host/format.h"
#include "host/host_messages.h"
#include "host/log.h"
#include "render/json_results.h"
#include "render/listing.h"

namespace kav {
namespace {

using testing_support::TableFixture;

class Writers : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    variables({"x1", "x2", "x3", "x4"});
    factor_names(2);
  }
  std::vector<std::string> column_names(const Table& t) {
    std::vector<std::string> out;
    for (const Column& c : t.columns) out.push_back(c.name);
    return out;
  }
  std::vector<std::string> labels(const Table& t) {
    std::vector<std::string> out;
    for (const Row& r : t.rows) out.push_back(std::get<std::string>(r[0]));
    return out;
  }
  static std::string msg(int number, const std::vector<std::string>& args = {}) {
    return format_message(kFactorGroup, number, args);
  }
};

using Names = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Statuses and titles

TEST_F(Writers, OnlyTheToleratedFailureStatusLetsTheStepGoOn) {
  EXPECT_EQ(zodsexit(com, 0), 0);
  EXPECT_EQ(zodsexit(com, 7), 7);
  EXPECT_EQ(zodsexit(com, odsstatus(63, 53)), 0);
  EXPECT_EQ(com->rc, 0);
  EXPECT_FALSE(logged(kHostGroup, msg::kOdsError));
  // Same code in another facility, or another code in facility 63: fatal.
  for (int status : {odsstatus(62, 53), odsstatus(63, 54), -1}) {
    com->rc = 0;
    EXPECT_EQ(exit_code([&] { zodsexit(com, status); }), kRcOutput) << status;
    EXPECT_EQ(com->rc, kRcOutput);
  }
  EXPECT_TRUE(logged(kHostGroup, msg::kOdsError));
}

TEST_F(Writers, TitlesLongerThan119CharactersAreCutWithANote) {
  const std::string fits = factitle(com, kMsgEigenTitle, {"1", "2", "3", "short"});
  EXPECT_EQ(fits, msg(kMsgEigenTitle, {"1", "2", "3", "short"}));
  EXPECT_FALSE(logged(kFactorGroup, kMsgTitleCut));
  const std::string long_text(200, 'e');
  const std::string cut = factitle(com, kMsgEigenTitle, {"1", "2", "3", long_text});
  EXPECT_EQ(cut.size(), 119u);
  EXPECT_EQ(cut, msg(kMsgEigenTitle, {"1", "2", "3", long_text}).substr(0, 119));
  EXPECT_EQ(std::string(com->title), cut);
  EXPECT_TRUE(logged(kFactorGroup, kMsgTitleCut));
}

// ---------------------------------------------------------------------------
// Groups

TEST_F(Writers, SolutionsAreGroupedAndEachGroupClosesThePrevious) {
  com->fmethod = 1;
  com->priortyp = 5;
  factoig(com);
  factsis(com);  // nothing without statistics
  com->vmean = doubles({1, 2, 3, 4});
  com->vstd = doubles({1, 1, 1, 1});
  factsis(com);
  factoir(com, -1, kMsgMethodFirst + 4, 0, {});
  factv3t(com, 'F', 2, doubles({1, 2}), "Weight", nullptr, nullptr, nullptr, nullptr,
          "FactorWeightRotate", 0, nullptr, "", nullptr);
  factoir(com, 1, kMsgEigenTitle, 4, {"1", "2", "3", "Varimax"});
  factv3t(com, 'V', 4, doubles({1, 2, 3, 4}), "Weight", nullptr, nullptr, nullptr, nullptr,
          "VarWeightRotate", 0, nullptr, "", nullptr);
  ASSERT_EQ(objects.size(), 3u);
  ASSERT_EQ(objects[0].groups.size(), 1u);
  EXPECT_EQ(objects[0].groups[0].name, "InitialSolution");
  EXPECT_EQ(objects[0].groups[0].label, msg(kMsgInitialSolution, {msg(kMsgMethodComponents)}));
  ASSERT_EQ(objects[1].groups.size(), 1u);
  EXPECT_EQ(objects[1].groups[0].name, "PrerotatedSolution");
  EXPECT_EQ(objects[1].groups[0].label,
            msg(kMsgPrerotatedSolution, {msg(kMsgMethodFirst + 4)}));
  ASSERT_EQ(objects[2].groups.size(), 1u);
  EXPECT_EQ(objects[2].groups[0].name, "RotatedSolution");
  EXPECT_EQ(objects[2].groups[0].label,
            msg(kMsgRotatedSolution, {msg(kMsgEigenTitle, {"1", "2", "3", "Varimax"})}));
  EXPECT_EQ(objects[2].path, "Factor.RotatedSolution.VarWeightRotate");

  // Principal factors (other priors) and maximum likelihood name their method.
  com->priortyp = 1;
  factoig(com);
  factsis(com);
  EXPECT_EQ(objects.back().groups[0].label, msg(kMsgInitialSolution, {msg(kMsgMethodFirst)}));
  com->fmethod = 5;
  factoig(com);
  factsis(com);
  EXPECT_EQ(objects.back().groups[0].label, msg(kMsgInitialSolution, {msg(kMsgMethodFirst + 4)}));
}

// ---------------------------------------------------------------------------
// Eigenvalues

TEST_F(Writers, EigenvaluesWithDifferencesSharesAndTitle) {
  com->eigval = doubles({2.5, 1.0, 0.4, 0.1});
  factevt(com, msg(67), 4);
  const Table* t = table("Eigenvalues");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(column_names(*t),
            (Names{"Number", "Eigenvalue", "Difference", "Proportion", "Cumulative"}));
  EXPECT_EQ(t->title[0], msg(kMsgEigenTitle, {"4", "1", "4", msg(67)}));
  EXPECT_EQ(num(*t, 0, "Number"), 1.0);
  EXPECT_DOUBLE_EQ(num(*t, 0, "Difference"), 1.5);
  EXPECT_DOUBLE_EQ(num(*t, 2, "Difference"), 0.3);
  EXPECT_EQ(missing_letter(num(*t, 3, "Difference")), '.');
  EXPECT_DOUBLE_EQ(num(*t, 1, "Proportion"), 0.25);
  EXPECT_DOUBLE_EQ(num(*t, 2, "Cumulative"), 0.975);
  EXPECT_DOUBLE_EQ(num(*t, 3, "Cumulative"), 1.0);
  // Formats: eigenvalues from the largest over ten, shares from the template.
  EXPECT_EQ(t->columns[1].format, choose_format(0.25, 10));
  EXPECT_EQ(shown(*t, 1, "Proportion"), "0.2500");
  EXPECT_EQ(shown(*t, 0, "Number"), "1");
}

TEST_F(Writers, AMissingEigenvalueLeavesItsRowOutOfTheShares) {
  com->eigval = doubles({2, missing_value(), 1, 0.5});
  factevt(com, "Eigenvalues", 4);
  const Table* t = table("Eigenvalues");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->title[0], msg(kMsgEigenTitle, {"3.5", factnum(3.5 / 3), "4", "Eigenvalues"}));
  EXPECT_EQ(missing_letter(num(*t, 0, "Difference")), '.');
  EXPECT_EQ(missing_letter(num(*t, 1, "Eigenvalue")), '_');
  EXPECT_EQ(missing_letter(num(*t, 1, "Difference")), '_');
  EXPECT_EQ(missing_letter(num(*t, 1, "Proportion")), '.');
  EXPECT_EQ(missing_letter(num(*t, 1, "Cumulative")), '.');
  EXPECT_DOUBLE_EQ(num(*t, 2, "Difference"), 0.5);
  EXPECT_DOUBLE_EQ(num(*t, 2, "Cumulative"), 3 / 3.5);
  EXPECT_DOUBLE_EQ(num(*t, 3, "Cumulative"), 1.0);
}

TEST_F(Writers, ANegligibleTotalDropsTheShares) {
  variables({"a", "b", "c"});
  // A total lost in rounding against the largest eigenvalue counts as 0.
  com->eigval = doubles({1, -1, 1e-15});
  factevt(com, "Eigenvalues", 3);
  const Table* t = table("Eigenvalues");
  EXPECT_EQ(column_names(*t), (Names{"Number", "Eigenvalue", "Difference"}));
  EXPECT_EQ(t->title[0], msg(kMsgEigenTitle, {"0", "0", "3", "Eigenvalues"}));
  // A small total that survives still gives no meaningful shares.
  com->eigval = doubles({1, -1, 1e-9});
  factevt(com, "Eigenvalues", 3);
  t = table("Eigenvalues");
  EXPECT_EQ(column_names(*t), (Names{"Number", "Eigenvalue", "Difference"}));
  EXPECT_EQ(t->title[0],
            msg(kMsgEigenTitle, {factnum(1e-9), factnum(1e-9 / 3), "3", "Eigenvalues"}));
  com->eigval = doubles({2, -1, 0.5});
  factevt(com, "Eigenvalues", 3);
  EXPECT_EQ(column_names(*table("Eigenvalues")).size(), 5u);

  com->eigval = doubles({missing_value(), missing_value(), missing_value()});
  factevt(com, "Eigenvalues", 3);
  t = table("Eigenvalues");
  EXPECT_EQ(t->title[0], msg(kMsgEigenTitleNone, {"3", "Eigenvalues", "0"}));
  EXPECT_EQ(column_names(*t), (Names{"Number", "Eigenvalue", "Difference"}));
}

TEST_F(Writers, EigenvaluesFeedTheScreeGraphOnlyWhenItIsDrawn) {
  com->eigval = doubles({2, 1, 0.5, 0.5});
  factevt(com, "Eigenvalues", 4);
  EXPECT_TRUE(table("Eigenvalues")->link_key.empty());
  com->graphics = 1;
  fopt_set(com, kFoptPlotScree);
  factevt(com, "Eigenvalues", 4);
  EXPECT_FALSE(table("Eigenvalues")->link_key.empty());
  EXPECT_EQ(table("Eigenvalues")->link_key, std::string(com->scree_path));
}

// ---------------------------------------------------------------------------
// NObs

TEST_F(Writers, RawDataRowsWithFrequenciesWeightsAndNobs) {
  fopt_set(com, kFoptRawData);
  step->freqno = 3;
  step->weightno = 4;
  com->usernobs = 50;
  com->nobs = 96;
  NOBSTR c;
  c.NObsRead = 100;
  c.NObsUsed = 96;
  c.SumFreqsRead = 210;
  c.SumFreqsUsed = 200;
  c.SumWeightsRead = 33.5;
  c.SumWeightsUsed = 31.25;
  factnob(com, &c);
  const Table* t = table("NObs");
  ASSERT_NE(t, nullptr);
  const std::vector<int> numbers = {285, 279, 280, 281, 282, 283, 284, 287, 288};
  ASSERT_EQ(t->rows.size(), numbers.size());
  for (std::size_t r = 0; r < numbers.size(); ++r) EXPECT_EQ(text(*t, r, "Label"), msg(numbers[r]));
  EXPECT_EQ(missing_letter(num(*t, 0, "N")), 'D');
  EXPECT_EQ(t->footnotes, (Names{msg(938, {"D"})}));
  const std::vector<double> values = {100, 96, 210, 200, 33.5, 31.25, 50, 50};
  for (std::size_t r = 1; r < numbers.size(); ++r) EXPECT_EQ(num(*t, r, "N"), values[r - 1]);
  EXPECT_EQ(column_names(*t),
            (Names{"Label", "N", "NRecRead", "NRecUsed", "SumFreqsRead", "SumFreqsUsed",
                   "SumWeightsRead", "SumWeightsUsed", "NObsProcStmt", "NSigTests"}));
  for (std::size_t r = 0; r < t->rows.size(); ++r) {
    EXPECT_EQ(num(*t, r, "SumWeightsUsed"), 31.25);
    EXPECT_EQ(num(*t, r, "NSigTests"), 50.0);
  }
  for (std::size_t k = 2; k < t->columns.size(); ++k) EXPECT_TRUE(t->columns[k].is_hidden());
  EXPECT_FALSE(t->columns[1].is_hidden());
  std::size_t longest = 0;
  for (int n : numbers) longest = std::max(longest, msg(n).size());
  ASSERT_FALSE(t->dynamics.empty());
  EXPECT_EQ(t->dynamics[0].name, "LabelWidth");
  EXPECT_EQ(std::get<double>(t->dynamics[0].value), static_cast<double>(longest));
}

TEST_F(Writers, SpecialDataSetsNameTheirTypeInTheFirstRow) {
  const std::pair<const char*, char> kinds[] = {{"CORR", 'R'}, {"COV", 'C'},    {"UCORR", 'O'},
                                                {"UCOV", 'V'}, {"FACTOR", 'F'}, {"SSCP", 'S'},
                                                {"ACE", 'A'},  {"EST", 'E'},    {"OTHER", 'U'}};
  com->usernobs = missing_value();
  com->nobs = 40;
  for (auto [type, letter] : kinds) {
    std::memset(com->dstype, ' ', sizeof(char8));
    std::memcpy(com->dstype, type, std::strlen(type));
    factnob(com, nullptr);
    const Table* t = table("NObs");
    EXPECT_EQ(missing_letter(num(*t, 0, "N")), letter) << type;
    EXPECT_EQ(t->footnotes, (Names{msg(939, {std::string(1, letter), type})})) << type;
    ASSERT_EQ(t->rows.size(), 3u);
    EXPECT_EQ(text(*t, 1, "Label"), msg(286));
    EXPECT_EQ(num(*t, 1, "N"), 40.0);
    EXPECT_EQ(text(*t, 2, "Label"), msg(288));
    EXPECT_EQ(column_names(*t), (Names{"Label", "N", "NDataSet", "NSigTests"}));
  }
  com->usernobs = 25;
  factnob(com, nullptr);
  const Table* t = table("NObs");
  EXPECT_EQ(text(*t, 1, "Label"), msg(287));
  EXPECT_EQ(num(*t, 2, "N"), 25.0);
  EXPECT_EQ(column_names(*t), (Names{"Label", "N", "NObsProcStmt", "NSigTests"}));
}

// ---------------------------------------------------------------------------
// Iteration history

TEST_F(Writers, IterationHistoryOfEachKindAndTheConvergenceStatus) {
  double c1[] = {0.5, 0.6, 0.7, 0.8};
  double c2[] = {0.55, 0.65, 0.75, 0.85};
  facthis(com, 2);
  for (int i = 1; i <= 20; ++i) {  // more rows than the first buffer holds
    FACTHISROW row{i, i + 1, 1.0 / i, 0.01 * i, 0.1 / i, i % 2 ? c1 : c2};
    facthis(com, 0, &row);
  }
  facthis(com, 3);
  const Table* t = table("IterHistory");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(column_names(*t), (Names{"Iteration", "Evaluations", "Criterion", "Ridge", "Change",
                                     "x1", "x2", "x3", "x4"}));
  ASSERT_EQ(t->rows.size(), 20u);
  EXPECT_EQ(num(*t, 19, "Iteration"), 20.0);
  EXPECT_DOUBLE_EQ(num(*t, 3, "Criterion"), 0.25);
  EXPECT_DOUBLE_EQ(num(*t, 1, "x3"), 0.75);
  EXPECT_EQ(t->columns[5].template_column, "EstCommunal");
  EXPECT_EQ(shown(*t, 0, "x1"), "0.50000");
  EXPECT_EQ(com->ithis, nullptr);

  facthis(com, 1);
  FACTHISROW row{1, 0, 0, 0, 0.02, c1};
  facthis(com, 0, &row);
  facthis(com, 3);
  t = table("IterHistory");
  EXPECT_EQ(column_names(*t), (Names{"Iteration", "Change", "x1", "x2", "x3", "x4"}));

  com->iterrc = 3;
  com->ReasonConvStat = 73;
  facthis(com, 4);
  t = table("ConvergenceStatus");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(num(*t, 0, "Status"), 3.0);
  EXPECT_EQ(text(*t, 0, "Reason"), msg(73));

  EXPECT_EQ(exit_code([&] { facthis(com, 5); }), kExitInternal);
}

// ---------------------------------------------------------------------------
// One-call vectors and matrices

TEST_F(Writers, OneCallWritersByMode) {
  const double* v = doubles({0.7, 0.8, 0.9, 0.6});
  factpm2(com, 0.75, 5, "SamplingAdequacy", 0, msg(14, {"0.75"}), v, "rf", 10, 1, 'N', 4, 'V',
          "Stat.Factor.SamplingAdequacy", "_OverallMSA");
  const Table* t = table("SamplingAdequacy");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(labels(*t), (Names{"x1", "x2", "x3", "x4"}));
  ASSERT_EQ(t->dynamics.size(), 1u);
  EXPECT_EQ(t->dynamics[0].name, "_OverallMSA");
  EXPECT_EQ(std::get<double>(t->dynamics[0].value), 0.75);
  // The title states the overall MSA; no summary line repeats it.
  EXPECT_EQ(t->title, (Names{msg(14, {"0.75"})}));
  EXPECT_TRUE(t->summary.empty());
  EXPECT_EQ(shown(*t, 2, "Column1"), "0.90000");

  // Both label kinds from the name arrays, column-major storage.
  factpm2(com, 0, 3, "StdScoreCoef", 0, "", doubles({1, 2, 3, 4, 5, 6, 7, 8}), "cf", 10, 2, 'F', 4,
          'V', "Stat.Factor.StdScoreCoef", nullptr);
  t = table("StdScoreCoef");
  EXPECT_EQ(column_names(*t), (Names{"Variable", "Factor1", "Factor2"}));
  EXPECT_EQ(std::get<double>(t->rows[2][2]), 7.0);

  // Copied labels, columns only; a packed matrix.
  factpma(com, 0, 2, "ImageCov", 0, "", doubles({1, 2, 3}), "sf", 0, 2, {"a", "b"}, 2, {}, nullptr,
          nullptr);
  t = table("ImageCov");
  EXPECT_EQ(t->template_path, "Stat.Factor.ImageCov");
  EXPECT_EQ(column_names(*t), (Names{"Variable", "a", "b"}));
  EXPECT_EQ(std::get<double>(t->rows[0][2]), 2.0);

  for (int mode : {4, 6, -1})
    EXPECT_EQ(exit_code([&] {
                factpma(com, 0, mode, "X", 0, "", v, "rf", 10, 1, {}, 4, {}, nullptr, nullptr);
              }),
              kExitInternal)
        << mode;
}

TEST_F(Writers, ThreeColumnTablesAndWeightedCommunalities) {
  const double* w = doubles({2.0, 1.5});
  const double* u = doubles({1.8, 1.2});
  factv3t(com, 'F', 2, w, "Weighted", u, "Unweighted", nullptr, nullptr, "VarExplainWgt", 0,
          "VarExplainHead", msg(46, {"Weighted"}), nullptr);
  const Table* t = table("VarExplainWgt");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(column_names(*t), (Names{"Factor", "Weighted", "Unweighted"}));
  EXPECT_EQ(labels(*t), (Names{"Factor1", "Factor2"}));
  EXPECT_EQ(t->title, (Names{msg(46, {"Weighted"})}));

  com->communal = doubles({0.5, 0.25, 0.75, 0.5});
  com->wt = doubles({2, 1.3333, 4, 1e12});
  factfct(com, 7.5);
  t = table("FinalCommunWgt");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->title, (Names{msg(kMsgFinalCommunWgt), msg(kMsgTotalCommunal, {"7.5", "2"})}));
  // A huge weight does not decide the weights' format on its own.
  EXPECT_EQ(t->columns[2].format, choose_format(1e7, 10));
  EXPECT_EQ(shown(*t, 1, "Communality"), "0.25000");
}

TEST_F(Writers, NoprintLeavesEveryWriterSilent) {
  fopt_set(com, kFoptNoprint);
  factoin(com);
  EXPECT_EQ(com->ods, nullptr);
  com->eigval = doubles({1, 1, 1, 1});
  factevt(com, "Eigenvalues", 4);
  factoig(com);
  factnob(com, nullptr);
  facthis(com, 1);
  facthis(com, 3);
  factpm2(com, 0, 1, "X", 0, "", com->eigval, "rf", 10, 1, 'N', 4, 'V', nullptr, nullptr);
  EXPECT_TRUE(objects.empty());
}

// ---------------------------------------------------------------------------
// How the tables read

TEST_F(Writers, ListingShowsRoundedValuesWithFlagsAndHidesTheOriginals) {
  fopt_set(com, kFoptRound);
  com->flag = 0.4;
  com->fact = doubles({0.81, -0.004, 0.35, -0.62, 0.1, 0.2, 0.3, 0.4});
  factm2(com, 'C', com->fact, nullptr, 4, 2, 'V', 'F', 0, 0, "FactorPattern",
         "Stat.Factor.FactorPattern", 1);
  const Table* t = table("FactorPattern");
  ASSERT_NE(t, nullptr);
  const std::vector<std::string> lines = listing_table_lines(*t, 120);
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  EXPECT_NE(all.find("Factor1"), std::string::npos) << all;
  // Each rounded value is followed on its line by its flag, if any.
  auto line_of = [&](const std::string& name) {
    for (const std::string& l : lines)
      if (l.find(" " + name + " ") != std::string::npos) return l;
    return std::string();
  };
  const std::string x1 = line_of("x1"), x2 = line_of("x2"), x4 = line_of("x4");
  EXPECT_LT(x1.find("81"), x1.find('*')) << all;
  EXPECT_LT(x4.find("-62"), x4.find('*')) << all;
  EXPECT_EQ(x2.find('*'), std::string::npos) << all;
  EXPECT_EQ(all.find("0.81"), std::string::npos) << all;  // originals hidden
  EXPECT_EQ(all.find("-0 "), std::string::npos) << all;
  EXPECT_EQ(all.find("RoundFuzzVal"), std::string::npos) << all;
}

TEST_F(Writers, ListingAndJsonOfNobsAndEigenvalues) {
  fopt_set(com, kFoptRawData);
  com->nobs = 96;
  NOBSTR c;
  c.NObsRead = 100;
  c.NObsUsed = 96;
  factnob(com, &c);
  com->eigval = doubles({2.5, 1.0, 0.4, 0.1});
  factevt(com, msg(67), 4);

  const Table* n = table("NObs");
  std::string text;
  for (const std::string& l : listing_table_lines(*n, 120)) text += l + "\n";
  EXPECT_NE(text.find(msg(279)), std::string::npos) << text;
  EXPECT_NE(text.find("D"), std::string::npos) << text;
  EXPECT_EQ(text.find("NRecRead"), std::string::npos) << text;  // hidden
  const auto nj = object_json(*object("NObs"));
  EXPECT_EQ(nj["rows"][0][1], ".D");
  EXPECT_EQ(nj["rows"][1][1], 100);

  const Table* e = table("Eigenvalues");
  text.clear();
  for (const std::string& l : listing_table_lines(*e, 120)) text += l + "\n";
  for (const char* header : {"Eigenvalue", "Difference", "Proportion", "Cumulative"})
    EXPECT_NE(text.find(header), std::string::npos) << header << "\n" << text;
  EXPECT_NE(text.find("0.6250"), std::string::npos) << text;
  EXPECT_NE(text.find("0.9750"), std::string::npos) << text;
  const auto ej = object_json(*object("Eigenvalues"));
  EXPECT_EQ(ej["rows"][1][3], 0.25);
}

TEST_F(Writers, JsonKeepsTheUnroundedValuesAndTheStandardErrorStacks) {
  fopt_set(com, kFoptRound);
  com->fact = doubles({-0.006, 0.81234567, 0.5, 0.25});
  factm2(com, 'C', com->fact, nullptr, 4, 1, 'V', 'F', 0, 0, "FactorPattern",
         "Stat.Factor.FactorPattern", 1);
  auto j = object_json(*object("FactorPattern"));
  // Columns: Variable, RFactor1, FgFactor1, Factor1 (the original, hidden).
  EXPECT_EQ(j["rows"][1][3], 0.81234567);
  EXPECT_EQ(j["rows"][0][3], -0.006);

  com->hypval = 0.3;
  com->factse = doubles({0.1, 0.1, 0.1, 0.1});
  factm2(com, 'C', com->fact, com->factse, 4, 1, 'V', 'F', 0, 0, "FactorPattern",
         "Stat.Factor.FactorPattern", 1);
  j = object_json(*object("FactorPattern"));
  EXPECT_EQ(j["rows"][1][1], 0.81234567);
  EXPECT_EQ(j["stacks"]["StdErr"][1][0], 0.1);
  EXPECT_TRUE(j["stacks"].contains("T"));
  EXPECT_TRUE(j["stacks"].contains("P"));
  EXPECT_FALSE(j["stacks"].contains("Coverage"));

  // Confidence limits bring the coverage displays, as strings per element.
  com->hypval = missing_value();
  com->alpha = 0.05;
  com->factse = doubles({0.1, 0.1, missing_value(), 0.1});
  factm2(com, 'C', com->fact, com->factse, 4, 1, 'V', 'F', 0, 0, "FactorPattern",
         "Stat.Factor.FactorPattern", 1);
  j = object_json(*object("FactorPattern"));
  EXPECT_EQ(j["stacks"]["Coverage"],
            nlohmann::ordered_json::parse(R"([[" [0]"], [" 0[]"], ["   ."], [" 0[]"]])"));
  EXPECT_TRUE(j["stacks"]["L"][0][0].is_number());
  EXPECT_EQ(j["columns"].size(), 2u);  // Variable and Factor1: no coverage columns
}

}  // namespace
}  // namespace kav
