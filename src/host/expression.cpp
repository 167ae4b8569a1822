#include "host/expression.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>

#include "host/host_messages.h"
#include "host/varlist.h"

namespace kav {

// Operators by precedence, lowest first:
//   OR |        AND &        comparisons (= ^= < <= > >= EQ NE LT LE GT GE IN)
//   ||          + -          * /          prefix - + NOT ^ ~ and ** (right to left)
// so that -2**2 is -4 and NOT a = b is (NOT a) = b, as in the languages our
// users come from.
enum class Op {
  Number,
  Text,
  Variable,
  Element,
  Implicit,
  Negate,
  Not,
  Power,
  Multiply,
  Divide,
  Add,
  Subtract,
  Concat,
  Less,
  LessEq,
  Greater,
  GreaterEq,
  Equal,
  NotEqual,
  In,
  And,
  Or,
  Call
};

enum class Fn {
  Abs,
  Sqrt,
  Log,
  Exp,
  Round,
  Int,
  Floor,
  Ceil,
  Mod,
  Min,
  Max,
  Sum,
  Mean,
  Std,
  N,
  NMiss,
  Missing,
  RanUni,
  RanNor,
  Upcase,
  Trim,
  Length
};

struct ExprNode {
  Op op = Op::Number;
  ExprType type = ExprType::Numeric;
  double value = 0;
  std::string text;  // Text: the literal; Element/Implicit/Call: the name, for messages
  int cell = -1;
  std::vector<int> elements;
  int array_id = -1;
  Fn fn = Fn::Abs;
  int length = 8;
  int depth = 1;  // of the tree below and with this node
  std::vector<std::unique_ptr<ExprNode>> kids;
  SourcePos pos;
};

namespace {

struct FunctionDef {
  const char* name;
  Fn fn;
  int min_args, max_args;  // -1: any number
  bool character_argument;
};

const FunctionDef kFunctions[] = {
    {"ABS", Fn::Abs, 1, 1, false},        {"SQRT", Fn::Sqrt, 1, 1, false},
    {"LOG", Fn::Log, 1, 1, false},        {"EXP", Fn::Exp, 1, 1, false},
    {"ROUND", Fn::Round, 1, 2, false},    {"INT", Fn::Int, 1, 1, false},
    {"FLOOR", Fn::Floor, 1, 1, false},    {"CEIL", Fn::Ceil, 1, 1, false},
    {"MOD", Fn::Mod, 2, 2, false},        {"MIN", Fn::Min, 1, -1, false},
    {"MAX", Fn::Max, 1, -1, false},       {"SUM", Fn::Sum, 1, -1, false},
    {"MEAN", Fn::Mean, 1, -1, false},     {"STD", Fn::Std, 1, -1, false},
    {"N", Fn::N, 1, -1, false},           {"NMISS", Fn::NMiss, 1, -1, false},
    {"MISSING", Fn::Missing, 1, 1, true}, {"RANUNI", Fn::RanUni, 1, 1, false},
    {"UNIFORM", Fn::RanUni, 1, 1, false}, {"RANNOR", Fn::RanNor, 1, 1, false},
    {"NORMAL", Fn::RanNor, 1, 1, false},  {"UPCASE", Fn::Upcase, 1, 1, true},
    {"TRIM", Fn::Trim, 1, 1, true},       {"STRIP", Fn::Trim, 1, 1, true},
    {"LENGTH", Fn::Length, 1, 1, true},
};

const char* type_name(ExprType t) {
  return t == ExprType::Numeric ? "numeric" : "character";
}

[[noreturn]] void fail(int number, std::vector<std::string> args, const SourcePos& pos) {
  throw ExpressionError{number, std::move(args), pos};
}

std::string describe(const Token& t) {
  return t.kind == TokenKind::End ? "the end of the statement" : t.text;
}

class Parser {
 public:
  Parser(const std::vector<Token>& t, std::size_t& i, const NameResolver& r)
      : t_(t), i_(i), resolve_(r) {}

  std::unique_ptr<ExprNode> expression() { return logical_or(); }

 private:
  using NodePtr = std::unique_ptr<ExprNode>;

  const Token& peek(std::size_t ahead = 0) const {
    static const Token end_token;
    return i_ + ahead < t_.size() ? t_[i_ + ahead] : (t_.empty() ? end_token : end_of(t_.back()));
  }
  static const Token& end_of(const Token& last) {
    thread_local Token end;
    end = Token{};
    end.pos = last.pos;
    end.pos.column += static_cast<int>(last.text.size());
    return end;
  }
  bool at_symbol(const char* s) const { return peek().is_symbol(s); }
  bool at_word(const char* w) const { return peek().is_name() && peek().is_word(w); }

