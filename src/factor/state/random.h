// Random numbers of the step: the uniform generator of PRIORS=RANDOM and
// the macro variables that record the seeds a run used.
#pragma once

#include <cstdint>

#include "factor/state/comstr.h"

namespace kav {

// The next uniform number in (0, 1) of the generator whose state is *seed;
// a state below 1 is first set from the clock.
double zranuni(std::int64_t* seed);

// Records a random seed in a macro variable: mode 1 SYSRANDOM, 2 SYSRANEND.
void zranms(COMSTR* com, std::int64_t seed, int mode);

}  // namespace kav
