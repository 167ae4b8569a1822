// The OUTSTAT= data set: its variables, their types, lengths and labels,
// the rows each stage writes and their order, the row shapes, and the data
// set read back through the library as TYPE=FACTOR.  The solution arrays of
// COMSTR are filled by hand with small known matrices.
#include "factor/factsta.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "factor/factds.h"
#include "factor/table_fixture.h"
#include "host/library.h"
#include "host/log.h"

namespace kav {
namespace {

using testing_support::TableFixture;

class Outstat : public TableFixture {
 protected:
  DataSetName out;

  void SetUp() override {
    TableFixture::SetUp();
    out.libref = "WORK";
    out.member = "fa";
    com->statfile = &out;
    fopt_set(com, kFoptOutstat);
    fopt_set(com, kFoptKeepCorr);
    com->fmethod = 1;
    com->parpfix_l = 2;
    std::memcpy(com->parpfix, "R_", 2);
  }

  // A 5-variable, 2-factor solution whose every element can be told apart.
  void solution(int p = 5, int nf = 2) {
    std::vector<std::string> names;
    for (int k = 0; k < p; ++k) names.push_back("x" + std::to_string(k + 1));
    variables(names);
    factor_names(nf);
    com->nfact = nf;
    com->datax = factalloc_doubles(com, static_cast<std::uint64_t>(10 * p));
    std::vector<double> mean, std, ones, pattern, packed;
    for (int k = 0; k < p; ++k) {
      mean.push_back(10 + k);
      std.push_back(2 + k);
      ones.push_back(0.5 + 0.01 * k);
    }
    com->vmean = doubles(mean);
    com->vstd = doubles(std);
    com->communal = doubles(ones);
    com->priors = doubles(ones);
    com->eigval = doubles(ones);
    com->wt = doubles(std);
    for (int k = 0; k < nf; ++k)
      for (int i = 0; i < p; ++i) pattern.push_back(0.1 * (i + 1) + k);  // (i, k)
    com->fact = doubles(pattern);
    for (int i = 0; i < p; ++i)
      for (int j = 0; j <= i; ++j) packed.push_back(i == j ? 1 : 0.01 * (10 * i + j));
    com->cor = doubles(packed);
    com->nobs = 100;
    com->sumwt = 100;
  }
  MemoryDataSet read_back() {
    factsend(com);
    auto reader = session.libraries.open_read(out, ValidVarName::V7);
    return read_all(*reader);
  }
  static std::vector<std::string> types(const MemoryDataSet& d, int at) {
    std::vector<std::string> t;
    for (const Observation& o : d.rows) t.push_back(o.str[static_cast<std::size_t>(at)]);
    return t;
  }
};

using Types = std::vector<std::string>;

TEST_F(Outstat, WithoutRotationThePatternIsTheUnrotatedSolution) {
  solution();
  factsmom(com);
  factscrr(com);
  factspos(com);
  factstt(com, 1);
  const MemoryDataSet d = read_back();

  // Attributes and variables.
  EXPECT_EQ(d.header.type, "FACTOR");
  EXPECT_EQ(d.header.label, format_message(kFactorGroup, 157, {}));
  ASSERT_EQ(d.header.vars.size(), 7u);
  const Variable& type = d.header.vars[0];
  const Variable& name = d.header.vars[1];
  EXPECT_EQ(type.name, "_TYPE_");
  EXPECT_EQ(type.kind, VarKind::Character);
  EXPECT_EQ(type.length, 8);
  EXPECT_EQ(type.label, format_message(kFactorGroup, 158, {}));
  EXPECT_EQ(name.name, "_NAME_");
  EXPECT_EQ(name.kind, VarKind::Character);
  EXPECT_EQ(name.length, 8);
  EXPECT_EQ(name.label, format_message(kFactorGroup, 159, {}));
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(d.header.vars[static_cast<std::size_t>(k) + 2].name, "x" + std::to_string(k + 1));
    EXPECT_TRUE(d.header.vars[static_cast<std::size_t>(k) + 2].is_numeric());
  }

