#include "host/stmtparse.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/dataset.h"
#include "host/host_messages.h"
#include "numeric/exact_integer.h"

namespace kav {

namespace {

std::string number_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

const FieldValue& empty_field() {
  static const FieldValue empty;
  return empty;
}

// Reads the options and values of one statement.  Syntax errors stop the
// statement (what follows cannot be trusted); a value out of range is
// reported and reading goes on, since the value itself was well formed.
class Reader {
 public:
  Reader(const std::vector<Token>& t, std::size_t& i, Log& log) : t_(t), i_(i), log_(log) {}

  int status() const { return status_; }

  bool options(const OptionTable& table, ParsedRecord& rec, bool stop_at_close) {
    while (i_ < t_.size()) {
      const Token& tok = t_[i_];
      if (stop_at_close && tok.is_symbol(")")) return true;
      if (stop_at_close && tok.is_symbol(",")) {
        ++i_;
        continue;
      }
      if (tok.kind != TokenKind::Name) {
        return syntax(stop_at_close ? "an option name or )" : "an option name", &tok);
      }
      const OptionDef* def = table.find(tok.value);
      if (!def) {
        report(msg::kUnknownOption, {tok.text, table.name}, tok.pos);
        return false;
      }
      ++i_;
      if (!option(*def, rec)) return false;
    }
    if (stop_at_close) {
      return syntax(")", nullptr);
    }
    return true;
  }

  // The value of `def` from the current token on (after '=', or the body
  // of a statement).  `name` is the option's name for messages.
  bool value(const OptionDef& def, ParsedRecord& rec, const std::string& name,
             std::shared_ptr<ParsedRecord> before) {
    FieldValue scratch;
    FieldValue& f = def.field > 0 ? rec.at(def.field) : scratch;
    int count = f.count;
    if (!def.accumulate && def.kind != ValueKind::VarList) f = FieldValue{};
    f.given = true;
    f.count = count + 1;
    f.pos = here();
    if (before) f.sub = std::move(before);
    // An option that may stand bare sets its bit only when bare (PLOTS
    // alone asks for one thing, PLOTS= for another).
    if (def.bit >= 0 && !def.value_optional) rec.bits.set(static_cast<std::size_t>(def.bit));

    switch (def.kind) {
      case ValueKind::Flag:
        return true;
      case ValueKind::Keyword:
        return keyword(def, rec, f, name);
      case ValueKind::Number:
      case ValueKind::Integer:
        if (!def.words.empty() && at_name()) return keyword(def, rec, f, name);
        return number(def, f, name, def.kind == ValueKind::Integer, f.number);
      case ValueKind::Name:
        if (i_ < t_.size() &&
            (t_[i_].kind == TokenKind::Name || t_[i_].kind == TokenKind::NameLiteral)) {
          f.text = t_[i_++].value;
          return true;
        }
        return syntax("a name after " + name, current());
      case ValueKind::Text:
        if (i_ < t_.size() &&
            (t_[i_].kind == TokenKind::Name || t_[i_].kind == TokenKind::NameLiteral ||
             t_[i_].kind == TokenKind::String)) {
          f.text = t_[i_++].value;
          return true;
        }
        return syntax("a quoted string or a name after " + name, current());
      case ValueKind::DataSet: {
        if (i_ >= t_.size()) return syntax("a data set name after " + name, current());
        SourcePos where;
        const std::string given = t_[i_].text;
        std::string err = parse_dataset_name(t_, i_, f.dataset, where);
        if (!err.empty()) {
          report(msg::kBadOptionValue, {name, given, err}, where);
          return false;
        }
        f.text = f.dataset.display();
        return true;
      }
      case ValueKind::NumberList:
        if (!def.words.empty() && at_name() && !t_[i_].is_word("TO"))
          return keyword(def, rec, f, name);
        return number_list(def, f, name);
      case ValueKind::KeywordList:
        return keyword_list(def, rec, f, name);
      case ValueKind::VarList: {
        VarListError err;
        bool notsorted = false;
        std::size_t before_list = f.vars.size();
        if (!read_varlist(t_, i_, f.vars, err, def.allow_descending,
                          def.notsorted_bit >= 0 ? &notsorted : nullptr, true)) {
          report(err.number, err.args, err.pos);
          return false;
        }
        if (notsorted) rec.bits.set(static_cast<std::size_t>(def.notsorted_bit));
        if (f.vars.size() == before_list && !notsorted) return syntax("a variable name", current());
        return true;
      }
      case ValueKind::Variable:
        if (i_ < t_.size() &&
            (t_[i_].kind == TokenKind::Name || t_[i_].kind == TokenKind::NameLiteral)) {
          VarListItem item;
          item.first = f.text = t_[i_].value;
          item.pos = t_[i_].pos;
          f.vars.assign(1, item);
          ++i_;
          return true;
        }
        return syntax("a variable name", current());
      case ValueKind::LabelPairs:
        return label_pairs(f, name);
    }
    return true;
  }

