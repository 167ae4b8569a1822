#include "host/services.h"

#include "host/host_messages.h"
#include "host/session.h"

namespace kav {

StepContext::StepContext(Session& session, std::vector<Statement> statements)
    : session_(session), statements_(std::move(statements)) {}

StepContext::~StepContext() = default;

void StepContext::xpmlog(int group, int number, std::vector<std::string> args, SourcePos pos) {
  session_.log.message(group, number, std::move(args), std::move(pos));
}

void StepContext::note(const std::string& text) { session_.log.text(Severity::Note, text); }

Log& StepContext::log() { return session_.log; }

void StepContext::run_exit_routine() {
  if (!exit_routine_) return;
  auto routine = std::move(exit_routine_);
  exit_routine_ = nullptr;
  routine();
}

const SystemOptions& StepContext::options() const { return session_.options; }
std::optional<double> StepContext::xyrngef(const std::string& o) const {
  return session_.options.number(o);
}
std::optional<std::string> StepContext::xoptcgt(const std::string& o) const {
  return session_.options.text(o);
}
bool StepContext::debug_on(const std::string& name) const {
  return session_.options.debug_on(name);
}
std::optional<std::string> StepContext::xjsymgn(const std::string& name) const {
  return session_.macros.get(name);
}
void StepContext::xjsympn(const std::string& name, const std::string& value) {
  session_.macros.set(name, value);
}

std::unique_ptr<ObsReader> StepContext::open_input(const DataSetName& name) {
  auto reader = session_.libraries.open_read(name, session_.options.validvarname);
  log_data_notes(*reader);
  return reader;
}
void StepContext::log_data_notes(ObsReader& reader) {
  for (const auto& n : reader.take_notes()) xpmlog(kHostGroup, msg::kDataNote, {n});
}
std::unique_ptr<ObsWriter> StepContext::open_output(const DataSetName& name, DataSetHeader header) {
  return session_.libraries.open_write(name, std::move(header));
}
void StepContext::dataset_written(ObsWriter& writer, std::int64_t written) {
  const DataSetHeader& h = writer.stored_header();
  std::vector<std::string> args = {h.name, std::to_string(written - writer.left_out()),
                                   std::to_string(h.vars.size())};
  if (!writer.hold_written_note(args)) xpmlog(kHostGroup, msg::kDataSetWritten, std::move(args));
}
bool StepContext::dataset_exists(const DataSetName& name) const {
  return session_.libraries.exists(name);
}
DataSetName StepContext::last_dataset() const { return session_.last_dataset; }
void StepContext::set_last_dataset(const DataSetName& name) {
  // The data set itself: the options it was written with do not apply to
  // a later step that reads it.
  DataSetName plain;
  plain.libref = name.libref;
  plain.member = name.member;
  plain.path = name.path;
  plain.pos = name.pos;
  session_.last_dataset = plain;
}
ValidVarName StepContext::validvarname() const { return session_.options.validvarname; }

OutputDelivery* StepContext::output() const { return session_.output; }
std::ostream* StepContext::listing() const { return session_.listing; }
const std::vector<std::string>& StepContext::titles() const { return session_.titles; }
const std::vector<std::string>& StepContext::footnotes() const { return session_.footnotes; }

}  // namespace kav
