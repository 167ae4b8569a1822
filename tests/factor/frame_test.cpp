// The procedure frame: the order and conditions of the stages of a BY group,
// the BY loop with TARGET= groups, the exit codes, and the clean-up.
//
// The stages are replaced by recording ones (FACTSTAGES), so the tests see
// the calls factdo really makes; whole steps run through the program
// interpreter like any PROC FACTOR step.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "factor/factds.h"
#include "factor/factods.h"
#include "factor/factor.h"
#include "host/host_messages.h"
#include "host/output.h"
#include "host/services.h"
#include "host/session.h"
#include "lang/program.h"
#include "support/capture_destination.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

// ---------------------------------------------------------------------------
// Recording stages

struct Behaviour {
  int nfact_after_cor = 2;
  int nfact_after_pos = 2;
  int rotation_result = 0;
  int rc_after_cor = 0;
  bool nfact_from_by = false;  // factcor: nfact = x1 of the group's first observation
  bool open_group = false;     // factoig opens a result group and writes a table
  bool se_seen = false;        // a rotation found standard-error arrays still set
};

std::vector<std::string> trace;
Behaviour behave;

void rec(const std::string& s) {
  trace.push_back(s);
}
std::string arg2(const char* name, int a, int b) {
  return std::string(name) + "(" + std::to_string(a) + "," + std::to_string(b) + ")";
}

void t_factcor(COMSTR* c) {
  rec("factcor");
  c->nfact = behave.nfact_after_cor;
  factrc(c, behave.rc_after_cor);
  if (behave.nfact_from_by && c->datafid) {
    Observation obs;
    c->datafid->groups->next(obs);
    c->datafid->groups->xbyrwnd();
    c->nfact = static_cast<int>(obs.num[1]);
  }
}
#define PLAIN_STAGE(name)  \
  void t_##name(COMSTR*) { \
    rec(#name);            \
  }
PLAIN_STAGE(factcd)
PLAIN_STAGE(factprn)
PLAIN_STAGE(factpri)
PLAIN_STAGE(factnr)
PLAIN_STAGE(factim)
PLAIN_STAGE(factin)
PLAIN_STAGE(factscr)
PLAIN_STAGE(factres)
PLAIN_STAGE(factout)
PLAIN_STAGE(factpdg)
void t_factoig(COMSTR* c) {
  rec("factoig");
  if (!behave.open_group || !c->ods) return;
  factogrp(c, "InitialSolution", "Initial Solution");
  Table t;
  t.name = "Probe";
  t.template_path = "Stat.Factor.Probe";
  t.add_column("N", ColumnKind::Number);
  t.add_row({Cell(1.0)});
  c->ods->delivery->add_table(t);
}
void t_factpos(COMSTR* c) {
  rec("factpos");
  if (!behave.nfact_from_by) c->nfact = behave.nfact_after_pos;
}
void t_factplt(COMSTR*, int o, int s) {
  rec(arg2("factplt", o, s));
}
void t_factgpt(COMSTR*, int o, int s) {
  rec(arg2("factgpt", o, s));
}
int t_factrot(COMSTR* c, int m, int w) {
  if (c->factse || c->fcorse || c->strucse) behave.se_seen = true;
  rec(arg2("factrot", m, w));
  return behave.rotation_result;
}
int t_factpro(COMSTR* c, int m, int w) {
  if (c->factse || c->fcorse || c->strucse) behave.se_seen = true;
  rec(arg2("factpro", m, w));
  return behave.rotation_result;
}
void t_factstt(COMSTR*, int mode) {
  rec("factstt(" + std::to_string(mode) + ")");
}

const FACTSTAGES kTraceStages = {
    t_factcor, t_factcd,  t_factoig, t_factprn, t_factpri, t_factnr,
    t_factim,  t_factin,  t_factpos, t_factscr, t_factres, t_factplt,
    t_factgpt, t_factrot, t_factpro, t_factstt, t_factout, t_factpdg,
};

using Trace = std::vector<std::string>;

// ---------------------------------------------------------------------------
// factdo on a record prepared by hand

class FactdoTest : public ::testing::Test {
 protected:
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  StepContext ctx{session, {}};
  FACTSTEP step;
  COMSTR* com = &step.com;
  ODSOBJ manager{nullptr, nullptr};  // stands for an output manager; closes nothing

