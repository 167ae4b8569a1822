// The host as a procedure step sees it.  A procedure reaches the run-time
// only through this object: its statements, messages, memory, exit routine,
// scratch file, system options, macro variables, data sets and output.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/bygroup.h"
#include "host/dataset.h"
#include "host/library.h"
#include "host/log.h"
#include "host/options.h"
#include "host/statement.h"
#include "host/step.h"

namespace kav {

class Session;
class OutputDelivery;

class StepContext {
 public:
  StepContext(Session& session, std::vector<Statement> statements);
  StepContext(const StepContext&) = delete;
  StepContext& operator=(const StepContext&) = delete;
  ~StepContext();

  // The step's statements: the PROC statement first, then the others in
  // the order written.
  const std::vector<Statement>& statements() const { return statements_; }

  // Messages.
  void xpmlog(int group, int number, std::vector<std::string> args = {}, SourcePos pos = {});
  void note(const std::string& text);
  Log& log();

  // Memory and the end of the step.
  StepPool& pool() { return pool_; }
  // Registers the routine that runs when the step ends, however it ends.
  void xytexit(std::function<void()> routine) { exit_routine_ = std::move(routine); }
  // Runs the exit routine once (the dispatcher calls it).
  void run_exit_routine();
  UtilityFile& utility() { return utility_; }

  // System options and macro variables.
  const SystemOptions& options() const;
  std::optional<double> xyrngef(const std::string& option) const;      // option as a number
  std::optional<std::string> xoptcgt(const std::string& option) const;  // option as text
  bool debug_on(const std::string& name) const;
  std::optional<std::string> xjsymgn(const std::string& name) const;   // macro variable
  void xjsympn(const std::string& name, const std::string& value);

  // Data sets.  Errors are thrown (LibraryError, DataError) and turned into
  // messages by the dispatcher.
  // Logs at once the notes known when the data set is opened (columns
  // renamed, or read as character because of a stray value).
  std::unique_ptr<ObsReader> open_input(const DataSetName& name);
  // Logs the notes a reader has gathered since (values it could not read).
  void log_data_notes(ObsReader& reader);
  std::unique_ptr<ObsWriter> open_output(const DataSetName& name, DataSetHeader header);
  // Says, after writer.commit(), that the data set has `written`
  // observations (less those a WHERE= option kept out).  For a database
  // table that goes in with the step's transaction the note waits for it.
  void dataset_written(ObsWriter& writer, std::int64_t written);
  bool dataset_exists(const DataSetName& name) const;
  // The data set most recently created, for procedures whose DATA= is left
  // out.  Empty when there is none.
  DataSetName last_dataset() const;
  // Records a data set written by this step as the most recent one.
  void set_last_dataset(const DataSetName& name);
  ValidVarName validvarname() const;

  // Output.
  OutputDelivery* output() const;
  std::ostream* listing() const;
  const std::vector<std::string>& titles() const;
  const std::vector<std::string>& footnotes() const;

  Session& session() { return session_; }

 private:
  Session& session_;
  std::vector<Statement> statements_;
  StepPool pool_;
  UtilityFile utility_;
  std::function<void()> exit_routine_;
};

}  // namespace kav
