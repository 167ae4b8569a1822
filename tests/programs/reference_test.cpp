// The reference cases in tests/reference: each program runs through kav and
// its JSON results are compared with the values computed independently of
// kav, under the tolerance and sign rules each check states.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/run.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const fs::path kReference = fs::path(KAV_SOURCE_DIR) / "tests" / "reference";

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Cases that need a part of the procedure that is not built yet, with the
// reason.  A case leaves this list as soon as it passes.
const std::map<std::string, std::string>& pending_cases() {
  static const std::map<std::string, std::string> pending = {
#include "reference_pending.inc"
  };
  return pending;
}

// Where a case reads a table under another name than kav gives it: an
// alpha analysis is weighted, so its final communalities come in the
// weighted table, as its Communality column.
struct Renamed {
  std::string table, column;
};
const std::map<std::pair<std::string, std::string>, Renamed>& renamed_tables() {
  static const std::map<std::pair<std::string, std::string>, Renamed> renamed = {
      {{"alpha_tests24", "FinalCommun"}, {"FinalCommunWgt", "Communality"}},
  };
  return renamed;
}

// The check as it applies to kav's tables.
json adapt(const std::string& id, json ch) {
  auto it = renamed_tables().find({id, ch["table"].get<std::string>()});
  if (it == renamed_tables().end()) return ch;
  ch["table"] = it->second.table;
  if (ch.contains("matrix")) {
    json values = json::array();
    for (const auto& row : ch["matrix"]) {
      if (row.is_array())
        for (const auto& v : row) values.push_back(v);
      else
        values.push_back(row);
    }
    ch.erase("matrix");
    ch["column"] = it->second.column;
    ch["values"] = values;
  }
  return ch;
}

json run_case(const json& c, std::string& log) {
  std::string program = c["program"];
  const std::string key = "{data}";
  for (std::size_t at; (at = program.find(key)) != std::string::npos;)
    program.replace(at, key.size(), (kReference / "data").string());
  fs::path out = fs::temp_directory_path() / ("kav_ref_" + std::to_string(::getpid()) + "_" +
                                              c["id"].get<std::string>() + ".json");
  std::ostringstream listing, log_stream;
  kav::RunOptions opts;
  opts.work = ":memory:";
  opts.json = out.string();
  opts.listing_stream = &listing;
  opts.log_stream = &log_stream;
  kav::run_program(program, c["id"].get<std::string>() + ".kav", opts);
  log = log_stream.str();
  json results = json::parse(slurp(out));
  fs::remove(out);
  return results;
}

const json* find_table(const json& results, const std::string& name, int occurrence) {
  std::vector<const json*> found;
  for (const auto& step : results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name) found.push_back(&o);
  if (found.empty()) return nullptr;
  if (occurrence < 0) {
    if (static_cast<std::size_t>(-occurrence) > found.size()) return nullptr;
    return found[found.size() + static_cast<std::size_t>(occurrence)];
  }
  if (occurrence == 0 || static_cast<std::size_t>(occurrence) > found.size()) return nullptr;
  return found[static_cast<std::size_t>(occurrence - 1)];
}

// The numeric cells of a table row by row: visible numeric columns only.
std::vector<std::vector<double>> numeric_cells(const json& t) {
  std::vector<std::size_t> cols;
  for (std::size_t k = 0; k < t["columns"].size(); ++k) {
    const json& c = t["columns"][k];
    if (c["type"] != "char" && !c.value("hidden", false)) cols.push_back(k);
  }
  std::vector<std::vector<double>> out;
  for (const auto& row : t["rows"]) {
    std::vector<double> r;
    for (std::size_t k : cols) r.push_back(row[k].is_number() ? row[k].get<double>() : NAN);
    out.push_back(r);
  }
  return out;
}

bool close(double actual, double expected, double tol, bool relative) {
  if (std::isnan(actual)) return false;
  double bound = relative ? tol * std::fabs(expected) : tol;
  return std::fabs(actual - expected) <= bound;
}

