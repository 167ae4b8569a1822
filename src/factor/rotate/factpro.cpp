// Rotation toward a target by least squares: promax, whose target is the
// current pattern raised to a power, and Procrustes, whose target is read
// from the TARGET= data set one factor per observation.  The transformation
// is then normalised so that the factors have unit variance, and the
// oblique solution follows.
//
// The final promax rotation, and a promax at the head of a ROTATE= list,
// sharpen the solution their prerotation left.  Every other entry of a list
// starts from the unrotated solution, as the analytic rotations do, so that
// a list entry does not depend on the entries before it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/output/notes.h"
#include "factor/results/factse.h"
#include "factor/rotate/factrot.h"
#include "factor/rotate/rotation_registry.h"
#include "factor/rotate/rotselect.h"
#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "host/services.h"
#include "host/value.h"
#include "numeric/dense.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// Row lengths at or below this (squared) are left as they are, and so are
// columns whose largest element is at or below its square.
constexpr double kSmall = 1.110223024625157e-12;
// A target value this large is used, but the user is warned.
constexpr double kExtremeTarget = 2.6196213420787266e+101;
// Pivots of A'A below this are rank deficient.
constexpr double kProcrustesTolerance = 1.053671212772351e-8;

// The promax target from the current pattern: rows normalised (unless
// NOPROMAXNORM), each element b replaced by |b|^(k-1) b, then each column
// scaled by its largest absolute element.
void promax_target(COMSTR* com, double k, double* t) {
  const int p = com->nvar, m = com->nfact;
  std::copy(com->fact, com->fact + static_cast<std::size_t>(p) * m, t);
  if (fopt_test(com, kFoptPromaxNorm)) {
    for (int i = 0; i < p; ++i) {
      double ss = 0;
      for (int j = 0; j < m; ++j) ss += t[dense_index(i, j, p)] * t[dense_index(i, j, p)];
      if (ss <= kSmall) continue;
      const double len = std::sqrt(ss);
      for (int j = 0; j < m; ++j) t[dense_index(i, j, p)] /= len;
    }
  }
  for (std::size_t c = 0; c < static_cast<std::size_t>(p) * m; ++c)
    t[c] = std::pow(std::fabs(t[c]), k - 1) * t[c];
  for (int j = 0; j < m; ++j) {
    double big = 0;
    for (int i = 0; i < p; ++i) big = std::max(big, std::fabs(t[dense_index(i, j, p)]));
    if (big <= kSmall * kSmall) continue;
    for (int i = 0; i < p; ++i) t[dense_index(i, j, p)] /= big;
  }
}

// Reads the target of the current BY group, one observation per factor.
// False (with message 81) when the data set ends first.
bool procrustes_target(COMSTR* com, double* t) {
  const int p = com->nvar, m = com->nfact;
  FACTINDS* ds = com->targfid;
  if (!ds) return false;
  if (ds->group == 0 && factbynext(ds) == 0) {
    com->host->xpmlog(kFactorGroup, kMsgTargetShort);
    factrc(com, kRcByGroup);
    return false;
  }
  // Every rotation of every BY group reads the target group from its start.
  ds->groups->xbyrwnd();
  const DataSetHeader& h = ds->reader->header();
  std::vector<int> column(static_cast<std::size_t>(p));
  for (int i = 0; i < p; ++i) {
    const longlname& v = com->vname[i];
    column[static_cast<std::size_t>(i)] =
        h.find(std::string(v.name, static_cast<std::size_t>(std::max<int>(v.len, 0))));
  }
  bool extreme = false;
  Observation obs;
  for (int j = 0; j < m; ++j) {
    if (!ds->groups->next(obs)) {
      com->host->xpmlog(kFactorGroup, kMsgTargetShort);
      factrc(com, kRcByGroup);
      return false;
    }
    for (int i = 0; i < p; ++i) {
      const int c = column[static_cast<std::size_t>(i)];
      double v = c >= 0 ? obs.num[static_cast<std::size_t>(c)] : com->miss;
      if (is_missing(v)) v = 0;  // a missing target entry asks for nothing
      if (std::fabs(v) >= kExtremeTarget) extreme = true;
      t[dense_index(i, j, p)] = v;
    }
  }
  if (extreme) com->host->xpmlog(kFactorGroup, kMsgTargetExtreme);
  if (ds->groups->next(obs)) com->host->xpmlog(kFactorGroup, kMsgTargetLong);
  return true;
}

