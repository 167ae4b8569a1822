// The codes of the extraction methods and prior communalities that the
// stages test, and the tolerances they share.
#pragma once

#include "factor/state/comstr.h"

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

}  // namespace kav
