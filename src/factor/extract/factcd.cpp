// Correlation diagnostics and prior communalities of one BY group.
//
// The correlation matrix is inverted once per group.  Its diagonal gives the
// squared multiple correlations used as priors; its off-diagonal elements
// give the partial correlations controlling all other variables, from which
// Kaiser's measure of sampling adequacy follows.  The inverse is kept in the
// scratch file for the stages that need it later, and `cor` is read back so
// that every stage after this one sees the correlation matrix again.
#include "factor/extract/factcd.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "factor/output/factods.h"
#include "factor/output/factplo.h"
#include "factor/output/matrix_printer.h"
#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/random.h"
#include "factor/state/scratch.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/log.h"
#include "host/output.h"
#include "host/services.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

std::string upper8(const std::string& s) {
  std::string u = s.substr(0, std::min<std::size_t>(8, s.size()));
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  while (!u.empty() && u.back() == ' ') u.pop_back();
  return u;
}

// Looks for the first observation of the current BY group whose _TYPE_
// passes `wanted` and copies its analysis-variable values (missing values
// as 0) into `values`.  The group is left rewound.  False when there is no
// such observation or no input to read.
template <class Wanted>
bool read_type_row(COMSTR* com, Wanted wanted, double* values) {
  if (!com->datafid || !com->datafid->groups || com->typeno <= 0 || !com->step) return false;
  ByGroups& groups = *com->datafid->groups;
  const std::vector<int>& varno = com->step->varno;
  const auto type_col = static_cast<std::size_t>(com->typeno - 1);
  groups.xbyrwnd();
  Observation obs;
  bool found = false;
  while (groups.next(obs)) {
    if (type_col >= obs.str.size() || !wanted(upper8(obs.str[type_col]))) continue;
    for (int j = 0; j < com->nvar; ++j) {
      double v =
          j < static_cast<int>(varno.size()) &&
                  static_cast<std::size_t>(varno[static_cast<std::size_t>(j)]) < obs.num.size()
              ? obs.num[static_cast<std::size_t>(varno[static_cast<std::size_t>(j)])]
              : 0.0;
      values[j] = std::isnan(v) ? 0.0 : v;
    }
    found = true;
    break;
  }
  groups.xbyrwnd();
  return found;
}

// ---------------------------------------------------------------------------
// Tables of the diagnostics and the priors.

void show_inv_corr(COMSTR* com) {
  factm2(com, {.name = "InvCorr", .values = com->cor, .shape = variables_packed(com->nvar)});
}
void show_partial_corr(COMSTR* com) {
  factm2(com,
         {.name = "ParCorrControlVar", .values = com->cor, .shape = variables_packed(com->nvar)});
}
void show_sampling_adequacy(COMSTR* com, const double* msa, double overall) {
  factpm2(com, {.name = "SamplingAdequacy",
                .title = factitle(com, kMsgMsaTitle, {factnum(overall)}),
                .values = msa,
                .shape = one_column(com->nvar, kLabelVariables),
                .extraname = "_OverallMSA",
                .extra = overall});
}
void show_priors(COMSTR* com, int titleno) {
  factpm2(com, {.name = "PriorCommunalEst",
                .title = factitle(com, titleno),
                .values = com->priors,
                .shape = one_column(com->nvar, kLabelVariables)});
}

}  // namespace

// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------

void factcd(COMSTR* com) {
  const int n = com->nvar;
  double* cor = com->cor;
  double* work = com->datax;
  const bool msa = fopt_test(com, kFoptMsa);
  const bool need_inverse = msa || com->priortyp == kPriSmc || com->priortyp == kPriAsmc;
  com->notei = 0;

  // Squared correlations of each variable with the others, before the
  // matrix is overwritten.
  double s_total = 0;
  if (msa) {
    for (int i = 0; i < n; ++i) {
      double s = 0;
      for (int j = 0; j < n; ++j) {
        if (j == i) continue;
        double r = cor[packed_sym_index(i, j)];
        s += r * r;
      }
      work[n + i] = s;
      s_total += s;
    }
  }

  bool inverse = false;
  if (need_inverse) {
    const int rejected = znndsol(com->singular, n, cor, work, 0, nullptr);
    // Shown before the singularity test: a singular matrix shows what could
    // be inverted.
    if (com->ods && fopt_test(com, kFoptAll)) show_inv_corr(com);
    if (rejected > 0) {
      factrc(com, kRcSingular);
      com->host->xpmlog(kFactorGroup, kMsgSingular);
      factutr(com, cor, com->notec);
    } else {
      for (int i = 0; i < n; ++i) {
        const double c = cor[packed_index(i, i)];
        com->communal[i] = c;
        work[i] = std::sqrt(1.0 / c);
      }
      const std::int64_t position =
          com->notec + static_cast<std::int64_t>(packed_size(n) * sizeof(double));
      factutw(com, cor, position);
      com->notei = position;
      inverse = true;

      if (msa) {
        // Partial correlations controlling all other variables:
        // -c(i,j) / sqrt(c(i,i) c(j,j)).
        for (int i = 0; i < n; ++i) {
          for (int j = 0; j < i; ++j) cor[packed_index(i, j)] *= -work[i] * work[j];
        }
        for (int i = 0; i < n; ++i) cor[packed_index(i, i)] = 1.0;
        if (com->ods) show_partial_corr(com);

        double q_total = 0;
        std::vector<double> q(static_cast<std::size_t>(n), 0.0);
        for (int i = 0; i < n; ++i) {
          for (int j = 0; j < n; ++j) {
            if (j == i) continue;
            double p = cor[packed_sym_index(i, j)];
            q[static_cast<std::size_t>(i)] += p * p;
          }
          q_total += q[static_cast<std::size_t>(i)];
        }
        double* adequacy = work + 2 * n;
        for (int i = 0; i < n; ++i) {
          const double s = work[n + i];
          const double d = s + q[static_cast<std::size_t>(i)];
          adequacy[i] = d > 0 ? s / d : 0.0;
        }
        const double d = s_total + q_total;
        const double overall = d > 0 ? s_total / d : 0.0;
        work[3 * n] = overall;
        if (com->ods) show_sampling_adequacy(com, adequacy, overall);
      }
    }
  }

  // The MAP and parallel-analysis tables (and their graphs), written here
  // whatever the priors, since they do not depend on them.
  if (com->ods) {
    if (com->calcmap) factomap(com);
    if (com->calcpa) factopa(com);
  }

  if (inverse) factutr(com, cor, com->notec);
  factpriors(com, inverse);
}

