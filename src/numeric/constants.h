#pragma once
// Machine-related constants of the numerical library, written out so that
// every routine uses the very same values.

namespace kav::numeric_constants {

// Half the double-precision machine epsilon (unit roundoff).
inline constexpr double kUnitRoundoff = 1.110223024625157e-16;
// The double-precision machine epsilon.
inline constexpr double kMachineEpsilon = 2.220446049250314e-16;
// The smallest positive normal double.
inline constexpr double kSmallestNormal = 2.225073858507202e-308;
// Square root of the smallest normal double: below it a square underflows.
inline constexpr double kSqrtSmallestNormal = 1.491668147e-154;
// 500 machine epsilons: values below it relative to their scale are zero.
inline constexpr double kZeroThreshold = 1.110223024625157e-13;

}  // namespace kav::numeric_constants
