// The FACTOR procedure's frame: module entry, the step and its BY groups,
// the per-group driver, clean-up, and the hooks through which the stages of
// a BY group are reached.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "factor/state/comstr.h"
#include "factor/state/factmsg.h"
#include "factor/rotate/rotation_registry.h"  // kRotNone and oblsol, which the stages use
#include "host/stmtparse.h"

namespace kav {

class ProcedureRegistry;
struct TKHANDLE;

// Status and exit codes of the step.  The status only grows; 1000 and above
// end the step.
inline constexpr int kRcWarning = 4;
inline constexpr int kRcByGroup = 108;   // a BY group cannot be analysed
inline constexpr int kRcSingular = 112;  // singular matrix, Heywood case, no factor
inline constexpr int kRcOutput = 120;    // output delivery failed
inline constexpr int kRcStop = 1000;     // first code that ends the step
inline constexpr int kExitStructure = 1008;
inline constexpr int kExitExtension = 1012;
inline constexpr int kExitMemory = 1016;
inline constexpr int kExitUtility = 1020;
inline constexpr int kExitNoInput = 2000;
inline constexpr int kExitConflict = 3000;
inline constexpr int kExitInternal = 9999;

// Open flags of the scratch utility file.
inline constexpr std::uint32_t kUtilityOpenFlags = 0x84000008u;

// The global control block the host hands to mcn_main: it exports the
// toolkit through which extensions are loaded.
struct KAVGCB {
  TKHANDLE* tkhandle;
};

// The stage routines of one BY group, as factdo calls them.  The procedure
// uses kFactorStages; tests substitute their own to watch the order.
struct FACTSTAGES {
  void (*factcor)(COMSTR*);
  void (*factcd)(COMSTR*);
  void (*factoig)(COMSTR*);
  void (*factprn)(COMSTR*);
  void (*factpri)(COMSTR*);
  void (*factnr)(COMSTR*);
  void (*factim)(COMSTR*);
  void (*factin)(COMSTR*);
  void (*factpos)(COMSTR*);
  void (*factscr)(COMSTR*);
  void (*factres)(COMSTR*);
  void (*factplt)(COMSTR*, int oblique, int stage);
  void (*factgpt)(COMSTR*, int oblique, int stage);
  int (*factrot)(COMSTR*, int method, int which);
  int (*factpro)(COMSTR*, int method, int which);
  void (*factstt)(COMSTR*, int mode);
  void (*factout)(COMSTR*);
  void (*factpdg)(COMSTR*);
};
extern const FACTSTAGES kFactorStages;

// What a step may be given besides its statements: the stage routines and
// the opener of the scratch file (a failing opener shows how the step ends
// when the file cannot be had).  Null members take the procedure's own.
struct FACTHOOKS {
  const FACTSTAGES* stages;
  int (*utopen)(UtilityFile& file, std::uint32_t flags);
};

// Everything the step owns outside the pool: the record itself and the host
// objects its handles point at.  It lives until facexit has run.
struct FACTSTEP {
  COMSTR com;
  FACTHOOKS hooks;
  std::vector<std::unique_ptr<FACTINDS>> inputs;
  std::vector<std::unique_ptr<FACTOUTDS>> outputs;
  std::vector<std::unique_ptr<DataSetName>> names;
  std::vector<std::unique_ptr<Observation>> buffers;
  // Data set variable numbers (0-based) of the ntot analysis variables, the
  // partial variables after them.
  std::vector<int> varno;
  // What fact1 read and later stages look up: the parsed statements (the
  // PLOTS= options, the PATHDIAGRAM statements), the FREQ and WEIGHT
  // variables (0-based, -1 none) and the input variables OUT= copies.
  ParsedStep parsed;
  int freqno = -1, weightno = -1;
  std::vector<int> outcopy;
  const FACTSTAGES* stages() const { return hooks.stages ? hooks.stages : &kFactorStages; }

  FACTSTEP();
  ~FACTSTEP();
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
void rotini(COMSTR* com);
// Runs on every end of the step; safe on a record where nothing exists yet.
void facexit(COMSTR* com);

// Keeps TARGET='s BY groups in step with the input's; non-zero skips the
// input's current group.  Without a TARGET= data set it returns 0.
int zbysync(FACTINDS* source, FACTINDS* target, int targbyrc);
// Records a random seed in a macro variable: mode 1 SYSRANDOM, 2 SYSRANEND.
void zranms(COMSTR* com, std::int64_t seed, int mode);

// Step-pool allocation of `bytes`; a request of 2^53 bytes or more (or one
// the pool cannot meet) logs message 91 and ends the step with 1016.
void* factalloc(COMSTR* com, std::uint64_t bytes);
double* factalloc_doubles(COMSTR* com, std::uint64_t count);
// Raises the step status to at least `code`.
inline void factrc(COMSTR* com, int code) {
  if (com->rc < code) com->rc = code;
}

}  // namespace kav
