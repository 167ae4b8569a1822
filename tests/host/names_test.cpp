#include "host/names.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kav {
namespace {

TEST(Names, ValidNamesUnderEachRule) {
  // 32 two-byte characters are 32 characters, not 64.
  std::string accents;
  for (int i = 0; i < 32; ++i) accents += "\xC3\xA9";
  // Names valid under V6, V7 and ANY; then under V7 and ANY, under ANY, under none.
  const std::vector<std::vector<std::string>> valid_from = {
      {"x", "_x1", "abcdefgh"},
      {"abcdefghi", std::string(32, 'a')},
      {"1x", "my var", "a-b", "caf\xC3\xA9", accents},
      {"", "   ", std::string(33, 'a'), accents + "x"}};
  const ValidVarName rules[] = {ValidVarName::V6, ValidVarName::V7, ValidVarName::Any};
  for (std::size_t first = 0; first < valid_from.size(); ++first)
    for (const std::string& name : valid_from[first])
      for (std::size_t k = 0; k < 3; ++k)
        EXPECT_EQ(is_valid_name(name, rules[k]), k >= first) << name << " " << k;
}

TEST(Names, MadeNamesReplacePrefixCutAndAreAlwaysValid) {
  EXPECT_EQ(make_valid_name("a-b.c", ValidVarName::V7), "a_b_c");
  EXPECT_EQ(make_valid_name("caf\xC3\xA9", ValidVarName::V7), "caf_");  // one character, one _
  EXPECT_EQ(make_valid_name("", ValidVarName::V7), "_");
  EXPECT_EQ(make_valid_name(std::string(40, 'q'), ValidVarName::V7), std::string(32, 'q'));
  EXPECT_EQ(make_valid_name("my var", ValidVarName::Any), "my var");
  for (ValidVarName rule : {ValidVarName::V6, ValidVarName::V7, ValidVarName::Any})
    for (const char* in : {"9lives", " lead", "tab\there", "\xE2\x82\xAC", "\xFF\xFE", "$$$",
                           "a b c d e f g h i j k l m n o p q r s t"})
      EXPECT_TRUE(is_valid_name(make_valid_name(in, rule), rule)) << in;
  EXPECT_EQ(name_literal("score"), "score");
  EXPECT_EQ(name_literal("it's"), "'it''s'n");
  EXPECT_EQ(name_literal("2x"), "'2x'n");
}

}  // namespace
}  // namespace kav
