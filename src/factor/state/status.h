// The status and exit codes of the step, and the step-pool allocation every
// stage uses.  A stage raises the status with factrc; the step ends when it
// reaches kRcStop.
#pragma once

#include <cstdint>

#include "factor/state/comstr.h"
#include "host/step.h"

namespace kav {

// Status and exit codes of the step.  The status only grows; 1000 and above
// end the step.
inline constexpr int kRcWarning = 4;
inline constexpr int kRcByGroup = 108;   // a BY group cannot be analysed
inline constexpr int kRcSingular = 112;  // singular matrix, Heywood case, no factor
inline constexpr int kRcOutput = 120;    // output delivery failed
inline constexpr int kRcStop = 1000;     // first code that ends the step
inline constexpr int kExitStructure = 1008;
inline constexpr int kExitExtension = 1012;
inline constexpr int kExitMemory = 1016;
inline constexpr int kExitUtility = 1020;
inline constexpr int kExitNoInput = 2000;
inline constexpr int kExitConflict = 3000;
inline constexpr int kExitInternal = 9999;

// Step-pool allocation of `bytes`; a request of 2^53 bytes or more (or one
// the pool cannot meet) logs message 91 and ends the step with 1016.
void* factalloc(COMSTR* com, std::uint64_t bytes);
double* factalloc_doubles(COMSTR* com, std::uint64_t count);
// Raises the step status to at least `code`.
inline void factrc(COMSTR* com, int code) {
  if (com->rc < code) com->rc = code;
}

// `count` elements of T from the step's pool (factalloc: a request of
// 2^53 bytes or more ends the step with 1016).  A zero count gives null.
template <class T>
T* fact_alloc(COMSTR* com, std::uint64_t count) {
  if (count == 0) return nullptr;
  std::uint64_t bytes = count > kMaxAllocation / sizeof(T) ? kMaxAllocation : count * sizeof(T);
  return static_cast<T*>(factalloc(com, bytes));
}

}  // namespace kav
