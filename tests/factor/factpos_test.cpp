// The unrotated solution's post-processing: variance explained and final
// communalities of orthogonal and oblique solutions, weighted and not; the
// clean-up of negligible loadings and empty factors with messages 58 and 59.
#include "factor/extract/factpos.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/status.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core_fixture.h"
#include "factor/extract/factprn.h"

namespace kav::coretest {
namespace {

class FactposTest : public CoreTest {
 protected:
  // A solution of three variables given column by column.
  void solution(const std::vector<Vec>& columns, int method = kFmPrincipal) {
    load(Vec{1, 0.5, 1, 0.4, 0.3, 1}, method, kPriOne);
    com->nfact = static_cast<int>(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k)
      for (std::size_t j = 0; j < 3; ++j) fact[k * 3 + j] = columns[k][j];
  }
};

TEST_F(FactposTest, WeightedVarianceSkipsVariablesWithoutAWeight) {
  solution({{0.5, 0.6, 0.7}, {0.1, -0.2, 0.3}});
  fopt_set(com, kFoptVarWeights);
  wt = {2, std::nan(""), 4};
  const double weighted_total = factvaf(com, 0);
  EXPECT_DOUBLE_EQ(datax[0], 2 * 0.25 + 4 * 0.49);
  EXPECT_DOUBLE_EQ(datax[1], 2 * 0.01 + 4 * 0.09);
  EXPECT_DOUBLE_EQ(datax[2], 0.25 + 0.36 + 0.49);
  EXPECT_DOUBLE_EQ(datax[3], 0.01 + 0.04 + 0.09);
  EXPECT_DOUBLE_EQ(communal[0], 0.26);
  EXPECT_DOUBLE_EQ(com->totcom, 0.26 + 0.40 + 0.58);
  EXPECT_DOUBLE_EQ(weighted_total, 2 * 0.26 + 4 * 0.58);
  wt = {2, 1, 4};
  EXPECT_DOUBLE_EQ(factvaf(com, 0), 2 * 0.26 + 0.40 + 4 * 0.58);
}

TEST_F(FactposTest, ObliqueModesUseStructureOrReferenceAndTheFactorCorrelations) {
  solution({{0.5, 0.6, 0.7}, {0.1, -0.2, 0.3}});
  fcor = {1, 0.3, 1};
  com->fcor = fcor.data();
  Vec struc = {0.53, 0.54, 0.79, 0.25, -0.02, 0.51}, ref = {0.4, 0.5, 0.6, 0.05, -0.1, 0.2};
  com->struc = struc.data();
  com->ref = ref.data();
  factvaf(com, 1);
  EXPECT_DOUBLE_EQ(datax[2], 0.53 * 0.53 + 0.54 * 0.54 + 0.79 * 0.79);
  // h = f1^2 + f2^2 + 2 phi f1 f2
  EXPECT_NEAR(communal[0], 0.25 + 0.01 + 2 * 0.3 * 0.05, 1e-15);
  EXPECT_NEAR(communal[1], 0.36 + 0.04 - 2 * 0.3 * 0.12, 1e-15);
  factvaf(com, 2);
  EXPECT_DOUBLE_EQ(datax[3], 0.05 * 0.05 + 0.01 + 0.04);
  EXPECT_NEAR(communal[2], 0.49 + 0.09 + 2 * 0.3 * 0.21, 1e-15);
}

TEST_F(FactposTest, EmptyFactorsAreDroppedAndTheOthersMoveLeft) {
  solution({{0.5, 5e-14, 0.7}, {1e-13, -1e-14, 0}, {0.2, 0.3, -0.4}});
  factpos(com);
  EXPECT_EQ(com->nfact, 2);
  EXPECT_EQ(count(kMsgFactorDropped), 1);
  EXPECT_NE(text_of(kMsgFactorDropped).find('2'), std::string::npos);
  EXPECT_EQ(loading(1, 0), 0.0);  // negligible loadings are exactly zero
  EXPECT_EQ(loading(0, 1), 0.2);
  EXPECT_EQ(loading(2, 1), -0.4);
  EXPECT_EQ(com->rc, 0);

  // One factor left: the one-element transformations are set.
  solution({{0.5, 0.6, 0.7}, {0, 0, 0}});
  tran = {9, 9, 9, 9};
  fcor = {9, 9, 9};
  Vec dinv = {9, 9};
  com->tran = tran.data();
  com->fcor = fcor.data();
  com->dinv = dinv.data();
  factpos(com);
  EXPECT_EQ(com->nfact, 1);
  EXPECT_EQ(tran[0] + fcor[0] + dinv[0], 3.0);

  // None left ends the group.
  solution({{1e-13, -1e-13, 0}, {0, 1.1e-13, 0}});
  factpos(com);
  EXPECT_EQ(com->nfact, 0);
  EXPECT_EQ(count(kMsgFactorDropped), 2);
  EXPECT_TRUE(logged(kMsgNoFactorLeft));
  EXPECT_EQ(com->rc, kRcSingular);
}

}  // namespace
}  // namespace kav::coretest
