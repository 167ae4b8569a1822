// fact1 on whole PROC FACTOR steps: the option fields, flags, messages and
// step status it leaves, including the documented conflicts.  Data sets are
// made by DATA steps in an in-memory WORK; fact1 runs on a record of its own
// so that the fields can be looked at even when the step ends early.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "factor/fact1_options.h"
#include "factor/factds.h"
#include "factor/factor.h"
#include "host/output.h"
#include "host/services.h"
#include "host/session.h"
#include "host/value.h"
#include "lang/program.h"
#include "lang/reader.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

const char* kData = R"(
data raw;
  input x1 x2 x3 x4 x5 f w;
  datalines;
1 2 3 4 5 1 1
2 3 4 5 1 1 2
3 4 5 1 2 2 1
4 5 1 2 3 1 1
5 1 2 3 4 2 2
6 2 2 2 2 1 1
;
data c(type=corr);
  _type_ = 'CORR';
  input _name_ $ x1 x2 x3;
  datalines;
x1 1 .5 .3
x2 .5 1 .4
x3 .3 .4 1
;
data fac(type=factor);
  _type_ = 'PATTERN';
  input x1 x2 x3;
  datalines;
.5 .6 .7
;
data ss(type=sscp);
  _type_ = 'SSCP';
  input _name_ $ intercept x1 x2;
  datalines;
INTERCEPT 10 20 30
x1 20 50 60
x2 30 60 100
;
data tgt;
  input x1 x2 x3 $ f;
  datalines;
1 0 a 1
;
run;
)";

struct Fact1Run {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  OutputDelivery delivery;
  FACTSTEP step;
  COMSTR* com = &step.com;
  std::unique_ptr<StepContext> ctx;
  int exit = -1;
  std::size_t mark = 0;

  explicit Fact1Run(const std::string& proc, bool graphics = true) {
    register_builtin_procedures(session.procedures);
    session.output = graphics ? &delivery : nullptr;
    Interpreter(session).run(kData, "data.kav");
    mark = session.log.mark();
    std::vector<Statement> sts;
    ProgramReader reader(proc, "p.kav", session.macros, session.log);
    Statement st;
    while (reader.next(st)) sts.push_back(st);
    static TKHANDLE toolkit{tkxfac_load, nullptr};
    static KAVGCB control{&toolkit};
    mcn_main(&control, nullptr);
    ctx = std::make_unique<StepContext>(session, std::move(sts));
    com->host = ctx.get();
    com->step = &step;
    try {
      fact1(com);
      exit = 0;
    } catch (const StepExit& e) {
      exit = e.code;
    }
  }
  ~Fact1Run() { facexit(com); }

  int count(int number, int group = 180) const {
    int n = 0;
    for (const auto& e : session.log.since(mark)) n += e.group == group && e.number == number;
    return n;
  }
  // Messages of the procedure's and the graphics groups, in order.
  std::vector<int> messages() const {
    std::vector<int> out;
    for (const auto& e : session.log.since(mark))
      if (e.group == 180 || e.group == 210) out.push_back(e.number);
    return out;
  }
  bool flag(FoptBit b) const { return fopt_test(com, b); }
  std::string log() const { return log_text.str(); }
};

TEST(Fact1, ATypicalStepFillsTheRecord) {
  Fact1Run r(
      "proc factor data=raw method=principal priors=smc nfactors=2 rotate=varimax outstat=s;"
      " var x1-x5;");
  ASSERT_EQ(r.exit, 0) << r.log();
  EXPECT_EQ(r.com->fmethod, 1);
  EXPECT_EQ(r.com->priortyp, 1);
  EXPECT_EQ(r.com->nfactp, 2);
  EXPECT_EQ(r.com->maxfact, 2);
  EXPECT_EQ(r.com->nvar, 5);
  EXPECT_EQ(r.com->nrot, 1);
  EXPECT_EQ(r.com->rmethod[0], 2);
  EXPECT_EQ(r.com->rmethod0, kRotNone);
  EXPECT_TRUE(r.flag(kFoptOutstat));
  EXPECT_TRUE(r.flag(kFoptRawData));
  EXPECT_TRUE(r.flag(kFoptKeepCorr));
  EXPECT_TRUE(r.flag(kFoptRotate));
  EXPECT_FALSE(r.flag(kFoptOblique));
  EXPECT_TRUE(r.flag(kFoptPromaxNorm));
  EXPECT_EQ(r.com->ritr, 100);
  EXPECT_EQ(r.com->maxiter, 30);
  EXPECT_DOUBLE_EQ(r.com->epsilon, 0.001);
  EXPECT_DOUBLE_EQ(r.com->singular, 1e-7);
  EXPECT_TRUE(is_missing(r.com->mineigp));
  EXPECT_TRUE(is_missing(r.com->hypval));
  EXPECT_EQ(std::string(r.com->vardef, 8), "DF      ");
  EXPECT_EQ(std::string(r.com->parpfix, 2), "R_");
  EXPECT_NE(r.com->tran, nullptr);
  EXPECT_EQ(r.com->struc, nullptr);
  EXPECT_NE(r.com->tkxfacInst, nullptr);
  EXPECT_TRUE(r.messages().empty()) << r.log();
}

