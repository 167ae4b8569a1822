// The DATA step subset used to enter data: INPUT list input (with $,
// numbered ranges and @@), LENGTH, LABEL, constant assignments, INFILE of a
// delimited file, and DATALINES/CARDS.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <unordered_map>

#include "host/csv.h"
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
  std::optional<double> num_const;
  std::optional<std::string> str_const;
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

class DataStepBuilder {
 public:
  explicit DataStepBuilder(StepContext& ctx) : ctx_(ctx) {}
  void compile();
  void execute();

 private:
  int variable(const Token& name, VarKind kind, bool kind_known);
  void parse_data_statement(const Statement& st);
  void parse_length(const Statement& st);
  void parse_label(const Statement& st);
  void parse_input(const Statement& st);
  void parse_infile(const Statement& st);
  void parse_assignment(const Statement& st);
  std::string check_name(const Token& t);

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
  Infile infile_;
  const Statement* datalines_ = nullptr;
  std::size_t next_line_ = 0;
  std::unique_ptr<std::ifstream> file_;
  std::unique_ptr<CsvRecordReader> csv_;
  long file_line_ = 0;
};

std::string DataStepBuilder::check_name(const Token& t) {
  if (t.kind != TokenKind::Name && t.kind != TokenKind::NameLiteral)
    fail(t, msg::kSyntax, {"a variable name", t.text});
  ValidVarName rule = ctx_.validvarname();
  if (t.kind == TokenKind::NameLiteral && rule != ValidVarName::Any)
    fail(t, msg::kInvalidName, {"'" + t.value + "'n", validvarname_text(rule)});
  if (!is_valid_name(t.value, rule)) fail(t, msg::kInvalidName, {t.value, validvarname_text(rule)});
  return t.value;
}

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
  v.var.length = kind == VarKind::Numeric ? 8 : 8;
  vars_.push_back(v);
  return static_cast<int>(vars_.size() - 1);
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
  if (i < t.size()) fail(t[i], msg::kSyntax, {"the end of the DATA statement (one data set is written)", t[i].text});
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
      fail(i < t.size() ? t[i] : t.back(), msg::kSyntax, {"a length", i < t.size() ? t[i].text : "the end of the statement"});
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
  if (!pending.empty()) fail(*pending.back(), msg::kSyntax, {"a length after " + pending.back()->value, "the end of the statement"});
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
      fail(t[i + 1], msg::kInputListBad, {"unexpected " + t[i + 1].text + " after " + names.back().value + " (list input takes names, $ and @@)"});
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
  if (t.size() < 2) fail(t[0], msg::kSyntax, {"a quoted file name or DATALINES after INFILE", "the end of the statement"});
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
    } else if ((t[i].is_word("DLM") || t[i].is_word("DELIMITER")) && i + 2 < t.size() && t[i + 1].is_symbol("=")) {
      const Token& v = t[i + 2];
      if (v.kind != TokenKind::String || v.value.size() != 1) fail(v, msg::kBadOptionValue, {"DLM=", v.text, "give one character in quotes, such as ','"});
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

void DataStepBuilder::parse_assignment(const Statement& st) {
  const auto& t = st.tokens;
  // name = constant
  std::size_t i = 2;
  bool negative = false;
  if (i < t.size() && t[i].is_symbol("-")) {
    negative = true;
    ++i;
  }
  if (i + 1 != t.size() || !(t[i].kind == TokenKind::Number || t[i].kind == TokenKind::String ||
                             t[i].kind == TokenKind::Missing) ||
      (negative && t[i].kind != TokenKind::Number)) {
    fail(t[0], msg::kDataStepStatementUnsupported,
         {"the assignment \"" + st.text + "\" (only constants can be assigned, as in _TYPE_='CORR';)"});
  }
  bool is_char = t[i].kind == TokenKind::String;
  int k = variable(t[0], is_char ? VarKind::Character : VarKind::Numeric, true);
  VarSpec& v = vars_[static_cast<std::size_t>(k)];
  if (is_char) {
    v.str_const = t[i].value;
    if (!v.length_given) v.var.length = std::max<int>(1, static_cast<int>(t[i].value.size()));
  } else {
    v.num_const = negative ? -t[i].number : t[i].number;
  }
}

void DataStepBuilder::compile() {
  const auto& sts = ctx_.statements();
  parse_data_statement(sts[0]);
  for (std::size_t s = 1; s < sts.size(); ++s) {
    const Statement& st = sts[s];
    std::string kw = st.keyword();
    if (kw == "INPUT") parse_input(st);
    else if (kw == "LENGTH") parse_length(st);
    else if (kw == "LABEL") parse_label(st);
    else if (kw == "INFILE") parse_infile(st);
    else if (kw == "DATALINES" || kw == "CARDS" || kw == "LINES") datalines_ = &st;
    else if ((st.tokens[0].is_name() || st.tokens[0].kind == TokenKind::NameLiteral) &&
             st.tokens.size() >= 2 && st.tokens[1].is_symbol("="))
      parse_assignment(st);
    else
      fail(st.tokens[0], msg::kDataStepStatementUnsupported, {"the statement \"" + st.text + "\""});
  }
  if (has_input_ && !datalines_ && (!infile_.given || infile_.from_datalines))
    fail(sts[0].tokens[0], msg::kNoDataLines, {});
  if (infile_.given && !infile_.from_datalines && datalines_)
    ctx_.xpmlog(kHostGroup, msg::kDataLinesWithInfile, {}, datalines_->pos);
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
      if (line == 1 && text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (infile_.dsd) split_dsd(text, fields);
      else split_list(text, fields);
    } else {
      if (!datalines_ || next_line_ >= datalines_->lines.size()) return false;
      text = datalines_->lines[next_line_];
      line = datalines_->first_line + static_cast<long>(next_line_);
      ++next_line_;
      if (infile_.dsd) split_dsd(text, fields);
      else split_list(text, fields);
    }
    if (line < infile_.firstobs && infile_.given) continue;
    // Blank lines hold no fields; list input passes over them.
    if (fields.empty() || (fields.size() == 1 && fields[0].empty() && !infile_.dsd)) continue;
    return true;
  }
}

