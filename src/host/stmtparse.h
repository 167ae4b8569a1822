// The statement parser the host offers every procedure.
//
// A procedure describes its statements as a grammar: a table (data, not
// code) of statements, each with its options, every option with its
// spellings, the kind of value it takes, the range allowed, the numbered
// value field that receives the value and the option bit it sets.  The
// parser reads the step's statements against that table and fills one
// parsed record per statement; the secondary statements that feed the
// procedure statement (VAR, BY, ...) write into the procedure statement's
// record, so the procedure reads one record.  Errors (unknown options, bad
// or out-of-range values, malformed lists) are the parser's: it logs one
// message naming the option, the value and what is allowed, at the value's
// file, line and column, and returns a non-zero status.
#pragma once

#include <bitset>
#include <cstddef>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/library.h"
#include "host/log.h"
#include "host/statement.h"
#include "host/varlist.h"

namespace kav {

// The status a step ends with when its statements do not parse.
inline constexpr int kParseStatus = 2000;

// Option bits of a parsed record.
inline constexpr std::size_t kMaxOptionBits = 256;

enum class ValueKind {
  Flag,         // no value: the option sets its bit
  Keyword,      // one word of the option's word list; the field holds its code
  Number,       // a number, optionally signed
  Integer,      // an integer literal
  Name,         // a name
  Text,         // a quoted string or a name
  DataSet,      // a data set name with its options
  NumberList,   // numbers; TO/BY ranges and parentheses unless `plain_list`
  KeywordList,  // words of the word list: blank-separated, in parentheses when more than one,
                // or comma-separated when `comma_separated`
  VarList,      // a variable list
  Variable,     // one variable name
  LabelPairs    // (name = 'label' ...) in parentheses, brackets or braces
};

struct OptionTable;

struct Range {
  double lo = -std::numeric_limits<double>::infinity();
  double hi = std::numeric_limits<double>::infinity();
  bool limited() const {
    return lo > -std::numeric_limits<double>::infinity() ||
           hi < std::numeric_limits<double>::infinity();
  }
  bool contains(double v) const { return v >= lo && v <= hi; }
  // "a number from 0 to 1", "an integer of at least 200"
  std::string describe(bool integer) const;
};
inline Range at_least(double lo) {
  return Range{lo, std::numeric_limits<double>::infinity()};
}
inline Range between(double lo, double hi) {
  return Range{lo, hi};
}

// A word an option accepts as its value, with its code.  Aliases are further
// entries with the same code.  A word may take numeric parameters in
// parentheses (PROMAX(3)), held to a range when one is given, or a
// parenthesised option list of its own (SCREE(UNPACK)).
struct WordDef {
  const char* word = "";
  int code = 0;
  int min_params = 0;
  int max_params = 0;
  const OptionTable* options = nullptr;
  int bit = -1;  // option bit the word sets; a repeated option keeps the bits of every word given
  Range param_range = Range{};  // every numeric parameter in parentheses must lie in it
  bool integer_params = false;  // and be an integer
};

struct OptionDef {
  std::vector<const char*> spellings;  // the first is the option's name
  ValueKind kind = ValueKind::Flag;
  int field = 0;  // value field (0: none)
  int bit = -1;   // option bit (-1: none); a valued option sets it whenever given, except
                  // one with `value_optional`, which sets it only when written bare
  Range range;
  std::vector<WordDef> words;     // Keyword and KeywordList; an alternative for Integer/NumberList
  bool value_optional = false;    // the bare option (no '=') is allowed and sets only the bit
  bool accumulate = false;        // each occurrence adds to the list and records a mark
  bool comma_separated = false;   // KeywordList: words separated by commas
  bool plain_list = false;        // NumberList: no TO/BY and no parentheses
  bool any_size = false;          // Integer: not held to an int's range (the procedure reduces
                                  // larger values itself, as it does seeds)
  bool allow_descending = false;  // VarList: DESCENDING before a name
  int notsorted_bit = -1;         // VarList: NOTSORTED sets this bit
  const OptionTable* before_equals = nullptr;  // OPTION(sub-options)=value
  const OptionTable* after_name = nullptr;     // OPTION(sub-options) without a value
  // For the statement reference (kav help): the default in words, and one
  // line of what the option does.
  const char* default_text = nullptr;
  const char* help = nullptr;
};

// Options of a statement (or of a parenthesised option list), with a
// dictionary of every spelling built once.
struct OptionTable {
  std::string name;  // for messages: "PROC FACTOR", "PLOTS", "PATHDIAGRAM"
  std::vector<OptionDef> options;
  std::map<std::string, std::size_t> dictionary;  // upper-case spelling -> option
  std::vector<std::string> duplicates;            // spellings given twice (a grammar fault)

