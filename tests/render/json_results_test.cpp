// The JSON results file read back as a program would read it.  (The layout
// of whole documents is checked against the schema by the programs' tests.)
#include "render/json_results.h"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/value.h"
#include "render/destinations.h"
#include "support/matrix_table.h"
#include "support/temp_folder.h"

namespace kav {
namespace {

using nlohmann::json;

struct JsonResults : testing_support::TempFolderTest {
  GraphTemplateRegistry graphs;
  OutputDelivery delivery;
  std::string file = (dir / "results.json").string();
  JsonResults() { install_destination_kinds(delivery, graphs, "9.8.7"); }
  json read() {
    std::ifstream in(file);
    return json::parse(in);
  }
};

TEST_F(JsonResults, ValuesMissingKindsStacksGraphsNotesAndLogs) {
  delivery.top_level_log({{Severity::Note, 1, 4, "before the file was opened", {}}});
  ASSERT_EQ(delivery.open_json(file), "");
  delivery.top_level_log({{Severity::Warning, 1, 5, "outside any step", {}}});
  delivery.begin_step("FACTOR", 12);
  delivery.set_by_values({{"region", std::string("north"), ""}});
  delivery.open_group("InitialSolution", "Initial Factor Method: Principal Components");
  // Values that must come back as the same doubles, then the missing kinds.
  const std::vector<double> values = {
      0.1 + 0.2, 2.0 / 3.0, -1e-300, 5e-324, 1.7976931348623157e308, -0.0, 4503599627370497.0};
  Table ev;
  ev.name = "Eigenvalues";
  ev.link_key = "scree";
  ev.dynamics = {{"_OverallMSA", 0.61}, {"Gone", missing_value()}};
  ev.add_column("Number", ColumnKind::Integer, std::string(""));
  ev.add_column("Eigenvalue", ColumnKind::Number);
  for (double v : values) ev.add_row({1.0, v});
  ev.add_row({2.0, missing_value()});
  ev.add_row({3.0, special_missing('D')});
  delivery.add_table(ev);
  Table pattern = testing_support::labelled_matrix("FactorPattern", 2, 2, {0.8, 0.1, 0.2, 0.7},
                                                   {"x1", "x2"}, {"Factor1", "Factor2"});
  pattern.stacks = {
      {"StdErr", {{0.05, missing_value()}, {special_missing('D'), 0.06}}},
      {"Coverage",
       {{std::string(" 0[]"), std::string("   .")}, {std::string("[*0]"), std::string("0[]*")}}}};
  delivery.add_table(pattern);
  Graph scree;
  scree.name = "ScreePlot";
  scree.template_path = "Stat.Factor.Graphics.ScreePlot1";
  scree.link_keys = {"scree"};
  delivery.add_graph(scree);
  delivery.add_note_lines({"line one", "line two"});
  delivery.end_step(0, 2, {{Severity::Note, 180, 21, "a note of the step", {}}});
  ASSERT_EQ(delivery.close_json(), "");

  const json j = read();
  EXPECT_EQ(j["kav"], "9.8.7");
  EXPECT_EQ(j["log"], json::parse(R"([{"severity": "WARNING", "group": 1, "number": 5,
                                       "text": "outside any step"}])"));
  ASSERT_EQ(j["steps"].size(), 1u);
  const json& step = j["steps"][0];
  EXPECT_EQ(step["line"], 12);
  EXPECT_EQ(step["reason"], 2);
  EXPECT_EQ(step["log"][0]["number"], 21);
  const json& outputs = step["outputs"];
  ASSERT_EQ(outputs.size(), 4u);
  const json& table = outputs[0];
  EXPECT_EQ(table["by"], (json{{"region", "north"}}));
  EXPECT_EQ(table["dynamics"]["_OverallMSA"].get<double>(), 0.61);
  EXPECT_TRUE(table["dynamics"]["Gone"].is_null());
  EXPECT_EQ(table["columns"][0], (json{{"name", "Number"}, {"header", ""}, {"type", "int"}}));
  const json& rows = table["rows"];
  ASSERT_EQ(rows.size(), values.size() + 2);
  EXPECT_TRUE(rows[0][0].is_number_integer());
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(rows[i][1].get<double>()),
              std::bit_cast<std::uint64_t>(values[i]))
        << values[i];
  EXPECT_TRUE(rows[values.size()][1].is_null());
  EXPECT_EQ(rows[values.size() + 1][1], ".D");
  EXPECT_EQ(table["stacks"], json::object());

  const json& matrix = outputs[1];
  EXPECT_EQ(matrix["rows"][0][0], "x1");  // row labels lead each row
  EXPECT_EQ(matrix["rows"][1][2].get<double>(), 0.7);
  EXPECT_EQ(matrix["stacks"]["StdErr"], json::parse(R"([[0.05, null], [".D", 0.06]])"));
  // A text stack is arrays of strings, kept exactly (leading blanks too).
  EXPECT_EQ(matrix["stacks"]["Coverage"], json::parse(R"([[" 0[]", "   ."], ["[*0]", "0[]*"]])"));
  EXPECT_EQ(outputs[2]["type"], "graph");
  EXPECT_EQ(outputs[2]["groups"], json::array({"InitialSolution"}));
  EXPECT_EQ(outputs[2]["tables"], json::array({"Eigenvalues"}));
  EXPECT_EQ(outputs[3]["text"], "line one\nline two");
}

// Steps before the file is opened and excluded objects stay out of it.
TEST_F(JsonResults, OpenedMidRunFilteredBySelectionAndBadPathsReported) {
  auto step = [&](int line, std::vector<std::string> names) {
    delivery.begin_step("FACTOR", line);
    Table t;
    for (const std::string& name : names) {
      t.name = name;
      delivery.add_table(t);
    }
    delivery.end_step(line, 0, {});
  };
  step(1, {"Early"});
  ASSERT_EQ(delivery.open_json(file), "");
  delivery.exclude({"Hidden"});
  step(9, {"Hidden", "Shown"});
  ASSERT_EQ(delivery.close_json(), "");
  const json j = read();
  ASSERT_EQ(j["steps"].size(), 1u);
  EXPECT_EQ(j["steps"][0]["exit_code"], 9);
  ASSERT_EQ(j["steps"][0]["outputs"].size(), 1u);
  EXPECT_EQ(j["steps"][0]["outputs"][0]["name"], "Shown");
  const std::string bad = (dir / "no" / "such" / "r.json").string();
  EXPECT_NE(delivery.open_json(bad).find(bad), std::string::npos);
  EXPECT_FALSE(delivery.destination_open("json"));
}

}  // namespace
}  // namespace kav
