// The JSON results file read back as a program would read it.
#include "render/json_results.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "host/value.h"
#include "render/destinations.h"

namespace kav {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

fs::path fresh_folder(const std::string& name) {
  fs::path dir =
      fs::temp_directory_path() / ("kav_render_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

json read_json(const fs::path& file) {
  std::ifstream in(file);
  return json::parse(in);
}

std::set<std::string> keys(const json& object) {
  std::set<std::string> k;
  for (auto it = object.begin(); it != object.end(); ++it) k.insert(it.key());
  return k;
}

struct JsonRun {
  GraphTemplateRegistry graphs;
  OutputDelivery delivery;
  fs::path file;
  explicit JsonRun(const std::string& name) {
    install_destination_kinds(delivery, graphs, "9.8.7");
    file = fresh_folder(name) / "results.json";
  }
};

TEST(JsonResults, StepTablesGraphsNotesAndLogsFollowTheLayout) {
  JsonRun run("layout");
  run.delivery.top_level_log({{Severity::Note, 1, 4, "before the file was opened", {}}});
  ASSERT_EQ(run.delivery.open_json(run.file.string()), "");
  run.delivery.top_level_log({{Severity::Warning, 1, 5, "outside any step", {}}});

  run.delivery.begin_step("FACTOR", 12);
  run.delivery.set_by_values({{"region", std::string("north"), ""}});
  run.delivery.open_group("InitialSolution", "Initial Factor Method: Principal Components");
  Table ev;
  ev.name = "Eigenvalues";
  ev.label = "Eigenvalues of the Correlation Matrix";
  ev.template_path = "Stat.Factor.Eigenvalues";
  ev.title = {"Eigenvalues: Total = 3"};
  ev.link_key = "scree";
  ev.dynamics = {
      {"_OverallMSA", 0.61}, {"Method", std::string("Principal")}, {"Gone", missing_value()}};
  ev.add_column("Number", ColumnKind::Integer, std::string(""));
  ev.add_column("Eigenvalue", ColumnKind::Number);
  ev.add_column("Kind", ColumnKind::Text);
  ev.add_row({1.0, 0.1 + 0.2, std::string("a")});
  ev.add_row({2.0, missing_value(), std::string("b")});
  ev.add_row({3.0, special_missing('D'), std::string("c")});
  ev.add_row({4.0, 1.0 / 3.0, std::string("d")});
  run.delivery.add_table(ev);

  MatrixSpec spec;
  spec.name = "FactorPattern";
  spec.label = "Factor Pattern";
  spec.template_path = "Stat.Factor.FactorPattern";
  spec.rows = 2;
  spec.columns = 2;
  spec.data = {0.8, 0.1, 0.2, 0.7};
  spec.row_labels = {"x1", "x2"};
  spec.column_labels = {"Factor1", "Factor2"};
  Table pattern = matrix_table(spec);
  pattern.stacks = {
      {"StdErr", {{0.05, missing_value()}, {special_missing('D'), 0.06}}},
      {"Coverage",
       {{std::string(" 0[]"), std::string("   .")}, {std::string("[*0]"), std::string("0[]*")}}}};
  run.delivery.add_table(pattern);

  Graph scree;
  scree.name = "ScreePlot";
  scree.label = "Scree Plot";
  scree.template_path = "Stat.Factor.Graphics.ScreePlot1";
  scree.link_keys = {"scree"};
  run.delivery.add_graph(scree);
  run.delivery.add_note_lines({"line one", "line two"});
  run.delivery.end_step(0, 2, {{Severity::Note, 180, 21, "a note of the step", {}}});
  ASSERT_EQ(run.delivery.close_json(), "");

  const json j = read_json(run.file);
  EXPECT_EQ(keys(j), (std::set<std::string>{"kav", "steps", "log"}));
  EXPECT_EQ(j["kav"], "9.8.7");
  ASSERT_EQ(j["log"].size(), 1u);
  EXPECT_EQ(
      j["log"][0],
      (json{{"severity", "WARNING"}, {"group", 1}, {"number", 5}, {"text", "outside any step"}}));

  ASSERT_EQ(j["steps"].size(), 1u);
  const json& step = j["steps"][0];
  EXPECT_EQ(keys(step),
            (std::set<std::string>{"procedure", "line", "exit_code", "reason", "log", "outputs"}));
  EXPECT_EQ(step["procedure"], "FACTOR");
  EXPECT_EQ(step["line"], 12);
  EXPECT_EQ(step["exit_code"], 0);
  EXPECT_EQ(step["reason"], 2);
  ASSERT_EQ(step["log"].size(), 1u);
  EXPECT_EQ(step["log"][0]["group"], 180);
  EXPECT_EQ(step["log"][0]["number"], 21);
  EXPECT_EQ(step["log"][0]["severity"], "NOTE");

  const json& outputs = step["outputs"];
  ASSERT_EQ(outputs.size(), 4u);
  const json& table = outputs[0];
  EXPECT_EQ(keys(table),
            (std::set<std::string>{"type", "name", "path", "label", "groups", "by", "title",
                                   "footnotes", "dynamics", "columns", "rows", "stacks"}));
  EXPECT_EQ(table["type"], "table");
  EXPECT_EQ(table["name"], "Eigenvalues");
  EXPECT_EQ(table["path"], "Stat.Factor.Eigenvalues");
  EXPECT_EQ(table["groups"], json::array({"InitialSolution"}));
  EXPECT_EQ(table["by"], (json{{"region", "north"}}));
  EXPECT_EQ(table["title"], json::array({"Eigenvalues: Total = 3"}));
  EXPECT_EQ(table["footnotes"], json::array());
  EXPECT_EQ(table["dynamics"]["_OverallMSA"].get<double>(), 0.61);
  EXPECT_EQ(table["dynamics"]["Method"], "Principal");
  EXPECT_TRUE(table["dynamics"]["Gone"].is_null());
  EXPECT_EQ(table["columns"][0], (json{{"name", "Number"}, {"header", ""}, {"type", "int"}}));
  EXPECT_EQ(table["columns"][1]["type"], "num");
  EXPECT_EQ(table["columns"][2]["type"], "char");
  const json& rows = table["rows"];
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(rows[0][0].is_number_integer());
  EXPECT_EQ(rows[0][1].get<double>(), 0.1 + 0.2);  // exactly, not 0.3
  EXPECT_EQ(rows[0][2], "a");
  EXPECT_TRUE(rows[1][1].is_null());
  EXPECT_EQ(rows[2][1], ".D");
  EXPECT_EQ(rows[3][1].get<double>(), 1.0 / 3.0);
  EXPECT_EQ(table["stacks"], json::object());

  const json& matrix = outputs[1];
  EXPECT_EQ(matrix["rows"][0][0], "x1");  // row labels lead each row
  EXPECT_EQ(matrix["rows"][1][2].get<double>(), 0.7);
  EXPECT_EQ(matrix["columns"][2]["name"], "Factor2");
  EXPECT_EQ(matrix["stacks"]["StdErr"], json::parse(R"([[0.05, null], [".D", 0.06]])"));
  // A text stack is arrays of strings, kept exactly (leading blanks too).
  EXPECT_EQ(matrix["stacks"]["Coverage"], json::parse(R"([[" 0[]", "   ."], ["[*0]", "0[]*"]])"));

  const json& graph = outputs[2];
  EXPECT_EQ(graph["type"], "graph");
  EXPECT_EQ(graph["path"], "Stat.Factor.Graphics.ScreePlot1");
  EXPECT_EQ(graph["groups"], json::array({"InitialSolution"}));
  EXPECT_EQ(graph["tables"], json::array({"Eigenvalues"}));

  EXPECT_EQ(outputs[3]["type"], "note");
  EXPECT_EQ(outputs[3]["text"], "line one\nline two");
}

TEST(JsonResults, NumbersReadBackAsTheSameDoubles) {
  JsonRun run("numbers");
  ASSERT_EQ(run.delivery.open_json(run.file.string()), "");
  const std::vector<double> values = {0.1,
                                      2.0 / 3.0,
                                      -1e-300,
                                      5e-324,
                                      1.7976931348623157e308,
                                      123456789.12345679,
                                      0.30000000000000004,
                                      -0.0,
                                      4503599627370497.0};
  run.delivery.begin_step("FACTOR", 1);
  Table t;
  t.name = "Values";
  t.add_column("Value", ColumnKind::Number);
  for (double v : values) t.add_row({v});
  run.delivery.add_table(t);
  run.delivery.end_step(0, 0, {});
  ASSERT_EQ(run.delivery.close_json(), "");

  const json j = read_json(run.file);
  const json& rows = j["steps"][0]["outputs"][0]["rows"];
  ASSERT_EQ(rows.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    double back = rows[i][0].get<double>();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(values[i]))
        << values[i];
  }
}

TEST(JsonResults, OpenedMidRunFilteredBySelectionAndBadPathsReported) {
  JsonRun run("midrun");
  run.delivery.begin_step("FACTOR", 1);
  Table t;
  t.name = "Early";
  run.delivery.add_table(t);
  run.delivery.end_step(0, 0, {});

  ASSERT_EQ(run.delivery.open_json(run.file.string()), "");
  run.delivery.exclude({"Hidden"});
  run.delivery.begin_step("FACTOR", 9);
  t.name = "Hidden";
  run.delivery.add_table(t);
  t.name = "Shown";
  run.delivery.add_table(t);
  run.delivery.end_step(1, 0, {});
  ASSERT_EQ(run.delivery.close_json(), "");

  const json j = read_json(run.file);
  ASSERT_EQ(j["steps"].size(), 1u);
  EXPECT_EQ(j["steps"][0]["line"], 9);
  EXPECT_EQ(j["steps"][0]["exit_code"], 1);
  ASSERT_EQ(j["steps"][0]["outputs"].size(), 1u);
  EXPECT_EQ(j["steps"][0]["outputs"][0]["name"], "Shown");

  const std::string bad = (run.file.parent_path() / "no" / "such" / "dir" / "r.json").string();
  std::string error = run.delivery.open_json(bad);
  EXPECT_NE(error.find(bad), std::string::npos) << error;
  EXPECT_FALSE(run.delivery.destination_open("json"));
}

}  // namespace
}  // namespace kav
