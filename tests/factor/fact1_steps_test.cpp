// fact1 on whole PROC FACTOR statements: the messages and step status of
// conflicts and bad input, and the few values it derives that change every
// later result (scales of percentages, defaults, seeds).  Data sets are made
// by DATA steps in an in-memory WORK; fact1 runs on a record of its own so
// that what it leaves can be looked at even when the step ends early.
#include <gtest/gtest.h>

#include <sstream>

#include "factor/state/factds.h"
#include "factor/state/step_record.h"
#include "factor/step/factor.h"
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

  // Messages of the procedure's and the graphics groups, in order.
  std::vector<int> messages() const {
    std::vector<int> out;
    for (const auto& e : session.log.since(mark))
      if (e.group == 180 || e.group == 210) out.push_back(e.number);
    return out;
  }
  std::string log() const { return log_text.str(); }
};

TEST(Fact1, ConflictsAndBadInputEndWithTheirMessagesAndStatus) {
  struct Case {
    const char* proc;
    int exit;
    std::vector<int> messages;
  } cases[] = {
      // Conflicts that end the step.
      {"proc factor data=raw method=image priors=one;", 2000, {3}},
      {"proc factor data=raw method=harris priors=max;", 2000, {3}},
      {"proc factor data=raw rotate=procrustes;", 3000, {115}},
      {"proc factor data=raw nfactors=map2 nfactors=map4;", 3000, {77}},
      {"proc factor data=raw nfactors=parallel nfactors=map;", 3000, {80}},
      {"proc factor data=c out=o nfactors=2;", 2000, {9}},
      {"proc factor data=raw out=o;", 2000, {10}},
      {"proc factor data=raw nfactors=parallel(nsims=200 alpha=0.999);", 3000, {304}},
      {"proc factor data=raw parallel(alpha=0);", 3000, {305}},
      {"proc factor data=raw method=image nfactors=map4;", 3000, {421}},
      {"proc factor data=raw method=pattern nfactors=parallel;", 3000, {421}},
      {"proc factor data=c method=ml weight;", 2000, {185}},
      {"proc factor data=raw weight;", 2000, {5}},
      {"proc factor data=raw priors=input;", 2000, {4}},
      {"proc factor data=fac;", 1008, {7}},
      {"proc factor data=raw nfactors=map; var x1;", 3000, {309}},
      {"proc factor data=c priors=.5 .6; var x1-x3;", 3000, {2}},
      {"proc factor data=c; var x1-x3; priors .5 .6;", 3000, {2}},
      // Variables and targets.
      {"proc factor data=raw; var x1 nope;", 1008, {}},
      {"proc factor data=tgt; var x3;", 1008, {}},
      {"proc factor data=tgt; var x1-x2; partial f;", 0, {}},
      {"proc factor data=raw target=tgt; var x1 x2;", 0, {}},
      {"proc factor data=raw target=tgt; var x1 x4;", 1008, {8}},
      {"proc factor data=c target=tgt; var x1-x3;", 1008, {182}},
      {"proc factor data=raw target=tgt; var x1 x2; by f w;", 1008, {176}},
      {"proc factor data=raw nfactors=parallel(alpha=0.5 nsims=1);", kParseStatus, {}},
      {"proc factor data=raw; class x1;", kParseStatus, {}},
      // Notes that leave the status alone.
      {"proc factor data=raw out=o nfactors=2 prefix=x; var x3 x4;", 0, {352, 352}},
      {"proc factor data=raw nfactors=3 nfactors=parallel(seed=5 nsims=300);", 0, {78}},
      {"proc factor data=raw n=map4 n=2;", 0, {79}},
      {"proc factor data=raw n=map;", 0, {}},
      {"proc factor data=raw method=image parallel map;", 0, {422, 422}},
      {"proc factor data=raw map; var x2;", 0, {308}},
      {"proc factor data=raw method=ml hypvalue=0 onetail alpha=10;", 0, {354}},
      {"proc factor data=raw noint;", 0, {175}},
      {"proc factor data=ss; var intercept x1 x2;", 0, {181}},
      {"proc factor data=raw noprint plots=all;", 0, {1102}},
      {"proc factor data=raw plots=(scree none);", 0, {1100}},
      {"proc factor data=raw;", 0, {}},
  };
  for (const Case& c : cases) {
    Fact1Run r(c.proc);
    EXPECT_EQ(r.exit, c.exit) << c.proc << "\n" << r.log();
    EXPECT_EQ(r.messages(), c.messages) << c.proc << "\n" << r.log();
  }
  Fact1Run off("proc factor data=raw plots=scree;", false);  // no output manager
  EXPECT_EQ(off.messages(), std::vector<int>{1104});

  // Several notes at once; the status is left as it was.
  Fact1Run r("proc factor data=raw method=image msa heywood ultraheywood stderr;");
  EXPECT_EQ(r.exit, 0) << r.log();
  auto m = r.messages();
  std::sort(m.begin(), m.end());
  EXPECT_EQ(m, (std::vector<int>{299, 353, 420}));
}

TEST(Fact1, PercentagesOnBothScalesAndTheDefaultDivisor) {
  for (const char* o : {"proportion=80 alpha=5", "proportion=0.8 alpha=0.05"}) {
    Fact1Run r(std::string("proc factor data=raw method=ml ") + o + ";");
    ASSERT_EQ(r.exit, 0) << r.log();
    EXPECT_DOUBLE_EQ(r.com->percentp, 0.8) << o;
    EXPECT_DOUBLE_EQ(r.com->alpha, 0.05) << o;
  }
  Fact1Run d("proc factor data=raw;");
  ASSERT_EQ(d.exit, 0) << d.log();
  EXPECT_EQ(std::string(d.com->vardef, 8), "DF      ");
}

TEST(Fact1, SeedsAreReducedAndRecorded) {
  struct Case {
    const char* option;
    std::int64_t seed;
  } cases[] = {{"", 0},
               {"random=-5", 0},
               {"random=42", 42},
               {"random=9007199254740992", 9007199254740992LL},
               {"random=100000000000000000000", 11368684}};
  for (const Case& c : cases) {
    Fact1Run r(std::string("proc factor data=raw ") + c.option + ";");
    ASSERT_EQ(r.exit, 0) << c.option << r.log();
    EXPECT_EQ(r.session.macros.get("SYSRANDOM").value_or("?"), std::to_string(c.seed)) << c.option;
  }
}

}  // namespace
}  // namespace kav
