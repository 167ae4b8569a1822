// The FACTOR grammar, table-driven: every spelling of every option, value
// word and statement is accepted and lands in its field or bit; every
// ranged option takes its bounds and rejects the values just outside them.
// Coverage checks walk the grammar itself, so a spelling added to the
// grammar without a case here, or a case for a spelling the grammar lacks,
// fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include "factor/factorg.h"
#include "factor/rotselect.h"
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

constexpr double kAny = -12345;  // the number is not checked

// key: the option's spelling, or OPTION=WORD for a value word (OPTION being
// the option's first spelling).
struct Case {
  std::string key;
  std::string text;  // PROC FACTOR options
  int field = 0;     // field given (0: none)
  int bit = -1;      // bit set (-1: none)
  int code = 0;      // code of the field's keyword (0: not checked)
  double number = kAny;
};

// Value words with their codes, "WORD=code ...".
struct Words {
  const char* option;
  int field;
  const char* words;
};
const Words kWordLists[] = {
    {"METHOD", F::kMethod,
     "PRINCIPAL=1 PRIN=1 P=1 ULS=2 U=2 PRINIT=3 ALPHA=4 A=4 ML=5 M=5 FULLER=7 F=7 HARRIS=8 H=8 "
     "IMAGE=9 I=9 PATTERN=10 SCORE=11"},
    {"PRIORS", F::kPriors, "SMC=1 S=1 INPUT=2 I=2 MAX=3 M=3 ASMC=4 A=4 ONE=5 O=5 RANDOM=6 R=6"},
    {"VARDEF", F::kVardef, "DF=1 N=2 WEIGHT=3 WGT=4 WDF=5"},
    {"NORM", F::kNorm, "KAISER=1 WEIGHT=2 RAW=3 COV=4 NONE=8"},
    {"NFACTORS", F::kNfactors, "PARALLEL=1 MAP=2 MAP2=3 MAP4=4"},
    {"PREROTATE", F::kPrerotate,
     "QUARTIMAX=1 QMAX=1 Q=1 VARIMAX=2 V=2 BIQUARTIMAX=3 BIQMAX=3 EQUAMAX=4 E=4 PARSIMAX=5 PA=5 "
     "FACTORPARSIMAX=6 FPA=6 NONE=10 N=10 HK=12 H=12 QUARTIMIN=20 QMIN=20 BIQUARTIMIN=21 "
     "BIQMIN=21 COVARIMIN=22 CVMIN=22 OBQUARTIMAX=23 OQMAX=23 OBVARIMAX=24 OV=24 "
     "OBBIQUARTIMAX=25 OBIQMAX=25 OBEQUAMAX=26 OE=26 OBPARSIMAX=27 OPA=27 OBFACTORPARSIMAX=28 "
     "OFPA=28 ORTHOMAX=30 ORMAX=30 OBLIMIN=31 OBMIN=31"},
    // ROTATE= takes every PREROTATE= word, and PROMAX and PROCRUSTES besides.
    {"ROTATE", F::kRotate, "PROMAX=11 P=11 PROCRUSTES=13"},
};

std::vector<std::pair<std::string, int>> words_of(const char* list) {
  std::vector<std::pair<std::string, int>> out;
  std::istringstream in(list);
  std::string w;
  while (in >> w) out.emplace_back(w.substr(0, w.find('=')), std::stoi(w.substr(w.find('=') + 1)));
  return out;
}

