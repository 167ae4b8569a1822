// Missing values and the cell type of observations.
//
// A missing numeric value is a quiet NaN with a recognisable payload: the
// standard missing value "." is 0xfffffe0000000000, and the special missing
// values .A-.Z and ._ carry a letter code in bits 32-39.  Every missing value
// is a NaN, so the missing-value test is a NaN test and arithmetic on a
// missing value stays missing.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

namespace kav {

inline constexpr std::uint64_t kMissingBits = 0xfffffe0000000000ULL;

inline double missing_value() { return std::bit_cast<double>(kMissingBits); }

inline bool is_missing(double v) { return v != v; }

// The special missing value for letter 'A'..'Z' (either case) or '_';
// any other character gives the standard missing value.
inline double special_missing(char letter) {
  std::uint64_t code = 0;
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter >= 'A' && letter <= 'Z') code = static_cast<std::uint64_t>(letter - 'A' + 1);
  if (letter == '_') code = 27;
  return std::bit_cast<double>(kMissingBits | (code << 32));
}

// 0 for a value that is not missing, '.' for the standard missing value,
// 'A'..'Z' or '_' for a special one.  A NaN that did not come from us (say
// 0/0) counts as the standard missing value.
inline char missing_letter(double v) {
  if (!is_missing(v)) return 0;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  if ((bits & 0xffffff0000000000ULL) != kMissingBits) return '.';
  const unsigned code = static_cast<unsigned>((bits >> 32) & 0xff);
  if (code >= 1 && code <= 26) return static_cast<char>('A' + code - 1);
  if (code == 27) return '_';
  return '.';
}

// Parses "." ".A".."Z" "._" (any case) into a missing value; returns false
// when the text is not a missing-value literal.
inline bool parse_missing_literal(const std::string& text, double& out) {
  if (text == ".") {
    out = missing_value();
    return true;
  }
  if (text.size() == 2 && text[0] == '.') {
    char c = text[1];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') {
      out = special_missing(c);
      return true;
    }
  }
  return false;
}

// The printed form of a missing value: "." or ".A" etc.  (Listing
// destinations print just the letter for special missing values.)
inline std::string missing_text(double v) {
  char c = missing_letter(v);
  if (c == '.') return ".";
  return std::string(".") + c;
}

}  // namespace kav
