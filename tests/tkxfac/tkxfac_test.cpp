// The factoring extension through its factory: what is handed over comes
// back unchanged, what it computes is right, and what it cannot compute
// without a value fails instead of answering.  The rotation is checked in
// tkxrot_test.cpp, MAP and parallel analysis in tkxaids_test.cpp.
#include "tkxfac/tkxfac.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "extension.h"

namespace kav {
namespace {

using test::Extension;
using V = std::vector<double>;

TEST(Tkxfac, StoresWhatFitsAndRefusesTheRest) {
  Extension l(3);
  const V corr{1, 0.5, 1, 0.25, 0.125, 1};
  const double nobs = 137;
  const std::int64_t wide = 2;
  const std::int32_t negative = -1;
  V back(6, -1);
  // Refusals first: no nfact yet for a pattern, values not given.
  EXPECT_EQ(l.set(TKXFAC_VAL_PATTERN, V(6)), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(l.get(TKXFAC_VAL_NOBS, back.data(), 8), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(l.get(TKXFAC_VAL_EVALSTD, back.data(), 24), TKXFAC_ERR_NOT_SET);
  EXPECT_EQ(l.set(TKXFAC_VAL_CORR, V(5)), TKXFAC_ERR_SIZE);  // one short of 3 x 4 / 2
  EXPECT_EQ(l.set(TKXFAC_VAL_NFACT, &wide, 8), TKXFAC_ERR_SIZE);
  EXPECT_EQ(l.set(TKXFAC_VAL_NFACT, &negative, 4), TKXFAC_ERR_ARGUMENT);
  EXPECT_EQ(l.set(999, &negative, 4), TKXFAC_ERR_UNKNOWN_CODE);
  ASSERT_EQ(l.set_int(TKXFAC_VAL_NFACT, 2), TKXFAC_OK);
  ASSERT_EQ(l.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, corr), TKXFAC_OK);
  std::size_t n = 48;
  EXPECT_EQ(l.f->ValueGet(l.inst, TKXFAC_VAL_CORR, back.data(), &n, 0, 0), TKXFAC_OK);
  EXPECT_EQ(n, 48u);
  EXPECT_EQ(back, corr);
  EXPECT_EQ(l.get(TKXFAC_VAL_CORR, back.data(), 40), TKXFAC_ERR_SIZE);  // room for five
  EXPECT_EQ(l.f->ValueGet(nullptr, TKXFAC_VAL_CORR, back.data(), &n, 0, 0), TKXFAC_ERR_ARGUMENT);
}

TEST(Tkxfac, ObservedEigenvaluesAreThoseOfTheCorrelations) {
  // Covariances of variables with variances 4, 9, 1 and correlations r12 =
  // 0.5, r13 = r23 = 0: the eigenvalues are 1.5, 1, 0.5.  A variable without
  // variance adds an eigenvalue of 0; a negative variance has no
  // correlations.
  const std::pair<V, V> cases[] = {{{4, 3, 9, 0, 0, 1}, {1.5, 1, 0.5}},
                                   {{4, 0, 0, 0, 0, 1}, {1, 1, 0}}};
  Extension l(3);
  V ev(3);
  for (const auto& [cov, want] : cases) {
    ASSERT_EQ(l.set(TKXFAC_VAL_CORR, cov), TKXFAC_OK);
    ASSERT_EQ(l.get(TKXFAC_VAL_EVALSTD, ev), TKXFAC_OK);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(ev[i], want[i], 1e-12);
  }
  ASSERT_EQ(l.set(TKXFAC_VAL_CORR, V{1, 0, -1, 0, 0, 1}), TKXFAC_OK);
  EXPECT_EQ(l.get(TKXFAC_VAL_EVALSTD, ev), TKXFAC_ERR_COMPUTE);
}

TEST(Tkxfac, AnswersWaitForTheValuesTheyNeed) {
  const int p = 4;
  Extension x(p, 1, 400);
  const double nobs = 80;
  V out(64, 7.0), before(p), after(p);
  // MAP needs the matrix, parallel analysis the observations too, and
  // rotation results a rotation; nothing is written meanwhile.
  EXPECT_EQ(x.get(TKXFAC_VAL_FMAP2, before), TKXFAC_ERR_NOT_SET);
  ASSERT_EQ(x.set(TKXFAC_VAL_CORR, V{1, 0.5, 1, 0.25, 0.125, 1, 0.3, 0.2, 0.1, 1}), TKXFAC_OK);
  ASSERT_EQ(x.set_int(TKXFAC_VAL_NFACT, 2), TKXFAC_OK);
  ASSERT_EQ(x.set(TKXFAC_VAL_PATTERN, V{0.8, 0.7, 0.2, 0.1, 0.3, 0.6, 0.5, 0.4}), TKXFAC_OK);
  for (int code : {60, 61, 62, 4, 5, 6, 13, 14, 21, 55, 57, 58})
    EXPECT_EQ(x.get(code, out), TKXFAC_ERR_NOT_SET) << "value " << code;
  EXPECT_EQ(out, V(64, 7.0));
  EXPECT_EQ(x.get(TKXFAC_VAL_FMAP4, out.data(), (p - 1) * 8), TKXFAC_ERR_SIZE);
  ASSERT_EQ(x.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  std::int32_t nfactpa = -1;
  EXPECT_EQ(x.get_scalar(TKXFAC_VAL_NFACTPA, nfactpa), TKXFAC_OK);
  EXPECT_GE(nfactpa, 0);
  // A reset and a new matrix give new MAP values.
  ASSERT_EQ(x.get(TKXFAC_VAL_FMAP2, before), TKXFAC_OK);
  ASSERT_EQ(x.reset(), TKXFAC_OK);
  ASSERT_EQ(x.set(TKXFAC_VAL_CORR, V{1, 0, 1, 0, 0, 1, 0, 0, 0, 1}), TKXFAC_OK);
  ASSERT_EQ(x.get(TKXFAC_VAL_FMAP2, after), TKXFAC_OK);
  EXPECT_NE(before, after);
  EXPECT_EQ(after[0], 0);
  // An alpha without a critical rank cannot be simulated.
  Extension y(p, 1, 200, 0.999);
  ASSERT_EQ(y.set(TKXFAC_VAL_NOBS, &nobs, 8), TKXFAC_OK);
  EXPECT_EQ(y.get(TKXFAC_VAL_EVALPA, out), TKXFAC_ERR_ARGUMENT);
}

}  // namespace
}  // namespace kav
