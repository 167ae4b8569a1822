// Analytic rotation.  Every criterion of the orthomax and oblimin families,
// their oblique and orthogonal counterparts and the Crawford-Ferguson forms
// are one criterion with four weights; the procedure turns the method into
// those weights, the factoring extension iterates, and the procedure shows
// what comes back.
//
// An analytic rotation always starts from the unrotated solution, so that
// each entry of a ROTATE= list is a rotation of the extracted factors and
// not of whatever the entry before it left behind.
#include "factor/rotate/factrot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "factor/extract/factpos.h"
#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/output/notes.h"
#include "factor/rotate/rotation_registry.h"
#include "factor/rotate/rotselect.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "host/services.h"
#include "host/step.h"
#include "host/value.h"
#include "numeric/matrix.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

std::size_t cells(int rows, int cols) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}

// The parameter values that belong to this rotation: the PREROTATE= values
// for the prerotation, the values labelled with the entry's list position
// otherwise (none for a rotation chosen by the other options).
std::vector<double> parameters_of(const COMSTR* com, int which) {
  if (which == -1) {
    std::vector<double> v;
    for (int k = 0; k < com->nprparm; ++k) v.push_back(com->protparm[k]);
    return v;
  }
  return rotation_params(com, which + 1);
}

// Reads an integer or a vector of doubles back from the extension; false
// when the extension cannot give it.
bool get_value(COMSTR* com, int code, void* to, std::size_t bytes) {
  TKXFAC_INSTANCE* inst = com->tkxfacInst;
  std::size_t n = bytes;
  return inst->FactoryPtr->ValueGet(inst, code, to, &n, 0, 0) == TKXFAC_OK;
}

[[noreturn]] void stop(COMSTR* com, int code) {
  factrc(com, code);
  xexit(com->rc, 0);
}

// The results every rotation must give back; without them nothing can be
// shown, so the step ends.
void fetch_required(COMSTR* com, int code, void* to, std::size_t bytes) {
  if (!get_value(com, code, to, bytes)) stop(com, kExitExtension);
}

// The rotated pattern, factor correlations and transformation.
void fetch_solution(COMSTR* com, bool oblique) {
  const int p = com->nvar, m = com->nfact;
  fetch_required(com, TKXFAC_VAL_ROTATED_PATTERN, com->fact, cells(p, m) * sizeof(double));
  if (oblique) {
    factoblbuf(com);
    fetch_required(com, TKXFAC_VAL_FACTOR_CORR, com->fcor,
                   static_cast<std::size_t>(m) * (m + 1) / 2 * sizeof(double));
  }
  fetch_required(com, TKXFAC_VAL_TRANSFORMATION, com->tran, cells(m, m) * sizeof(double));
}

// The outcome of the iterations: a note when they converged; otherwise the
// message of the failure, and the step ends, since no rotated solution that
// the criterion did not reach may be shown.
void check_status(COMSTR* com) {
  std::int32_t status = 0, iterations = 0;
  double criterion = com->miss, measure = com->miss;
  if (!get_value(com, TKXFAC_ROTATION_STATUS, &status, sizeof status)) stop(com, kExitExtension);
  get_value(com, TKXFAC_VAL_ROTATION_ITER, &iterations, sizeof iterations);
  get_value(com, TKXFAC_VAL_ROTATION_CRIT1, &criterion, sizeof criterion);
  get_value(com, TKXFAC_VAL_ROTATION_CRIT2, &measure, sizeof measure);
  StepContext& h = *com->host;
  switch (status) {
    case TKXFAC_ROTATE_CONVERGE:
      h.xpmlog(kFactorGroup, kMsgRotConverged,
               {std::to_string(iterations), factfmt(criterion), factfmt(measure)});
      return;
    case TKXFAC_ROTATE_NOT_CONVERGE:
      h.xpmlog(kFactorGroup, kMsgRotNotConverged, {std::to_string(com->ritr)});
      stop(com, kExitExtension);
    case TKXFAC_ROTATE_TO_SINGULARITY:
      h.xpmlog(kFactorGroup, kMsgRotSingular);
      stop(com, kExitExtension);
    case TKXFAC_ROTATE_FAIL_TO_OPTIMIZE:
      h.xpmlog(kFactorGroup, kMsgRotNoOptimum);
      stop(com, kExitExtension);
    case TKXFAC_ROTATE_EXCEPTION:
      h.xpmlog(kFactorGroup, kMsgRotException);
      stop(com, kExitExtension);
    default:
      return;
  }
}

