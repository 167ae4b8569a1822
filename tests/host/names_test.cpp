#include "host/names.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kav {
namespace {

TEST(Names, ParsesTheOptionValueInAnyCase) {
  EXPECT_EQ(parse_validvarname("v7"), ValidVarName::V7);
  EXPECT_EQ(parse_validvarname("V6"), ValidVarName::V6);
  EXPECT_EQ(parse_validvarname("Any"), ValidVarName::Any);
  EXPECT_THROW(parse_validvarname("V8"), std::invalid_argument);
  EXPECT_THROW(parse_validvarname(""), std::invalid_argument);
}

TEST(Names, V7AndV6AcceptLettersDigitsUnderscoresUpToTheirLimit) {
  for (const char* ok : {"x", "_", "_x1", "Score_2", "a23456789012345678901234567890bc"})
    EXPECT_TRUE(is_valid_name(ok, ValidVarName::V7)) << ok;
  for (const char* bad :
       {"", "1x", "my var", "a-b", "x.y", "caf\xC3\xA9", "a234567890123456789012345678901234"})
    EXPECT_FALSE(is_valid_name(bad, ValidVarName::V7)) << bad;
  EXPECT_TRUE(is_valid_name("abcdefgh", ValidVarName::V6));
  EXPECT_FALSE(is_valid_name("abcdefghi", ValidVarName::V6));
  EXPECT_FALSE(is_valid_name("2x", ValidVarName::V6));
}

TEST(Names, AnyAcceptsAnyTextThatIsNotBlankUpTo32Characters) {
  EXPECT_TRUE(is_valid_name("my name", ValidVarName::Any));
  EXPECT_TRUE(is_valid_name("2nd-try (%)", ValidVarName::Any));
  EXPECT_FALSE(is_valid_name("", ValidVarName::Any));
  EXPECT_FALSE(is_valid_name("   ", ValidVarName::Any));
  EXPECT_FALSE(is_valid_name(std::string(33, 'a'), ValidVarName::Any));
  // 32 two-byte characters are 32 characters, not 64.
  std::string accents;
  for (int i = 0; i < 32; ++i) accents += "\xC3\xA9";
  EXPECT_TRUE(is_valid_name(accents, ValidVarName::Any));
  EXPECT_FALSE(is_valid_name(accents + "x", ValidVarName::Any));
}

TEST(Names, MakeValidNameReplacesPrefixesAndCuts) {
  EXPECT_EQ(make_valid_name("my var", ValidVarName::V7), "my_var");
  EXPECT_EQ(make_valid_name("2nd", ValidVarName::V7), "_2nd");
  EXPECT_EQ(make_valid_name("a-b.c", ValidVarName::V7), "a_b_c");
  EXPECT_EQ(make_valid_name("caf\xC3\xA9", ValidVarName::V7), "caf_");  // one character, one _
  EXPECT_EQ(make_valid_name("", ValidVarName::V7), "_");
  EXPECT_EQ(make_valid_name(std::string(40, 'q'), ValidVarName::V7), std::string(32, 'q'));
  EXPECT_EQ(make_valid_name("2abcdefghij", ValidVarName::V6), "_2abcdef");
  EXPECT_EQ(make_valid_name("already_ok", ValidVarName::V7), "already_ok");
  EXPECT_EQ(make_valid_name("my var", ValidVarName::Any), "my var");
}

TEST(Names, MadeNamesAreAlwaysValid) {
  const char* inputs[] = {"x",         "9",
                          "9lives",    " lead",
                          "tab\there", "\xE2\x82\xAC",
                          "___",       "a b c d e f g h i j k l m n o p q r s t",
                          "\xFF\xFE",  "$$$"};
  for (ValidVarName rule : {ValidVarName::V6, ValidVarName::V7, ValidVarName::Any})
    for (const char* in : inputs)
      EXPECT_TRUE(is_valid_name(make_valid_name(in, rule), rule))
          << in << " under " << validvarname_text(rule);
}

TEST(Names, NameLiteralsQuoteOnlyWhatNeedsIt) {
  EXPECT_EQ(name_literal("score"), "score");
  EXPECT_EQ(name_literal("my name"), "'my name'n");
  EXPECT_EQ(name_literal("it's"), "'it''s'n");
  EXPECT_EQ(name_literal("2x"), "'2x'n");
}

}  // namespace
}  // namespace kav
