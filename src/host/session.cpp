#include "host/session.h"

#include <algorithm>

namespace kav {

void ProcedureRegistry::add(ProcedureModule module) {
  std::string key = upper(module.name);
  modules_[key] = std::move(module);
}

const ProcedureModule* ProcedureRegistry::find(const std::string& name) const {
  auto it = modules_.find(upper(name));
  return it == modules_.end() ? nullptr : &it->second;
}

std::vector<std::string> ProcedureRegistry::names() const {
  std::vector<std::string> v;
  for (const auto& [k, m] : modules_) v.push_back(k);
  return v;
}

Session::Session(std::string work_folder, std::ostream* log_stream)
    : log(log_stream), libraries(std::move(work_folder)), titles(10), footnotes(10) {}

Session::~Session() = default;

int Session::run_status() const {
  int status = statement_errors ? 2 : 0;
  for (const auto& s : steps) {
    if (s.in_error || s.exit_code >= 1000) status = std::max(status, 2);
    else if (s.exit_code > 0) status = std::max(status, 1);
  }
  return status;
}

}  // namespace kav