  void SetUp() override {
    trace.clear();
    behave = Behaviour{};
    step.hooks.stages = &kTraceStages;
    com->host = &ctx;
    com->step = &step;
    com->fmethod = 1;
    com->nfactp = -99;
    com->rmethod0 = kRotNone;
    com->rmethod2 = kRotNone;
    fopt_set(com, kFoptKeepCorr);
  }
  Trace run() {
    factdo(com);
    return trace;
  }
  int exit_code() {
    try {
      factdo(com);
    } catch (const StepExit& e) {
      return e.code;
    }
    return -1;
  }
  bool logged(int group, int number) {
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) return true;
    return false;
  }
};

TEST_F(FactdoTest, WithoutRotationTheUnrotatedSolutionGoesToOutstat) {
  fopt_set(com, kFoptOutstat);
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factstt(1)"}));
}

TEST_F(FactdoTest, EachMethodGoesToItsExtractionRoutine) {
  const std::pair<int, const char*> table[] = {
      {1, "factprn"}, {8, "factprn"}, {2, "factnr"}, {5, "factnr"},  {6, "factnr"},
      {3, "factpri"}, {4, "factpri"}, {9, "factim"}, {10, "factin"}, {11, "factin"}};
  for (auto [method, routine] : table) {
    trace.clear();
    com->fmethod = method;
    EXPECT_EQ(run(), (Trace{"factcor", "factoig", routine, "factpos"})) << "fmethod " << method;
  }
}

TEST_F(FactdoTest, AnUnknownMethodStopsTheStepAsAnInternalFailure) {
  for (int method : {0, 7, 12}) {
    com->fmethod = method;
    com->rc = 0;
    EXPECT_EQ(exit_code(), kExitInternal) << method;
    EXPECT_EQ(com->rc, kExitInternal);
  }
  EXPECT_TRUE(logged(kFactorGroup, kMsgUnknownMethod));
}

TEST_F(FactdoTest, ARotationListSkipsNoneEntriesButKeepsTheirPositions) {
  // ROTATE=VARIMAX, NONE, PROMAX
  int list[] = {2, kRotNone, 11};
  com->rmethod = list;
  com->nrot = 2;
  fopt_set(com, kFoptRotate);
  fopt_set(com, kFoptOutstat);
  fopt_set(com, kFoptScore);
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factrot(2,0)", "factscr",
                          "factpro(11,2)", "factscr", "factstt(1)"}));
}

TEST_F(FactdoTest, APrerotationIsFollowedByPromaxAndBothReachOutstat) {
  com->rmethod0 = 2;
  com->rmethod2 = 11;
  fopt_set(com, kFoptRotate);
  fopt_set(com, kFoptOutstat);
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factrot(2,-1)", "factstt(0)",
                          "factpro(11,-2)", "factstt(1)"}));
}

TEST_F(FactdoTest, APrerotationWithProcrustesCodeGoesToFactpro) {
  com->rmethod0 = 13;
  com->rmethod2 = 11;
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factpro(13,-1)",
                          "factpro(11,-2)"}));
}

TEST_F(FactdoTest, AFailedAnalyticRotationStopsTheStepButPromaxResultIsNotTested) {
  behave.rotation_result = 3;
  com->rmethod2 = 2;
  EXPECT_EQ(exit_code(), kExitInternal);
  trace.clear();
  com->rc = 0;
  com->rmethod2 = 11;
  EXPECT_NO_THROW(factdo(com));
  EXPECT_EQ(trace.back(), "factpro(11,-2)");
}

TEST_F(FactdoTest, NfactorsMinusOneStopsAfterTheCorrelationDiagnostics) {
  com->nfactp = -1;
  com->priortyp = 1;
  EXPECT_EQ(run(), (Trace{"factcor", "factcd"}));
  // PRIORS=ONE needs no diagnostics unless MSA asks for them.
  trace.clear();
  com->priortyp = 5;
  EXPECT_EQ(run(), (Trace{"factcor"}));
  trace.clear();
  fopt_set(com, kFoptMsa);
  EXPECT_EQ(run(), (Trace{"factcor", "factcd"}));
  // Without a kept correlation matrix there is nothing to diagnose.
  trace.clear();
  fopt_clear(com, kFoptKeepCorr);
  EXPECT_EQ(run(), (Trace{"factcor"}));
}