std::vector<Case> proc_cases() {
  // clang-format off
  std::vector<Case> c = {
      {"DATA", "DATA=a", F::kData}, {"OUT", "OUT=b", F::kOut},
      {"OUTSTAT", "OUTSTAT=c", F::kOutstat}, {"STAT", "STAT=c", F::kOutstat},
      {"TARGET", "TARGET=t", F::kTarget}, {"METHOD", "METHOD=ML", F::kMethod, -1, 5},
      {"M", "M=ULS", F::kMethod, -1, 2}, {"PRIORS", "PRIORS=0.5 0.4", F::kPriors},
      {"PRIOR", "PRIOR=SMC", F::kPriors, -1, 1}, {"MAXITER", "MAXITER=40", F::kMaxiter, -1, 0, 40},
      {"MAXIT", "MAXIT=41", F::kMaxiter, -1, 0, 41},
      {"CONVERGE", "CONVERGE=0.01", F::kConverge, -1, 0, 0.01},
      {"CONV", "CONV=0.02", F::kConverge, -1, 0, 0.02},
      {"SINGULAR", "SINGULAR=0.001", F::kSingular, -1, 0, 0.001},
      {"TOLERANCE", "TOLERANCE=0.002", F::kSingular, -1, 0, 0.002},
      {"SING", "SING=0.003", F::kSingular, -1, 0, 0.003},
      {"TOL", "TOL=0.004", F::kSingular, -1, 0, 0.004}, {"HEYWOOD", "HEYWOOD", 0, B::kHeywood},
      {"HEY", "HEY", 0, B::kHeywood}, {"ULTRAHEYWOOD", "ULTRAHEYWOOD", 0, B::kUltraHeywood},
      {"ULTRA", "ULTRA", 0, B::kUltraHeywood}, {"COV", "COV", 0, B::kCov},
      {"COVARIANCE", "COVARIANCE", 0, B::kCov}, {"WEIGHT", "WEIGHT", 0, B::kWeight},
      {"NOINT", "NOINT", 0, B::kNoint}, {"VARDEF", "VARDEF=N", F::kVardef, -1, kVardefN},
      {"NOBS", "NOBS=99", F::kNobs, -1, 0, 99}, {"RANDOM", "RANDOM=123", F::kRandom, -1, 0, 123},
      {"NTHREADS", "NTHREADS=3", F::kNthreads, -1, 0, 3},
      {"NTHREAD", "NTHREAD=4", F::kNthreads, -1, 0, 4},
      {"THREADS", "THREADS=5", F::kNthreads, -1, 0, 5},
      {"THREAD", "THREAD=6", F::kNthreads, -1, 0, 6},
      {"NFACTORS", "NFACTORS=3", F::kNfactors, -1, 0, 3},
      {"NFACTOR", "NFACTOR=-1", F::kNfactors, -1, 0, -1},
      {"NFACT", "NFACT=2", F::kNfactors, -1, 0, 2}, {"N", "N=7", F::kNfactors, -1, 0, 7},
      {"PARALLEL", "PARALLEL", F::kParallel, B::kParallel}, {"MAP", "MAP", 0, B::kMap},
      {"MINEIGEN", "MINEIGEN=1", F::kMineigen, -1, 0, 1},
      {"MIN", "MIN=0.5", F::kMineigen, -1, 0, 0.5},
      {"PROPORTION", "PROPORTION=80", F::kProportion, -1, 0, 80},
      {"PERCENT", "PERCENT=0.7", F::kProportion, -1, 0, 0.7},
      {"P", "P=60", F::kProportion, -1, 0, 60}, {"ALL", "ALL", 0, B::kAll},
      {"SIMPLE", "SIMPLE", 0, B::kSimple}, {"S", "S", 0, B::kSimple},
      {"CORR", "CORR", 0, B::kCorr}, {"C", "C", 0, B::kCorr},
      {"EIGENVECTORS", "EIGENVECTORS", 0, B::kEigenvectors}, {"EV", "EV", 0, B::kEigenvectors},
      {"PRINT", "PRINT", 0, B::kPrint}, {"MSA", "MSA", 0, B::kMsa},
      {"SCREE", "SCREE", 0, B::kScree}, {"PLOT", "PLOT", 0, B::kPlot},
      {"PLOTS", "PLOTS", 0, B::kPlot}, {"PREPLOT", "PREPLOT", 0, B::kPreplot},
      {"RESIDUALS", "RESIDUALS", 0, B::kResiduals}, {"RESIDUAL", "RESIDUAL", 0, B::kResiduals},
      {"RES", "RES", 0, B::kResiduals}, {"NOPRINT", "NOPRINT", 0, B::kNoprint},
      {"NOP", "NOP", 0, B::kNoprint}, {"ROUND", "ROUND", 0, B::kRound},
      {"NOCORR", "NOCORR", 0, B::kNocorr}, {"SCORE", "SCORE", 0, B::kScore},
      {"REORDER", "REORDER", 0, B::kReorder}, {"RE", "RE", 0, B::kReorder},
      {"TEST", "TEST", 0, B::kTest}, {"COUNT", "COUNT", 0, B::kCount},
      {"PLOTREF", "PLOTREF", 0, B::kPlotref}, {"FUZZ", "FUZZ=0.3", F::kFuzz, -1, 0, 0.3},
      {"FLAG", "FLAG=0.4", F::kFlag, -1, 0, 0.4}, {"NPLOT", "NPLOT=3", F::kNplot, -1, 0, 3},
      {"NPLOTS", "NPLOTS=4", F::kNplot, -1, 0, 4}, {"NP", "NP=5", F::kNplot, -1, 0, 5},
      {"PLOTCHAR", "PLOTCHAR=3", F::kPlotchar}, {"PC", "PC=-2", F::kPlotchar},
      {"PREFIX", "PREFIX=sc", F::kPrefix}, {"PARPREFIX", "PARPREFIX=r", F::kParprefix},
      {"STDERR", "STDERR", 0, B::kStderr}, {"SE", "SE", 0, B::kStderr},
      {"HYPVALUE", "HYPVALUE=0.3", F::kHypvalue, -1, 0, 0.3},
      {"HYPVAL", "HYPVAL=0", F::kHypvalue, -1, 0, 0}, {"ONETAIL", "ONETAIL", 0, B::kOnetail},
      {"ONET", "ONET", 0, B::kOnetail}, {"TWOTAIL", "TWOTAIL", 0, B::kTwotail},
      {"TWOT", "TWOT", 0, B::kTwotail}, {"ALPHA", "ALPHA=5", F::kAlpha, -1, 0, 5},
      {"COVER", "COVER", 0, B::kCover}, {"CI", "CI=0.45", F::kCover, -1, 0, 0.45},
      {"ROTATE", "ROTATE=VARIMAX", F::kRotate}, {"R", "R=QUARTIMAX", F::kRotate},
      {"PREROTATE", "PREROTATE=QUARTIMAX", F::kPrerotate, -1, kRotQuartimax},
      {"PRE", "PRE=VARIMAX", F::kPrerotate, -1, kRotVarimax},
      {"GAMMA", "GAMMA=-0.5", F::kGamma, -1, 0, -0.5}, {"G", "G=2", F::kGamma, -1, 0, 2},
      {"TAU", "TAU=0.25", F::kTau, -1, 0, 0.25}, {"POWER", "POWER=3", F::kPower, -1, 0, 3},
      {"K", "K=4", F::kPower, -1, 0, 4}, {"HKPOWER", "HKPOWER=0.5", F::kHkpower, -1, 0, 0.5},
      {"HKP", "HKP=-0.5", F::kHkpower, -1, 0, -0.5}, {"NORM", "NORM=RAW", F::kNorm, -1, 3},
      {"NOPROMAXNORM", "NOPROMAXNORM", 0, B::kNopromaxnorm},
      {"NOPMAXNORM", "NOPMAXNORM", 0, B::kNopromaxnorm}, {"RITER", "RITER=0", F::kRiter, -1, 0, 0},
      {"RCONVERGE", "RCONVERGE=1e-6", F::kRconverge, -1, 0, 1e-6},
      {"RCONV", "RCONV=1e-5", F::kRconverge, -1, 0, 1e-5},
  };
  // clang-format on
  for (const Words& w : kWordLists)
    for (const auto& [word, code] : words_of(w.words)) {
      const std::string key = std::string(w.option) + "=" + word;
      c.push_back({key, key, w.field, -1, code});
      if (w.field == F::kPrerotate)
        c.push_back({"ROTATE=" + word, "ROTATE=" + word, F::kRotate, -1, code});
    }
  // Words with required parameters, in PREROTATE= and in ROTATE= ("_" stands for a blank).
  for (auto [word, code] : words_of("ORTHCF(1,2)=32 ORCF(1_2)=32 OBLICF(0,1)=33 OBCF(0,1)=33 "
                                    "ORTHGENCF(1,2,3,4)=34 ORGENCF(1,2,3,4)=34 "
                                    "OBLIGENCF(1,2,3,4)=35 OBGENCF(1_2_3_4)=35")) {
    std::replace(word.begin(), word.end(), '_', ' ');
    const std::string bare = word.substr(0, word.find('('));
    c.push_back({"PREROTATE=" + bare, "PRE=" + word, F::kPrerotate, -1, code});
    c.push_back({"ROTATE=" + bare, "R=" + word, F::kRotate, -1, code});
  }
  // Graph requests.
  const std::pair<const char*, int> plots[] = {{"SCREE", kPlotScree},
                                               {"EIGEN", kPlotScree},
                                               {"EIGENVALUE", kPlotScree},
                                               {"LOADINGS", kPlotLoadings},
                                               {"LOADING", kPlotLoadings},
                                               {"PATTERN", kPlotLoadings},
                                               {"INITLOADINGS", kPlotInitLoadings},
                                               {"INITLOADING", kPlotInitLoadings},
                                               {"INITPATTERN", kPlotInitLoadings},
                                               {"PRELOADINGS", kPlotPreLoadings},
                                               {"PRELOADING", kPlotPreLoadings},
                                               {"PREPATTERN", kPlotPreLoadings},
                                               {"MAP", kPlotMap},
                                               {"MAP2", kPlotMap2},
                                               {"MAP4", kPlotMap4},
                                               {"PARALLEL", kPlotParallel},
                                               {"PATHDIAGRAM", kPlotPathDiagram},
                                               {"ALL", kPlotAll},
                                               {"NONE", kPlotNone}};
  for (const auto& [word, code] : plots)
    c.push_back(
        {std::string("PLOT=") + word, std::string("PLOTS=(") + word + ")", F::kPlots, -1, code});
  return c;
}

