// Number formats, checked against strings worked out by hand.
#include "host/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/value.h"

namespace kav {
namespace {

// Each written form against the string worked out by hand.
TEST(Formats, WriteWhatAReaderWorkingByHandExpects) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<std::string, const char*> cases[] = {
      // w.d: rounds half away from zero on the written decimal
      {format_fixed(3.14159, 8, 3), "   3.142"},
      // 2.675 and 0.125 are the classic cases where the binary value sits just
      // below or exactly on the tie; a reader rounding by hand expects up.
      {format_fixed(2.675, 4, 2), "2.68"},
      {format_fixed(0.125, 5, 2), " 0.13"},
      {format_fixed(-0.125, 5, 2), "-0.13"},
      {format_fixed(2.5, 3, 0), "  3"},
      {format_fixed(9.9995, 6, 3), "10.000"},
      // w.d: never prints negative zero
      {format_fixed(-0.0001, 6, 2), "  0.00"},
      {format_fixed(-0.4, 2, 0), " 0"},
      {format_integer(-0.3, 4), "   0"},
      {format_best(-0.0, 6), "     0"},
      {format_exponential(-0.0, 10), " 0.000E+00"},
      // w.d: gives up decimals then falls back rather than truncating
      {format_fixed(0.123, 4, 3), ".123"},  // the leading zero goes first
      {format_fixed(123456.789, 8, 2), "123456.8"},
      {format_fixed(1e6, 8, 2), " 1000000"},
      {format_fixed(123456789, 6, 2), "1.23E8"},
      {format_fixed(-123456789, 3, 0), "***"},
      // Missing values print as a dot or their letter
      {format_fixed(missing_value(), 6, 2), "     ."},
      {format_fixed(special_missing('D'), 6, 2), "     D"},
      {format_best(special_missing('_'), 4), "   _"},
      {format_exponential(special_missing('z'), 8), "       Z"},
      {missing_display(1.5), ""},
      // Infinite values print as a word that fits in every format
      {format_fixed(inf, 10, 4), "  Infinity"},
      {format_fixed(-inf, 6, 2), "  -Inf"},
      {format_best(inf, 3), "Inf"},
      {format_best(-inf, 1), "*"},
      {format_exponential(inf, 10), "  Infinity"},
      {format_digits(-inf, 12, 4), "   -Infinity"},
      // BEST: shows the most significant digits that fit
      {format_best(1.0 / 3.0, 8), "0.333333"},
      {format_best(2.87234345, 6), "2.8723"},
      {format_best(-1.5, 2), "-2"},
      {format_best(0.1 + 0.2, 12), "         0.3"},
      {format_best(0.5, 2), ".5"},
      {format_best(0.5, 1), "*"},
      // BEST: switches to scientific for large and small magnitudes
      {format_best(123456789, 8), "1.2346E8"},
      {format_best(1e15, 12), "        1E15"},
      {format_best(-2.5e20, 8), " -2.5E20"},
      {format_best(0.000012345, 8), "1.235E-5"},
      {format_best(0.00001, 8), " 0.00001"},
      {format_best(1e-10, 12), "       1E-10"},
      {format_best(9.99999e99, 6), " 1E100"},
      // E: a sign place and at least two exponent digits
      {format_exponential(12.34, 10), " 1.234E+01"},
      {format_exponential(0.000123456, 12), " 1.23456E-04"},
      {format_exponential(1e-100, 10), " 1.00E-100"},
      {format_exponential(9.99996, 10), " 1.000E+01"},
      // D: keeps about the given significant digits
      {format_digits(3.14159, 8, 4), "   3.142"},
      {format_digits(314.159, 8, 4), "   314.2"},
      {format_digits(0.0123, 8, 4), "  0.0123"},
      {format_digits(123456, 8, 4), "  123456"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(FormatChooser, PicksMostDecimalsThatHoldASignedValue) {
  EXPECT_EQ(choose_format(0.287), fixed_format(10, 7));
  EXPECT_EQ(choose_format(missing_value()), fixed_format(10, 7));
  EXPECT_EQ(choose_format(2.87), fixed_format(10, 7));
  EXPECT_EQ(choose_format(28.7), fixed_format(10, 6));
  EXPECT_EQ(choose_format(9.99999999), fixed_format(10, 6));  // rounds up to 10.000000
  EXPECT_EQ(choose_format(123456789), fixed_format(10, 0));
  EXPECT_EQ(choose_format(1e10), best_format(10));
  EXPECT_EQ(choose_format(5.5, 6), fixed_format(6, 3));
  // Whatever it picks holds the negated magnitude without falling back.
  for (double m : {0.001, 0.9, 1.0, 9.5, 99.99, 12345.6, 999999.9}) {
    Format f = choose_format(m);
    std::string text = f.apply(-m);
    EXPECT_EQ(text.size(), 10u) << m;
    EXPECT_EQ(text.find('E'), std::string::npos) << m;
    EXPECT_EQ(text.find('*'), std::string::npos) << m;
  }
}

// Written forms and the name each parses to (kind, width and decimals).
TEST(FormatText, ParsesAndNamesRoundTrip) {
  const std::pair<const char*, const char*> cases[] = {
      {"8.3", "8.3"},       {"8.", "8."},     {"f7.4", "7.4"}, {"BEST12.", "BEST12."},
      {"best.", "BEST12."}, {"E10.", "E10."}, {"D8.4", "D8.4"}};
  for (const auto& [text, name] : cases) {
    auto parsed = Format::parse(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->name(), name);
    EXPECT_EQ(Format::parse(name), parsed) << text;
  }
  EXPECT_EQ(*Format::parse("D8.4"), (Format{FormatKind::Digits, 8, 4}));
  for (const char* bad : {"", ".", "8.8", "33.", "BEST40.", "E5.", "BEST8.2", "X8.", "8.3x", "D8."})
    EXPECT_FALSE(Format::parse(bad)) << bad;
}

TEST(FormatText, ApplyWritesExactlyTheWidth) {
  const double values[] = {0, 1, -1, 0.5, 123.456, -98765.4321, 1e-7, 3e12, missing_value()};
  for (const char* spec : {"8.3", "BEST6.", "E9.", "D10.3", "12.", "BEST12."}) {
    Format f = *Format::parse(spec);
    for (double v : values)
      EXPECT_EQ(static_cast<int>(f.apply(v).size()), f.width) << spec << " " << v;
  }
}

}  // namespace
}  // namespace kav
