// One BY group from the correlation matrix to the output data sets: which
// stage runs, in which order, and what ends the group or the step.
#include <string>

#include "factor/extract/factcd.h"
#include "factor/output/factods.h"
#include "factor/results/factse.h"
#include "factor/rotate/rotation_registry.h"
#include "factor/state/factmsg.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "factor/step/factor.h"
#include "host/services.h"
#include "host/step.h"

namespace kav {

const FACTSTAGES kFactorStages = {
    factcor, factcd,  factoig, factprn, factpri, factnr,  factim,  factin,  factpos,
    factscr, factres, factplt, factgpt, factrot, factpro, factstt, factout, factpdg,
};

namespace {

constexpr int kMethodPrincipal = 1, kMethodUls = 2, kMethodPrinit = 3, kMethodAlpha = 4,
              kMethodMl = 5, kMethodGls = 6, kMethodHarris = 8, kMethodImage = 9,
              kMethodPattern = 10, kMethodScore = 11;
constexpr int kPriorOne = 5;
// Stage codes handed to the rotations and plots.
constexpr int kStageUnrotated = 1, kStagePrerotation = -1, kStageFinal = -2, kStageRotated = 0;
// factstt modes.
constexpr int kSttPrerotated = 0, kSttFinal = 1;

// Promax and Procrustes fit a target; the analytic criteria go to factrot.
bool promax_family(int code) {
  const RotationMethod* r = find_rotation(code);
  return r && r->kind == RotKind::Target;
}

[[noreturn]] void internal_failure(COMSTR* com) {
  factrc(com, kExitInternal);
  xexit(kExitInternal, 0);
}

// Scoring coefficients and plots after a rotation (or the prerotation).
void after_rotation(COMSTR* com, const FACTSTAGES& s, int code, int plot_stage, FoptBit graph) {
  if (fopt_test(com, kFoptScore)) s.factscr(com);
  if (!com->ods) return;
  int oblique = oblsol(code) ? 1 : 0;
  FoptBit plot = plot_stage == kStagePrerotation ? kFoptPreplot : kFoptPlot;
  if (fopt_test(com, plot)) s.factplt(com, oblique, plot_stage);
  if (com->graphics && fopt_test(com, graph)) s.factgpt(com, oblique, plot_stage);
}

void extract(COMSTR* com, const FACTSTAGES& s) {
  switch (com->fmethod) {
    case kMethodPrincipal:
    case kMethodHarris:
      s.factprn(com);
      break;
    case kMethodUls:
    case kMethodMl:
    case kMethodGls:
      s.factnr(com);
      break;
    case kMethodPrinit:
    case kMethodAlpha:
      s.factpri(com);
      break;
    case kMethodImage:
      s.factim(com);
      break;
    case kMethodPattern:
    case kMethodScore:
      s.factin(com);
      break;
    default:
      com->host->xpmlog(kFactorGroup, kMsgUnknownMethod, {std::to_string(com->fmethod)});
      internal_failure(com);
  }
}

// Everything after the correlation matrix; returns early when the group has
// nothing more to give.
void analyse(COMSTR* com, const FACTSTAGES& s) {
  s.factcor(com);
  if (com->nfact < 0) return;

  if (com->nfactp == -1) {
    if (fopt_test(com, kFoptKeepCorr) && (fopt_test(com, kFoptMsa) || com->priortyp != kPriorOne))
      s.factcd(com);
    return;
  }

  s.factoig(com);
  extract(com, s);
  s.factpos(com);
  if (com->nfact < 1) return;

  // The unrotated solution.
  if (fopt_test(com, kFoptScore) && !fopt_test(com, kFoptRotate)) s.factscr(com);
  if (fopt_test(com, kFoptResiduals)) s.factres(com);
  if (com->ods) {
    int oblique = com->nfc > 0 ? 1 : 0;
    if (fopt_test(com, kFoptPlot)) s.factplt(com, oblique, kStageUnrotated);
    if (com->graphics && fopt_test(com, kFoptPlotInitLoadings))
      s.factgpt(com, oblique, kStageUnrotated);
  }

  bool outstat = fopt_test(com, kFoptOutstat);
  bool has_list = com->nrot > 0;
  bool has_final = !has_list && com->rmethod2 != kRotNone;

  if (com->rmethod0 != kRotNone) {
    rotini(com);
    int r = com->rmethod0 == kRotProcrustes ? s.factpro(com, kRotProcrustes, kStagePrerotation)
                                            : s.factrot(com, com->rmethod0, kStagePrerotation);
    if (r != 0) internal_failure(com);
    after_rotation(com, s, com->rmethod0, kStagePrerotation, kFoptPlotPreLoadings);
    if (outstat && (has_list || has_final)) s.factstt(com, kSttPrerotated);
  }

  if (has_list) {
    if (!com->rmethod) internal_failure(com);
    int done = 0;
    int last = 0;
    // NONE entries are skipped but keep their place in the list, so a
    // rotation's stage is its position among all entries.
    for (int i = 0; done < com->nrot; ++i) {
      int code = com->rmethod[i];
      if (code == kRotNone) continue;
      ++done;
      rotini(com);
      last = promax_family(code) ? s.factpro(com, code, i) : s.factrot(com, code, i);
      if (last != 0) internal_failure(com);
      after_rotation(com, s, code, kStageRotated, kFoptPlotLoadings);
    }
    if (outstat && last == 0) s.factstt(com, kSttFinal);
  } else if (has_final) {
    rotini(com);
    if (promax_family(com->rmethod2)) {
      // Promax and Procrustes report their own failures.
      s.factpro(com, com->rmethod2, kStageFinal);
    } else if (s.factrot(com, com->rmethod2, kStageFinal) != 0) {
      internal_failure(com);
    }
    if (com->nfact < 1) return;
    after_rotation(com, s, com->rmethod2, kStageRotated, kFoptPlotLoadings);
    if (outstat) s.factstt(com, kSttFinal);
  } else if (outstat && com->rmethod0 == kRotNone) {
    s.factstt(com, kSttFinal);  // the unrotated rows
  }

  if (fopt_test(com, kFoptOut)) s.factout(com);
  if (com->ods && com->graphics && fopt_test(com, kFoptPathDiagram)) s.factpdg(com);
}

}  // namespace

void factdo(COMSTR* com) {
  const FACTSTAGES& s = com->step ? *com->step->stages() : kFactorStages;
  com->opengroup = nullptr;
  analyse(com, s);
  com->notei = 0;
  com->notec = 0;
  factoclose(&com->opengroup);
}

}  // namespace kav