 private:
  bool option(const OptionDef& def, ParsedRecord& rec) {
    const std::string bare = def.spellings[0];
    std::shared_ptr<ParsedRecord> before;
    if (def.before_equals && i_ < t_.size() && t_[i_].is_symbol("(")) {
      ++i_;
      before = std::make_shared<ParsedRecord>();
      if (!options(*def.before_equals, *before, true)) return false;
      ++i_;  // ')'
    }
    bool eq = i_ < t_.size() && t_[i_].is_symbol("=");
    if (def.kind == ValueKind::Flag) {
      if (eq) {
        report(msg::kBadOptionValue,
               {bare, next_text(i_ + 1), bare + " takes no value; leave out the = sign"},
               t_[i_].pos);
        return false;
      }
      if (def.bit >= 0) rec.bits.set(static_cast<std::size_t>(def.bit));
      if (def.field > 0) {
        FieldValue& f = rec.at(def.field);
        f.given = true;
        ++f.count;
      }
      if (def.after_name && i_ < t_.size() && t_[i_].is_symbol("(")) {
        ++i_;
        auto sub = std::make_shared<ParsedRecord>();
        if (!options(*def.after_name, *sub, true)) return false;
        ++i_;
        if (def.field > 0) rec.at(def.field).sub = std::move(sub);
      }
      return true;
    }
    if (!eq) {
      if (def.value_optional && !before) {
        if (def.bit >= 0) rec.bits.set(static_cast<std::size_t>(def.bit));
        return true;
      }
      return syntax("= and a value after " + bare, current());
    }
    ++i_;
    return value(def, rec, bare + "=", std::move(before));
  }

  bool at_name() const { return i_ < t_.size() && t_[i_].kind == TokenKind::Name; }
  const Token* current() const { return i_ < t_.size() ? &t_[i_] : nullptr; }
  std::string next_text(std::size_t k) const {
    return k < t_.size() ? t_[k].text : "the end of the statement";
  }
  SourcePos here() const {
    if (i_ < t_.size()) return t_[i_].pos;
    return t_.empty() ? SourcePos{} : t_.back().pos;
  }

  void report(int number, std::vector<std::string> args, SourcePos pos) {
    log_.message(kHostGroup, number, std::move(args), std::move(pos));
    status_ = kParseStatus;
  }
  bool syntax(const std::string& expected, const Token* found) {
    report(msg::kSyntax, {expected, found ? found->text : "the end of the statement"}, here());
    return false;
  }

  static std::string word_choices(const std::vector<WordDef>& words) {
    std::string s;
    int last = -1;
    for (const WordDef& w : words) {
      if (w.code == last) continue;  // aliases follow their word
      last = w.code;
      s += (s.empty() ? "" : ", ") + std::string(w.word);
    }
    return s;
  }

  const WordDef* find_word(const std::vector<WordDef>& words, const Token& tok) const {
    if (tok.kind != TokenKind::Name) return nullptr;
    for (const WordDef& w : words)
      if (tok.is_word(w.word)) return &w;
    return nullptr;
  }

