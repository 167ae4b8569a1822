// Module entry, the procedure step with its BY-group loop, and the clean-up
// that runs however the step ends.
#include "factor/step/factor.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "factor/input/zbysync.h"
#include "factor/output/factods.h"
#include "factor/output/factsta.h"
#include "factor/state/factds.h"
#include "factor/state/factorg.h"
#include "factor/state/factmsg.h"
#include "factor/state/random.h"
#include "factor/state/scratch.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/host_messages.h"
#include "host/services.h"
#include "host/session.h"
#include "tkxfac/tkxfac.h"

namespace kav {

// The image information the host keeps for the module.  Only the marker at
// its start is looked at; the rest names the module.
const char vi_mcn[] = "KAV_Image_Information=FACTOR";

namespace {

// The module anchors: set once when the host loads the module.
KAVGCB* gcb_anchor = nullptr;
void* process_anchor = nullptr;
TKHANDLE* exported_toolkit = nullptr;

int open_utility(UtilityFile& file, std::uint32_t flags) {
  return file.xcopen(flags);
}

// The host's report of a failing return code of the scratch file.
void xprrlog(COMSTR* com, int code) {
  std::string why = com->utid ? com->utid->last_error() : std::string();
  std::string text = "return code " + std::to_string(code);
  if (!why.empty()) text += " (" + why + ")";
  com->host->xpmlog(kHostGroup, msg::kUtilityFile, {text});
}

}  // namespace

const void* mcn_main(KAVGCB* gcb, void* process_info) {
  gcb_anchor = gcb;
  process_anchor = process_info;
  himodcn();
  exported_toolkit = gcb ? gcb->tkhandle : nullptr;
  return vi_mcn;
}

void himodcn() {}

TKHANDLE* factor_toolkit() {
  return exported_toolkit;
}

void register_factor(ProcedureRegistry& registry, KAVGCB* gcb, void* process_info,
                     const FACTHOOKS* hooks) {
  const void* info = mcn_main(gcb, process_info);
  FACTHOOKS h = hooks ? *hooks : FACTHOOKS{};
  registry.add({"FACTOR", [h](StepContext& ctx) { kavfact(ctx, &h); }, info, &factorg()});
}

void kavfact(StepContext& ctx, const FACTHOOKS* hooks) {
  // The record must outlive this frame: an exit unwinds it before the host
  // runs the exit routine.  The exit routine holds the step, and with it the
  // record, until facexit has run; it is the step's anchor.
  auto step = std::make_shared<FACTSTEP>();
  COMSTR* com = &step->com;
  ctx.xytexit([step] { facexit(&step->com); });
  std::memset(static_cast<void*>(com), 0, sizeof *com);
  com->host = &ctx;
  com->step = step.get();
  if (hooks) step->hooks = *hooks;

  com->utid = &ctx.utility();
  int (*opener)(UtilityFile&, std::uint32_t) =
      step->hooks.utopen ? step->hooks.utopen : open_utility;
  int urc = opener(*com->utid, kUtilityOpenFlags);
  if (urc == 0) urc = com->utid->xcpoint(0);
  if (urc != 0) {
    xprrlog(com, urc);
    factrc(com, kExitUtility);
    xexit(kExitUtility, 0);
  }

  fact1(com);
  factoutopen(com);

  com->reason = 0;
  // Only the input data set drives the groups here; an in-database source
  // would take its place.
  FACTINDS* source = com->datafid;
  while (factbynext(source) > 0) {
    if (zbysync(source, com->targfid, com->targbyrc) == 0) {
      TKXFAC_INSTANCE* inst = com->tkxfacInst;
      if (inst && inst->FactoryPtr && inst->FactoryPtr->ResetInstance)
        inst->FactoryPtr->ResetInstance(inst);
      com->iscree = 0;
      com->fscree = 0;
      factoby(com);
      factdo(com);
    } else {
      com->host->xpmlog(kFactorGroup, kMsgTargetNoGroup, {source->groups->key_line()});
    }
    com->reason = std::max(com->reason, com->nfact);
  }

  urc = com->utid->xcclose(1);
  if (urc != 0) {
    xprrlog(com, urc);
    factrc(com, kExitUtility);
    xexit(kExitUtility, com->reason);
  }
  // OUTSTAT= and OUT= become visible only for a step that ran to its end.
  factsend(com);
  factoutend(com);
  if (com->rc <= kRcWarning) com->rc = 0;
  zranms(com, com->seed, 2);
  xexit(com->rc, com->reason);
}

void facexit(COMSTR* com) {
  if (!com) return;
  if (com->ods) factoclose(&com->ods);
  com->opengroup = nullptr;  // the manager closed every group it had
  if (RESHOLDER* holder = com->resPtr; holder && holder->instance) {
    holder->owner = nullptr;
    if (holder->destroy) holder->destroy(holder);
    holder->instance = nullptr;
    if (holder->unload) holder->unload(holder);
  }
  TKXFAC_INSTANCE* inst = com->tkxfacInst;
  if (inst && inst->FactoryPtr && inst->FactoryPtr->DestroyInstance)
    inst->FactoryPtr->DestroyInstance(&com->tkxfacInst);
  com->tkxfacInst = nullptr;
  if (TKXFAC_EXTENSION* ext = com->tkxfacExt) {
    com->tkxfacExt = nullptr;
    if (ext->hdr.destroy) ext->hdr.destroy(&ext->hdr);
  }
  factclose_all(com);
  if (com->utid && com->utid->is_open()) com->utid->xcclose(1);
}

}  // namespace kav
