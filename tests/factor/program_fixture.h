// Whole PROC FACTOR programs run in-process with JSON results, for tests
// that check a step's tables against values computed in the test: running,
// reading tables, messages and exit codes, a CSV data set written by a step;
// the small dense algebra the checks need is in support/dense.h.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "support/dense.h"

namespace kav::progtest {

namespace fs = std::filesystem;
using nlohmann::json;
using dense::inv;
using dense::Mat;
using dense::maxdiff;
using dense::mul;
using dense::tr;
using dense::zeros;

// ---------------------------------------------------------------------------
// Running programs and reading their tables.

struct Outcome {
  int status = -1;
  std::string log;
  json results;
};

inline std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline Outcome run(const std::string& body) {
  static int serial = 0;  // one file per run of this process
  const std::string program = "libname ref '" + std::string(KAV_REFERENCE_DIR) + "/data';\n" + body;
  fs::path out = fs::temp_directory_path() /
                 ("kav_progtest_" + std::to_string(::getpid()) + "_" + std::to_string(++serial) + ".json");
  std::ostringstream listing, log;
  kav::RunOptions opts;
  opts.work = ":memory:";
  opts.json = out.string();
  opts.listing_stream = &listing;
  opts.log_stream = &log;
  Outcome r;
  r.status = kav::run_program(program, "program.kav", opts);
  r.log = log.str();
  r.results = json::parse(slurp(out));
  fs::remove(out);
  return r;
}

// Every output object of that name (and type, if given), in order.
inline std::vector<const json*> outputs(const Outcome& r, const std::string& name,
                                        const std::string& type = "") {
  std::vector<const json*> found;
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o.value("name", "") == name && (type.empty() || o["type"] == type)) found.push_back(&o);
  return found;
}

inline bool has_table(const Outcome& r, const std::string& name) {
  return !outputs(r, name, "table").empty();
}

// A column of a table object by name, hidden columns included (NaN for text).
inline std::vector<double> column(const json& t, const std::string& name) {
  std::vector<double> v;
  for (std::size_t k = 0; k < t["columns"].size(); ++k)
    if (t["columns"][k]["name"] == name)
      for (const auto& row : t["rows"]) v.push_back(row[k].is_number() ? row[k].get<double>() : NAN);
  return v;
}

// The numeric cells of the occurrence-th table of that name (1 first, -1
// last), optionally only among the tables of a result group.
inline Mat table(const Outcome& r, const std::string& name, int occurrence = 1, const std::string& group = "") {
  std::vector<const json*> found;
  for (const json* o : outputs(r, name, "table"))
    if (group.empty() || std::find((*o)["groups"].begin(), (*o)["groups"].end(), group) !=
                             (*o)["groups"].end())
      found.push_back(o);
  const std::size_t n = found.size();
  if (n == 0 || (occurrence > 0 && static_cast<std::size_t>(occurrence) > n) ||
      (occurrence < 0 && static_cast<std::size_t>(-occurrence) > n)) {
    ADD_FAILURE() << "no table " << name << " (occurrence " << occurrence << ")\n" << r.log;
    return {};
  }
  const json& t = *found[occurrence > 0 ? static_cast<std::size_t>(occurrence - 1)
                                        : n - static_cast<std::size_t>(-occurrence)];
  Mat out;
  for (const auto& row : t["rows"]) {
    std::vector<double> v;
    for (std::size_t k = 0; k < t["columns"].size(); ++k) {
      const json& c = t["columns"][k];
      if (c["type"] == "char" || c.value("hidden", false)) continue;
      v.push_back(row[k].is_number() ? row[k].get<double>() : NAN);
    }
    out.push_back(v);
  }
  return out;
}

inline std::vector<int> logged(const Outcome& r, int group = 180) {
  std::vector<int> v;
  for (const auto& step : r.results["steps"])
    for (const auto& m : step["log"])
      if (m["group"] == group) v.push_back(m["number"].get<int>());
  return v;
}

inline bool has_message(const Outcome& r, int number) {
  auto v = logged(r);
  return std::find(v.begin(), v.end(), number) != v.end();
}

inline int exit_code(const Outcome& r, int step = 0) {
  return r.results["steps"][static_cast<std::size_t>(step)]["exit_code"].get<int>();
}

// A data set written by a step to a CSV library: its header names and the
// numbers of each row (NaN for missing values and text).
struct CsvData {
  std::vector<std::string> names;
  Mat rows;
  std::vector<std::vector<std::string>> cells;  // the same rows as written
  int column(const std::string& name) const {
    for (std::size_t k = 0; k < names.size(); ++k)
      if (names[k] == name) return static_cast<int>(k);
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
};
inline std::vector<std::string> csv_cells(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  std::stringstream ss(line);
  while (std::getline(ss, cell, ',')) {
    cell.erase(std::remove(cell.begin(), cell.end(), '"'), cell.end());
    cells.push_back(cell);
  }
  if (!line.empty() && line.back() == ',') cells.push_back("");
  return cells;
}
inline CsvData read_csv(const fs::path& file) {
  CsvData d;
  std::ifstream f(file);
  EXPECT_TRUE(f.good()) << file;
  std::string line;
  if (!std::getline(f, line)) return d;
  d.names = csv_cells(line);
  while (std::getline(f, line)) {
    std::vector<double> row;
    d.cells.push_back(csv_cells(line));
    for (const std::string& c : d.cells.back()) {
      char* end = nullptr;
      const double v = std::strtod(c.c_str(), &end);
      row.push_back(c.empty() || end == c.c_str() || *end ? NAN : v);
    }
    d.rows.push_back(row);
  }
  return d;
}

// The rows of an OUTSTAT= data set whose _TYPE_ (the first column) is
// `type`, without _TYPE_ and _NAME_.
inline Mat stat_rows(const CsvData& d, const std::string& type) {
  Mat out;
  for (std::size_t k = 0; k < d.rows.size(); ++k) {
    std::string t = d.cells[k].empty() ? "" : d.cells[k][0];
    while (!t.empty() && t.back() == ' ') t.pop_back();
    if (t == type) out.push_back(std::vector<double>(d.rows[k].begin() + 2, d.rows[k].end()));
  }
  return out;
}

// The rows of one _TYPE_ of a matrix data set of the reference folder.
inline Mat read_matrix(const std::string& file, const std::string& type) {
  return stat_rows(read_csv(fs::path(KAV_REFERENCE_DIR) / "data" / file), type);
}

}  // namespace kav::progtest