void DataStepBuilder::execute() {
  DataSetHeader header;
  for (const auto& v : vars_) header.vars.push_back(v.var);
  std::unique_ptr<ObsWriter> writer;
  if (!null_output_) writer = ctx_.open_output(out_, header);
  Observation obs;
  obs.resize(vars_.size());
  for (std::size_t k = 0; k < vars_.size(); ++k) {
    if (vars_[k].num_const) obs.num[k] = *vars_[k].num_const;
    if (vars_[k].str_const) obs.str[k] = *vars_[k].str_const;
  }
  long written = 0;
  if (!has_input_) {
    if (writer) writer->write(obs);
    written = 1;
  } else {
    if (infile_.given && !infile_.from_datalines) {
      std::error_code ec;
      if (std::filesystem::is_directory(infile_.path, ec))
        throw StepError{msg::kInfileMissing, {infile_.path, "it is a directory, not a file"}, infile_.pos};
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
        if (!*file_) throw StepError{msg::kInfileMissing, {infile_.path, "it does not exist or is not readable"}, infile_.pos};
      }
    }
    std::vector<std::string> fields;
    std::size_t at = 0;
    long line = 0;
    bool have = false;
    long bad_numbers = 0;
    std::map<int, long> truncated;
    bool flow_noted = false;
    for (;;) {
      if (!hold_line_ || !have || at >= fields.size()) {
        have = next_record(fields, line);
        at = 0;
        if (!have) break;
      }
      bool complete = true;
      for (std::size_t item = 0; item < input_.size(); ++item) {
        if (at >= fields.size()) {
          long prev = line;
          have = next_record(fields, line);
          at = 0;
          if (!have) {
            ctx_.xpmlog(kHostGroup, msg::kLostCard, {std::to_string(prev)});
            complete = false;
            break;
          }
          if (!flow_noted) {
            ctx_.xpmlog(kHostGroup, msg::kFlowOver, {std::to_string(prev)});
            flow_noted = true;
          }
        }
        const std::string& f = fields[at++];
        std::size_t k = static_cast<std::size_t>(input_[item].var);
        if (vars_[k].var.is_numeric()) {
          double v = 0;
          std::string trimmed = f;
          while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
          while (!trimmed.empty() && trimmed.front() == ' ') trimmed.erase(0, 1);
          if (!trimmed.empty() && trimmed[0] == '+') trimmed.erase(0, 1);
          if (parse_missing_literal(trimmed, v) || parse_csv_number(trimmed, v)) {
            obs.num[k] = v;
          } else {
            obs.num[k] = missing_value();
            if (bad_numbers++ == 0) {
              SourcePos p;
              p.file = ctx_.statements()[0].pos.file;
              p.line = static_cast<int>(line);
              p.column = at - 1 < columns_.size() ? columns_[at - 1] : 1;
              ctx_.xpmlog(kHostGroup, msg::kInvalidNumericData, {f, vars_[k].var.name, std::to_string(line), std::to_string(at)}, p);
            }
          }
        } else {
          std::size_t len = static_cast<std::size_t>(vars_[k].var.length);
          if (f == "." && !infile_.dsd) {
            // A lone period is how list input writes a blank character value.
            obs.str[k].clear();
          } else if (f.size() > len) {
            ++truncated[static_cast<int>(k)];
            obs.str[k] = f.substr(0, len);
          } else {
            obs.str[k] = f;
          }
        }
      }
      if (!complete) break;
      if (writer) writer->write(obs);
      ++written;
      if (!hold_line_) at = fields.size();
    }
    if (bad_numbers > 1) ctx_.xpmlog(kHostGroup, msg::kInvalidNumericDataCount, {std::to_string(bad_numbers)});
    for (const auto& [k, count] : truncated)
      ctx_.xpmlog(kHostGroup, msg::kTruncatedCharacter, {vars_[static_cast<std::size_t>(k)].var.name, std::to_string(vars_[static_cast<std::size_t>(k)].var.length), std::to_string(count)});
    if (bad_numbers > 0) {
      // The step stops: a data set with holes where the data could not be
      // read must not take the place of one the user already has.
      if (writer) ctx_.xpmlog(kHostGroup, msg::kDataSetNotReplaced, {writer->header().name});
      xexit(1000);
    }
  }
  if (writer) {
    writer->commit();
    ctx_.set_last_dataset(out_);
    ctx_.xpmlog(kHostGroup, msg::kDataSetWritten, {writer->header().name, std::to_string(written), std::to_string(vars_.size())});
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
    xexit(1000);
  }
}

}  // namespace kav