// The rotated solution's description in the group label: the method with
// its parameters, or the Harris-Kaiser power.
void describe(COMSTR* com, const RotationMethod& method, int which, bool hk,
              const std::vector<double>& params) {
  if (!com->ods) return;
  if (hk) {
    double power = method.kind == RotKind::HarrisKaiser
                       ? com->hkpower
                       : (is_missing(com->hkpower) ? 0.0 : com->hkpower);
    factoir(com, which, kMsgMethodHk, 2,
            {method.hk_name ? method.hk_name : "orthomax", factfmt(power)});
    return;
  }
  std::vector<std::string> inserts;
  for (int k = 0; k < method.max_params; ++k)
    inserts.push_back(k < std::ssize(params) ? factfmt(params[static_cast<std::size_t>(k)]) : ".");
  factoir(com, which, method.label, inserts);
}

// Shows a vector of the rotation's weights with its catalogue title.
void show_weights(COMSTR* com, const char* name, int titleno, const double* values, int n,
                  char kind) {
  factpm2(
      com,
      {.name = name, .title = factitle(com, titleno), .values = values, .shape = one_row(n, kind)});
}

void show_orthogonal(COMSTR* com) {
  const int p = com->nvar, m = com->nfact;
  if (com->ods)
    factm2(com, {.name = "OrthTrans",
                 .values = com->tran,
                 .shape = factors_by_factors(m),
                 .titleno = kMsgOrthTrans});
  if (fopt_test(com, kFoptReorder)) factprm(com, com->fact);
  if (com->ods)
    factm2(com, {.name = "OrthRotFactPat",
                 .values = com->fact,
                 .shape = variables_by_factors(p, m),
                 .titleno = kMsgRotPattern,
                 .se = com->factse,
                 .stacked = true});
  factvaf(com, 0);
}

// Harris-Kaiser mode, for HK itself and for an orthogonal criterion when
// HKPOWER= is given; an oblique criterion says it cannot have it.
bool harris_kaiser_mode(COMSTR* com, const RotationMethod& row, bool oblique) {
  const bool hk = row.kind == RotKind::HarrisKaiser || !is_missing(com->hkpower);
  if (hk && oblique) {
    com->host->xpmlog(kFactorGroup, kMsgHkNotOblique);
    return false;
  }
  return hk;
}

// The criterion's parameters into w, a missing first value replaced by
// what stands in for it.  HK's parameter is the power, set in com->hkpower;
// its orthomax step takes GAMMA=, or 1.  The caller restores both after the
// rotation.
void criterion_parameters(COMSTR* com, const RotationMethod& row, std::vector<double>& params,
                          double w[4]) {
  auto first = [&](double otherwise) {
    if (params.empty()) params.push_back(otherwise);
    if (is_missing(params[0])) params[0] = otherwise;
    return params[0];
  };
  if (row.stand_in != RotOption::None) first(stand_in_value(com, row));
  if (row.kind == RotKind::HarrisKaiser) {
    com->hkpower = params[0];
    com->gamma = is_missing(com->gamma) ? 1.0 : com->gamma;
    w[0] = com->gamma;
  } else {
    for (int k = 0; k < 4 && k < row.max_params && k < std::ssize(params); ++k)
      w[k] = params[static_cast<std::size_t>(k)];
  }
}

