// Correlation diagnostics and prior communalities: the inverse of the
// correlation matrix, partial correlations controlling all other variables,
// sampling adequacy, the prior communality estimates and the variable
// weights.
#pragma once

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

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

}  // namespace kav
