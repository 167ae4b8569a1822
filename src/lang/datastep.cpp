// The DATA step: enters data (INPUT from data lines or a file) and prepares
// it (SET with BY, assignments, IF, DO loops, arrays, RETAIN, KEEP, DROP,
// RENAME, WHERE), then writes one data set.
//
// The step is compiled first into a tree of executable statements over a
// vector of variables (the observation being built), then run as an
// implicit loop: each pass starts with the variables that are not retained
// set to missing, runs the statements in order and writes the observation
// at the end unless the step has OUTPUT statements of its own or the pass
// was cut short by DELETE or a subsetting IF.  The loop ends when SET or
// INPUT has nothing more to read; a step that reads nothing runs once.
//
// A step that stops with an error commits nothing, so an earlier data set of
// the same name is left as it was.
#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <unordered_map>

#include "host/csv.h"
#include "host/expression.h"
#include "host/host_messages.h"
#include "host/services.h"
#include "host/varlist.h"
#include "lang/program.h"
#include "numeric/exact_integer.h"

namespace kav {

namespace {

struct StepError {
  int number;
  std::vector<std::string> args;
  SourcePos pos;
};

[[noreturn]] void fail(const Token& t, int number, std::vector<std::string> args) {
  throw StepError{number, std::move(args), t.pos};
}

struct VarSpec {
  Variable var;
  bool length_given = false;
  bool hidden = false;           // FIRST./LAST., _N_ and END= flags: never written
  bool retained = false;         // keeps its value from one pass to the next
  bool given = false;            // assigned, read or retained somewhere
  bool from_expression = false;  // first met inside an expression
  SourcePos first_use;
  std::optional<double> num_init;
  std::optional<std::string> str_init;
};

struct InputItem {
  int var = 0;
};

struct Infile {
  bool given = false;
  bool from_datalines = false;
  std::string path;
  char delimiter = ' ';
  bool delimiter_given = false;
  bool dsd = false;
  long firstobs = 1;
  SourcePos pos;
};

struct ArrayDef {
  std::vector<int> elements;
  ExprType type = ExprType::Numeric;
  int length = 8;
};

// How a pass through the statements ends.
enum class Flow { Next, Delete, Stop, EndOfData };

struct Exec {
  enum class Kind {
    Assign,
    If,
    Subset,
    Delete,
    Output,
    Stop,
    Block,
    Iterate,
    While,
    Until,
    Over,
    Set,
    Input
  };
  Kind kind = Kind::Block;
  SourcePos pos;
  Expression target, value;                 // Assign; If/Subset/While/Until: value is the condition
  int target_var = -1;                      // Assign to a plain variable
  std::vector<std::unique_ptr<Exec>> body;  // blocks and loops; If: then, else (may be null)
  int loop_var = -1;
  Expression to, by;  // Iterate: value is the start
  int array = -1;     // Over
};

// One data set of a SET statement.
struct SetInput {
  DataSetName name;
  std::unique_ptr<ObsReader> reader;
  std::vector<int> cell;    // the step variable of each column
  std::vector<int> by_col;  // the column of each BY variable
  Observation row;
  std::int64_t number = 0;  // observations read so far
  bool primed = false;      // interleaving: `row` holds the next observation, or
  bool has_row = false;     // the data set has none left
};

struct ByKey {
  std::vector<double> num;
  std::vector<std::string> str;
};

class DataStepBuilder {
 public:
  explicit DataStepBuilder(StepContext& ctx) : ctx_(ctx) {}
  void compile();
  void execute();
  bool has_writer() const { return writer_ != nullptr; }
  const std::string& output_name() const { return out_name_; }

 private:
  int variable(const Token& name, VarKind kind, bool kind_known);
  NameBinding bind(const Token& name, bool call);
  Expression expression(const std::vector<Token>& t, std::size_t& i);
  Expression expression_to_end(const std::vector<Token>& t, std::size_t i);
  void parse_data_statement(const Statement& st);
  void parse_length(const Statement& st);
  void parse_label(const Statement& st);
  void parse_input(const Statement& st);
  void parse_infile(const Statement& st);
  void parse_array(const Statement& st);
  void parse_retain(const Statement& st);
  void parse_keep_drop(const Statement& st);
  void parse_rename(const Statement& st);
  void parse_by(const Statement& st);
  std::unique_ptr<Exec> parse_set(const Statement& st);
  std::unique_ptr<Exec> parse_statement(const Statement& st);
  std::unique_ptr<Exec> parse_any(const Statement& st);
  std::unique_ptr<Exec> parse_assignment(const Statement& st);
  std::unique_ptr<Exec> parse_if(const Statement& st);
  std::unique_ptr<Exec> parse_do(const Statement& st);
  void parse_block_body(Exec& block, const Statement& opener);
  std::string check_name(const Token& t);
  DataSetHeader step_header() const;
  void build_output_header();

  // Running.
  Flow run(const std::vector<std::unique_ptr<Exec>>& list);
  Flow run(const Exec& e);
  void assign(int cell, const Expression& value);
  bool read_set();
  bool read_input();
  void open_infile();
  void write_observation();
  ByKey key_of(const SetInput& in) const;
  int compare_keys(const ByKey& a, const ByKey& b) const;

  // Field source over the data lines or the INFILE file.
  bool next_record(std::vector<std::string>& fields, long& line);
  void split_list(const std::string& line, std::vector<std::string>& out);
  void split_dsd(const std::string& line, std::vector<std::string>& out);
  std::vector<int> columns_;  // 1-based column where each field of the record starts

  StepContext& ctx_;
  std::vector<VarSpec> vars_;
  std::unordered_map<std::string, int> index_;  // upper-case name -> its place in vars_
  std::vector<InputItem> input_;
  bool has_input_ = false;
  bool hold_line_ = false;  // @@
  bool null_output_ = false;
  DataSetName out_;
  std::string out_name_;
  Infile infile_;
  const Statement* datalines_ = nullptr;
  std::size_t next_line_ = 0;
  std::unique_ptr<std::ifstream> file_;
  std::unique_ptr<CsvRecordReader> csv_;
  long file_line_ = 0;

  // Compiling.
  std::size_t next_statement_ = 1;
  std::vector<std::unique_ptr<Exec>> program_;
  std::unordered_map<std::string, int> array_index_;
  std::vector<ArrayDef> arrays_;
  std::vector<std::vector<Token>> where_;  // WHERE statements, for the SET data sets
  const Statement* by_statement_ = nullptr;
  bool has_output_statement_ = false;
  bool retain_all_ = false;
  int nesting_ = 0;     // DO and IF levels being compiled
  bool reads_ = false;  // SET or INPUT
  std::vector<VarListItem> keep_, drop_;
  bool has_keep_ = false, has_drop_ = false;
  std::vector<std::pair<Token, Token>> rename_;
  std::vector<int> out_cells_;
  int n_var_ = -1;  // _N_

  // SET.
  std::vector<SetInput> set_;
  std::vector<int> by_cells_, first_cells_, last_cells_;
  std::vector<bool> by_descending_;
  bool by_notsorted_ = false;
  int end_cell_ = -1;
  std::size_t set_current_ = 0;
  bool set_started_ = false, have_ahead_ = false;
  std::size_t ahead_from_ = 0, last_from_ = static_cast<std::size_t>(-1);
  std::vector<bool> set_cell_;  // the variable comes from a SET data set
  std::optional<ByKey> previous_key_;

