// The files a run reads and writes, each claimed with what it is ("the
// program file", "--json", "ODS HTML FILE="), so that no output of the run
// overwrites its program, its data or another of its outputs.
#pragma once

#include <string>
#include <vector>

namespace kav {

// Whether two paths name one file, or would once written.  Devices such as
// /dev/stderr may be shared: writing to them overwrites nothing.
bool same_file(const std::string& a, const std::string& b);

class FileClaims {
 public:
  // An input is only read; an output written on it would overwrite it.
  void claim(std::string what, std::string path, bool input = false);
  // "" when `what` may write `path`; otherwise why not, naming both claims.
  std::string clash(const std::string& what, const std::string& path) const;

 private:
  struct Claim {
    std::string what, path;
    bool input = false;
  };
  std::vector<Claim> claims_;
};

}  // namespace kav
