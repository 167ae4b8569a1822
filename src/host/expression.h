// Numeric and character expressions of the program language, as the DATA
// step's assignments and IF statements and every WHERE clause write them.
//
// An expression is parsed once against a resolver that says what each name
// means (a variable's cell, an array, a FIRST./LAST. flag), checked for types
// while it is parsed, and then evaluated against the cells of an
// observation as often as needed.  The parser lives in the host, not in the
// program language, so that the WHERE= data set option filters the same way
// wherever a data set is read.
//
// Values follow the run-time's rules for missing values: arithmetic on a
// missing value gives a missing value, a missing value is smaller than every
// number in comparisons and false in logic, and the statistical functions
// (SUM, MEAN, ...) pass over missing arguments.  Division by zero, overflow
// and arguments outside a function's domain give a missing value too; each
// such place is counted so that the step can say how often it happened and
// where.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/dataset.h"
#include "host/log.h"
#include "host/statement.h"

namespace kav {

enum class ExprType { Numeric, Character };

// What a name in an expression stands for.
struct NameBinding {
  enum class Kind { Unknown, Variable, Array } kind = Kind::Unknown;
  int cell = -1;              // Variable: the cell of the observation
  std::vector<int> elements;  // Array: the cells of its elements
  int array_id = -1;          // Array: whose DO OVER index a bare name uses
  ExprType type = ExprType::Numeric;
  int length = 8;  // character variables: their length
};
// Resolves a name as written (FIRST.G arrives as "FIRST.G"); `call` is set
// when a ( follows it, so that it may be a function.  A resolver may create
// the variable; returning Kind::Unknown makes the name a function call when
// `call` is set, else an error.
using NameResolver = std::function<NameBinding(const Token& name, bool call)>;

// An expression that cannot be parsed, or a value that cannot be computed
// (an array subscript out of range): a host message with its position.
struct ExpressionError {
  int number = 0;
  std::vector<std::string> args;
  SourcePos pos;
};

// Counts of the places where a value became missing, logged when the step
// ends.  Keys are (line, column) of the operator or function.
struct ExprNotes {
  std::map<std::pair<int, int>, long> missing_operand, divide_by_zero, overflow;
  std::map<std::pair<int, int>, std::pair<std::string, long>> invalid_argument;  // function, count
  std::string file;
  std::int64_t clock_seed = -1;  // the seed drawn from the clock, when one was
  // Writes one note per place to the log.
  void log_to(Log& log) const;
};

// The state an evaluation reads and writes besides the cells.
struct ExprEnv {
  Observation* cells = nullptr;
  ExprNotes* notes = nullptr;
  const std::vector<std::size_t>* array_index = nullptr;  // DO OVER: 0-based index per array
  // The random-number stream of the step: started by the first seed a
  // random-number function is given (0 or less: from the clock).
  std::uint64_t random_state = 0;
  bool random_started = false;
  std::int64_t seed_used = 0;  // the seed the stream started from
};

struct ExprNode;

class Expression {
 public:
  Expression();
  ~Expression();
  Expression(Expression&&) noexcept;
  Expression& operator=(Expression&&) noexcept;

  // Parses the longest expression starting at tokens[i] and advances i past
  // it; the token it stops at is the caller's to check.  Throws
  // ExpressionError.
  static Expression parse(const std::vector<Token>& tokens, std::size_t& i,
                          const NameResolver& resolve);
  // Parses tokens[i..] to the end; anything left over is an error.
  static Expression parse_all(const std::vector<Token>& tokens, std::size_t i,
                              const NameResolver& resolve);

  bool empty() const { return root_ == nullptr; }
  ExprType type() const;
  // The length a character result can reach, for variables it creates.
  int length() const;
  SourcePos pos() const;

  double number(ExprEnv& env) const;
  std::string text(ExprEnv& env) const;
  // A condition: true when the value is neither 0 nor missing (character:
  // not blank).
  bool truth(ExprEnv& env) const;

  // An expression that names a variable or an array element can be
  // assigned to: the cell it names now (throws on a subscript out of range),
  // or -1 when it is not assignable.
  int target_cell(ExprEnv& env) const;
  bool assignable() const;

 private:
  std::unique_ptr<ExprNode> root_;
};

// Number to text as concatenation and character functions show it: up to
// twelve significant digits, no trailing zeros; "." for a missing value.
std::string number_text(double v);

// A WHERE clause over a data set: parsed against the header's variables.
// Throws ExpressionError.
Expression where_clause(const std::vector<Token>& tokens, const DataSetHeader& header);

}  // namespace kav