  // A signed numeric literal.  Returns false without moving when there is
  // none.
  bool literal(double& v, std::string& text, SourcePos& pos) {
    std::size_t k = i_;
    double sign = 1;
    std::string prefix;
    if (k < t_.size() && (t_[k].is_symbol("-") || t_[k].is_symbol("+")) && k + 1 < t_.size() &&
        t_[k + 1].kind == TokenKind::Number) {
      if (t_[k].is_symbol("-")) sign = -1;
      prefix = t_[k].value;
      pos = t_[k].pos;
      ++k;
    } else if (k < t_.size()) {
      pos = t_[k].pos;
    }
    if (k >= t_.size() || t_[k].kind != TokenKind::Number) return false;
    v = sign * t_[k].number;
    text = prefix + t_[k].text;
    i_ = k + 1;
    return true;
  }

  bool checked(const OptionDef& def, const std::string& name, bool integer, double v,
               const std::string& text, const SourcePos& pos) {
    return checked(def.range, name, integer, v, text, pos, !def.any_size);
  }
  bool checked(const Range& range, const std::string& name, bool integer, double v,
               const std::string& text, const SourcePos& pos, bool int_sized = true) {
    if (integer && (v != std::floor(v) || text.find_first_of(".eE") != std::string::npos)) {
      report(msg::kBadOptionValue, {name, text, name + " takes an integer"}, pos);
      return false;
    }
    if (!range.contains(v)) {
      report(msg::kOptionOutOfRange, {name, text, range.describe(integer)}, pos);
      return false;
    }
    // An integer option must also fit the int its value becomes, whatever
    // range its grammar allows.
    if (integer && int_sized && !exact_integer<int>(v)) {
      const Range fits{std::max(range.lo, double{exact_integer_min<int>()}),
                       std::min(range.hi, double{exact_integer_max<int>()})};
      report(msg::kOptionOutOfRange, {name, text, fits.describe(integer)}, pos);
      return false;
    }
    return true;
  }

  bool number(const OptionDef& def, FieldValue& f, const std::string& name, bool integer,
              double& out) {
    double v;
    std::string text;
    SourcePos pos;
    if (!literal(v, text, pos)) {
      std::string what = integer ? "an integer" : "a number";
      if (!def.words.empty()) what += " or one of " + word_choices(def.words);
      return syntax(what + " after " + name, current());
    }
    f.pos = pos;
    f.text = text;
    if (!checked(def, name, integer, v, text, pos)) return true;  // reported; keep reading
    out = v;
    return true;
  }

  // Numeric parameters of a word in parentheses: PROMAX(3), ORTHCF(1, 2).
  bool params(const WordDef& w, const std::string& name, std::vector<double>& out,
              const SourcePos& word_pos) {
    std::size_t n = 0;
    if (i_ < t_.size() && t_[i_].is_symbol("(")) {
      ++i_;
      for (;;) {
        if (i_ < t_.size() && t_[i_].is_symbol(",")) {
          ++i_;
          continue;
        }
        if (i_ < t_.size() && t_[i_].is_symbol(")")) {
          ++i_;
          break;
        }
        double v;
        std::string text;
        SourcePos pos;
        if (!literal(v, text, pos))
          return syntax("a number or ) in the parameters of " + std::string(w.word), current());
        // A value out of range is reported and reading goes on, as for an
        // option's value; the statement is in error either way.
        if (w.integer_params || w.param_range.limited())
          checked(w.param_range, name + upper(w.word), w.integer_params, v, text, pos);
        out.push_back(v);
        ++n;
      }
    }
    if (static_cast<int>(n) < w.min_params || static_cast<int>(n) > w.max_params) {
      std::string allowed = w.min_params == w.max_params ? std::to_string(w.min_params)
                                                         : std::to_string(w.min_params) + " to " +
                                                               std::to_string(w.max_params);
      report(msg::kBadOptionValue,
             {name, std::string(w.word) + " with " + std::to_string(n) + " parameters",
              std::string(w.word) + " takes " + allowed + " numeric parameters in parentheses"},
             word_pos);
      return false;
    }
    return true;
  }

