// The number of factors retained.
//
// The eigenvalue rules walk down the eigenvalues: the NFACTORS= bound is
// tested first, then the eigenvalue threshold, and the proportion criterion
// counts the factor that reaches it.  Without any of the three options the
// method chooses: every factor with an eigenvalue above 1 (or above the mean
// weight of a weighted component analysis) for components, Harris and alpha
// factoring; for the other common-factor methods every factor up to all of
// the common variance.
#include "factor/extract/factnf.h"

#include <cmath>
#include <string>

#include "factor/output/factplo.h"
#include "factor/output/notes.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "host/services.h"

namespace kav {

namespace {

const char* reason_text(NfReason reason) {
  switch (reason) {
    case NfReason::Nfactor:
      return "NFACTOR";
    case NfReason::Mineigen:
      return "MINEIGEN";
    case NfReason::Proportion:
      return "PROPORTION";
    default:
      return "";
  }
}

// Log message and output note of a choice: `log` and `note` are the numbers
// for several factors, `log1` and `note1` those for one.
void report(COMSTR* com, int log, int log1, int note, int note1,
            const std::vector<std::string>& args) {
  com->host->xpmlog(kFactorGroup, com->nfact == 1 ? log1 : log, args);
  factonote(com, com->nfact == 1 ? note1 : note, args);
}

int first_eigenvalue(const COMSTR* com) {
  int i0 = 0;
  while (i0 < com->nvar && std::isnan(com->eigval[i0])) ++i0;
  return i0;
}

}  // namespace

int factnfw(const COMSTR* com, NfReason* reason) {
  const int n = com->nvar;
  const double* ev = com->eigval;
  const int i0 = first_eigenvalue(com);
  *reason = NfReason::None;
  if (i0 >= n) return 0;

  double total = 0;
  for (int k = i0; k < n; ++k) total += ev[k];
  const double a = std::max(std::fabs(ev[i0]), std::fabs(ev[n - 1]));
  if (total <= 0.01 * a) total = 1000000.0 * a;

  double proportion = 0;
  for (int k = i0;; ++k) {
    if (k + 1 > com->maxfact || k >= n) {
      *reason = NfReason::Nfactor;
      return k;
    }
    if (ev[k] <= com->mineigen) {
      *reason = NfReason::Mineigen;
      return k;
    }
    proportion += ev[k] / total;
    if (com->percent > 0 && proportion >= com->percent) {
      *reason = NfReason::Proportion;
      return k + 1;
    }
  }
}

void factnf(COMSTR* com) {
  const int n = com->nvar;
  const int i0 = first_eigenvalue(com);

  const bool mineig_given = !std::isnan(com->mineigp);
  com->mineigen = mineig_given ? com->mineigp : (i0 < n ? com->eigval[i0] * kFactZero : 0.0);
  com->percent = std::isnan(com->percentp) ? 0.0 : com->percentp;

  if (!mineig_given && com->nfactp <= 0 && com->percent == 0) {
    com->percent = 1.0;
    if (com->fmethod == kFmAlpha || com->fmethod == kFmHarris) {
      com->mineigen = 1.0;
    } else if (com->priortyp == kPriOne || com->fmethod == kFmImage) {
      if (factwtd(com)) {
        double sum = 0;
        for (int j = 0; j < n; ++j) {
          if (!std::isnan(com->wt[j])) sum += com->wt[j];
        }
        com->mineigen = n > 0 ? sum / n : 0.0;
      } else {
        com->mineigen = 1.0;
      }
    }
  }

  if (com->usemap == 2) {
    com->nfact = com->nfactmap2;
    report(com, kMsgMap2Log, kMsgMap2Log + 1, kMsgMap2Log + 2, kMsgMap2Log + 3,
           {std::to_string(com->nfact)});
  } else if (com->usemap == 4) {
    com->nfact = com->nfactmap4;
    report(com, kMsgMap4Log, kMsgMap4Log + 1, kMsgMap4Log + 2, kMsgMap4Log + 3,
           {std::to_string(com->nfact)});
  } else if (com->usepa == 0) {
    if (i0 >= n) {
      com->nfact = 0;
      com->host->xpmlog(kFactorGroup, kMsgNoEigenvalues);
      return;
    }
    NfReason reason;
    com->nfact = factnfw(com, &reason);
    report(com, kMsgRetainedLog, kMsgRetainedLog1, kMsgRetainedNote, kMsgRetainedNote1,
           {std::to_string(com->nfact), reason_text(reason)});
  } else {
    com->nfact = com->nfactpa;
    report(com, kMsgPaLog, kMsgPaLog + 1, kMsgPaNote, kMsgPaNote + 1,
           {factfmt(com->alphapa), std::to_string(com->nfact)});
  }

  // A model with at least as many parameters as distinct correlations.
  const int p = n, m = com->nfact;
  const int d = ((p - m) * (p - m) - (p + m)) / 2;
  if (d <= 0 && com->fmethod >= kFmUls && com->fmethod <= kFmFuller) {
    com->host->xpmlog(kFactorGroup, kMsgNoDf);
    factonote(com, kMsgNoDf);
  }

  if (com->nfact == 0) com->host->xpmlog(kFactorGroup, kMsgNoFactors);

  com->iscree = i0;
  if (!com->fscree) factscre(com);
}

}  // namespace kav
