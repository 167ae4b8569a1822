#include "host/output.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>

#include "host/value.h"

namespace kav {

// ---------------------------------------------------------------------------
// Output objects

const char* column_kind_name(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::Integer:
      return "int";
    case ColumnKind::Number:
      return "num";
    case ColumnKind::Text:
      return "char";
  }
  return "num";
}

Column& Table::add_column(std::string column_name, ColumnKind kind,
                          std::optional<std::string> header, std::optional<Format> format) {
  Column c;
  c.name = std::move(column_name);
  c.kind = kind;
  c.header = std::move(header);
  c.format = format;
  columns.push_back(std::move(c));
  return columns.back();
}

const Stack* Table::find_stack(const std::string& stack_name) const {
  for (const Stack& s : stacks)
    if (s.name == stack_name) return &s;
  return nullptr;
}

const Cell* Table::stack_cell(const Stack& stack, std::size_t row, std::size_t column) const {
  if (row_labels_first && column == 0) return nullptr;
  const std::size_t value = row_labels_first ? column - 1 : column;
  if (row >= stack.rows.size() || value >= stack.rows[row].size()) return nullptr;
  return &stack.rows[row][value];
}

std::string value_text(const DynamicValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return trim_blanks(format_best(std::get<double>(value), 12));
}

std::string by_values_text(const std::vector<ByValue>& values, const std::string& separator) {
  std::string text;
  for (const ByValue& b : values) {
    if (!text.empty()) text += separator;
    text += b.display();
  }
  return text;
}

std::string ByValue::display() const {
  return variable + "=" + (text.empty() ? value_text(value) : text);
}

Format column_format(const Column& column) {
  return column.format.value_or(best_format(12));
}

std::string cell_text(const Cell& cell, const Column& column) {
  if (const auto* text = std::get_if<std::string>(&cell)) return *text;
  double v = std::get<double>(cell);
  if (!column.is_numeric()) return value_text(v);
  return trim_blanks(column_format(column).apply(v));
}

std::string OutputObject::name() const {
  if (const auto* t = table()) return t->name;
  if (const auto* g = graph()) return g->name;
  return note()->name;
}

std::string OutputObject::label() const {
  if (const auto* t = table()) return t->label;
  if (const auto* g = graph()) return g->label;
  return note()->name;
}

std::string OutputObject::template_path() const {
  if (const auto* t = table()) return t->template_path;
  if (const auto* g = graph()) return g->template_path;
  return {};
}

// ---------------------------------------------------------------------------
// Matrices

double matrix_element(const std::vector<double>& data, MatrixStorage storage, int rows, int columns,
                      int i, int j) {
  std::size_t at = 0;
  switch (storage) {
    case MatrixStorage::Symmetric:
      if (j > i) std::swap(i, j);
      at = static_cast<std::size_t>(i) * static_cast<std::size_t>(i + 1) / 2 +
           static_cast<std::size_t>(j);
      break;
    case MatrixStorage::RowMajor:
      at = static_cast<std::size_t>(i) * static_cast<std::size_t>(columns) +
           static_cast<std::size_t>(j);
      break;
    case MatrixStorage::ColumnMajor:
      at = static_cast<std::size_t>(j) * static_cast<std::size_t>(rows) +
           static_cast<std::size_t>(i);
      break;
  }
  return at < data.size() ? data[at] : missing_value();
}

Table matrix_table(const MatrixSpec& spec) {
  Table t;
  t.name = spec.name;
  t.label = spec.label;
  t.template_path = spec.template_path;
  t.title = spec.title;
  t.row_labels_first = true;
  t.add_column(spec.row_label_column, ColumnKind::Text, std::string());
  for (int j = 0; j < spec.columns; ++j) {
    std::string label = static_cast<std::size_t>(j) < spec.column_labels.size()
                            ? spec.column_labels[static_cast<std::size_t>(j)]
                            : "Column" + std::to_string(j + 1);
    Column& c = t.add_column(label, ColumnKind::Number, label, spec.format);
    // Every value column shares the template's description of matrix entries.
    c.template_column = "Value";
  }
  for (int i = 0; i < spec.rows; ++i) {
    const auto at = static_cast<std::size_t>(i);
    Row row(static_cast<std::size_t>(spec.columns) + 1);
    row[0] = at < spec.row_labels.size() ? spec.row_labels[at] : std::to_string(i + 1);
    for (int j = 0; j < spec.columns; ++j)
      row[static_cast<std::size_t>(j) + 1] =
          matrix_element(spec.data, spec.storage, spec.rows, spec.columns, i, j);
    t.rows.push_back(std::move(row));
  }
  return t;
}

