// The number of factors a BY group retains, chosen from the eigenvalues
// before any eigenvector is computed: by the MAP test, by parallel analysis,
// or by the NFACTORS=, MINEIGEN= and PROPORTION= rules with the method's
// defaults.
#pragma once

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"

namespace kav {

// Why the eigenvalue walk stopped.
enum class NfReason { None = 0, Nfactor = 1, Mineigen = 2, Proportion = 3 };

// Sets nfact, mineigen, percent and iscree.
void factnf(COMSTR* com);

// The eigenvalue rules alone on eigval: the number of factors and why the
// walk stopped.  mineigen and percent must already be in force.
int factnfw(const COMSTR* com, NfReason* reason);

}  // namespace kav
