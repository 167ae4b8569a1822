// A BY group's state record filled by hand for the extraction routines:
// a correlation matrix saved in the scratch file as the correlation
// preparation leaves it, the arrays the extraction needs, and independent
// long-double linear algebra to check the results against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "factor/factor.h"
#include "host/log.h"
#include "host/output.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"
#include "lang/program.h"
#include "support/capture_destination.h"
#include "tkxfac/tkxfac.h"

namespace kav::coretest {

using Vec = std::vector<double>;
using Mat = std::vector<std::vector<long double>>;

inline std::size_t pk(int i, int j) {
  return i >= j ? static_cast<std::size_t>(i * (i + 1) / 2 + j)
                : static_cast<std::size_t>(j * (j + 1) / 2 + i);
}

// A matrix data set of the reference folder: the rows whose _TYPE_ is
// `type`, in file order, as a full matrix.
inline Mat read_matrix(const std::string& file, const std::string& type) {
  std::ifstream in(std::string(KAV_REFERENCE_DIR) + "/data/" + file);
  EXPECT_TRUE(in.good()) << file;
  Mat m;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, ',')) {
      cell.erase(std::remove(cell.begin(), cell.end(), '"'), cell.end());
      cells.push_back(cell);
    }
    if (cells.empty() || cells[0] != type) continue;
    std::vector<long double> row;
    for (std::size_t c = 2; c < cells.size(); ++c) row.push_back(std::stold(cells[c]));
    m.push_back(row);
  }
  return m;
}

inline Vec packed(const Mat& m) {
  Vec p;
  for (std::size_t i = 0; i < m.size(); ++i)
    for (std::size_t j = 0; j <= i; ++j) p.push_back(static_cast<double>(m[i][j]));
  return p;
}

// Gauss-Jordan inverse with partial pivoting in long double.
inline Mat inverse(Mat a) {
  const std::size_t n = a.size();
  Mat inv(n, std::vector<long double>(n, 0));
  for (std::size_t i = 0; i < n; ++i) inv[i][i] = 1;
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t p = c;
    for (std::size_t r = c + 1; r < n; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
    std::swap(a[c], a[p]);
    std::swap(inv[c], inv[p]);
    const long double d = a[c][c];
    for (std::size_t j = 0; j < n; ++j) a[c][j] /= d, inv[c][j] /= d;
    for (std::size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      const long double f = a[r][c];
      for (std::size_t j = 0; j < n; ++j) a[r][j] -= f * a[c][j], inv[r][j] -= f * inv[c][j];
    }
  }
  return inv;
}