  // Running state.
  Observation pdv_;
  ExprNotes notes_;
  ExprEnv env_;
  std::vector<std::size_t> array_at_;
  std::unique_ptr<ObsWriter> writer_;
  long written_ = 0;
  bool read_this_pass_ = false;
  // INPUT.
  std::vector<std::string> fields_;
  std::size_t at_ = 0;
  long line_ = 0;
  bool have_line_ = false;
  long bad_numbers_ = 0;
  std::map<int, long> truncated_;
  bool flow_noted_ = false;
};

int DataStepBuilder::variable(const Token& name, VarKind kind, bool kind_known) {
  std::string n = check_name(name);
  auto [at, fresh] = index_.emplace(upper(n), static_cast<int>(vars_.size()));
  if (!fresh) {
    const std::size_t i = static_cast<std::size_t>(at->second);
    if (kind_known && vars_[i].var.kind != kind) fail(name, msg::kConflictingType, {n});
    return at->second;
  }
  VarSpec v;
  v.var.name = n;
  v.var.kind = kind;
  v.var.length = 8;
  v.first_use = name.pos;
  vars_.push_back(v);
  return static_cast<int>(vars_.size() - 1);
}

// Names in expressions: arrays first, then the step's variables; a name
// never seen before becomes a numeric variable (noted at the end when
// nothing ever gives it a value).
NameBinding DataStepBuilder::bind(const Token& name, bool call) {
  NameBinding b;
  const std::string key = upper(name.value);
  if (auto a = array_index_.find(key); a != array_index_.end()) {
    const ArrayDef& def = arrays_[static_cast<std::size_t>(a->second)];
    b.kind = NameBinding::Kind::Array;
    b.elements = def.elements;
    b.array_id = a->second;
    b.type = def.type;
    b.length = def.length;
    return b;
  }
  auto v = index_.find(key);
  if (v == index_.end()) {
    if (call || key.find('.') != std::string::npos) return b;
    const int k = variable(name, VarKind::Numeric, false);
    vars_[static_cast<std::size_t>(k)].from_expression = true;
    v = index_.find(key);
  }
  const VarSpec& spec = vars_[static_cast<std::size_t>(v->second)];
  b.kind = NameBinding::Kind::Variable;
  b.cell = v->second;
  b.type = spec.var.is_numeric() ? ExprType::Numeric : ExprType::Character;
  b.length = spec.var.length;
  return b;
}

Expression DataStepBuilder::expression(const std::vector<Token>& t, std::size_t& i) {
  try {
    return Expression::parse(t, i, [this](const Token& n, bool call) { return bind(n, call); });
  } catch (const ExpressionError& e) {
    throw StepError{e.number, e.args, e.pos};
  }
}

Expression DataStepBuilder::expression_to_end(const std::vector<Token>& t, std::size_t i) {
  Expression e = expression(t, i);
  if (i < t.size())
    fail(t[i], msg::kSyntax, {"an operator or the end of the statement", t[i].text});
  return e;
}

void DataStepBuilder::parse_data_statement(const Statement& st) {
  const auto& t = st.tokens;
  std::size_t i = 1;
  if (i >= t.size()) {
    // DATA; alone makes the next free WORK.DATAn.
    for (int k = 1;; ++k) {
      DataSetName n;
      n.libref = "WORK";
      n.member = "DATA" + std::to_string(k);
      if (!ctx_.dataset_exists(n)) {
        out_ = n;
        break;
      }
    }
    return;
  }
  if (t[i].is_word("_NULL_") && t.size() == 2) {
    null_output_ = true;
    return;
  }
  SourcePos where;
  std::string err = parse_dataset_name(t, i, out_, where);
  if (!err.empty()) throw StepError{msg::kSyntax, {"a data set name", err}, where};
  if (out_.path.empty() && !is_valid_name(out_.member, ValidVarName::V7))
    throw StepError{msg::kInvalidName, {out_.member, "V7"}, out_.pos};
  if (i < t.size())
    fail(t[i], msg::kSyntax,
         {"the end of the DATA statement (one data set is written)", t[i].text});
}

// ARRAY name{n} [$ [length]] [elements];  ARRAY name{*} elements;  and
// ARRAY name elements;  Elements not yet known are made.
void DataStepBuilder::parse_array(const Statement& st) {
  const auto& t = st.tokens;
  if (t.size() < 2 || !t[1].is_name())
    fail(t.size() < 2 ? t[0] : t[1], msg::kSyntax,
         {"an array name after ARRAY", t.size() < 2 ? "the end of the statement" : t[1].text});
  const Token& name = t[1];
  if (array_index_.count(upper(name.value)) || index_.count(upper(name.value)))
    fail(name, msg::kBlockBad,
         {"ARRAY " + name.value + " names an array or variable that already exists"});
  std::size_t i = 2;
  long declared = -1;  // -1: count the elements
  if (i < t.size() && (t[i].is_symbol("{") || t[i].is_symbol("[") || t[i].is_symbol("("))) {
    const std::string close = t[i].is_symbol("{") ? "}" : t[i].is_symbol("[") ? "]" : ")";
    ++i;
    if (i < t.size() && t[i].is_symbol("*")) {
      ++i;
    } else {
      const std::optional<long> n = i < t.size() && t[i].kind == TokenKind::Number
                                        ? exact_integer<long>(t[i].number)
                                        : std::nullopt;
      if (!n || *n < 1 || *n > 100000)
        fail(
            i < t.size() ? t[i] : name, msg::kSyntax,
            {"the number of elements or *", i < t.size() ? t[i].text : "the end of the statement"});
      declared = *n;
      ++i;
    }
    if (i >= t.size() || !t[i].is_symbol(close.c_str()))
      fail(i < t.size() ? t[i] : name, msg::kSyntax,
           {close, i < t.size() ? t[i].text : "the end of the statement"});
    ++i;
  }
  ArrayDef def;
  bool is_char = false;
  if (i < t.size() && t[i].is_symbol("$")) {
    is_char = true;
    def.type = ExprType::Character;
    ++i;
    if (i < t.size() && t[i].kind == TokenKind::Number) {
      const std::optional<int> len = exact_integer<int>(t[i].number);
      if (!len || *len < 1 || *len > 32767) fail(t[i], msg::kLengthBad, {t[i].text, name.value});
      def.length = *len;
      ++i;
    }
  }
  std::vector<Token> names;
  for (; i < t.size(); ++i) {
    if (i + 2 < t.size() && t[i + 1].is_symbol("-") && t[i + 2].is_name()) {
      NumberedRange range;
      if (!numbered_range(t[i].value, t[i + 2].value, range) || range.last < range.first ||
          range.last - range.first > 100000)
        fail(t[i], msg::kSyntax,
             {"a numbered range such as q1-q7", t[i].value + "-" + t[i + 2].value});
      for (long k = range.first; k <= range.last; ++k) {
        Token n = t[i];
        n.value = n.text = range.name(k);
        names.push_back(n);
      }
      i += 2;
    } else if (t[i].is_name() || t[i].kind == TokenKind::NameLiteral) {
      names.push_back(t[i]);
    } else {
      fail(t[i], msg::kSyntax, {"an element name", t[i].text});
    }
  }
  if (names.empty()) {
    if (declared < 0) fail(name, msg::kSyntax, {"the elements of array " + name.value, "none"});
    for (long k = 1; k <= declared; ++k) {
      Token n = name;
      n.value = n.text = name.value + std::to_string(k);
      names.push_back(n);
    }
  }
  if (declared >= 0 && static_cast<long>(names.size()) != declared)
    fail(name, msg::kBlockBad,
         {"ARRAY " + name.value + " declares " + std::to_string(declared) + " elements but lists " +
          std::to_string(names.size())});
  // Without $ the array takes the kind of its first element when that
  // exists already (character variables read by SET, say).
  if (!is_char) {
    auto first = index_.find(upper(names[0].value));
    if (first != index_.end() && !vars_[static_cast<std::size_t>(first->second)].var.is_numeric()) {
      is_char = true;
      def.type = ExprType::Character;
      def.length = vars_[static_cast<std::size_t>(first->second)].var.length;
    }
  }
  for (const Token& n : names) {
    const bool fresh = !index_.count(upper(n.value));
    const int k = variable(n, is_char ? VarKind::Character : VarKind::Numeric, false);
    VarSpec& v = vars_[static_cast<std::size_t>(k)];
    if (fresh && is_char) {
      v.var.kind = VarKind::Character;
      v.var.length = def.length;
    }
    if (v.var.is_numeric() != (def.type == ExprType::Numeric)) fail(n, msg::kConflictingType, {n.value});
    def.elements.push_back(k);
  }
  array_index_[upper(name.value)] = static_cast<int>(arrays_.size());
  arrays_.push_back(std::move(def));
}

// RETAIN [names [initial value]] ...;  Alone it retains every variable.
void DataStepBuilder::parse_retain(const Statement& st) {
  const auto& t = st.tokens;
  std::vector<int> pending;
  auto set_initial = [&](const Token& v) {
    for (int k : pending) {
      VarSpec& spec = vars_[static_cast<std::size_t>(k)];
      spec.given = true;
      if (v.kind == TokenKind::String) {
        if (spec.var.is_numeric() && !spec.from_expression)
          fail(v, msg::kConflictingType, {spec.var.name});
        if (!spec.length_given) {
          // A variable first met here takes the length of its start value.
          const int floor = spec.var.is_numeric() ? 1 : spec.var.length;
          spec.var.length = std::max<int>(floor, static_cast<int>(v.value.size()));
        }
        spec.var.kind = VarKind::Character;
        spec.str_init = v.value;
      } else {
        if (!spec.var.is_numeric()) fail(v, msg::kConflictingType, {spec.var.name});
        spec.num_init = v.number;
      }
      spec.from_expression = false;
    }
    pending.clear();
  };
  if (t.size() == 1) retain_all_ = true;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (t[i].kind == TokenKind::Number || t[i].kind == TokenKind::Missing ||
        t[i].kind == TokenKind::String) {
      if (pending.empty())
        fail(t[i], msg::kSyntax, {"a variable name before the initial value", t[i].text});
      set_initial(t[i]);
    } else if (t[i].is_symbol("-") && i + 1 < t.size() && t[i + 1].kind == TokenKind::Number) {
      Token negative = t[i + 1];
      negative.number = -negative.number;
      if (pending.empty())
        fail(t[i], msg::kSyntax, {"a variable name before the initial value", t[i].text});
      set_initial(negative);
      ++i;
    } else if (t[i].is_name() || t[i].kind == TokenKind::NameLiteral) {
      const bool fresh = !index_.count(upper(t[i].value));
      const int k = variable(t[i], VarKind::Numeric, false);
      if (fresh) vars_[static_cast<std::size_t>(k)].from_expression = true;
      vars_[static_cast<std::size_t>(k)].retained = true;
      pending.push_back(k);
    } else {
      fail(t[i], msg::kSyntax, {"a variable name or an initial value", t[i].text});
    }
  }
}

void DataStepBuilder::parse_keep_drop(const Statement& st) {
  const bool keep = st.keyword() == "KEEP";
  std::size_t i = 1;
  VarListError err;
  if (st.tokens.size() < 2)
    fail(st.tokens[0], msg::kSyntax, {"variable names", "the end of the statement"});
  if (!read_varlist(st.tokens, i, keep ? keep_ : drop_, err))
    throw StepError{err.number, err.args, err.pos};
  (keep ? has_keep_ : has_drop_) = true;
}

void DataStepBuilder::parse_rename(const Statement& st) {
  const auto& t = st.tokens;
  for (std::size_t i = 1; i < t.size(); i += 3) {
    if (i + 2 >= t.size() || !t[i + 1].is_symbol("=") || !t[i].is_name() || !t[i + 2].is_name())
      fail(t[i], msg::kSyntax, {"old = new", t[i].text});
    check_name(t[i + 2]);
    rename_.emplace_back(t[i], t[i + 2]);
  }
  if (t.size() < 2) fail(t[0], msg::kSyntax, {"old = new", "the end of the statement"});
}

// SET ds1 ds2 ... [END=var];  Each data set's variables join the step's, in
// the order met; they keep their values from one pass to the next.
std::unique_ptr<Exec> DataStepBuilder::parse_set(const Statement& st) {
  const auto& t = st.tokens;
  if (!set_.empty())
    fail(t[0], msg::kDataStepStatementUnsupported,
         {"a second SET statement (name every data set in one SET)"});
  for (std::size_t i = 1; i < t.size();) {
    if (t[i].is_word("END") && i + 2 < t.size() && t[i + 1].is_symbol("=")) {
      end_cell_ = variable(t[i + 2], VarKind::Numeric, true);
      vars_[static_cast<std::size_t>(end_cell_)].hidden = true;
      vars_[static_cast<std::size_t>(end_cell_)].given = true;
      i += 3;
      continue;
    }
    SetInput in;
    SourcePos where;
    std::string err = parse_dataset_name(t, i, in.name, where);
    if (!err.empty()) throw StepError{msg::kSyntax, {"a data set name", err}, where};
    for (const auto& w : where_) in.name.where.push_back(w);
    in.reader = ctx_.open_input(in.name);
    const DataSetHeader& h = in.reader->header();
    for (const Variable& v : h.vars) {
      Token name;
      name.kind = TokenKind::Name;
      name.value = name.text = v.name;
      name.pos = in.name.pos;
      const bool fresh = !index_.count(upper(v.name));
      const int k = variable(
          name, v.kind,
          !fresh && !vars_[static_cast<std::size_t>(index_[upper(v.name)])].from_expression);
      VarSpec& spec = vars_[static_cast<std::size_t>(k)];
      if (spec.from_expression) spec.var.kind = v.kind;
      spec.from_expression = false;
      spec.retained = spec.given = true;
      if (!spec.length_given)
        spec.var.length = fresh ? v.length : std::max(spec.var.length, v.length);
      if (spec.var.label.empty()) spec.var.label = v.label;
      in.cell.push_back(k);
    }
    in.row.resize(h.vars.size());
    set_.push_back(std::move(in));
  }
  if (set_.empty())
    fail(t[0], msg::kSyntax, {"a data set name after SET", "the end of the statement"});
  if (by_statement_) parse_by(*by_statement_);
  reads_ = true;
  auto e = std::make_unique<Exec>();
  e->kind = Exec::Kind::Set;
  e->pos = st.pos;
  return e;
}

// BY [DESCENDING] names [NOTSORTED];  makes FIRST.name and LAST.name.
void DataStepBuilder::parse_by(const Statement& st) {
  std::vector<VarListItem> items;
  VarListError err;
  std::size_t i = 1;
  if (!read_varlist(st.tokens, i, items, err, true, &by_notsorted_))
    throw StepError{err.number, err.args, err.pos};
  std::vector<int> idx;
  for (const auto& item : items) by_descending_.push_back(item.descending);
  if (!resolve_varlist(items, step_header(), VarType::Any, "BY", idx, err))
    throw StepError{err.number, err.args, err.pos};
  for (int k : idx) {
    by_cells_.push_back(k);
    for (const char* which : {"FIRST.", "LAST."}) {
      VarSpec v;
      v.var.name = which + vars_[static_cast<std::size_t>(k)].var.name;
      v.hidden = v.retained = v.given = true;
      index_[upper(v.var.name)] = static_cast<int>(vars_.size());
      (which[0] == 'F' ? first_cells_ : last_cells_).push_back(static_cast<int>(vars_.size()));
      vars_.push_back(v);
    }
  }
  by_descending_.resize(by_cells_.size(), false);
  for (auto& in : set_)
    for (int k : by_cells_) {
      auto at = std::find(in.cell.begin(), in.cell.end(), k);
      if (at == in.cell.end())
        throw StepError{msg::kByVariableMissing,
                        {vars_[static_cast<std::size_t>(k)].var.name, in.reader->header().name},
                        st.pos};
      in.by_col.push_back(static_cast<int>(at - in.cell.begin()));
    }
}

DataSetHeader DataStepBuilder::step_header() const {
  DataSetHeader h;
  h.name = "the DATA step";
  for (const auto& v : vars_) h.vars.push_back(v.var);
  return h;
}

std::unique_ptr<Exec> DataStepBuilder::parse_assignment(const Statement& st) {
  const auto& t = st.tokens;
  // The target ends at the = outside any subscript.
  std::size_t eq = 0;
  int depth = 0;
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].is_symbol("(") || t[k].is_symbol("{") || t[k].is_symbol("[")) ++depth;
    if (t[k].is_symbol(")") || t[k].is_symbol("}") || t[k].is_symbol("]")) --depth;
    if (depth == 0 && t[k].is_symbol("=")) {
      eq = k;
      break;
    }
  }
  if (eq + 1 >= t.size())
    fail(t[eq], msg::kSyntax, {"an expression after =", "the end of the statement"});
  auto e = std::make_unique<Exec>();
  e->kind = Exec::Kind::Assign;
  e->pos = t[eq].pos;
  e->value = expression_to_end(t, eq + 1);
  const VarKind kind = e->value.type() == ExprType::Numeric ? VarKind::Numeric : VarKind::Character;
  if (eq == 1 && !array_index_.count(upper(t[0].value))) {
    const bool fresh = !index_.count(upper(t[0].value));
    const int k = variable(t[0], kind, false);
    VarSpec& v = vars_[static_cast<std::size_t>(k)];
    if (fresh || (v.from_expression && !v.given)) {
      v.var.kind = kind;
      if (kind == VarKind::Character && !v.length_given) v.var.length = e->value.length();
    } else if (v.var.kind != kind) {
      fail(
          t[eq], msg::kExprType,
          {"=", v.var.is_numeric() ? "numeric" : "character", "the value assigned to " + v.var.name,
           kind == VarKind::Numeric ? "numeric" : "character"});
    }
    v.from_expression = false;
    v.given = true;
    e->target_var = k;
    return e;
  }
  std::vector<Token> target(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(eq));
  e->target = expression_to_end(target, 0);
  if (!e->target.assignable())
    fail(t[0], msg::kSyntax, {"a variable or array element before =", t[0].text});
  if (e->target.type() != e->value.type())
    fail(t[eq], msg::kExprType,
         {"=", e->target.type() == ExprType::Numeric ? "numeric" : "character", "the value",
          e->value.type() == ExprType::Numeric ? "numeric" : "character"});
  return e;
}

