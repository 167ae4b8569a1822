// Runs a program with everything a run needs: a session, output delivery
// with its destinations, and the registered procedures.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kav {

class Session;
class ProcedureRegistry;

struct RunOptions {
  std::string work;          // WORK folder to keep ("" = temporary; ":memory:" in memory)
  std::string listing;       // listing file ("" = the listing stream)
  std::string html, json;    // result files ("" = none)
  std::string log;           // log file ("" = the log stream)
  std::string graphics_dir;  // folder for SVG files ("" = none)
  std::vector<std::string> debug;
  std::ostream* listing_stream = nullptr;  // default: std::cout
  std::ostream* log_stream = nullptr;      // default: std::cerr
  // Called after the run, before the session goes (tests look at it).
  void (*inspect)(Session&, void*) = nullptr;
  void* inspect_arg = nullptr;
  // Called after kav's own procedures are registered; a module it adds
  // replaces kav's of the same name (the fuzzing harness puts in a FACTOR
  // that refuses analyses too big to finish at once).
  void (*procedures)(ProcedureRegistry&) = nullptr;
};

// Returns the exit status of kav: 0, 1 or 2 (see kav --help).
int run_program(const std::string& text, const std::string& file, const RunOptions& options);

// Registers every procedure kav has.
void register_all_procedures(ProcedureRegistry& registry);

}  // namespace kav