// The code a case expects: a keyword's code, or the last item of a list.
int code_of(const FieldValue& f) {
  if (!f.items.empty()) return f.items.back().code;
  return f.code;
}

TEST(FactorGrammar, EveryProcSpellingLandsInItsFieldOrBit) {
  for (const Case& c : proc_cases()) {
    FParse p({"PROC FACTOR " + c.text});
    ASSERT_EQ(p.status, 0) << c.text << ": " << p.sink.str();
    const ParsedRecord& r = p.rec();
    if (c.field > 0) {
      EXPECT_TRUE(r.has(c.field)) << c.text;
      if (c.code) {
        EXPECT_EQ(code_of(r[c.field]), c.code) << c.text;
      }
      if (c.number != kAny) {
        EXPECT_DOUBLE_EQ(r[c.field].number, c.number) << c.text;
      }
      for (int f = 1; f < F::kEnd; ++f)
        if (f != c.field) {
          EXPECT_FALSE(r.has(f)) << c.text << " also gave field " << f;
        }
    } else {
      for (int f = 1; f < F::kEnd; ++f) EXPECT_FALSE(r.has(f)) << c.text;
    }
    // Exactly the expected bit (value words of NFACTORS= carry their own).
    std::size_t bits = r.bits.count();
    if (c.bit >= 0) {
      EXPECT_TRUE(r.bit(c.bit)) << c.text;
      EXPECT_EQ(bits, 1u) << c.text;
    } else if (c.field != F::kNfactors) {
      EXPECT_EQ(bits, 0u) << c.text;
    }
  }
}

