// Variable lists in every written form, resolved against a data set, and the
// errors for unknown variables, wrong types and malformed ranges.
#include "host/varlist.h"

#include <gtest/gtest.h>

#include "host/host_messages.h"

namespace kav {
namespace {

Token name(const std::string& v, bool literal = false) {
  Token t;
  t.kind = literal ? TokenKind::NameLiteral : TokenKind::Name;
  t.text = literal ? "'" + v + "'n" : v;
  t.value = v;
  t.space_before = true;
  return t;
}
Token sym(const std::string& s, bool space = true) {
  Token t;
  t.kind = TokenKind::Symbol;
  t.text = t.value = s;
  t.space_before = space;
  return t;
}

// Variables: id(char) x1 x2 x3 a(char) b c score1 score2 'my var'n q08 q09 q10
DataSetHeader header() {
  DataSetHeader h;
  h.name = "WORK.D";
  for (const char* n : {"id$", "x1", "x2", "x3", "a$", "b", "c", "score1", "score2", "my var",
                        "q08", "q09", "q10"}) {
    const std::string s = n;
    const bool text = s.back() == '$';
    h.vars.push_back({text ? s.substr(0, s.size() - 1) : s, "",
                      text ? VarKind::Character : VarKind::Numeric, 8});
  }
  return h;
}

struct Resolved {
  bool ok = false;
  std::vector<int> vars;
  VarListError err;
};

Resolved resolve(std::vector<Token> t, VarType need = VarType::Numeric) {
  Resolved r;
  std::vector<VarListItem> items;
  std::size_t i = 0;
  if (!read_varlist(t, i, items, r.err)) return r;
  EXPECT_EQ(i, t.size());
  r.ok = resolve_varlist(items, header(), need, "VAR", r.vars, r.err);
  return r;
}

TEST(VariableLists, EveryFormResolvesInOrder) {
  struct Case {
    std::vector<Token> tokens;
    VarType need;
    std::vector<int> expected;
  } cases[] = {
      {{name("X2"), name("b")}, VarType::Numeric, {2, 5}},
      {{name("x1"), sym("-"), name("x3")}, VarType::Numeric, {1, 2, 3}},
      {{name("x2"), sym("--"), name("c")}, VarType::Any, {2, 3, 4, 5, 6}},
      {{name("x2"), sym("-"), name("numeric"), sym("-"), name("c")},
       VarType::Numeric,
       {2, 3, 5, 6}},
      {{name("id"), sym("-"), name("CHARACTER"), sym("-"), name("b")}, VarType::Character, {0, 4}},
      {{name("id"), sym("-"), name("char"), sym("-"), name("b")}, VarType::Any, {0, 4}},
      {{name("score"), sym(":", false)}, VarType::Numeric, {7, 8}},
      {{name("_NUMERIC_")}, VarType::Numeric, {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12}},
      {{name("_character_")}, VarType::Character, {0, 4}},
      {{name("_CHAR_")}, VarType::Any, {0, 4}},
      {{name("_ALL_")}, VarType::Any, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {{name("q08"), sym("-"), name("q10")}, VarType::Numeric, {10, 11, 12}},  // leading zeros
      {{name("my var", true), name("x1")}, VarType::Numeric, {9, 1}},
  };
  for (auto& c : cases) {
    Resolved r = resolve(c.tokens, c.need);
    ASSERT_TRUE(r.ok) << c.tokens[0].text << " " << r.err.number;
    EXPECT_EQ(r.vars, c.expected) << c.tokens[0].text;
  }
}

TEST(VariableLists, ErrorsNameTheVariableAndTheProblem) {
  struct Case {
    std::vector<Token> tokens;
    VarType need;
    int number;
    std::string first_arg;
  } cases[] = {
      {{name("zz")}, VarType::Numeric, msg::kVariableNotFound, "zz"},
      {{name("x1"), sym("-"), name("x4")}, VarType::Numeric, msg::kVariableNotFound, "x4"},
      {{name("id")}, VarType::Numeric, msg::kVariableWrongType, "id"},
      {{name("x3"), sym("--"), name("b")}, VarType::Numeric, msg::kVariableWrongType, "a"},
      {{name("_ALL_")}, VarType::Numeric, msg::kVariableWrongType, "id"},
      {{name("c"), sym("--"), name("x1")}, VarType::Numeric, msg::kVariableListBad, "c--x1"},
      {{name("z"), sym(":", false)}, VarType::Numeric, msg::kVariablePrefixEmpty, "z"},
      {{name("x3"), sym("-"), name("x1")}, VarType::Numeric, msg::kVariableListBad, "x3-x1"},
      {{name("x1"), sym("-"), name("b2")}, VarType::Numeric, msg::kVariableListBad, "x1-b2"},
      {{name("x1"), sym("-")}, VarType::Numeric, msg::kSyntax, "a variable name after x1-"},
      {{name("x1"), sym("=")}, VarType::Numeric, msg::kSyntax, "a variable name"},
  };
  for (auto& c : cases) {
    Resolved r = resolve(c.tokens, c.need);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err.number, c.number) << c.first_arg;
    ASSERT_FALSE(r.err.args.empty());
    EXPECT_EQ(r.err.args[0], c.first_arg);
  }
}

}  // namespace
}  // namespace kav
