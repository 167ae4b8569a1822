// What one FACTOR step owns besides its pool: the state record, the open
// data sets and the parsed statements, with the hooks tests use to
// substitute stage routines or the scratch-file opener.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "factor/state/comstr.h"
#include "factor/state/stages.h"
#include "host/stmtparse.h"

namespace kav {

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

}  // namespace kav