TEST(FactorGrammar, EveryGrammarSpellingHasACase) {
  std::set<std::string> keys;
  for (const Case& c : proc_cases()) keys.insert(c.key);
  std::set<std::string> seen;
  const OptionTable& proc = *factorg().proc;
  EXPECT_TRUE(proc.duplicates.empty());
  for (const OptionDef& o : proc.options) {
    for (const char* s : o.spellings) {
      seen.insert(s);
      EXPECT_TRUE(keys.count(s)) << "no case for option " << s;
    }
    for (const WordDef& w : o.words) {
      std::string key = std::string(o.spellings[0]) + "=" + w.word;
      seen.insert(key);
      EXPECT_TRUE(keys.count(key)) << "no case for value " << key;
    }
  }
  for (const std::string& k : keys) EXPECT_TRUE(seen.count(k)) << "the grammar lacks " << k;
}

TEST(FactorGrammar, NumbersOfFactorsKeepEveryWordGiven) {
  FParse p({"PROC FACTOR NFACTORS=MAP2 NFACTORS=MAP4 N=3"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  EXPECT_TRUE(p.rec().bit(B::kNfMap2));
  EXPECT_TRUE(p.rec().bit(B::kNfMap4));
  EXPECT_FALSE(p.rec().bit(B::kNfParallel));
  EXPECT_EQ(p.rec()[F::kNfactors].number, 3);
  FParse m({"PROC FACTOR N=MAP"});
  EXPECT_TRUE(m.rec().bit(B::kNfMap2));
  EXPECT_FALSE(m.rec().bit(B::kNfMap4));
  EXPECT_TRUE(std::isnan(m.rec()[F::kNfactors].number));
}

TEST(FactorGrammar, ParallelOptionsInBothPlaces) {
  FParse p({"PROC FACTOR NFACTORS=PARALLEL(ALPHA=0.1 NSIMS=500 SEED=7) PARALLEL(NSIMS=300)"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  ASSERT_TRUE(p.rec()[F::kNfactors].sub);
  const ParsedRecord& nf = *p.rec()[F::kNfactors].sub;
  EXPECT_EQ(nf[factorg_pa::kAlpha].number, 0.1);
  EXPECT_EQ(nf[factorg_pa::kNsims].number, 500);
  EXPECT_EQ(nf[factorg_pa::kSeed].number, 7);
  ASSERT_TRUE(p.rec()[F::kParallel].sub);
  EXPECT_EQ((*p.rec()[F::kParallel].sub)[factorg_pa::kNsims].number, 300);
  EXPECT_TRUE(p.rec().bit(B::kParallel));
}

TEST(FactorGrammar, PlotOptionsForAllGraphsAndPerRequest) {
  FParse p(
      {"PROC FACTOR PLOTS(FLIP UNPACKPANEL NPLOT=3)=(SCREE(UNPACK) LOADINGS(VECTOR "
       "PLOTREF CIRCLES=0.5 0.7 NPLOT=4) INITPATTERN(CIRCLE))"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  namespace PO = factorg_plotopt;
  const FieldValue& f = p.rec()[F::kPlots];
  ASSERT_TRUE(f.sub);
  EXPECT_TRUE(f.sub->bit(PO::kFlip));
  EXPECT_TRUE(f.sub->bit(PO::kUnpack));
  EXPECT_EQ((*f.sub)[PO::kNplot].number, 3);
  ASSERT_EQ(f.items.size(), 3u);
  EXPECT_TRUE(f.items[0].options->bit(PO::kUnpack));
  const ParsedRecord& ld = *f.items[1].options;
  EXPECT_TRUE(ld.bit(PO::kVector));
  EXPECT_TRUE(ld.bit(PO::kPlotref));
  EXPECT_EQ(ld[PO::kCircleValues].numbers, (std::vector<double>{0.5, 0.7}));
  EXPECT_EQ(ld[PO::kNplot].number, 4);
  EXPECT_TRUE(f.items[2].options->bit(PO::kCircle));
  EXPECT_FALSE(p.rec().bit(B::kPlot));  // PLOTS= is not the line-printer PLOT
  // Loadings options are not scree options.
  FParse bad({"PROC FACTOR PLOTS=SCREE(FLIP)"});
  EXPECT_EQ(bad.errors(msg::kUnknownOption), 1);
}

TEST(FactorGrammar, PriorListsWithRangesAndTheStatementForm) {
  FParse p({"PROC FACTOR PRIORS=(0.2 TO 0.4 BY 0.1, 0.9) MSA"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  ASSERT_EQ(p.rec()[F::kPriors].numbers.size(), 4u);
  EXPECT_NEAR(p.rec()[F::kPriors].numbers[2], 0.4, 1e-12);
  EXPECT_EQ(p.rec()[F::kPriors].numbers[3], 0.9);
  EXPECT_TRUE(p.rec().bit(B::kMsa));
  FParse s({"PROC FACTOR", "PRIORS 0.5 0.6"});
  EXPECT_EQ(s.rec()[F::kPriors].numbers, (std::vector<double>{0.5, 0.6}));
  FParse k({"PROC FACTOR", "PRIOR ASMC"});
  EXPECT_EQ(k.rec()[F::kPriors].code, 4);
  FParse t({"PROC FACTOR", "PRIORS 0.1 TO 0.3"});  // the statement takes no ranges
  EXPECT_EQ(t.status, kParseStatus);
}

TEST(FactorGrammar, SecondaryStatementsAndTheirAliases) {
  struct S {
    const char* text;
    int field;
  } cases[] = {{"VAR x1-x3", F::kVar},     {"VARIABLES a--b", F::kVar},
               {"PARTIAL z", F::kPartial}, {"FREQ f", F::kFreq},
               {"FREQUENCY f", F::kFreq},  {"WEIGHT w", F::kWeight},
               {"WEIGHTS w", F::kWeight},  {"BY DESCENDING g h NOTSORTED", F::kBy},
               {"PRIORS SMC", F::kPriors}, {"PRIOR 0.5", F::kPriors}};
  std::set<std::string> written;
  for (const S& c : cases) {
    FParse p({"PROC FACTOR", c.text});
    ASSERT_EQ(p.status, 0) << c.text << p.sink.str();
    EXPECT_TRUE(p.rec().has(c.field)) << c.text;
    std::string word(c.text, std::string(c.text).find(' '));
    written.insert(word);
  }
  FParse by({"PROC FACTOR", "BY DESCENDING g h NOTSORTED"});
  EXPECT_TRUE(by.rec()[F::kBy].vars[0].descending);
  EXPECT_TRUE(by.rec().bit(B::kNotsorted));
  for (const StatementDef& s : factorg().statements)
    for (const char* sp : s.spellings)
      if (!s.own_record) {
        EXPECT_TRUE(written.count(sp)) << "no case for statement " << sp;
      }
}

TEST(FactorGrammar, PathDiagramStatementsAreKeptApart) {
  namespace PD = factorg_pd;
  FParse p({"PROC FACTOR",
            "PATHDIAGRAM ARRANGE=GRIP NODELABEL=VLABEL ALPHALOAD=5 NOEST NOVARIANCE "
            "NOERRORVARIANCE NOFACTORVARIANCE NOTITLE LABELS={x1='First' x2=Second} "
            "DLABEL='Model' FACTSIZE=1 DECP=2 FUZZ=0.3 SALIENCE=0.2 DH=400 DW=500 "
            "TEXTSIZEMIN=8 SCALE=2",
            "PATHDIAGRAM ARRANGEMENT=FLOW METHOD=AUTOMATIC NODELABEL=VNAME ALPHA=10 NOESTIM "
            "NOERRVAR NOFACTORVAR LABEL=(x3='Third') DIAGRAMLABEL=m2 TITLE='t' FACTORSIZE=0.5 "
            "COVER=0.1 DESIGNHEIGHT=100 DESIGNWIDTH=10922 DIAGRAMSCALE=6",
            "PATHDIAGRAM ARRANGE=GROUPEDFLOW NODELABEL=VARNAME", "PATHDIAGRAM NODELABEL=VARLABEL"});
  ASSERT_EQ(p.status, 0) << p.sink.str();
  ASSERT_EQ(p.step.statements.size(), 5u);
  std::size_t at = 0;
  ASSERT_EQ(findstmt("PATHDIAG", nullptr, p.step.statements, 0, &at, 0, nullptr, 0), 1);
  EXPECT_EQ(at, 1u);
  const ParsedRecord& a = p.step.statements[1].record;
  EXPECT_EQ(a[PD::kArrange].code, 4);
  EXPECT_EQ(a[PD::kNodelabel].code, 2);
  EXPECT_EQ(a[PD::kAlpha].number, 5);
  for (int b : {PD::kNoestim, PD::kNovariance, PD::kNoerrvar, PD::kNofactorvar, PD::kNotitle})
    EXPECT_TRUE(a.bit(b)) << b;
  ASSERT_EQ(a[PD::kLabel].pairs.size(), 2u);
  EXPECT_EQ(a[PD::kLabel].pairs[1].second, "Second");
  EXPECT_EQ(a[PD::kDiagramlabel].text, "Model");
  EXPECT_EQ(a[PD::kDesignwidth].number, 500);
  EXPECT_EQ(a[PD::kDiagramscale].number, 2);
  const ParsedRecord& b = p.step.statements[2].record;
  EXPECT_EQ(b[PD::kArrange].code, 9);  // the later spelling wins
  EXPECT_EQ(b[PD::kNodelabel].code, 1);
  EXPECT_FALSE(b.bit(PD::kNotitle));
  EXPECT_EQ(b[PD::kTitle].text, "t");
  EXPECT_EQ(b[PD::kCover].number, 0.1);
  EXPECT_EQ(p.step.statements[3].record[PD::kArrange].code, 3);
  EXPECT_EQ(p.step.statements[4].record[PD::kNodelabel].code, 2);
  // Nothing of a path diagram reaches the procedure record.
  EXPECT_EQ(p.rec().bits.count(), 0u);
  // findstmt goes on from a position, and stops at a stop name.
  EXPECT_EQ(findstmt("PATHDIAGRAM", nullptr, p.step.statements, 2, &at, 0, nullptr, 0), 1);
  EXPECT_EQ(at, 2u);
  const char* stops[] = {"PATHDIAG"};
  EXPECT_EQ(findstmt("VAR", "VARIABLE", p.step.statements, 1, &at, 1, stops, 0), 0);
  EXPECT_EQ(findstmt("NOSUCH", nullptr, p.step.statements, 0, &at, 0, nullptr, 0), 0);
  // Every option of the statement has a spelling written above.
  const StatementDef& pd = factorg().statements.back();
  ASSERT_TRUE(pd.own_record);
  std::string all =
      "ARRANGE ALPHALOAD NOEST NOVARIANCE NOERRORVARIANCE NOFACTORVARIANCE NOTITLE "
      "LABELS DLABEL FACTSIZE DECP FUZZ SALIENCE DH DW TEXTSIZEMIN SCALE ARRANGEMENT "
      "METHOD NODELABEL ALPHA NOESTIM NOERRVAR NOFACTORVAR LABEL DIAGRAMLABEL TITLE "
      "FACTORSIZE COVER DESIGNHEIGHT DESIGNWIDTH DIAGRAMSCALE ";
  for (const OptionDef& o : pd.options->options)
    for (const char* s : o.spellings)
      EXPECT_NE(all.find(std::string(s) + " "), std::string::npos) << "no case for " << s;
}

// Every ranged option: the bounds pass, the values just outside fail with
// one range message naming the option.
struct Ranged {
  std::string form;  // "%" is replaced by the value
  double lo, hi;     // NaN: unbounded on that side
  bool integer;
};

std::vector<Ranged> ranged() {
  const double none = std::nan("");
  // clang-format off
  return {
      {"PROC FACTOR MAXITER=%", 0, 32767, true}, {"PROC FACTOR CONVERGE=%", 0, none, false},
      {"PROC FACTOR SINGULAR=%", 0, 1, false}, {"PROC FACTOR NOBS=%", 0, none, false},
      {"PROC FACTOR NTHREADS=%", 0, none, true},
      {"PROC FACTOR NFACTORS=PARALLEL(ALPHA=%)", 0, 1, false},
      {"PROC FACTOR PARALLEL(NSIMS=%)", 200, none, true},
      {"PROC FACTOR PARALLEL(SEED=%)", 1, none, true}, {"PROC FACTOR MINEIGEN=%", 0, none, false},
      {"PROC FACTOR PROPORTION=%", 0, 100, false}, {"PROC FACTOR FUZZ=%", 0, none, false},
      {"PROC FACTOR FLAG=%", 0, none, false}, {"PROC FACTOR NPLOT=%", 2, 32767, true},
      {"PROC FACTOR HYPVALUE=%", 0, none, false}, {"PROC FACTOR ALPHA=%", 0, 100, false},
      {"PROC FACTOR COVER=%", 0, none, false}, {"PROC FACTOR PLOTS(NPLOT=%)=ALL", 2, 32767, true},
      {"PROC FACTOR PLOTS=LOADINGS(NPLOT=%)", 2, 32767, true},
      {"PROC FACTOR POWER=%", 1, 32767, true}, {"PROC FACTOR ROTATE=PROMAX(%)", 1, 32767, true},
      {"PROC FACTOR RITER=%", 0, none, true},
      {"PROC FACTOR RCONVERGE=%", 0, none, false}, {"PATHDIAGRAM ALPHA=%", 0, 100, false},
      {"PATHDIAGRAM FACTORSIZE=%", 0, 5, false}, {"PATHDIAGRAM DECP=%", 0, 4, true},
      {"PATHDIAGRAM FUZZ=%", 0, none, false}, {"PATHDIAGRAM COVER=%", 0, none, false},
      {"PATHDIAGRAM DESIGNHEIGHT=%", 100, 10922, true},
      {"PATHDIAGRAM DESIGNWIDTH=%", 100, 10922, true}, {"PATHDIAGRAM TEXTSIZEMIN=%", 4, 40, true},
      {"PATHDIAGRAM DIAGRAMSCALE=%", 0, 6, false},
  };
  // clang-format on
}

std::string fill(const std::string& form, double v) {
  std::ostringstream s;
  s.precision(10);
  s << v;
  std::string out = form;
  out.replace(out.find('%'), 1, s.str());
  return out;
}

std::vector<std::string> program(const std::string& text) {
  if (text.rfind("PATHDIAGRAM", 0) == 0) return {"PROC FACTOR", text};
  return {text};
}

TEST(FactorGrammar, EveryRangedOptionRejectsValuesJustOutside) {
  for (const Ranged& r : ranged()) {
    const double step = r.integer ? 1 : 1e-6;
    for (double inside : {r.lo, r.hi}) {
      if (std::isnan(inside)) continue;
      FParse p(program(fill(r.form, inside)));
      EXPECT_EQ(p.status, 0) << fill(r.form, inside) << p.sink.str();
    }
    for (double outside : {r.lo - step, r.hi + step}) {
      if (std::isnan(outside)) continue;
      std::string text = fill(r.form, outside);
      FParse p(program(text));
      EXPECT_EQ(p.status, kParseStatus) << text;
      EXPECT_EQ(p.errors(msg::kOptionOutOfRange), 1) << text << ": " << p.sink.str();
      EXPECT_EQ(p.log.entries().size(), 1u) << text;
    }
  }
}

TEST(FactorGrammar, EveryRangedOptionOfTheGrammarIsInTheRangeTable) {
  std::string forms;
  for (const Ranged& r : ranged()) forms += r.form + "\n";
  auto check = [&](const OptionTable& t, const std::string& where) {
    for (const OptionDef& o : t.options)
      if (o.range.limited()) {
        std::string at = std::string(o.spellings[0]) + "=%";
        bool found =
            forms.find(" " + at) != std::string::npos || forms.find("(" + at) != std::string::npos;
        EXPECT_TRUE(found) << where << " " << o.spellings[0];
      }
  };
  check(*factorg().proc, "PROC FACTOR");
  check(*factorg().statements.back().options, "PATHDIAGRAM");
  for (const OptionDef& o : factorg().proc->options) {
    if (o.before_equals) check(*o.before_equals, "PLOTS()");
    if (o.after_name) check(*o.after_name, "PARALLEL()");
    for (const WordDef& w : o.words)
      if (w.options) check(*w.options, std::string(o.spellings[0]) + "=" + w.word);
  }
}

TEST(FactorGrammar, RejectedValuesOfTheDocumentedKinds) {
  struct Bad {
    const char* text;
    int number;
  } cases[] = {
      {"PROC FACTOR NFACTORS=PARALLEL(ALPHA=0.5 NSIMS=1)", msg::kOptionOutOfRange},
      {"PROC FACTOR PREROTATE=PROMAX", msg::kBadOptionValue},
      {"PROC FACTOR PREROTATE=PROCRUSTES", msg::kBadOptionValue},
      {"PROC FACTOR ROTATE=ORTHCF(1)", msg::kBadOptionValue},
      {"PROC FACTOR ROTATE=PROMAX(2,3)", msg::kBadOptionValue},
      {"PROC FACTOR METHOD=GLS", msg::kBadOptionValue},
      {"PROC FACTOR MAXITER=2.5", msg::kBadOptionValue},
      {"PROC FACTOR NOPRINT=1", msg::kBadOptionValue},
      {"PROC FACTOR VARDEF=X", msg::kBadOptionValue},
      {"PROC FACTOR BOGUS", msg::kUnknownOption},
  };
  for (const Bad& b : cases) {
    FParse p({b.text});
    EXPECT_EQ(p.status, kParseStatus) << b.text;
    EXPECT_EQ(p.errors(b.number), 1) << b.text << ": " << p.sink.str();
  }
}

}  // namespace
}  // namespace kav
