#include "render/json_results.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "host/value.h"

namespace kav {

// Keys keep the order they are written in, so the file reads in the order of
// the documented layout.
using json = nlohmann::ordered_json;

json number_json(double value, bool integer) {
  char letter = missing_letter(value);
  if (letter == '.') return nullptr;
  if (letter != 0) return std::string(".") + letter;
  if (!std::isfinite(value)) return nullptr;
  // Whole numbers of integer columns stay integers in the file.
  if (integer && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
    return static_cast<std::int64_t>(value);
  return value;
}

namespace {

json value_json(const DynamicValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return number_json(std::get<double>(value));
}

json cell_json(const Cell& cell, const Column& column) {
  if (const auto* text = std::get_if<std::string>(&cell)) return *text;
  double v = std::get<double>(cell);
  if (column.kind == ColumnKind::Text) return is_missing(v) ? json(nullptr) : json(value_text(v));
  return number_json(v, column.kind == ColumnKind::Integer);
}

json dynamics_json(const std::vector<Dynamic>& dynamics) {
  json out = json::object();
  for (const Dynamic& d : dynamics) out[d.name] = value_json(d.value);
  return out;
}

}  // namespace

json log_entry_json(const LogEntry& entry) {
  return {{"severity", severity_name(entry.severity)},
          {"group", entry.group},
          {"number", entry.number},
          {"text", entry.text}};
}

json object_json(const OutputObject& object) {
  json groups = json::array();
  for (const GroupLabel& g : object.groups) groups.push_back(g.name);
  json by = json::object();
  for (const ByValue& b : object.by) by[b.variable] = value_json(b.value);

  if (const Table* t = object.table()) {
    json columns = json::array();
    for (const Column& c : t->columns) {
      json col = {
          {"name", c.name}, {"header", c.header_text()}, {"type", column_kind_name(c.kind)}};
      if (c.is_hidden()) col["hidden"] = true;
      columns.push_back(std::move(col));
    }
    json rows = json::array();
    for (const Row& row : t->rows) {
      json r = json::array();
      for (std::size_t k = 0; k < t->columns.size(); ++k)
        r.push_back(k < row.size() ? cell_json(row[k], t->columns[k]) : json(nullptr));
      rows.push_back(std::move(r));
    }
    json stacks = json::object();
    // A text stack (coverage displays) is written as arrays of strings.
    for (const Stack& stack : t->stacks) {
      json m = json::array();
      for (const Row& row : stack.rows) {
        json line = json::array();
        for (const Cell& cell : row) {
          if (const auto* text = std::get_if<std::string>(&cell))
            line.push_back(*text);
          else
            line.push_back(number_json(std::get<double>(cell)));
        }
        m.push_back(std::move(line));
      }
      stacks[stack.name] = std::move(m);
    }
    return {{"type", "table"},
            {"name", t->name},
            {"path", t->template_path},
            {"label", t->label},
            {"groups", groups},
            {"by", by},
            {"title", t->title},
            {"footnotes", t->footnotes},
            {"dynamics", dynamics_json(t->dynamics)},
            {"columns", columns},
            {"rows", rows},
            {"stacks", stacks}};
  }
  if (const Graph* g = object.graph()) {
    json tables = json::array();
    for (const auto& t : g->tables) tables.push_back(t->name);
    return {{"type", "graph"},
            {"name", g->name},
            {"path", g->template_path},
            {"label", g->label},
            {"groups", groups},
            {"by", by},
            {"dynamics", dynamics_json(g->dynamics)},
            {"tables", tables}};
  }
  const Note* n = object.note();
  std::string text;
  for (std::size_t i = 0; i < n->lines.size(); ++i) text += (i ? "\n" : "") + n->lines[i];
  json note = {{"type", "note"}, {"text", text}, {"groups", groups}, {"by", by}};
  if (!n->name.empty()) note["name"] = n->name;
  return note;
}

namespace {

class JsonDestination : public OutputDestination {
 public:
  JsonDestination(std::string path, std::ofstream file, const std::string& version)
      : path_(std::move(path)), file_(std::move(file)) {
    document_ = {{"kav", version}, {"steps", json::array()}, {"log", json::array()}};
  }

  void begin_step(const StepInfo& step) override {
    document_["steps"].push_back({{"procedure", step.procedure},
                                  {"line", step.line},
                                  {"exit_code", nullptr},
                                  {"reason", nullptr},
                                  {"log", json::array()},
                                  {"outputs", json::array()}});
    in_step_ = true;
  }

  void add(const OutputObject& object, const StepInfo&) override {
    if (!in_step_) return;
    document_["steps"].back()["outputs"].push_back(object_json(object));
  }

  void end_step(const StepInfo&, const StepEnd& end) override {
    if (!in_step_) return;
    json& step = document_["steps"].back();
    step["exit_code"] = end.exit_code;
    step["reason"] = end.reason;
    for (const LogEntry& e : end.log) step["log"].push_back(log_entry_json(e));
    in_step_ = false;
  }

  void top_level_log(const std::vector<LogEntry>& entries) override {
    for (const LogEntry& e : entries) document_["log"].push_back(log_entry_json(e));
  }

  std::string close() override {
    // Text that is not valid UTF-8 (a data value read from a Latin-1 file)
    // is written with replacement characters rather than failing the file.
    file_ << document_.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
    file_.close();
    if (!file_) return "The JSON file " + path_ + " could not be written completely.";
    return {};
  }

 private:
  std::string path_;
  std::ofstream file_;
  json document_;
  bool in_step_ = false;
};

}  // namespace

std::unique_ptr<OutputDestination> make_json_destination(const std::string& path,
                                                         const std::string& version,
                                                         std::string& error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    error =
        "The JSON file " + path + " could not be opened for writing: " + std::strerror(errno) + ".";
    return nullptr;
  }
  return std::make_unique<JsonDestination>(path, std::move(file), version);
}

}  // namespace kav
