// Path diagrams of a factor solution: the node-and-link table and the graph
// drawn from it, one per PATHDIAGRAM statement (or one with the default
// settings when only PLOTS= asked for it).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "factor/state/comstr.h"

namespace kav {

struct ParsedRecord;

// One diagram from the options of `statement` (null: the defaults); `number`
// is its number among several diagrams, 0 when it is the only one.  Returns
// 0, or -1 when its work storage could not be had.
int Render_a_PD(COMSTR* com, const ParsedRecord* statement, int number);

// The label LABEL= gives `name`, comparing the names without case and
// without leading or trailing blanks; the last pair for a name wins.
// Returns 1 and sets `label` when there is one.
int FindLabel(std::string* label, const std::vector<std::pair<std::string, std::string>>& pairs,
              const std::string& name);

// The salience of an estimate judged by its confidence interval: true when
// the interval lies wholly above `cover` or wholly below -`cover`.  For a
// loading of an orthogonal solution (`fisher`) the interval is that of
// Fisher's z transformation of the estimate `r` with standard error `se`;
// otherwise r -/+ z se.
bool factpdsal(double r, double se, double z, double cover, bool fisher);

}  // namespace kav
