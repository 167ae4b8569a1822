// Output delivery: the output objects procedures produce and the layer that
// hands them to the destinations (listing, HTML, JSON, output data sets).
//
// A procedure builds a Table, Graph or Note and adds it to the session's
// OutputDelivery.  The delivery layer resolves a table against its template
// (headers, formats, hidden columns), records where the object stands (the
// groups the procedure opened, the BY group, the step), applies ODS TRACE,
// SELECT/EXCLUDE and OUTPUT, and passes the object to every open destination.
// The destinations themselves live in the render layer and reach this one
// only through the OutputDestination interface, so the host never depends on
// how output is drawn.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/dataset.h"
#include "host/file_claims.h"
#include "host/format.h"
#include "host/log.h"

namespace kav {

// ---------------------------------------------------------------------------
// Output objects

enum class ColumnKind { Integer, Number, Text };
const char* column_kind_name(ColumnKind kind);  // "int", "num", "char"

// A cell: a number (possibly missing) or a text.
using Cell = std::variant<double, std::string>;
using Row = std::vector<Cell>;

// A named value attached to a table or graph (an overall statistic, a
// setting a template shows in a header line, a seed).
using DynamicValue = std::variant<double, std::string>;
struct Dynamic {
  std::string name;
  DynamicValue value;
};

struct Column {
  std::string name;
  ColumnKind kind = ColumnKind::Number;
  // Unset fields are taken from the table's template, then from defaults
  // (header: the column name; format: the format chooser for the column's
  // largest value, BEST12. for integers; hidden: no).
  std::optional<std::string> header;
  std::optional<Format> format;
  std::optional<bool> hidden;
  // The template entry to use when it is not the column's own name (one
  // template column can describe many columns, such as one per variable).
  std::string template_column;
  // Shown right after the previous column without a gap, as part of it (a
  // mark such as "*" beside the value it flags).
  bool adjoins = false;

  const std::string& header_text() const { return header ? *header : name; }
  bool is_hidden() const { return hidden.value_or(false); }
  bool is_numeric() const { return kind != ColumnKind::Text; }
};

// A sub-matrix shown under a matrix table's values, element by element: the
// standard errors, tests or confidence limits of the estimates (numbers), or
// where an interval lies against 0 and a target (texts such as " 0[]").
// Each cell is shown under its estimate with that column's format.
struct Stack {
  std::string name;       // "StdErr", "T", "P", "L", "U", "Coverage"
  std::vector<Row> rows;  // one per table row, one cell per value column
};

struct Table {
  std::string name;
  std::string label;
  std::string template_path;
  std::vector<std::string> title;      // title lines shown above the table
  std::vector<std::string> footnotes;  // lines shown below it
  std::vector<Dynamic> dynamics;
  std::vector<Column> columns;
  std::vector<Row> rows;
  // A matrix table holds its row labels in the first column.
  bool row_labels_first = false;
  // Sub-matrices stacked under a matrix table's values, in the order shown;
  // their value columns are the table's columns after the label column.
  std::vector<Stack> stacks;
  // Key under which graphs find this table (empty: none).
  std::string link_key;
  // Filled when the table is resolved against its template: lines such as
  // "Overall MSA = 0.61" for the dynamics the template shows.
  std::vector<std::string> summary;

  Column& add_column(std::string name, ColumnKind kind, std::optional<std::string> header = {},
                     std::optional<Format> format = {});
  void add_row(Row row) { rows.push_back(std::move(row)); }
  const Stack* find_stack(const std::string& stack_name) const;
  // The cell of `stack` stacked under the table's cell (row, column); null
  // under the row-label column and where the stack has no cell.
  const Cell* stack_cell(const Stack& stack, std::size_t row, std::size_t column) const;
};

struct Graph {
  std::string name;
  std::string label;
  std::string template_path;
  std::vector<Dynamic> dynamics;
  // Link keys of the tables the graph is drawn from; the delivery layer
  // resolves them into `tables` (the most recent table of each key in the step).
  std::vector<std::string> link_keys;
  std::vector<std::shared_ptr<const Table>> tables;
};

// Text lines shown as they are (messages repeated in the output, character plots).
struct Note {
  std::string name;  // may be empty
  std::vector<std::string> lines;
};

struct GroupLabel {
  std::string name;
  std::string label;
};

struct ByValue {
  std::string variable;
  DynamicValue value;
  std::string text;             // the formatted value; empty: BEST12. for numbers, the text itself
  std::string display() const;  // "region=north"
};

// The BY values of a group joined by `separator`: "region=north sex=F".
std::string by_values_text(const std::vector<ByValue>& values, const std::string& separator);

enum class ObjectKind { Table, Graph, Note };

// One delivered object with where it stands in the output.
struct OutputObject {
  std::variant<Table, Graph, Note> content;
  std::vector<GroupLabel> groups;  // groups the procedure opened, outermost first
  std::vector<ByValue> by;         // values of the current BY group (empty: none)
  int by_group = 0;                // 1, 2, ... within the step; 0 without BY groups
  std::string path;                // "Factor.ByGroup1.InitialSolution.Eigenvalues"
  int sequence = 0;                // 1, 2, ... over the whole run