void check(const json& results, const json& ch, const std::string& where) {
  const std::string table = ch["table"];
  const json* t = find_table(results, table, ch.value("occurrence", 1));
  ASSERT_NE(t, nullptr) << where << ": no table " << table;
  const double tol = ch.value("tol", 1e-8);
  const bool rel = ch.value("compare", "abs") == "rel";
  if (ch.contains("where")) {
    const std::string name = ch["where"];
    double actual = NAN;
    if (name == "ncolumns") {
      actual = numeric_cells(*t).empty() ? 0 : static_cast<double>(numeric_cells(*t)[0].size());
    } else {
      ASSERT_TRUE((*t)["dynamics"].contains(name)) << where << ": no dynamic " << name;
      actual = (*t)["dynamics"][name].get<double>();
    }
    EXPECT_TRUE(close(actual, ch["value"].get<double>(), tol, rel))
        << where << ": " << name << " is " << actual << ", expected " << ch["value"];
    return;
  }
  if (ch.contains("column")) {
    const std::string col = ch["column"];
    std::size_t k = t->at("columns").size();
    for (std::size_t j = 0; j < (*t)["columns"].size(); ++j)
      if ((*t)["columns"][j]["name"] == col) k = j;
    ASSERT_LT(k, (*t)["columns"].size()) << where << ": no column " << col;
    const json& want = ch["values"];
    ASSERT_EQ((*t)["rows"].size(), want.size()) << where;
    for (std::size_t r = 0; r < want.size(); ++r) {
      const json& cell = (*t)["rows"][r][k];
      double actual = cell.is_number() ? cell.get<double>() : NAN;
      EXPECT_TRUE(close(actual, want[r].get<double>(), tol, rel))
          << where << ": " << col << "[" << r << "] is " << actual << ", expected " << want[r];
    }
    return;
  }
  // A matrix, or a vector when it has one row or one column.
  const json& want = ch["matrix"];
  auto cells = numeric_cells(*t);
  std::vector<std::vector<double>> expected;
  // A vector may also be written as a plain list of numbers.
  if (!want.empty() && want[0].is_number())
    expected.push_back(want.get<std::vector<double>>());
  else
    for (const auto& row : want) expected.push_back(row.get<std::vector<double>>());
  if (expected.size() == 1 || (!expected.empty() && expected[0].size() == 1)) {
    std::vector<double> flat_expected, flat_actual;
    for (const auto& r : expected) flat_expected.insert(flat_expected.end(), r.begin(), r.end());
    for (const auto& r : cells) flat_actual.insert(flat_actual.end(), r.begin(), r.end());
    expected = {flat_expected};
    cells = {flat_actual};
  }
  ASSERT_EQ(cells.size(), expected.size()) << where << ": rows";
  const bool by_column = ch.value("sign", "exact") == "column";
  const std::size_t ncol = expected.empty() ? 0 : expected[0].size();
  std::vector<double> sign(ncol, 1.0);
  if (by_column) {
    // Each column may come negated as a whole: take the sign that matches
    // its largest expected element.
    for (std::size_t j = 0; j < ncol; ++j) {
      std::size_t best = 0;
      for (std::size_t i = 0; i < expected.size(); ++i)
        if (std::fabs(expected[i][j]) > std::fabs(expected[best][j])) best = i;
      if (j < cells[best].size() && cells[best][j] * expected[best][j] < 0) sign[j] = -1;
    }
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(cells[i].size(), expected[i].size()) << where << ": columns of row " << i;
    for (std::size_t j = 0; j < ncol; ++j)
      EXPECT_TRUE(close(sign[j] * cells[i][j], expected[i][j], tol, rel))
          << where << ": [" << i << "][" << j << "] is " << cells[i][j] << ", expected "
          << expected[i][j];
  }
}

class ReferenceCase : public ::testing::Test {
 public:
  explicit ReferenceCase(fs::path file) : file_(std::move(file)) {}
  void TestBody() override {
    json c = json::parse(slurp(file_));
    const std::string id = c["id"];
    auto it = pending_cases().find(id);
    if (it != pending_cases().end()) GTEST_SKIP() << it->second;
    std::string log;
    json results = run_case(c, log);
    int k = 0;
    for (const auto& ch : c["checks"]) {
      std::string where = id + " check " + std::to_string(++k) + " (" + ch.value("what", "") + ")";
      check(results, adapt(id, ch), where);
    }
    if (HasFailure()) std::cerr << "log of " << id << ":\n" << log;
  }

 private:
  fs::path file_;
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