// One factor or none cannot be rotated: said in the log and in a note.
bool too_few_to_rotate(COMSTR* com) {
  if (com->nfact >= 2) return false;
  const int number = com->nfact == 1 ? kMsgOneFactor : kMsgNoFactor;
  com->host->xpmlog(kFactorGroup, number, {std::to_string(com->nfact)});
  factonote(com, number, {std::to_string(com->nfact)});
  return true;
}

// What the extension's rotation is told: the criterion's weights w, the
// normalisation, the iterations and the tolerances.
TKXFAC_ROTPARMS rotation_parameters(const COMSTR* com, int method, bool hk, const double w[4]) {
  TKXFAC_ROTPARMS rot{};
  rot.rottype = factrottype(method);
  rot.normtype = (com->normtype >= 1 && com->normtype <= 4) ? com->normtype : 6;
  rot.kaisernorm = com->normtype == 0 || com->normtype == 1;
  rot.promaxnorm = true;
  rot.savetrans = true;
  rot.maxiter = com->ritr;
  rot.target = nullptr;
  rot.gamma = com->gamma;
  rot.tau = com->tau;
  // An oblique criterion never runs in Harris-Kaiser mode; the extension is
  // told so by a missing power.
  rot.hkpower = hk ? com->hkpower : com->miss;
  rot.power = com->kvalue;
  rot.eps = com->reps;
  std::copy(w, w + 4, rot.gcf_parms);
  return rot;
}

// The weights a rotation used, kept for display: the variables' (with
// Cureton-Mulaik or weighted normalisation) and the factors' (in
// Harris-Kaiser mode with a power other than 0).  Empty when not shown.
struct RotationWeights {
  std::vector<double> variables, factors;
};

// The extension rotates the pattern; a failure ends the step.  Returns the
// weights to show, then checks the extension's status.
RotationWeights run_rotation(COMSTR* com, TKXFAC_INSTANCE* inst, const TKXFAC_ROTPARMS& rot,
                             bool hk) {
  const int p = com->nvar, m = com->nfact;
  RotationWeights out;
  const TKXFAC_FACTORY* f = inst->FactoryPtr;
  const std::int32_t nv = p, nf = m;
  if (f->ValueSet(inst, TKXFAC_VAL_NVAR, &nv, sizeof nv) != TKXFAC_OK ||
      f->ValueSet(inst, TKXFAC_VAL_NFACT, &nf, sizeof nf) != TKXFAC_OK ||
      f->ValueSet(inst, TKXFAC_VAL_PATTERN, com->fact, cells(p, m) * sizeof(double)) != TKXFAC_OK ||
      f->RotateFactors(inst, &rot) != TKXFAC_OK) {
    com->host->xpmlog(kFactorGroup, kMsgRotException);
    stop(com, kExitExtension);
  }
  if (com->ods && (com->normtype == 2 || com->normtype == 4)) {
    out.variables.resize(static_cast<std::size_t>(p));
    if (!get_value(com, TKXFAC_VAL_VAR_WEIGHTS, out.variables.data(), p * sizeof(double)))
      out.variables.clear();
  }
  if (com->ods && hk && com->hkpower != 0) {
    out.factors.resize(static_cast<std::size_t>(m));
    if (!get_value(com, TKXFAC_VAL_FACTOR_WEIGHTS, out.factors.data(), m * sizeof(double)))
      out.factors.clear();
  }
  check_status(com);
  return out;
}

// The rotated solution: through the oblique quantities when the rotation
// is oblique or in Harris-Kaiser mode, else the orthogonal tables.
void show_rotated(COMSTR* com, bool hk) {
  if (fopt_test(com, kFoptOblique) || com->nfc > 0) {
    factobl(com, hk ? 'H' : 'D');
    if (com->nfact > 0) {
      if (com->ods)
        factm2(com, {.name = "ObliqueTrans",
                     .values = com->tran,
                     .shape = factors_by_factors(com->nfact),
                     .titleno = kMsgObliqueTrans});
      factobp(com);
    }
  } else {
    show_orthogonal(com);
  }
}

}  // namespace