  ObjectKind kind() const { return static_cast<ObjectKind>(content.index()); }
  const Table* table() const { return std::get_if<Table>(&content); }
  const Graph* graph() const { return std::get_if<Graph>(&content); }
  const Note* note() const { return std::get_if<Note>(&content); }
  std::string name() const;
  std::string label() const;
  std::string template_path() const;
};

// The display text of a cell under its column's format, without padding.
std::string cell_text(const Cell& cell, const Column& column);
// The display text of a dynamic or BY value: numbers in BEST12. without padding.
std::string value_text(const DynamicValue& value);
// A column's format after resolution (the column's own, else BEST12.).
Format column_format(const Column& column);

// ---------------------------------------------------------------------------
// Matrices

// How the numbers of a matrix are laid out in memory.
enum class MatrixStorage {
  Symmetric,    // packed lower triangle, row by row: (i, j<=i) at i(i+1)/2 + j
  RowMajor,     // (i, j) at i*columns + j
  ColumnMajor,  // (i, j) at j*rows + i
};

struct MatrixSpec {
  std::string name, label, template_path;
  std::vector<std::string> title;
  MatrixStorage storage = MatrixStorage::RowMajor;
  int rows = 0, columns = 0;
  std::vector<double> data;
  std::vector<std::string> row_labels;     // empty: 1, 2, ...
  std::vector<std::string> column_labels;  // empty: Column1, Column2, ...
  std::string row_label_column = "Variable";
  std::optional<Format> format;  // empty: the template's, else the chooser's
};

// A matrix as a table whose first column holds the row labels.
Table matrix_table(const MatrixSpec& spec);
// Element (i, j) of a matrix in the given storage.
double matrix_element(const std::vector<double>& data, MatrixStorage storage, int rows, int columns,
                      int i, int j);

// ---------------------------------------------------------------------------
// Templates

struct ColumnTemplate {
  std::string name;
  std::optional<std::string> header;
  std::optional<Format> format;
  std::optional<bool> hidden;
};

// A dynamic value the template shows under the table as "label = value".
struct DynamicTemplate {
  std::string name;
  std::string label;
  std::optional<Format> format;
};

struct TableTemplate {
  std::string path;
  std::vector<ColumnTemplate> columns;
  std::vector<DynamicTemplate> dynamics;
  const ColumnTemplate* find_column(const std::string& name) const;
};

// Template path -> table template.  Procedures register theirs at start-up.
class TemplateRegistry {
 public:
  void add(TableTemplate table_template);
  const TableTemplate* find(const std::string& path) const;  // case-insensitive
  // Fills every unset header, format and hidden flag of the table's columns
  // and the summary lines of its dynamics.
  void resolve(Table& table) const;