TEST_F(FactdoTest, AGroupWithNothingToAnalyseOrNoFactorsStopsEarly) {
  behave.nfact_after_cor = -1;
  com->rmethod2 = 2;
  fopt_set(com, kFoptOutstat);
  EXPECT_EQ(run(), (Trace{"factcor"}));
  trace.clear();
  behave.nfact_after_cor = 2;
  behave.nfact_after_pos = 0;
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos"}));
}

TEST_F(FactdoTest, UnrotatedScoresResidualsAndPlotsFollowTheirFlags) {
  fopt_set(com, kFoptScore);
  fopt_set(com, kFoptResiduals);
  fopt_set(com, kFoptPlot);
  fopt_set(com, kFoptPlotInitLoadings);
  // No output object: no plots.
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factscr", "factres"}));
  trace.clear();
  com->ods = &manager;
  com->graphics = 1;
  com->nfc = 2;  // an input pattern with factor correlations: oblique
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factscr", "factres",
                          "factplt(1,1)", "factgpt(1,1)"}));
  // Scores of the unrotated solution only when nothing is rotated.
  trace.clear();
  fopt_set(com, kFoptRotate);
  com->rmethod2 = 20;
  com->graphics = 0;
  fopt_set(com, kFoptPlotLoadings);
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factres", "factplt(1,1)",
                          "factrot(20,-2)", "factscr", "factplt(1,0)"}));
}

TEST_F(FactdoTest, PrerotationPlotsUsePreplotAndTheObliquenessOfTheirCode) {
  com->ods = &manager;
  com->graphics = 1;
  com->rmethod0 = 1;
  com->rmethod2 = 11;
  fopt_set(com, kFoptPreplot);
  fopt_set(com, kFoptPlotPreLoadings);
  fopt_set(com, kFoptPlot);
  EXPECT_EQ(run(),
            (Trace{"factcor", "factoig", "factprn", "factpos", "factplt(0,1)", "factrot(1,-1)",
                   "factplt(0,-1)", "factgpt(0,-1)", "factpro(11,-2)", "factplt(1,0)"}));
}

TEST_F(FactdoTest, OutputDataSetAndPathDiagramComeLast) {
  fopt_set(com, kFoptOut);
  fopt_set(com, kFoptPathDiagram);
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factout"}));
  trace.clear();
  com->ods = &manager;
  com->graphics = 1;
  EXPECT_EQ(run(), (Trace{"factcor", "factoig", "factprn", "factpos", "factout", "factpdg"}));
}

TEST_F(FactdoTest, StandardErrorsOfOneRotationNeverReachTheNext) {
  int list[] = {2, 1};
  com->rmethod = list;
  com->nrot = 2;
  com->factse = static_cast<double*>(ctx.pool().allocate(64));
  com->fcorse = static_cast<double*>(ctx.pool().allocate(64));
  std::uint64_t before = ctx.pool().bytes_in_use();
  run();
  EXPECT_FALSE(behave.se_seen);
  EXPECT_EQ(com->factse, nullptr);
  EXPECT_EQ(ctx.pool().bytes_in_use(), before - 128);
}

TEST_F(FactdoTest, TheGroupEndsWithScratchPositionsCleared) {
  com->notec = 128;
  com->notei = 256;
  run();
  EXPECT_EQ(com->notec, 0);
  EXPECT_EQ(com->notei, 0);
}

TEST_F(FactdoTest, AllocationsOf2To53BytesAreRefused) {
  EXPECT_NE(factalloc(com, 1024), nullptr);
  try {
    factalloc(com, kMaxAllocation);
    FAIL() << "no exit";
  } catch (const StepExit& e) {
    EXPECT_EQ(e.code, kExitMemory);
  }
  EXPECT_TRUE(logged(kFactorGroup, kMsgTooLarge));
  EXPECT_EQ(com->rc, kExitMemory);
  // An element count whose byte size would wrap is refused the same way.
  EXPECT_THROW(factalloc_doubles(com, kMaxAllocation / 4), StepExit);
}

// ---------------------------------------------------------------------------
// Whole steps

using testing_support::Capture;

// A toolkit that counts what it hands out, or fails on request.
struct Counting {
  int loads = 0, destroys = 0, creates = 0;
  bool no_extension = false, no_instance = false;
};
Counting counting;

