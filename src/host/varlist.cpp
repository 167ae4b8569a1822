#include "host/varlist.h"

#include <cctype>
#include <unordered_map>

#include "host/host_messages.h"

namespace kav {

namespace {

using Kind = VarListItem::Kind;

bool is_name_token(const Token& t) {
  return t.kind == TokenKind::Name || t.kind == TokenKind::NameLiteral;
}

// A special list keyword, only when written as a plain name: a name literal
// '_ALL_'n names a variable called _ALL_.
bool special(const Token& t, Kind& kind) {
  if (t.kind != TokenKind::Name) return false;
  if (t.is_word("_NUMERIC_"))
    kind = Kind::AllNumeric;
  else if (t.is_word("_CHARACTER_") || t.is_word("_CHAR_"))
    kind = Kind::AllCharacter;
  else if (t.is_word("_ALL_"))
    kind = Kind::All;
  else
    return false;
  return true;
}

// Splits NAME123 into "NAME", "123"; false when the name does not end in a
// digit or is nothing but digits.
bool split_number(const std::string& name, std::string& prefix, std::string& digits) {
  std::size_t k = name.size();
  while (k > 0 && std::isdigit(static_cast<unsigned char>(name[k - 1]))) --k;
  if (k == name.size() || k == 0) return false;
  prefix = name.substr(0, k);
  digits = name.substr(k);
  return true;
}

VarListError error(int number, std::vector<std::string> args, SourcePos pos) {
  VarListError e;
  e.number = number;
  e.args = std::move(args);
  e.pos = std::move(pos);
  return e;
}

// Whether the variables item `it` just added to `out` (those from
// `checked` on) are new to the list; false with `err` naming the first one
// that is not.  `seen` marks the variables of the list so far.
bool first_mention(const VarListItem& it, std::vector<char>& seen, std::size_t& checked,
                   const std::vector<int>& out, const DataSetHeader& h,
                   const std::string& statement, VarListError& err) {
  for (; checked < out.size(); ++checked) {
    const auto k = static_cast<std::size_t>(out[checked]);
    if (seen[k]) {
      err = error(msg::kVariableRepeated, {h.vars[k].name, statement}, it.pos);
      return false;
    }
    seen[k] = 1;
  }
  return true;
}

const char* type_word(const Variable& v) {
  return v.is_numeric() ? "numeric" : "character";
}

}  // namespace

std::string NumberedRange::name(long n) const {
  std::string digits = std::to_string(n);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return prefix + digits;
}

bool numbered_range(const std::string& first, const std::string& last, NumberedRange& range) {
  std::string p1, d1, p2, d2;
  if (!split_number(first, p1, d1) || !split_number(last, p2, d2) || !same_name(p1, p2) ||
      d1.size() > 9 || d2.size() > 9)
    return false;
  range.prefix = p1;
  range.first = std::stol(d1);
  range.last = std::stol(d2);
  range.width = d1.size() > 1 && d1[0] == '0' ? d1.size() : 0;
  return true;
}

std::string VarListItem::display() const {
  switch (kind) {
    case Kind::Name:
      return first;
    case Kind::Numbered:
      return first + "-" + last;
    case Kind::Positional:
      return first + "--" + last;
    case Kind::PositionalNumeric:
      return first + "-NUMERIC-" + last;
    case Kind::PositionalCharacter:
      return first + "-CHARACTER-" + last;
    case Kind::Prefix:
      return first + ":";
    case Kind::AllNumeric:
      return "_NUMERIC_";
    case Kind::AllCharacter:
      return "_CHARACTER_";
    case Kind::All:
      return "_ALL_";
  }
  return first;
}

bool read_varlist(const std::vector<Token>& t, std::size_t& i, std::vector<VarListItem>& out,
                  VarListError& err, bool allow_descending, bool* notsorted, bool stop_at_other) {
  bool descending = false;
  while (i < t.size()) {
    const Token& tok = t[i];
    if (allow_descending && tok.is_word("DESCENDING")) {
      descending = true;
      ++i;
      continue;
    }
    if (notsorted && tok.is_word("NOTSORTED")) {
      *notsorted = true;
      ++i;
      continue;
    }
    if (!is_name_token(tok)) {
      if (stop_at_other) break;
      err = error(msg::kSyntax, {"a variable name", tok.text}, tok.pos);
      return false;
    }
    VarListItem item;
    item.pos = tok.pos;
    item.first = tok.value;
    item.descending = descending;
    descending = false;
    Kind sp;
    if (special(tok, sp)) {
      item.kind = sp;
      item.first.clear();
      ++i;
      out.push_back(std::move(item));
      continue;
    }
    ++i;
    auto name_at = [&](std::size_t k) { return k < t.size() && is_name_token(t[k]); };
    if (i < t.size() && t[i].is_symbol(":") && !t[i].space_before) {
      item.kind = Kind::Prefix;
      ++i;
    } else if (i < t.size() && t[i].is_symbol("--")) {
      if (!name_at(i + 1)) {
        err = error(msg::kSyntax,
                    {"a variable name after " + item.first + "--",
                     i + 1 < t.size() ? t[i + 1].text : "the end of the statement"},
                    i + 1 < t.size() ? t[i + 1].pos : t[i].pos);
        return false;
      }
      item.kind = Kind::Positional;
      item.last = t[i + 1].value;
      i += 2;
    } else if (i < t.size() && t[i].is_symbol("-")) {
      if (!name_at(i + 1)) {
        err = error(msg::kSyntax,
                    {"a variable name after " + item.first + "-",
                     i + 1 < t.size() ? t[i + 1].text : "the end of the statement"},
                    i + 1 < t.size() ? t[i + 1].pos : t[i].pos);
        return false;
      }
      const Token& mid = t[i + 1];
      bool typed = mid.kind == TokenKind::Name &&
                   (mid.is_word("NUMERIC") || mid.is_word("CHARACTER") || mid.is_word("CHAR")) &&
                   i + 2 < t.size() && t[i + 2].is_symbol("-") && name_at(i + 3);
      if (typed) {
        item.kind = mid.is_word("NUMERIC") ? Kind::PositionalNumeric : Kind::PositionalCharacter;
        item.last = t[i + 3].value;
        i += 4;
      } else {
        item.kind = Kind::Numbered;
        item.last = mid.value;
        i += 2;
        NumberedRange range;
        if (!numbered_range(item.first, item.last, range) || range.first > range.last) {
          err = error(msg::kVariableListBad,
                      {item.display(),
                       "a numbered range joins two names with the same prefix and rising "
                       "numbers, such as X1-X10"},
                      item.pos);
          return false;
        }
      }
    }
    out.push_back(std::move(item));
  }
  if (descending) {
    const Token& last = t[i - 1];
    err = error(
        msg::kSyntax,
        {"a variable name after DESCENDING", i < t.size() ? t[i].text : "the end of the statement"},
        last.pos);
    return false;
  }
  return true;
}

bool resolve_varlist(const std::vector<VarListItem>& items, const DataSetHeader& h, VarType need,
                     const std::string& statement, std::vector<int>& out, VarListError& err,
                     bool each_once) {
  const char* need_word = need == VarType::Numeric ? "numeric" : "character";
  auto fits = [&](const Variable& v) {
    return need == VarType::Any || (need == VarType::Numeric) == v.is_numeric();
  };
  auto wrong_type = [&](const Variable& v, const SourcePos& pos) {
    err = error(msg::kVariableWrongType, {v.name, type_word(v), statement, need_word}, pos);
    return false;
  };
  // Names are looked up in an index of the header built at the first
  // look-up, so that a long list against a wide data set costs one look-up
  // per name rather than a walk through the header.
  std::unordered_map<std::string, int> by_name;
  auto find = [&](const std::string& name, const SourcePos& pos, int& index) {
    if (by_name.empty() && !h.vars.empty()) {
      by_name.reserve(h.vars.size());
      for (std::size_t k = 0; k < h.vars.size(); ++k)
        by_name.emplace(upper(h.vars[k].name), static_cast<int>(k));
    }
    auto at = by_name.find(upper(name));
    index = at == by_name.end() ? -1 : at->second;
    if (index >= 0) return true;
    err = error(msg::kVariableNotFound, {name, h.name}, pos);
    return false;
  };
  std::vector<char> seen(each_once ? h.vars.size() : 0);
  std::size_t checked = out.size();
  for (const VarListItem& it : items) {
    switch (it.kind) {
      case Kind::Name: {
        int k;
        if (!find(it.first, it.pos, k)) return false;
        if (!fits(h.vars[static_cast<std::size_t>(k)]))
          return wrong_type(h.vars[static_cast<std::size_t>(k)], it.pos);
        out.push_back(k);
        break;
      }
      case Kind::Numbered: {
        NumberedRange range;
        numbered_range(it.first, it.last, range);
        for (long n = range.first; n <= range.last; ++n) {
          int k;
          if (!find(range.name(n), it.pos, k)) return false;
          if (!fits(h.vars[static_cast<std::size_t>(k)]))
            return wrong_type(h.vars[static_cast<std::size_t>(k)], it.pos);
          out.push_back(k);
        }
        break;
      }
      case Kind::Positional:
      case Kind::PositionalNumeric:
      case Kind::PositionalCharacter: {
        int a, b;
        if (!find(it.first, it.pos, a) || !find(it.last, it.pos, b)) return false;
        if (a > b) {
          err = error(msg::kVariableListBad,
                      {it.display(), it.last + " comes before " + it.first + " in data set " +
                                         h.name + "; name the earlier variable first"},
                      it.pos);
          return false;
        }
        for (int k = a; k <= b; ++k) {
          const Variable& v = h.vars[static_cast<std::size_t>(k)];
          if (it.kind == Kind::PositionalNumeric && !v.is_numeric()) continue;
          if (it.kind == Kind::PositionalCharacter && v.is_numeric()) continue;
          if (!fits(v)) return wrong_type(v, it.pos);
          out.push_back(k);
        }
        break;
      }
      case Kind::Prefix: {
        bool any = false;
        for (std::size_t k = 0; k < h.vars.size(); ++k) {
          const Variable& v = h.vars[k];
          if (v.name.size() < it.first.size() ||
              !same_name(v.name.substr(0, it.first.size()), it.first))
            continue;
          if (!fits(v)) return wrong_type(v, it.pos);
          out.push_back(static_cast<int>(k));
          any = true;
        }
        if (!any) {
          err = error(msg::kVariablePrefixEmpty, {it.first, h.name}, it.pos);
          return false;
        }
        break;
      }
      case Kind::AllNumeric:
      case Kind::AllCharacter:
      case Kind::All: {
        for (std::size_t k = 0; k < h.vars.size(); ++k) {
          const Variable& v = h.vars[k];
          if (it.kind == Kind::AllNumeric && !v.is_numeric()) continue;
          if (it.kind == Kind::AllCharacter && v.is_numeric()) continue;
          if (!fits(v)) return wrong_type(v, it.pos);
          out.push_back(static_cast<int>(k));
        }
        break;
      }
    }
    if (each_once && !first_mention(it, seen, checked, out, h, statement, err)) return false;
  }
  return true;
}

}  // namespace kav
