// The statement side of fact1: from the parsed PROC FACTOR step to the
// option fields, flags, variable lists and arrays of COMSTR, in the order
// fact1 runs them.  Each routine logs its own messages (group 180 unless
// said otherwise) and raises rc; the ones that must stop the step at once
// end it through xexit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "factor/state/comstr.h"
#include "factor/state/status.h"
#include "host/dataset.h"
#include "host/services.h"
#include "host/step.h"
#include "host/stmtparse.h"

namespace kav {

// The resolved variable lists of the step, as 0-based indices into the
// input data set.
struct FACT1LISTS {
  std::vector<int> by;
  std::vector<bool> by_descending;
  bool notsorted = false;
  std::vector<int> var;       // analysis variables (the VAR list or the default)
  std::vector<int> partial;   // PARTIAL variables
  std::vector<int> combined;  // var then partial, when there are partial variables
  int freq = -1, weight = -1;
  std::vector<int> read;      // what the moment pass or the special-data-set reader reads
  std::vector<int> out_copy;  // input variables copied to OUT=
  std::vector<std::string> score_names;  // one per possible factor, without trailing blanks
  // The analysis variables in COMSTR order: combined when partial
  // variables exist, else var.
  const std::vector<int>& analysis() const { return partial.empty() ? var : combined; }
};

// Logs message `number` of the procedure's group.
void fact_msg(COMSTR* com, int number, std::vector<std::string> args = {});

// Ends the step when rc has reached an option, structure or fatal code.
void fact_checkpoint(COMSTR* com);

// The method name for messages ("PRINCIPAL", "ML", ...).
const char* fact_method_name(int fmethod);

// The seed rule of RANDOM= and SEED=: below 1 (or not given) 0; up to 2^53
// the value; above, reduced to ceil(x / B^k) with B = 2^43 and
// k = floor(ln(x/1024) / ln B).
std::int64_t fact_seed(double value);

// VALIDVARNAME, cleared pointers and flags, the missing value.
void fact1_begin(COMSTR* com);
// Parses the step's statements; a parse error ends the step with
// the parse status.
void fact1_parse(COMSTR* com, ParsedStep& parsed);
// Flags of the data set options, the input's type, its special variables
// and the variable lists.
void fact1_input(COMSTR* com, const ParsedStep& parsed, const DataSetHeader& input,
                 FACT1LISTS& lists);
// Every option field, the rotation selection, the number of
// factors and its aids, seeds, flags, the graph rule and the checks of the
// options against the method and the input.
void fact1_options(COMSTR* com, const ParsedStep& parsed);
// Arrays, names and labels, score-variable names, read list.
void fact1_arrays(COMSTR* com, const ParsedStep& parsed, const DataSetHeader& input,
                  FACT1LISTS& lists);
// The TARGET= data set against the analysis and BY variables.
void fact1_target(COMSTR* com, const DataSetHeader& input, const DataSetHeader& target,
                  const FACT1LISTS& lists);
// The OUT= checks and the input variables OUT= copies, as far as they are
// settled before the output data sets are built.
void fact1_outputs(COMSTR* com, const DataSetHeader& input, FACT1LISTS& lists);
// The thread count handed to the factoring extension (NTHREADS=,
// else the host's CPU count when threading is on, else 1).  `usermt` tells
// whether the user asked.
int fact1_threads(COMSTR* com, const ParsedStep& parsed, bool* usermt);
// After the extension's instance exists: message 310 when NTHREADS= asked for
// more threads than the instance uses.
void fact1_thread_note(COMSTR* com, const ParsedStep& parsed, int actual);
// Analysis variables must exist; ends the step above 999.
void fact1_final_check(COMSTR* com);

}  // namespace kav
