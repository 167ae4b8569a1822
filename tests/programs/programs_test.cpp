// Every program in tests/programs runs through kav with JSON and HTML
// results: every table it writes must hold one cell per column of the
// column's type.  The output controls of ods_controls.kav act as asked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/run.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const fs::path kPrograms = fs::path(KAV_SOURCE_DIR) / "tests" / "programs";

struct ProgramResult {
  int status = -1;
  std::string log;
  json results;
};

ProgramResult run(const fs::path& program, const std::string& prefix = "") {
  // Tests of this file may run side by side, each in its own process.
  const fs::path out = fs::temp_directory_path() /
                       ("kav_prog_" + std::to_string(::getpid()) + "_" + program.stem().string());
  fs::create_directories(out);
  std::ostringstream text, listing, log;
  text << prefix << std::ifstream(program).rdbuf();
  kav::RunOptions opts;
  opts.work = ":memory:";
  opts.json = (out / "r.json").string();
  opts.html = (out / "r.html").string();
  opts.listing_stream = &listing;
  opts.log_stream = &log;
  ProgramResult r;
  r.status = kav::run_program(text.str(), program.string(), opts);
  r.log = log.str();
  std::ifstream in(out / "r.json");
  r.results = json::parse(in);
  fs::remove_all(out);
  return r;
}

const json* find_table(const json& step, const std::string& name) {
  for (const auto& o : step["outputs"])
    if (o["type"] == "table" && o["name"] == name) return &o;
  return nullptr;
}

// The named tables of two steps agree cell by cell, numbers within 1e-10
// (relative above 1).
void expect_same_tables(const json& one, const json& two,
                        std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const json *a = find_table(one, name), *b = find_table(two, name);
    ASSERT_TRUE(a && b) << name;
    ASSERT_EQ((*a)["rows"].size(), (*b)["rows"].size()) << name;
    for (std::size_t i = 0; i < (*a)["rows"].size(); ++i)
      for (std::size_t j = 1; j < (*a)["rows"][i].size(); ++j) {
        const json &x = (*a)["rows"][i][j], &y = (*b)["rows"][i][j];
        if (!x.is_number())
          EXPECT_EQ(x, y) << name;
        else
          EXPECT_NEAR(y.get<double>(), x.get<double>(),
                      1e-10 * std::max(1.0, std::fabs(x.get<double>())))
              << name << " " << i << " " << j;
      }
  }
}

TEST(Programs, EveryTableHoldsOneCellPerColumnOfItsType) {
  int programs = 0;
  for (const auto& e : fs::directory_iterator(kPrograms)) {
    if (e.path().extension() != ".kav") continue;
    ++programs;
    const ProgramResult r = run(e.path());
    for (const auto& step : r.results["steps"])
      for (const auto& t : step["outputs"]) {
        if (t["type"] != "table") continue;
        const std::string where = e.path().stem().string() + " " + t["name"].get<std::string>();
        const json& columns = t["columns"];
        for (const auto& row : t["rows"]) {
          ASSERT_EQ(row.size(), columns.size()) << where;
          for (std::size_t c = 0; c < row.size(); ++c) {
            const json& v = row[c];
            const std::string type = columns[c]["type"];
            const bool missing =
                v.is_null() || (v.is_string() && v.get<std::string>().size() == 2 &&
                                v.get<std::string>()[0] == '.');
            const bool ok = type == "char"
                                ? v.is_string()
                                : missing || (v.is_number() &&
                                              (type == "num" || v.is_number_integer() ||
                                               std::floor(v.get<double>()) == v.get<double>()));
            EXPECT_TRUE(ok) << where << " " << columns[c]["name"] << " " << v;
          }
        }
        for (const auto& [name, stack] : t["stacks"].items()) {
          ASSERT_EQ(stack.size(), t["rows"].size()) << where << " " << name;
          for (const auto& row : stack)
            EXPECT_LT(row.size(), columns.size()) << where << " " << name;
        }
      }
  }
  EXPECT_GE(programs, 3);
}

