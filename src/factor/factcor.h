// Correlation preparation of a BY group.
#pragma once

#include "factor/comstr.h"

namespace kav {

inline constexpr int kMsgFewObservations = 21;  // nobs not above the number of variables
inline constexpr int kMsgCondStdTitle = 23;     // title of the conditional deviations
inline constexpr int kMsgZeroVariance = 24;     // variable name
inline constexpr int kMsgFewForPartial = 184;   // npar
inline constexpr int kMsgMapNoCorr = 311;
inline constexpr int kMsgParallelNoCorr = 312;
inline constexpr int kMsgAidsTooFewObs = 430;
inline constexpr int kMsgParallelDropped = 431;
inline constexpr int kMsgMapDropped = 432;

// Diagonal elements at or below this after partialling mean the variable is
// a linear function of the partial variables.
inline constexpr double kPartialZeroDiagonal = 1.110223024625157e-12;

// Reads the moments of the current BY group, removes the partial variables,
// shows the first tables, writes the first OUTSTAT= rows and hands the matrix
// to the factoring extension.  Failure of the group: nfact = -1.
void factcor(COMSTR* com);

}  // namespace kav
