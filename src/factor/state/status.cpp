#include "factor/state/status.h"

#include <algorithm>
#include <string>

#include "factor/state/factmsg.h"
#include "host/services.h"
#include "host/step.h"

namespace kav {

void* factalloc(COMSTR* com, std::uint64_t bytes) {
  if (bytes >= kMaxAllocation) {
    com->host->xpmlog(kFactorGroup, kMsgTooLarge);
    factrc(com, kExitMemory);
    xexit(kExitMemory, 0);
  }
  void* block = com->host->pool().allocate(bytes);
  if (!block) {
    com->host->xpmlog(kFactorGroup, kMsgNoMemory,
                      {std::to_string(bytes), std::to_string(std::max(com->ntot, com->nvar))});
    factrc(com, kExitMemory);
    xexit(kExitMemory, 0);
  }
  return block;
}

double* factalloc_doubles(COMSTR* com, std::uint64_t count) {
  // The byte count itself must not wrap before the size check sees it.
  std::uint64_t bytes =
      count > kMaxAllocation / sizeof(double) ? kMaxAllocation : count * sizeof(double);
  return static_cast<double*>(factalloc(com, bytes));
}

}  // namespace kav
