// Stages that this version of the procedure does not have yet.  Each one
// says so in the log (message 901 naming the stage), marks the BY group as
// not analysed and stops the step, so that no result is ever reported for
// an analysis that was not carried out.  A stage's real routine replaces its
// definition here.
#include "factor/factor.h"
#include "factor/stages.h"
#include "host/services.h"
#include "host/step.h"

namespace kav {

namespace {

// No stage is pending at present; the routine stays for the next one.
[[noreturn, maybe_unused]] void pending(COMSTR* com, const char* stage) {
  com->host->xpmlog(kFactorGroup, kMsgStagePending, {stage});
  com->nfact = -1;
  factrc(com, kRcStop);
  xexit(com->rc, 0);
}

}  // namespace

}  // namespace kav