void counting_destroy(TKEXTENSION* h) {
  ++counting.destroys;
  tkxfac_from_header(h)->hdr.destroy = nullptr;
  // The real extension's own destroy releases it.
  TKEXTENSION* real = static_cast<TKEXTENSION*>(tkxfac_from_header(h)->pool);
  real->destroy(real);
  delete tkxfac_from_header(h);
}
TKXFAC_INSTANCE* counting_create(TKXFAC_EXTENSION* ext, const TKXFAC_PARMS* parms) {
  ++counting.creates;
  if (counting.no_instance) return nullptr;
  TKXFAC_EXTENSION* real = tkxfac_from_header(static_cast<TKEXTENSION*>(ext->pool));
  return real->CreateInstance(real, parms);
}
TKEXTENSION* counting_load(TKHANDLE*, const char* name) {
  ++counting.loads;
  if (counting.no_extension) return nullptr;
  auto* ext = new TKXFAC_EXTENSION{};
  ext->hdr.name = "tkxfac";
  ext->hdr.destroy = counting_destroy;
  ext->pool = tkxfac_load(nullptr, name);
  ext->CreateInstance = counting_create;
  return &ext->hdr;
}

int failing_open(UtilityFile&, std::uint32_t) {
  return 28;
}

struct StepRun {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  OutputDelivery delivery;
  std::vector<OutputObject> objects;
  TKHANDLE toolkit{counting_load, nullptr};
  KAVGCB gcb{&toolkit};
  FACTHOOKS hooks{&kTraceStages, nullptr};

  StepRun() {
    trace.clear();
    behave = Behaviour{};
    counting = Counting{};
    register_builtin_procedures(session.procedures);
    session.output = &delivery;
    delivery.attach_destination("capture", std::make_unique<Capture>(&objects));
  }
  StepRun& go(const std::string& program) {
    register_factor(session.procedures, &gcb, nullptr, &hooks);
    Interpreter(session).run(program, "p.kav");
    return *this;
  }
  const StepResult& last() const { return session.steps.back(); }
  bool logged(int group, int number) const {
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) return true;
    return false;
  }
};

// Three BY groups whose first observations have x1 = 3, 5 and 2; the
// target has groups for the first and the last only.
const char* kThreeGroups = R"(
  data d;
    input g x1 x2 x3;
    datalines;
  1 3 2 3
  1 2 1 4
  2 5 1 1
  2 3 2 2
  3 2 4 1
  3 5 3 2
  ;
  data t;
    input g x1 x2 x3;
    datalines;
  1 1 0 0
  3 0 1 0
  ;
)";

// The groups analysed and the step's reason, the largest number of factors
// retained by a group analysed (group g retains its first x1: 3, 5, 2).
TEST(FactorStep, TargetGroupsDecideWhichByGroupsRunAndReasonIsTheLargestNfact) {
  struct Case {
    const char* program;
    int analysed, reason;
  } cases[] = {
      // Group g=2 has no TARGET= group: its 5 factors never count.
      {"proc factor data=d target=t; var x1-x3; by g; run;", 2, 3},
      // A target without BY variables serves every group.
      {"data t1; input x1 x2 x3; datalines;\n1 0 0\n;\n"
       "proc factor data=d target=t1; var x1-x3; by g; run;",
       3, 5},
      {"proc factor data=d; var x1-x3; by g; run;", 3, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    StepRun r;
    behave.nfact_from_by = true;
    r.go(std::string(kThreeGroups) + c.program);
    EXPECT_EQ(r.last().exit_code, 0) << r.log_text.str();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "factcor"), c.analysed);
    EXPECT_EQ(r.last().reason, c.reason);
    // Every group resets the extension's instance; it is loaded and released once.
    EXPECT_EQ(counting.loads, 1);
    EXPECT_EQ(counting.destroys, 1);
    EXPECT_EQ(r.session.macros.get("SYSRANEND").value_or("?"), "0");
  }
}

TEST(FactorStep, AWarningStatusEndsAsZeroButALargerOneIsKept) {
  StepRun r;
  behave.rc_after_cor = kRcWarning;
  r.go(std::string(kThreeGroups) + "proc factor data=d; var x1-x3; run;");
  EXPECT_EQ(r.last().exit_code, 0);
  EXPECT_EQ(r.last().reason, 2);
  behave.rc_after_cor = kRcByGroup;
  r.go("proc factor data=d; var x1-x3; run;");
  EXPECT_EQ(r.last().exit_code, kRcByGroup);
}