  bool word_tail(const WordDef& w, const std::string& name, std::vector<double>& numbers,
                 std::shared_ptr<ParsedRecord>& sub, const SourcePos& pos) {
    if (w.options) {
      if (i_ < t_.size() && t_[i_].is_symbol("(")) {
        ++i_;
        sub = std::make_shared<ParsedRecord>();
        if (!options(*w.options, *sub, true)) return false;
        ++i_;
      }
      return true;
    }
    if (w.max_params > 0 || w.min_params > 0) return params(w, name, numbers, pos);
    if (i_ < t_.size() && t_[i_].is_symbol("(")) {
      report(msg::kBadOptionValue,
             {name, std::string(w.word) + "(...)",
              std::string(w.word) + " takes nothing in parentheses"},
             t_[i_].pos);
      return false;
    }
    return true;
  }

  bool keyword(const OptionDef& def, ParsedRecord& rec, FieldValue& f, const std::string& name) {
    if (i_ >= t_.size()) return syntax("a value after " + name, nullptr);
    const Token& tok = t_[i_];
    const WordDef* w = find_word(def.words, tok);
    if (!w) {
      if (tok.kind != TokenKind::Name)
        return syntax("one of " + word_choices(def.words) + " after " + name, &tok);
      report(msg::kBadOptionValue,
             {name, tok.text, name + " takes one of " + word_choices(def.words)}, tok.pos);
      return false;
    }
    ++i_;
    if (w->bit >= 0) rec.bits.set(static_cast<std::size_t>(w->bit));
    f.code = w->code;
    f.text = upper(tok.value);
    f.pos = tok.pos;
    return word_tail(*w, name, f.numbers, f.sub, tok.pos);
  }

  bool keyword_list(const OptionDef& def, ParsedRecord& rec, FieldValue& f,
                    const std::string& name) {
    bool parens = !def.comma_separated && i_ < t_.size() && t_[i_].is_symbol("(");
    if (parens) ++i_;
    std::size_t first = f.items.size();
    for (;;) {
      if (parens && i_ < t_.size() && t_[i_].is_symbol(")")) {
        ++i_;
        break;
      }
      if (i_ >= t_.size()) {
        if (parens) return syntax(")", nullptr);
        break;
      }
      const Token& tok = t_[i_];
      const WordDef* w = find_word(def.words, tok);
      if (!w) {
        if (tok.kind != TokenKind::Name)
          return syntax("one of " + word_choices(def.words) + " after " + name, &tok);
        report(msg::kBadOptionValue, {name, tok.text, name + " takes " + word_choices(def.words)},
               tok.pos);
        return false;
      }
      ++i_;
      if (w->bit >= 0) rec.bits.set(static_cast<std::size_t>(w->bit));
      ListItem item;
      item.code = w->code;
      item.word = upper(tok.value);
      item.pos = tok.pos;
      if (!word_tail(*w, name, item.params, item.options, tok.pos)) return false;
      for (double p : item.params) {
        f.numbers.push_back(p);
        f.labels.push_back(static_cast<int>(f.items.size()) + 1);
      }
      f.items.push_back(std::move(item));
      if (def.comma_separated) {
        if (i_ < t_.size() && t_[i_].is_symbol(",")) {
          ++i_;
          continue;
        }
        break;
      }
      if (!parens) break;
    }
    if (f.items.size() == first) return syntax("a value after " + name, current());
    if (def.accumulate) f.marks.push_back(static_cast<int>(f.items.size()));
    return true;
  }