  OptionTable(std::string name, std::vector<OptionDef> options);
  const OptionDef* find(const std::string& spelling) const;
};

// How a statement's body is read.
enum class StatementBody {
  Options,   // options of the statement's option table
  Value,     // one value as described by `value` (VAR, BY, FREQ, PRIORS)
  Condition  // a WHERE condition: its tokens, kept in `value.field` for the data set reader
};

struct StatementDef {
  std::vector<const char*> spellings;
  StatementBody body = StatementBody::Options;
  const OptionTable* options = nullptr;  // Options
  OptionDef value;                       // Value: kind, words and field in the procedure record
  bool own_record = false;     // kept as a statement of its own rather than merged (PATHDIAGRAM)
  bool once = false;           // a second statement of this kind is an error
  const char* help = nullptr;  // one line for the statement reference
};

struct Grammar {
  std::string procedure;    // "FACTOR"
  const OptionTable* proc;  // options of the PROC statement
  std::vector<StatementDef> statements;
  int fields = 0;  // number of value fields of the procedure record (1-based numbering)
};

struct ParsedRecord;

// A word of a keyword list with what followed it.
struct ListItem {
  int code = 0;
  std::string word;  // as written, upper case
  SourcePos pos;
  std::vector<double> params;
  std::shared_ptr<ParsedRecord> options;
};

// A value field: whether it was given, and its value.
struct FieldValue {
  bool given = false;
  int count = 0;                                             // times given
  SourcePos pos;                                             // of the (last) value
  double number = std::numeric_limits<double>::quiet_NaN();  // Number, Integer
  int code = 0;      // Keyword (or the word given instead of a number); 0 when a number was given
  std::string text;  // Name, Text, Variable; the keyword as written
  DataSetName dataset;
  std::vector<double> numbers;  // NumberList; parameters of a Keyword; all parameters of a list
  std::vector<int> labels;      // KeywordList: the 1-based item each parameter belongs to
  std::vector<int> marks;       // accumulate: list length at the end of each occurrence
  std::vector<ListItem> items;  // KeywordList
  std::vector<VarListItem> vars;
  std::vector<std::pair<std::string, std::string>> pairs;  // LabelPairs
  std::vector<std::vector<Token>> conditions;              // Condition statements, each ANDed
  std::shared_ptr<ParsedRecord> sub;  // options in parentheses (before '=' or after the name,
                                      // or of a single keyword value)
};

struct ParsedRecord {
  std::vector<FieldValue> fields;  // indexed by field number; [0] unused
  std::bitset<kMaxOptionBits> bits;

  bool has(int field) const {
    return field > 0 && static_cast<std::size_t>(field) < fields.size() &&
           fields[static_cast<std::size_t>(field)].given;
  }
  bool bit(int b) const { return b >= 0 && bits.test(static_cast<std::size_t>(b)); }
  const FieldValue& operator[](int field) const;
  FieldValue& at(int field);
};

struct ParsedStatement {
  std::string name;  // the statement's name (first spelling), upper case
  SourcePos pos;
  const StatementDef* def = nullptr;  // null for the procedure statement
  ParsedRecord record;                // own_record statements only
};

struct ParsedStep {
  ParsedRecord proc;  // the procedure statement with the merged secondary statements
  std::vector<ParsedStatement> statements;  // every statement in order, the PROC statement first
  int status = 0;
};

// The reference of a procedure's statements, made from its grammar: every
// option with its aliases, its value, its default and what it does, then
// the secondary statements and the option lists in parentheses.
std::string grammar_reference(const Grammar& grammar);

// Parses a step's statements (the PROC statement first) against the
// grammar.  Returns 0, or kParseStatus after logging the errors.
int xsparse(const Grammar& grammar, const std::vector<Statement>& statements, Log& log,
            ParsedStep& out);

// Parses the options of one statement from tokens[i] onwards into `record`;
// used by xsparse and handy for a procedure's own sub-languages.
int parse_options(const OptionTable& table, const std::vector<Token>& tokens, std::size_t& i,
                  Log& log, ParsedRecord& record, bool stop_at_close = false);

}  // namespace kav