  NodePtr make(Op op, ExprType type, const SourcePos& pos) {
    auto n = std::make_unique<ExprNode>();
    n->op = op;
    n->type = type;
    n->pos = pos;
    return n;
  }
  void need(const ExprNode& operand, ExprType type, const std::string& op, const SourcePos& pos) {
    if (operand.type != type)
      fail(msg::kExprType, {op, type_name(type), "its operand", type_name(operand.type)}, pos);
  }
  NodePtr binary(Op op, NodePtr a, NodePtr b, const SourcePos& pos, ExprType type) {
    NodePtr n = make(op, type, pos);
    n->kids.push_back(std::move(a));
    n->kids.push_back(std::move(b));
    deepen(*n);
    return n;
  }
  // Evaluating an expression recurses through its tree, and parsing
  // recurses through parentheses and prefix operators, about ten calls a
  // level; both are held to depths no program needs (a sum of a thousand
  // terms, two hundred parentheses), well inside the stack.
  static constexpr int kMaxDepth = 1000, kMaxNesting = 200;
  static void deepen(ExprNode& n) {
    for (const auto& k : n.kids) n.depth = std::max(n.depth, k->depth + 1);
    if (n.depth > kMaxDepth)
      fail(msg::kBlockBad, {"The expression here has more than 1000 operations in a chain"}, n.pos);
  }
  struct Level {
    int& depth;
    Level(int& d, const SourcePos& pos) : depth(d) {
      if (++depth > kMaxNesting)
        fail(msg::kBlockBad, {"The expression here is nested more than 200 levels deep"}, pos);
    }
    ~Level() { --depth; }
  };
  int nesting_ = 0;