// ---------------------------------------------------------------------------
// Templates

const ColumnTemplate* TableTemplate::find_column(const std::string& column_name) const {
  for (const auto& c : columns)
    if (same_name(c.name, column_name)) return &c;
  return nullptr;
}

void TemplateRegistry::add(TableTemplate table_template) {
  std::string key = upper(table_template.path);
  templates_[key] = std::move(table_template);
}

const TableTemplate* TemplateRegistry::find(const std::string& path) const {
  auto it = templates_.find(upper(path));
  return it == templates_.end() ? nullptr : &it->second;
}

void TemplateRegistry::resolve(Table& table) const {
  const TableTemplate* tt = find(table.template_path);
  for (std::size_t k = 0; k < table.columns.size(); ++k) {
    Column& col = table.columns[k];
    const ColumnTemplate* ct = nullptr;
    if (tt) {
      ct = tt->find_column(col.name);
      if (!col.template_column.empty()) {
        if (const ColumnTemplate* shared = tt->find_column(col.template_column)) ct = shared;
      }
    }
    if (!col.header) col.header = ct && ct->header ? *ct->header : col.name;
    if (!col.hidden) col.hidden = ct && ct->hidden ? *ct->hidden : false;
    if (!col.format && ct && ct->format) col.format = ct->format;
    if (!col.format) {
      if (col.kind == ColumnKind::Number) {
        // Scale the column by its largest value, as the procedures do for
        // columns whose magnitude varies.
        double largest = -1;
        for (const Row& row : table.rows) {
          if (k >= row.size()) continue;
          if (const double* v = std::get_if<double>(&row[k]); v && !is_missing(*v))
            largest = std::max(largest, std::fabs(*v));
        }
        col.format = largest < 0 ? best_format(12) : choose_format(largest / 10);
      } else {
        col.format = best_format(12);
      }
    }
  }
  if (tt) {
    for (const DynamicTemplate& dt : tt->dynamics) {
      for (const Dynamic& d : table.dynamics) {
        if (!same_name(d.name, dt.name)) continue;
        std::string text;
        if (const double* v = std::get_if<double>(&d.value); v && dt.format)
          text = trim_blanks(dt.format->apply(*v));
        else
          text = value_text(d.value);
        table.summary.push_back(dt.label + " = " + text);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The delivery layer

namespace {

bool ends_with_component(const std::string& path, const std::string& name) {
  if (path.size() <= name.size()) return false;
  std::string tail = path.substr(path.size() - name.size());
  return path[path.size() - name.size() - 1] == '.' && same_name(tail, name);
}

bool matches(const std::string& wanted, const std::string& name, const std::string& template_path,
             const std::string& path) {
  if (wanted.empty()) return false;
  return same_name(wanted, name) || same_name(wanted, template_path) || same_name(wanted, path) ||
         ends_with_component(path, wanted);
}

std::string capitalised(const std::string& word) {
  std::string s = word;
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<char>(i == 0 ? std::toupper(static_cast<unsigned char>(s[i]))
                                    : std::tolower(static_cast<unsigned char>(s[i])));
  return s;
}

}  // namespace

OutputDelivery::OutputDelivery() = default;

OutputDelivery::~OutputDelivery() {
  // Files still open at the end are finished, so a forgotten CLOSE loses nothing.
  close_all();
}

void OutputDelivery::set_problem_sink(std::function<void(const DeliveryProblem&)> sink) {
  problem_sink_ = std::move(sink);
}

void OutputDelivery::set_trace_sink(std::function<void(const std::string&)> sink) {
  trace_sink_ = std::move(sink);
}

void OutputDelivery::set_dataset_opener(DataSetOpener opener) {
  dataset_opener_ = std::move(opener);
}

void OutputDelivery::register_destination_kind(const std::string& kind,
                                               DestinationFactory factory) {
  factories_[upper(kind)] = std::move(factory);
}

void OutputDelivery::report(DeliveryProblem problem) {
  if (problem_sink_) problem_sink_(problem);
}

void OutputDelivery::drain_errors(Slot& slot) {
  std::string error = slot.destination->take_error();
  if (!error.empty())
    report({DeliveryProblem::Kind::DestinationWrite, Severity::Error, slot.kind, error});
}

OutputDelivery::Slot* OutputDelivery::find_slot(const std::string& kind) {
  for (Slot& s : slots_)
    if (same_name(s.kind, kind)) return &s;
  return nullptr;
}

const OutputDelivery::Slot* OutputDelivery::find_slot(const std::string& kind) const {
  for (const Slot& s : slots_)
    if (same_name(s.kind, kind)) return &s;
  return nullptr;
}

std::string OutputDelivery::open_destination(const std::string& kind, const std::string& path,
                                             const std::string& what) {
  auto factory = factories_.find(upper(kind));
  if (factory == factories_.end()) return "There is no output destination called " + kind + ".";
  const std::string request = what.empty() ? kind : what;
  if (std::string clash = claims_.clash(request, path); !clash.empty()) return clash + ".";
  if (find_slot(kind)) {
    std::string error = close_destination(kind);
    if (!error.empty())
      report({DeliveryProblem::Kind::DestinationWrite, Severity::Error, kind, error});
  }
  std::string error;
  std::unique_ptr<OutputDestination> destination = factory->second(path, error);
  if (!destination) return error.empty() ? "The file " + path + " could not be opened." : error;
  attach_destination(kind, std::move(destination));
  claims_.claim(request, path);
  return {};
}

std::string OutputDelivery::close_destination(const std::string& kind) {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (!same_name(it->kind, kind)) continue;
    std::unique_ptr<OutputDestination> destination = std::move(it->destination);
    slots_.erase(it);
    std::string error = destination->take_error();
    std::string closing = destination->close();
    return closing.empty() ? error : closing;
  }
  return {};
}

void OutputDelivery::attach_destination(const std::string& kind,
                                        std::unique_ptr<OutputDestination> destination) {
  if (!destination) return;
  if (find_slot(kind)) {
    std::string error = close_destination(kind);
    if (!error.empty())
      report({DeliveryProblem::Kind::DestinationWrite, Severity::Error, kind, error});
  }
  // A destination opened in the middle of a step takes the step from here on.
  if (in_step_) destination->begin_step(step_);
  slots_.push_back({kind, std::move(destination), true});
}

bool OutputDelivery::destination_open(const std::string& kind) const {
  return find_slot(kind) != nullptr;
}

void OutputDelivery::set_destination_enabled(const std::string& kind, bool enabled) {
  if (Slot* s = find_slot(kind)) s->enabled = enabled;
}

bool OutputDelivery::destination_enabled(const std::string& kind) const {
  const Slot* s = find_slot(kind);
  return s && s->enabled;
}

std::vector<std::string> OutputDelivery::close_all() {
  if (in_step_) end_step(0, 0, {});
  std::vector<std::string> errors;
  while (!slots_.empty()) {
    std::string kind = slots_.front().kind;
    std::string error = close_destination(kind);
    if (!error.empty()) errors.push_back(error);
  }
  return errors;
}

void OutputDelivery::select(const std::vector<std::string>& names, bool persist) {
  selection_ = {Selection::Mode::Select, names, persist};
}

void OutputDelivery::exclude(const std::vector<std::string>& names, bool persist) {
  selection_ = {Selection::Mode::Exclude, names, persist};
}

void OutputDelivery::select_all() {
  selection_ = {};
}

void OutputDelivery::select_none() {
  selection_ = {Selection::Mode::None, {}, true};
}

bool OutputDelivery::selected(const std::string& name, const std::string& template_path,
                              const std::string& path) const {
  auto listed = [&] {
    return std::any_of(selection_.names.begin(), selection_.names.end(),
                       [&](const std::string& n) { return matches(n, name, template_path, path); });
  };
  switch (selection_.mode) {
    case Selection::Mode::All:
      return true;
    case Selection::Mode::None:
      return false;
    case Selection::Mode::Select:
      return listed();
    case Selection::Mode::Exclude:
      return !listed();
  }
  return true;
}

void OutputDelivery::request_output(const std::string& table_name, const std::string& dataset_name,
                                    bool persist) {
  // A second request for the same table replaces the first, as a user
  // correcting a statement would expect.
  for (auto& r : output_requests_) {
    if (same_name(r.table_name, table_name)) {
      r.dataset_name = dataset_name;
      r.persist = persist;
      return;
    }
  }
  output_requests_.push_back({table_name, dataset_name, persist});
}

void OutputDelivery::clear_output_requests() {
  output_requests_.clear();
  collected_.clear();
}

void OutputDelivery::set_line_size(int line_size) {
  line_size_ = std::clamp(line_size, 64, 256);
}

void OutputDelivery::top_level_log(const std::vector<LogEntry>& entries) {
  if (entries.empty()) return;
  for (Slot& s : slots_) {
    s.destination->top_level_log(entries);
    drain_errors(s);
  }
}

void OutputDelivery::begin_step(const std::string& procedure, int line) {
  if (in_step_) end_step(0, 0, {});
  in_step_ = true;
  step_ = StepInfo{};
  step_.index = ++step_count_;
  step_.procedure = procedure;
  step_.line = line;
  step_.titles = titles_;
  step_.footnotes = footnotes_;
  step_.line_size = line_size_;
  groups_.clear();
  by_.clear();
  by_group_ = 0;
  linked_tables_.clear();
  collected_.clear();
  for (Slot& s : slots_) {
    s.destination->begin_step(step_);
    drain_errors(s);
  }
}

void OutputDelivery::set_procedure_label(const std::string& label) {
  step_.label = label;
}

void OutputDelivery::write_step_datasets() {
  if (!in_step_ || datasets_written_) return;
  datasets_written_ = true;
  write_output_datasets();
}

void OutputDelivery::end_step(int exit_code, int reason, std::vector<LogEntry> log) {
  if (!in_step_) return;
  groups_.clear();
  write_step_datasets();
  datasets_written_ = false;
  StepEnd end{exit_code, reason, std::move(log)};
  for (Slot& s : slots_) {
    s.destination->end_step(step_, end);
    drain_errors(s);
  }
  in_step_ = false;
  by_.clear();
  by_group_ = 0;
  linked_tables_.clear();
  if (!selection_.persist) selection_ = {};
  std::erase_if(output_requests_, [](const OutputRequest& r) { return !r.persist; });
  collected_.clear();
}

void OutputDelivery::open_group(const std::string& name, const std::string& label) {
  groups_.push_back({name, label});
}

void OutputDelivery::close_group() {
  if (!groups_.empty()) groups_.pop_back();
}

void OutputDelivery::close_all_groups() {
  groups_.clear();
}

void OutputDelivery::set_by_values(std::vector<ByValue> values) {
  by_ = std::move(values);
  groups_.clear();
  ++by_group_;
}

void OutputDelivery::clear_by_values() {
  by_.clear();
}

std::string OutputDelivery::object_path(const std::string& name) const {
  std::string path = capitalised(step_.procedure.empty() ? "Output" : step_.procedure);
  if (!by_.empty()) path += ".ByGroup" + std::to_string(by_group_);
  for (const GroupLabel& g : groups_) path += "." + g.name;
  return path + "." + name;
}

void OutputDelivery::add_table(Table table) {
  templates_.resolve(table);
  OutputObject object;
  object.content = std::move(table);
  deliver(std::move(object));
}

void OutputDelivery::add_graph(Graph graph) {
  for (const std::string& key : graph.link_keys) {
    auto it = linked_tables_.find(key);
    if (it != linked_tables_.end()) graph.tables.push_back(it->second);
  }
  OutputObject object;
  object.content = std::move(graph);
  deliver(std::move(object));
}

void OutputDelivery::add_note(Note note) {
  OutputObject object;
  object.content = std::move(note);
  deliver(std::move(object));
}

void OutputDelivery::deliver(OutputObject object) {
  // Objects added outside a step (a global statement's output) get a step of
  // their own, ended by the next step or the end of the run.
  if (!in_step_) begin_step("", 0);
  object.groups = groups_;
  object.by = by_;
  object.by_group = by_.empty() ? 0 : by_group_;
  object.sequence = ++sequence_;
  const std::string name = object.name();
  object.path = object_path(name.empty() ? "Note" : name);

  if (const Table* t = object.table(); t && !t->link_key.empty())
    linked_tables_[t->link_key] = std::make_shared<const Table>(*t);
  if (trace_ && !name.empty()) write_trace(object);
  // ODS OUTPUT sees every table, whatever SELECT or EXCLUDE say: a user who
  // asks for a data set wants it even while the printed output is silenced.
  collect_for_output(object);

  bool shown;
  if (name.empty()) {
    // Unnamed notes belong to whatever output is shown; they follow only
    // the settings that silence everything or pick particular objects.
    shown = selection_.mode == Selection::Mode::All || selection_.mode == Selection::Mode::Exclude;
  } else {
    shown = selected(name, object.template_path(), object.path);
  }
  for (Slot& s : slots_) {
    if (!s.enabled) continue;
    if (s.destination->filtered() && !shown) continue;
    s.destination->add(object, step_);
    drain_errors(s);
  }
}

void OutputDelivery::write_trace(const OutputObject& object) {
  if (!trace_sink_) return;
  const char* kind = object.kind() == ObjectKind::Graph ? "Graph" : "Output";
  trace_sink_(std::string(kind) + " Added:");
  trace_sink_("-------------");
  trace_sink_("Name:       " + object.name());
  trace_sink_("Label:      " + object.label());
  trace_sink_("Template:   " + object.template_path());
  trace_sink_("Path:       " + object.path);
  trace_sink_("-------------");
}

void OutputDelivery::collect_for_output(const OutputObject& object) {
  const Table* table = object.table();
  if (!table || output_requests_.empty()) return;
  collected_.resize(output_requests_.size());
  std::shared_ptr<const Table> shared;
  for (std::size_t r = 0; r < output_requests_.size(); ++r) {
    if (!matches(output_requests_[r].table_name, table->name, table->template_path, object.path))
      continue;
    if (!shared) shared = std::make_shared<const Table>(*table);
    collected_[r].push_back({shared, object.by});
  }
}

namespace {

int text_length(const std::string& s) {
  return std::max(1, static_cast<int>(s.size()));
}

// Adds a variable unless one of that name exists; returns its index.
std::size_t variable_index(DataSetHeader& header, const std::string& name, VarKind kind,
                           const std::string& label) {
  int at = header.find(name);
  if (at >= 0) return static_cast<std::size_t>(at);
  Variable v;
  v.name = name;
  v.kind = kind;
  v.length = kind == VarKind::Numeric ? 8 : 1;
  if (label != name) v.label = label;
  header.vars.push_back(v);
  return header.vars.size() - 1;
}

// A stack whose cells are texts (coverage displays) becomes character variables.
bool text_stack(const Stack& stack) {
  for (const Row& row : stack.rows)
    for (const Cell& cell : row)
      if (std::holds_alternative<std::string>(cell)) return true;
  return false;
}

// The variable holding a stack's values under a column: "StdErrFactor1".
std::string stack_variable_name(const Stack& stack, const Column& column) {
  return stack.name + column.name;
}

void put(Observation& obs, const Variable& var, std::size_t at, const Cell& cell,
         const Column* column) {
  if (var.is_numeric()) {
    const double* v = std::get_if<double>(&cell);
    obs.num[at] = v ? *v : missing_value();
  } else if (const auto* text = std::get_if<std::string>(&cell)) {
    obs.str[at] = *text;
  } else {
    double v = std::get<double>(cell);
    obs.str[at] = column ? cell_text(cell, *column) : value_text(v);
  }
}

}  // namespace

void OutputDelivery::write_output_datasets() {
  for (std::size_t r = 0; r < output_requests_.size(); ++r) {
    const OutputRequest& request = output_requests_[r];
    if (r >= collected_.size() || collected_[r].empty()) {
      report({DeliveryProblem::Kind::OutputNotCreated, Severity::Warning, request.table_name,
              "Output " + request.table_name + " was not created, so data set " +
                  request.dataset_name +
                  " was not written. Check the table name against ODS TRACE ON."});
      continue;
    }
    // Every table of the name in the step goes into one data set, one after
    // the other, with the BY variables in front: that is the data set a user
    // gets from a BY-group run and wants to analyse further.  Columns that
    // only some of the tables have are missing in the others.
    const auto& tables = collected_[r];
    DataSetHeader header;
    header.name = request.dataset_name;
    header.label = tables.front().first->label;
    for (const auto& [table, by] : tables) {
      for (const ByValue& b : by) {
        bool numeric = std::holds_alternative<double>(b.value);
        variable_index(header, b.variable, numeric ? VarKind::Numeric : VarKind::Character,
                       b.variable);
      }
    }
    for (const auto& [table, by] : tables) {
      for (const Column& c : table->columns) {
        if (c.is_hidden()) continue;
        variable_index(header, c.name, c.is_numeric() ? VarKind::Numeric : VarKind::Character,
                       c.header_text());
      }
    }
    // Stacked sub-matrices (standard errors, limits, coverage) follow the
    // estimates as one variable per stack and column, so each observation
    // carries every value shown in its rows' cell stacks.
    for (const auto& [table, by] : tables) {
      for (const Stack& stack : table->stacks) {
        const VarKind kind = text_stack(stack) ? VarKind::Character : VarKind::Numeric;
        for (std::size_t k = 0; k < table->columns.size(); ++k) {
          const Column& c = table->columns[k];
          if (c.is_hidden() || (k == 0 && table->row_labels_first)) continue;
          variable_index(header, stack_variable_name(stack, c), kind,
                         c.header_text() + " " + stack.name);
        }
      }
    }
    std::vector<Observation> observations;
    for (const auto& [table, by] : tables) {
      for (std::size_t r = 0; r < table->rows.size(); ++r) {
        const Row& row = table->rows[r];
        Observation obs;
        obs.resize(header.vars.size());
        for (const ByValue& b : by) {
          std::size_t at = static_cast<std::size_t>(header.find(b.variable));
          const Cell cell = std::holds_alternative<double>(b.value)
                                ? Cell(std::get<double>(b.value))
                                : Cell(b.text.empty() ? std::get<std::string>(b.value) : b.text);
          put(obs, header.vars[at], at, cell, nullptr);
        }
        for (std::size_t k = 0; k < table->columns.size() && k < row.size(); ++k) {
          const Column& c = table->columns[k];
          if (c.is_hidden()) continue;
          std::size_t at = static_cast<std::size_t>(header.find(c.name));
          put(obs, header.vars[at], at, row[k], &c);
        }
        for (const Stack& stack : table->stacks) {
          for (std::size_t k = 0; k < table->columns.size(); ++k) {
            const Column& c = table->columns[k];
            const Cell* cell = table->stack_cell(stack, r, k);
            if (c.is_hidden() || !cell) continue;
            std::size_t at = static_cast<std::size_t>(header.find(stack_variable_name(stack, c)));
            put(obs, header.vars[at], at, *cell, &c);
          }
        }
        observations.push_back(std::move(obs));
      }
    }
    for (std::size_t v = 0; v < header.vars.size(); ++v) {
      Variable& var = header.vars[v];
      if (var.is_numeric()) continue;
      for (const Observation& obs : observations)
        var.length = std::max(var.length, text_length(obs.str[v]));
    }

    if (!dataset_opener_) {
      report({DeliveryProblem::Kind::DataSetWrite, Severity::Error, request.dataset_name,
              "Data set " + request.dataset_name +
                  " could not be written: this run has nowhere to write output data sets."});
      continue;
    }
    try {
      std::unique_ptr<ObsWriter> writer = dataset_opener_(request.dataset_name, header);
      if (!writer) {
        report({DeliveryProblem::Kind::DataSetWrite, Severity::Error, request.dataset_name,
                "Data set " + request.dataset_name + " could not be opened for writing."});
        continue;
      }
      for (const Observation& obs : observations) writer->write(obs);
      writer->commit();
    } catch (const std::exception& e) {
      report({DeliveryProblem::Kind::DataSetWrite, Severity::Error, request.dataset_name,
              "Data set " + request.dataset_name + " could not be written: " + e.what()});
    }
  }
}

}  // namespace kav
