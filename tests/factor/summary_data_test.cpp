// Every kind of summary-statistics data set end to end: the test computes
// from the raw data file the matrix each type holds (correlations,
// covariances, uncorrected moments, crossproducts with the intercept row,
// estimates with PARM means, ACE covariances, a FACTOR data set), writes it
// as a data set of that type in the program, and the step must see the same
// correlation matrix, and give the same factors, as the step on the raw data.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace {

using namespace kav::progtest;
using Vec = std::vector<double>;

const std::vector<std::string> kVars = {"item1", "item2", "item3", "item4", "item5", "item6"};

// A DATA step writing a data set of `type` from rows of (type, name, values).
struct Rows {
  std::string text;
  Rows& add(const std::string& type, const std::string& name, const Vec& v) {
    std::ostringstream s;
    s << type << ' ' << (name.empty() ? "." : name) << std::setprecision(17);
    for (double x : v) s << ' ' << x;
    text += s.str() + "\n";
    return *this;
  }
  Rows& matrix(const std::string& type, const Mat& a) {
    for (std::size_t i = 0; i < a.size(); ++i) add(type, kVars[i], a[i]);
    return *this;
  }
  std::string step(const std::string& type, const std::string& extra_var = "") const {
    std::string vars;
    for (const auto& v : kVars) vars += " " + v;
    return "data m(type=" + type +
           ");\n  length _type_ $ 8 _name_ $ 12;\n  input _type_ $ _name_ $" + extra_var + vars +
           ";\n  datalines;\n" + text + ";\n";
  }
};

TEST(SummaryData, EveryTypeGivesTheCorrelationsOfTheRawData) {
  const CsvData d = read_csv(fs::path(KAV_REFERENCE_DIR) / "data" / "survey8.csv");
  Mat x;
  for (const auto& row : d.rows) {
    x.emplace_back();
    for (const auto& name : kVars)
      x.back().push_back(row[static_cast<std::size_t>(d.column(name))]);
  }
  const std::size_t p = kVars.size();
  const double n = static_cast<double>(x.size());
  Vec sum(p, 0), mean(p), sd(p), usd(p), count(p, n);
  for (const auto& r : x)
    for (std::size_t j = 0; j < p; ++j) sum[j] += r[j];
  const Mat cross = mul(tr(x), x);  // X'X
  Mat cov = cross, ucov = cross, corr = cross, ucorr = cross;
  for (std::size_t j = 0; j < p; ++j) mean[j] = sum[j] / n;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      cov[i][j] = (cross[i][j] - n * mean[i] * mean[j]) / (n - 1);
      ucov[i][j] = cross[i][j] / n;
    }
  for (std::size_t j = 0; j < p; ++j) {
    sd[j] = std::sqrt(cov[j][j]);
    usd[j] = std::sqrt(ucov[j][j]);
  }
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      corr[i][j] = cov[i][j] / (sd[i] * sd[j]);
      ucorr[i][j] = ucov[i][j] / (usd[i] * usd[j]);
    }
  // SSCP: the intercept row and column hold n and the sums.
  Rows sscp;
  Vec head = {n};
  head.insert(head.end(), sum.begin(), sum.end());
  sscp.add("SSCP", "INTERCEPT", head);
  for (std::size_t i = 0; i < p; ++i) {
    Vec row = {sum[i]};
    row.insert(row.end(), cross[i].begin(), cross[i].end());
    sscp.add("SSCP", kVars[i], row);
  }
  sscp.add("N", "", Vec(p + 1, n));

  const std::pair<const char*, std::string> cases[] = {
      {"CORR", Rows()
                   .add("MEAN", "", mean)
                   .add("STD", "", sd)
                   .add("N", "", count)
                   .matrix("CORR", corr)
                   .step("CORR")},
      {"COV", Rows().add("MEAN", "", mean).add("N", "", count).matrix("COV", cov).step("COV")},
      {"UCORR", Rows()
                    .add("MEAN", "", mean)
                    .add("USTD", "", usd)
                    .add("N", "", count)
                    .matrix("UCORR", ucorr)
                    .step("UCORR")},
      {"UCOV", Rows().add("MEAN", "", mean).add("N", "", count).matrix("UCOV", ucov).step("UCOV")},
      {"SSCP", sscp.step("SSCP", " intercept")},
      {"EST", Rows().add("PARM", "", mean).add("N", "", count).matrix("COV", cov).step("EST")},
      {"ACE", Rows().add("MEAN", "", mean).add("N", "", count).matrix("ACE", cov).step("ACE")},
      {"FACTOR", Rows()
                     .add("MEAN", "", mean)
                     .add("STD", "", sd)
                     .add("N", "", count)
                     .matrix("CORR", corr)
                     .add("PATTERN", "Factor1", Vec(p, 0.5))
                     .step("FACTOR")},
  };
  const std::string options = " method=principal priors=smc nfactors=2 corr simple";
  Outcome raw = run("proc factor data=ref.survey8" + options + "; var item1-item6; run;");
  ASSERT_EQ(exit_code(raw), 0) << raw.log;
  EXPECT_LT(maxdiff(table(raw, "Corr"), corr), 1e-12) << "the raw data give the test's matrix";
  for (const auto& [type, data] : cases) {
    SCOPED_TRACE(type);
    Outcome r = run(data + "proc factor data=m" + options + "; var item1-item6; run;");
    ASSERT_EQ(exit_code(r, 1), 0) << r.log;
    EXPECT_LT(maxdiff(table(r, "Corr"), corr), 1e-12);
    for (const char* name : {"Eigenvalues", "FactorPattern"})
      EXPECT_LT(maxdiff(table(r, name), table(raw, name)), 1e-10) << name;
  }
}

}  // namespace