void factpriors(COMSTR* com, bool inverse) {
  const int n = com->nvar;
  double* priors = com->priors;
  const int type = com->priortyp;
  if (type == kPriNone) return;

  if (type != kPriList) std::fill(priors, priors + n, 1.0);

  if (type == kPriRandom) {
    if (com->seed < 1) {
      // A seed from the clock goes to SYSRANDOM, so that RANDOM=&sysrandom
      // repeats the run.
      zranuni(&com->seed);
      zranms(com, com->seed, 1);
    }
    com->host->xpmlog(kFactorGroup, kMsgRandomSeed, {std::to_string(com->seed)});
    for (int j = 0; j < n; ++j) priors[j] = zranuni(&com->seed);
  }

  double max_sum = 0;
  if (type == kPriMax || type == kPriAsmc) {
    for (int j = 0; j < n; ++j) {
      double m = 0;
      if (com->vstd[j] > 0) {
        for (int i = 0; i < n; ++i) {
          if (i != j)
            m = std::max(m, std::fabs(com->cor[packed_sym_index(i, j)]));
        }
      }
      priors[j] = m;
      max_sum += m;
    }
  }

  if (type == kPriSmc || type == kPriAsmc) {
    if (inverse) {
      double smc_sum = 0;
      for (int j = 0; j < n; ++j) {
        priors[j] = 1.0 - 1.0 / com->communal[j];
        smc_sum += priors[j];
      }
      if (type == kPriAsmc && smc_sum > 0) {
        for (int j = 0; j < n; ++j) priors[j] *= max_sum / smc_sum;
      }
    } else {
      const std::string substitute = type == kPriSmc
                                         ? std::string("1.0.")
                                         : format_message(kFactorGroup, kMsgMaxSubstitute, {});
      com->host->xpmlog(kFactorGroup, kMsgSmcSubstitute, {substitute});
    }
  }

  if (type == kPriInput) {
    auto wanted = [](const std::string& t) { return t == "PRIORS" || t.rfind("COMMUNAL", 0) == 0; };
    if (!read_type_row(com, wanted, priors)) {
      factrc(com, kRcByGroup);
      com->host->xpmlog(kFactorGroup, kMsgNoPriorsRow);
      com->priortyp = kPriOne;
    }
  }

  for (int j = 0; j < n; ++j) {
    if (com->vstd[j] <= 0) priors[j] = 0;
    com->communal[j] = priors[j];
    com->cor[packed_index(j, j)] = priors[j];
  }

  factwts(com);

  if (!com->ods) return;
  if (com->priortyp == kPriOne) {
    // Every prior is 1, so the title alone says it all, as long as it says 1.
    if (com->ods->delivery)
      com->ods->delivery->add_note(
          Note{"", {format_message(kFactorGroup, kMsgPriorsTitle, {}) + ": ONE"}});
  } else {
    const bool smc_title = inverse && (com->fmethod == kFmHarris || com->fmethod == kFmImage);
    show_priors(com, smc_title ? kMsgPriorsSmcTitle : kMsgPriorsTitle);
  }
}

void factwts(COMSTR* com) {
  const int n = com->nvar;
  double* wt = com->wt;
  if (fopt_test(com, kFoptWeight)) {
    auto wanted = [](const std::string& t) { return t == "WEIGHT"; };
    if (!read_type_row(com, wanted, wt)) {
      factrc(com, kRcByGroup);
      com->host->xpmlog(kFactorGroup, kMsgNoWeightRow);
      return;
    }
    // A WEIGHT row weighs the standardised variables.  A covariance
    // analysis weighs each variable's own scale, so its weight takes the
    // variance as well, as the unweighted covariance analysis does
    // (weight 1 becomes the variance).  OUTSTAT= divides the variance out
    // again, so reading that data set back repeats the analysis.
    if (fopt_test(com, kFoptCov))
      for (int j = 0; j < n; ++j) wt[j] *= com->vstd[j] * com->vstd[j];
    return;
  }
  for (int j = 0; j < n; ++j) {
    const double p = com->priors[j];
    switch (com->fmethod) {
      case kFmAlpha:
        wt[j] = p > kFactTiny ? 1.0 / p : 0.0;
        break;
      case kFmMl:
      case kFmGls:
      case kFmFuller:
      case kFmHarris:
        wt[j] = 1.0 / std::max(1.0 - p, 0.001);
        break;
      default:
        wt[j] = fopt_test(com, kFoptCov) ? com->vstd[j] * com->vstd[j] : 1.0;
    }
  }
}

}  // namespace kav
