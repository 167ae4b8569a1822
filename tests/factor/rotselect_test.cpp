// The rotation request: only the last ROTATE= counts, the selection of the
// prerotation and the final rotation, the oblique flag and the parameter
// labels, driven through the parsed statement as fact1 drives them.
#include "factor/rotate/rotselect.h"

#include <gtest/gtest.h>

#include <sstream>

#include "factor/state/comstr.h"
#include "factor/state/factorg.h"
#include "host/services.h"
#include "host/session.h"
#include "host/value.h"
#include "lang/reader.h"

namespace kav {
namespace {

namespace F = factorg_field;

struct Selection {
  std::ostringstream sink;
  Session session{":memory:", &sink};
  StepContext ctx{session, {}};
  COMSTR com{};
  RotationList list;
  int message = 0;

  // Parses the PROC FACTOR options and runs the selection the way fact1
  // does: parameters, PREROTATE=, ROTATE=, ParseRotation, the rules.
  explicit Selection(const std::string& options) {
    com.host = &ctx;
    ParsedStep parsed;
    Statement st;
    st.tokens = tokenize_text("PROC FACTOR " + options, session.log);
    EXPECT_EQ(xsparse(factorg(), {st}, session.log, parsed), 0) << sink.str();
    const ParsedRecord& r = parsed.proc;
    auto num = [&](int f) { return r.has(f) ? r[f].number : missing_value(); };
    com.gamma = num(F::kGamma);
    com.tau = num(F::kTau);
    com.kvalue = num(F::kPower);
    com.hkpower = num(F::kHkpower);
    com.rmethod0 = r.has(F::kPrerotate) ? r[F::kPrerotate].code : 0;
    if (r.has(F::kTarget)) fopt_set(&com, kFoptTarget);
    list = rotation_list(r[F::kRotate]);
    ParseRotation(list);
    message = select_rotations(&com, list);
  }
  bool oblique() const { return fopt_test(&com, kFoptOblique); }
  bool rotation() const { return fopt_test(&com, kFoptRotate); }
  std::vector<int> codes() const {
    std::vector<int> out;
    for (std::size_t k = 0; k < list.codes.size(); ++k) out.push_back(com.rmethod[k]);
    return out;
  }
};

TEST(RotationSelection, OnlyTheLastRotateCountsWithRenumberedParameters) {
  Selection s("ROTATE=ORTHOMAX(0.5), PROMAX(2) ROTATE=VARIMAX ROTATE=PROMAX(3), OBLIMIN(0.2)");
  EXPECT_EQ(s.codes(), (std::vector<int>{kRotPromax, kRotOblimin}));
  ASSERT_EQ(s.com.nrotparm, 2);
  EXPECT_EQ(s.com.rotparm[0], 3);
  EXPECT_EQ(s.com.irotparm[0], 1);
  EXPECT_EQ(s.com.irotparm[1], 2);
  EXPECT_EQ(rotation_params(&s.com, 2), std::vector<double>{0.2});
  EXPECT_EQ(s.com.nrot, 2);
}

TEST(RotationSelection, TheDocumentedCases) {
  struct Case {
    const char* options;
    int rmethod0, rmethod2, nrot;
    bool oblique, rotation;
    int message;
  } cases[] = {
      // A second ROTATE= replaces the first; promax starts from varimax.
      {"ROTATE=VARIMAX ROTATE=PROMAX(3)", kRotVarimax, kRotNone, 1, true, true, 0},
      // NONE entries are not counted.
      {"ROTATE=VARIMAX, NONE, QUARTIMAX", kRotNone, kRotNone, 2, false, true, 0},
      // POWER= alone is promax after varimax, or orthomax with GAMMA=,
      // or oblimin with TAU=.
      {"POWER=4", kRotVarimax, kRotPromax, 0, true, true, 0},
      {"POWER=4 GAMMA=0.5", kRotOrthomax, kRotPromax, 0, true, true, 0},
      {"POWER=4 TAU=0.5", kRotOblimin, kRotPromax, 0, true, true, 0},
      {"POWER=4 TAU=0.5 GAMMA=1", kRotOrthomax, kRotPromax, 0, true, true, 0},
      // PREROTATE= alone: that prerotation, then promax.
      {"PREROTATE=QUARTIMAX", kRotQuartimax, kRotPromax, 0, true, true, 0},
      // TARGET= makes Procrustes the rotation and drops the prerotation.
      {"TARGET=t PREROTATE=VARIMAX", kRotNone, kRotProcrustes, 0, true, true, 0},
      {"TARGET=t POWER=3", kRotNone, kRotProcrustes, 0, true, true, 0},
      // Procrustes without a target.
      {"ROTATE=PROCRUSTES", kRotNone, kRotNone, 1, true, true, 115},
      {"ROTATE=VARIMAX, PROCRUSTES", kRotNone, kRotNone, 2, true, true, 115},
      {"ROTATE=PROCRUSTES TARGET=t", kRotNone, kRotNone, 1, true, true, 0},
      // Parameter options alone.
      {"TAU=0.5", kRotNone, kRotOblimin, 0, true, true, 0},
      {"GAMMA=1 TAU=0.5", kRotNone, kRotOrthomax, 0, false, true, 0},
      {"GAMMA=1", kRotNone, kRotOrthomax, 0, false, true, 0},
      // HKPOWER= alone asks for a Harris-Kaiser rotation.
      {"HKPOWER=0.5", kRotNone, kRotHk, 0, true, true, 0},
      {"HKPOWER=0.5 TAU=0.3", kRotNone, kRotOblimin, 0, true, true, 0},
      {"HKPOWER=0.5 GAMMA=1", kRotNone, kRotOrthomax, 0, false, true, 0},
      {"HKPOWER=0.5 ROTATE=QUARTIMAX", kRotNone, kRotNone, 1, false, true, 0},
      // A prerotation that no promax follows is dropped.
      {"PREROTATE=QUARTIMAX ROTATE=VARIMAX", kRotNone, kRotNone, 1, false, true, 0},
      {"PREROTATE=QUARTIMAX ROTATE=PROMAX", kRotQuartimax, kRotNone, 1, true, true, 0},
      // Nothing at all.
      {"", kRotNone, kRotNone, 0, false, false, 0},
      {"ROTATE=NONE", kRotNone, kRotNone, 0, false, false, 0},
      // The oblique flag looks past orthogonal entries of the list.
      {"ROTATE=VARIMAX, QUARTIMIN", kRotNone, kRotNone, 2, true, true, 0},
      {"ROTATE=HK", kRotNone, kRotNone, 1, true, true, 0},
  };
  for (const Case& c : cases) {
    Selection s(c.options);
    EXPECT_EQ(s.com.rmethod0, c.rmethod0) << c.options;
    EXPECT_EQ(s.com.rmethod2, c.rmethod2) << c.options;
    EXPECT_EQ(s.com.nrot, c.nrot) << c.options;
    EXPECT_EQ(s.oblique(), c.oblique) << c.options;
    EXPECT_EQ(s.rotation(), c.rotation) << c.options;
    EXPECT_EQ(s.message, c.message) << c.options;
  }
}

}  // namespace
}  // namespace kav
