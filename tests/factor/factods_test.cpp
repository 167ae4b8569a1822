// The procedure's table writers: statuses of the output layer, the
// Eigenvalues rules, the NObs rows with the special missing value naming the
// input, and an iteration history longer than its first buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "factor/input/zacorrn.h"
#include "factor/state/factmsg.h"
#include "factor/state/step_record.h"
#include "factor/table_fixture.h"
#include "host/format.h"
#include "host/host_messages.h"
#include "host/log.h"
#include "render/json_results.h"
#include "render/listing.h"

namespace kav {
namespace {

using testing_support::TableFixture;
using Names = std::vector<std::string>;

class Writers : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    variables({"x1", "x2", "x3", "x4"});
    factor_names(2);
  }
  static std::string msg(int number, const Names& args = {}) {
    return format_message(kFactorGroup, number, args);
  }
  std::string listing(const std::string& name) const {
    std::string all;
    for (const std::string& l : listing_table_lines(*table(name), 120)) all += l + "\n";
    return all;
  }
};

TEST_F(Writers, EigenvaluesWithDifferencesSharesAndTitle) {
  com->eigval = doubles({2.5, 1.0, 0.4, 0.1});
  factevt(com, msg(67), 4);
  const Table* t = table("Eigenvalues");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->title[0], msg(kMsgEigenTitle, {"4", "1", "4", msg(67)}));
  const std::vector<std::vector<double>> rows = {
      {1, 2.5, 1.5, 0.625, 0.625}, {2, 1, 0.6, 0.25, 0.875}, {3, 0.4, 0.3, 0.1, 0.975}};
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t k = 0; k < 5; ++k)
      EXPECT_NEAR(std::get<double>(t->rows[r][k]), rows[r][k], 1e-15) << r << "," << k;
  EXPECT_EQ(missing_letter(num(*t, 3, "Difference")), '.');
  EXPECT_DOUBLE_EQ(num(*t, 3, "Cumulative"), 1.0);

  // A missing eigenvalue leaves its row out of the shares.
  com->eigval = doubles({2, missing_value(), 1, 0.5});
  factevt(com, "Eigenvalues", 4);
  t = table("Eigenvalues");
  EXPECT_EQ(t->title[0], msg(kMsgEigenTitle, {"3.5", factnum(3.5 / 3), "4", "Eigenvalues"}));
  EXPECT_EQ(missing_letter(num(*t, 0, "Difference")), '.');
  EXPECT_EQ(missing_letter(num(*t, 1, "Eigenvalue")), '_');
  EXPECT_EQ(missing_letter(num(*t, 1, "Cumulative")), '.');
  EXPECT_DOUBLE_EQ(num(*t, 2, "Difference"), 0.5);
  EXPECT_DOUBLE_EQ(num(*t, 2, "Cumulative"), 3 / 3.5);
}

TEST_F(Writers, NobsRowsOfRawAndSpecialData) {
  fopt_set(com, kFoptRawData);
  step->freqno = 3;
  step->weightno = 4;
  com->usernobs = 50;
  com->nobs = 96;
  NOBSTR c;
  c.NObsRead = 100;
  c.NObsUsed = 96;
  c.SumFreqsRead = 210;
  c.SumFreqsUsed = 200;
  c.SumWeightsRead = 33.5;
  c.SumWeightsUsed = 31.25;
  factnob(com, &c);
  const Table* t = table("NObs");
  ASSERT_NE(t, nullptr);
  const std::vector<double> values = {100, 96, 210, 200, 33.5, 31.25, 50, 50};
  ASSERT_EQ(t->rows.size(), 9u);
  EXPECT_EQ(missing_letter(num(*t, 0, "N")), 'D');
  for (std::size_t r = 1; r < 9; ++r) EXPECT_EQ(num(*t, r, "N"), values[r - 1]);
  // The special missing value in JSON, the hidden columns out of the listing.
  EXPECT_EQ(object_json(*object("NObs"))["rows"][0][1], ".D");
  EXPECT_EQ(listing("NObs").find("NRecRead"), std::string::npos);

  // A special data set names its type in the first row.
  fopt_clear(com, kFoptRawData);
  com->usernobs = missing_value();
  com->nobs = 40;
  for (auto [type, letter] : {std::pair{"UCORR", 'O'}, {"EST", 'E'}, {"OTHER", 'U'}}) {
    std::memset(com->dstype, ' ', sizeof(char8));
    std::memcpy(com->dstype, type, std::strlen(type));
    factnob(com, nullptr);
    t = table("NObs");
    EXPECT_EQ(missing_letter(num(*t, 0, "N")), letter) << type;
    EXPECT_EQ(num(*t, 1, "N"), 40.0);
  }
}

}  // namespace
}  // namespace kav