 private:
  std::map<std::string, TableTemplate> templates_;  // by upper-case path
};

// ---------------------------------------------------------------------------
// Destinations

// What a destination knows about the step its objects belong to.
struct StepInfo {
  int index = 0;                       // 1, 2, ... over the run
  std::string procedure;               // "FACTOR"
  int line = 0;                        // program line of the step
  std::string label;                   // "The FACTOR Procedure"; may be set after the step began
  std::vector<std::string> titles;     // TITLE1..TITLE10 in force (empty entries for gaps)
  std::vector<std::string> footnotes;  // FOOTNOTE1..10 in force
  int line_size = 120;
};

struct StepEnd {
  int exit_code = 0;
  int reason = 0;
  std::vector<LogEntry> log;
};

class OutputDestination {
 public:
  virtual ~OutputDestination() = default;
  virtual void begin_step(const StepInfo& step) = 0;
  // `step` is the same step as begin_step's, possibly with a label added since.
  virtual void add(const OutputObject& object, const StepInfo& step) = 0;
  virtual void end_step(const StepInfo& step, const StepEnd& end) = 0;
  // Log entries written outside any step.
  virtual void top_level_log(const std::vector<LogEntry>&) {}
  // Finishes the destination (writes and closes its file); an error text or "".
  virtual std::string close() = 0;
  // A write error met since the last call, or "".
  virtual std::string take_error() { return {}; }
  // Whether ODS SELECT/EXCLUDE apply (false for destinations that must see
  // every object, such as a results file read by programs).
  virtual bool filtered() const { return true; }
};

// Makes a destination writing to a file; sets `error` and returns null when
// the file cannot be opened.
using DestinationFactory =
    std::function<std::unique_ptr<OutputDestination>(const std::string& path, std::string& error)>;

// Opens the writer of an output data set (ODS OUTPUT); null or an exception
// when it cannot be opened.
using DataSetOpener = std::function<std::unique_ptr<ObsWriter>(const std::string& dataset_name,
                                                               DataSetHeader header)>;

// Something the delivery layer could not do, for the session to log.
struct DeliveryProblem {
  enum class Kind {
    DestinationWrite,  // a destination failed while writing or closing
    DataSetWrite,      // an ODS OUTPUT data set could not be written
    OutputNotCreated,  // an ODS OUTPUT request matched no table in the step
  };
  Kind kind = Kind::DestinationWrite;
  Severity severity = Severity::Error;
  std::string subject;  // the destination kind, data set or table name
  std::string text;
};

// ---------------------------------------------------------------------------
// The delivery layer

class OutputDelivery {
 public:
  OutputDelivery();
  ~OutputDelivery();
  OutputDelivery(const OutputDelivery&) = delete;
  OutputDelivery& operator=(const OutputDelivery&) = delete;

  TemplateRegistry& templates() { return templates_; }
  const TemplateRegistry& templates() const { return templates_; }

  // -- wiring done once by the session -------------------------------------
  void set_problem_sink(std::function<void(const DeliveryProblem&)> sink);
  void set_trace_sink(std::function<void(const std::string& line)> sink);
  void set_dataset_opener(DataSetOpener opener);
  // Kinds that ODS statements and command-line options open by file name,
  // such as "html" and "json"; the render layer provides them.
  void register_destination_kind(const std::string& kind, DestinationFactory factory);

  // -- destinations --------------------------------------------------------
  // Opens a destination of a registered kind on a file, closing one of that
  // kind already open first.  Returns "" or the reason it failed.  `what`
  // names the request in that reason ("--html", "ODS HTML FILE="); a file
  // claimed by the run (below) or by an earlier destination is refused.
  std::string open_destination(const std::string& kind, const std::string& path,
                               const std::string& what = "");
  // The files the run reads and writes besides its destinations.
  FileClaims& file_claims() { return claims_; }
  // Finishes the destination of that kind; "" when it closed cleanly or was not open.
  std::string close_destination(const std::string& kind);
  // Adds a destination made by the caller (the listing on a stream, a graphics folder).
  void attach_destination(const std::string& kind, std::unique_ptr<OutputDestination> destination);
  bool destination_open(const std::string& kind) const;
  // ODS LISTING CLOSE keeps the listing attached but silent; ODS LISTING wakes it.
  void set_destination_enabled(const std::string& kind, bool enabled);
  bool destination_enabled(const std::string& kind) const;
  // Closes every destination (end of run); the error texts of those that failed.
  std::vector<std::string> close_all();

  std::string open_html(const std::string& path) { return open_destination("html", path); }
  std::string close_html() { return close_destination("html"); }
  std::string open_json(const std::string& path) { return open_destination("json", path); }
  std::string close_json() { return close_destination("json"); }
  void set_listing(bool on) { set_destination_enabled("listing", on); }

