#include "host/format.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "host/value.h"

namespace kav {

namespace {

// Most significant digits any format shows: beyond 15 a double's decimal
// digits are mostly noise of the binary representation.
constexpr int kMaxSignificant = 15;

// |value| = d0.d1d2... x 10^exponent, digits being the shortest decimal form
// that reads back as the same double.
struct Scientific {
  bool negative = false;
  std::string digits = "0";
  int exponent = 0;
};

Scientific to_scientific(double value) {
  Scientific s;
  s.negative = std::signbit(value);
  double magnitude = std::fabs(value);
  if (magnitude == 0) return s;
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::size_t e = text.find('e');
  s.digits.clear();
  for (char c : text.substr(0, e))
    if (c != '.') s.digits += c;
  std::string_view exp_text = text.substr(e + 1);
  if (!exp_text.empty() && exp_text[0] == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), s.exponent);
  while (s.digits.size() > 1 && s.digits.back() == '0') s.digits.pop_back();
  return s;
}

// Adds one to a string of decimal digits.
void increment(std::string& digits) {
  for (std::size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

bool all_zero(std::string_view digits) {
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c == '0'; });
}

// round(|value| * 10^decimals) as a string of decimal digits, half away from zero.
std::string scaled_integer(const Scientific& s, int decimals) {
  long long count = static_cast<long long>(s.exponent) + 1 + decimals;
  if (count < 0) return "0";
  const auto n = static_cast<std::size_t>(count);
  std::string kept = s.digits.substr(0, std::min(n, s.digits.size()));
  if (kept.size() < n) kept.append(n - kept.size(), '0');
  bool round_up = n < s.digits.size() && s.digits[n] >= '5';
  if (kept.empty()) kept.assign(1, '0');
  if (round_up) increment(kept);
  std::size_t first = kept.find_first_not_of('0');
  return first == std::string::npos ? "0" : kept.substr(first);
}

// The value with exactly `decimals` decimals, no padding.
std::string fixed_text(const Scientific& s, int decimals, bool drop_leading_zero = false) {
  std::string text = scaled_integer(s, decimals);
  bool zero = all_zero(text);
  if (decimals > 0) {
    const auto d = static_cast<std::size_t>(decimals);
    if (text.size() <= d) text.insert(0, d + 1 - text.size(), '0');
    text.insert(text.size() - d, 1, '.');
    if (drop_leading_zero && text[0] == '0') text.erase(0, 1);
  }
  if (s.negative && !zero) text.insert(0, 1, '-');
  return text;
}

// The value rounded to `significant` digits: the digits and the exponent of
// the first one (which moves up when rounding carries, 9.99 -> 10.0).
Scientific round_significant(const Scientific& s, int significant) {
  Scientific r = s;
  const auto n = static_cast<std::size_t>(significant);
  r.digits = s.digits.substr(0, std::min(n, s.digits.size()));
  if (r.digits.size() < n) r.digits.append(n - r.digits.size(), '0');
  if (n < s.digits.size() && s.digits[n] >= '5') {
    increment(r.digits);
    if (r.digits.size() > n) {
      r.digits.pop_back();
      ++r.exponent;
    }
  }
  return r;
}

std::string pad_left(std::string text, int width) {
  if (static_cast<int>(text.size()) < width)
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

std::string stars(int width) {
  return std::string(static_cast<std::size_t>(std::max(width, 1)), '*');
}

void trim_trailing_decimal_zeros(std::string& text) {
  if (text.find('.') == std::string::npos) return;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
}

// Significant digits shown by a plain decimal text (sign, point and leading
// zeros do not count).
int significant_shown(std::string_view text) {
  int count = 0;
  bool started = false;
  for (char c : text) {
    if (c < '0' || c > '9') continue;
    if (c != '0') started = true;
    if (started) ++count;
  }
  return count;
}

// Scientific text in the style of BEST: "1.2346E8", "-2E-10".
std::string best_exponential_text(const Scientific& s, int significant) {
  Scientific r = round_significant(s, significant);
  std::string text = s.negative ? "-" : "";
  text += r.digits[0];
  if (r.digits.size() > 1) {
    text += '.';
    text.append(r.digits, 1);
  }
  trim_trailing_decimal_zeros(text);
  return text + "E" + std::to_string(r.exponent);
}

int width_in_range(int width) {
  return std::clamp(width, 1, kMaxFormatWidth);
}

}  // namespace

std::string missing_display(double value) {
  char letter = missing_letter(value);
  if (letter == 0) return {};
  return std::string(1, letter);
}

std::string trim_blanks(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

namespace {

// An infinite value (a z statistic of a zero standard error, say) is shown
// as a word, the longest that fits, never as digits.
std::string infinite_text(double value, int width) {
  for (const char* word : {"Infinity", "Inf", "I"}) {
    std::string text = value < 0 ? std::string("-") + word : std::string(word);
    if (static_cast<int>(text.size()) <= width) return pad_left(text, width);
  }
  return stars(width);
}

}  // namespace

std::string format_best(double value, int width) {
  width = width_in_range(width);
  if (is_missing(value)) return pad_left(missing_display(value), width);
  if (std::isinf(value)) return infinite_text(value, width);
  if (value == 0) return pad_left("0", width);
  const Scientific s = to_scientific(value);

  // Digits worth showing, and the decimals needed to show them all.
  const int digits = std::min<int>(static_cast<int>(s.digits.size()), kMaxSignificant);
  const int needed_decimals = std::max(0, digits - 1 - s.exponent);

  // Plain decimal: as many of the needed decimals as fit.  The leading zero
  // of "0.5" goes only when nothing fits with it, and a value below 1 is
  // never shown rounded to a whole number.
  std::string decimal;
  int decimal_digits = 0;
  bool decimal_exact = false;
  const int fewest_decimals = s.exponent < 0 ? 1 : 0;
  for (bool drop_zero : {false, true}) {
    for (int d = std::min(needed_decimals, width); d >= fewest_decimals; --d) {
      std::string text = fixed_text(s, d, drop_zero);
      if (static_cast<int>(text.size()) > width) continue;
      int shown = significant_shown(text);
      if (shown > 0) {
        decimal = text;
        decimal_digits = shown;
        decimal_exact = d >= needed_decimals;
      }
      break;  // fewer decimals show fewer digits
    }
    if (!decimal.empty()) break;
  }

  std::string exponential;
  int exponential_digits = 0;
  for (int k = kMaxSignificant; k >= 1; --k) {
    Scientific r = round_significant(s, k);
    // Length before trailing zeros are trimmed: the room the digits need.
    int length = (s.negative ? 1 : 0) + 1 + (k > 1 ? k : 0) + 1 +
                 static_cast<int>(std::to_string(r.exponent).size());
    if (length <= width) {
      exponential = best_exponential_text(s, k);
      exponential_digits = std::min(k, digits);
      break;
    }
  }

  // A decimal that shows every digit reads best, unless the value is so
  // small that it is mostly leading zeros; otherwise whichever form shows
  // more digits wins.
  bool prefer_decimal = s.exponent < -5 ? decimal_digits > exponential_digits
                                        : decimal_exact || decimal_digits >= exponential_digits;
  if (!decimal.empty() && (prefer_decimal || exponential.empty())) {
    trim_trailing_decimal_zeros(decimal);
    return pad_left(decimal, width);
  }
  if (!exponential.empty()) return pad_left(exponential, width);
  return stars(width);
}

std::string format_fixed(double value, int width, int decimals) {
  width = width_in_range(width);
  decimals = std::clamp(decimals, 0, width - 1);
  if (is_missing(value)) return pad_left(missing_display(value), width);
  if (std::isinf(value)) return infinite_text(value, width);
  const Scientific s = to_scientific(value);
  // Give up decimals before giving up the integer part.
  for (int d = decimals; d >= 0; --d) {
    for (bool drop_zero : {false, true}) {
      std::string text = fixed_text(s, d, drop_zero);
      if (static_cast<int>(text.size()) <= width) return pad_left(text, width);
      if (d == 0) break;
    }
  }
  return format_best(value, width);
}

std::string format_integer(double value, int width) {
  return format_fixed(value, width, 0);
}

std::string format_exponential(double value, int width) {
  width = std::clamp(width, 7, kMaxFormatWidth);
  if (is_missing(value)) return pad_left(missing_display(value), width);
  if (std::isinf(value)) return infinite_text(value, width);
  const Scientific s = to_scientific(value);
  // One place for the sign, one digit, the point, the decimals and E+dd.
  for (int decimals = width - 7; decimals >= 0; --decimals) {
    Scientific r = round_significant(s, decimals + 1);
    if (value == 0) r.exponent = 0;
    std::string exponent = std::to_string(std::abs(r.exponent));
    if (exponent.size() < 2) exponent.insert(0, 1, '0');
    std::string text = s.negative && value != 0 ? "-" : " ";
    text += r.digits[0];
    if (decimals > 0) {
      text += '.';
      text.append(r.digits, 1);
    }
    text += (r.exponent < 0 ? "E-" : "E+") + exponent;
    if (static_cast<int>(text.size()) <= width) return pad_left(text, width);
  }
  return stars(width);
}

std::string format_digits(double value, int width, int significant) {
  width = width_in_range(width);
  if (is_missing(value)) return pad_left(missing_display(value), width);
  if (std::isinf(value)) return infinite_text(value, width);
  const Scientific s = to_scientific(value);
  // Values of the same order of magnitude get the same decimals and so line
  // up; values below 1 keep `significant` decimals.
  int integer_digits = value == 0 || s.exponent < 0 ? 0 : s.exponent + 1;
  int decimals = std::max(0, significant - integer_digits);
  return format_fixed(value, width, std::min(decimals, std::max(0, width - 2)));
}

Format fixed_format(int width, int decimals) {
  return {FormatKind::Fixed, width_in_range(width), std::clamp(decimals, 0, kMaxFormatWidth - 1)};
}
Format integer_format(int width) {
  return fixed_format(width, 0);
}
Format best_format(int width) {
  return {FormatKind::Best, width_in_range(width), 0};
}
Format exponential_format(int width) {
  return {FormatKind::Exponential, std::clamp(width, 7, kMaxFormatWidth), 0};
}

Format choose_format(double magnitude, int width) {
  width = width_in_range(width);
  double m = is_missing(magnitude) ? 0 : std::fabs(magnitude);
  // Try the negative value so the sign always has room; rounding that
  // carries into a new digit (9.99999999 -> 10.0000000) is caught too.
  const Scientific s = to_scientific(-std::max(m, 0.5));
  for (int d = width - 3; d >= 0; --d)
    if (static_cast<int>(fixed_text(s, d).size()) <= width) return fixed_format(width, d);
  return best_format(width);
}

std::string Format::apply(double value) const {
  switch (kind) {
    case FormatKind::Fixed:
      return format_fixed(value, width, decimals);
    case FormatKind::Best:
      return format_best(value, width);
    case FormatKind::Exponential:
      return format_exponential(value, width);
    case FormatKind::Digits:
      return format_digits(value, width, decimals);
  }
  return format_best(value, width);
}

std::string Format::name() const {
  // Built by appending: GCC 12 warns falsely on "literal" + std::string here.
  std::string text;
  switch (kind) {
    case FormatKind::Fixed:
      break;
    case FormatKind::Best:
      text.append("BEST");
      break;
    case FormatKind::Exponential:
      text.append(1, 'E');
      break;
    case FormatKind::Digits:
      text.append(1, 'D');
      break;
  }
  text.append(std::to_string(width));
  text.append(1, '.');
  if (kind == FormatKind::Digits || (kind == FormatKind::Fixed && decimals > 0))
    text.append(std::to_string(decimals));
  return text;
}

std::optional<Format> Format::parse(std::string_view text) {
  std::string t;
  for (char c : text) t += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  t = trim_blanks(t);
  std::size_t letters = 0;
  while (letters < t.size() && std::isalpha(static_cast<unsigned char>(t[letters]))) ++letters;
  const std::string family = t.substr(0, letters);
  std::string_view rest = std::string_view(t).substr(letters);

  // [width][.[decimals]]
  auto read_number = [](std::string_view& v, int& out) {
    std::size_t n = 0;
    while (n < v.size() && std::isdigit(static_cast<unsigned char>(v[n]))) ++n;
    if (n == 0 || n > 3) return n == 0;
    out = std::stoi(std::string(v.substr(0, n)));
    v.remove_prefix(n);
    return true;
  };
  int width = -1, decimals = -1;
  if (!read_number(rest, width)) return std::nullopt;
  if (!rest.empty()) {
    if (rest[0] != '.') return std::nullopt;
    rest.remove_prefix(1);
    if (!read_number(rest, decimals) || !rest.empty()) return std::nullopt;
  }

  if (family.empty() || family == "F") {
    if (width < 1 || width > kMaxFormatWidth) return std::nullopt;
    if (decimals < 0) decimals = 0;
    if (decimals >= width) return std::nullopt;
    return Format{FormatKind::Fixed, width, decimals};
  }
  if (family == "D") {
    if (width < 1 || width > kMaxFormatWidth || decimals < 1) return std::nullopt;
    return Format{FormatKind::Digits, width, decimals};
  }
  if (decimals > 0) return std::nullopt;
  if (family == "BEST") {
    if (width < 0) width = 12;
    if (width < 1 || width > kMaxFormatWidth) return std::nullopt;
    return Format{FormatKind::Best, width, 0};
  }
  if (family == "E") {
    if (width < 0) width = 12;
    if (width < 7 || width > kMaxFormatWidth) return std::nullopt;
    return Format{FormatKind::Exponential, width, 0};
  }
  return std::nullopt;
}

}  // namespace kav
