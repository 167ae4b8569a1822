#include "host/macros.h"

#include "host/dataset.h"

namespace kav {

void MacroTable::set(const std::string& name, std::string value) {
  vars_[upper(name)] = std::move(value);
}

std::optional<std::string> MacroTable::get(const std::string& name) const {
  auto it = vars_.find(upper(name));
  if (it == vars_.end()) return std::nullopt;
  return it->second;
}

bool MacroTable::erase(const std::string& name) { return vars_.erase(upper(name)) > 0; }

}  // namespace kav
