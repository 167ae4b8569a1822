// Keeps the BY groups of a TARGET= data set in step with the input's.
#pragma once

#include "factor/state/comstr.h"

namespace kav {

// Keeps TARGET='s BY groups in step with the input's; non-zero skips the
// input's current group.  Without a TARGET= data set it returns 0.
int zbysync(FACTINDS* source, FACTINDS* target, int targbyrc);

}  // namespace kav
