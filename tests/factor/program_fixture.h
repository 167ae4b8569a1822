// Whole PROC FACTOR programs run in-process with JSON results, for tests
// that check a step's tables against values computed in the test: running,
// reading tables, messages and exit codes, a CSV data set written by a step,
// and the small dense algebra the checks need.
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

namespace kav::progtest {

namespace fs = std::filesystem;
using nlohmann::json;
using Mat = std::vector<std::vector<double>>;

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

// The numeric cells of the occurrence-th table of that name (1 first, -1
// last), optionally only among the tables of a result group.
inline Mat table(const Outcome& r, const std::string& name, int occurrence = 1, const std::string& group = "") {
  std::vector<const json*> found;
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"]) {
      if (o["type"] != "table" || o["name"] != name) continue;
      if (!group.empty() && std::find(o["groups"].begin(), o["groups"].end(), group) ==
                                o["groups"].end())
        continue;
      found.push_back(&o);
    }
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

inline bool has_table(const Outcome& r, const std::string& name) {
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o["type"] == "table" && o["name"] == name) return true;
  return false;
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

// ---------------------------------------------------------------------------
// Small dense algebra, written out plainly.

inline Mat zeros(std::size_t r, std::size_t c) {
  return Mat(r, std::vector<double>(c, 0.0));
}
inline Mat mul(const Mat& a, const Mat& b) {
  Mat c = zeros(a.size(), b[0].size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t k = 0; k < b.size(); ++k)
      for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][k] * b[k][j];
  return c;
}
inline Mat tr(const Mat& a) {
  Mat t = zeros(a[0].size(), a.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    for (std::size_t j = 0; j < a[0].size(); ++j) t[j][i] = a[i][j];
  return t;
}
// Inverse by Gauss-Jordan with partial pivoting.
inline Mat inv(Mat a) {
  const std::size_t n = a.size();
  Mat b = zeros(n, n);
  for (std::size_t i = 0; i < n; ++i) b[i][i] = 1;
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t piv = c;
    for (std::size_t r = c + 1; r < n; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[piv][c])) piv = r;
    std::swap(a[c], a[piv]);
    std::swap(b[c], b[piv]);
    const double d = a[c][c];
    for (std::size_t j = 0; j < n; ++j) a[c][j] /= d, b[c][j] /= d;
    for (std::size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      const double f = a[r][c];
      for (std::size_t j = 0; j < n; ++j) a[r][j] -= f * a[c][j], b[r][j] -= f * b[c][j];
    }
  }
  return b;
}
inline double maxdiff(const Mat& a, const Mat& b) {
  EXPECT_EQ(a.size(), b.size());
  double d = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    EXPECT_EQ(a[i].size(), b[i].size());
    for (std::size_t j = 0; j < a[i].size() && j < b[i].size(); ++j)
      d = std::max(d, std::fabs(a[i][j] - b[i][j]));
  }
  return d;
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

}  // namespace kav::progtest
