// Data sets as short texts, so that a test compares a whole header or all
// rows at once.
#pragma once

#include <sstream>
#include <string>

#include "host/dataset.h"

namespace kav::testing_support {

// "name:label:N8 " per variable (N numeric, C character, then the length).
inline std::string layout(const DataSetHeader& h) {
  std::string s;
  for (const Variable& v : h.vars)
    s += v.name + ":" + v.label + ":" + (v.is_numeric() ? "N" : "C") + std::to_string(v.length) +
         " ";
  return s;
}

// Every row as "v v|", a missing number as its letter (".", "A" ...).
inline std::string cells(const MemoryDataSet& d) {
  std::ostringstream s;
  for (const Observation& o : d.rows)
    for (std::size_t i = 0; i < d.header.vars.size(); ++i) {
      if (!d.header.vars[i].is_numeric())
        s << o.str[i];
      else if (is_missing(o.num[i]))
        s << missing_letter(o.num[i]);
      else
        s << o.num[i];
      s << (i + 1 < d.header.vars.size() ? " " : "|");
    }
  return s.str();
}

}  // namespace kav::testing_support
