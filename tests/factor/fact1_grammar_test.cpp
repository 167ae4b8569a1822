// The FACTOR grammar on the values it is given: option values that must be
// kept as written, the bounds of the ranged options with the values just
// outside them, and the kinds of value it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "factor/factorg.h"
#include "host/host_messages.h"
#include "lang/reader.h"

namespace kav {
namespace {

namespace F = factorg_field;
namespace B = factorg_bit;

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

TEST(FactorGrammar, ValuesThatAreKeptAsGiven) {
  FParse p({"PROC FACTOR NFACTORS=MAP2 NFACTORS=MAP4 N=3 PARALLEL(NSIMS=300) "
            "PLOTS(FLIP)=(SCREE LOADINGS(CIRCLES=0.5 0.7 NPLOT=4))"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  EXPECT_TRUE(p.rec().bit(B::kNfMap2));
  EXPECT_TRUE(p.rec().bit(B::kNfMap4));
  EXPECT_EQ(p.rec()[F::kNfactors].number, 3);
  EXPECT_EQ((*p.rec()[F::kParallel].sub)[factorg_pa::kNsims].number, 300);
  namespace PO = factorg_plotopt;
  const FieldValue& f = p.rec()[F::kPlots];
  ASSERT_TRUE(f.sub);
  EXPECT_TRUE(f.sub->bit(PO::kFlip));
  ASSERT_EQ(f.items.size(), 2u);
  EXPECT_EQ((*f.items[1].options)[PO::kCircleValues].numbers, (std::vector<double>{0.5, 0.7}));
  EXPECT_EQ((*f.items[1].options)[PO::kNplot].number, 4);
  EXPECT_FALSE(p.rec().bit(B::kPlot));  // PLOTS= is not the line-printer PLOT

  FParse s({"PROC FACTOR", "PRIORS 0.5 0.6"});
  EXPECT_EQ(s.rec()[F::kPriors].numbers, (std::vector<double>{0.5, 0.6}));
  FParse t({"PROC FACTOR", "PRIORS 0.1 TO 0.3"});  // the statement takes no ranges
  EXPECT_EQ(t.status, kParseStatus);

  // Several PATHDIAGRAM statements keep their own options, the later
  // spelling of an option winning, and none reaches the procedure record.
  FParse pd({"PROC FACTOR", "PATHDIAGRAM ARRANGE=GRIP NOTITLE",
             "PATHDIAGRAM ARRANGEMENT=FLOW METHOD=AUTOMATIC TITLE='t'"});
  ASSERT_EQ(pd.status, 0) << pd.sink.str();
  ASSERT_EQ(pd.step.statements.size(), 3u);
  EXPECT_EQ(pd.step.statements[1].record[factorg_pd::kArrange].code, 4);
  EXPECT_TRUE(pd.step.statements[1].record.bit(factorg_pd::kNotitle));
  EXPECT_EQ(pd.step.statements[2].record[factorg_pd::kArrange].code, 9);
  EXPECT_FALSE(pd.step.statements[2].record.bit(factorg_pd::kNotitle));
  EXPECT_EQ(pd.rec().bits.count(), 0u);
}

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
      {"NFACTORS=PARALLEL(ALPHA=%)", 0, 1, false}, {"PARALLEL(NSIMS=%)", 200, none, true},
      {"PARALLEL(SEED=%)", 1, none, true}, {"MINEIGEN=%", 0, none, false},
      {"PROPORTION=%", 0, 100, false}, {"FUZZ=%", 0, none, false}, {"FLAG=%", 0, none, false},
      {"NPLOT=%", 2, 32767, true}, {"HYPVALUE=%", 0, none, false}, {"ALPHA=%", 0, 100, false},
      {"COVER=%", 0, none, false}, {"PLOTS(NPLOT=%)=ALL", 2, 32767, true},
      {"PLOTS=LOADINGS(NPLOT=%)", 2, 32767, true}, {"POWER=%", 1, 32767, true},
      {"RITER=%", 0, none, true}, {"RCONVERGE=%", 0, none, false},
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
      {"NFACTORS=PARALLEL(ALPHA=0.5 NSIMS=1)", msg::kOptionOutOfRange},
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
}

}  // namespace
}  // namespace kav
