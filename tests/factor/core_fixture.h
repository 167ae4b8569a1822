// A BY group's state record filled by hand for the extraction routines:
// a correlation matrix saved in the scratch file as the correlation
// preparation leaves it, the arrays the extraction needs, and the
// independent algebra to check the results against.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "factor/program_fixture.h"
#include "factor/rotate/rotation_registry.h"
#include "factor/state/factmsg.h"
#include "factor/state/scratch.h"
#include "factor/state/step_record.h"
#include "host/log.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"
#include "support/reference_eigen.h"

namespace kav::coretest {

using Vec = std::vector<double>;
using progtest::inv;
using progtest::Mat;
using progtest::mul;
using progtest::read_matrix;
using progtest::tr;
using reference::jacobi;

inline std::size_t pk(int i, int j) {
  return i >= j ? static_cast<std::size_t>(i * (i + 1) / 2 + j)
                : static_cast<std::size_t>(j * (j + 1) / 2 + i);
}

inline Mat tests24() {
  return read_matrix("tests24.csv", "CORR");
}
inline Mat physical8() {
  return read_matrix("physical8.csv", "CORR");
}
inline Mat three(double r12, double r13, double r23) {
  return {{1, r12, r13}, {r12, 1, r23}, {r13, r23, 1}};
}

inline Vec packed(const Mat& m) {
  Vec p;
  for (std::size_t i = 0; i < m.size(); ++i)
    for (std::size_t j = 0; j <= i; ++j) p.push_back(m[i][j]);
  return p;
}

// A COMSTR for one BY group of `n` analysis variables with the step's
// host, ready for factcd and the extraction routines.
class CoreTest : public ::testing::Test {
 protected:
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  StepContext ctx{session, {}};
  FACTSTEP step;
  COMSTR* com = &step.com;
  Vec vmean, vstd, wt, communal, eigval, priors, cor, fact, datax, fcor, tran;
  std::size_t since = 0;  // the log entries before the last load

  // The log entries of the procedure since the last load.
  std::vector<LogEntry> entries() const {
    std::vector<LogEntry> out;
    for (const auto& e : session.log.since(since))
      if (e.group == kFactorGroup) out.push_back(e);
    return out;
  }

  // A correlation matrix (packed) as factcor leaves it: in `cor` and saved
  // in the scratch file at notec.
  void load(const Vec& packed_corr, int method = 1, int prior = 5) {
    const int n = static_cast<int>(std::lround((std::sqrt(8.0 * packed_corr.size() + 1) - 1) / 2));
    const auto un = static_cast<std::size_t>(n);
    *com = COMSTR{};
    since = session.log.mark();
    com->host = &ctx;
    com->step = &step;
    com->nvar = com->ntot = com->maxfact = n;
    com->nfactp = -99;
    com->fmethod = method;
    com->priortyp = prior;
    com->miss = com->mineigp = com->percentp = std::nan("");
    com->singular = 1e-7;
    com->epsilon = 0.001;
    com->maxiter = 30;
    com->rmethod0 = com->rmethod2 = kRotNone;
    for (Vec* v : {&vmean, &communal, &eigval, &priors}) v->assign(un, 0);
    vstd.assign(un, 1);
    wt.assign(un, 1);
    cor = packed_corr;
    fact.assign(un * un, 0);
    datax.assign(10 * un, 0);
    com->vmean = vmean.data();
    com->vstd = vstd.data();
    com->wt = wt.data();
    com->communal = communal.data();
    com->eigval = eigval.data();
    com->priors = priors.data();
    com->cor = cor.data();
    com->fact = fact.data();
    com->datax = datax.data();
    com->utid = &ctx.utility();
    ASSERT_EQ(com->utid->xcopen(kUtilityOpenFlags), 0);
    // Something before the matrix, as after earlier BY groups.
    const double lead[3] = {1, 2, 3};
    ASSERT_EQ(com->utid->xcwrite(lead, sizeof lead), 0);
    com->notec = com->utid->xcnote();
    ASSERT_EQ(com->utid->xcwrite(cor.data(), cor.size() * sizeof(double)), 0);
  }
  void load(const Mat& m, int method = 1, int prior = 5) { load(packed(m), method, prior); }

  double at(int i, int j) const { return cor[pk(i, j)]; }
  double loading(int j, int k) const { return fact[static_cast<std::size_t>(k * com->nvar + j)]; }
  // Communalities as row sums of squared loadings.
  double row_ss(int j) const {
    double s = 0;
    for (int k = 0; k < com->nfact; ++k) s += loading(j, k) * loading(j, k);
    return s;
  }

  int count(int number) const {
    int c = 0;
    for (const auto& e : entries()) c += e.number == number;
    return c;
  }
  bool logged(int number) const { return count(number) > 0; }
  std::string text_of(int number) const {
    for (const auto& e : entries())
      if (e.number == number) return e.text;
    return {};
  }
  int exit_code(void (*routine)(COMSTR*)) {
    try {
      routine(com);
    } catch (const StepExit& e) {
      return e.code;
    }
    return -1;
  }
};

// A TYPE=CORR data set of four variables with its N row.
inline std::string corr4(const std::string& extra_rows = "") {
  return "data c(type=corr); length _TYPE_ $ 12 _NAME_ $ 8; input _TYPE_ $ _NAME_ $ x1 x2 x3 x4;\n"
         "datalines;\nN . 100 100 100 100\nCORR x1 1 0.6 0.5 0.4\nCORR x2 0.6 1 0.45 0.35\n"
         "CORR x3 0.5 0.45 1 0.3\nCORR x4 0.4 0.35 0.3 1\n" +
         extra_rows + ";\n";
}

// The number of times a whole program logged a message of the procedure.
inline int times(const progtest::Outcome& r, int number) {
  const auto v = progtest::logged(r);
  return static_cast<int>(std::count(v.begin(), v.end(), number));
}

}  // namespace kav::coretest
