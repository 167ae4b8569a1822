// The generic statement parser on a small grammar of its own: every value
// kind, ranges and their messages, repeated options, sub-option lists,
// statement bodies and the errors that stop a statement.
#include "host/stmtparse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "host/host_messages.h"

namespace kav {
namespace {

// A statement from space-separated pieces: numbers, quoted strings, symbols
// and names.  Piece k sits at column k + 1 of line 1.
Statement stmt(const std::string& text) {
  Statement s;
  s.pos.line = 1;
  std::istringstream in(text);
  for (std::string p; in >> p;) {
    Token t;
    t.text = t.value = p;
    t.pos.line = 1;
    t.pos.column = static_cast<int>(s.tokens.size()) + 1;
    t.space_before = p != ":";
    char* end = nullptr;
    t.number = std::strtod(p.c_str(), &end);
    const auto first = static_cast<unsigned char>(p[0]);
    if ((std::isdigit(first) || (p[0] == '.' && p.size() > 1)) && *end == '\0') {
      t.kind = TokenKind::Number;
    } else if (p[0] == '\'') {
      t.kind = TokenKind::String;
      t.value = p.substr(1, p.size() - 2);
    } else {
      t.kind = std::isalpha(first) || p[0] == '_' ? TokenKind::Name : TokenKind::Symbol;
    }
    s.tokens.push_back(t);
  }
  return s;
}

// clang-format off
enum Field { fNum = 1, fInt, fWord, fList, fPlain, fRot, fPlots, fName, fText, fData, fVars, fOne,
             fBy, fPairs, fNf, fMaybe, fPre };
// clang-format on
enum Bit { bFlag, bMaybe, bSorted, bWordBit, bSubFlag };

const OptionTable& sub_table() {
  static const OptionTable t("SUB", [] {
    OptionDef n;
    n.spellings = {"SIZE"};
    n.kind = ValueKind::Integer;
    n.field = 1;
    n.range = between(2, 9);
    OptionDef f;
    f.spellings = {"FLIP"};
    f.bit = bSubFlag;
    return std::vector<OptionDef>{n, f};
  }());
  return t;
}

const OptionTable& table() {
  static const OptionTable t("PROC TEST", [] {
    std::vector<OptionDef> v;
    auto add = [&](std::vector<const char*> sp, ValueKind k, int field, Range r = Range{}) {
      OptionDef d;
      d.spellings = std::move(sp);
      d.kind = k;
      d.field = field;
      d.range = r;
      v.push_back(d);
      return &v.back();
    };
    add({"NUM", "NU"}, ValueKind::Number, fNum, between(0, 1));
    add({"INT"}, ValueKind::Integer, fInt, at_least(200));
    add({"WORD"}, ValueKind::Keyword, fWord)->words = {{"ALPHA", 1}, {"A", 1}, {"BETA", 2}};
    auto* list = add({"LIST"}, ValueKind::NumberList, fList, between(0, 1));
    list->words = {{"SMC", 1}};
    add({"PLAIN"}, ValueKind::NumberList, fPlain)->plain_list = true;
    auto* rot = add({"ROT", "R"}, ValueKind::KeywordList, fRot);
    rot->words = {{"VARIMAX", 2}, {"NONE", 10}, {"PROMAX", 11, 0, 1}, {"CF", 32, 2, 2}};
    rot->comma_separated = true;
    rot->accumulate = true;
    auto* plots = add({"PLOTS"}, ValueKind::KeywordList, fPlots);
    plots->words = {{"SCREE", 1, 0, 0, &sub_table()}, {"ALL", 2}};
    plots->before_equals = &sub_table();
    plots->value_optional = true;
    plots->bit = bMaybe;
    add({"NAME"}, ValueKind::Name, fName);
    add({"TEXT"}, ValueKind::Text, fText);
    add({"DATA"}, ValueKind::DataSet, fData);
    add({"LABEL"}, ValueKind::LabelPairs, fPairs);
    auto* nf = add({"NF"}, ValueKind::Integer, fNf);
    nf->words = {{"PAR", 1, 0, 0, &sub_table(), bWordBit}};
    nf->accumulate = true;
    auto* maybe = add({"MAYBE"}, ValueKind::Number, fMaybe, at_least(0));
    maybe->value_optional = true;
    maybe->bit = bMaybe;
    add({"PRE"}, ValueKind::Keyword, fPre)->words = {{"PROMAX", 11, 0, 1}};
    OptionDef f;
    f.spellings = {"FLAG", "FL"};
    f.bit = bFlag;
    v.push_back(f);
    return v;
  }());
  return t;
}

const Grammar& grammar() {
  static const Grammar g = [] {
    Grammar g;
    g.procedure = "TEST";
    g.proc = &table();
    g.fields = fPre;
    auto value = [&](std::vector<const char*> spellings, ValueKind kind, int field) {
      StatementDef d;
      d.spellings = std::move(spellings);
      d.body = StatementBody::Value;
      d.value.kind = kind;
      d.value.field = field;
      g.statements.push_back(d);
      return &g.statements.back();
    };
    value({"VAR", "VARIABLES"}, ValueKind::VarList, fVars);
    value({"FREQ"}, ValueKind::Variable, fOne);
    StatementDef* by = value({"BY"}, ValueKind::VarList, fBy);
    by->value.allow_descending = true;
    by->value.notsorted_bit = bSorted;
    StatementDef own;
    own.spellings = {"EXTRA"};
    own.options = &sub_table();
    own.own_record = true;
    g.statements.push_back(own);
    return g;
  }();
  return g;
}

struct Parse {
  std::ostringstream sink;
  Log log{&sink};
  ParsedStep step;
  int status = 0;
  explicit Parse(const std::string& proc, std::vector<std::string> more = {}) {
    std::vector<Statement> sts{stmt("PROC TEST " + proc)};
    for (const auto& m : more) sts.push_back(stmt(m));
    status = xsparse(grammar(), sts, log, step);
  }
  const ParsedRecord& rec() const { return step.proc; }
  std::vector<int> numbers() const {
    std::vector<int> n;
    for (const auto& e : log.entries()) n.push_back(e.number);
    return n;
  }
};

TEST(StatementParser, ValuesLandInTheirFields) {
  Parse p("NUM = 0.5 INT = 200 NU = 1 WORD = A FLAG");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  EXPECT_EQ(p.rec()[fNum].number, 1);  // the later spelling wins
  EXPECT_EQ(p.rec()[fNum].count, 2);
  EXPECT_EQ(p.rec()[fInt].number, 200);
  EXPECT_EQ(p.rec()[fWord].code, 1);
  EXPECT_EQ(p.rec()[fWord].text, "A");
  EXPECT_TRUE(p.rec().bit(bFlag));
  EXPECT_FALSE(p.rec().has(fList));

  Parse q("MAYBE NAME = abc TEXT = 'ab' DATA = lib . x LABEL = [ x = 'first' , y = 'second' ]");
  ASSERT_EQ(q.status, 0) << q.sink.str();
  EXPECT_TRUE(q.rec().bit(bMaybe));
  EXPECT_FALSE(q.rec().has(fMaybe));
  EXPECT_EQ(q.rec()[fName].text, "abc");
  EXPECT_EQ(q.rec()[fText].text, "ab");
  EXPECT_EQ(q.rec()[fData].dataset.libref, "LIB");
  ASSERT_EQ(q.rec()[fPairs].pairs.size(), 2u);
  EXPECT_EQ(q.rec()[fPairs].pairs[1].second, "second");
  Parse m("MAYBE = 2");
  EXPECT_EQ(m.rec()[fMaybe].number, 2);
  EXPECT_FALSE(m.rec().bit(bMaybe));
}

TEST(StatementParser, NumberListsWithRangesParenthesesAndWords) {
  Parse p("LIST = ( 0.1 TO 0.5 BY 0.1 , 0.9 )");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  const auto& n = p.rec()[fList].numbers;
  ASSERT_EQ(n.size(), 6u);  // decimal steps keep their last value
  EXPECT_NEAR(n[4], 0.5, 1e-12);
  EXPECT_EQ(n[5], 0.9);
  EXPECT_EQ(Parse("LIST = 1 TO 0 BY - 0.25").rec()[fList].numbers.size(), 5u);
  Parse w("LIST = SMC");
  EXPECT_EQ(w.rec()[fList].code, 1);
  EXPECT_TRUE(w.rec()[fList].numbers.empty());
  EXPECT_EQ(Parse("PLAIN = 1 2 3").rec()[fPlain].numbers.size(), 3u);
}

TEST(StatementParser, CommaListsKeepParametersLabelsAndMarks) {
  Parse p("ROT = VARIMAX , NONE , PROMAX ( 3 ) R = CF ( 1 , 2 ) , PROMAX");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  const FieldValue& f = p.rec()[fRot];
  ASSERT_EQ(f.items.size(), 5u);
  EXPECT_EQ(f.items[2].code, 11);
  EXPECT_EQ(f.numbers, (std::vector<double>{3, 1, 2}));
  EXPECT_EQ(f.labels, (std::vector<int>{3, 4, 4}));
  EXPECT_EQ(f.marks, (std::vector<int>{3, 5}));
}

TEST(StatementParser, SubOptionsBeforeTheEqualsSignPerWordAndOnRepeatedWords) {
  Parse p("PLOTS ( FLIP SIZE = 4 ) = ( SCREE ( SIZE = 3 ) ALL )");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  const FieldValue& f = p.rec()[fPlots];
  ASSERT_TRUE(f.sub);
  EXPECT_TRUE(f.sub->bit(bSubFlag));
  EXPECT_EQ((*f.sub)[1].number, 4);
  ASSERT_EQ(f.items.size(), 2u);
  ASSERT_TRUE(f.items[0].options);
  EXPECT_EQ((*f.items[0].options)[1].number, 3);
  EXPECT_FALSE(p.rec().bit(bMaybe));  // PLOTS= is not the bare PLOTS
  Parse bare("PLOTS");
  EXPECT_TRUE(bare.rec().bit(bMaybe));
  EXPECT_FALSE(bare.rec().has(fPlots));

  Parse r("NF = 3 NF = PAR ( SIZE = 5 )");  // the number survives the word
  ASSERT_EQ(r.status, 0) << r.sink.str();
  EXPECT_EQ(r.rec()[fNf].number, 3);
  EXPECT_EQ(r.rec()[fNf].code, 1);
  EXPECT_TRUE(r.rec().bit(bWordBit));
  ASSERT_TRUE(r.rec()[fNf].sub);
  EXPECT_EQ((*r.rec()[fNf].sub)[1].number, 5);
}

// Each bad statement stops with exactly one message of the right number.
TEST(StatementParser, BadValuesAndSyntaxGiveOneMessageEach) {
  struct Case {
    const char* text;
    std::vector<std::string> more;
    int number;
  } cases[] = {
      {"NUM = - 0.001", {}, msg::kOptionOutOfRange},
      {"NUM = 1.0001", {}, msg::kOptionOutOfRange},
      {"INT = 199", {}, msg::kOptionOutOfRange},
      {"LIST = 0.5 TO 1.5", {}, msg::kOptionOutOfRange},  // the range runs out of bounds
      {"PLOTS = SCREE ( SIZE = 12 )", {}, msg::kOptionOutOfRange},
      {"INT = 250.5", {}, msg::kBadOptionValue},
      {"WORD = GAMMA", {}, msg::kBadOptionValue},
      {"LIST = 0 TO 1 BY 0", {}, msg::kBadOptionValue},
      {"ROT = CF ( 1 )", {}, msg::kBadOptionValue},
      {"ROT = PROMAX ( 1 2 )", {}, msg::kBadOptionValue},
      {"ROT = VARIMAX ( 1 )", {}, msg::kBadOptionValue},
      {"FLAG = 1", {}, msg::kBadOptionValue},  // a flag takes no value
      {"DATA = x ( foo = 1 )", {}, msg::kBadOptionValue},
      {"PLAIN = 1 TO 3", {}, msg::kUnknownOption},  // TO is then read as an option
      {"BOGUS = 1 NUM = 7", {}, msg::kUnknownOption},
      {"NUM", {}, msg::kSyntax},  // the value is required
      {"NUM = X", {}, msg::kSyntax},
      {"LABEL = ( x 'a' )", {}, msg::kSyntax},
      {"PRE = PROMAX ( 1", {}, msg::kSyntax},
      {"", {"CLASS x"}, msg::kUnknownStatement},
      {"", {"FREQ a b"}, msg::kSyntax},
      {"", {"VAR"}, msg::kSyntax},
      {"", {"VAR x1 - y3"}, msg::kVariableListBad},
      {"", {"BY x DESCENDING"}, msg::kSyntax},  // DESCENDING must be followed by a name
  };
  for (const Case& c : cases) {
    Parse p(c.text, c.more);
    EXPECT_EQ(p.status, kParseStatus) << c.text;
    EXPECT_EQ(p.numbers(), std::vector<int>{c.number}) << c.text << ": " << p.sink.str();
  }
  EXPECT_EQ(Parse("INT = 300.0").status, kParseStatus);
  EXPECT_EQ(Parse("PLOTS = ( ALL ( FLIP ) )").status, kParseStatus);  // ALL takes no options
  // Out of range: placed at the value, naming the option and the bound.
  Parse p("NUM = - 0.001");
  EXPECT_EQ(p.log.entries().at(0).pos.column, 5);
  EXPECT_NE(p.log.entries()[0].text.find("NUM"), std::string::npos);
  const std::string low = Parse("INT = 150").log.entries().at(0).text;
  EXPECT_NE(low.find("150"), std::string::npos) << low;
  EXPECT_NE(low.find("at least 200"), std::string::npos) << low;
  const std::string word = Parse("WORD = GAMMA").log.entries().at(0).text;
  EXPECT_NE(word.find("ALPHA, BETA"), std::string::npos) << word;
}

TEST(StatementParser, SecondaryStatementsMergeIntoTheProcedureRecord) {
  Parse p("FLAG", {"VAR a b1 - b3 c : _numeric_", "VARIABLES d -- e", "FREQ w",
                   "BY DESCENDING g h NOTSORTED", "EXTRA FLIP SIZE = 3", "EXTRA SIZE = 4"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  const auto& v = p.rec()[fVars].vars;
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[1].kind, VarListItem::Kind::Numbered);
  EXPECT_EQ(v[2].kind, VarListItem::Kind::Prefix);
  EXPECT_EQ(v[3].kind, VarListItem::Kind::AllNumeric);
  EXPECT_EQ(v[4].kind, VarListItem::Kind::Positional);
  EXPECT_EQ(p.rec()[fOne].text, "w");
  const auto& by = p.rec()[fBy].vars;
  ASSERT_EQ(by.size(), 2u);
  EXPECT_TRUE(by[0].descending);
  EXPECT_FALSE(by[1].descending);
  EXPECT_TRUE(p.rec().bit(bSorted));
  ASSERT_EQ(p.step.statements.size(), 7u);
  EXPECT_TRUE(p.step.statements[5].record.bit(bSubFlag));
  EXPECT_EQ(p.step.statements[6].record[1].number, 4);
  EXPECT_FALSE(p.step.statements[6].record.bit(bSubFlag));
}

}  // namespace
}  // namespace kav