  bool number_list(const OptionDef& def, FieldValue& f, const std::string& name) {
    bool parens = !def.plain_list && i_ < t_.size() && t_[i_].is_symbol("(");
    if (parens) ++i_;
    std::size_t first = f.numbers.size();
    for (;;) {
      if (parens && i_ < t_.size() && t_[i_].is_symbol(",")) {
        ++i_;
        continue;
      }
      double a;
      std::string text;
      SourcePos pos;
      if (!literal(a, text, pos)) break;
      if (!def.plain_list && i_ < t_.size() && t_[i_].is_word("TO")) {
        ++i_;
        double b, step = 1;
        std::string tb, ts;
        SourcePos pb, ps;
        if (!literal(b, tb, pb)) return syntax("a number after TO", current());
        if (i_ < t_.size() && t_[i_].is_word("BY")) {
          ++i_;
          if (!literal(step, ts, ps)) return syntax("a number after BY", current());
          if (step == 0 || (b - a) * step < 0) {
            report(msg::kBadOptionValue,
                   {name, text + " TO " + tb + " BY " + ts,
                    "the BY step must be non-zero and lead from the first value to the last"},
                   ps);
            return false;
          }
        } else if (b < a) {
          step = -1;
        }
        // Counting the steps first keeps decimal steps such as 0.1 from
        // losing the last value to rounding.
        double span = (b - a) / step;
        long n = static_cast<long>(std::floor(span + 1e-9 * (1 + std::fabs(span)))) + 1;
        if (n > 1000000) {
          report(msg::kBadOptionValue,
                 {name, text + " TO " + tb, "the range would give more than a million values"},
                 pos);
          return false;
        }
        for (long k = 0; k < n; ++k) {
          double v = a + static_cast<double>(k) * step;
          if (!checked(def, name, false, v, number_text(v), pos)) return true;
          f.numbers.push_back(v);
        }
        continue;
      }
      if (!checked(def, name, false, a, text, pos)) return true;
      f.numbers.push_back(a);
    }
    if (parens) {
      if (i_ < t_.size() && t_[i_].is_symbol(")"))
        ++i_;
      else
        return syntax("a number or ) in the list of " + name, current());
    }
    if (f.numbers.size() == first) {
      std::string what = "a number";
      if (!def.words.empty()) what += " or one of " + word_choices(def.words);
      return syntax(what + " after " + name, current());
    }
    return true;
  }

  bool label_pairs(FieldValue& f, const std::string& name) {
    const char* close = nullptr;
    if (i_ < t_.size()) {
      if (t_[i_].is_symbol("("))
        close = ")";
      else if (t_[i_].is_symbol("["))
        close = "]";
      else if (t_[i_].is_symbol("{"))
        close = "}";
    }
    if (!close) return syntax("(, [ or { to open the labels of " + name, current());
    ++i_;
    for (;;) {
      if (i_ < t_.size() && t_[i_].is_symbol(close)) {
        ++i_;
        return true;
      }
      if (i_ < t_.size() && t_[i_].is_symbol(",")) {
        ++i_;
        continue;
      }
      if (i_ >= t_.size() ||
          (t_[i_].kind != TokenKind::Name && t_[i_].kind != TokenKind::NameLiteral))
        return syntax(std::string("a variable name or ") + close + " in " + name, current());
      std::string var = t_[i_++].value;
      if (i_ >= t_.size() || !t_[i_].is_symbol("="))
        return syntax("= after " + var + " in " + name, current());
      ++i_;
      if (i_ >= t_.size() || (t_[i_].kind != TokenKind::String && t_[i_].kind != TokenKind::Name &&
                              t_[i_].kind != TokenKind::NameLiteral))
        return syntax("a quoted label for " + var, current());
      f.pairs.emplace_back(var, t_[i_++].value);
    }
  }