TEST(Fact1, PercentagesAndLevelsOnBothScales) {
  for (const char* o : {"proportion=80 alpha=5", "proportion=0.8 alpha=0.05"}) {
    Fact1Run r(std::string("proc factor data=raw method=ml ") + o + ";");
    ASSERT_EQ(r.exit, 0) << r.log();
    EXPECT_DOUBLE_EQ(r.com->percentp, 0.8) << o;
    EXPECT_DOUBLE_EQ(r.com->alpha, 0.05) << o;
    EXPECT_TRUE(r.flag(kFoptIntervals));
    EXPECT_TRUE(r.flag(kFoptStderr));
    EXPECT_EQ(r.com->cover, 0);
  }
}

TEST(Fact1, PriorListsMustMatchTheVariables) {
  for (const char* p : {"proc factor data=c priors=.5 .6; var x1-x3;",
                        "proc factor data=c; var x1-x3; priors .5 .6;"}) {
    Fact1Run r(p);
    EXPECT_EQ(r.exit, 3000) << p;
    EXPECT_EQ(r.com->priortyp, 7) << p;
    EXPECT_EQ(r.messages(), std::vector<int>{2}) << p;
  }
  Fact1Run ok("proc factor data=c priors=(.5 TO .7 BY .1); var x1-x3;");
  ASSERT_EQ(ok.exit, 0) << ok.log();
  EXPECT_DOUBLE_EQ(ok.com->priors[2], 0.7);
}

TEST(Fact1, DocumentedConflictsEndWithOneMessage) {
  struct Case {
    const char* proc;
    int exit;
    int message;
  } cases[] = {
      {"proc factor data=raw method=image priors=one;", 2000, 3},
      {"proc factor data=raw method=harris priors=max;", 2000, 3},
      {"proc factor data=raw rotate=procrustes;", 3000, 115},
      {"proc factor data=raw nfactors=map2 nfactors=map4;", 3000, 77},
      {"proc factor data=raw nfactors=parallel nfactors=map;", 3000, 80},
      {"proc factor data=c out=o nfactors=2;", 2000, 9},
      {"proc factor data=raw out=o;", 2000, 10},
      {"proc factor data=raw nfactors=parallel(nsims=200 alpha=0.999);", 3000, 304},
      {"proc factor data=raw parallel(alpha=0);", 3000, 305},
      {"proc factor data=raw method=image nfactors=map4;", 3000, 421},
      {"proc factor data=raw method=pattern nfactors=parallel;", 3000, 421},
      {"proc factor data=c method=ml weight;", 2000, 185},
      {"proc factor data=raw weight;", 2000, 5},
      {"proc factor data=raw priors=input;", 2000, 4},
      {"proc factor data=fac;", 1008, 7},
      {"proc factor data=raw nfactors=map; var x1;", 3000, 309},
  };
  for (const Case& c : cases) {
    Fact1Run r(c.proc);
    EXPECT_EQ(r.exit, c.exit) << c.proc << "\n" << r.log();
    EXPECT_EQ(r.messages(), std::vector<int>{c.message}) << c.proc << "\n" << r.log();
  }
}

