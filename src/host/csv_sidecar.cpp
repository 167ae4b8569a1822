#include "host/csv_sidecar.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "host/csv.h"
#include "numeric/exact_integer.h"

namespace kav {

namespace {

constexpr const char* kFormatTag = "kav data set";
constexpr int kFormatVersion = 1;
// Longest character variable a data set may declare.
constexpr int kMaxLength = 32767;

std::int64_t file_bytes(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::string digest_of_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(std::size_t{1} << 20);
  CsvDigest digest;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    digest.add(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
  }
  return digest.text();
}

// Whether a sidecar written during a commit sits beside the CSV file its
// commit was replacing, rather than its own: the size tells, and when both
// files have the same size, the digest.
bool describes_replaced(const nlohmann::json& j, const std::string& csv_path) {
  const std::int64_t size = file_bytes(csv_path);
  if (size != j.at("replacing").value("csv_bytes", std::int64_t{-1})) return false;
  if (size != j.value("csv_bytes", std::int64_t{-1})) return true;
  return digest_of_file(csv_path) != j.value("csv_digest", std::string());
}

// The facts of the sidecar of `csv_path` that describe that file now: an
// object, or null when there are none (no sidecar, or one that cannot be
// read, whose data set could not be read either).
nlohmann::json sidecar_in_force(const std::string& csv_path) {
  std::ifstream in(csv_sidecar_path(csv_path), std::ios::binary);
  if (!in) return nullptr;
  std::ostringstream text;
  text << in.rdbuf();
  try {
    nlohmann::json j = nlohmann::json::parse(text.str());
    if (j.is_object() && j.contains("replacing") && describes_replaced(j, csv_path)) {
      nlohmann::json replaced = j["replacing"]["sidecar"];
      j = std::move(replaced);
    }
    if (!j.is_object()) return nullptr;
    j.erase("replacing");
    return j;
  } catch (const nlohmann::json::exception&) {
    return nullptr;
  }
}

nlohmann::ordered_json sidecar_json(const DataSetHeader& header, std::int64_t observations,
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
  return j;
}

std::string sidecar_dump(const nlohmann::ordered_json& j) {
  // Invalid UTF-8 in a label must not make the data set unwritable.
  return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

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

std::string csv_sidecar_in_force(const std::string& csv_path) {
  const nlohmann::json j = sidecar_in_force(csv_path);
  if (j.is_null()) return {};
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void CsvDigest::mix(std::uint64_t word) {
  state_ = (state_ ^ word) * 1099511628211ull;
  state_ ^= state_ >> 29;
}

void CsvDigest::take(unsigned char byte) {
  word_ |= std::uint64_t{byte} << (8 * filled_);
  if (++filled_ == 8) {
    mix(word_);
    word_ = 0;
    filled_ = 0;
  }
}

void CsvDigest::add(std::string_view bytes) {
  // Words are made of the same bytes however the file comes in chunks.
  std::size_t i = 0;
  for (; i < bytes.size() && filled_ != 0; ++i) take(static_cast<unsigned char>(bytes[i]));
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word = 0;
    for (int k = 7; k >= 0; --k)
      word = (word << 8) | static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
    mix(word);
  }
  for (; i < bytes.size(); ++i) take(static_cast<unsigned char>(bytes[i]));
}

std::string CsvDigest::text() const {
  CsvDigest last = *this;
  last.mix(word_ ^ (std::uint64_t(filled_) << 56));
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(last.state_));
  return hex;
}

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
    if (j.contains("replacing") && describes_replaced(j, csv_path)) {
      nlohmann::json replaced = j["replacing"]["sidecar"];
      if (!replaced.is_object()) return std::nullopt;
      j = std::move(replaced);
    }
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
                             std::int64_t csv_bytes, const CsvSidecarCommit& commit) {
  nlohmann::ordered_json j = sidecar_json(header, observations, csv_bytes);
  if (!commit.csv_digest.empty()) j["csv_digest"] = commit.csv_digest;
  const std::int64_t replaced_bytes =
      commit.replaced_csv.empty() ? -1 : file_bytes(commit.replaced_csv);
  if (replaced_bytes >= 0) {
    nlohmann::ordered_json replacing;
    replacing["csv_bytes"] = replaced_bytes;
    replacing["sidecar"] = sidecar_in_force(commit.replaced_csv);
    j["replacing"] = std::move(replacing);
  }
  return sidecar_dump(j);
}

}  // namespace kav