TEST(Programs, OdsTraceSelectExcludeAndOutput) {
  const ProgramResult r = run(kPrograms / "ods_controls.kav");
  EXPECT_EQ(r.status, 0) << r.log;
  const auto& steps = r.results["steps"];
  ASSERT_EQ(steps.size(), 5u);
  // SELECT Variables, then EXCLUDE Attributes: only that table each time.
  for (int s : {1, 2}) {
    ASSERT_EQ(steps[s]["outputs"].size(), 1u);
    EXPECT_EQ(steps[s]["outputs"][0]["name"], "Variables");
  }
  // TRACE names each object with its label, template and path, until OFF.
  for (const char* line : {"Name:       Variables", "Label:      Variables",
                           "Template:   Base.Contents.Variables", "Path:       Contents.Variables"})
    EXPECT_NE(r.log.find(line), std::string::npos) << line;
  EXPECT_EQ(r.log.find("Name:       Print"), std::string::npos);
  // ODS OUTPUT made a data set of the two BY-group Print tables; printed,
  // it has PRINT's own Obs column, the BY variable, then the table's columns.
  const json* printed = find_table(steps[4], "Print");
  ASSERT_NE(printed, nullptr);
  std::vector<std::string> names;
  for (const auto& c : (*printed)["columns"]) names.push_back(c["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"Obs", "region", "Obs", "x", "y"}));
  ASSERT_EQ((*printed)["rows"].size(), 3u);
  EXPECT_EQ((*printed)["rows"][2], json({3, "west", 3, 5, 6}));
}

// The examples hold or make their own data, so they run from any folder.
TEST(Programs, EveryExampleRunsFromAnotherFolder) {
  const fs::path was = fs::current_path();
  fs::current_path(fs::temp_directory_path());
  int examples = 0;
  for (const auto& e : fs::directory_iterator(fs::path(KAV_SOURCE_DIR) / "examples")) {
    if (e.path().extension() != ".kav") continue;
    ++examples;
    const ProgramResult r = run(e.path());
    EXPECT_LE(r.status, 1) << e.path() << "\n" << r.log;
    EXPECT_EQ(r.log.find("ERROR"), std::string::npos) << e.path();
  }
  fs::current_path(was);
  EXPECT_GE(examples, 5);
}

// A questionnaire prepared by a DATA step (seven items reverse-scored with an
// array, incomplete cases dropped) and the same file prepared outside kav by
// questionnaire/prepare.py give the same ML promax solution; the reversed
// items then load positively on the factor they were made from.
TEST(Programs, DataStepPreparationMatchesPreparationOutside) {
  const fs::path dir = kPrograms / "questionnaire";
  const ProgramResult r = run(dir / "questionnaire.kav", "%let here = " + dir.string() + ";\n");
  ASSERT_EQ(r.status, 0) << r.log;
  const auto& steps = r.results["steps"];
  ASSERT_EQ(steps.size(), 3u);
  std::ifstream prepared(dir / "prepared.csv");
  const auto complete = std::count(std::istreambuf_iterator<char>(prepared), {}, '\n') - 1;
  for (int s : {1, 2}) {
    const json* nobs = find_table(steps[s], "NObs");
    ASSERT_NE(nobs, nullptr);
    EXPECT_EQ((*nobs)["rows"][2][1].get<double>(), static_cast<double>(complete));
  }
  expect_same_tables(steps[1], steps[2],
                     {"ObliqueRotFactPat", "InterFactorCorr", "FactorStructure"});
  const auto& pattern = (*find_table(steps[1], "ObliqueRotFactPat"))["rows"];
  const int first = pattern[0][1].get<double>() > pattern[0][2].get<double>() ? 1 : 2;
  for (std::size_t i = 0; i < 10; ++i)
    EXPECT_GT(pattern[i][i < 5 ? first : 3 - first].get<double>(), 0.3) << "q" << i + 1;
}

// A covariance analysis weighted by a WEIGHT row, read back from its own
// OUTSTAT= data set with the same options, repeats itself; its first
// eigenvalue is that of W^(1/2) S W^(1/2) (cov_weight_roundtrip.py).
TEST(Programs, CovarianceWeightsRepeatFromOutstat) {
  const ProgramResult r = run(kPrograms / "cov_weight_roundtrip.kav");
  ASSERT_EQ(r.status, 0) << r.log;
  const auto& steps = r.results["steps"];
  expect_same_tables(steps[1], steps[2], {"Eigenvalues", "FactorPattern", "FinalCommunWgt"});
  EXPECT_NEAR((*find_table(steps[1], "Eigenvalues"))["rows"][0][1].get<double>(), 5.105922677330606,
              1e-9);
}

}  // namespace