TEST(Fact1, OutIsDroppedWhenItCannotBeHonoured) {
  Fact1Run r("proc factor data=c out=o nfactors=2;");
  EXPECT_FALSE(r.flag(kFoptOut));
  Fact1Run ok("proc factor data=raw out=o nfactors=2 prefix=sc; var x1-x3;");
  ASSERT_EQ(ok.exit, 0) << ok.log();
  EXPECT_TRUE(ok.flag(kFoptOut));
  EXPECT_TRUE(ok.flag(kFoptScore));  // OUT= asks for scoring coefficients
  EXPECT_EQ(ok.step.outcopy.size(), 7u);
  EXPECT_EQ(std::string(ok.com->fname, 3), "sc1");
  EXPECT_EQ(std::string(ok.com->fname + ok.com->fname_l, 3), "sc2");
}

TEST(Fact1, ScoreNamesThatClashAreNotCopiedToOut) {
  Fact1Run r("proc factor data=raw out=o nfactors=2 prefix=x; var x3 x4;");
  ASSERT_EQ(r.exit, 0) << r.log();
  EXPECT_EQ(r.count(352), 2);  // x1 and x2 are the names of the two score variables
  EXPECT_EQ(r.step.outcopy, (std::vector<int>{2, 3, 4, 5, 6}));
}

TEST(Fact1, TheGraphRule) {
  Fact1Run quiet("proc factor data=raw noprint plots=all;");
  EXPECT_EQ(quiet.exit, 0);
  EXPECT_EQ(quiet.messages(), std::vector<int>{1102});
  EXPECT_EQ(quiet.com->ods, nullptr);
  for (FoptBit b : {kFoptPlotScree, kFoptPlotLoadings, kFoptPathDiagram, kFoptPlotMap2})
    EXPECT_FALSE(quiet.flag(b));

  Fact1Run none("proc factor data=raw plots=(scree none);");
  EXPECT_EQ(none.messages(), std::vector<int>{1100});
  EXPECT_FALSE(none.flag(kFoptPlotScree));

  Fact1Run off("proc factor data=raw plots=scree;", false);
  EXPECT_EQ(off.messages(), std::vector<int>{1104});
  EXPECT_FALSE(off.flag(kFoptPlotScree));

  // ALL draws MAP and parallel-analysis graphs only for analyses computed anyway.
  Fact1Run all("proc factor data=raw plots=all;");
  EXPECT_TRUE(all.flag(kFoptPlotScree));
  EXPECT_TRUE(all.flag(kFoptPlotLoadings));
  EXPECT_TRUE(all.flag(kFoptPlotInitLoadings));
  EXPECT_TRUE(all.flag(kFoptPlotPreLoadings));
  EXPECT_TRUE(all.flag(kFoptPathDiagram));
  EXPECT_FALSE(all.flag(kFoptPlotMap2));
  EXPECT_FALSE(all.flag(kFoptPlotParallel));
  EXPECT_EQ(all.com->calcmap, 0);
  Fact1Run with_map("proc factor data=raw map plots=all;");
  EXPECT_TRUE(with_map.flag(kFoptPlotMap2));
  EXPECT_TRUE(with_map.flag(kFoptPlotMap4));

  // A single request switches its analysis on.
  Fact1Run map4("proc factor data=raw plots=(map4 parallel);");
  EXPECT_FALSE(map4.flag(kFoptPlotMap2));
  EXPECT_TRUE(map4.flag(kFoptPlotMap4));
  EXPECT_TRUE(map4.flag(kFoptPlotParallel));
  EXPECT_EQ(map4.com->calcmap, 1);
  EXPECT_EQ(map4.com->calcpa, 1);
  EXPECT_NE(map4.com->evalpa, nullptr);

  // A PATHDIAGRAM statement is a graph request of its own.
  Fact1Run pd("proc factor data=raw; pathdiagram; pathdiagram arrange=grip;");
  EXPECT_TRUE(pd.flag(kFoptPathDiagram));
  EXPECT_FALSE(pd.flag(kFoptPlotScree));
  EXPECT_EQ(pd.step.parsed.statements.size(), 3u);
  // No request: no graph bits and no message.
  Fact1Run plain("proc factor data=raw;");
  EXPECT_TRUE(plain.messages().empty());
  EXPECT_FALSE(plain.flag(kFoptPathDiagram));
}

