// The number of factors a BY group retains, chosen from the eigenvalues
// before any eigenvector is computed: by the MAP test, by parallel analysis,
// or by the NFACTORS=, MINEIGEN= and PROPORTION= rules with the method's
// defaults.
#pragma once

#include "factor/comstr.h"

namespace kav {

// Catalogue numbers of group 180 for the number of factors.
inline constexpr int kMsgNoEigenvalues = 35;
inline constexpr int kMsgRetainedNote = 36;  // several factors, output note
inline constexpr int kMsgNoDf = 37;
inline constexpr int kMsgNoFactors = 41;
inline constexpr int kMsgRetainedNote1 = 188;  // one factor, output note
inline constexpr int kMsgPaLog = 189;          // 190: one factor
inline constexpr int kMsgRetainedLog = 191;
inline constexpr int kMsgRetainedLog1 = 194;
inline constexpr int kMsgPaNote = 198;   // 199: one factor
inline constexpr int kMsgMap2Log = 289;  // 290 one; notes 291, 292
inline constexpr int kMsgMap4Log = 293;  // 294 one; notes 295, 296

// Why the eigenvalue walk stopped.
enum class NfReason { None = 0, Nfactor = 1, Mineigen = 2, Proportion = 3 };

// Sets nfact, mineigen, percent and iscree.
void factnf(COMSTR* com);

// The eigenvalue rules alone on eigval: the number of factors and why the
// walk stopped.  mineigen and percent must already be in force.
int factnfw(const COMSTR* com, NfReason* reason);

}  // namespace kav