int factrottype(int method) {
  const RotationMethod* r = find_rotation(method);
  return r ? r->ext_type : 0;
}

bool factkap(double w[4], int p, int m, int method) {
  const RotationMethod* r = find_rotation(method);
  if (!r || !r->weights) return false;
  const CfWeights g = r->weights(p, m, w);
  std::copy(g.begin(), g.end(), w);
  return true;
}

void factoblbuf(COMSTR* com) {
  const auto mf = static_cast<std::uint64_t>(std::max(com->maxfact, 1));
  const auto p = static_cast<std::uint64_t>(com->nvar);
  auto identity = [&](double*& a) {
    if (a) return;
    a = factalloc_doubles(com, mf * (mf + 1) / 2);
    for (std::uint64_t j = 0; j < mf; ++j) a[j * (j + 1) / 2 + j] = 1;
  };
  identity(com->fcor);
  identity(com->rcor);
  if (!com->struc) com->struc = factalloc_doubles(com, mf * p);
  if (!com->ref) com->ref = factalloc_doubles(com, mf * p);
  if (!com->dinv) com->dinv = factalloc_doubles(com, mf);
  if (!com->tran) com->tran = factalloc_doubles(com, mf * mf);
}

void factunrot(COMSTR* com) {
  const int m = com->nfact;
  if (m < 1 || !com->ufact) return;
  std::memcpy(com->fact, com->ufact, cells(com->nvar, m) * sizeof(double));
  com->nfc = 0;
  if (com->fcor) {
    std::fill(com->fcor, com->fcor + static_cast<std::size_t>(m) * (m + 1) / 2, 0.0);
    for (int j = 0; j < m; ++j) com->fcor[packed_index(j, j)] = 1;
  }
}

int factrot(COMSTR* com, int method, int which) {
  // Nothing to do for no rotation or one that fits a target (factpro's),
  // nor when no iterations are allowed.
  const RotationMethod* row = find_rotation(method);
  if (row && !row->weights) return 0;
  if (com->ritr == 0) {
    com->host->xpmlog(kFactorGroup, kMsgNoRotIterations);
    return 0;
  }
  if (!row) stop(com, kExitInternal);
  factunrot(com);

  const bool oblique = oblfact(com, method) != 0;
  const bool hk = harris_kaiser_mode(com, *row, oblique);

  // HK's power and gamma hold for this rotation only, so that the rotations
  // after it (and the next BY group) see the options as given.
  std::vector<double> params = parameters_of(com, which);
  const double saved_hkpower = com->hkpower, saved_gamma = com->gamma;
  struct Restore {
    COMSTR* com;
    double hkpower, gamma;
    ~Restore() {
      com->hkpower = hkpower;
      com->gamma = gamma;
    }
  } restore{com, saved_hkpower, saved_gamma};
  double w[4] = {0, 0, 0, 0};
  criterion_parameters(com, *row, params, w);

  describe(com, *row, which, hk, params);
  if (too_few_to_rotate(com)) return 0;

  const int p = com->nvar, m = com->nfact;
  if (!factkap(w, p, m, method)) stop(com, kExitInternal);
  TKXFAC_INSTANCE* inst = com->tkxfacInst;
  const RotationWeights used =
      inst ? run_rotation(com, inst, rotation_parameters(com, method, hk, w), hk)
           : RotationWeights{};
  if (!used.variables.empty())
    show_weights(com, "VarWeightRotate", kMsgVarWeights, used.variables.data(), p, kLabelVariables);
  if (!used.factors.empty())
    show_weights(com, "FactorWeightRotate", kMsgFactorWeights, used.factors.data(), m,
                 kLabelFactors);
  if (hk) com->nfc = m;

  if (inst) fetch_solution(com, oblique);

  // Standard errors of the rotated maximum-likelihood solution.
  if (com->fmethod == kFmMl && fopt_test(com, kFoptStderr)) factse(com, method, w);

  show_rotated(com, hk);
  return 0;
}

}  // namespace kav
