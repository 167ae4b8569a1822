// Every program in tests/programs runs through kav with JSON and HTML
// results; the JSON must have the documented layout, and each program's own
// expectations are checked on what it produced.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/run.h"
#include "programs/support/results_schema.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct ProgramResult {
  int status = -1;
  std::string listing, log;
  json results;
};

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

ProgramResult run(const fs::path& program) {
  // Tests of this file may run side by side, each in its own process.
  fs::path out = fs::temp_directory_path() /
                 ("kav_prog_" + std::to_string(::getpid()) + "_" + program.stem().string());
  fs::remove_all(out);
  fs::create_directories(out);
  std::ostringstream listing, log;
  kav::RunOptions opts;
  opts.work = ":memory:";
  opts.json = (out / "r.json").string();
  opts.html = (out / "r.html").string();
  opts.listing_stream = &listing;
  opts.log_stream = &log;
  ProgramResult r;
  r.status = kav::run_program(slurp(program), program.string(), opts);
  r.listing = listing.str();
  r.log = log.str();
  r.results = json::parse(slurp(out / "r.json"));
  fs::remove_all(out);
  return r;
}

std::vector<fs::path> programs() {
  std::vector<fs::path> v;
  for (const auto& e : fs::directory_iterator(fs::path(KAV_SOURCE_DIR) / "tests" / "programs"))
    if (e.path().extension() == ".kav") v.push_back(e.path());
  std::sort(v.begin(), v.end());
  return v;
}

const json* find_table(const json& step, const std::string& name, int occurrence = 1) {
  for (const auto& o : step["outputs"])
    if (o["type"] == "table" && o["name"] == name && --occurrence == 0) return &o;
  return nullptr;
}

TEST(Programs, EveryProgramWritesResultsOfTheDocumentedLayout) {
  auto list = programs();
  ASSERT_GE(list.size(), 3u);
  for (const auto& p : list) {
    ProgramResult r = run(p);
    auto problems = kav::testing_support::results_schema_problems(r.results);
    EXPECT_TRUE(problems.empty()) << p << ":\n"
                                  << [&] {
                                       std::string s;
                                       for (const auto& x : problems) s += "  " + x + "\n";
                                       return s;
                                     }();
  }
}

TEST(Programs, SchemaCheckCatchesBrokenDocuments) {
  // The checker itself must see damage, or the test above proves nothing.
  json good = run(fs::path(KAV_SOURCE_DIR) / "tests/programs/data_entry.kav").results;
  ASSERT_TRUE(kav::testing_support::results_schema_problems(good).empty());
  auto broken = good;
  broken["steps"][3]["outputs"][0]["rows"][0].push_back(1);
  EXPECT_FALSE(kav::testing_support::results_schema_problems(broken).empty());
  broken = good;
  broken["steps"][0].erase("exit_code");
  EXPECT_FALSE(kav::testing_support::results_schema_problems(broken).empty());
  broken = good;
  broken["steps"][0]["log"][0]["severity"] = "INFO";
  EXPECT_FALSE(kav::testing_support::results_schema_problems(broken).empty());

  // Stacks: numbers or texts under every value column of every row.
  json& table = good["steps"][3]["outputs"][0];
  const std::size_t rows = table["rows"].size(), values = table["columns"].size() - 1;
  json numbers = json::array(), texts = json::array();
  for (std::size_t r = 0; r < rows; ++r) {
    numbers.push_back(json(std::vector<json>(values, 0.5)));
    texts.push_back(json(std::vector<json>(values, " 0[]")));
  }
  numbers[0][0] = nullptr;
  numbers[0][1] = ".D";
  texts[0][0] = "   .";
  table["stacks"] = {{"StdErr", numbers}, {"Coverage", texts}};
  EXPECT_TRUE(kav::testing_support::results_schema_problems(good).empty())
      << kav::testing_support::results_schema_problems(good).front();
  broken = good;
  broken["steps"][3]["outputs"][0]["stacks"]["Coverage"][1][2] = 0.25;  // a number among texts
  EXPECT_FALSE(kav::testing_support::results_schema_problems(broken).empty());
  broken = good;
  broken["steps"][3]["outputs"][0]["stacks"]["StdErr"][1].push_back(0.1);  // one cell too many
  EXPECT_FALSE(kav::testing_support::results_schema_problems(broken).empty());
  broken = good;
  broken["steps"][3]["outputs"][0]["stacks"]["Coverage"].erase(0);  // a row short
  EXPECT_FALSE(kav::testing_support::results_schema_problems(broken).empty());
}

