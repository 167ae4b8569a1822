// Correlation diagnostics and prior communalities: the inverse of the
// correlation matrix, partial correlations controlling all other variables,
// sampling adequacy, the prior communality estimates and the variable
// weights.  Also the small services the extraction routines share with it:
// the scratch copies of the correlation matrix, the eigensolver's message
// sink, output notes and the uniform random generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"
#include "numeric/eigen.h"

namespace kav {

// Sizes below which a value counts as zero, relative to its scale.
inline constexpr double kFactZero = 1.110223024625157e-13;
// The smallest normal double.
inline constexpr double kFactTiny = 2.225073858507202e-308;

// Method and prior codes the extraction routines test.
inline constexpr int kFmPrincipal = 1, kFmUls = 2, kFmPrinit = 3, kFmAlpha = 4, kFmMl = 5,
                     kFmGls = 6, kFmFuller = 7, kFmHarris = 8, kFmImage = 9, kFmPattern = 10,
                     kFmScore = 11;
inline constexpr int kPriNone = 0, kPriSmc = 1, kPriInput = 2, kPriMax = 3, kPriAsmc = 4,
                     kPriOne = 5, kPriRandom = 6, kPriList = 7;

// Whether the analysis factors D·R·D with D from the variable weights.
inline bool factwtd(const COMSTR* com) {
  return fopt_test(com, kFoptVarWeights);
}

// Correlation diagnostics, then the priors and weights (factpriors).  With
// the inverse, datax[0..nvar) holds 1/sqrt of its diagonal; with MSA,
// datax[nvar..2 nvar) the sums of squared correlations of each variable,
// datax[2 nvar..3 nvar) the sampling adequacy of each variable and
// datax[3 nvar] the overall one.
void factcd(COMSTR* com);

// Prior communalities, the diagonal of `cor`, `communal` and the weights,
// given whether the inverse of the correlation matrix is available (its
// diagonal then in `communal`).  Shows the priors table or note.
void factpriors(COMSTR* com, bool inverse);

// Variable weights `wt` of the method; read from the WEIGHT row of the input
// when the WEIGHT option asks for it.
void factwts(COMSTR* com);

// The next uniform number in (0, 1) of the generator whose state is *seed;
// a state below 1 is first set from the clock.
double zranuni(std::int64_t* seed);

// The scratch file of the BY group.  Each ends the step with 1020 after
// logging the host's error when the file fails.
// Writes the packed matrix of order nvar at byte `position`.
void factutw(COMSTR* com, const double* a, std::int64_t position);
// Reads the packed matrix of order nvar saved at `position` into a.
void factutr(COMSTR* com, double* a, std::int64_t position);

// A catalogue message of group 180 repeated as an output note (nothing
// without an output manager).
void factonote(COMSTR* com, int number, const std::vector<std::string>& args = {});

// Reports an eigensolver code through the log and the output; codes 98 and
// 99 end the run.
void facteigm(COMSTR* com, int code);

// A number as messages show it.
std::string factfmt(double value);

}  // namespace kav
