#include "lang/reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

#include "host/dataset.h"
#include "host/value.h"
#include "host/host_messages.h"

namespace kav {

namespace {

bool name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Two-character symbols that the statements use as one token.
const char* const kPairs[] = {"--", "@@", "<=", ">=", "^=", "~=", "||", "**", "=*"};

}  // namespace

ProgramReader::ProgramReader(std::string text, std::string file, const MacroTable& macros,
                             Log& log)
    : text_(std::move(text)), file_(std::move(file)), macros_(macros), log_(log) {
  // A UTF-8 byte-order mark at the start of a program file is not program text.
  if (text_.size() >= 3 && static_cast<unsigned char>(text_[0]) == 0xEF &&
      static_cast<unsigned char>(text_[1]) == 0xBB && static_cast<unsigned char>(text_[2]) == 0xBF)
    text_.replace(0, 3, "   ");
  line_starts_.push_back(0);
  for (std::size_t i = 0; i < text_.size(); ++i)
    if (text_[i] == '\n') line_starts_.push_back(i + 1);
}

void ProgramReader::report(int number, std::vector<std::string> args, SourcePos pos) {
  ++errors_;
  log_.message(kHostGroup, number, std::move(args), std::move(pos));
}

SourcePos ProgramReader::position_of(std::size_t offset) const {
  auto it = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
  std::size_t line = static_cast<std::size_t>(it - line_starts_.begin());  // 1-based
  SourcePos p;
  p.file = file_;
  p.line = static_cast<int>(line);
  p.column = static_cast<int>(offset - line_starts_[line - 1] + 1);
  return p;
}

// Finds the extent of the next statement, skipping comments in the way.  A
// string may not run past the end of its line: an unclosed quote is then
// reported where it opens, and reading goes on at the next line, so that one
// typo does not swallow the rest of the program.
bool ProgramReader::find_extent(Extent& ex) {
  const std::size_t n = text_.size();
  for (;;) {
    // Skip white space and block comments before the statement.
    std::size_t i = cursor_;
    for (;;) {
      while (i < n && space(text_[i])) ++i;
      if (i + 1 < n && text_[i] == '/' && text_[i + 1] == '*') {
        std::size_t close = text_.find("*/", i + 2);
        if (close == std::string::npos) {
          report( msg::kUnclosedComment, {}, position_of(i));
          cursor_ = n;
          return false;
        }
        i = close + 2;
        continue;
      }
      break;
    }
    if (i >= n) {
      cursor_ = n;
      return false;
    }
    // Comment statements: * ...;  and  %* ...;
    if (text_[i] == '*' || (text_[i] == '%' && i + 1 < n && text_[i + 1] == '*')) {
      std::size_t semi = text_.find(';', i);
      cursor_ = semi == std::string::npos ? n : semi + 1;
      continue;
    }
    ex = Extent{};
    ex.begin = i;
    while (i < n) {
      char c = text_[i];
      if (c == ';') {
        ex.end = i;
        ex.terminated = true;
        cursor_ = i + 1;
        return true;
      }
      if (c == '/' && i + 1 < n && text_[i + 1] == '*') {
        std::size_t close = text_.find("*/", i + 2);
        if (close == std::string::npos) {
          report( msg::kUnclosedComment, {}, position_of(i));
          ex.end = i;
          ex.bad = true;
          cursor_ = n;
          return true;
        }
        i = close + 2;
        continue;
      }
      if (c == '\'' || c == '"') {
        std::size_t j = i + 1;
        bool closed = false;
        while (j < n && text_[j] != '\n') {
          if (text_[j] == c) {
            if (j + 1 < n && text_[j + 1] == c) {
              j += 2;
              continue;
            }
            closed = true;
            break;
          }
          ++j;
        }
        if (!closed) {
          report( msg::kUnclosedString, {}, position_of(i));
          ex.bad = true;
          i = j;  // go on after the end of the line
          continue;
        }
        i = j + 1;
        continue;
      }
      ++i;
    }
    ex.end = n;
    cursor_ = n;
    return true;
  }
}

// Replaces &name and &name. outside single quotes and comments.  The
// replacement text is scanned again, so a value may refer to other macro
// variables (and may join with the text after it into a new reference).
// Two limits keep a hostile program from running away: at most
// kMaxMacroReferences references in one statement, defined or not (a value
// that refers to itself, directly or through others, meets this one), and at
// most kMaxMacroGrowth characters added to the statement by them.  An
// undefined name is reported once per statement: a value may hold
// references in single quotes that a double-quoted use brings to life, and
// nested such values would otherwise log an error for every copy.
//
// The text still to scan is kept reversed, so that a replacement goes in
// front of it in time proportional to its own length: expanding a
// statement costs what the expanded statement is long, however many
// references it holds.
bool ProgramReader::expand(const Extent& ex, std::string& out, std::vector<std::size_t>& origin) {
  const std::size_t length = ex.end - ex.begin;
  std::string todo(text_.rbegin() + static_cast<std::ptrdiff_t>(text_.size() - ex.end),
                   text_.rbegin() + static_cast<std::ptrdiff_t>(text_.size() - ex.begin));
  std::vector<std::size_t> todo_origin(length);
  for (std::size_t k = 0; k < length; ++k) todo_origin[k] = ex.end - 1 - k;
  out.clear();
  origin.clear();
  out.reserve(length);
  origin.reserve(length);
  // The k-th character still to scan, or NUL past the end.
  auto peek = [&](std::size_t k) { return k < todo.size() ? todo[todo.size() - 1 - k] : '\0'; };
  auto take = [&](std::size_t count) {
    for (std::size_t k = 0; k < count && !todo.empty(); ++k) {
      out += todo.back();
      origin.push_back(todo_origin.back());
      todo.pop_back();
      todo_origin.pop_back();
    }
  };
  bool ok = true;
  char quote = 0;
  int references = 0;
  std::set<std::string> undefined;  // upper case
  while (!todo.empty()) {
    const char c = peek(0);
    // Single quotes keep their text as it is; double quotes do not stop
    // substitution.
    if (quote == '\'') {
      if (c == '\'') quote = 0;
      take(1);
      continue;
    }
    if (quote == '"' && c == '"') {
      quote = 0;
      take(1);
      continue;
    }
    if (!quote && (c == '\'' || c == '"')) {
      quote = c;
      take(1);
      continue;
    }
    if (!quote && c == '/' && peek(1) == '*') {
      take(2);
      while (!todo.empty() && !(peek(0) == '*' && peek(1) == '/')) take(1);
      take(2);
      continue;
    }
    if (c == '&' && name_start(peek(1))) {
      std::size_t j = 1;
      std::string name;
      while (j < todo.size() && name_char(peek(j))) name += peek(j++);
      const std::size_t end = peek(j) == '.' ? j + 1 : j;
      const std::size_t at = todo_origin.back();
      if (++references > kMaxMacroReferences) {
        report(msg::kMacroLoop, {name, std::to_string(kMaxMacroReferences)}, position_of(at));
        return false;
      }
      auto value = macros_.get(name);
      if (!value) {
        if (undefined.insert(upper(name)).second)
          report(msg::kUndefinedMacro, {name}, position_of(at));
        ok = false;
        take(end);
        continue;
      }
      if (out.size() + todo.size() - end + value->size() > length + kMaxMacroGrowth) {
        report(msg::kMacroExpansionTooLong, {name, std::to_string(kMaxMacroGrowth)},
               position_of(at));
        return false;
      }
      todo.resize(todo.size() - end);
      todo_origin.resize(todo_origin.size() - end);
      todo.append(value->rbegin(), value->rend());
      todo_origin.resize(todo_origin.size() + value->size(), at);
      continue;  // scan the replacement again
    }
    take(1);
  }
  return ok;
}

bool ProgramReader::tokenize(const std::string& s, const std::vector<std::size_t>& origin,
                             std::vector<Token>& tokens) {
  bool ok = true;
  bool gap = true;
  auto pos = [&](std::size_t k) {
    return position_of(k < origin.size() ? origin[k] : (origin.empty() ? 0 : origin.back()));
  };
  for (std::size_t i = 0; i < s.size();) {
    char c = s[i];
    if (space(c)) {
      gap = true;
      ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      std::size_t close = s.find("*/", i + 2);
      i = close == std::string::npos ? s.size() : close + 2;
      gap = true;
      continue;
    }
    Token t;
    t.pos = pos(i);
    t.space_before = gap;
    gap = false;
    std::size_t start = i;
    if (name_start(c)) {
      while (i < s.size() && name_char(s[i])) ++i;
      t.kind = TokenKind::Name;
      t.value = s.substr(start, i - start);
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
      if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t k = i + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) {
          i = k;
          while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        }
      }
      t.kind = TokenKind::Number;
      t.value = s.substr(start, i - start);
      double v = 0;
      auto r = std::from_chars(t.value.data(), t.value.data() + t.value.size(), v);
      if (r.ec != std::errc() || r.ptr != t.value.data() + t.value.size()) {
        report( msg::kBadNumber, {t.value}, t.pos);
        ok = false;
      }
      t.number = v;
      // A number glued to letters (12abc) is not a number.
      if (i < s.size() && name_start(s[i])) {
        while (i < s.size() && name_char(s[i])) ++i;
        report( msg::kBadNumber, {s.substr(start, i - start)}, t.pos);
        ok = false;
      }
    } else if (c == '\'' || c == '"') {
      std::string v;
      std::size_t j = i + 1;
      bool closed = false;
      while (j < s.size()) {
        if (s[j] == c) {
          if (j + 1 < s.size() && s[j + 1] == c) {
            v += c;
            j += 2;
            continue;
          }
          closed = true;
          break;
        }
        v += s[j++];
      }
      if (!closed) {
        ok = false;  // already reported when the statement was found
        i = s.size();
      } else {
        i = j + 1;
      }
      t.kind = TokenKind::String;
      t.value = v;
      if (i < s.size() && (s[i] == 'n' || s[i] == 'N') && !(i + 1 < s.size() && name_char(s[i + 1]))) {
        t.kind = TokenKind::NameLiteral;
        ++i;
      }
    } else if (c == '.' && !t.space_before && !tokens.empty() &&
               (tokens.back().kind == TokenKind::Name || tokens.back().kind == TokenKind::NameLiteral)) {
      // The dot of a two-level name such as work.scores.
      ++i;
      t.kind = TokenKind::Symbol;
      t.value.assign(1, '.');
    } else if (c == '.') {
      ++i;
      t.kind = TokenKind::Missing;
      t.number = missing_value();
      if (i < s.size() && (name_start(s[i])) && !(i + 1 < s.size() && name_char(s[i + 1]))) {
        t.number = special_missing(s[i]);
        ++i;
      }
      t.value = s.substr(start, i - start);
    } else {
      t.kind = TokenKind::Symbol;
      t.value = std::string(1, c);
      ++i;
      for (const char* pair : kPairs) {
        if (c == pair[0] && i < s.size() && s[i] == pair[1]) {
          t.value = pair;
          ++i;
          break;
        }
      }
    }
    t.text = s.substr(start, i - start);
    tokens.push_back(std::move(t));
  }
  return ok;
}

