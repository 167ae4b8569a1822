// The FACTOR procedure's frame: module entry, the step and its BY groups,
// the per-group driver, clean-up, and the hooks through which the stages of
// a BY group are reached.
#pragma once

#include "factor/state/step_record.h"

namespace kav {

class ProcedureRegistry;
struct TKHANDLE;

// The global control block the host hands to mcn_main: it exports the
// toolkit through which extensions are loaded.
struct KAVGCB {
  TKHANDLE* tkhandle;
};

// Module entry: keeps the anchors, copies out the toolkit handle, returns the
// image information.
const void* mcn_main(KAVGCB* gcb, void* process_info);
void himodcn();
// The image information: starts with the marker "KAV_Image_Information=".
extern const char vi_mcn[];
// The toolkit handle copied out of the control block (null: none).
TKHANDLE* factor_toolkit();

// Registers PROC FACTOR: calls mcn_main with the anchors and registers a
// module that runs kavfact.
void register_factor(ProcedureRegistry& registry, KAVGCB* gcb, void* process_info,
                     const FACTHOOKS* hooks = nullptr);

// One PROC FACTOR step.
void kavfact(StepContext& ctx, const FACTHOOKS* hooks = nullptr);
void fact1(COMSTR* com);
void factdo(COMSTR* com);
// Runs on every end of the step; safe on a record where nothing exists yet.
void facexit(COMSTR* com);

}  // namespace kav
