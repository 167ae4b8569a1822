// Correlation preparation of a BY group.
#pragma once

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

// Diagonal elements at or below this after partialling mean the variable is
// a linear function of the partial variables.
inline constexpr double kPartialZeroDiagonal = 1.110223024625157e-12;

// Reads the moments of the current BY group, removes the partial variables,
// shows the first tables, writes the first OUTSTAT= rows and hands the matrix
// to the factoring extension.  Failure of the group: nfact = -1.
void factcor(COMSTR* com);

}  // namespace kav
