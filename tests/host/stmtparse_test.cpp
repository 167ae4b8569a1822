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

// Tokens from space-separated pieces: numbers, quoted strings, symbols and
// names.  Piece k sits at column k + 1 of line 1.
std::vector<Token> toks(const std::string& text) {
  std::vector<Token> out;
  std::istringstream in(text);
  std::string p;
  int col = 0;
  while (in >> p) {
    Token t;
    t.text = p;
    t.value = p;
    t.pos.line = 1;
    t.pos.column = ++col;
    t.space_before = true;
    char* end = nullptr;
    double v = std::strtod(p.c_str(), &end);
    if (std::isdigit(static_cast<unsigned char>(p[0])) || (p[0] == '.' && p.size() > 1)) {
      if (end && *end == '\0') {
        t.kind = TokenKind::Number;
        t.number = v;
      }
    } else if (p[0] == '\'') {
      t.kind = TokenKind::String;
      t.value = p.substr(1, p.size() - 2);
    } else if (std::isalpha(static_cast<unsigned char>(p[0])) || p[0] == '_') {
      t.kind = TokenKind::Name;
    } else {
      t.kind = TokenKind::Symbol;
    }
    if (p == ":") t.space_before = false;
    out.push_back(t);
  }
  return out;
}

Statement stmt(const std::string& text) {
  Statement s;
  s.tokens = toks(text);
  s.pos.line = 1;
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

TEST(StatementParser, NumbersAndIntegersInRangeLandInTheirFields) {
  Parse p("NUM = 0.5 INT = 200 NU = 1");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  EXPECT_EQ(p.rec()[fNum].number, 1);  // the later spelling wins
  EXPECT_EQ(p.rec()[fNum].count, 2);
  EXPECT_EQ(p.rec()[fInt].number, 200);
  EXPECT_FALSE(p.rec().has(fWord));
  EXPECT_TRUE(std::isnan(p.rec()[fWord].number));
}

TEST(StatementParser, ValuesOutsideTheRangeAreTheParsersError) {
  for (const char* bad : {"NUM = - 0.001", "NUM = 1.0001", "INT = 199", "NUM = - 1"}) {
    Parse p(bad);
    EXPECT_EQ(p.status, kParseStatus) << bad;
    ASSERT_EQ(p.numbers(), std::vector<int>{msg::kOptionOutOfRange}) << bad;
    const LogEntry& e = p.log.entries()[0];
    EXPECT_EQ(e.pos.column, 5) << bad;  // where the value starts
    EXPECT_NE(e.text.find(std::string(bad).substr(0, 3)), std::string::npos) << e.text;
  }
  Parse p("INT = 150");
  EXPECT_NE(p.log.entries()[0].text.find("150"), std::string::npos);
  EXPECT_NE(p.log.entries()[0].text.find("at least 200"), std::string::npos);
}

TEST(StatementParser, IntegerOptionsTakeIntegerLiteralsOnly) {
  Parse p("INT = 250.5");
  EXPECT_EQ(p.status, kParseStatus);
  EXPECT_EQ(p.numbers(), std::vector<int>{msg::kBadOptionValue});
  Parse q("INT = 300.0");
  EXPECT_EQ(q.status, kParseStatus);
}

TEST(StatementParser, KeywordsMapToCodesAndUnknownWordsAreNamed) {
  Parse p("WORD = A");
  ASSERT_EQ(p.status, 0);
  EXPECT_EQ(p.rec()[fWord].code, 1);
  EXPECT_EQ(p.rec()[fWord].text, "A");
  Parse q("WORD = GAMMA");
  EXPECT_EQ(q.status, kParseStatus);
  ASSERT_EQ(q.numbers(), std::vector<int>{msg::kBadOptionValue});
  EXPECT_NE(q.log.entries()[0].text.find("ALPHA, BETA"), std::string::npos);
}

TEST(StatementParser, NumberListsWithRangesParenthesesAndWords) {
  Parse p("LIST = ( 0.1 TO 0.5 BY 0.1 , 0.9 ) FLAG");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  const auto& n = p.rec()[fList].numbers;
  ASSERT_EQ(n.size(), 6u);  // decimal steps keep their last value
  EXPECT_NEAR(n[4], 0.5, 1e-12);
  EXPECT_EQ(n[5], 0.9);
  EXPECT_TRUE(p.rec().bit(bFlag));
  Parse d("LIST = 1 TO 0 BY - 0.25");
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.rec()[fList].numbers.size(), 5u);
  Parse w("LIST = SMC");
  EXPECT_EQ(w.rec()[fList].code, 1);
  EXPECT_TRUE(w.rec()[fList].numbers.empty());
  Parse r("LIST = 0.5 TO 1.5");  // the range runs out of bounds
  EXPECT_EQ(r.numbers(), std::vector<int>{msg::kOptionOutOfRange});
  Parse z("LIST = 0 TO 1 BY 0");
  EXPECT_EQ(z.numbers(), std::vector<int>{msg::kBadOptionValue});
}

