// The FACTOR grammar on bad values: the bounds of the ranged options with
// the values just outside them, and the kinds of value it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include "factor/state/factorg.h"
#include "host/host_messages.h"
#include "lang/reader.h"

namespace kav {
namespace {

struct FParse {
  std::ostringstream sink;
  Log log{&sink};
  ParsedStep step;
  int status = 0;
  explicit FParse(const std::vector<std::string>& statements) {
    std::vector<Statement> sts;
    for (const auto& s : statements) {
      Statement st;
      st.tokens = tokenize_text(s, log);
      sts.push_back(st);
    }
    status = xsparse(factorg(), sts, log, step);
  }
  const ParsedRecord& rec() const { return step.proc; }
  int errors(int number) const {
    int n = 0;
    for (const auto& e : log.entries()) n += e.number == number;
    return n;
  }
};

// Every ranged option: the bounds pass, the values just outside fail with
// one range message.  "%" in the form is replaced by the value.
TEST(FactorGrammar, RangedOptionsRejectValuesJustOutside) {
  const double none = std::nan("");
  struct Ranged {
    const char* form;
    double lo, hi;  // NaN: unbounded on that side
    bool integer;
  };
  // clang-format off
  const Ranged cases[] = {
      {"MAXITER=%", 0, 32767, true}, {"CONVERGE=%", 0, none, false}, {"SINGULAR=%", 0, 1, false},
      {"NOBS=%", 0, none, false}, {"NTHREADS=%", 0, none, true},
      {"NFACTORS=PARALLEL(ALPHA=%)", 0, 1, false}, {"PARALLEL(NSIMS=%)", 200, 1e6, true},
      {"PARALLEL(SEED=%)", 1, none, true}, {"MINEIGEN=%", 0, none, false},
      {"PROPORTION=%", 0, 100, false}, {"FUZZ=%", 0, none, false}, {"FLAG=%", 0, none, false},
      {"NPLOT=%", 2, 32767, true}, {"HYPVALUE=%", 0, none, false}, {"ALPHA=%", 0, 100, false},
      {"COVER=%", 0, none, false}, {"PLOTS(NPLOT=%)=ALL", 2, 32767, true},
      {"PLOTS=LOADINGS(NPLOT=%)", 2, 32767, true}, {"POWER=%", 1, 32767, true},
      {"ROTATE=PROMAX(%)", 1, 32767, true},
      {"RITER=%", 0, none, true}, {"RCONVERGE=%", 0, none, false}, {"NFACTORS=%", -1, none, true},
      {"; PATHDIAGRAM ALPHA=%", 0, 100, false}, {"; PATHDIAGRAM FACTORSIZE=%", 0, 5, false},
      {"; PATHDIAGRAM DECP=%", 0, 4, true}, {"; PATHDIAGRAM DESIGNHEIGHT=%", 100, 10922, true},
      {"; PATHDIAGRAM TEXTSIZEMIN=%", 4, 40, true}, {"; PATHDIAGRAM DIAGRAMSCALE=%", 0, 6, false},
  };
  // clang-format on
  auto parse = [](const std::string& form, double v) {
    std::ostringstream s;
    s.precision(10);
    s << v;
    std::string text = "PROC FACTOR " + form;
    text.replace(text.find('%'), 1, s.str());
    const auto semi = text.find(" ; ");
    if (semi == std::string::npos) return std::make_unique<FParse>(std::vector{text});
    return std::make_unique<FParse>(std::vector{text.substr(0, semi), text.substr(semi + 3)});
  };
  for (const Ranged& r : cases) {
    SCOPED_TRACE(r.form);
    const double step = r.integer ? 1 : 1e-6;
    for (double inside : {r.lo, r.hi})
      if (!std::isnan(inside)) {
        EXPECT_EQ(parse(r.form, inside)->status, 0) << inside;
      }
    for (double outside : {r.lo - step, r.hi + step})
      if (!std::isnan(outside)) {
        const auto p = parse(r.form, outside);
        EXPECT_EQ(p->status, kParseStatus) << outside;
        EXPECT_EQ(p->errors(msg::kOptionOutOfRange), 1) << outside << ": " << p->sink.str();
        EXPECT_EQ(p->log.entries().size(), 1u) << outside;
      }
  }
}

TEST(FactorGrammar, RejectedValuesOfEachKind) {
  struct Bad {
    const char* text;
    int number;
  } cases[] = {
      {"PREROTATE=PROMAX", msg::kBadOptionValue},
      {"PREROTATE=PROCRUSTES", msg::kBadOptionValue},
      {"ROTATE=ORTHCF(1)", msg::kBadOptionValue},
      {"ROTATE=PROMAX(2,3)", msg::kBadOptionValue},
      {"METHOD=GLS", msg::kBadOptionValue},
      {"MAXITER=2.5", msg::kBadOptionValue},
      {"NOPRINT=1", msg::kBadOptionValue},
      {"VARDEF=X", msg::kBadOptionValue},
      {"PLOTS=SCREE(FLIP)", msg::kUnknownOption},  // a loadings option
      {"BOGUS", msg::kUnknownOption},
  };
  for (const Bad& b : cases) {
    FParse p({std::string("PROC FACTOR ") + b.text});
    EXPECT_EQ(p.status, kParseStatus) << b.text;
    EXPECT_EQ(p.errors(b.number), 1) << b.text << ": " << p.sink.str();
  }
  // The PRIORS statement takes no ranges.
  EXPECT_EQ(FParse({"PROC FACTOR", "PRIORS 0.1 TO 0.3"}).status, kParseStatus);
}

// The statement reference of kav help is made from the grammar: every
// spelling the parser knows, in every option list, is in it with a meaning.
TEST(FactorGrammar, ReferenceNamesEveryOptionWithItsMeaning) {
  const Grammar& g = factorg();
  const std::string ref = grammar_reference(g);
  std::set<std::string> words;  // every name the reference shows
  for (std::size_t k = 0; k < ref.size();) {
    std::size_t e = k;
    while (e < ref.size() && (std::isalnum(static_cast<unsigned char>(ref[e])) || ref[e] == '_'))
      ++e;
    if (e > k) words.insert(ref.substr(k, e - k));
    k = e + 1;
  }
  std::vector<const OptionTable*> tables = {g.proc};
  for (const StatementDef& st : g.statements) {
    for (const char* sp : st.spellings) EXPECT_TRUE(words.count(sp)) << sp;
    EXPECT_NE(st.help, nullptr) << st.spellings[0];
    if (st.options) tables.push_back(st.options);
  }
  for (std::size_t t = 0; t < tables.size(); ++t)
    for (const OptionDef& d : tables[t]->options) {
      for (const char* sp : d.spellings)
        EXPECT_TRUE(words.count(sp)) << tables[t]->name << " " << sp;
      EXPECT_NE(d.help, nullptr) << tables[t]->name << " " << d.spellings[0];
      for (const OptionTable* sub : {d.before_equals, d.after_name})
        if (sub && std::find(tables.begin(), tables.end(), sub) == tables.end())
          tables.push_back(sub);
      for (const WordDef& w : d.words) {
        EXPECT_TRUE(words.count(w.word)) << d.spellings[0] << " " << w.word;
        if (w.options && std::find(tables.begin(), tables.end(), w.options) == tables.end())
          tables.push_back(w.options);
      }
    }
  EXPECT_GE(tables.size(), 5u);
}

}  // namespace
}  // namespace kav
