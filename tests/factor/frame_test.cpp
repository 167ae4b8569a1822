// The procedure frame on whole steps: BY groups and what each group's
// output carries, the step's status and reason, and how a step ends when
// its scratch file, its toolkit or its memory cannot be had, with
// everything it loaded released.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "factor/factmsg.h"
#include "factor/factor.h"
#include "factor/program_fixture.h"
#include "host/host_messages.h"
#include "host/output.h"
#include "host/services.h"
#include "host/session.h"
#include "lang/program.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

// Three BY groups of correlations, two blocks of two variables each:
// group 1 with 0.6 within the blocks and 0.5 across (eigenvalues 2.6, 0.6,
// 0.4, 0.4: one factor by the default rule), group 2 with 0.8 within and 0
// across (1.8, 1.8, 0.2, 0.2: two factors), group 3 with 0.7 and 0.4 (2.5,
// 0.9, 0.3, 0.3: one factor).
const char* kGroups = R"(
data d(type=corr);
  length _type_ $ 8 _name_ $ 8;
  input g _type_ $ _name_ $ x1-x4;
  datalines;
1 N . 50 50 50 50
1 CORR x1 1 .6 .5 .5
1 CORR x2 .6 1 .5 .5
1 CORR x3 .5 .5 1 .6
1 CORR x4 .5 .5 .6 1
2 N . 50 50 50 50
2 CORR x1 1 .8 0 0
2 CORR x2 .8 1 0 0
2 CORR x3 0 0 1 .8
2 CORR x4 0 0 .8 1
3 N . 50 50 50 50
3 CORR x1 1 .7 .4 .4
3 CORR x2 .7 1 .4 .4
3 CORR x3 .4 .4 1 .7
3 CORR x4 .4 .4 .7 1
;
)";

std::vector<const progtest::json*> outputs(const progtest::Outcome& r, const std::string& name) {
  std::vector<const progtest::json*> found;
  for (const auto& step : r.results["steps"])
    for (const auto& o : step["outputs"])
      if (o.value("name", "") == name) found.push_back(&o);
  return found;
}

TEST(FactorStep, EachByGroupIsAnalysedWithItsValuesAndTheReasonIsTheLargestNfact) {
  const progtest::Outcome r = progtest::run(std::string(kGroups) + "proc factor data=d; by g; run;");
  ASSERT_EQ(progtest::exit_code(r, 1), 0) << r.log;
  EXPECT_EQ(r.results["steps"][1]["reason"], 2);
  const auto eigen = outputs(r, "Eigenvalues");
  ASSERT_EQ(eigen.size(), 3u);
  const double first[] = {2.6, 1.8, 2.5};
  for (std::size_t g = 0; g < 3; ++g) {
    EXPECT_EQ((*eigen[g])["by"]["g"], g + 1);
    EXPECT_NEAR((*eigen[g])["rows"][0][1].get<double>(), first[g], 1e-12);
  }
  const auto patterns = outputs(r, "FactorPattern");
  ASSERT_EQ(patterns.size(), 3u);
  EXPECT_EQ((*patterns[1])["rows"][0].size(), 3u);  // the label and two factors

  // A target without BY variables serves every group; one with them only
  // the groups it has rows for, aimed at their own rows.
  const progtest::Outcome t = progtest::run(std::string(kGroups) +
                                            "data t; input x1-x4; datalines;\n1 1 0 0\n0 0 1 1\n;\n"
                                            "proc factor data=d nfactors=2 target=t; by g; run;");
  ASSERT_EQ(progtest::exit_code(t, 2), 0) << t.log;
  EXPECT_EQ(outputs(t, "ObliqueRotFactPat").size(), 3u);
  const progtest::Outcome tg = progtest::run(
      std::string(kGroups) +
      "data tg; input g x1-x4; datalines;\n1 1 1 0 0\n1 0 0 1 1\n3 0 0 1 1\n3 1 1 0 0\n;\n"
      "proc factor data=d nfactors=2 target=tg; by g; run;");
  ASSERT_EQ(progtest::exit_code(tg, 2), 0) << tg.log;
  EXPECT_TRUE(progtest::has_message(tg, 177)) << "the group without a target is named";
  const auto targets = outputs(tg, "ProcrustesTarget");
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ((*targets[0])["by"]["g"], 1);
  EXPECT_EQ((*targets[0])["rows"][0][1], 1);
  EXPECT_EQ((*targets[1])["by"]["g"], 3);
  EXPECT_EQ((*targets[1])["rows"][0][1], 0);

  // A group that cannot be analysed keeps its status; the others are.
  const progtest::Outcome bad = progtest::run(
      "data raw; input g x1 x2; datalines;\n1 1 2\n1 2 1\n1 4 4\n2 1 1\n3 5 1\n3 2 3\n3 1 1\n;\n"
      "proc factor data=raw; by g; run;");
  EXPECT_EQ(progtest::exit_code(bad, 1), kRcByGroup) << bad.log;
  EXPECT_EQ(outputs(bad, "Eigenvalues").size(), 2u);
}