  const std::vector<Token>& t_;
  std::size_t& i_;
  Log& log_;
  int status_ = 0;
};

const StatementDef* find_statement(const Grammar& g, const std::string& keyword) {
  for (const StatementDef& s : g.statements)
    for (const char* sp : s.spellings)
      if (same_name(keyword, sp)) return &s;
  return nullptr;
}

}  // namespace

std::string Range::describe(bool integer) const {
  std::string what = integer ? "an integer" : "a number";
  bool has_lo = lo > -std::numeric_limits<double>::infinity();
  bool has_hi = hi < std::numeric_limits<double>::infinity();
  if (has_lo && has_hi) return what + " from " + number_text(lo) + " to " + number_text(hi);
  if (has_lo) return what + " of at least " + number_text(lo);
  if (has_hi) return what + " of at most " + number_text(hi);
  return what;
}

OptionTable::OptionTable(std::string table_name, std::vector<OptionDef> opts)
    : name(std::move(table_name)), options(std::move(opts)) {
  for (std::size_t k = 0; k < options.size(); ++k)
    for (const char* sp : options[k].spellings) {
      auto [it, fresh] = dictionary.emplace(upper(sp), k);
      if (!fresh) duplicates.push_back(sp);
    }
}

const OptionDef* OptionTable::find(const std::string& spelling) const {
  auto it = dictionary.find(upper(spelling));
  return it == dictionary.end() ? nullptr : &options[it->second];
}

const FieldValue& ParsedRecord::operator[](int field) const {
  if (field <= 0 || static_cast<std::size_t>(field) >= fields.size()) return empty_field();
  return fields[static_cast<std::size_t>(field)];
}

FieldValue& ParsedRecord::at(int field) {
  if (static_cast<std::size_t>(field) >= fields.size())
    fields.resize(static_cast<std::size_t>(field) + 1);
  return fields[static_cast<std::size_t>(field)];
}

int parse_options(const OptionTable& table, const std::vector<Token>& tokens, std::size_t& i,
                  Log& log, ParsedRecord& record, bool stop_at_close) {
  Reader r(tokens, i, log);
  r.options(table, record, stop_at_close);
  return r.status();
}

int xsparse(const Grammar& g, const std::vector<Statement>& statements, Log& log, ParsedStep& out) {
  out = ParsedStep{};
  out.proc.fields.resize(static_cast<std::size_t>(g.fields) + 1);
  int status = 0;
  if (statements.empty()) return 0;
  const Statement& head = statements[0];
  ParsedStatement ps;
  ps.name = upper(g.procedure);
  ps.pos = head.pos;
  out.statements.push_back(ps);
  // PROC name options...
  std::size_t i = head.tokens.size() > 2 ? 2 : head.tokens.size();
  status = std::max(status, parse_options(*g.proc, head.tokens, i, log, out.proc));
  for (std::size_t s = 1; s < statements.size(); ++s) {
    const Statement& st = statements[s];
    if (st.empty()) continue;
    std::string kw = st.keyword();
    const StatementDef* def = kw.empty() ? nullptr : find_statement(g, kw);
    if (!def) {
      log.message(kHostGroup, msg::kUnknownStatement,
                  {kw.empty() ? st.tokens[0].text : kw, " in PROC " + upper(g.procedure)},
                  st.tokens[0].pos);
      status = kParseStatus;
      continue;
    }
    ParsedStatement one;
    one.name = upper(def->spellings[0]);
    one.pos = st.pos;
    one.def = def;
    ParsedRecord& target = def->own_record ? one.record : out.proc;
    std::size_t k = 1;
    Reader r(st.tokens, k, log);
    if (def->body == StatementBody::Options) {
      r.options(*def->options, target, false);
    } else if (def->body == StatementBody::Condition && k < st.tokens.size()) {
      // Checked against the data set's variables when it is opened.
      FieldValue& f = target.at(def->value.field);
      f.given = true;
      ++f.count;
      f.pos = st.tokens[k].pos;
      f.conditions.emplace_back(st.tokens.begin() + 1, st.tokens.end());
      k = st.tokens.size();
    } else if (k >= st.tokens.size()) {
      log.message(kHostGroup, msg::kSyntax,
                  {"a value after " + one.name, "the end of the statement"}, st.tokens[0].pos);
      status = kParseStatus;
    } else if (r.value(def->value, target, one.name, nullptr) && k < st.tokens.size()) {
      log.message(kHostGroup, msg::kSyntax,
                  {"the end of the " + one.name + " statement", st.tokens[k].text},
                  st.tokens[k].pos);
      status = kParseStatus;
    }
    status = std::max(status, r.status());
    out.statements.push_back(std::move(one));
  }
  out.status = status;
  return status;
}

}  // namespace kav