TEST(FactorStep, AScratchFileThatCannotBeOpenedEndsWith1020BeforeAnythingExists) {
  StepRun r;
  r.hooks.utopen = failing_open;
  r.go(std::string(kThreeGroups) + "proc factor data=d; var x1-x3; run;");
  EXPECT_EQ(r.last().exit_code, kExitUtility);
  EXPECT_TRUE(r.logged(kHostGroup, msg::kUtilityFile));
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(counting.loads, 0);  // fact1 never ran; facexit had nothing to release
  EXPECT_EQ(counting.destroys, 0);
}

TEST(FactorStep, StepsThatStopInFact1AreCleanedUp) {
  StepRun r;
  r.go("proc factor; run;");  // no data set at all
  EXPECT_EQ(r.last().exit_code, kExitNoInput);
  EXPECT_TRUE(r.logged(kFactorGroup, kMsgNoInput));

  r.go(std::string(kThreeGroups) + "proc factor data=d; var x9; run;");
  EXPECT_EQ(r.last().exit_code, kExitStructure);

  counting.no_extension = true;
  r.go("proc factor data=d; var x1-x3; run;");
  EXPECT_EQ(r.last().exit_code, kExitMemory);
  EXPECT_TRUE(r.logged(kFactorGroup, kMsgNoToolkit));

  counting = Counting{};
  counting.no_instance = true;
  r.go("proc factor data=d; var x1-x3; run;");
  EXPECT_EQ(r.last().exit_code, kExitExtension);
  EXPECT_TRUE(r.logged(kFactorGroup, kMsgNoInstance));
  EXPECT_EQ(counting.creates, 1);
  EXPECT_EQ(counting.destroys, 1);  // the loaded extension is still released
  EXPECT_TRUE(trace.empty());
}

TEST(FactorStep, WithoutAToolkitHandleTheStepEndsWith1016) {
  StepRun r;
  r.gcb.tkhandle = nullptr;
  r.go(std::string(kThreeGroups) + "proc factor data=d; run;");
  EXPECT_EQ(r.last().exit_code, kExitMemory);
  EXPECT_TRUE(r.logged(kFactorGroup, kMsgNoToolkit));
}

TEST(FactorStep, EachByGroupsOutputCarriesItsValuesAndItsGroupIsClosed) {
  StepRun r;
  behave.open_group = true;
  r.go(std::string(kThreeGroups) + "proc factor data=d; var x1-x3; by g; run;");
  ASSERT_EQ(r.last().exit_code, 0) << r.log_text.str();
  std::vector<const OutputObject*> probes;
  for (const auto& o : r.objects)
    if (o.table() && o.table()->name == "Probe") probes.push_back(&o);
  ASSERT_EQ(probes.size(), 3u);
  const char* values[] = {"1", "2", "3"};
  for (std::size_t k = 0; k < 3; ++k) {
    ASSERT_EQ(probes[k]->by.size(), 1u);
    EXPECT_EQ(probes[k]->by[0].text, values[k]);
    // One group deep: the previous group's was closed.
    ASSERT_EQ(probes[k]->groups.size(), 1u);
    EXPECT_EQ(probes[k]->groups[0].name, "InitialSolution");
  }
}

TEST(FactorStep, NoprintLeavesNoOutputObject) {
  StepRun r;
  behave.open_group = true;
  r.go(std::string(kThreeGroups) + "proc factor data=d noprint; var x1-x3; run;");
  EXPECT_EQ(r.last().exit_code, 0);
  for (const auto& o : r.objects) EXPECT_FALSE(o.table() && o.table()->name == "Probe");
}

TEST(FactorModule, EntryReturnsTheImageInformationAndExportsTheToolkit) {
  TKHANDLE toolkit{tkxfac_load, nullptr};
  KAVGCB gcb{&toolkit};
  const void* info = mcn_main(&gcb, nullptr);
  EXPECT_EQ(info, static_cast<const void*>(vi_mcn));
  EXPECT_EQ(std::string(static_cast<const char*>(info)).rfind("KAV_Image_Information=", 0), 0u);
  EXPECT_EQ(factor_toolkit(), &toolkit);
  ProcedureRegistry registry;
  register_factor(registry, &gcb, nullptr);
  const ProcedureModule* m = registry.find("FACTOR");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->image_info, static_cast<const void*>(vi_mcn));
}

TEST(FactorModule, FacexitIsSafeOnACleanRecord) {
  COMSTR com{};
  EXPECT_NO_THROW(facexit(&com));
  EXPECT_NO_THROW(facexit(nullptr));
}

}  // namespace
}  // namespace kav
