// The unrotated solution after extraction: its pattern, variance explained
// and final communalities, the clean-up of negligible loadings and empty
// factors, and its OUTSTAT= rows.
#pragma once

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

// Variance explained by each factor and final communalities.  Mode 0 uses
// `fact` (orthogonal or unrotated), 1 `struc` (ignoring other factors), 2
// `ref` (eliminating other factors); modes 1 and 2 take the communalities
// from `fact` and the factor correlations `fcor`.  datax receives the
// weighted variance explained in its first nfact entries and the unweighted
// in the next nfact; `communal` and `totcom` the communalities and their
// total.  Returns the weighted total communality (mode 0 under weighting;
// otherwise totcom).
double factvaf(COMSTR* com, int mode);

void factpos(COMSTR* com);

}  // namespace kav
