// The OUT= data set: every input observation of the BY group with its
// factor scores (and, with partial variables, the residuals of the analysis
// variables on them).  An observation that cannot be scored is still
// written, with missing scores, so that nothing of the input is lost.
//
// The data set becomes visible only when the step ends normally
// (factoutend); a step that stops leaves no half-written OUT=.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/state/factds.h"
#include "factor/state/stages.h"
#include "factor/state/step_record.h"
#include "host/services.h"
#include "host/value.h"
#include "numeric/dense.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

constexpr double kSmallestNormal = 2.225073858507202e-308;

std::string name_of(const longlname& v) {
  return std::string(v.name, static_cast<std::size_t>(std::clamp<int>(v.len, 0, 32)));
}

}  // namespace

// The data set: the copied input variables, the partial residuals, then
// one score variable per possible factor.  Opened as soon as the statement
// is read, so that a name that cannot be written stops the step before any
// analysis is printed.
void factoutopen(COMSTR* com) {
  if (com->outffid || !com->outffile || !com->datafid) return;
  const DataSetHeader& in = com->datafid->reader->header();
  DataSetHeader header;
  for (int k : com->step->outcopy) header.vars.push_back(in.vars[static_cast<std::size_t>(k)]);
  if (com->npar > 0) {
    const std::string prefix = std::string(com->parpfix, static_cast<std::size_t>(
                                                             std::clamp(com->parpfix_l, 0, 32)));
    for (int i = 0; i < com->nvar; ++i) {
      Variable v;
      v.name = prefix + name_of(com->vname[i]);
      if (v.name.size() > 32) v.name.resize(32);
      v.label = factvlab(com, i);
      header.vars.push_back(v);
    }
  }
  for (int j = 0; j < com->maxfact; ++j) {
    Variable v;
    v.name = factfnam(com, j);
    header.vars.push_back(v);
  }
  com->outffid = factopen_output(com, *com->outffile, std::move(header));
  com->outffid->row.resize(com->outffid->writer->header().vars.size());
}

namespace {

// The scale of each analysis variable's residual on the partial variables:
// the square root of 1 - R^2, R^2 = b' R_pp b with b the regression
// coefficients the sweep left in the partial rows of `cor` and R_pp the
// inverse of the swept block beside them.
std::vector<double> residual_scales(COMSTR* com) {
  const int n = com->nvar, q = com->npar;
  std::vector<double> w(static_cast<std::size_t>(n), 1.0);
  const double* c = com->cor;
  std::vector<double> rpp(static_cast<std::size_t>(q) * (q + 1) / 2);
  for (int k = 0; k < q; ++k)
    for (int l = 0; l <= k; ++l) rpp[static_cast<std::size_t>(packed_index(k, l))] =
        c[packed_index(n + k, n + l)];
  std::vector<double> work(static_cast<std::size_t>(q));
  // Partial variables that added nothing have zero rows; they are rejected
  // pivots here and contribute nothing.
  znndsol(kSmallestNormal, q, rpp.data(), work.data(), 0, nullptr);
  for (int i = 0; i < n; ++i) {
    double r2 = 0;
    for (int k = 0; k < q; ++k)
      for (int l = 0; l < q; ++l)
        r2 += c[packed_index(n + k, i)] *
              rpp[static_cast<std::size_t>(packed_sym_index(k, l))] *
              c[packed_index(n + l, i)];
    const double v = 1 - r2;
    w[static_cast<std::size_t>(i)] = v >= kSmallestNormal ? std::sqrt(v) : kSmallestNormal;
  }
  return w;
}

}  // namespace

void factout(COMSTR* com) {
  if (!fopt_test(com, kFoptOut) || !com->score || !com->datafid) return;
  factoutopen(com);
  FACTOUTDS* out = com->outffid;
  if (!out) return;
  const int n = com->nvar, ntot = com->ntot, m = std::max(com->nfact, 0);
  const bool partial = com->dfpar > 0 && com->npar > 0;
  const double* mean = partial ? com->omean : com->vmean;
  const double* sd = partial ? com->ostd : com->vstd;
  const std::vector<double> w = partial ? residual_scales(com) : std::vector<double>();
  const std::vector<int>& varno = com->step->varno;
  const std::vector<int>& copy = com->step->outcopy;
  const std::size_t ncopy = copy.size();
  const std::size_t first_score = ncopy + (com->npar > 0 ? static_cast<std::size_t>(n) : 0);

  ByGroups& groups = *com->datafid->groups;
  groups.xbyrwnd();
  Observation obs;
  std::vector<double> z(static_cast<std::size_t>(ntot));
  Observation& row = out->row;
  while (groups.next(obs)) {
    for (std::size_t k = 0; k < ncopy; ++k) {
      const auto from = static_cast<std::size_t>(copy[k]);
      row.num[k] = obs.num[from];
      row.str[k] = obs.str[from];
    }
    bool complete = true;
    for (int k = 0; k < ntot; ++k) {
      const double v = obs.num[static_cast<std::size_t>(varno[static_cast<std::size_t>(k)])];
      if (is_missing(v)) complete = false;
      z[static_cast<std::size_t>(k)] = v;
    }
    for (std::size_t k = ncopy; k < row.num.size(); ++k) row.num[k] = com->miss;
    if (complete) {
      for (int k = 0; k < ntot; ++k) {
        double& v = z[static_cast<std::size_t>(k)];
        if (!com->noint) v -= mean[k];
        if (sd[k] > 0) v /= sd[k];
      }
      if (partial) {
        for (int k = 0; k < com->npar; ++k)
          for (int i = 0; i < n; ++i)
            z[static_cast<std::size_t>(i)] +=
                z[static_cast<std::size_t>(n + k)] * com->cor[packed_index(n + k, i)];
        for (int i = 0; i < n; ++i) {
          row.num[ncopy + static_cast<std::size_t>(i)] = z[static_cast<std::size_t>(i)] * sd[i];
          z[static_cast<std::size_t>(i)] /= w[static_cast<std::size_t>(i)];
        }
      }
      for (int j = 0; j < m; ++j) {
        double s = 0;
        for (int i = 0; i < n; ++i) s += z[static_cast<std::size_t>(i)] * com->score[dense_index(i, j, n)];
        row.num[first_score + static_cast<std::size_t>(j)] = s;
      }
    }
    factwrite(com, out);
  }
}

void factoutend(COMSTR* com) {
  factcommit(com, &com->outffid);
}

}  // namespace kav
