#include "factor/state/scratch.h"

#include <string>

#include "factor/state/status.h"
#include "host/log.h"
#include "host/services.h"
#include "host/step.h"

namespace kav {

namespace {

[[noreturn]] void utility_failure(COMSTR* com) {
  std::string text = com->utid ? com->utid->last_error() : std::string("no scratch file");
  com->host->log().text(Severity::Error, "The scratch file of the step failed: " + text);
  factrc(com, kExitUtility);
  xexit(kExitUtility, 0);
}

}  // namespace

void factutw(COMSTR* com, const double* a, std::int64_t position) {
  if (!com->utid || com->utid->xcpoint(position) != 0 ||
      com->utid->xcwrite(a, packed_size(com->nvar) * sizeof(double)) != 0)
    utility_failure(com);
}

void factutr(COMSTR* com, double* a, std::int64_t position) {
  if (!com->utid || com->utid->xcpoint(position) != 0 ||
      com->utid->xcread(a, packed_size(com->nvar) * sizeof(double)) != 0)
    utility_failure(com);
}

}  // namespace kav