TEST(FactorStep, NoprintLeavesNoOutputObject) {
  const progtest::Outcome r = progtest::run(std::string(kGroups) +
                                            "proc factor data=d noprint; by g; run;");
  ASSERT_EQ(progtest::exit_code(r, 1), 0) << r.log;
  EXPECT_TRUE(r.results["steps"][1]["outputs"].empty());
}

// A toolkit that counts what it hands out, or fails on request.
struct Counting {
  int loads = 0, destroys = 0, creates = 0;
  bool no_extension = false, no_instance = false;
};
Counting counting;

void counting_destroy(TKEXTENSION* h) {
  ++counting.destroys;
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

TEST(FactorStep, StepsThatCannotStartEndWithTheirStatusAndReleaseTheToolkit) {
  const std::string data = "data d; input x1 x2 x3; datalines;\n3 2 3\n2 1 4\n5 1 1\n3 2 2\n;\n";
  struct Case {
    std::string program;
    bool no_extension, no_instance, no_handle, no_scratch;
    int exit, group, message, loads, creates;
  } cases[] = {
      {"proc factor data=d; run;", false, false, false, false, 0, 0, 0, 1, 1},
      {"proc factor; run;", false, false, false, false, kExitNoInput, kFactorGroup, kMsgNoInput,
       0, 0},  // no data set at all
      {"proc factor data=d; var x9; run;", false, false, false, false, kExitStructure, 0, 0, 0, 0},
      {"proc factor data=d; run;", true, false, false, false, kExitMemory, kFactorGroup,
       kMsgNoToolkit, 1, 0},
      {"proc factor data=d; run;", false, true, false, false, kExitExtension, kFactorGroup,
       kMsgNoInstance, 1, 1},
      {"proc factor data=d; run;", false, false, true, false, kExitMemory, kFactorGroup,
       kMsgNoToolkit, 0, 0},
      {"proc factor data=d; run;", false, false, false, true, kExitUtility, kHostGroup,
       msg::kUtilityFile, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " case " + std::to_string(&c - cases));
    counting = Counting{0, 0, 0, c.no_extension, c.no_instance};
    std::ostringstream log_text;
    Session session{":memory:", &log_text};
    register_builtin_procedures(session.procedures);
    TKHANDLE toolkit{counting_load, nullptr};
    KAVGCB gcb{c.no_handle ? nullptr : &toolkit};
    FACTHOOKS hooks{nullptr, c.no_scratch ? failing_open : nullptr};
    register_factor(session.procedures, &gcb, nullptr, &hooks);
    Interpreter(session).run((c.message == kMsgNoInput ? "" : data) + c.program, "p.kav");
    EXPECT_EQ(session.steps.back().exit_code, c.exit) << log_text.str();
    if (c.message) {
      bool logged = false;
      for (const auto& e : session.log.entries())
        logged |= e.group == c.group && e.number == c.message;
      EXPECT_TRUE(logged);
    }
    EXPECT_EQ(counting.loads, c.loads);
    EXPECT_EQ(counting.creates, c.creates);
    EXPECT_EQ(counting.destroys, c.no_extension ? 0 : counting.loads);  // whatever was loaded
  }
}

TEST(FactorStep, AllocationsOf2To53BytesAreRefused) {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  StepContext ctx{session, {}};
  FACTSTEP step;
  COMSTR* com = &step.com;
  com->host = &ctx;
  com->step = &step;
  EXPECT_NE(factalloc(com, 1024), nullptr);
  try {
    factalloc(com, kMaxAllocation);
    FAIL() << "no exit";
  } catch (const StepExit& e) {
    EXPECT_EQ(e.code, kExitMemory);
  }
  ASSERT_FALSE(session.log.entries().empty());
  EXPECT_EQ(session.log.entries().back().number, kMsgTooLarge);
  EXPECT_EQ(com->rc, kExitMemory);
  // An element count whose byte size would wrap is refused the same way.
  EXPECT_THROW(factalloc_doubles(com, kMaxAllocation / 4), StepExit);
  // The clean-up is safe on a record that holds nothing.
  COMSTR clean{};
  EXPECT_NO_THROW(facexit(&clean));
  EXPECT_NO_THROW(facexit(nullptr));
}

}  // namespace
}  // namespace kav
