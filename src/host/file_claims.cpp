#include "host/file_claims.h"

#include <filesystem>

namespace kav {

bool same_file(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(a, ec) && !fs::is_regular_file(a, ec)) return false;
  if (fs::equivalent(a, b, ec)) return true;
  const fs::path ca = fs::weakly_canonical(fs::absolute(a, ec), ec);
  const fs::path cb = fs::weakly_canonical(fs::absolute(b, ec), ec);
  return ca.lexically_normal() == cb.lexically_normal();
}

void FileClaims::claim(std::string what, std::string path, bool input) {
  if (!path.empty()) claims_.push_back({std::move(what), std::move(path), input});
}

std::string FileClaims::clash(const std::string& what, const std::string& path) const {
  for (const Claim& c : claims_) {
    if (!same_file(path, c.path)) continue;
    if (c.input) return what + " names " + c.what + " '" + c.path + "'; it would be overwritten";
    if (c.what == what)
      return what + " names '" + path +
             "' a second time; the file written there earlier in this run would be overwritten";
    return c.what + " and " + what + " name the same file '" + path +
           "'; each needs a file of its own";
  }
  return {};
}

}  // namespace kav