  // Rows: no SUMWGT (weights equal counts), no UNROTATE, TRANSFOR or block 15.
  EXPECT_EQ(types(d, 0), (Types{"MEAN", "STD", "N", "CORR", "CORR", "CORR", "CORR", "CORR",
                                "COMMUNAL", "PRIORS", "EIGENVAL", "PATTERN", "PATTERN"}));
  EXPECT_EQ(types(d, 1),
            (Types{"", "", "", "x1", "x2", "x3", "x4", "x5", "", "", "", "Factor1", "Factor2"}));
  EXPECT_EQ(d.rows[0].num[2], 10.0);
  EXPECT_EQ(d.rows[1].num[6], 6.0);
  EXPECT_EQ(d.rows[2].num[4], 100.0);
  // CORR row x4, column x2: element (3, 1) of the packed matrix, seen from either side.
  EXPECT_DOUBLE_EQ(d.rows[6].num[3], 0.31);
  EXPECT_DOUBLE_EQ(d.rows[4].num[5], 0.31);
  // PATTERN row Factor2, column x3: element (2, 1) = 0.3 + 1.
  EXPECT_DOUBLE_EQ(d.rows[12].num[4], 1.3);
  EXPECT_DOUBLE_EQ(d.rows[11].num[2], 0.1);
}

TEST_F(Outstat, OrthogonalRotationWritesTheTransformationButNoObliqueRows) {
  solution();
  fopt_set(com, kFoptRotate);
  fopt_set(com, kFoptScore);
  com->tran = doubles({0.8, -0.6, 0.6, 0.8});
  com->score = doubles(std::vector<double>(10, 0.25));
  com->factse = doubles(std::vector<double>(10, 0.05));
  factsmom(com);
  factscrr(com);
  factspos(com);          // with standard errors of the unrotated pattern
  com->factse = nullptr;  // released before the rotation
  factstt(com, 1);
  const MemoryDataSet d = read_back();
  const Types expected = {"MEAN",     "STD",      "N",        "CORR",     "CORR",     "CORR",
                          "CORR",     "CORR",     "COMMUNAL", "PRIORS",   "EIGENVAL", "UNROTATE",
                          "UNROTATE", "SE_UNROT", "SE_UNROT", "TRANSFOR", "TRANSFOR", "PATTERN",
                          "PATTERN",  "SCORE",    "SCORE"};
  EXPECT_EQ(types(d, 0), expected);
  // Factors x factors: row k is the k-th stored column; the tail is missing.
  const Observation& t2 = d.rows[16];
  EXPECT_EQ(t2.str[1], "Factor2");
  EXPECT_EQ(t2.num[2], 0.6);
  EXPECT_EQ(t2.num[3], 0.8);
  for (std::size_t k = 4; k < 7; ++k) EXPECT_EQ(missing_letter(t2.num[k]), '.') << k;
  EXPECT_EQ(d.rows[13].num[6], 0.05);
}

TEST_F(Outstat, TwoStageRotationWritesThePrerotationBlockThenTheFinalBlock) {
  solution(4, 2);
  fopt_set(com, kFoptRotate);
  fopt_set(com, kFoptOblique);
  fopt_set(com, kFoptScore);
  com->nfc = 2;
  com->tran = doubles({1, 0, 0, 1});
  com->fcor = doubles({1, 0.3, 1});
  com->rcor = doubles({1, -0.3, 1});
  com->struc = doubles(std::vector<double>(8, 0.7));
  com->ref = doubles(std::vector<double>(8, 0.6));
  com->score = doubles(std::vector<double>(8, 0.2));
  factstt(com, 0);
  com->fcorse = doubles({0, 0.1, 0});
  com->factse = doubles(std::vector<double>(8, 0.05));
  com->strucse = doubles(std::vector<double>(8, 0.04));
  factstt(com, 1);
  const MemoryDataSet d = read_back();
  std::vector<std::string> kinds;
  for (const std::string& t : types(d, 0))
    if (kinds.empty() || kinds.back() != t) kinds.push_back(t);
  EXPECT_EQ(kinds, (Types{"PRETRANS", "PREFCORR", "PREROTAT", "PRERCORR", "PREREFER", "PRESTRUC",
                          "PRESCORE", "TRANSFOR", "FCORR", "SE_FCORR", "PATTERN", "SE_PAT", "RCORR",
                          "REFERENC", "STRUCTUR", "SE_STRUC", "SCORE"}));
  EXPECT_EQ(d.rows.size(), 2u * kinds.size());
  // FCORR row Factor1: (1, 0.3) then missing for x3 and x4.
  const Observation& f1 = d.rows[16];
  ASSERT_EQ(f1.str[0], "FCORR");
  EXPECT_EQ(f1.num[2], 1.0);
  EXPECT_EQ(f1.num[3], 0.3);
  EXPECT_TRUE(is_missing(f1.num[4]));
  EXPECT_TRUE(is_missing(f1.num[5]));
}

TEST_F(Outstat, PartialVariablesArePrefixedInColumnsAndNames) {
  variables({"alpha", "a_variable_name_of_thirty_chars", "p1"}, 1);
  factor_names(1);
  com->nfact = 1;
  com->datax = factalloc_doubles(com, 30);
  com->cor = doubles({1, 0.5, 1});
  com->vmean = doubles({1, 2, 3});
  com->vstd = doubles({1, 1, 1});
  com->nobs = 10;
  com->sumwt = 12.5;
  com->noint = 1;
  // min(32, max(8, 8, 31 + 2)).
  EXPECT_EQ(factsnml(com), 32);
  factsmom(com);
  factscrr(com);
  const MemoryDataSet d = read_back();
  ASSERT_EQ(d.header.vars.size(), 4u);
  EXPECT_EQ(d.header.vars[1].length, 32);
  EXPECT_EQ(d.header.vars[2].name, "R_alpha");
  EXPECT_EQ(d.header.vars[3].name, "R_a_variable_name_of_thirty_char");
  EXPECT_EQ(types(d, 0), (Types{"MEAN", "USTD", "N", "SUMWGT", "UCORR", "UCORR"}));
  EXPECT_EQ(types(d, 1)[4], "R_alpha");
  EXPECT_EQ(types(d, 1)[5], "R_a_variable_name_of_thirty_char");
  EXPECT_EQ(d.rows[3].num[3], 12.5);

  // Without partial variables the prefix does not count toward the length.
  com->npar = 0;
  com->maxnam = 7;
  com->fname_l = 12;
  EXPECT_EQ(factsnml(com), 12);
  com->fname_l = 8;
  EXPECT_EQ(factsnml(com), 8);
  com->npar = 1;
  EXPECT_EQ(factsnml(com), 9);
}

TEST_F(Outstat, WeightRowsPriorsAndEigenvaluesFollowTheMethod) {
  solution(3, 1);
  // Weights read with COV are put back on the variables' scale.
  fopt_set(com, kFoptWeight);
  fopt_set(com, kFoptCov);
  com->wt = doubles({8, 12, 0.5});
  com->vstd = doubles({2, 0, 0.5});
  factspos(com);
  // A maximum likelihood fit keeps its weights as they are.
  fopt_clear(com, kFoptWeight);
  com->fmethod = 5;
  factspos(com);
  // An input pattern has no priors or eigenvalues; with no factor there is
  // no communality and no solution block.
  com->fmethod = 10;
  factspos(com);
  com->nfact = 0;
  factspos(com);
  factstt(com, 1);
  const MemoryDataSet d = read_back();
  EXPECT_EQ(types(d, 0), (Types{"COMMUNAL", "PRIORS", "WEIGHT", "EIGENVAL", "COMMUNAL", "PRIORS",
                                "WEIGHT", "EIGENVAL", "COMMUNAL"}));
  EXPECT_EQ(d.rows[2].num[2], 2.0);
  EXPECT_EQ(d.rows[2].num[3], 12.0);
  EXPECT_EQ(d.rows[2].num[4], 2.0);
  EXPECT_EQ(d.rows[6].num[2], 8.0);
}

TEST_F(Outstat, AStepWithoutRowsLeavesAnEmptyDataSet) {
  solution(3, 1);
  const MemoryDataSet d = read_back();
  EXPECT_TRUE(d.rows.empty());
  EXPECT_EQ(d.header.type, "FACTOR");
  EXPECT_EQ(d.header.vars.size(), 5u);
}

TEST_F(Outstat, NothingIsWrittenWithoutTheOption) {
  solution();
  fopt_clear(com, kFoptOutstat);
  factsmom(com);
  factstt(com, 1);
  factsend(com);
  EXPECT_EQ(com->statfid, nullptr);
  EXPECT_FALSE(session.libraries.exists(out));
}

TEST_F(Outstat, ByGroupsCarryTheirValuesAndAFileLibraryReadsItBackAsFactor) {
  // An input data set with a character and a numeric BY variable.
  auto data = std::make_shared<MemoryDataSet>();
  data->header.name = "WORK.IN";
  data->header.vars = {{"g", "Group", VarKind::Character, 3},
                       {"wave", "", VarKind::Numeric, 8},
                       {"x1", "", VarKind::Numeric, 8}};
  const std::pair<const char*, double> keys[] = {{"a", 1.5}, {"a", 1.5}, {"b", -2}};
  for (auto [v, w] : keys) {
    Observation o;
    o.resize(3);
    o.str[0] = v;
    o.num[1] = w;
    o.num[2] = 1;
    data->rows.push_back(o);
  }
  DataSetName in;
  in.libref = "WORK";
  in.member = "in";
  {
    auto w = session.libraries.open_write(in, data->header);
    for (const Observation& o : data->rows) w->write(o);
    w->commit();
  }
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("kav_outstat_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  session.libraries.assign("RES", folder.string());
  out.libref = "RES";
  out.member = "fa";

  solution(2, 1);
  com->datafid = factopen_input(com, in, {ByVariable{"g", false}, ByVariable{"wave", false}});
  while (factbynext(com->datafid) > 0) {
    com->nobs = com->sumwt = com->datafid->group;
    factsmom(com);
  }
  const MemoryDataSet d = read_back();
  std::filesystem::remove_all(folder);
  EXPECT_EQ(d.header.type, "FACTOR");
  ASSERT_EQ(d.header.vars.size(), 6u);
  EXPECT_EQ(d.header.vars[0].name, "g");
  EXPECT_EQ(d.header.vars[0].label, "Group");
  EXPECT_EQ(d.header.vars[0].kind, VarKind::Character);
  EXPECT_EQ(d.header.vars[0].length, 3);
  EXPECT_TRUE(d.header.vars[1].is_numeric());
  EXPECT_EQ(d.header.vars[2].name, "_TYPE_");
  ASSERT_EQ(d.rows.size(), 6u);
  EXPECT_EQ(types(d, 0), (Types{"a", "a", "a", "b", "b", "b"}));
  EXPECT_EQ(types(d, 2), (Types{"MEAN", "STD", "N", "MEAN", "STD", "N"}));
  EXPECT_EQ(d.rows[0].num[1], 1.5);
  EXPECT_EQ(d.rows[5].num[1], -2.0);
  EXPECT_EQ(d.rows[2].num[4], 1.0);
  EXPECT_EQ(d.rows[5].num[5], 2.0);
}

}  // namespace
}  // namespace kav