// A statement that stands where a statement may run: at the top of the
// step, after THEN or ELSE, or inside a DO block.
std::unique_ptr<Exec> DataStepBuilder::parse_statement(const Statement& st) {
  const auto& t = st.tokens;
  const std::string kw = st.keyword();
  auto simple = [&](Exec::Kind kind) {
    if (t.size() > 1) fail(t[1], msg::kSyntax, {"the end of the " + kw + " statement", t[1].text});
    auto e = std::make_unique<Exec>();
    e->kind = kind;
    e->pos = st.pos;
    return e;
  };
  const bool is_array_target = t.size() > 1 && array_index_.count(upper(t[0].value)) &&
                               (t[1].is_symbol("{") || t[1].is_symbol("[") || t[1].is_symbol("("));
  if ((t[0].is_name() || t[0].kind == TokenKind::NameLiteral) && t.size() >= 2 &&
      (t[1].is_symbol("=") || is_array_target))
    return parse_assignment(st);
  if (kw == "IF") return parse_if(st);
  if (kw == "DO") return parse_do(st);
  if (kw == "DELETE") return simple(Exec::Kind::Delete);
  if (kw == "STOP") return simple(Exec::Kind::Stop);
  if (kw == "OUTPUT") {
    has_output_statement_ = true;
    return simple(Exec::Kind::Output);
  }
  if (kw == "SET") return parse_set(st);
  if (kw == "INPUT") {
    parse_input(st);
    reads_ = true;
    auto e = std::make_unique<Exec>();
    e->kind = Exec::Kind::Input;
    e->pos = st.pos;
    return e;
  }
  if (kw == "ELSE") fail(t[0], msg::kBlockBad, {"ELSE must follow an IF ... THEN statement"});
  if (kw == "END") fail(t[0], msg::kBlockBad, {"END has no DO to close"});
  fail(t[0], msg::kDataStepStatementUnsupported, {"the statement \"" + st.text + "\""});
}
std::string DataStepBuilder::check_name(const Token& t) {
  if (t.kind != TokenKind::Name && t.kind != TokenKind::NameLiteral)
    fail(t, msg::kSyntax, {"a variable name", t.text});
  ValidVarName rule = ctx_.validvarname();
  if (t.kind == TokenKind::NameLiteral && rule != ValidVarName::Any)
    fail(t, msg::kInvalidName, {"'" + t.value + "'n", validvarname_text(rule)});
  if (!is_valid_name(t.value, rule)) fail(t, msg::kInvalidName, {t.value, validvarname_text(rule)});
  return t.value;
}

