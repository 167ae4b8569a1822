// System options: settings that hold for the whole run and that procedures
// read by name (THREADS, CPUCOUNT, VALIDVARNAME, LINESIZE, PAGESIZE) plus the
// named debug switches.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "host/names.h"

namespace kav {

struct SystemOptions {
  ValidVarName validvarname = ValidVarName::V7;
  bool threads = true;
  bool pushdown = true;  // database libraries compute the moment pass in SQL
  int cpucount = 0;  // 0 until set; SystemOptions() sets the machine's count
  int linesize = 120;
  int pagesize = 60;
  std::set<std::string> debug;  // debug switches in lower case, e.g. "zacorr"

  SystemOptions();
  static int actual_cpus();

  // The option's value as a number (THREADS 1/0, CPUCOUNT, LINESIZE,
  // PAGESIZE) or as text (VALIDVARNAME, and the numbers as text); nullopt for
  // an unknown name.
  std::optional<double> number(const std::string& name) const;
  std::optional<std::string> text(const std::string& name) const;
  bool debug_on(const std::string& name) const;

  // Sets an option from OPTIONS text.  `value` is empty for a bare keyword
  // (THREADS, NOTHREADS).  Returns "" or the reason the setting is refused;
  // `unknown` tells whether the name itself was not recognised.
  std::string set(const std::string& name, const std::string& value, bool& unknown);
};

}  // namespace kav
