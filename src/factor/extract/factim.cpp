// Image component analysis: each variable regressed on all the others, the
// covariance matrix of the predicted parts (the images) factored like a
// principal component analysis, and the image loadings carried back to the
// observed variables through the matrix of image coefficients.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "factor/extract/factcd.h"
#include "factor/extract/factnf.h"
#include "factor/extract/factprn.h"
#include "factor/output/factods.h"
#include "factor/output/factsta.h"
#include "factor/output/matrix_printer.h"
#include "factor/output/notes.h"
#include "factor/state/factmsg.h"
#include "factor/state/method_codes.h"
#include "factor/state/scratch.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "host/services.h"
#include "numeric/eigen.h"
#include "numeric/matrix.h"

namespace kav {

namespace {

// Work storage of one call, released however the call ends.
struct Work {
  StepPool& pool;
  double* block;
  ~Work() { pool.release(block); }
};

// The image coefficients B (row-major, n by n: row i holds the coefficients
// of variable i on the others) and the squared multiple correlations as
// priors, by sweeping the correlations in com->cor: for row i every variable
// but i is swept, one sweep in and one out per row.  A variable that cannot
// be swept (a linear combination of the others) gets coefficient 0 and is
// said in the log.  w is work storage of n.
void image_coefficients(COMSTR* com, double* b, double* w) {
  const int n = com->nvar;
  const auto nn = static_cast<std::size_t>(n);
  std::vector<char> flags(nn, '0');
  bool declined = false;
  double* c = com->cor;
  for (int i = 0; i < n; ++i) {
    if (i == 0) {
      for (int k = 1; k < n; ++k) zsweep(com->singular, c, k, n, flags.data(), w);
    } else {
      if (flags[static_cast<std::size_t>(i)] != '0')
        zsweep(com->singular, c, i, n, flags.data(), w);
      if (flags[static_cast<std::size_t>(i - 1)] == '0')
        zsweep(com->singular, c, i - 1, n, flags.data(), w);
    }
    for (int j = 0; j < n; ++j) {
      double& bij = b[static_cast<std::size_t>(i) * nn + static_cast<std::size_t>(j)];
      if (flags[static_cast<std::size_t>(j)] == '0') {
        bij = 0;
        if (j != i) declined = true;
      } else {
        bij = j < i ? c[packed_index(i, j)] : -c[packed_index(j, i)];
      }
    }
    com->priors[i] = 1 - c[packed_index(i, i)];
  }
  if (declined) com->host->xpmlog(kFactorGroup, kMsgLinearCombination);
}

// The number of factors.  The default threshold is the mean of the weighted
// squared multiple correlations: the number-of-factors rule sees them as the
// weights, and the weights and their flag are put back after.
void number_of_image_factors(COMSTR* com) {
  for (int j = 0; j < com->nvar; ++j) com->communal[j] = com->wt[j] * com->priors[j];
  double* wt = com->wt;
  const bool flag = fopt_test(com, kFoptVarWeights);
  com->wt = com->communal;
  fopt_set(com, kFoptVarWeights);
  factnf(com);
  com->wt = wt;
  if (!flag) fopt_clear(com, kFoptVarWeights);
}

}  // namespace

void factim(COMSTR* com) {
  const int n = com->nvar;
  const auto nn = static_cast<std::size_t>(n);
  const std::size_t tri = nn * (nn + 1) / 2;
  // The copy of R and the coefficients B must be addressable.
  if (8.0 * static_cast<double>(tri) >= 9007199254740992.0 ||
      8.0 * static_cast<double>(nn) * static_cast<double>(nn) >= 9007199254740992.0) {
    com->host->xpmlog(kFactorGroup, kMsgTooLarge);
    factrc(com, kExitMemory);
    xexit(com->rc, 0);
  }

  // The inverse and the priors as for the other methods (squared multiple
  // correlations); the matrix itself comes back from the scratch file.
  factcd(com);
  factutr(com, com->cor, com->notec);

  Work work{com->host->pool(), factalloc_doubles(com, tri + nn * nn + nn)};
  double* r = work.block;
  double* b = r + tri;  // row-major: row i holds the coefficients of variable i
  double* w = b + nn * nn;
  std::copy(com->cor, com->cor + tri, r);

  image_coefficients(com, b, w);
  double* c = com->cor;

  if (com->ods) {
    factpm2(com, {.name = "MultipleCorr",
                  .title = factitle(com, kMsgMultipleCorr),
                  .values = com->priors,
                  .shape = one_column(n, kLabelVariables)});
    factm2(com, {.name = "ImageCoef",
                 .values = b,
                 .shape = {.storage = kStoreRow, .nrow = n, .ncol = n, .colkind = kLabelVariables},
                 .titleno = kMsgImageCoef});
  }

  // G = B R B', the image covariance matrix.
  zqform(r, n, b, n, c, w);
  if (com->ods)
    factm2(
        com,
        {.name = "ImageCov", .values = c, .shape = variables_packed(n), .titleno = kMsgImageCov});
  factsvxv(com, "IMAGE", b, kStoreRow);
  factsvxv(com, "IMAGECOV", c, kStoreSymmetric);

  const bool weighted = factwtd(com);
  if (weighted) weightit(com);
  if (const int code = zeigen2(n, c, com->eigval, 0, nullptr, com->datax); code != 0)
    facteigm(com, code);
  factefz(com);
  if (com->ods)
    factevt(com, format_message(kFactorGroup, weighted ? kMsgImageEigWeighted : kMsgImageEig, {}),
            n);

  number_of_image_factors(com);
  if (com->nfact <= 0) return;

  if (const int code = zeigvec(n, com->nfact, c, com->eigval, com->fact, com->datax); code != 0)
    facteigm(com, code);
  if (com->ods && fopt_test(com, kFoptEigenvectors))
    factm2(com, {.name = "Eigenvectors",
                 .values = com->fact,
                 .shape = variables_by_numbers(n, com->nfact)});
  factldg(com);
  if (com->ods)
    factm2(com, {.name = "ImageFactors",
                 .values = com->fact,
                 .shape = variables_by_factors(n, com->nfact),
                 .titleno = kMsgImageFactors});

  // Back to the observed variables: each loading column f becomes the x
  // with B x = f.
  std::vector<int> pivots(nn);
  if (zrecsol(0, n, b, pivots.data(), nullptr) != 0) {
    com->host->xpmlog(kFactorGroup, kMsgImageSingular);
    factrc(com, kRcByGroup);
    com->nfact = 0;
    return;
  }
  for (int k = 0; k < com->nfact; ++k) zrecsol(1, n, b, pivots.data(), com->fact + nn * static_cast<std::size_t>(k));
}

}  // namespace kav
