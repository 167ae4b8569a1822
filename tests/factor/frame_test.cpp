// The procedure frame on whole steps: BY groups and what each group's
// output carries, the step's status and reason, and how a step ends when
// its input, its scratch file, its toolkit or its memory cannot be had.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "factor/program_fixture.h"
#include "factor/state/factmsg.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "factor/step/factor.h"
#include "host/host_messages.h"
#include "host/output.h"
#include "host/services.h"
#include "host/session.h"
#include "lang/program.h"
#include "tkxfac/tkxfac.h"

namespace kav {
namespace {

// Three BY groups of correlations (the reference folder's blocks3_corr),
// two blocks of two variables each: group 1 with 0.6 within the blocks and
// 0.5 across (eigenvalues 2.6, 0.6, 0.4, 0.4: one factor by the default
// rule), group 2 with 0.8 within and 0 across (1.8, 1.8, 0.2, 0.2: two
// factors), group 3 with 0.7 and 0.4 (2.5, 0.9, 0.3, 0.3: one factor).
const std::string kGroups = "proc factor data=ref.blocks3_corr(type=corr) ";

using progtest::outputs;

TEST(FactorStep, EachByGroupIsAnalysedWithItsValuesAndTheReasonIsTheLargestNfact) {
  const progtest::Outcome r = progtest::run(kGroups + "; by g; run;");
  ASSERT_EQ(progtest::exit_code(r), 0) << r.log;
  EXPECT_EQ(r.results["steps"][0]["reason"], 2);
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
  const progtest::Outcome t =
      progtest::run("data t; input x1-x4; datalines;\n1 1 0 0\n0 0 1 1\n;\n" + kGroups +
                    "nfactors=2 target=t; by g; run;");
  ASSERT_EQ(progtest::exit_code(t, 1), 0) << t.log;
  EXPECT_EQ(outputs(t, "ObliqueRotFactPat").size(), 3u);
  const progtest::Outcome tg = progtest::run(
      "data tg; input g x1-x4; datalines;\n1 1 1 0 0\n1 0 0 1 1\n3 0 0 1 1\n3 1 1 0 0\n;\n" +
      kGroups + "nfactors=2 target=tg; by g; run;");
  ASSERT_EQ(progtest::exit_code(tg, 1), 0) << tg.log;
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

int failing_open(UtilityFile&, std::uint32_t) {
  return 28;
}

TEST(FactorStep, StepsThatCannotStartEndWithTheirStatus) {
  const std::string data = "data d; input x1 x2 x3; datalines;\n3 2 3\n2 1 4\n5 1 1\n3 2 2\n;\n";
  struct Case {
    std::string program;
    bool no_toolkit, no_scratch;
    int exit, group, message;
  } cases[] = {
      {data + "proc factor data=d; run;", false, false, 0, 0, 0},
      {"proc factor; run;", false, false, kExitNoInput, kFactorGroup, kMsgNoInput},
      {data + "proc factor data=d; var x9; run;", false, false, kExitStructure, 0, 0},
      {data + "proc factor data=d; run;", true, false, kExitMemory, kFactorGroup, kMsgNoToolkit},
      {data + "proc factor data=d; run;", false, true, kExitUtility, kHostGroup, msg::kUtilityFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    std::ostringstream log_text;
    Session session{":memory:", &log_text};
    register_builtin_procedures(session.procedures);
    TKHANDLE toolkit{tkxfac_load, nullptr};
    KAVGCB gcb{c.no_toolkit ? nullptr : &toolkit};
    FACTHOOKS hooks{nullptr, c.no_scratch ? failing_open : nullptr};
    register_factor(session.procedures, &gcb, nullptr, &hooks);
    Interpreter(session).run(c.program, "p.kav");
    EXPECT_EQ(session.steps.back().exit_code, c.exit) << log_text.str();
    bool logged = c.message == 0;
    for (const auto& e : session.log.entries())
      logged |= e.group == c.group && e.number == c.message;
    EXPECT_TRUE(logged);
  }
}

}  // namespace
}  // namespace kav
