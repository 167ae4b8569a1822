#include "host/names.h"

#include <algorithm>
#include <stdexcept>

#include "host/dataset.h"

namespace kav {

namespace {

bool is_letter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool is_name_char(unsigned char c) {
  return is_letter(c) || is_digit(c) || c == '_';
}

// Length in bytes of the UTF-8 sequence that starts with byte c; a stray
// continuation byte or an invalid lead counts as one character so that no
// input can make the scan stall.
std::size_t utf8_length(unsigned char c) {
  if (c < 0xC0) return 1;
  if (c < 0xE0) return 2;
  if (c < 0xF0) return 3;
  if (c < 0xF8) return 4;
  return 1;
}

// Number of characters, counting a UTF-8 sequence as one.
std::size_t char_count(const std::string& s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); i += utf8_length(static_cast<unsigned char>(s[i]))) ++n;
  return n;
}

// The first `limit` characters of s, never splitting a UTF-8 sequence.
std::string first_chars(const std::string& s, std::size_t limit) {
  std::size_t i = 0;
  for (std::size_t n = 0; i < s.size() && n < limit; ++n)
    i += utf8_length(static_cast<unsigned char>(s[i]));
  return s.substr(0, std::min(i, s.size()));
}

}  // namespace

ValidVarName parse_validvarname(const std::string& text) {
  const std::string u = upper(text);
  if (u == "V7") return ValidVarName::V7;
  if (u == "V6") return ValidVarName::V6;
  if (u == "ANY") return ValidVarName::Any;
  throw std::invalid_argument("VALIDVARNAME= must be V6, V7 or ANY, not '" + text + "'");
}

const char* validvarname_text(ValidVarName rule) {
  switch (rule) {
    case ValidVarName::V6:
      return "V6";
    case ValidVarName::V7:
      return "V7";
    case ValidVarName::Any:
      return "ANY";
  }
  return "V7";
}

int max_name_length(ValidVarName rule) {
  return rule == ValidVarName::V6 ? 8 : 32;
}

bool is_valid_name(const std::string& name, ValidVarName rule) {
  if (name.empty()) return false;
  if (rule == ValidVarName::Any) {
    if (char_count(name) > 32) return false;
    return name.find_first_not_of(' ') != std::string::npos;
  }
  if (name.size() > static_cast<std::size_t>(max_name_length(rule))) return false;
  const auto first = static_cast<unsigned char>(name[0]);
  if (!is_letter(first) && first != '_') return false;
  for (char c : name)
    if (!is_name_char(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string make_valid_name(const std::string& name, ValidVarName rule) {
  if (rule == ValidVarName::Any) return first_chars(name, 32);
  std::string out;
  out.reserve(name.size() + 1);
  if (!name.empty() && is_digit(static_cast<unsigned char>(name[0]))) out += '_';
  for (std::size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    const std::size_t len = utf8_length(c);
    // A multi-byte character is one invalid character, so one underscore.
    out += (len == 1 && is_name_char(c)) ? static_cast<char>(c) : '_';
    i += len;
  }
  if (out.empty()) out.push_back('_');
  out.resize(std::min(out.size(), static_cast<std::size_t>(max_name_length(rule))));
  return out;
}

std::string name_literal(const std::string& name) {
  if (is_valid_name(name, ValidVarName::V7)) return name;
  std::string out = "'";
  for (char c : name) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += "'n";
  return out;
}

}  // namespace kav
