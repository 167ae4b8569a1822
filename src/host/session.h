// The run-time of one kav run: log, system options, macro variables,
// libraries, titles and footnotes, the registry of procedures, and the
// results of the steps run so far.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/library.h"
#include "host/log.h"
#include "host/macros.h"
#include "host/options.h"
#include "host/statement.h"

namespace kav {

class StepContext;
struct Grammar;

// A procedure as the dispatcher knows it: a name and the routine that runs
// one step of it.  `image_info` is what the module's entry returned when it
// was loaded; `grammar`, when the procedure parses its statements with one,
// gives the statement reference of kav help.
struct ProcedureModule {
  std::string name;
  std::function<void(StepContext&)> run;
  const void* image_info = nullptr;
  const Grammar* grammar = nullptr;
};

class ProcedureRegistry {
 public:
  void add(ProcedureModule module);
  const ProcedureModule* find(const std::string& name) const;
  std::vector<std::string> names() const;

 private:
  std::map<std::string, ProcedureModule> modules_;  // by upper-case name
};

// What happened in one step.
struct StepResult {
  std::string procedure;  // "DATA", "PRINT", "FACTOR", ...
  SourcePos pos;
  int exit_code = 0;  // 0 normal, 1-999 a status, 1000+ stopped
  int reason = 0;
  bool in_error = false;  // a statement of the step was in error; it did not run
  std::size_t log_begin = 0, log_end = 0;  // the step's part of the session log
};

class OutputDelivery;  // see host/output.h

class Session {
 public:
  // `work_folder`: see Libraries.  The log writes to `log_stream` (may be
  // null).
  Session(std::string work_folder, std::ostream* log_stream);
  ~Session();

  Log log;
  SystemOptions options;
  MacroTable macros;
  Libraries libraries;
  ProcedureRegistry procedures;
  std::vector<std::string> titles;     // TITLE1..TITLE10, "" for unset
  std::vector<std::string> footnotes;  // FOOTNOTE1..FOOTNOTE10
  std::vector<StepResult> steps;
  DataSetName last_dataset;  // the data set most recently created (_LAST_)
  bool statement_errors = false;  // a global statement was in error

  // The listing stream for procedures that print text.
  std::ostream* listing = nullptr;

  // Worst outcome of the run: 0 all fine; 1 a step ended with a status from
  // 1 to 999; 2 a step stopped, a statement was in error, or the program
  // could not be read.
  int run_status() const;

  // Output delivery, when the run has one.
  OutputDelivery* output = nullptr;
};

}  // namespace kav