void DataStepBuilder::parse_length(const Statement& st) {
  const auto& t = st.tokens;
  std::vector<const Token*> pending;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (t[i].is_name() || t[i].kind == TokenKind::NameLiteral) {
      pending.push_back(&t[i]);
      continue;
    }
    bool is_char = false;
    if (t[i].is_symbol("$")) {
      is_char = true;
      ++i;
    }
    if (i >= t.size() || t[i].kind != TokenKind::Number)
      fail(i < t.size() ? t[i] : t.back(), msg::kSyntax,
           {"a length", i < t.size() ? t[i].text : "the end of the statement"});
    if (pending.empty()) fail(t[i], msg::kSyntax, {"a variable name before the length", t[i].text});
    const std::optional<int> len = exact_integer<int>(t[i].number);
    for (const Token* name : pending) {
      if (!len || *len < 1 || *len > 32767 || (!is_char && (*len < 3 || *len > 8)))
        fail(t[i], msg::kLengthBad, {t[i].text, name->value});
      int k = variable(*name, is_char ? VarKind::Character : VarKind::Numeric, true);
      vars_[static_cast<std::size_t>(k)].var.length = is_char ? *len : 8;
      vars_[static_cast<std::size_t>(k)].length_given = true;
    }
    pending.clear();
  }
  if (!pending.empty())
    fail(*pending.back(), msg::kSyntax,
         {"a length after " + pending.back()->value, "the end of the statement"});
}

void DataStepBuilder::parse_label(const Statement& st) {
  const auto& t = st.tokens;
  for (std::size_t i = 1; i < t.size(); i += 3) {
    if (i + 2 >= t.size() || !t[i + 1].is_symbol("=") || t[i + 2].kind != TokenKind::String)
      fail(t[i], msg::kSyntax, {"name = 'label'", t[i].text});
    int k = variable(t[i], VarKind::Numeric, false);
    vars_[static_cast<std::size_t>(k)].var.label = t[i + 2].value;
  }
}

