// The scratch (utility) file of the step, where a BY group keeps packed
// matrices that later stages read back.
#pragma once

#include <cstdint>

#include "factor/state/comstr.h"

namespace kav {

// Open flags of the scratch utility file.
inline constexpr std::uint32_t kUtilityOpenFlags = 0x84000008u;

// Elements of a packed symmetric matrix of order n.
inline std::uint64_t packed_size(int n) {
  return static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n + 1) / 2;
}

// The scratch file of the BY group.  Each ends the step with 1020 after
// logging the host's error when the file fails.
// Writes the packed matrix of order nvar at byte `position`.
void factutw(COMSTR* com, const double* a, std::int64_t position);
// Reads the packed matrix of order nvar saved at `position` into a.
void factutr(COMSTR* com, double* a, std::int64_t position);

}  // namespace kav
