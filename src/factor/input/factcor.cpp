// The first stage of every BY group: the moments of the analysis and
// partial variables, from raw observations or from a special data set, the
// observation count the analysis uses, the partial variables swept out, the
// first tables and OUTSTAT= rows, and the hand-over to the factoring
// extension.
#include "factor/input/factcor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "factor/input/zacorrn.h"
#include "factor/input/zrcorr.h"
#include "factor/input/zrsimp.h"
#include "factor/output/factods.h"
#include "factor/output/factsta.h"
#include "factor/output/matrix_printer.h"
#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/random.h"
#include "factor/state/scratch.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/pushdown.h"
#include "host/services.h"
#include "numeric/matrix.h"
#include "numeric/vector_kernels.h"
#include "tkxfac/tkxfac.h"

namespace kav {

namespace {

std::size_t packed(std::size_t n) {
  return n * (n + 1) / 2;
}

std::string vardef_text(const COMSTR* com) {
  return std::string(com->vardef, com->vardef + sizeof com->vardef);
}

[[noreturn]] void extension_failure(COMSTR* com) {
  factrc(com, kExitExtension);
  xexit(com->rc, 0);
}

void value_set(COMSTR* com, int code, const void* data, std::size_t bytes) {
  TKXFAC_INSTANCE* inst = com->tkxfacInst;
  if (!inst || !inst->FactoryPtr || !inst->FactoryPtr->ValueSet ||
      inst->FactoryPtr->ValueSet(inst, code, data, bytes) != 0)
    extension_failure(com);
}

// Why the extension could not give an aid's result, for the user.
std::string aid_failure(int rc) {
  switch (rc) {
    case TKXFAC_ERR_COMPUTE:
      return "a variance is negative or not a number, the eigenvalues could not be found, or "
             "memory ran out";
    case TKXFAC_ERR_NOT_SET:
      return "the factoring extension lacks the correlation matrix or the number of observations";
    default:
      return "the factoring extension refused the request with code " + std::to_string(rc);
  }
}

// A result of an aid from the extension; a failure names the aid and the
// reason before the step stops.
void aid_get(COMSTR* com, const char* aid, int code, void* data, std::size_t bytes) {
  TKXFAC_INSTANCE* inst = com->tkxfacInst;
  std::size_t size = bytes;
  if (!inst || !inst->FactoryPtr || !inst->FactoryPtr->ValueGet) extension_failure(com);
  const int rc = inst->FactoryPtr->ValueGet(inst, code, data, &size, 0, 0);
  if (rc == TKXFAC_OK) return;
  com->host->xpmlog(kFactorGroup, kMsgAidFailed, {aid, aid_failure(rc)});
  extension_failure(com);
}

// The moments from the source the input calls for; the status of the source.
int read_moments(COMSTR* com, NOBSTR& counts, bool& have_counts) {
  FACTSTEP* step = com->step;
  ByGroups& groups = *com->datafid->groups;
  const std::string vardef = vardef_text(com);
  if (fopt_test(com, kFoptRawData)) {
    zacorrInfo_S req;
    req.flags = com->noint ? 1u : 0u;
    req.fileid = &groups;
    req.host = com->host;
    req.vars = step->varno;
    req.freqvar = step->freqno;
    req.weightvar = step->weightno;
    req.vardef = vardef;
    req.sumwgtPtr = &com->sumwt;
    req.vardivPtr = &com->vardiv;
    req.mean = com->vmean;
    req.std = com->vstd;
    req.corr = com->cor;
    req.work = com->datax;
    req.nobsPtr = &com->nobs;
    req.nobsp = &counts;
    req.total_hint = com->datafid->reader->count_hint();
    have_counts = true;
    if (auto* pushed = dynamic_cast<MomentSource*>(com->datafid->reader.get());
        pushed && pushed->pushed_down())
      return zacorr_pushed(&req, pushed->group_moments(com->datafid->group));
    return zacorrn(&req);
  }
  if (com->cor)
    return zrcorr(*com->host, groups, step->varno, com->noint, std::string_view(com->dstype, 8),
                  com->cor, com->vmean, com->vstd, com->datax, vardef, &com->vardiv, &com->sumwt,
                  &com->nobs);
  return zrsimp(*com->host, groups, step->varno, com->vmean, com->vstd, com->datax, vardef,
                &com->vardiv, &com->sumwt, &com->nobs);
}

// Sweeps the partial variables out of the correlation matrix and leaves the
// partial correlations of the analysis variables and their conditional
// standard deviations.
void partial_out(COMSTR* com) {
  const int nvar = com->nvar, npar = com->npar, ntot = com->ntot;
  double* cor = com->cor;
  if (com->omean) std::copy(com->vmean, com->vmean + ntot, com->omean);
  if (com->ostd) std::copy(com->vstd, com->vstd + ntot, com->ostd);
  if (com->nobs <= npar) {
    com->host->xpmlog(kFactorGroup, kMsgFewForPartial, {std::to_string(npar)});
    com->nobs = npar;
  }
  std::vector<char> flags(static_cast<std::size_t>(ntot), '0');
  std::vector<double> work(static_cast<std::size_t>(2 * ntot) + 2);
  int k = npar;
  for (int p = 0; p < npar; ++p) {
    const int pivot = nvar + p;
    zsweep(com->singular, cor, pivot, ntot, flags.data(), work.data());
    if (flags[static_cast<std::size_t>(pivot)] == '0') {
      // A partial variable that adds nothing (a copy of another, say) is
      // left out of the count and out of the matrix.
      --k;
      for (int j = 0; j < ntot; ++j) cor[packed_sym_index(pivot, j)] = 0;
    }
  }
  com->dfpar = k;
  const std::string vardef = vardef_text(com);
  const double d = zvardiv(vardef, com->nobs, com->noint ? k : k + 1, com->sumwt);
  const double scale = d > 0 ? std::sqrt(com->vardiv / d) : 0.0;
  if (vardef.rfind("DF", 0) == 0)
    com->nobs -= k;
  else if (vardef.rfind("WDF", 0) == 0)
    com->sumwt -= k;

  for (int i = 0; i < nvar; ++i) {
    if (cor[packed_index(i, i)] <= kPartialZeroDiagonal)
      for (int j = 0; j < nvar; ++j) cor[packed_sym_index(i, j)] = 0;
  }
  zcovcor(nvar, cor, com->datax);
  for (int j = 0; j < nvar; ++j) {
    com->vmean[j] = 0;
    com->vstd[j] = scale * com->datax[j] * com->vstd[j];
  }
  for (int i = 0; i < nvar; ++i)
    if (cor[packed_index(i, i)] <= kFactZero) cor[packed_index(i, i)] = 0;

  if (com->ods) {
    if (fopt_test(com, kFoptSimple))
      factm2(com, {.name = "CondStdDev",
                   .values = com->vstd,
                   .shape = variables_by_numbers(nvar, 1),
                   .titleno = kMsgCondStdTitle});
    if (fopt_test(com, kFoptCorr))
      factm2(com, {.name = "PartialCorr", .values = cor, .shape = variables_packed(nvar)});
  }
}

// Parallel analysis and MAP results from the extension, or their absence.
void number_of_factor_aids(COMSTR* com) {
  // An aid asked for only to be shown is not computed when nothing is
  // shown (NOPRINT): its simulations can take long.
  if (!com->ods) {
    if (!com->usepa) com->calcpa = 0;
    if (!com->usemap) com->calcmap = 0;
  }
  const bool pa = com->calcpa || com->usepa;
  const bool map = com->calcmap || com->usemap;
  if (!pa && !map) return;
  if (com->nobs >= com->nvar) {
    const std::size_t n = static_cast<std::size_t>(com->nvar) * sizeof(double);
    if (map) {
      if (!com->cor) {
        com->host->xpmlog(kFactorGroup, kMsgMapNoCorr);
        extension_failure(com);
      }
      const char* aid = "The MAP test";
      aid_get(com, aid, TKXFAC_VAL_NFACTMAP2, &com->nfactmap2, sizeof(int));
      aid_get(com, aid, TKXFAC_VAL_FMAP2, com->fmap2, n);
      aid_get(com, aid, TKXFAC_VAL_NFACTMAP4, &com->nfactmap4, sizeof(int));
      aid_get(com, aid, TKXFAC_VAL_FMAP4, com->fmap4, n);
    }
    if (pa) {
      if (!com->cor) {
        com->host->xpmlog(kFactorGroup, kMsgParallelNoCorr);
        extension_failure(com);
      }
      const char* aid = "Parallel analysis";
      aid_get(com, aid, TKXFAC_VAL_NFACTPA, &com->nfactpa, sizeof(int));
      aid_get(com, aid, TKXFAC_VAL_EVALPA, com->evalpa, n);
      aid_get(com, aid, TKXFAC_VAL_AVEEVALPA, com->aveevalpa, n);
      aid_get(com, aid, TKXFAC_VAL_EVALSTD, com->evalstd, n);
      // Without SEED= the extension drew a seed from the clock: that seed
      // is what the table shows and SYSRANDOM keeps, so that the run can be
      // repeated.
      std::int64_t used = 0;
      aid_get(com, aid, TKXFAC_VAL_PA_SEED, &used, sizeof used);
      if (com->pa_seed < 1 && used >= 1) {
        com->pa_seed = used;
        zranms(com, used, 1);
      }
    }
    return;
  }
  if (com->usepa || com->usemap) {
    com->host->xpmlog(kFactorGroup, kMsgAidsTooFewObs);
    extension_failure(com);
  }
  // With fewer observations than variables the aids are only dropped.  When
  // both were asked for, both are dropped: a MAP result from too few
  // observations is no better than a parallel analysis from them.
  if (com->calcpa) {
    com->host->xpmlog(kFactorGroup, kMsgParallelDropped);
    com->calcpa = 0;
  }
  if (com->calcmap) {
    com->host->xpmlog(kFactorGroup, kMsgMapDropped);
    com->calcmap = 0;
  }
}

// A clean start for the group: means 0, standard deviations and weights 1,
// the variables in their own order, as many factors as allowed, unit
// factor correlations, and the count the user gave.
void start_group(COMSTR* com) {
  const int nvar = com->nvar, ntot = com->ntot;
  std::fill(com->vmean, com->vmean + ntot, 0.0);
  std::fill(com->vstd, com->vstd + ntot, 1.0);
  std::fill(com->wt, com->wt + nvar, 1.0);
  if (com->perm && fopt_test(com, kFoptReorder))
    for (int k = 0; k < nvar; ++k) com->perm[k] = k;
  com->nfact = com->maxfact;
  com->nfc = 0;
  if (com->fcor) {
    std::fill(com->fcor, com->fcor + packed(static_cast<std::size_t>(com->maxfact)), 0.0);
    for (int j = 0; j < com->maxfact; ++j) com->fcor[packed_index(j, j)] = 1;
  }
  com->nobs = com->usernobs;
  com->sumwt = com->vardiv = 0;
  com->dfpar = 0;
}

// The observation count the analysis uses: the table of counts, then NOBS=
// over what was read; a warning when there are no more observations than
// variables.
void settle_observation_count(COMSTR* com, const NOBSTR* counts) {
  if (com->ods) factnob(com, counts);
  if (!is_missing(com->usernobs)) com->nobs = com->usernobs;
  if (com->nobs <= com->ntot) {
    com->host->xpmlog(kFactorGroup, kMsgFewObservations);
    factrc(com, kRcWarning);
  }
}

// The simple statistics and the correlations, when asked for.
void print_first_tables(COMSTR* com) {
  if (!com->ods) return;
  if (fopt_test(com, kFoptSimple)) factsis(com);
  if (fopt_test(com, kFoptCorr) && com->cor)
    factm2(com, {.name = "Corr", .values = com->cor, .shape = variables_packed(com->ntot)});
}

// The count, the standard deviations and the correlations handed to the
// factoring extension.
void hand_to_extension(COMSTR* com) {
  const int nvar = com->nvar;
  value_set(com, TKXFAC_VAL_NOBS, &com->nobs, sizeof(double));
  if (com->vstd)
    value_set(com, TKXFAC_VAL_STD, com->vstd, static_cast<std::size_t>(nvar) * sizeof(double));
  if (com->cor)
    value_set(com, TKXFAC_VAL_CORR, com->cor,
              packed(static_cast<std::size_t>(nvar)) * sizeof(double));
}

}  // namespace

void factcor(COMSTR* com) {
  start_group(com);

  // The moments, from the observations or from a special data set; an
  // error ends the group with no factors.
  NOBSTR counts{};
  bool have_counts = false;
  const int status = read_moments(com, counts, have_counts);
  factrc(com, status);
  if (status > kRcWarning || com->nfact < 0) {
    com->nfact = -1;
    return;
  }

  settle_observation_count(com, have_counts ? &counts : nullptr);
  print_first_tables(com);
  if (com->cor && com->npar > 0) partial_out(com);
  for (int j = 0; j < com->nvar; ++j)
    if (com->vstd[j] <= 0) com->host->xpmlog(kFactorGroup, kMsgZeroVariance, {factvnam(com, j)});

  // Later stages that overwrite the matrix read it back from here.
  if (com->cor) {
    com->notec = 0;
    factutw(com, com->cor, com->notec);
  }

  // The OUTSTAT= rows of the moments and the correlations.
  if (fopt_test(com, kFoptOutstat)) {
    factsmom(com);
    if (com->cor) factscrr(com);
  }

  hand_to_extension(com);
  number_of_factor_aids(com);
}

}  // namespace kav
