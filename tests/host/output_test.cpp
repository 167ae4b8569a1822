// The output delivery layer: template resolution, where objects stand
// (groups, BY groups, paths) and ODS SELECT/EXCLUDE/TRACE/OUTPUT.
#include "host/output.h"

#include <gtest/gtest.h>

#include "host/support/dataset_text.h"
#include "host/value.h"
#include "support/capture_destination.h"
#include "support/matrix_table.h"

namespace kav {
namespace {

using Names = std::vector<std::string>;
using testing_support::cells;
using testing_support::layout;

// Rows built by assignment: GCC 12 warns falsely on initializer lists of variants here.
template <typename... Values>
Row make_row(Values... values) {
  Row row(sizeof...(Values));
  std::size_t at = 0;
  ((row[at++] = values), ...);
  return row;
}

Table small_table(const std::string& name) {
  Table t;
  t.name = name;
  t.label = name + " label";
  t.template_path = "Stat.Test." + name;
  t.add_column("Number", ColumnKind::Integer);
  t.add_column("Value", ColumnKind::Number);
  t.add_row(make_row(1.0, 2.5));
  t.add_row(make_row(2.0, missing_value()));
  return t;
}

// A delivery with one recording destination attached; ODS OUTPUT writes
// through the opener into memory.
struct Fixture {
  OutputDelivery delivery;
  std::vector<OutputObject> objects;
  std::vector<DeliveryProblem> problems;
  Names trace;
  std::map<std::string, std::shared_ptr<MemoryDataSet>> written;
  Fixture() {
    delivery.attach_destination("capture", std::make_unique<testing_support::Capture>(&objects));
    delivery.set_problem_sink([this](const DeliveryProblem& p) { problems.push_back(p); });
    delivery.set_trace_sink([this](const std::string& line) { trace.push_back(line); });
    delivery.set_dataset_opener([this](const std::string& name, DataSetHeader header) {
      auto target = std::make_shared<MemoryDataSet>();
      written[name] = target;
      return open_memory_writer(target, std::move(header));
    });
  }
  Names names() const {
    Names n;
    for (const auto& o : objects) n.push_back(o.name());
    return n;
  }
  // One step delivering `tables`.
  void step(const std::vector<Table>& tables) {
    delivery.begin_step("FACTOR", 1);
    for (const Table& t : tables) delivery.add_table(t);
    delivery.end_step(0, 0, {});
  }
};

TEST(Templates, ColumnSettingsComeFromColumnThenTemplateThenDefaults) {
  TemplateRegistry registry;
  registry.add({"Stat.Test.T",
                {{"Number", std::string(""), std::nullopt, std::nullopt},
                 {"Value", std::string("Estimate"), fixed_format(8, 3), std::nullopt},
                 {"Secret", std::nullopt, std::nullopt, true},
                 {"EstCommunal", std::string("Communality"), fixed_format(6, 2), std::nullopt}},
                {{"_Overall", "Overall MSA", fixed_format(6, 4)}}});
  Table t;
  t.template_path = "stat.test.t";  // paths match in any case
  t.add_column("Number", ColumnKind::Integer);
  t.add_column("Value", ColumnKind::Number, std::string("Own header"));
  t.add_column("Secret", ColumnKind::Number);
  t.add_column("x1", ColumnKind::Number).template_column = "EstCommunal";
  t.add_column("Free", ColumnKind::Number);
  t.add_row(make_row(1.0, 0.5, 7.0, 0.25, -28.7));
  t.dynamics.push_back({"_OVERALL", 0.61234});
  t.dynamics.push_back({"Unshown", 3.0});
  registry.resolve(t);

  EXPECT_EQ(t.columns[0].header_text(), "");
  EXPECT_EQ(t.columns[1].header_text(), "Own header");
  EXPECT_EQ(t.columns[1].format, fixed_format(8, 3));
  EXPECT_TRUE(t.columns[2].is_hidden());
  EXPECT_FALSE(t.columns[1].is_hidden());
  EXPECT_EQ(t.columns[3].header_text(), "Communality");
  EXPECT_EQ(t.columns[3].format, fixed_format(6, 2));
  // No format anywhere: chosen from the largest value / 10 = 2.87.
  EXPECT_EQ(t.columns[4].format, fixed_format(10, 7));
  EXPECT_EQ(t.summary, Names{"Overall MSA = 0.6123"});
  EXPECT_EQ(cell_text(t.rows[0][1], t.columns[1]), "0.500");
  // 10.7 has no room for -28.7 with seven decimals: it gives one up.
  EXPECT_EQ(cell_text(t.rows[0][4], t.columns[4]), "-28.700000");
}

TEST(Matrices, StorageFormsPlaceTheSameElement) {
  // The 3x3 symmetric matrix [[1,2,4],[2,3,5],[4,5,6]] packed and in full.
  const std::vector<double> packed = {1, 2, 3, 4, 5, 6}, full = {1, 2, 4, 2, 3, 5, 4, 5, 6};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double expected = full[static_cast<std::size_t>(i * 3 + j)];
      EXPECT_EQ(matrix_element(packed, MatrixStorage::Symmetric, 3, 3, i, j), expected);
      EXPECT_EQ(matrix_element(full, MatrixStorage::ColumnMajor, 3, 3, i, j), expected);
    }
  // A 2x3 matrix stored by column: (0,2) is the fifth number.
  const std::vector<double> m = {11, 21, 12, 22, 13, 23};
  EXPECT_EQ(matrix_element(m, MatrixStorage::ColumnMajor, 2, 3, 0, 2), 13);
  EXPECT_EQ(matrix_element(m, MatrixStorage::ColumnMajor, 2, 3, 1, 0), 21);
  EXPECT_EQ(matrix_element(m, MatrixStorage::RowMajor, 2, 3, 1, 0), 22);
  EXPECT_TRUE(is_missing(matrix_element(m, MatrixStorage::RowMajor, 2, 3, 5, 5)));
}

TEST(Delivery, ObjectsCarryGroupsByValuesAndPaths) {
  Fixture f;
  f.delivery.begin_step("FACTOR", 12);
  f.delivery.set_by_values({{"region", std::string("north"), ""}});
  f.delivery.open_group("InitialSolution", "Initial Factor Method");
  f.delivery.add_table(small_table("Eigenvalues"));
  f.delivery.close_group();
  f.delivery.set_by_values({{"region", std::string("south"), ""}, {"year", 2020.0, ""}});
  f.delivery.open_group("RotatedSolution", "Rotation Method: Varimax");
  f.delivery.add_table(small_table("OrthTrans"));
  f.delivery.add_note_lines({"a line"});
  f.delivery.end_step(0, 2, {});

  ASSERT_EQ(f.objects.size(), 3u);
  const OutputObject &first = f.objects[0], &second = f.objects[1];
  EXPECT_EQ(first.path, "Factor.ByGroup1.InitialSolution.Eigenvalues");
  EXPECT_EQ(first.groups.at(0).label, "Initial Factor Method");
  EXPECT_EQ(second.path, "Factor.ByGroup2.RotatedSolution.OrthTrans");
  EXPECT_EQ(second.by_group, 2);
  EXPECT_EQ(second.by[1].display(), "year=2020");
  EXPECT_EQ(f.objects[2].kind(), ObjectKind::Note);
}

TEST(Delivery, SelectAndExcludeFilterByNameTemplateOrPathAndTraceNamesAll) {
  Fixture f;
  auto run_step = [&] {
    f.objects.clear();
    f.delivery.begin_step("FACTOR", 1);
    f.delivery.open_group("InitialSolution", "");
    f.delivery.add_table(small_table("Eigenvalues"));
    f.delivery.add_table(small_table("FactorPattern"));
    f.delivery.close_group();
    f.delivery.open_group("RotatedSolution", "");
    f.delivery.add_table(small_table("FactorPattern"));
    f.delivery.add_note_lines({"unnamed note"});
    f.delivery.end_step(0, 0, {});
    return f.names();
  };
  f.delivery.select({"eigenVALUES"});
  EXPECT_EQ(run_step(), (Names{"Eigenvalues"}));
  // A select list holds for one step only.
  EXPECT_EQ(run_step(), (Names{"Eigenvalues", "FactorPattern", "FactorPattern", ""}));
  f.delivery.select({"RotatedSolution.FactorPattern"});
  EXPECT_EQ(run_step(), (Names{"FactorPattern"}));
  EXPECT_EQ(f.objects.empty() ? "" : f.objects[0].groups[0].name, "RotatedSolution");
  f.delivery.exclude({"Stat.Test.FactorPattern"});
  EXPECT_EQ(run_step(), (Names{"Eigenvalues", ""}));
  f.delivery.select({"Eigenvalues"}, /*persist=*/true);
  run_step();
  EXPECT_EQ(run_step(), (Names{"Eigenvalues"}));
  // NONE lasts until ALL; TRACE names every object even so.
  f.delivery.select_none();
  f.delivery.set_trace(true);
  EXPECT_EQ(run_step(), Names{});
  std::string traced;
  for (const auto& l : f.trace) traced += l + "\n";
  for (const char* item :
       {"Eigenvalues label", "Stat.Test.Eigenvalues", "Factor.RotatedSolution.FactorPattern"})
    EXPECT_NE(traced.find(item), std::string::npos) << traced;
  f.trace.clear();
  f.delivery.set_trace(false);
  EXPECT_EQ(run_step(), Names{});
  EXPECT_TRUE(f.trace.empty());
  f.delivery.select_all();
  EXPECT_EQ(run_step().size(), 4u);
}

TEST(OdsOutput, WritesVisibleColumnsAndRowsKeepingMissingKinds) {
  Fixture f;
  f.delivery.select_none();  // printed output silenced: the data set still comes
  f.delivery.request_output("eigenvalues", "work.ev");
  Table t = small_table("Eigenvalues");
  t.add_column("Hidden", ColumnKind::Number).hidden = true;
  t.add_column("Note", ColumnKind::Text, std::string("Remark"));
  t.rows[0].push_back(9.0);
  t.rows[0].push_back(std::string("first"));
  t.rows[1].push_back(9.0);
  t.rows[1].push_back(std::string("the second"));
  t.rows[1][1] = special_missing('D');
  f.step({t, small_table("Other")});

  ASSERT_EQ(f.written.count("work.ev"), 1u);
  const MemoryDataSet& ds = *f.written["work.ev"];
  EXPECT_EQ(ds.header.label, "Eigenvalues label");
  EXPECT_EQ(layout(ds.header), "Number::N8 Value::N8 Note:Remark:C10 ");  // "the second"
  EXPECT_EQ(cells(ds), "1 2.5 first|2 D the second|");
  EXPECT_TRUE(f.problems.empty());
  EXPECT_TRUE(f.objects.empty());
}

TEST(OdsOutput, TablesOfOneNameInAStepAppendWithByVariablesInFront) {
  Fixture f;
  f.delivery.request_output("Eigenvalues", "ev");
  f.delivery.begin_step("FACTOR", 1);
  f.delivery.set_by_values({{"region", std::string("north"), ""}});
  f.delivery.add_table(small_table("Eigenvalues"));
  f.delivery.set_by_values({{"region", std::string("south"), ""}});
  Table wider = small_table("Eigenvalues");
  wider.add_column("Proportion", ColumnKind::Number);
  wider.rows[0].push_back(0.75);
  wider.rows[1].push_back(0.25);
  f.delivery.add_table(wider);
  f.delivery.end_step(0, 0, {});

  // The first table has no Proportion.
  const MemoryDataSet& ds = *f.written.at("ev");
  EXPECT_EQ(cells(ds), "north 1 2.5 .|north 2 . .|south 1 2.5 0.75|south 2 . 0.25|");
  EXPECT_EQ(layout(ds.header).substr(0, 19), "region::C5 Number::");
}

TEST(OdsOutput, StackedValuesBecomeVariablesBesideTheirEstimates) {
  Fixture f;
  f.delivery.request_output("FactorPattern", "pat");
  Table t = testing_support::labelled_matrix("FactorPattern", 2, 2, {0.8, 0.1, -0.2, 0.7},
                                             {"x1", "x2"}, {"Factor1", "Factor2"});
  t.stacks = {
      {"StdErr", {{0.05, 0.06}, {0.07, missing_value()}}},
      {"Coverage",
       {{std::string(" 0[]"), std::string(" [0]")}, {std::string(" []0"), std::string("   .")}}}};
  f.step({t});

  // Each row: estimates, standard errors and coverages of its elements.
  const MemoryDataSet& ds = *f.written.at("pat");
  EXPECT_EQ(cells(ds), "x1 0.8 0.1 0.05 0.06  0[]  [0]|x2 -0.2 0.7 0.07 .  []0    .|");
  EXPECT_EQ(layout(ds.header),
            "Variable::C2 Factor1::N8 Factor2::N8 StdErrFactor1:Factor1 StdErr:N8 "
            "StdErrFactor2:Factor2 StdErr:N8 CoverageFactor1:Factor1 Coverage:C4 "
            "CoverageFactor2:Factor2 Coverage:C4 ");
}

TEST(OdsOutput, UnmatchedRequestWarnsRequestsLastOneStepAndOpenerFailuresAreReported) {
  Fixture f;
  f.delivery.request_output("NoSuchTable", "nothing");
  f.step({small_table("Eigenvalues")});
  ASSERT_EQ(f.problems.size(), 1u);
  EXPECT_EQ(f.problems[0].kind, DeliveryProblem::Kind::OutputNotCreated);
  EXPECT_EQ(f.problems[0].severity, Severity::Warning);
  EXPECT_EQ(f.problems[0].subject, "NoSuchTable");
  EXPECT_TRUE(f.written.empty());
  f.problems.clear();
  f.step({});
  EXPECT_TRUE(f.problems.empty());  // the request did not outlive its step

  f.delivery.request_output("Eigenvalues", "kept", /*persist=*/true);
  for (int step = 0; step < 2; ++step) {
    f.step({small_table("Eigenvalues")});
    EXPECT_EQ(f.written.count("kept"), 1u);
    f.written.clear();
  }

  f.delivery.set_dataset_opener(
      [](const std::string&, DataSetHeader) -> std::unique_ptr<ObsWriter> {
        throw DataError("out.ev", "", "the folder is read-only");
      });
  EXPECT_NO_THROW(f.step({small_table("Eigenvalues")}));
  ASSERT_EQ(f.problems.size(), 1u);
  EXPECT_EQ(f.problems[0].kind, DeliveryProblem::Kind::DataSetWrite);
  EXPECT_NE(f.problems[0].text.find("read-only"), std::string::npos);
}

}  // namespace
}  // namespace kav