  NodePtr logical_or() {
    NodePtr a = logical_and();
    while (at_symbol("|") || at_word("OR")) {
      const SourcePos pos = peek().pos;
      ++i_;
      NodePtr b = logical_and();
      need(*a, ExprType::Numeric, "OR", pos);
      need(*b, ExprType::Numeric, "OR", pos);
      a = binary(Op::Or, std::move(a), std::move(b), pos, ExprType::Numeric);
    }
    return a;
  }
  NodePtr logical_and() {
    NodePtr a = comparison();
    while (at_symbol("&") || at_word("AND")) {
      const SourcePos pos = peek().pos;
      ++i_;
      NodePtr b = comparison();
      need(*a, ExprType::Numeric, "AND", pos);
      need(*b, ExprType::Numeric, "AND", pos);
      a = binary(Op::And, std::move(a), std::move(b), pos, ExprType::Numeric);
    }
    return a;
  }
  bool comparison_operator(Op& op) {
    const Token& k = peek();
    struct Pair {
      const char* symbol;
      const char* word;
      Op op;
    };
    static const Pair pairs[] = {{"=", "EQ", Op::Equal},        {"^=", "NE", Op::NotEqual},
                                 {"~=", nullptr, Op::NotEqual}, {"<", "LT", Op::Less},
                                 {"<=", "LE", Op::LessEq},      {">", "GT", Op::Greater},
                                 {">=", "GE", Op::GreaterEq}};
    for (const auto& p : pairs)
      if (k.is_symbol(p.symbol) || (p.word && k.is_name() && k.is_word(p.word))) {
        op = p.op;
        return true;
      }
    return false;
  }
  NodePtr comparison() {
    NodePtr a = concatenation();
    for (;;) {
      Op op;
      const SourcePos pos = peek().pos;
      if (at_word("IN")) {
        ++i_;
        a = in_list(std::move(a), pos);
        continue;
      }
      if (!comparison_operator(op)) return a;
      const std::string written = peek().text;
      ++i_;
      NodePtr b = concatenation();
      if (a->type != b->type)
        fail(msg::kExprType,
             {written, std::string("two ") + type_name(a->type), "the right side",
              type_name(b->type)},
             pos);
      a = binary(op, std::move(a), std::move(b), pos, ExprType::Numeric);
    }
  }
  NodePtr in_list(NodePtr a, const SourcePos& pos) {
    if (!at_symbol("(")) fail(msg::kSyntax, {"( after IN", describe(peek())}, peek().pos);
    ++i_;
    NodePtr n = make(Op::In, ExprType::Numeric, pos);
    n->kids.push_back(std::move(a));
    for (;;) {
      // A constant, a negative number written with its sign.
      const bool negative = at_symbol("-") && peek(1).kind == TokenKind::Number;
      if (negative) ++i_;
      NodePtr v = primary();
      if (negative) v->value = -v->value;
      if (v->op != Op::Number && v->op != Op::Text)
        fail(msg::kSyntax, {"a constant in the IN list", "an expression"}, v->pos);
      if (v->type != n->kids[0]->type)
        fail(msg::kExprType,
             {"IN", type_name(n->kids[0]->type), "a value of the list", type_name(v->type)},
             v->pos);
      n->kids.push_back(std::move(v));
      if (at_symbol(",")) ++i_;
      if (at_symbol(")")) break;
      if (peek().kind == TokenKind::End)
        fail(msg::kSyntax, {") closing the IN list", "the end of the statement"}, peek().pos);
    }
    ++i_;
    deepen(*n);
    return n;
  }
  NodePtr concatenation() {
    NodePtr a = additive();
    while (at_symbol("||") || (at_symbol("!") && peek(1).is_symbol("!"))) {
      const SourcePos pos = peek().pos;
      i_ += at_symbol("||") ? 1 : 2;
      NodePtr b = additive();
      NodePtr n = binary(Op::Concat, std::move(a), std::move(b), pos, ExprType::Character);
      auto len = [](const ExprNode& k) { return k.type == ExprType::Character ? k.length : 12; };
      n->length = std::min(32767, len(*n->kids[0]) + len(*n->kids[1]));
      a = std::move(n);
    }
    return a;
  }
  NodePtr additive() { return numeric_operators(&Parser::multiplicative, "+", Op::Add, "-", Op::Subtract); }
  NodePtr multiplicative() { return numeric_operators(&Parser::prefix, "*", Op::Multiply, "/", Op::Divide); }
  // One level of left-associative numeric operators (two of them), each
  // operand from the next level down.
  NodePtr numeric_operators(NodePtr (Parser::*next)(), const char* s1, Op o1, const char* s2, Op o2) {
    NodePtr a = (this->*next)();
    while (at_symbol(s1) || at_symbol(s2)) {
      const Token& k = peek();
      const Op op = k.is_symbol(s1) ? o1 : o2;
      const SourcePos pos = k.pos;
      const std::string written = k.text;
      ++i_;
      NodePtr b = (this->*next)();
      need(*a, ExprType::Numeric, written, pos);
      need(*b, ExprType::Numeric, written, pos);
      a = binary(op, std::move(a), std::move(b), pos, ExprType::Numeric);
    }
    return a;
  }
  NodePtr prefix() {
    const Token& k = peek();
    const SourcePos pos = k.pos;
    Level level(nesting_, pos);
    if (k.is_symbol("-") || k.is_symbol("+")) {
      const bool negate = k.is_symbol("-");
      const std::string written = k.text;
      ++i_;
      NodePtr a = prefix();
      need(*a, ExprType::Numeric, written, pos);
      if (!negate) return a;
      NodePtr n = make(Op::Negate, ExprType::Numeric, pos);
      n->kids.push_back(std::move(a));
      deepen(*n);
      return n;
    }
    if (k.is_symbol("^") || k.is_symbol("~") || (k.is_name() && k.is_word("NOT"))) {
      ++i_;
      NodePtr a = prefix();
      need(*a, ExprType::Numeric, "NOT", pos);
      NodePtr n = make(Op::Not, ExprType::Numeric, pos);
      n->kids.push_back(std::move(a));
      deepen(*n);
      return n;
    }
    NodePtr a = primary();
    if (at_symbol("**")) {
      const SourcePos ppos = peek().pos;
      ++i_;
      NodePtr b = prefix();  // right to left: 2**3**2 is 2**9
      need(*a, ExprType::Numeric, "**", ppos);
      need(*b, ExprType::Numeric, "**", ppos);
      return binary(Op::Power, std::move(a), std::move(b), ppos, ExprType::Numeric);
    }
    return a;
  }

  static bool opens_subscript(const Token& k) {
    return k.is_symbol("{") || k.is_symbol("[") || k.is_symbol("(");
  }
  static const char* closer(const Token& k) {
    return k.is_symbol("{") ? "}" : k.is_symbol("[") ? "]" : ")";
  }

