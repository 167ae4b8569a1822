// Notes the stages add to the output, the eigensolver's message sink, and
// numbers as messages show them.
#pragma once

#include <string>
#include <vector>

#include "factor/state/comstr.h"

namespace kav {

// A catalogue message of group 180 repeated as an output note (nothing
// without an output manager).
void factonote(COMSTR* com, int number, const std::vector<std::string>& args = {});

// Reports an eigensolver code through the log and the output; codes 98 and
// 99 end the run.
void facteigm(COMSTR* com, int code);

// A number as messages show it.
std::string factfmt(double value);

}  // namespace kav
