#include "results_schema.h"

#include <cmath>
#include <set>

namespace kav::testing_support {

namespace {

using nlohmann::json;

struct Checker {
  std::vector<std::string> problems;

  void fail(const std::string& where, const std::string& what) { problems.push_back(where + ": " + what); }

  bool has(const json& o, const char* key, json::value_t type, const std::string& where) {
    if (!o.is_object() || !o.contains(key)) {
      fail(where, std::string("missing \"") + key + "\"");
      return false;
    }
    const json& v = o[key];
    bool ok = v.type() == type || (type == json::value_t::number_float && v.is_number()) ||
              (type == json::value_t::number_integer && v.is_number_integer());
    if (!ok) fail(where, std::string("\"") + key + "\" has the wrong type");
    return ok;
  }

  // A cell or dynamic: a number, null for a standard missing value, or a
  // string (text, or ".A" style special missing values).
  bool value_ok(const json& v) { return v.is_number() || v.is_null() || v.is_string(); }

  void log(const json& entries, const std::string& where) {
    if (!entries.is_array()) return fail(where, "log is not an array");
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::string w = where + ".log[" + std::to_string(i) + "]";
      const json& e = entries[i];
      if (has(e, "severity", json::value_t::string, w)) {
        static const std::set<std::string> ok = {"NOTE", "WARNING", "ERROR"};
        if (!ok.count(e["severity"].get<std::string>())) fail(w, "unknown severity");
      }
      has(e, "group", json::value_t::number_integer, w);
      has(e, "number", json::value_t::number_integer, w);
      has(e, "text", json::value_t::string, w);
    }
  }

  void common(const json& o, const std::string& w) {
    has(o, "groups", json::value_t::array, w);
    if (o.contains("groups") && o["groups"].is_array())
      for (const auto& g : o["groups"])
        if (!g.is_string()) fail(w, "a group name is not a string");
    if (has(o, "by", json::value_t::object, w))
      for (const auto& [k, v] : o["by"].items())
        if (!value_ok(v)) fail(w, "BY value " + k + " is not a value");
  }

  void table(const json& t, const std::string& w) {
    for (const char* k : {"name", "path", "label"}) has(t, k, json::value_t::string, w);
    common(t, w);
    for (const char* k : {"title", "footnotes"})
      if (has(t, k, json::value_t::array, w))
        for (const auto& line : t[k])
          if (!line.is_string()) fail(w, std::string(k) + " holds a non-string");
    if (has(t, "dynamics", json::value_t::object, w))
      for (const auto& [k, v] : t["dynamics"].items())
        if (!value_ok(v)) fail(w, "dynamic " + k + " is not a value");
    std::vector<std::string> types;
    if (has(t, "columns", json::value_t::array, w)) {
      for (const auto& c : t["columns"]) {
        has(c, "name", json::value_t::string, w + ".column");
        has(c, "header", json::value_t::string, w + ".column");
        if (has(c, "type", json::value_t::string, w + ".column")) {
          std::string ty = c["type"];
          if (ty != "int" && ty != "num" && ty != "char") fail(w, "column type " + ty);
          types.push_back(ty);
        }
      }
    }
    if (has(t, "rows", json::value_t::array, w)) {
      for (std::size_t r = 0; r < t["rows"].size(); ++r) {
        const json& row = t["rows"][r];
        std::string rw = w + ".rows[" + std::to_string(r) + "]";
        if (!row.is_array() || row.size() != types.size()) {
          fail(rw, "does not have one cell per column");
          continue;
        }
        for (std::size_t c = 0; c < row.size(); ++c) {
          const json& v = row[c];
          if (types[c] == "char" && !v.is_string()) fail(rw, "a character cell is not a string");
          if (types[c] != "char" && !(v.is_number() || v.is_null() ||
                                      (v.is_string() && v.get<std::string>().size() == 2 &&
                                       v.get<std::string>()[0] == '.')))
            fail(rw, "a numeric cell is neither a number, null nor a special missing value");
          if (types[c] == "int" && v.is_number_float() && std::floor(v.get<double>()) != v.get<double>())
            fail(rw, "an integer cell holds a fraction");
        }
      }
    }
    if (has(t, "stacks", json::value_t::object, w))
      for (const auto& [k, m] : t["stacks"].items()) stack(m, w + ".stacks." + k, t, types.size());
  }

  // A stacked sub-matrix: one row per table row, one cell per value column
  // (every column after the row labels), either numbers (with null and ".A"
  // style missing values) or texts such as coverage displays, never both.
  void stack(const json& m, const std::string& w, const json& t, std::size_t columns) {
    if (!m.is_array()) return fail(w, "is not a matrix");
    if (t.contains("rows") && m.size() != t["rows"].size())
      fail(w, "does not have one row per table row");
    bool numbers = false, texts = false;
    for (std::size_t r = 0; r < m.size(); ++r) {
      const json& row = m[r];
      std::string rw = w + "[" + std::to_string(r) + "]";
      if (!row.is_array() || row.empty() || row.size() >= columns) {
        fail(rw, "does not have one cell per value column");
        continue;
      }
      if (row.size() != m[0].size()) fail(rw, "is not as long as the first row");
      for (const json& v : row) {
        if (v.is_number() || v.is_null())
          numbers = true;
        else if (!v.is_string())
          fail(rw, "a cell is neither a number, null nor a string");
        else if (!special_missing(v))
          texts = true;
      }
    }
    if (numbers && texts) fail(w, "mixes numbers and texts");
  }

  static bool special_missing(const json& v) {
    if (!v.is_string()) return false;
    const std::string s = v.get<std::string>();
    return s.size() == 2 && s[0] == '.';
  }

  void output(const json& o, const std::string& w) {
    if (!has(o, "type", json::value_t::string, w)) return;
    std::string type = o["type"];
    if (type == "table") {
      table(o, w);
    } else if (type == "graph") {
      for (const char* k : {"name", "path", "label"}) has(o, k, json::value_t::string, w);
      common(o, w);
      has(o, "dynamics", json::value_t::object, w);
    } else if (type == "note") {
      has(o, "text", json::value_t::string, w);
    } else {
      fail(w, "unknown output type " + type);
    }
  }

  void document(const json& d) {
    if (!d.is_object()) return fail("document", "not an object");
    has(d, "kav", json::value_t::string, "document");
    if (d.contains("log")) log(d["log"], "document");
    if (!has(d, "steps", json::value_t::array, "document")) return;
    for (std::size_t s = 0; s < d["steps"].size(); ++s) {
      const json& st = d["steps"][s];
      std::string w = "steps[" + std::to_string(s) + "]";
      has(st, "procedure", json::value_t::string, w);
      has(st, "line", json::value_t::number_integer, w);
      has(st, "exit_code", json::value_t::number_integer, w);
      has(st, "reason", json::value_t::number_integer, w);
      if (has(st, "log", json::value_t::array, w)) log(st["log"], w);
      if (has(st, "outputs", json::value_t::array, w))
        for (std::size_t k = 0; k < st["outputs"].size(); ++k)
          output(st["outputs"][k], w + ".outputs[" + std::to_string(k) + "]");
    }
  }
};

}  // namespace

std::vector<std::string> results_schema_problems(const nlohmann::json& doc) {
  Checker c;
  c.document(doc);
  return c.problems;
}

}  // namespace kav::testing_support