TEST(StatementParser, PlainListsStopAtTo) {
  Parse p("PLAIN = 1 2 3");
  EXPECT_EQ(p.rec()[fPlain].numbers.size(), 3u);
  Parse q("PLAIN = 1 TO 3");  // TO is then read as an option and is unknown
  EXPECT_EQ(q.numbers(), std::vector<int>{msg::kUnknownOption});
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
  for (const char* bad : {"ROT = CF ( 1 )", "ROT = PROMAX ( 1 2 )", "ROT = VARIMAX ( 1 )"}) {
    Parse q(bad);
    EXPECT_EQ(q.numbers(), std::vector<int>{msg::kBadOptionValue}) << bad;
  }
}

TEST(StatementParser, OptionsBeforeTheEqualsSignAndPerWord) {
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
  Parse r("PLOTS = SCREE ( SIZE = 12 )");
  EXPECT_EQ(r.numbers(), std::vector<int>{msg::kOptionOutOfRange});
  Parse u("PLOTS = ( ALL ( FLIP ) )");  // ALL takes no options
  EXPECT_EQ(u.status, kParseStatus);
}

TEST(StatementParser, RepeatedWordsKeepTheirBitsAndNumbersSurvive) {
  Parse p("NF = 3 NF = PAR ( SIZE = 5 )");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  EXPECT_EQ(p.rec()[fNf].number, 3);
  EXPECT_EQ(p.rec()[fNf].code, 1);
  EXPECT_TRUE(p.rec().bit(bWordBit));
  ASSERT_TRUE(p.rec()[fNf].sub);
  EXPECT_EQ((*p.rec()[fNf].sub)[1].number, 5);
}

TEST(StatementParser, OptionalValuesFlagsNamesTextsDataSetsAndLabels) {
  Parse p("MAYBE NAME = abc TEXT = 'ab' DATA = lib . x LABEL = [ x = 'first' , y = 'second' ]");
  ASSERT_EQ(p.status, 0) << p.sink.str();
  EXPECT_TRUE(p.rec().bit(bMaybe));
  EXPECT_FALSE(p.rec().has(fMaybe));
  EXPECT_EQ(p.rec()[fName].text, "abc");
  EXPECT_EQ(p.rec()[fText].text, "ab");
  EXPECT_EQ(p.rec()[fData].dataset.libref, "LIB");
  ASSERT_EQ(p.rec()[fPairs].pairs.size(), 2u);
  EXPECT_EQ(p.rec()[fPairs].pairs[1].second, "second");
  Parse q("MAYBE = 2");
  EXPECT_EQ(q.rec()[fMaybe].number, 2);
  EXPECT_FALSE(q.rec().bit(bMaybe));
}

TEST(StatementParser, SyntaxErrorsStopTheStatementWithOneMessage) {
  struct Case {
    const char* text;
    int number;
  } cases[] = {
      {"FLAG = 1", msg::kBadOptionValue},  // a flag takes no value
      {"NUM", msg::kSyntax},               // the value is required
      {"NUM = X", msg::kSyntax},
      {"BOGUS = 1 NUM = 7", msg::kUnknownOption},
      {"LABEL = ( x 'a' )", msg::kSyntax},
      {"PRE = PROMAX ( 1", msg::kSyntax},
      {"DATA =", msg::kSyntax},                        // nothing after the sign
      {"DATA = x ( foo = 1 )", msg::kBadOptionValue},  // a name with a bad option
  };
  for (const Case& c : cases) {
    Parse p(c.text);
    EXPECT_EQ(p.status, kParseStatus) << c.text;
    EXPECT_EQ(p.numbers(), std::vector<int>{c.number}) << c.text << ": " << p.sink.str();
  }
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
  EXPECT_EQ(p.step.statements[5].name, "EXTRA");
  EXPECT_TRUE(p.step.statements[5].record.bit(bSubFlag));
  EXPECT_EQ(p.step.statements[6].record[1].number, 4);
  EXPECT_FALSE(p.step.statements[6].record.bit(bSubFlag));
}

TEST(StatementParser, BadSecondaryStatements) {
  Parse unknown("", {"CLASS x"});
  EXPECT_EQ(unknown.numbers(), std::vector<int>{msg::kUnknownStatement});
  Parse extra("", {"FREQ a b"});
  EXPECT_EQ(extra.numbers(), std::vector<int>{msg::kSyntax});
  Parse empty("", {"VAR"});
  EXPECT_EQ(empty.numbers(), std::vector<int>{msg::kSyntax});
  Parse range("", {"VAR x1 - y3"});
  EXPECT_EQ(range.numbers(), std::vector<int>{msg::kVariableListBad});
  for (const Parse* p : {&unknown, &extra, &empty, &range}) EXPECT_EQ(p->status, kParseStatus);
}

TEST(StatementParser, TheDictionaryFindsEverySpellingAndNoDuplicates) {
  EXPECT_TRUE(table().duplicates.empty());
  EXPECT_EQ(table().find("nu"), table().find("NUM"));
  EXPECT_EQ(table().find("NOPE"), nullptr);
  OptionDef a, b;
  a.spellings = {"A"};
  b.spellings = {"B", "A"};
  OptionTable dup("DUP", {a, b});
  EXPECT_EQ(dup.duplicates, std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace kav