TEST(Fact1, NumberOfFactorsAids) {
  Fact1Run pa("proc factor data=raw nfactors=3 nfactors=parallel(seed=5 nsims=300) mineigen=1;");
  ASSERT_EQ(pa.exit, 0) << pa.log();
  EXPECT_EQ(pa.count(78), 1);
  EXPECT_EQ(pa.com->usepa, 1);
  EXPECT_EQ(pa.com->calcpa, 1);
  EXPECT_EQ(pa.com->maxfact, 7);
  EXPECT_EQ(pa.com->nsimspa, 300);
  EXPECT_EQ(pa.com->pa_seed, 5);
  EXPECT_DOUBLE_EQ(pa.com->alphapa, 0.05);

  Fact1Run map("proc factor data=raw n=map;");
  EXPECT_EQ(map.com->usemap, 2);
  EXPECT_EQ(map.com->calcmap, 1);
  EXPECT_TRUE(map.messages().empty());
  Fact1Run map4("proc factor data=raw n=map4 n=2;");
  EXPECT_EQ(map4.com->usemap, 4);
  EXPECT_EQ(map4.count(79), 1);

  // Display-only aids are dropped for methods that cannot serve them.
  Fact1Run img("proc factor data=raw method=image parallel map;");
  ASSERT_EQ(img.exit, 0) << img.log();
  EXPECT_EQ(img.count(422), 2);
  EXPECT_EQ(img.com->calcpa, 0);
  EXPECT_EQ(img.com->calcmap, 0);
  Fact1Run one("proc factor data=raw map; var x2;");
  EXPECT_EQ(one.exit, 0);
  EXPECT_EQ(one.messages(), std::vector<int>{308});
  EXPECT_EQ(one.com->calcmap, 0);

  Fact1Run diag("proc factor data=raw nfactors=-1;");
  EXPECT_EQ(diag.com->nfactp, -1);
  EXPECT_EQ(diag.com->maxfact, 0);
  Fact1Run big("proc factor data=raw nfactors=50;");
  EXPECT_EQ(big.com->nfactp, 7);
}

TEST(Fact1, SeedsAreReducedAndRecorded) {
  struct Case {
    const char* option;
    std::int64_t seed;
  } cases[] = {{"", 0},
               {"random=0", 0},
               {"random=-5", 0},
               {"random=42", 42},
               {"random=9007199254740992", 9007199254740992LL},
               {"random=100000000000000000000", 11368684}};
  for (const Case& c : cases) {
    Fact1Run r(std::string("proc factor data=raw ") + c.option + ";");
    ASSERT_EQ(r.exit, 0) << c.option << r.log();
    EXPECT_EQ(r.com->seed, c.seed) << c.option;
    EXPECT_EQ(r.session.macros.get("SYSRANDOM").value_or("?"), std::to_string(c.seed)) << c.option;
  }
}

TEST(Fact1, DerivedFlags) {
  Fact1Run raw_all("proc factor data=raw all;");
  for (FoptBit b : {kFoptEigenvectors, kFoptPrint, kFoptScore, kFoptResiduals, kFoptSimple,
                    kFoptCorr, kFoptMsa})
    EXPECT_TRUE(raw_all.flag(b));
  Fact1Run corr_all("proc factor data=c all;");
  EXPECT_TRUE(corr_all.flag(kFoptResiduals));
  EXPECT_FALSE(corr_all.flag(kFoptSimple));
  EXPECT_FALSE(corr_all.flag(kFoptCorr));
  EXPECT_FALSE(corr_all.flag(kFoptMsa));
  EXPECT_FALSE(corr_all.flag(kFoptRawData));

  Fact1Run ml("proc factor data=c method=ml cov;");
  EXPECT_TRUE(ml.flag(kFoptVarWeights));
  Fact1Run prin("proc factor data=c;");
  EXPECT_FALSE(prin.flag(kFoptVarWeights));
  EXPECT_EQ(prin.com->priortyp, 5);
  Fact1Run uls("proc factor data=c method=uls;");
  EXPECT_EQ(uls.com->priortyp, 1);

  // A PATTERN input prints itself when nothing else is asked, and keeps no
  // correlation matrix unless something needs it.
  Fact1Run fac("proc factor data=c method=pattern;");
  EXPECT_EQ(fac.exit, 0) << fac.log();
  EXPECT_TRUE(fac.flag(kFoptPrint));
  EXPECT_FALSE(fac.flag(kFoptKeepCorr));
  EXPECT_EQ(fac.com->cor, nullptr);
  Fact1Run fac_stat("proc factor data=c method=pattern outstat=s rotate=varimax;");
  EXPECT_FALSE(fac_stat.flag(kFoptPrint));
  EXPECT_TRUE(fac_stat.flag(kFoptKeepCorr));
  Fact1Run fac_nocorr("proc factor data=c method=pattern outstat=s nocorr;");
  EXPECT_FALSE(fac_nocorr.flag(kFoptKeepCorr));

  Fact1Run plot("proc factor data=raw plot;");
  EXPECT_TRUE(plot.flag(kFoptPreplot));  // no rotation: the unrotated factors are plotted
  Fact1Run nplot("proc factor data=raw nplot=3 rotate=varimax;");
  EXPECT_TRUE(nplot.flag(kFoptPlot));
  EXPECT_FALSE(nplot.flag(kFoptPreplot));
  Fact1Run flag("proc factor data=raw flag=0.4 noint nopromaxnorm plotref;");
  EXPECT_TRUE(flag.flag(kFoptRound));
  EXPECT_TRUE(flag.flag(kFoptNoint));
  EXPECT_EQ(flag.com->noint, 1);
  EXPECT_EQ(flag.count(175), 1);
  EXPECT_FALSE(flag.flag(kFoptPromaxNorm));
  EXPECT_TRUE(flag.flag(kFoptPlotRef));
}

