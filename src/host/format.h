// Number formats: how a numeric value becomes the text a reader sees.
//
// Every format writes a value right-aligned in exactly `width` characters.
// Rounding is half away from zero on the shortest decimal form of the
// double, so 2.675 in 4.2 gives "2.68" as anyone checking by hand expects
// (the binary value is a hair below 2.675).  A value that rounds to zero
// never keeps its minus sign.  A value that cannot be shown in the width even
// after giving up decimals is written in scientific notation, and only when
// that does not fit either the field is filled with asterisks, so a wrong
// number is never shown.
//
// Missing values print as "." and special missing values as their letter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kav {

enum class FormatKind {
  Fixed,        // w.d: d decimals
  Best,         // BESTw.: as many significant digits as fit
  Exponential,  // Ew.: scientific, "-1.2345E+01"
  Digits,       // Dw.p: about p significant digits, decimals lined up for similar magnitudes
};

struct Format {
  FormatKind kind = FormatKind::Best;
  int width = 12;
  int decimals = 0;  // Fixed: decimals; Digits: significant digits; unused otherwise

  // Parses "8.3", "8.", "8", "F8.3", "BEST12.", "BEST.", "E10.", "D8.4" (any case).
  // Widths run from 1 to 32; nullopt for anything else.
  static std::optional<Format> parse(std::string_view text);
  // The text form that parse() reads back: "8.3", "BEST12.", "E10.", "D8.4".
  std::string name() const;
  // The value in exactly `width` characters, right-aligned.
  std::string apply(double value) const;

  bool operator==(const Format&) const = default;
};

inline constexpr int kMaxFormatWidth = 32;

Format fixed_format(int width, int decimals);
Format integer_format(int width);
Format best_format(int width);
Format exponential_format(int width);

// The format chooser: the format of the given width (10 unless told
// otherwise) with the most decimals that still holds a signed value of the
// given magnitude.  A magnitude too large for any fixed format of that width
// gets BEST of that width.  Missing or zero magnitudes count as below 1.
Format choose_format(double magnitude, int width = 10);

std::string format_fixed(double value, int width, int decimals);
std::string format_integer(double value, int width);
std::string format_best(double value, int width);
std::string format_exponential(double value, int width);
std::string format_digits(double value, int width, int significant);

// "." for the standard missing value, the letter for a special one ("D",
// "_"), empty for a value that is not missing.
std::string missing_display(double value);

// The text without leading and trailing blanks.
std::string trim_blanks(std::string_view text);

}  // namespace kav
