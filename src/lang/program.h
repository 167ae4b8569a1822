// Runs programs: reads statements, executes global statements at once,
// gathers the statements of each step and dispatches the step when it ends
// (RUN, QUIT, the next DATA or PROC statement, the end of the data lines or
// of the program).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/session.h"
#include "host/statement.h"

namespace kav {

class Interpreter {
 public:
  explicit Interpreter(Session& session);

  // Runs a whole program.  Errors are logged; the run goes on with the next
  // step, as a batch run does.
  void run(const std::string& text, const std::string& file);

 private:
  struct PendingStep {
    bool active = false;
    bool is_data = false;
    std::string name;  // DATA or the procedure name
    std::vector<Statement> statements;
    bool bad = false;
    SourcePos pos;
  };
  void finish_step();
  void run_step(PendingStep& step);
  bool global_statement(const Statement& st);
  void macro_statement(const Statement& st);
  void libname(const Statement& st);
  void options(const Statement& st);
  void title(const Statement& st, bool footnote);
  void error_at(const Token& t, int number, std::vector<std::string> args);

  Session& session_;
  PendingStep step_;
};

// The DATA step: builds a data set from INPUT and assignment statements.
void run_data_step(class StepContext& ctx);

// Registers PRINT and CONTENTS.
void register_builtin_procedures(ProcedureRegistry& registry);

}  // namespace kav