// Cyclic Jacobi eigen-decomposition in long double: eigenvalues descending,
// vectors as columns (vectors[k] is the k-th eigenvector).
struct Eigen {
  std::vector<long double> values;
  Mat vectors;
};
inline Eigen jacobi(Mat a) {
  const std::size_t n = a.size();
  Mat v(n, std::vector<long double>(n, 0));
  for (std::size_t i = 0; i < n; ++i) v[i][i] = 1;
  for (int sweep = 0; sweep < 100; ++sweep) {
    long double off = 0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) off += a[i][j] * a[i][j];
    if (off < 1e-34L) break;
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        if (a[p][q] == 0) continue;
        const long double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        const long double t =
            (theta >= 0 ? 1 : -1) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const long double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (std::size_t k = 0; k < n; ++k) {
          const long double akp = a[k][p], akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const long double apk = a[p][k], aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const long double vkp = v[k][p], vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](auto x, auto y) { return a[x][x] > a[y][y]; });
  Eigen e;
  for (std::size_t k : order) {
    e.values.push_back(a[k][k]);
    std::vector<long double> col(n);
    for (std::size_t i = 0; i < n; ++i) col[i] = v[i][k];
    e.vectors.push_back(col);
  }
  return e;
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

  // A correlation matrix (packed) as factcor leaves it: in `cor` and saved
  // in the scratch file at notec.
  void load(const Vec& packed_corr, int method = 1, int prior = 5) {
    const int n = static_cast<int>(std::lround((std::sqrt(8.0 * packed_corr.size() + 1) - 1) / 2));
    *com = COMSTR{};
    com->host = &ctx;
    com->step = &step;
    com->nvar = com->ntot = n;
    com->maxfact = n;
    com->nfactp = -99;
    com->fmethod = method;
    com->priortyp = prior;
    com->miss = std::nan("");
    com->mineigp = com->percentp = com->miss;
    com->singular = 1e-7;
    com->epsilon = 0.001;
    com->maxiter = 30;
    com->rmethod0 = com->rmethod2 = kRotNone;
    for (Vec* v : {&vmean, &communal, &eigval, &priors}) v->assign(static_cast<std::size_t>(n), 0);
    vstd.assign(static_cast<std::size_t>(n), 1);
    wt.assign(static_cast<std::size_t>(n), 1);
    cor = packed_corr;
    fact.assign(static_cast<std::size_t>(n * n), 0);
    datax.assign(static_cast<std::size_t>(10 * n), 0);
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

  int count(int group, int number) const {
    int c = 0;
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) ++c;
    return c;
  }
  bool logged(int number) const { return count(kFactorGroup, number) > 0; }
  std::string text_of(int number) const {
    for (const auto& e : session.log.entries())
      if (e.group == kFactorGroup && e.number == number) return e.text;
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

// A whole program run in-process with the procedure's own stages; the
// delivered objects are kept.
struct ProgramRun {
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  OutputDelivery delivery;
  std::vector<OutputObject> objects;
  TKHANDLE toolkit{tkxfac_load, nullptr};
  KAVGCB gcb{&toolkit};

  ProgramRun() {
    register_builtin_procedures(session.procedures);
    session.output = &delivery;
    delivery.attach_destination("capture", std::make_unique<testing_support::Capture>(&objects));
    register_factor(session.procedures, &gcb, nullptr);
  }
  ProgramRun& go(const std::string& program) {
    Interpreter(session).run(program, "p.kav");
    return *this;
  }
  // The last FACTOR step.
  const StepResult& factor_step() const {
    for (auto it = session.steps.rbegin(); it != session.steps.rend(); ++it)
      if (it->procedure == "FACTOR") return *it;
    return session.steps.back();
  }
  const Table* table(const std::string& name) const {
    for (const auto& o : objects)
      if (o.table() && o.table()->name == name) return o.table();
    return nullptr;
  }
  // The numeric cells of a table, row by row.
  std::vector<double> numbers(const std::string& name) const {
    std::vector<double> v;
    const Table* t = table(name);
    if (!t) return v;
    for (const auto& row : t->rows)
      for (const auto& cell : row)
        if (const double* d = std::get_if<double>(&cell)) v.push_back(*d);
    return v;
  }
  bool note_with(int number) const {
    const std::string text = format_message(kFactorGroup, number, {});
    const std::string head = text.substr(0, std::min<std::size_t>(20, text.size()));
    for (const auto& o : objects)
      if (o.note())
        for (const auto& line : o.note()->lines)
          if (line.find(head) != std::string::npos) return true;
    return false;
  }
  int count(int number) const {
    int c = 0;
    for (const auto& e : session.log.entries())
      if (e.group == kFactorGroup && e.number == number) ++c;
    return c;
  }
};

// A TYPE=CORR data set of four variables with its N row.
inline std::string corr4(const std::string& name, const std::string& extra_rows = "") {
  return "data " + name +
         "(type=corr); length _TYPE_ $ 12 _NAME_ $ 8; input _TYPE_ $ _NAME_ $ x1 x2 x3 x4;\n"
         "datalines;\n"
         "N . 100 100 100 100\n"
         "CORR x1 1 0.6 0.5 0.4\n"
         "CORR x2 0.6 1 0.45 0.35\n"
         "CORR x3 0.5 0.45 1 0.3\n"
         "CORR x4 0.4 0.35 0.3 1\n" +
         extra_rows + ";\n";
}

}  // namespace kav::coretest