void ProgramReader::read_data_lines(Statement& st, std::size_t after) {
  // Data begin on the line after the DATALINES statement and end at a line
  // that holds only a semicolon.
  std::size_t nl = text_.find('\n', after);
  std::size_t i = nl == std::string::npos ? text_.size() : nl + 1;
  st.first_line = position_of(std::min(i, text_.size() ? text_.size() - 1 : 0)).line;
  if (i >= text_.size()) st.first_line = static_cast<int>(line_starts_.size()) + 1;
  else st.first_line = position_of(i).line;
  while (i < text_.size()) {
    std::size_t e = text_.find('\n', i);
    if (e == std::string::npos) e = text_.size();
    std::string line = text_.substr(i, e - i);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    i = e + 1;
    std::string trimmed = line;
    trimmed.erase(std::remove_if(trimmed.begin(), trimmed.end(), space), trimmed.end());
    if (trimmed == ";") {
      cursor_ = std::min(i, text_.size());
      return;
    }
    st.lines.push_back(std::move(line));
  }
  cursor_ = text_.size();
}

bool ProgramReader::next(Statement& st) {
  st = Statement{};
  Extent ex;
  if (!find_extent(ex)) return false;
  std::string expanded;
  std::vector<std::size_t> origin;
  bool ok = !ex.bad;
  if (!expand(ex, expanded, origin)) ok = false;
  if (!tokenize(expanded, origin, st.tokens)) ok = false;
  st.pos = position_of(ex.begin);
  st.text = expanded;
  st.bad = !ok;
  if (!ex.terminated && !st.tokens.empty()) {
    report( msg::kNoFinalSemicolon, {}, st.tokens.back().pos);
    st.bad = true;
  }
  std::string kw = st.keyword();
  if (ex.terminated && st.tokens.size() == 1 &&
      (kw == "DATALINES" || kw == "CARDS" || kw == "LINES"))
    read_data_lines(st, ex.end);
  return true;
}

std::vector<Token> tokenize_text(const std::string& text, Log& log) {
  MacroTable none;
  ProgramReader r(text + ";", "<command line>", none, log);
  Statement st;
  std::vector<Token> all;
  while (r.next(st)) all.insert(all.end(), st.tokens.begin(), st.tokens.end());
  return all;
}

}  // namespace kav
