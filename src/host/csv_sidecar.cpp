#include "host/csv_sidecar.h"

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/csv.h"
#include "numeric/exact_integer.h"

namespace kav {

namespace {

constexpr const char* kFormatTag = "kav data set";
constexpr int kFormatVersion = 1;
// Longest character variable a data set may declare.
constexpr int kMaxLength = 32767;

// An integer field of object `o`, or `fallback` when it is absent; a value
// that is not a whole number T can hold is refused by name.  (nlohmann's own
// conversion casts a floating-point 1e300 to int unchecked.)
template <class T>
T integer_field(const nlohmann::json& o, const char* key, T fallback, const std::string& owner,
                const std::function<DataError(const std::string&)>& bad) {
  if (!o.contains(key)) return fallback;
  const nlohmann::json& v = o[key];
  std::optional<T> n;
  if (v.is_number_integer() || v.is_number_unsigned() || v.is_number_float())
    n = exact_integer<T>(v.get<double>());
  if (!n)
    throw bad(owner + "\"" + key + "\" is " + v.dump() + "; expected a whole number from " +
              std::to_string(exact_integer_min<T>()) + " to " +
              std::to_string(exact_integer_max<T>()));
  return *n;
}

}  // namespace

std::optional<CsvSidecar> read_csv_sidecar(const std::string& csv_path,
                                           const std::string& display) {
  const std::string path = csv_sidecar_path(csv_path);
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  auto bad = [&](const std::string& what) -> DataError {
    return DataError(display, "sidecar " + path, what);
  };
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::exception& e) {
    throw bad(std::string("not valid JSON (") + e.what() + "); fix or delete the file");
  }
  CsvSidecar s;
  try {
    if (!j.is_object()) throw bad("expected a JSON object");
    const int version = integer_field(j, "version", kFormatVersion, "", bad);
    if (version > kFormatVersion)
      throw bad("written by a newer version of kav (format version " + std::to_string(version) +
                ")");
    s.type = j.value("type", std::string());
    s.label = j.value("label", std::string());
    s.observations = integer_field(j, "observations", std::int64_t{-1}, "", bad);
    s.csv_bytes = integer_field(j, "csv_bytes", std::int64_t{-1}, "", bad);
    if (!j.contains("variables")) return s;
    int index = 0;
    for (const auto& v : j.at("variables")) {
      ++index;
      Variable var;
      var.name = v.at("name").get<std::string>();
      var.label = v.value("label", std::string());
      const std::string kind = v.value("kind", std::string("num"));
      if (kind == "num") {
        var.kind = VarKind::Numeric;
      } else if (kind == "char") {
        var.kind = VarKind::Character;
      } else {
        throw bad("variable " + std::to_string(index) + " has kind '" + kind +
                  "'; expected \"num\" or \"char\"");
      }
      var.length =
          integer_field(v, "length", var.is_numeric() ? 8 : 1, "variable " + var.name + ": ", bad);
      if (var.length < 1 || var.length > kMaxLength)
        throw bad("variable " + var.name + " has length " + std::to_string(var.length) +
                  "; expected 1 to " + std::to_string(kMaxLength));
      if (var.is_numeric()) var.length = 8;
      s.vars.push_back(std::move(var));
    }
  } catch (const nlohmann::json::exception& e) {
    throw bad(std::string("unexpected contents (") + e.what() + "); fix or delete the file");
  }
  return s;
}

std::string csv_sidecar_text(const DataSetHeader& header, std::int64_t observations,
                             std::int64_t csv_bytes) {
  nlohmann::ordered_json j;
  j["format"] = kFormatTag;
  j["version"] = kFormatVersion;
  j["type"] = header.type;
  j["label"] = header.label;
  j["observations"] = observations;
  j["csv_bytes"] = csv_bytes;
  auto vars = nlohmann::ordered_json::array();
  for (const Variable& v : header.vars) {
    nlohmann::ordered_json o;
    o["name"] = v.name;
    o["label"] = v.label;
    o["kind"] = v.is_numeric() ? "num" : "char";
    o["length"] = v.is_numeric() ? 8 : v.length;
    vars.push_back(std::move(o));
  }
  j["variables"] = std::move(vars);
  // Invalid UTF-8 in a label must not make the data set unwritable.
  return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace kav