  NodePtr primary() {
    const Token& k = peek();
    const SourcePos pos = k.pos;
    if (k.kind == TokenKind::Number || k.kind == TokenKind::Missing) {
      ++i_;
      NodePtr n = make(Op::Number, ExprType::Numeric, pos);
      n->value = k.number;
      return n;
    }
    if (k.kind == TokenKind::String) {
      ++i_;
      NodePtr n = make(Op::Text, ExprType::Character, pos);
      n->text = k.value;
      n->length = std::max<int>(1, static_cast<int>(k.value.size()));
      return n;
    }
    if (k.is_symbol("(")) {
      ++i_;
      NodePtr n = expression();
      if (!at_symbol(")")) fail(msg::kSyntax, {"a closing )", describe(peek())}, peek().pos);
      ++i_;
      return n;
    }
    if (k.is_name() || k.kind == TokenKind::NameLiteral) return named();
    fail(msg::kSyntax, {"a value, a variable or (", describe(k)}, pos);
  }

  NodePtr named() {
    Token name = peek();
    ++i_;
    // FIRST.G and LAST.G arrive as three tokens with nothing between them.
    if ((name.is_word("FIRST") || name.is_word("LAST")) && at_symbol(".") && !peek().space_before &&
        peek(1).is_name() && !peek(1).space_before) {
      name.value = upper(name.value) + "." + peek(1).value;
      name.text = name.value;
      i_ += 2;
    }
    NameBinding b = resolve_(name, at_symbol("("));
    if (b.kind == NameBinding::Kind::Array) return array_reference(name, b);
    if (at_symbol("(") && b.kind == NameBinding::Kind::Unknown) return call(name);
    if (b.kind == NameBinding::Kind::Unknown)
      fail(msg::kSyntax, {"a known variable", name.text}, name.pos);
    NodePtr n = make(Op::Variable, b.type, name.pos);
    n->cell = b.cell;
    n->length = b.length;
    n->text = name.value;
    return n;
  }

  NodePtr array_reference(const Token& name, const NameBinding& b) {
    NodePtr n = make(Op::Element, b.type, name.pos);
    n->elements = b.elements;
    n->array_id = b.array_id;
    n->length = b.length;
    n->text = name.value;
    if (!opens_subscript(peek())) {
      n->op = Op::Implicit;  // the element DO OVER is at
      return n;
    }
    const char* close = closer(peek());
    ++i_;
    NodePtr index = expression();
    need(*index, ExprType::Numeric, "array subscript", index->pos);
    if (!at_symbol(close))
      fail(msg::kSyntax, {std::string("a closing ") + close, describe(peek())}, peek().pos);
    ++i_;
    n->kids.push_back(std::move(index));
    deepen(*n);
    return n;
  }

  NodePtr call(const Token& name) {
    const FunctionDef* def = nullptr;
    for (const auto& f : kFunctions)
      if (name.is_word(f.name)) def = &f;
    if (!def) {
      std::string known;
      for (const auto& f : kFunctions) known += (known.empty() ? "" : ", ") + std::string(f.name);
      fail(msg::kUnknownFunction, {upper(name.value), known}, name.pos);
    }
    NodePtr n = make(Op::Call, ExprType::Numeric, name.pos);
    n->fn = def->fn;
    n->text = upper(name.value);
    ++i_;  // (
    while (!at_symbol(")")) {
      if (peek().kind == TokenKind::End)
        fail(msg::kSyntax, {") closing the arguments of " + n->text, "the end of the statement"},
             peek().pos);
      if (at_word("OF") && (peek(1).is_name() || peek(1).kind == TokenKind::NameLiteral)) {
        ++i_;
        of_list(*n);
      } else {
        n->kids.push_back(expression());
      }
      if (at_symbol(",")) {
        ++i_;
        if (at_symbol(")")) fail(msg::kSyntax, {"an argument after ,", ")"}, peek().pos);
      } else if (!at_symbol(")")) {
        fail(msg::kSyntax, {", or ) in the arguments of " + n->text, describe(peek())}, peek().pos);
      }
    }
    ++i_;
    const int given = static_cast<int>(n->kids.size());
    if (given < def->min_args || (def->max_args >= 0 && given > def->max_args)) {
      std::string takes =
          def->max_args < 0 ? "at least one argument"
          : def->min_args == def->max_args
              ? std::to_string(def->min_args) + " argument" + (def->min_args == 1 ? "" : "s")
              : std::to_string(def->min_args) + " or " + std::to_string(def->max_args) +
                    " arguments";
      fail(msg::kFunctionArguments, {n->text, takes, std::to_string(given)}, name.pos);
    }
    for (const auto& a : n->kids)
      if (!def->character_argument && a->type != ExprType::Numeric)
        fail(msg::kExprType, {n->text, "numeric", "an argument", "character"}, a->pos);
    if (def->fn == Fn::Upcase || def->fn == Fn::Trim) {
      if (n->kids[0]->type != ExprType::Character)
        fail(msg::kExprType, {n->text, "character", "its argument", "numeric"}, n->kids[0]->pos);
      n->type = ExprType::Character;
      n->length = n->kids[0]->length;
    }
    if (def->fn == Fn::Length && n->kids[0]->type != ExprType::Character)
      fail(msg::kExprType, {n->text, "character", "its argument", "numeric"}, n->kids[0]->pos);
    deepen(*n);
    return n;
  }