TEST(Fact1, InformativeMessagesLeaveTheStatus) {
  Fact1Run r("proc factor data=raw method=image msa heywood ultraheywood stderr;");
  EXPECT_EQ(r.exit, 0) << r.log();
  EXPECT_EQ(r.com->rc, 0);
  EXPECT_EQ(r.count(420), 1);
  EXPECT_EQ(r.count(353), 1);
  EXPECT_EQ(r.count(299), 1);
  EXPECT_FALSE(r.flag(kFoptUltraHeywood));
  EXPECT_TRUE(r.flag(kFoptHeywood));
  EXPECT_FALSE(r.flag(kFoptStderr));

  Fact1Run zero("proc factor data=raw method=ml hypvalue=0 onetail alpha=10;");
  EXPECT_EQ(zero.count(354), 1);
  EXPECT_TRUE(zero.flag(kFoptTwoTail));
  EXPECT_FALSE(zero.flag(kFoptOneTail));
  EXPECT_FALSE(zero.flag(kFoptIntervals));  // the test replaces the intervals
  EXPECT_TRUE(is_missing(zero.com->alpha));
  EXPECT_TRUE(zero.flag(kFoptStderr));
  Fact1Run one("proc factor data=raw method=ml hypvalue=0.3;");
  EXPECT_TRUE(one.flag(kFoptOneTail));
  Fact1Run two("proc factor data=raw method=ml hypvalue=0.3 twotail;");
  EXPECT_TRUE(two.flag(kFoptTwoTail));
  EXPECT_FALSE(two.flag(kFoptOneTail));
  Fact1Run cover("proc factor data=raw method=ml cover=0.4;");
  EXPECT_TRUE(cover.flag(kFoptIntervals));
  EXPECT_DOUBLE_EQ(cover.com->alpha, 0.05);
  EXPECT_DOUBLE_EQ(cover.com->cover, 0.4);
}

TEST(Fact1, VariableListsAndPartialVariables) {
  Fact1Run r("proc factor data=raw; var x1-x3; partial x5;");
  ASSERT_EQ(r.exit, 0) << r.log();
  EXPECT_EQ(r.com->nvar, 3);
  EXPECT_EQ(r.com->npar, 1);
  EXPECT_EQ(r.com->ntot, 4);
  EXPECT_EQ(r.com->listno, 9);
  EXPECT_EQ(r.step.varno, (std::vector<int>{0, 1, 2, 4}));
  EXPECT_EQ(std::string(r.com->vname[3].name, r.com->vname[3].len), "x5");
  EXPECT_EQ(r.com->maxnam, 2);

  Fact1Run d("proc factor data=raw; freq f; weight w;");
  EXPECT_EQ(d.com->nvar, 5);
  EXPECT_EQ(d.step.freqno, 5);
  EXPECT_EQ(d.step.weightno, 6);
  EXPECT_EQ(d.com->listno, 1);

  Fact1Run by("proc factor data=raw; by descending f; var x1--x3;");
  EXPECT_EQ(by.com->nby, 1);
  EXPECT_EQ(by.com->nvar, 3);

  Fact1Run missing("proc factor data=raw; var x1 nope;");
  EXPECT_EQ(missing.exit, 1008);
  Fact1Run typed("proc factor data=tgt; var x3;");
  EXPECT_EQ(typed.exit, 1008);
  Fact1Run nothing("proc factor data=tgt; var x1-x2; partial f;");
  EXPECT_EQ(nothing.exit, 0) << nothing.log();
}