  // -- ODS statements ------------------------------------------------------
  void set_trace(bool on) { trace_ = on; }
  bool trace() const { return trace_; }
  // Selection lists name objects by name, template path or path, any case.
  // They hold for the next step and are then reset to ALL, unless `persist`.
  void select(const std::vector<std::string>& names, bool persist = false);
  void exclude(const std::vector<std::string>& names, bool persist = false);
  void select_all();   // ODS SELECT ALL, ODS EXCLUDE NONE
  void select_none();  // ODS SELECT NONE, ODS EXCLUDE ALL
  // Whether an object of this name/path would reach the filtered destinations now.
  bool selected(const std::string& name, const std::string& template_path,
                const std::string& path) const;
  // ODS OUTPUT TableName=dataset.  Requests hold for the next step unless `persist`.
  void request_output(const std::string& table_name, const std::string& dataset_name,
                      bool persist = false);
  void clear_output_requests();
  void set_graphics(bool on) { graphics_ = on; }
  bool graphics() const { return graphics_; }

  // -- session state -------------------------------------------------------
  void set_titles(std::vector<std::string> titles) { titles_ = std::move(titles); }
  void set_footnotes(std::vector<std::string> footnotes) { footnotes_ = std::move(footnotes); }
  void set_line_size(int line_size);
  // Log entries written outside any step (shown in the JSON's top-level log).
  void top_level_log(const std::vector<LogEntry>& entries);

  // -- steps and objects (the procedure's side) ----------------------------
  void begin_step(const std::string& procedure, int line);
  void set_procedure_label(const std::string& label);
  // Writes the step's ODS OUTPUT data sets (end_step does it when nobody
  // has): the run-time calls it before it commits the step's database
  // tables, so that those data sets go in with them.
  void write_step_datasets();
  void end_step(int exit_code, int reason, std::vector<LogEntry> log);
  bool in_step() const { return in_step_; }

  void open_group(const std::string& name, const std::string& label);
  void close_group();  // the innermost open group; nothing when none is open
  void close_all_groups();
  // Starts a BY group: objects added from now on carry these values.
  void set_by_values(std::vector<ByValue> values);
  void clear_by_values();

  void add_table(Table table);
  void add_graph(Graph graph);
  void add_note(Note note);
  void add_note_lines(std::vector<std::string> lines) { add_note(Note{"", std::move(lines)}); }

 private:
  struct Slot {
    std::string kind;
    std::unique_ptr<OutputDestination> destination;
    bool enabled = true;
  };
  struct OutputRequest {
    std::string table_name;
    std::string dataset_name;
    bool persist = false;
  };
  struct Selection {
    enum class Mode { All, None, Select, Exclude } mode = Mode::All;
    std::vector<std::string> names;
    bool persist = false;
  };

  void deliver(OutputObject object);
  std::string object_path(const std::string& name) const;
  void write_trace(const OutputObject& object);
  void collect_for_output(const OutputObject& object);
  void write_output_datasets();
  bool datasets_written_ = false;
  void report(DeliveryProblem problem);
  void drain_errors(Slot& slot);
  Slot* find_slot(const std::string& kind);
  const Slot* find_slot(const std::string& kind) const;

  TemplateRegistry templates_;
  std::function<void(const DeliveryProblem&)> problem_sink_;
  std::function<void(const std::string&)> trace_sink_;
  DataSetOpener dataset_opener_;
  std::map<std::string, DestinationFactory> factories_;
  std::vector<Slot> slots_;
  FileClaims claims_;

  bool trace_ = false;
  bool graphics_ = true;
  Selection selection_;
  std::vector<OutputRequest> output_requests_;

  std::vector<std::string> titles_, footnotes_;
  int line_size_ = 120;

  bool in_step_ = false;
  StepInfo step_;
  int step_count_ = 0;
  int sequence_ = 0;
  std::vector<GroupLabel> groups_;
  std::vector<ByValue> by_;
  int by_group_ = 0;
  std::map<std::string, std::shared_ptr<const Table>> linked_tables_;
  // Tables of this step that ODS OUTPUT requests matched, by request index.
  std::vector<std::vector<std::pair<std::shared_ptr<const Table>, std::vector<ByValue>>>>
      collected_;
};

}  // namespace kav