  // OF x1-x7, OF a{*}, OF x y z: each variable becomes one argument.
  void of_list(ExprNode& call) {
    while (peek().is_name() || peek().kind == TokenKind::NameLiteral) {
      const Token first = peek();
      if (peek(1).is_symbol("-") && peek(2).is_name()) {
        NumberedRange range;
        if (!numbered_range(first.value, peek(2).value, range) || range.last < range.first)
          fail(msg::kSyntax, {"a numbered range such as x1-x7", first.value + "-" + peek(2).value},
               first.pos);
        i_ += 3;
        for (long k = range.first; k <= range.last; ++k) {
          Token t = first;
          t.value = t.text = range.name(k);
          push_variable(call, t);
        }
        continue;
      }
      ++i_;
      NameBinding b = resolve_(first, false);
      if (b.kind == NameBinding::Kind::Array) {
        if (opens_subscript(peek()) && peek(1).is_symbol("*")) i_ += 3;
        for (int cell : b.elements) {
          NodePtr v = make(Op::Variable, b.type, first.pos);
          v->cell = cell;
          call.kids.push_back(std::move(v));
        }
        continue;
      }
      push_variable(call, first, &b);
    }
  }
  void push_variable(ExprNode& call, const Token& name, const NameBinding* known = nullptr) {
    NameBinding b = known ? *known : resolve_(name, false);
    if (b.kind != NameBinding::Kind::Variable)
      fail(msg::kSyntax, {"a known variable", name.value}, name.pos);
    NodePtr v = make(Op::Variable, b.type, name.pos);
    v->cell = b.cell;
    v->length = b.length;
    call.kids.push_back(std::move(v));
  }