TEST(Programs, DataEntryShowsExactlyWhatWasEntered) {
  ProgramResult r = run(fs::path(KAV_SOURCE_DIR) / "tests/programs/data_entry.kav");
  EXPECT_EQ(r.status, 0) << r.log;
  const auto& steps = r.results["steps"];
  ASSERT_EQ(steps.size(), 7u);
  const json* scores = find_table(steps[3], "Print");
  ASSERT_NE(scores, nullptr);
  EXPECT_EQ((*scores)["columns"][2]["header"], "Paragraph comprehension");
  EXPECT_EQ((*scores)["rows"][2], json({3, 3, 15, 16, 12, 24, 20, 11}));
  const json* corr = find_table(steps[4], "Print");
  EXPECT_EQ((*corr)["rows"][1], json({"CORR", "g2", 0.72, 1, nullptr}));
  const json* pairs = find_table(steps[5], "Print");
  EXPECT_EQ((*pairs)["rows"][1], json({2, "b", ".B"}));
  EXPECT_EQ((*pairs)["rows"][2][2], -2.5);
  const json* attrs = find_table(steps[6], "Attributes");
  ASSERT_NE(attrs, nullptr);
  EXPECT_EQ((*attrs)["rows"][1][1], "CORR");
  EXPECT_NE(r.listing.find("Entering data"), std::string::npos);
}

TEST(Programs, OdsTraceSelectExcludeAndOutput) {
  ProgramResult r = run(fs::path(KAV_SOURCE_DIR) / "tests/programs/ods_controls.kav");
  EXPECT_EQ(r.status, 0) << r.log;
  const auto& steps = r.results["steps"];
  ASSERT_EQ(steps.size(), 5u);
  // SELECT Variables: only that table of the first CONTENTS step.
  ASSERT_EQ(steps[1]["outputs"].size(), 1u);
  EXPECT_EQ(steps[1]["outputs"][0]["name"], "Variables");
  // TRACE names each object with its label, template and path.
  EXPECT_NE(r.log.find("Name:       Variables"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("Label:      Variables"), std::string::npos);
  EXPECT_NE(r.log.find("Template:   Base.Contents.Variables"), std::string::npos);
  EXPECT_NE(r.log.find("Path:       Contents.Variables"), std::string::npos);
  // TRACE OFF: the later steps are not traced.
  EXPECT_EQ(r.log.find("Name:       Print"), std::string::npos);
  // EXCLUDE Attributes.
  ASSERT_EQ(steps[2]["outputs"].size(), 1u);
  EXPECT_EQ(steps[2]["outputs"][0]["name"], "Variables");
  // ODS OUTPUT made a data set of the two BY-group Print tables; the next
  // step prints it: BY variable first, then the table's columns.
  const json* printed = find_table(steps[4], "Print");
  ASSERT_NE(printed, nullptr);
  std::vector<std::string> names;
  for (const auto& c : (*printed)["columns"]) names.push_back(c["name"]);
  // PRINT's own Obs column, then the data set: the BY variable and the
  // table's columns (its Obs column among them).
  EXPECT_EQ(names, (std::vector<std::string>{"Obs", "region", "Obs", "x", "y"}));
  ASSERT_EQ((*printed)["rows"].size(), 3u);
  EXPECT_EQ((*printed)["rows"][2], json({3, "west", 3, 5, 6}));
}

TEST(Programs, ErrorsAreNumberedAndLaterStepsRun) {
  ProgramResult r = run(fs::path(KAV_SOURCE_DIR) / "tests/programs/errors.kav");
  EXPECT_EQ(r.status, 2);
  std::map<int, int> host_errors;
  for (const auto& st : r.results["steps"])
    for (const auto& e : st["log"])
      if (e["severity"] == "ERROR" && e["group"] == 1) ++host_errors[e["number"].get<int>()];
  for (const auto& e : r.results["log"])
    if (e["severity"] == "ERROR" && e["group"] == 1) ++host_errors[e["number"].get<int>()];
  EXPECT_EQ(host_errors[24], 1);  // data set missing
  EXPECT_EQ(host_errors[41], 1);  // invalid numeric data
  EXPECT_EQ(host_errors[7], 1);   // unknown statement
  const auto& last = r.results["steps"].back();
  EXPECT_EQ(last["procedure"], "PRINT");
  EXPECT_EQ(last["exit_code"], 0);
}

}  // namespace
