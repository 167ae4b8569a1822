// A finished solution read from a TYPE=FACTOR data set instead of an
// extraction: a factor pattern (METHOD=PATTERN), scoring coefficients
// (METHOD=SCORE) or image coefficients, with the factor correlations,
// weights, communalities and priors that came with it.  What an OUTSTAT=
// data set of an earlier step holds can so be rotated or scored again.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/output/matrix_printer.h"
#include "factor/rotate/factrot.h"
#include "factor/state/factds.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/services.h"
#include "host/value.h"
#include "numeric/eigen.h"
#include "numeric/dense.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// Scores whose standard deviation is this close to 1 are left as they are.
constexpr double kUnitScale = 1e-12;

std::string type_of(const std::string& s) {
  std::string t = s.substr(0, std::min<std::size_t>(s.size(), 8));
  for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  while (!t.empty() && t.back() == ' ') t.pop_back();
  return t;
}

// The factor names come from the input, up to 32 characters each.
void name_factor(COMSTR* com, int j, const std::string& name) {
  if (!com->fname || com->fname_l < 32) {
    char* names = static_cast<char*>(
        factalloc(com, static_cast<std::uint64_t>(32) * std::max(com->maxfact, com->nvar)));
    std::memset(names, ' ', static_cast<std::size_t>(32) * std::max(com->maxfact, com->nvar));
    for (int k = 0; com->fname && k < std::max(com->maxfact, com->nvar); ++k)
      std::memcpy(names + 32 * k, com->fname + static_cast<std::ptrdiff_t>(com->fname_l) * k,
                  static_cast<std::size_t>(com->fname_l));
    com->fname = names;
    com->fname_l = 32;
  }
  std::string n = name;
  while (!n.empty() && n.back() == ' ') n.pop_back();
  if (n.empty()) n = "Factor" + std::to_string(j + 1);
  char* dst = com->fname + static_cast<std::ptrdiff_t>(com->fname_l) * j;
  std::memset(dst, ' ', static_cast<std::size_t>(com->fname_l));
  std::memcpy(dst, n.data(), std::min<std::size_t>(n.size(), static_cast<std::size_t>(com->fname_l)));
}

// Scoring coefficients W standardised so that every score has unit
// variance under the correlation matrix R: the score covariances W'RW.
// False when the scores are linearly dependent.
bool standardise_scores(COMSTR* com) {
  const int p = com->nvar, m = com->nfact;
  if (!com->cor) return true;  // without R the coefficients stay as given
  std::vector<double> c(static_cast<std::size_t>(m) * (m + 1) / 2);
  for (int k = 0; k < m; ++k) {
    for (int l = 0; l <= k; ++l) {
      double s = 0;
      for (int i = 0; i < p; ++i)
        for (int j = 0; j < p; ++j)
          s += com->fact[dense_index(i, k, p)] *
               com->cor[packed_sym_index(i, j)] * com->fact[dense_index(j, l, p)];
      c[static_cast<std::size_t>(packed_index(k, l))] = s;
    }
  }
  std::vector<double> sd(static_cast<std::size_t>(m));
  zcovcor(m, c.data(), sd.data());
  std::vector<double> values(static_cast<std::size_t>(m)), work(static_cast<std::size_t>(8) * m);
  std::vector<double> e = c;
  const bool eigen_ok = zeigen2(m, e.data(), values.data(), 0, nullptr, work.data()) <= 0;
  bool dependent = !eigen_ok;
  for (double v : values) dependent = dependent || v <= com->singular;
  for (int k = 0; k < m; ++k) {
    const double s = sd[static_cast<std::size_t>(k)];
    if (s > 0 && std::fabs(s - 1) > kUnitScale)
      for (int i = 0; i < p; ++i) com->fact[dense_index(i, k, p)] /= s;
  }
  return !dependent;
}

}  // namespace

