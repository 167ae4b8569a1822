// Every kind of summary-statistics data set end to end: the test computes from the raw data
// file the matrix each type holds (correlations, covariances, uncorrected
// moments, crossproducts with the intercept row, estimates with PARM means,
// ACE covariances, a FACTOR data set), writes it as a data set of that type
// in the program, and the step must see the same correlation matrix, and
// give the same factors, as the step on the raw data.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "factor/program_fixture.h"

namespace {

using namespace kav::progtest;

const std::vector<std::string> kVars = {"item1", "item2", "item3", "item4", "item5", "item6"};

struct Moments {
  Mat x;
  std::vector<double> mean, sum;
  Mat cross, centred;  // X'X and the centred crossproducts
  double n = 0;
};

Moments moments() {
  CsvData d = read_csv(fs::path(KAV_REFERENCE_DIR) / "data" / "survey8.csv");
  Moments m;
  for (const auto& row : d.rows) {
    std::vector<double> v;
    for (const auto& name : kVars) v.push_back(row[static_cast<std::size_t>(d.column(name))]);
    m.x.push_back(v);
  }
  const std::size_t p = kVars.size();
  m.n = static_cast<double>(m.x.size());
  m.sum.assign(p, 0);
  for (const auto& r : m.x)
    for (std::size_t j = 0; j < p; ++j) m.sum[j] += r[j];
  for (double s : m.sum) m.mean.push_back(s / m.n);
  m.cross = mul(tr(m.x), m.x);
  m.centred = m.cross;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) m.centred[i][j] -= m.n * m.mean[i] * m.mean[j];
  return m;
}

std::string num(double v) {
  std::ostringstream s;
  s << std::setprecision(17) << v;
  return s.str();
}

// A DATA step writing rows of (type, name, values).
struct Rows {
  std::string text;
  void add(const std::string& type, const std::string& name, const std::vector<double>& v) {
    // Appended piece by piece: GCC 12 misreads a concatenation here as an
    // overlapping copy.
    text += type;
    text += ' ';
    text += name.empty() ? std::string(".") : name;
    for (double x : v) {
      text += ' ';
      text += num(x);
    }
    text += "\n";
  }
  void matrix(const std::string& type, const Mat& a) {
    for (std::size_t i = 0; i < a.size(); ++i) add(type, kVars[i], a[i]);
  }
};

std::string data_step(const std::string& type, const std::string& extra_var, const Rows& rows) {
  std::string vars;
  for (const auto& v : kVars) vars += " " + v;
  return "data m(type=" + type + ");\n  length _type_ $ 8 _name_ $ 12;\n  input _type_ $ _name_ $" +
         extra_var + vars + ";\n  datalines;\n" + rows.text + ";\n";
}

TEST(SummaryData, EveryTypeGivesTheCorrelationsOfTheRawData) {
  const Moments m = moments();
  const std::size_t p = kVars.size();
  const double n = m.n;
  Mat cov = m.centred, ucov = m.cross, corr = m.centred, ucorr = m.cross;
  std::vector<double> sd(p), usd(p);
  for (std::size_t j = 0; j < p; ++j) {
    sd[j] = std::sqrt(m.centred[j][j] / (n - 1));
    usd[j] = std::sqrt(m.cross[j][j] / n);
  }
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      cov[i][j] /= n - 1;
      ucov[i][j] /= n;
      corr[i][j] = cov[i][j] / (sd[i] * sd[j]);
      ucorr[i][j] = ucov[i][j] / (usd[i] * usd[j]);
    }
  const std::vector<double> count(p, n);

  struct Case {
    const char* type;
    std::function<std::string()> program;
  };
  const Case cases[] = {
      {"CORR", [&] {
         Rows r;
         r.add("MEAN", "", m.mean), r.add("STD", "", sd), r.add("N", "", count);
         r.matrix("CORR", corr);
         return data_step("CORR", "", r);
       }},
      {"COV", [&] {
         Rows r;
         r.add("MEAN", "", m.mean), r.add("N", "", count), r.matrix("COV", cov);
         return data_step("COV", "", r);
       }},
      {"UCORR", [&] {
         Rows r;
         r.add("MEAN", "", m.mean), r.add("USTD", "", usd), r.add("N", "", count);
         r.matrix("UCORR", ucorr);
         return data_step("UCORR", "", r);
       }},
      {"UCOV", [&] {
         Rows r;
         r.add("MEAN", "", m.mean), r.add("N", "", count), r.matrix("UCOV", ucov);
         return data_step("UCOV", "", r);
       }},
      {"SSCP", [&] {
         Rows r;
         std::vector<double> head = {n};
         head.insert(head.end(), m.sum.begin(), m.sum.end());
         r.add("SSCP", "INTERCEPT", head);
         for (std::size_t i = 0; i < p; ++i) {
           std::vector<double> row = {m.sum[i]};
           row.insert(row.end(), m.cross[i].begin(), m.cross[i].end());
           r.add("SSCP", kVars[i], row);
         }
         r.add("N", "", std::vector<double>(p + 1, n));
         return data_step("SSCP", " intercept", r);
       }},
      {"EST", [&] {
         Rows r;
         r.add("PARM", "", m.mean), r.add("N", "", count), r.matrix("COV", cov);
         return data_step("EST", "", r);
       }},
      {"ACE", [&] {
         Rows r;
         r.add("MEAN", "", m.mean), r.add("N", "", count), r.matrix("ACE", cov);
         return data_step("ACE", "", r);
       }},
      {"FACTOR", [&] {
         Rows r;
         r.add("MEAN", "", m.mean), r.add("STD", "", sd), r.add("N", "", count);
         r.matrix("CORR", corr);
         r.add("PATTERN", "Factor1", std::vector<double>(p, 0.5));
         return data_step("FACTOR", "", r);
       }},
  };
  const std::string options = " method=principal priors=smc nfactors=2 corr simple";
  Outcome raw = run("proc factor data=ref.survey8" + options + "; var item1-item6; run;");
  ASSERT_EQ(exit_code(raw), 0) << raw.log;
  EXPECT_LT(maxdiff(table(raw, "Corr"), corr), 1e-12) << "the raw data give the test's matrix";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    Outcome r = run(c.program() + "proc factor data=m" + options + "; var item1-item6; run;");
    ASSERT_EQ(exit_code(r, 1), 0) << r.log;
    EXPECT_LT(maxdiff(table(r, "Corr"), corr), 1e-12);
    EXPECT_LT(maxdiff(table(r, "Eigenvalues"), table(raw, "Eigenvalues")), 1e-10);
    EXPECT_LT(maxdiff(table(r, "FactorPattern"), table(raw, "FactorPattern")), 1e-10);
  }
}

}  // namespace
