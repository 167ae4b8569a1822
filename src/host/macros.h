// Macro variables: named text values, case-insensitive names, kept for the
// whole run.  Procedures read and write them too (SYSRANDOM, SYSRANEND,
// zacorr_threads).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace kav {

// What a program may ask of macro substitution: the longest value a macro
// variable holds, the most references one statement may hold (counting
// those met inside values, so that a value referring to itself stops), and
// the most characters substitution may add to one statement.  Without them
// a few lines of doubling values would take all memory.
inline constexpr std::size_t kMaxMacroValue = 65534;
inline constexpr int kMaxMacroReferences = 1000;
inline constexpr std::size_t kMaxMacroGrowth = 1 << 20;

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
