// Macro variables: named text values, case-insensitive names, kept for the
// whole run.  Procedures read and write them too (SYSRANDOM, SYSRANEND,
// zacorr_threads).
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kav {

class MacroTable {
 public:
  void set(const std::string& name, std::string value);
  std::optional<std::string> get(const std::string& name) const;
  bool erase(const std::string& name);
  const std::map<std::string, std::string>& all() const { return vars_; }

 private:
  std::map<std::string, std::string> vars_;  // keyed by upper-case name
};

}  // namespace kav