  const std::vector<Token>& t_;
  std::size_t& i_;
  const NameResolver& resolve_;
};

// Ordering of numbers with missing values below every number, the special
// missing values in the order ._ . .A ... .Z.
int missing_rank(double v) {
  const char c = missing_letter(v);
  return c == '_' ? 0 : c == '.' ? 1 : 2 + (c - 'A');
}
int compare_numbers(double a, double b) {
  const bool ma = is_missing(a), mb = is_missing(b);
  if (ma || mb) {
    if (ma && mb) return missing_rank(a) - missing_rank(b);
    return ma ? -1 : 1;
  }
  return a < b ? -1 : a > b ? 1 : 0;
}
std::string trim_right(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}
// Character values compare as if the shorter were padded with blanks.
int compare_texts(const std::string& a, const std::string& b) {
  return trim_right(a).compare(trim_right(b));
}

void count(std::map<std::pair<int, int>, long>& m, const SourcePos& p) {
  ++m[{p.line, p.column}];
}

// The random stream: SplitMix64, which is simple, fast and the same on every
// platform, unlike the distributions of the standard library.
double next_uniform(ExprEnv& env) {
  std::uint64_t z = (env.random_state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return (static_cast<double>(z >> 11) + 0.5) * 0x1.0p-53;  // in (0, 1)
}

double evaluate(const ExprNode& n, ExprEnv& env);
std::string evaluate_text(const ExprNode& n, ExprEnv& env);

std::size_t element_index(const ExprNode& n, ExprEnv& env) {
  if (n.op == Op::Implicit) {
    std::size_t k =
        env.array_index && static_cast<std::size_t>(n.array_id) < env.array_index->size()
            ? (*env.array_index)[static_cast<std::size_t>(n.array_id)]
            : 0;
    return std::min(k, n.elements.size() - 1);
  }
  const double v = evaluate(*n.kids[0], env);
  const double k = std::trunc(v);
  if (is_missing(v) || k < 1 || k > static_cast<double>(n.elements.size()))
    fail(msg::kArraySubscript, {number_text(v), n.text, std::to_string(n.elements.size())},
         n.kids[0]->pos);
  return static_cast<std::size_t>(k) - 1;
}

double invalid(const ExprNode& n, ExprEnv& env) {
  auto& e = env.notes->invalid_argument[{n.pos.line, n.pos.column}];
  e.first = n.op == Op::Call ? n.text : "**";
  ++e.second;
  return missing_value();
}

double checked(double r, const ExprNode& n, ExprEnv& env) {
  if (std::isinf(r)) {
    count(env.notes->overflow, n.pos);
    return missing_value();
  }
  if (std::isnan(r)) return invalid(n, env);
  return r;
}

double call_number(const ExprNode& n, ExprEnv& env) {
  std::vector<double> a;
  a.reserve(n.kids.size());
  if (n.fn == Fn::Missing) {
    const ExprNode& k = *n.kids[0];
    if (k.type == ExprType::Character) return trim_right(evaluate_text(k, env)).empty() ? 1 : 0;
    return is_missing(evaluate(k, env)) ? 1 : 0;
  }
  if (n.fn == Fn::Length) {
    const std::string s = trim_right(evaluate_text(*n.kids[0], env));
    return s.empty() ? 1 : static_cast<double>(s.size());
  }
  for (const auto& k : n.kids) a.push_back(evaluate(*k, env));
  auto present = [&] {
    std::vector<double> v;
    for (double x : a)
      if (!is_missing(x)) v.push_back(x);
    return v;
  };
  switch (n.fn) {
    case Fn::Sum:
    case Fn::Mean:
    case Fn::Min:
    case Fn::Max:
    case Fn::Std: {
      const std::vector<double> v = present();
      if (v.empty() || (n.fn == Fn::Std && v.size() < 2)) return missing_value();
      if (n.fn == Fn::Min) return *std::min_element(v.begin(), v.end());
      if (n.fn == Fn::Max) return *std::max_element(v.begin(), v.end());
      double sum = 0;
      for (double x : v) sum += x;
      if (n.fn == Fn::Sum) return checked(sum, n, env);
      const double mean = sum / static_cast<double>(v.size());
      if (n.fn == Fn::Mean) return checked(mean, n, env);
      double ss = 0;
      for (double x : v) ss += (x - mean) * (x - mean);
      return checked(std::sqrt(ss / static_cast<double>(v.size() - 1)), n, env);
    }
    case Fn::N:
      return static_cast<double>(present().size());
    case Fn::NMiss:
      return static_cast<double>(a.size() - present().size());
    case Fn::RanUni:
    case Fn::RanNor: {
      if (!env.random_started) {
        double seed = a[0];
        if (is_missing(seed) || seed <= 0) {
          seed = static_cast<double>(std::chrono::system_clock::now().time_since_epoch().count() %
                                     2147483647);
          env.notes->clock_seed = static_cast<std::int64_t>(seed);
        }
        env.seed_used = static_cast<std::int64_t>(seed);
        env.random_state = static_cast<std::uint64_t>(env.seed_used);
        env.random_started = true;
      }
      if (n.fn == Fn::RanUni) return next_uniform(env);
      // Box-Muller, one value per call.
      const double u1 = next_uniform(env), u2 = next_uniform(env);
      return std::sqrt(-2 * std::log(u1)) * std::cos(2 * M_PI * u2);
    }
    default:
      break;
  }
  const double x = a[0];
  if (is_missing(x) || (a.size() > 1 && is_missing(a[1]))) {
    count(env.notes->missing_operand, n.pos);
    return missing_value();
  }
  switch (n.fn) {
    case Fn::Abs:
      return std::fabs(x);
    case Fn::Sqrt:
      return x < 0 ? invalid(n, env) : std::sqrt(x);
    case Fn::Log:
      return x <= 0 ? invalid(n, env) : std::log(x);
    case Fn::Exp:
      return checked(std::exp(x), n, env);
    case Fn::Int:
      return std::trunc(x);
    case Fn::Floor:
      return std::floor(x);
    case Fn::Ceil:
      return std::ceil(x);
    case Fn::Mod:
      return a[1] == 0 ? invalid(n, env) : std::fmod(x, a[1]);
    case Fn::Round: {
      const double unit = a.size() > 1 ? a[1] : 1;
      if (unit <= 0) return invalid(n, env);
      // A unit that is a power of ten rounds in decimal, so that
      // ROUND(2.675, .01) is the 2.68 a reader expects, not 2.67.
      const double digits = -std::log10(unit);
      if (std::fabs(digits - std::round(digits)) < 1e-12 && digits > 0 && digits < 16) {
        const double scale = std::pow(10.0, std::round(digits));
        const double scaled = x * scale;
        return std::round(scaled * (1 + 4 * std::numeric_limits<double>::epsilon())) / scale;
      }
      return checked(std::round(x / unit) * unit, n, env);
    }
    default:
      return missing_value();
  }
}

double arithmetic(const ExprNode& n, ExprEnv& env) {
  const double a = evaluate(*n.kids[0], env);
  const double b = evaluate(*n.kids[1], env);
  if (is_missing(a) || is_missing(b)) {
    count(env.notes->missing_operand, n.pos);
    return missing_value();
  }
  switch (n.op) {
    case Op::Add:
      return checked(a + b, n, env);
    case Op::Subtract:
      return checked(a - b, n, env);
    case Op::Multiply:
      return checked(a * b, n, env);
    case Op::Divide:
      if (b == 0) {
        count(env.notes->divide_by_zero, n.pos);
        return missing_value();
      }
      return checked(a / b, n, env);
    default: {  // Power
      if (a == 0 && b < 0) {
        count(env.notes->divide_by_zero, n.pos);
        return missing_value();
      }
      const double r = std::pow(a, b);
      if (std::isnan(r)) return invalid(n, env);
      return checked(r, n, env);
    }
  }
}

double evaluate(const ExprNode& n, ExprEnv& env) {
  switch (n.op) {
    case Op::Number:
      return n.value;
    case Op::Variable:
      return env.cells->num[static_cast<std::size_t>(n.cell)];
    case Op::Element:
    case Op::Implicit:
      return env.cells->num[static_cast<std::size_t>(n.elements[element_index(n, env)])];
    case Op::Negate: {
      const double a = evaluate(*n.kids[0], env);
      if (is_missing(a)) {
        count(env.notes->missing_operand, n.pos);
        return missing_value();
      }
      return -a;
    }
    case Op::Not: {
      const double a = evaluate(*n.kids[0], env);
      return (is_missing(a) || a == 0) ? 1 : 0;
    }
    case Op::Add:
    case Op::Subtract:
    case Op::Multiply:
    case Op::Divide:
    case Op::Power:
      return arithmetic(n, env);
    case Op::Less:
    case Op::LessEq:
    case Op::Greater:
    case Op::GreaterEq:
    case Op::Equal:
    case Op::NotEqual: {
      const int c =
          n.kids[0]->type == ExprType::Character
              ? compare_texts(evaluate_text(*n.kids[0], env), evaluate_text(*n.kids[1], env))
              : compare_numbers(evaluate(*n.kids[0], env), evaluate(*n.kids[1], env));
      switch (n.op) {
        case Op::Less:
          return c < 0;
        case Op::LessEq:
          return c <= 0;
        case Op::Greater:
          return c > 0;
        case Op::GreaterEq:
          return c >= 0;
        case Op::Equal:
          return c == 0;
        default:
          return c != 0;
      }
    }
    case Op::In: {
      if (n.kids[0]->type == ExprType::Character) {
        const std::string v = evaluate_text(*n.kids[0], env);
        for (std::size_t k = 1; k < n.kids.size(); ++k)
          if (compare_texts(v, n.kids[k]->text) == 0) return 1;
        return 0;
      }
      const double v = evaluate(*n.kids[0], env);
      for (std::size_t k = 1; k < n.kids.size(); ++k)
        if (compare_numbers(v, n.kids[k]->value) == 0) return 1;
      return 0;
    }
    case Op::And: {
      const double a = evaluate(*n.kids[0], env);
      if (is_missing(a) || a == 0) return 0;
      const double b = evaluate(*n.kids[1], env);
      return !(is_missing(b) || b == 0);
    }
    case Op::Or: {
      const double a = evaluate(*n.kids[0], env);
      if (!(is_missing(a) || a == 0)) return 1;
      const double b = evaluate(*n.kids[1], env);
      return !(is_missing(b) || b == 0);
    }
    case Op::Call:
      return call_number(n, env);
    default:
      return missing_value();
  }
}

std::string evaluate_text(const ExprNode& n, ExprEnv& env) {
  if (n.type == ExprType::Numeric) return number_text(evaluate(n, env));
  switch (n.op) {
    case Op::Text:
      return n.text;
    case Op::Variable:
      return env.cells->str[static_cast<std::size_t>(n.cell)];
    case Op::Element:
    case Op::Implicit:
      return env.cells->str[static_cast<std::size_t>(n.elements[element_index(n, env)])];
    case Op::Concat:
      return evaluate_text(*n.kids[0], env) + evaluate_text(*n.kids[1], env);
    case Op::Call: {
      std::string s = evaluate_text(*n.kids[0], env);
      if (n.fn == Fn::Upcase)
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (n.fn == Fn::Trim) {
        s = trim_right(s);
        s.erase(
            0, s.find_first_not_of(' ') == std::string::npos ? s.size() : s.find_first_not_of(' '));
      }
      return s;
    }
    default:
      return "";
  }
}

}  // namespace

std::string number_text(double v) {
  if (is_missing(v)) return missing_text(v);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.12g", v);
  return buf;
}

void ExprNotes::log_to(Log& log) const {
  auto place = [&](const std::pair<int, int>& p) {
    SourcePos pos;
    pos.file = file;
    pos.line = p.first;
    pos.column = p.second;
    return pos;
  };
  for (const auto& [p, n] : missing_operand)
    log.message(kHostGroup, msg::kMissingGenerated,
                {std::to_string(n), std::to_string(p.first), std::to_string(p.second)}, place(p));
  for (const auto& [p, n] : divide_by_zero)
    log.message(kHostGroup, msg::kDivisionByZero,
                {std::to_string(n), std::to_string(p.first), std::to_string(p.second)}, place(p));
  for (const auto& [p, n] : overflow)
    log.message(kHostGroup, msg::kOverflow,
                {std::to_string(n), std::to_string(p.first), std::to_string(p.second)}, place(p));
  for (const auto& [p, e] : invalid_argument)
    log.message(
        kHostGroup, msg::kInvalidArgument,
        {e.first, std::to_string(e.second), std::to_string(p.first), std::to_string(p.second)},
        place(p));
  if (clock_seed >= 0) log.message(kHostGroup, msg::kRandomSeed, {std::to_string(clock_seed)});
}

Expression::Expression() = default;
Expression::~Expression() = default;
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;

Expression Expression::parse(const std::vector<Token>& tokens, std::size_t& i,
                             const NameResolver& resolve) {
  Expression e;
  Parser p(tokens, i, resolve);
  e.root_ = p.expression();
  return e;
}

Expression Expression::parse_all(const std::vector<Token>& tokens, std::size_t i,
                                 const NameResolver& resolve) {
  Expression e = parse(tokens, i, resolve);
  if (i < tokens.size())
    fail(msg::kSyntax, {"an operator or the end of the statement", tokens[i].text}, tokens[i].pos);
  return e;
}

ExprType Expression::type() const {
  return root_->type;
}
int Expression::length() const {
  return root_->length;
}
SourcePos Expression::pos() const {
  return root_->pos;
}
double Expression::number(ExprEnv& env) const {
  return evaluate(*root_, env);
}
std::string Expression::text(ExprEnv& env) const {
  return evaluate_text(*root_, env);
}
bool Expression::truth(ExprEnv& env) const {
  if (root_->type == ExprType::Character) return !trim_right(evaluate_text(*root_, env)).empty();
  const double v = evaluate(*root_, env);
  return !(is_missing(v) || v == 0);
}
bool Expression::assignable() const {
  return root_->op == Op::Variable || root_->op == Op::Element || root_->op == Op::Implicit;
}
int Expression::target_cell(ExprEnv& env) const {
  if (root_->op == Op::Variable) return root_->cell;
  if (root_->op == Op::Element || root_->op == Op::Implicit)
    return root_->elements[element_index(*root_, env)];
  return -1;
}

Expression where_clause(const std::vector<Token>& tokens, const DataSetHeader& header) {
  NameResolver resolve = [&](const Token& name, bool call) {
    NameBinding b;
    const int k = header.find(name.value);
    if (k < 0) {
      // A name the data set does not have is named as such, not as a syntax error.
      if (!call) fail(msg::kWhereVariable, {name.value, header.name}, name.pos);
      return b;
    }
    b.kind = NameBinding::Kind::Variable;
    b.cell = k;
    const Variable& v = header.vars[static_cast<std::size_t>(k)];
    b.type = v.is_numeric() ? ExprType::Numeric : ExprType::Character;
    b.length = v.length;
    return b;
  };
  if (tokens.empty()) fail(msg::kSyntax, {"a condition after WHERE", "nothing"}, SourcePos{});
  return Expression::parse_all(tokens, 0, resolve);
}

}  // namespace kav