// The power of a promax rotation: its own parameter, POWER=, or 3.
double promax_power(const COMSTR* com, int which) {
  if (which >= 0) {
    std::vector<double> params = rotation_params(com, which + 1);
    if (!params.empty() && !is_missing(params[0])) return params[0];
  }
  return stand_in_value(com, *find_rotation(kRotPromax));
}

}  // namespace

int zprcrst(int p, int m, const double* a, const double* t, double* x, double* work) {
  double* ata = work;
  double* w = work + static_cast<std::size_t>(m) * (m + 1) / 2;
  for (int j = 0; j < m; ++j) {
    for (int k = 0; k <= j; ++k) {
      double s = 0;
      for (int i = 0; i < p; ++i) s += a[dense_index(i, j, p)] * a[dense_index(i, k, p)];
      ata[packed_index(j, k)] = s;
    }
  }
  for (int c = 0; c < m; ++c) {
    for (int j = 0; j < m; ++j) {
      double s = 0;
      for (int i = 0; i < p; ++i) s += a[dense_index(i, j, p)] * t[dense_index(i, c, p)];
      x[dense_index(j, c, m)] = s;
    }
  }
  return znndsol(kProcrustesTolerance, m, ata, w, m, x);
}

namespace {

// The new pattern A X, in place of A.
void transform_pattern(COMSTR* com) {
  const int p = com->nvar, m = com->nfact;
  std::vector<double> rotated(static_cast<std::size_t>(p) * m);
  for (int c = 0; c < m; ++c) {
    for (int i = 0; i < p; ++i) {
      double s = 0;
      for (int j = 0; j < m; ++j)
        s += com->fact[dense_index(i, j, p)] * com->tran[dense_index(j, c, m)];
      rotated[dense_index(i, c, p)] = s;
    }
  }
  std::copy(rotated.begin(), rotated.end(), com->fact);
}

}  // namespace

int factpro(COMSTR* com, int method, int which) {
  const bool promax = method == kRotPromax;
  const bool after_prerotation = which == -2 || (which == 0 && com->rmethod0 != kRotNone);
  if (which >= 0 && !after_prerotation) factunrot(com);
  const double k = promax ? promax_power(com, which) : 0;

  // The description of the rotated solution.
  if (com->ods)
    factoir(com, which, find_rotation(method)->label,
            promax ? std::vector<std::string>{factfmt(k)} : std::vector<std::string>{});
  // One factor has nowhere to turn.
  if (com->nfact < 2) return 0;
  const int p = com->nvar, m = com->nfact;
  factoblbuf(com);

  // The target: promax's from the pattern, else TARGET='s.
  double* target = com->struc;
  if (promax) {
    promax_target(com, k, target);
  } else if (!procrustes_target(com, target)) {
    return 0;
  }
  if (com->ods)
    factm2(com, {.name = "ProcrustesTarget",
                 .values = target,
                 .shape = variables_by_factors(p, m),
                 .titleno = kMsgTargetTitle});

  // Standard errors follow the rotation from the pattern and target it
  // starts with (the target buffer is reused by the oblique solution).
  const bool stderrs = com->fmethod == kFmMl && fopt_test(com, kFoptStderr);
  const bool orthogonal_start = com->nfc == 0;
  std::vector<double> before, fitted;
  if (stderrs) {
    before.assign(com->fact, com->fact + static_cast<std::size_t>(p) * m);
    fitted.assign(target, target + static_cast<std::size_t>(p) * m);
  }

  // The least-squares transformation.
  std::vector<double> work(static_cast<std::size_t>(m) * (m + 1) / 2 + static_cast<std::size_t>(m));
  const bool deficient = zprcrst(p, m, com->fact, target, com->tran, work.data()) > 0;
  if (deficient) com->host->xpmlog(kFactorGroup, kMsgRankDeficient);
  if (com->ods)
    factm2(com,
           {.name = "ProcrustesTrans",
            .values = com->tran,
            .shape = {.nrow = m, .ncol = m, .rowkind = kLabelNumbers, .colkind = kLabelNumbers},
            .titleno = kMsgProcrustesTrans});

  transform_pattern(com);

  // Unit factor variances and the oblique solution.
  factobl(com, 'O');
  if (com->nfact < 1) return 0;
  if (stderrs && !deficient)
    factsepro(com, method, k, orthogonal_start, before.data(), fitted.data());
  if (com->ods)
    factm2(com,
           {.name = "NormObliqueTrans",
            .values = com->tran,
            .shape = {.nrow = m, .ncol = m, .rowkind = kLabelNumbers, .colkind = kLabelNumbers},
            .titleno = kMsgNormTrans});
  factobp(com);
  return 0;
}

}  // namespace kav
