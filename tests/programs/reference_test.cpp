// The reference cases of tests/reference (their format is in its README):
// each program runs through kav and its JSON results are compared with the
// values computed independently of kav, under each check's tolerance and
// sign rule.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/run.h"

namespace fs = std::filesystem;
using nlohmann::json;
using Cells = std::vector<std::vector<double>>;

namespace {

const fs::path kReference = fs::path(KAV_SOURCE_DIR) / "tests" / "reference";

// Cases that need a part of the procedure that is not built yet, with the
// reason.  A case leaves this list as soon as it passes.
const std::map<std::string, std::string> kPending = {
#include "reference_pending.inc"
};

json run_case(const json& c, std::string& log) {
  std::string program = c["program"];
  for (std::size_t at; (at = program.find("{data}")) != std::string::npos;)
    program.replace(at, 6, (kReference / "data").string());
  const std::string id = c["id"];
  const fs::path out =
      fs::temp_directory_path() / ("kav_ref_" + std::to_string(::getpid()) + "_" + id + ".json");
  std::ostringstream listing, log_stream;
  kav::RunOptions opts;
  opts.work = ":memory:";
  opts.json = out.string();
  opts.listing_stream = &listing;
  opts.log_stream = &log_stream;
  kav::run_program(program, id + ".kav", opts);
  log = log_stream.str();
  std::ifstream in(out);
  const json results = json::parse(in);
  fs::remove(out);
  return results;
}

// The occurrence-th table of that name: 1 the first, -1 the last.
const json* find_table(const json& results, const std::string& name, int occurrence) {
  std::vector<const json*> found;
  for (const auto& step : results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name) found.push_back(&o);
  const long k = occurrence > 0 ? occurrence - 1 : static_cast<long>(found.size()) + occurrence;
  return k >= 0 && k < static_cast<long>(found.size()) ? found[static_cast<std::size_t>(k)]
                                                       : nullptr;
}

double number(const json& cell) {
  return cell.is_number() ? cell.get<double>() : NAN;
}

// The visible numeric cells of a table, row by row.
Cells numeric_cells(const json& t) {
  Cells out;
  for (const auto& row : t["rows"]) {
    out.emplace_back();
    for (std::size_t k = 0; k < t["columns"].size(); ++k)
      if (t["columns"][k]["type"] != "char" && !t["columns"][k].value("hidden", false))
        out.back().push_back(number(row[k]));
  }
  return out;
}

// A stack of a table (numbers shown beside its cells, such as standard
// errors), row by row; empty when the table has none of that name.
Cells stack_cells(const json& t, const std::string& name) {
  Cells out;
  for (const auto& row : t["stacks"].value(name, json::array())) {
    out.emplace_back();
    for (const auto& cell : row) out.back().push_back(number(cell));
  }
  return out;
}

void check(const json& results, const json& ch, const std::string& where) {
  const json* t = find_table(results, ch["table"], ch.value("occurrence", 1));
  ASSERT_NE(t, nullptr) << where << ": no table " << ch["table"];
  Cells actual, expected;
  if (ch.contains("where")) {
    const std::string name = ch["where"];
    const Cells cells = numeric_cells(*t);
    if (name == "ncolumns") {
      actual = {{cells.empty() ? 0.0 : static_cast<double>(cells[0].size())}};
    } else {
      ASSERT_TRUE((*t)["dynamics"].contains(name)) << where << ": no dynamic " << name;
      actual = {{number((*t)["dynamics"][name])}};
    }
    expected = {{ch["value"].get<double>()}};
  } else if (ch.contains("column")) {
    std::size_t k = 0;
    while (k < (*t)["columns"].size() && (*t)["columns"][k]["name"] != ch["column"]) ++k;
    ASSERT_LT(k, (*t)["columns"].size()) << where << ": no column " << ch["column"];
    for (const auto& row : (*t)["rows"]) actual.push_back({number(row[k])});
    for (double v : ch["values"]) expected.push_back({v});
  } else {
    actual = ch.contains("stack") ? stack_cells(*t, ch["stack"]) : numeric_cells(*t);
    const json& m = ch["matrix"];  // a plain list of numbers is one row
    expected =
        !m.empty() && m[0].is_number() ? Cells{m.get<std::vector<double>>()} : m.get<Cells>();
    // A single row or column is a vector: the table's cells read row by row.
    if (expected.size() == 1 || (!expected.empty() && expected[0].size() == 1)) {
      Cells flat(2);
      for (const auto& r : expected) flat[0].insert(flat[0].end(), r.begin(), r.end());
      for (const auto& r : actual) flat[1].insert(flat[1].end(), r.begin(), r.end());
      expected = {flat[0]};
      actual = {flat[1]};
    }
  }
  ASSERT_EQ(actual.size(), expected.size()) << where << ": rows";
  const double tol = ch.value("tol", 1e-8);
  const bool rel = ch.value("compare", "abs") == "rel",
             by_column = ch.value("sign", "") == "column";
  for (std::size_t i = 0; i < expected.size(); ++i)
    ASSERT_EQ(actual[i].size(), expected[i].size()) << where << ": columns of row " << i;
  for (std::size_t j = 0; !expected.empty() && j < expected[0].size(); ++j) {
    // A column may come negated as a whole: the sign is the one that
    // matches its largest expected element.
    std::size_t big = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
      if (std::fabs(expected[i][j]) > std::fabs(expected[big][j])) big = i;
    const double sign = by_column && actual[big][j] * expected[big][j] < 0 ? -1 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
      EXPECT_LE(std::fabs(sign * actual[i][j] - expected[i][j]),
                rel ? tol * std::fabs(expected[i][j]) : tol)
          << where << ": [" << i << "][" << j << "] is " << actual[i][j] << ", expected "
          << expected[i][j];
  }
}

// One test per case file, named Reference.<case id>.
struct ReferenceCase : ::testing::Test {
  explicit ReferenceCase(fs::path file) : file(std::move(file)) {}
  void TestBody() override {
    std::ifstream in(file);
    const json c = json::parse(in);
    const std::string id = c["id"];
    if (kPending.count(id)) GTEST_SKIP() << kPending.at(id);
    std::string log;
    const json results = run_case(c, log);
    int k = 0;
    for (const auto& ch : c["checks"])
      check(results, ch, id + " check " + std::to_string(++k) + " (" + ch.value("what", "") + ")");
    if (HasFailure()) std::cerr << "log of " << id << ":\n" << log;
  }
  fs::path file;
};

[[maybe_unused]] const bool registered = [] {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(kReference / "cases"))
    if (e.path().extension() == ".json") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files)
    ::testing::RegisterTest("Reference", f.stem().string().c_str(), nullptr, nullptr, __FILE__,
                            __LINE__, [f]() -> ::testing::Test* { return new ReferenceCase(f); });
  return true;
}();

}  // namespace