void factin(COMSTR* com) {
  const int p = com->nvar;
  for (int i = 0; i < p; ++i) {
    com->wt[i] = 0;
    com->priors[i] = com->miss;
    com->communal[i] = com->miss;
  }
  com->nfact = 0;
  com->nfc = 0;
  if (!com->datafid || !com->datafid->groups || com->typeno <= 0) {
    com->host->xpmlog(kFactorGroup, kMsgNoFactorRows);
    factrc(com, kRcByGroup);
    return;
  }

  const char* column_type = com->fmethod == kFmScore   ? "SCORE"
                            : com->fmethod == kFmImage ? "IMAGE"
                                                       : "PATTERN";
  ByGroups& groups = *com->datafid->groups;
  const std::vector<int>& varno = com->step->varno;
  const auto type_col = static_cast<std::size_t>(com->typeno - 1);
  const int name_col = com->nameno - 1;
  std::vector<double> v(static_cast<std::size_t>(p));
  groups.xbyrwnd();
  Observation obs;
  while (groups.next(obs)) {
    const std::string type = type_of(type_col < obs.str.size() ? obs.str[type_col] : "");
    for (int i = 0; i < p; ++i) {
      const double x = obs.num[static_cast<std::size_t>(varno[static_cast<std::size_t>(i)])];
      v[static_cast<std::size_t>(i)] = is_missing(x) ? 0.0 : x;  // missing reads as 0
    }
    const bool factor_row =
        type == column_type || (com->fmethod == kFmPattern && type == "FACTOR");
    if (factor_row) {
      if (com->nfact >= com->maxfact) continue;
      std::copy(v.begin(), v.end(), com->fact + dense_index(0, com->nfact, p));
      name_factor(com, com->nfact,
                  name_col >= 0 ? obs.str[static_cast<std::size_t>(name_col)] : std::string());
      ++com->nfact;
    } else if (type == "FCORR") {
      if (com->nfc >= com->maxfact) continue;
      factoblbuf(com);
      const int row = com->nfc++;
      for (int j = 0; j <= row && j < p; ++j)
        com->fcor[packed_index(row, j)] = v[static_cast<std::size_t>(j)];
    } else if (type == "WEIGHT") {
      std::copy(v.begin(), v.end(), com->wt);
      fopt_set(com, kFoptVarWeights);
    } else if (type == "COMMUNAL") {
      std::copy(v.begin(), v.end(), com->communal);
    } else if (type == "PRIORS") {
      std::copy(v.begin(), v.end(), com->priors);
    }
  }
  groups.xbyrwnd();

  if (com->nfact == 0) {
    com->host->xpmlog(kFactorGroup, kMsgNoFactorRows);
    factrc(com, kRcByGroup);
    return;
  }
  const int m = com->nfact;

  if (com->nfc >= 1) {
    fopt_set(com, kFoptOblique);
    if (com->nfc < m) {
      com->host->xpmlog(kFactorGroup, kMsgFewFcorrRows);
      factrc(com, kRcByGroup);
      com->nfact = 0;
      return;
    }
    // Rows beyond the factors read belong to no factor.
    com->nfc = m;
    if (com->fmethod == kFmPattern) factobl(com, 'I');
    if (com->nfact < 1) return;
  }

  if (com->fmethod == kFmScore) {
    const bool independent = standardise_scores(com);
    if (!independent && com->ods && com->nfc == 0) {
      com->host->xpmlog(kFactorGroup, kMsgDependentScores);
      factrc(com, kRcSingular);
      xexit(com->rc, 0);
    }
    if (com->ods)
      factm2(com, {.name = "InputScoreCoef",
                   .values = com->fact,
                   .shape = variables_by_factors(p, m),
                   .titleno = kMsgStdScoreCoef});
    return;
  }

  if (!fopt_test(com, kFoptPrint)) return;
  if (com->nfc >= 1 && com->fmethod == kFmPattern) {
    factobp(com);
  } else {
    if (fopt_test(com, kFoptReorder)) factprm(com, com->fact);
    if (com->ods)
      factm2(com, {.name = "InputFactorPattern",
                   .values = com->fact,
                   .shape = variables_by_factors(p, m),
                   .titleno = kMsgInputPattern,
                   .stacked = true});
  }
}

}  // namespace kav
