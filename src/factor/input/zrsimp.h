// The reader of special data sets for analyses that need no matrix (a
// factor pattern or scoring coefficients given as input): only the means,
// standard deviations and counts.
#pragma once

#include <string_view>
#include <vector>

#include "host/bygroup.h"

namespace kav {

class StepContext;

// Reads the MEAN, STD, N and SUMWGT rows of the current BY group of
// `fileid`.  Missing means become 0, missing deviations 1, a missing count
// 10000.  `nobs` (may be null) receives the count.  Returns 0 or 108 (no
// observations); a _TYPE_ variable that is not character ends the step
// (exit code 1008).
int zrsimp(StepContext& host, ByGroups& fileid, const std::vector<int>& vars, double* vmean,
           double* vstd, double* datax, std::string_view vardef, double* vardiv, double* sumwt,
           double* nobs = nullptr);

}  // namespace kav