namespace kav {

namespace {

// The words an option takes, aliases of one code together: PRINCIPAL (PRIN, P).
std::string words_text(const std::vector<WordDef>& words) {
  std::string out;
  for (std::size_t k = 0; k < words.size(); ++k) {
    bool alias = false;
    for (std::size_t j = 0; j < k; ++j) alias = alias || words[j].code == words[k].code;
    if (alias) continue;
    std::string one = words[k].word;
    std::string aliases;
    for (std::size_t j = k + 1; j < words.size(); ++j)
      if (words[j].code == words[k].code)
        aliases += std::string(aliases.empty() ? "" : ", ") + words[j].word;
    if (!aliases.empty()) one += " (" + aliases + ")";
    if (words[k].max_params > 0) one += words[k].min_params > 0 ? "(n...)" : "[(n)]";
    if (words[k].options) one += "[(options)]";
    out += (out.empty() ? "" : " | ") + one;
  }
  return out;
}

std::string value_text(const OptionDef& d) {
  std::string v;
  switch (d.kind) {
    case ValueKind::Flag:
      v = "";
      break;
    case ValueKind::Keyword:
    case ValueKind::KeywordList:
      v = words_text(d.words);
      break;
    case ValueKind::Number:
      v = d.range.describe(false);
      break;
    case ValueKind::Integer:
      v = d.range.describe(true);
      break;
    case ValueKind::Name:
      v = "a name";
      break;
    case ValueKind::Text:
      v = "quoted text";
      break;
    case ValueKind::DataSet:
      v = "a data set, with options in parentheses";
      break;
    case ValueKind::NumberList:
      v = "numbers";
      break;
    case ValueKind::VarList:
      v = "variables";
      break;
    case ValueKind::Variable:
      v = "a variable";
      break;
    case ValueKind::LabelPairs:
      v = "(name = 'label' ...)";
      break;
  }
  if (d.kind == ValueKind::KeywordList && d.comma_separated)
    v = "one or more of, separated by commas: " + v;
  else if (d.kind == ValueKind::KeywordList)
    v = "one or more of: " + v;
  if ((d.kind == ValueKind::Integer || d.kind == ValueKind::NumberList) && !d.words.empty())
    v += " or " + words_text(d.words);
  if (d.value_optional) v = "[= " + v + "]";
  return v;
}

void option_lines(const OptionTable& table, std::string& out,
                  std::vector<const OptionTable*>& nested) {
  for (const OptionDef& d : table.options) {
    std::string head = "  " + std::string(d.spellings[0]) +
                       (d.kind == ValueKind::Flag || d.value_optional ? "" : "=");
    if (d.spellings.size() > 1) {
      head += " (alias";
      head += d.spellings.size() > 2 ? "es " : " ";
      for (std::size_t k = 1; k < d.spellings.size(); ++k)
        head += std::string(k > 1 ? ", " : "") + d.spellings[k];
      head += ")";
    }
    out += head + "\n";
    const std::string value = value_text(d);
    if (!value.empty()) out += "      value:   " + value + "\n";
    out += "      default: " +
           std::string(d.default_text ? d.default_text
                                      : (d.kind == ValueKind::Flag ? "off" : "none")) +
           "\n";
    out += "      " + std::string(d.help ? d.help : "(not described)") + "\n";
    for (const OptionTable* t : {d.before_equals, d.after_name})
      if (t && std::find(nested.begin(), nested.end(), t) == nested.end()) nested.push_back(t);
    for (const WordDef& w : d.words)
      if (w.options && std::find(nested.begin(), nested.end(), w.options) == nested.end())
        nested.push_back(w.options);
  }
}

}  // namespace

std::string grammar_reference(const Grammar& g) {
  std::string out = "PROC " + g.procedure + " options;\n";
  std::vector<const OptionTable*> nested;
  option_lines(*g.proc, out, nested);
  out += "\nSecondary statements\n";
  for (const StatementDef& s : g.statements) {
    std::string names = s.spellings[0];
    for (std::size_t k = 1; k < s.spellings.size(); ++k)
      names += std::string(k == 1 ? " (alias " : ", ") + s.spellings[k];
    if (s.spellings.size() > 1) names += ")";
    out += "  " + names;
    if (s.body == StatementBody::Value)
      out += " " + value_text(s.value);
    else if (s.body == StatementBody::Condition)
      out += " condition";
    else
      out += " options";
    out += ";\n      " + std::string(s.help ? s.help : "(not described)") + "\n";
    if (s.body == StatementBody::Options && s.options &&
        std::find(nested.begin(), nested.end(), s.options) == nested.end())
      nested.push_back(s.options);
  }
  // Option lists in parentheses may hold further lists of their own.
  for (std::size_t k = 0; k < nested.size(); ++k) {
    out += "\nOptions of " + nested[k]->name + "\n";
    option_lines(*nested[k], out, nested);
  }
  return out;
}

}  // namespace kav