void DataStepBuilder::parse_input(const Statement& st) {
  const auto& t = st.tokens;
  if (has_input_) fail(t[0], msg::kInputListBad, {"only one INPUT statement is supported"});
  has_input_ = true;
  if (t.size() < 2) fail(t[0], msg::kInputListBad, {"it names no variables"});
  for (std::size_t i = 1; i < t.size(); ++i) {
    const Token& tok = t[i];
    if (tok.is_symbol("@@")) {
      if (i + 1 != t.size()) fail(tok, msg::kInputListBad, {"@@ must come last"});
      hold_line_ = true;
      continue;
    }
    if (!tok.is_name() && tok.kind != TokenKind::NameLiteral)
      fail(tok, msg::kInputListBad, {"expected a variable name, found " + tok.text});
    // A numbered range: x1-x10, or T01-T24 keeping the width of its numbers.
    std::vector<Token> names;
    if (i + 2 < t.size() && t[i + 1].is_symbol("-") && t[i + 2].is_name()) {
      const std::string written = tok.value + "-" + t[i + 2].value;
      NumberedRange range;
      if (!numbered_range(tok.value, t[i + 2].value, range))
        fail(tok, msg::kInputListBad, {written + " is not a numbered range such as x1-x10"});
      if (range.last < range.first)
        fail(tok, msg::kInputListBad, {"the range " + written + " counts down"});
      if (range.last - range.first > 100000)
        fail(tok, msg::kInputListBad, {"the range " + written + " is too long"});
      for (long k = range.first; k <= range.last; ++k) {
        Token n = tok;
        n.value = range.name(k);
        names.push_back(n);
      }
      i += 2;
    } else {
      names.push_back(tok);
    }
    bool is_char = false;
    if (i + 1 < t.size() && t[i + 1].is_symbol("$")) {
      is_char = true;
      ++i;
      // An optional length right after $ (input name $ 20 is not list input
      // in the strict sense, but a width is what the user means).
      if (i + 1 < t.size() && t[i + 1].kind == TokenKind::Number) {
        const Token& w = t[i + 1];
        const std::optional<int> width = exact_integer<int>(w.number);
        if (!width || *width < 1 || *width > 32767)
          fail(w, msg::kLengthBad, {w.text, names.back().value});
        for (auto& n : names) {
          int k = variable(n, VarKind::Character, true);
          if (!vars_[static_cast<std::size_t>(k)].length_given)
            vars_[static_cast<std::size_t>(k)].var.length = *width;
          vars_[static_cast<std::size_t>(k)].length_given = true;
        }
        ++i;
      }
    } else if (i + 1 < t.size() && !t[i + 1].is_name() && !t[i + 1].is_symbol("@@") &&
               t[i + 1].kind != TokenKind::NameLiteral) {
      fail(t[i + 1], msg::kInputListBad,
           {"unexpected " + t[i + 1].text + " after " + names.back().value +
            " (list input takes names, $ and @@)"});
    }
    for (auto& n : names) {
      int k = variable(n, is_char ? VarKind::Character : VarKind::Numeric, true);
      // A variable read with $ that LENGTH declared numeric was caught above;
      // one declared character by LENGTH stays character even without $.
      input_.push_back({k});
    }
  }
  if (input_.empty()) fail(t[0], msg::kInputListBad, {"it names no variables"});
}

void DataStepBuilder::parse_infile(const Statement& st) {
  const auto& t = st.tokens;
  if (infile_.given) fail(t[0], msg::kDataStepStatementUnsupported, {"a second INFILE statement"});
  infile_.given = true;
  infile_.pos = st.pos;
  if (t.size() < 2)
    fail(t[0], msg::kSyntax,
         {"a quoted file name or DATALINES after INFILE", "the end of the statement"});
  if (t[1].kind == TokenKind::String) {
    infile_.path = t[1].value;
  } else if (t[1].is_word("DATALINES") || t[1].is_word("CARDS")) {
    infile_.from_datalines = true;
  } else {
    fail(t[1], msg::kSyntax, {"a quoted file name or DATALINES", t[1].text});
  }
  for (std::size_t i = 2; i < t.size(); ++i) {
    if (t[i].is_word("DSD")) {
      infile_.dsd = true;
    } else if ((t[i].is_word("DLM") || t[i].is_word("DELIMITER")) && i + 2 < t.size() &&
               t[i + 1].is_symbol("=")) {
      const Token& v = t[i + 2];
      if (v.kind != TokenKind::String || v.value.size() != 1)
        fail(v, msg::kBadOptionValue,
             {"DLM=", v.text, "give one character in quotes, such as ','"});
      infile_.delimiter = v.value[0];
      infile_.delimiter_given = true;
      i += 2;
    } else if (t[i].is_word("FIRSTOBS") && i + 2 < t.size() && t[i + 1].is_symbol("=")) {
      const Token& v = t[i + 2];
      const std::optional<long> first =
          v.kind == TokenKind::Number ? exact_integer<long>(v.number) : std::nullopt;
      if (!first || *first < 1)
        fail(v, msg::kBadOptionValue, {"FIRSTOBS=", v.text, "give a whole number of 1 or more"});
      infile_.firstobs = *first;
      i += 2;
    } else {
      fail(t[i], msg::kUnknownOption, {t[i].text, "INFILE"});
    }
  }
  if (infile_.dsd && !infile_.delimiter_given) infile_.delimiter = ',';
}

void DataStepBuilder::split_list(const std::string& line, std::vector<std::string>& out) {
  out.clear();
  columns_.clear();
  char d = infile_.delimiter;
  std::size_t i = 0, n = line.size();
  auto is_sep = [&](char c) { return c == d || c == ' ' || c == '\t' || c == '\r'; };
  while (i < n) {
    while (i < n && is_sep(line[i])) ++i;
    if (i >= n) break;
    std::size_t s = i;
    while (i < n && !is_sep(line[i])) ++i;
    out.push_back(line.substr(s, i - s));
    columns_.push_back(static_cast<int>(s) + 1);
  }
}