TEST(Fact1, SpecialInputs) {
  Fact1Run ss("proc factor data=ss; var intercept x1 x2;");
  ASSERT_EQ(ss.exit, 0) << ss.log();
  EXPECT_EQ(ss.com->noint, 1);
  EXPECT_TRUE(ss.flag(kFoptNoint));
  EXPECT_EQ(ss.count(181), 1);
  Fact1Run ss_default("proc factor data=ss;");
  EXPECT_EQ(ss_default.com->nvar, 2);  // the intercept is left out of the default list
  EXPECT_EQ(ss_default.com->noint, 0);

  Fact1Run fac("proc factor data=fac;");
  EXPECT_EQ(fac.com->fmethod, 10);  // a FACTOR data set defaults to its pattern
  EXPECT_EQ(fac.messages(), std::vector<int>{7});
  EXPECT_GT(fac.com->typeno, 0);
  EXPECT_EQ(fac.com->nameno, 0);
}

TEST(Fact1, TargetChecks) {
  Fact1Run ok("proc factor data=raw target=tgt; var x1 x2;");
  ASSERT_EQ(ok.exit, 0) << ok.log();
  EXPECT_TRUE(ok.flag(kFoptTarget));
  EXPECT_EQ(ok.com->rmethod2, 13);
  Fact1Run gone("proc factor data=raw target=tgt; var x1 x4;");
  EXPECT_EQ(gone.exit, 1008);
  EXPECT_EQ(gone.messages(), std::vector<int>{8});
  Fact1Run chr("proc factor data=c target=tgt; var x1-x3;");
  EXPECT_EQ(chr.exit, 1008);
  EXPECT_EQ(chr.messages(), std::vector<int>{182});
  Fact1Run by("proc factor data=raw target=tgt; var x1 x2; by f w;");
  EXPECT_EQ(by.exit, 1008);
  EXPECT_EQ(by.messages(), std::vector<int>{176});
}

TEST(Fact1, ParseErrorsEndTheStepWithTheParseStatus) {
  Fact1Run r("proc factor data=raw nfactors=parallel(alpha=0.5 nsims=1);");
  EXPECT_EQ(r.exit, kParseStatus);
  Fact1Run u("proc factor data=raw; class x1;");
  EXPECT_EQ(u.exit, kParseStatus);
}

TEST(Fact1, ThreadsAndTheirNote) {
  Fact1Run r("proc factor data=raw nthreads=4096;");
  ASSERT_EQ(r.exit, 0) << r.log();
  EXPECT_EQ(r.com->perform.cpureq, 4096);
  EXPECT_EQ(r.count(310), r.com->perform.cpuact < 4096 ? 1 : 0);
  Fact1Run d("proc factor data=raw nthreads=0;");
  EXPECT_EQ(d.count(310), 0);
}

TEST(Fact1, RequestsOf2To53BytesAreRefused) {
  Fact1Run r("proc factor data=raw;");
  ASSERT_EQ(r.exit, 0);
  std::size_t before = r.session.log.entries().size();
  int code = 0;
  try {
    fact_alloc<double>(r.com, std::uint64_t{1} << 50);  // exactly 2^53 bytes
  } catch (const StepExit& e) {
    code = e.code;
  }
  EXPECT_EQ(code, 1016);
  ASSERT_EQ(r.session.log.entries().size(), before + 1);
  EXPECT_EQ(r.session.log.entries().back().number, 91);
  EXPECT_NE(fact_alloc<double>(r.com, (std::uint64_t{1} << 10)), nullptr);
}

}  // namespace
}  // namespace kav