void DataStepBuilder::split_dsd(const std::string& line, std::vector<std::string>& out) {
  out.clear();
  columns_.clear();
  char d = infile_.delimiter;
  std::size_t i = 0, n = line.size();
  if (n && line[n - 1] == '\r') --n;
  for (;;) {
    std::string f;
    columns_.push_back(static_cast<int>(i) + 1);
    if (i < n && line[i] == '"') {
      ++i;
      while (i < n) {
        if (line[i] == '"') {
          if (i + 1 < n && line[i + 1] == '"') {
            f += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        f += line[i++];
      }
      while (i < n && line[i] != d) f += line[i++];
    } else {
      while (i < n && line[i] != d) f += line[i++];
    }
    out.push_back(f);
    if (i >= n) break;
    ++i;  // the delimiter
  }
}

bool DataStepBuilder::next_record(std::vector<std::string>& fields, long& line) {
  for (;;) {
    std::string text;
    if (csv_) {
      if (!csv_->next()) return false;
      line = static_cast<long>(csv_->line());
      fields.clear();
      columns_.clear();
      for (std::size_t k = 0; k < csv_->size(); ++k) {
        fields.emplace_back(csv_->operator[](k));
        columns_.push_back(1);  // the record reader does not keep columns
      }
    } else if (file_) {
      if (!std::getline(*file_, text)) return false;
      line = ++file_line_;
      if (line == 1 && text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (infile_.dsd)
        split_dsd(text, fields);
      else
        split_list(text, fields);
    } else {
      if (!datalines_ || next_line_ >= datalines_->lines.size()) return false;
      text = datalines_->lines[next_line_];
      line = datalines_->first_line + static_cast<long>(next_line_);
      ++next_line_;
      if (infile_.dsd)
        split_dsd(text, fields);
      else
        split_list(text, fields);
    }
    if (line < infile_.firstobs && infile_.given) continue;
    // Blank lines hold no fields; list input passes over them.
    if (fields.empty() || (fields.size() == 1 && fields[0].empty() && !infile_.dsd)) continue;
    return true;
  }
}

// The tokens of a statement from `from` on, as a statement of their own
// (what follows THEN or ELSE).
Statement tail_of(const Statement& st, std::size_t from) {
  Statement out;
  out.tokens.assign(st.tokens.begin() + static_cast<std::ptrdiff_t>(from), st.tokens.end());
  out.pos = out.tokens.empty() ? st.pos : out.tokens[0].pos;
  out.text = st.text;
  return out;
}

// Counts the DO and IF levels being compiled: compiling and running them
// recurse, so their depth is held to what a program can mean.
struct Nesting {
  int& depth;
  Nesting(int& d, const Token& at) : depth(d) {
    if (++depth > 200)
      throw StepError{
          msg::kBlockBad, {"DO and IF statements are nested more than 200 deep here"}, at.pos};
  }
  ~Nesting() { --depth; }
};

std::unique_ptr<Exec> DataStepBuilder::parse_if(const Statement& st) {
  const auto& t = st.tokens;
  Nesting level(nesting_, t[0]);
  if (t.size() < 2) fail(t[0], msg::kSyntax, {"a condition after IF", "the end of the statement"});
  std::size_t i = 1;
  auto e = std::make_unique<Exec>();
  e->pos = st.pos;
  e->value = expression(t, i);
  if (i >= t.size()) {
    e->kind = Exec::Kind::Subset;
    return e;
  }
  if (!t[i].is_word("THEN"))
    fail(t[i], msg::kSyntax, {"THEN or the end of the IF statement", t[i].text});
  if (i + 1 >= t.size())
    fail(t[i], msg::kSyntax, {"a statement after THEN", "the end of the statement"});
  e->kind = Exec::Kind::If;
  e->body.push_back(parse_statement(tail_of(st, i + 1)));
  const auto& sts = ctx_.statements();
  if (next_statement_ < sts.size() && sts[next_statement_].keyword() == "ELSE") {
    const Statement& other = sts[next_statement_++];
    if (other.tokens.size() < 2)
      fail(other.tokens[0], msg::kSyntax, {"a statement after ELSE", "the end of the statement"});
    e->body.push_back(parse_statement(tail_of(other, 1)));
  } else {
    e->body.push_back(nullptr);
  }
  return e;
}

// DO; ... END;  DO i = a TO b [BY c]; ... END;  DO WHILE (c); DO UNTIL (c);
// DO OVER array;
std::unique_ptr<Exec> DataStepBuilder::parse_do(const Statement& st) {
  const auto& t = st.tokens;
  Nesting level(nesting_, t[0]);
  auto e = std::make_unique<Exec>();
  e->pos = st.pos;
  if (t.size() == 1) {
    e->kind = Exec::Kind::Block;
  } else if (t[1].is_word("OVER")) {
    if (t.size() != 3 || !array_index_.count(upper(t[2].value)))
      fail(t.size() > 2 ? t[2] : t[1], msg::kSyntax,
           {"the name of an array after DO OVER",
            t.size() > 2 ? t[2].text : "the end of the statement"});
    e->kind = Exec::Kind::Over;
    e->array = array_index_[upper(t[2].value)];
  } else if ((t[1].is_word("WHILE") || t[1].is_word("UNTIL")) && t.size() > 2 &&
             t[2].is_symbol("(")) {
    e->kind = t[1].is_word("WHILE") ? Exec::Kind::While : Exec::Kind::Until;
    e->value = expression_to_end(t, 2);
  } else if (t[1].is_name() && t.size() > 2 && t[2].is_symbol("=")) {
    e->kind = Exec::Kind::Iterate;
    e->loop_var = variable(t[1], VarKind::Numeric, true);
    vars_[static_cast<std::size_t>(e->loop_var)].given = true;
    vars_[static_cast<std::size_t>(e->loop_var)].from_expression = false;
    std::size_t i = 3;
    e->value = expression(t, i);
    if (i >= t.size() || !t[i].is_word("TO"))
      fail(i < t.size() ? t[i] : t.back(), msg::kSyntax,
           {"TO", i < t.size() ? t[i].text : "the end of the statement"});
    ++i;
    e->to = expression(t, i);
    if (i < t.size() && t[i].is_word("BY")) {
      ++i;
      e->by = expression(t, i);
    }
    if (i < t.size()) fail(t[i], msg::kSyntax, {"BY or the end of the DO statement", t[i].text});
    for (const Expression* x : {&e->value, &e->to, &e->by})
      if (!x->empty() && x->type() != ExprType::Numeric)
        throw StepError{msg::kExprType, {"DO", "numeric", "a bound", "character"}, x->pos()};
  } else {
    fail(t[1], msg::kSyntax,
         {"OVER, WHILE, UNTIL or a variable = start TO end after DO", t[1].text});
  }
  parse_block_body(*e, st);
  return e;
}

void DataStepBuilder::parse_block_body(Exec& block, const Statement& opener) {
  const auto& sts = ctx_.statements();
  for (;;) {
    if (next_statement_ >= sts.size() || sts[next_statement_].keyword() == "DATALINES" ||
        sts[next_statement_].keyword() == "CARDS")
      fail(opener.tokens[0], msg::kBlockBad, {"The DO statement here has no END"});
    const Statement& st = sts[next_statement_++];
    if (st.keyword() == "END") {
      if (st.tokens.size() > 1)
        fail(st.tokens[1], msg::kSyntax, {"the end of the END statement", st.tokens[1].text});
      return;
    }
    if (auto e = parse_any(st)) block.body.push_back(std::move(e));
  }
}

// Statements that declare rather than run are taken wherever they stand.
std::unique_ptr<Exec> DataStepBuilder::parse_any(const Statement& st) {
  const std::string kw = st.keyword();
  const bool assignment = st.tokens.size() >= 2 && st.tokens[1].is_symbol("=");
  if (!assignment) {
    if (kw == "LENGTH")
      parse_length(st);
    else if (kw == "LABEL")
      parse_label(st);
    else if (kw == "INFILE")
      parse_infile(st);
    else if (kw == "ARRAY")
      parse_array(st);
    else if (kw == "RETAIN")
      parse_retain(st);
    else if (kw == "KEEP" || kw == "DROP")
      parse_keep_drop(st);
    else if (kw == "RENAME")
      parse_rename(st);
    else if (kw == "WHERE" || kw == "BY") {
      // Taken before the statements run: see compile().
    } else if (kw == "DATALINES" || kw == "CARDS" || kw == "LINES")
      datalines_ = &st;
    else
      return parse_statement(st);
    return nullptr;
  }
  return parse_statement(st);
}

void DataStepBuilder::compile() {
  const auto& sts = ctx_.statements();
  parse_data_statement(sts[0]);
  // WHERE and BY act on the SET data sets, wherever they stand.
  for (std::size_t s = 1; s < sts.size(); ++s) {
    const Statement& st = sts[s];
    if (st.tokens.size() >= 2 && st.tokens[1].is_symbol("=")) continue;
    if (st.keyword() == "WHERE") {
      if (st.tokens.size() < 2)
        fail(st.tokens[0], msg::kSyntax, {"a condition after WHERE", "the end of the statement"});
      where_.emplace_back(st.tokens.begin() + 1, st.tokens.end());
    } else if (st.keyword() == "BY") {
      if (by_statement_)
        fail(st.tokens[0], msg::kBlockBad, {"The DATA step takes one BY statement"});
      by_statement_ = &st;
    }
  }
  VarSpec n;
  n.var.name = "_N_";
  n.hidden = n.given = true;
  n_var_ = static_cast<int>(vars_.size());
  index_["_N_"] = n_var_;
  vars_.push_back(n);
  while (next_statement_ < sts.size()) {
    const Statement& st = sts[next_statement_++];
    if (auto e = parse_any(st)) program_.push_back(std::move(e));
  }
  if (by_statement_ && set_.empty())
    fail(by_statement_->tokens[0], msg::kBlockBad, {"BY needs a SET statement to group"});
  if (!where_.empty() && set_.empty())
    fail(sts[0].tokens[0], msg::kBlockBad,
         {"WHERE needs a SET statement whose observations it chooses"});
  if (has_input_ && !datalines_ && (!infile_.given || infile_.from_datalines))
    fail(sts[0].tokens[0], msg::kNoDataLines, {});
  if (infile_.given && !infile_.from_datalines && datalines_)
    ctx_.xpmlog(kHostGroup, msg::kDataLinesWithInfile, {}, datalines_->pos);
  for (const auto& v : vars_)
    if (v.from_expression && !v.given) {
      SourcePos p = v.first_use;
      ctx_.xpmlog(kHostGroup, msg::kUninitialized, {v.var.name}, p);
    }
  build_output_header();
}

void DataStepBuilder::build_output_header() {
  std::vector<bool> keep(vars_.size(), !has_keep_);
  const DataSetHeader h = step_header();
  auto apply = [&](const std::vector<VarListItem>& items, const char* what, bool value) {
    std::vector<int> idx;
    VarListError err;
    if (!resolve_varlist(items, h, VarType::Any, what, idx, err))
      throw StepError{err.number, err.args, err.pos};
    for (int k : idx) keep[static_cast<std::size_t>(k)] = value;
  };
  if (has_keep_) apply(keep_, "KEEP", true);
  if (has_drop_) apply(drop_, "DROP", false);
  for (std::size_t k = 0; k < vars_.size(); ++k)
    if (keep[k] && !vars_[k].hidden) out_cells_.push_back(static_cast<int>(k));
}

Flow DataStepBuilder::run(const std::vector<std::unique_ptr<Exec>>& list) {
  for (const auto& e : list) {
    const Flow f = run(*e);
    if (f != Flow::Next) return f;
  }
  return Flow::Next;
}

void DataStepBuilder::assign(int cell, const Expression& value) {
  const std::size_t k = static_cast<std::size_t>(cell);
  VarSpec& v = vars_[k];
  if (v.var.is_numeric()) {
    pdv_.num[k] = value.number(env_);
    return;
  }
  std::string s = value.text(env_);
  if (s.size() > static_cast<std::size_t>(v.var.length)) {
    ++truncated_[cell];
    s.resize(static_cast<std::size_t>(v.var.length));
  }
  pdv_.str[k] = std::move(s);
}

Flow DataStepBuilder::run(const Exec& e) {
  switch (e.kind) {
    case Exec::Kind::Assign:
      assign(e.target_var >= 0 ? e.target_var : e.target.target_cell(env_), e.value);
      return Flow::Next;
    case Exec::Kind::If: {
      const Exec* branch = e.value.truth(env_) ? e.body[0].get() : e.body[1].get();
      return branch ? run(*branch) : Flow::Next;
    }
    case Exec::Kind::Subset:
      return e.value.truth(env_) ? Flow::Next : Flow::Delete;
    case Exec::Kind::Delete:
      return Flow::Delete;
    case Exec::Kind::Stop:
      return Flow::Stop;
    case Exec::Kind::Output:
      write_observation();
      return Flow::Next;
    case Exec::Kind::Block:
      return run(e.body);
    case Exec::Kind::Set:
      read_this_pass_ = true;
      return read_set() ? Flow::Next : Flow::EndOfData;
    case Exec::Kind::Input:
      read_this_pass_ = true;
      return read_input() ? Flow::Next : Flow::EndOfData;
    case Exec::Kind::While:
      while (e.value.truth(env_))
        if (Flow f = run(e.body); f != Flow::Next) return f;
      return Flow::Next;
    case Exec::Kind::Until:
      do {
        if (Flow f = run(e.body); f != Flow::Next) return f;
      } while (!e.value.truth(env_));
      return Flow::Next;
    case Exec::Kind::Over: {
      const std::size_t n = arrays_[static_cast<std::size_t>(e.array)].elements.size();
      for (std::size_t k = 0; k < n; ++k) {
        array_at_[static_cast<std::size_t>(e.array)] = k;
        if (Flow f = run(e.body); f != Flow::Next) return f;
      }
      return Flow::Next;
    }
    case Exec::Kind::Iterate: {
      // The bounds are taken once, as the loop starts; the index runs past
      // the end by one step, as a reader of such loops expects afterwards.
      const double from = e.value.number(env_), to = e.to.number(env_);
      const double by = e.by.empty() ? 1 : e.by.number(env_);
      if (is_missing(from) || is_missing(to) || is_missing(by) || by == 0)
        throw StepError{
            msg::kBlockBad,
            {"The start, end and step of the DO loop here must be numbers and the step not 0"},
            e.pos};
      double& i = pdv_.num[static_cast<std::size_t>(e.loop_var)];
      for (i = from; by > 0 ? i <= to : i >= to; i += by)
        if (Flow f = run(e.body); f != Flow::Next) return f;
      return Flow::Next;
    }
  }
  return Flow::Next;
}

ByKey DataStepBuilder::key_of(const SetInput& in) const {
  ByKey key;
  for (int c : in.by_col) {
    key.num.push_back(in.row.num[static_cast<std::size_t>(c)]);
    key.str.push_back(in.row.str[static_cast<std::size_t>(c)]);
  }
  return key;
}

int DataStepBuilder::compare_keys(const ByKey& a, const ByKey& b) const {
  for (std::size_t j = 0; j < by_cells_.size(); ++j) {
    int c = 0;
    if (vars_[static_cast<std::size_t>(by_cells_[j])].var.is_numeric()) {
      const double x = a.num[j], y = b.num[j];
      if (is_missing(x) || is_missing(y))
        c = is_missing(x) && is_missing(y) ? missing_letter(x) - missing_letter(y)
                                           : (is_missing(x) ? -1 : 1);
      else
        c = x < y ? -1 : x > y ? 1 : 0;
    } else {
      c = a.str[j].compare(b.str[j]);
    }
    if (c != 0) return by_descending_[j] ? -c : c;
  }
  return 0;
}

// SET reads one observation ahead, so that LAST. and END= are known when
// the observation before is processed.
bool DataStepBuilder::read_set() {
  // Without BY (or with NOTSORTED) the data sets are read in turn; with BY
  // they are interleaved: the next observation is the one with the lowest
  // BY values among the data sets' next ones, the earlier data set first on
  // a tie.  Each data set must then be sorted by the BY variables.
  const bool interleave = !by_cells_.empty() && !by_notsorted_;
  auto fetch = [&] {
    have_ahead_ = false;
    if (!interleave) {
      while (set_current_ < set_.size()) {
        SetInput& in = set_[set_current_];
        if (in.reader->next(in.row)) {
          ++in.number;
          have_ahead_ = true;
          ahead_from_ = set_current_;
          return;
        }
        ctx_.log_data_notes(*in.reader);
        ++set_current_;
      }
      return;
    }
    for (SetInput& in : set_) {
      if (in.primed) continue;
      in.primed = true;
      in.has_row = in.reader->next(in.row);
      if (in.has_row) ++in.number;
      else ctx_.log_data_notes(*in.reader);
    }
    for (std::size_t k = 0; k < set_.size(); ++k)
      if (set_[k].has_row && (!have_ahead_ || compare_keys(key_of(set_[k]), key_of(set_[ahead_from_])) < 0)) {
        have_ahead_ = true;
        ahead_from_ = k;
      }
  };
  if (!set_started_) {
    set_started_ = true;
    fetch();
  }
  if (!have_ahead_) return false;
  const std::size_t from = ahead_from_;
  SetInput& in = set_[from];
  if (from != last_from_) {
    // Another data set: variables the previous one had and this one lacks
    // start missing.
    for (std::size_t k = 0; k < vars_.size(); ++k)
      if (set_cell_[k]) {
        pdv_.num[k] = missing_value();
        pdv_.str[k].clear();
      }
    last_from_ = from;
  }
  for (std::size_t c = 0; c < in.cell.size(); ++c) {
    const std::size_t k = static_cast<std::size_t>(in.cell[c]);
    pdv_.num[k] = in.row.num[c];
    pdv_.str[k] = in.row.str[c];
  }
  const ByKey current = by_cells_.empty() ? ByKey{} : key_of(in);
  in.primed = false;
  fetch();
  if (!by_cells_.empty()) {
    std::optional<ByKey> next;
    if (have_ahead_) next = key_of(set_[ahead_from_]);
    if (interleave && in.has_row && compare_keys(key_of(in), current) < 0) {
      std::string list;
      for (int k : by_cells_)
        list += (list.empty() ? "" : " ") + vars_[static_cast<std::size_t>(k)].var.name;
      throw StepError{msg::kNotSortedBy,
                      {in.reader->header().name, list, std::to_string(in.number)},
                      ctx_.statements()[0].pos};
    }
    // FIRST.x is 1 when x or a BY variable before it changed since the
    // previous observation; LAST.x likewise towards the next one.
    auto changed_at = [&](const ByKey* a, const ByKey& b) {
      if (!a) return std::size_t{0};
      for (std::size_t j = 0; j < by_cells_.size(); ++j) {
        const bool numeric = vars_[static_cast<std::size_t>(by_cells_[j])].var.is_numeric();
        const bool same = numeric ? (std::bit_cast<std::uint64_t>(a->num[j]) ==
                                         std::bit_cast<std::uint64_t>(b.num[j]) ||
                                     a->num[j] == b.num[j])
                                  : a->str[j] == b.str[j];
        if (!same) return j;
      }
      return by_cells_.size();
    };
    const std::size_t from_first = changed_at(previous_key_ ? &*previous_key_ : nullptr, current);
    const std::size_t to_last = changed_at(next ? &*next : nullptr, current);
    for (std::size_t j = 0; j < by_cells_.size(); ++j) {
      pdv_.num[static_cast<std::size_t>(first_cells_[j])] = j >= from_first ? 1 : 0;
      pdv_.num[static_cast<std::size_t>(last_cells_[j])] = j >= to_last ? 1 : 0;
    }
    previous_key_ = current;
  }
  if (end_cell_ >= 0) pdv_.num[static_cast<std::size_t>(end_cell_)] = have_ahead_ ? 0 : 1;
  return true;
}

void DataStepBuilder::open_infile() {
  if (!infile_.given || infile_.from_datalines) return;
  std::error_code ec;
  if (std::filesystem::is_directory(infile_.path, ec))
    throw StepError{
        msg::kInfileMissing, {infile_.path, "it is a directory, not a file"}, infile_.pos};
  if (infile_.dsd) {
    try {
      CsvRecordOptions o;
      o.delimiter = infile_.delimiter;
      o.display_name = infile_.path;
      csv_ = std::make_unique<CsvRecordReader>(infile_.path, o);
    } catch (const std::exception& e) {
      throw StepError{msg::kInfileMissing, {infile_.path, e.what()}, infile_.pos};
    }
  } else {
    file_ = std::make_unique<std::ifstream>(infile_.path, std::ios::binary);
    if (!*file_)
      throw StepError{
          msg::kInfileMissing, {infile_.path, "it does not exist or is not readable"}, infile_.pos};
  }
}

// One observation's worth of list input; false at the end of the data.
bool DataStepBuilder::read_input() {
  if (!hold_line_ || !have_line_ || at_ >= fields_.size()) {
    have_line_ = next_record(fields_, line_);
    at_ = 0;
    if (!have_line_) return false;
  }
  for (std::size_t item = 0; item < input_.size(); ++item) {
    if (at_ >= fields_.size()) {
      const long prev = line_;
      have_line_ = next_record(fields_, line_);
      at_ = 0;
      if (!have_line_) {
        ctx_.xpmlog(kHostGroup, msg::kLostCard, {std::to_string(prev)});
        return false;
      }
      if (!flow_noted_) {
        ctx_.xpmlog(kHostGroup, msg::kFlowOver, {std::to_string(prev)});
        flow_noted_ = true;
      }
    }
    const std::string& f = fields_[at_++];
    const std::size_t k = static_cast<std::size_t>(input_[item].var);
    if (vars_[k].var.is_numeric()) {
      double v = 0;
      std::string trimmed = f;
      while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
      while (!trimmed.empty() && trimmed.front() == ' ') trimmed.erase(0, 1);
      if (!trimmed.empty() && trimmed[0] == '+') trimmed.erase(0, 1);
      if (parse_missing_literal(trimmed, v) || parse_csv_number(trimmed, v)) {
        pdv_.num[k] = v;
      } else {
        pdv_.num[k] = missing_value();
        if (bad_numbers_++ == 0) {
          SourcePos p;
          p.file = ctx_.statements()[0].pos.file;
          p.line = static_cast<int>(line_);
          p.column = at_ - 1 < columns_.size() ? columns_[at_ - 1] : 1;
          ctx_.xpmlog(kHostGroup, msg::kInvalidNumericData,
                      {f, vars_[k].var.name, std::to_string(line_), std::to_string(at_)}, p);
        }
      }
    } else {
      const std::size_t len = static_cast<std::size_t>(vars_[k].var.length);
      if (f == "." && !infile_.dsd) {
        // A lone period is how list input writes a blank character value.
        pdv_.str[k].clear();
      } else if (f.size() > len) {
        ++truncated_[static_cast<int>(k)];
        pdv_.str[k] = f.substr(0, len);
      } else {
        pdv_.str[k] = f;
      }
    }
  }
  if (!hold_line_) at_ = fields_.size();
  return true;
}

void DataStepBuilder::write_observation() {
  ++written_;
  if (!writer_) return;
  Observation row;
  row.resize(out_cells_.size());
  for (std::size_t c = 0; c < out_cells_.size(); ++c) {
    const std::size_t k = static_cast<std::size_t>(out_cells_[c]);
    row.num[c] = pdv_.num[k];
    row.str[c] = pdv_.str[k];
  }
  writer_->write(row);
}

void DataStepBuilder::execute() {
  DataSetHeader header;
  for (int k : out_cells_) header.vars.push_back(vars_[static_cast<std::size_t>(k)].var);
  for (const auto& [from, to] : rename_) {
    auto at = std::find_if(header.vars.begin(), header.vars.end(),
                           [&](const Variable& v) { return same_name(v.name, from.value); });
    if (at == header.vars.end())
      fail(from, msg::kVariableNotFound, {from.value, "the data set the step writes"});
    at->name = to.value;
  }
  if (!null_output_) {
    writer_ = ctx_.open_output(out_, header);
    out_name_ = writer_->header().name;
  }
  open_infile();
  pdv_.resize(vars_.size());
  if (retain_all_)
    for (auto& v : vars_) v.retained = true;
  set_cell_.assign(vars_.size(), false);
  for (const auto& in : set_)
    for (int k : in.cell) set_cell_[static_cast<std::size_t>(k)] = true;
  for (std::size_t k = 0; k < vars_.size(); ++k) {
    if (vars_[k].num_init) pdv_.num[k] = *vars_[k].num_init;
    if (vars_[k].str_init) pdv_.str[k] = *vars_[k].str_init;
  }
  array_at_.assign(arrays_.size(), 0);
  notes_.file = ctx_.statements()[0].pos.file;
  env_.cells = &pdv_;
  env_.notes = &notes_;
  env_.array_index = &array_at_;
  for (long pass = 1;; ++pass) {
    for (std::size_t k = 0; k < vars_.size(); ++k)
      if (!vars_[k].retained) {
        pdv_.num[k] = missing_value();
        pdv_.str[k].clear();
      }
    pdv_.num[static_cast<std::size_t>(n_var_)] = static_cast<double>(pass);
    read_this_pass_ = false;
    const Flow f = run(program_);
    if (f == Flow::EndOfData) break;
    if (f == Flow::Next && !has_output_statement_) write_observation();
    // A step that reads nothing runs once; one whose reading statement was
    // passed over would never end.
    if (f == Flow::Stop || !reads_ || !read_this_pass_) break;
  }
  notes_.log_to(ctx_.log());
  if (bad_numbers_ > 1)
    ctx_.xpmlog(kHostGroup, msg::kInvalidNumericDataCount, {std::to_string(bad_numbers_)});
  for (const auto& [k, count] : truncated_)
    ctx_.xpmlog(
        kHostGroup, msg::kTruncatedCharacter,
        {vars_[static_cast<std::size_t>(k)].var.name,
         std::to_string(vars_[static_cast<std::size_t>(k)].var.length), std::to_string(count)});
  for (auto& in : set_) ctx_.log_data_notes(*in.reader);
  if (bad_numbers_ > 0) {
    // The step stops: a data set with holes where the data could not be
    // read must not take the place of one the user already has.
    if (writer_) ctx_.xpmlog(kHostGroup, msg::kDataSetNotReplaced, {out_name_});
    xexit(1000);
  }
  if (writer_) {
    writer_->commit();
    ctx_.set_last_dataset(out_);
    ctx_.dataset_written(*writer_, written_);
  }
}

}  // namespace

void run_data_step(StepContext& ctx) {
  DataStepBuilder b(ctx);
  try {
    b.compile();
    b.execute();
  } catch (const StepError& e) {
    ctx.xpmlog(kHostGroup, e.number, e.args, e.pos);
    if (b.has_writer()) ctx.xpmlog(kHostGroup, msg::kDataSetNotReplaced, {b.output_name()});
    xexit(1000);
  } catch (const ExpressionError& e) {
    ctx.xpmlog(kHostGroup, e.number, e.args, e.pos);
    if (b.has_writer()) ctx.xpmlog(kHostGroup, msg::kDataSetNotReplaced, {b.output_name()});
    xexit(1000);
  }
}

}  // namespace kav
