#include "cli/run.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "factor/step/factor.h"
#include "host/host_messages.h"
#include "host/output.h"
#include "host/session.h"
#include "lang/program.h"
#include "lang/reader.h"
#include "render/destinations.h"
#include "render/factor_graphs.h"
#include "tkxfac/tkxfac.h"

#ifndef KAV_VERSION
#define KAV_VERSION "0.0.0"
#endif

namespace kav {

void register_all_procedures(ProcedureRegistry& registry) {
  register_builtin_procedures(registry);
  // The toolkit through which the FACTOR module loads its factoring
  // extension, exported to the module in the global control block.
  static TKHANDLE toolkit{tkxfac_load, nullptr};
  static KAVGCB control{&toolkit};
  register_factor(registry, &control, nullptr);
}

namespace {

// The message that says a file could not be opened, before any session exists.
int cannot_open(std::ostream& err, const std::string& what, const std::string& path) {
  err << "ERROR: The " << what << " file " << path << " cannot be opened: " << std::strerror(errno)
      << ".\n";
  return 2;
}

}  // namespace

int run_program(const std::string& text, const std::string& file, const RunOptions& options) {
  std::ostream& default_err = options.log_stream ? *options.log_stream : std::cerr;
  std::ostream& default_out = options.listing_stream ? *options.listing_stream : std::cout;
  std::unique_ptr<std::ofstream> log_file, listing_file;
  std::ostream* log_stream = &default_err;
  std::ostream* listing_stream = &default_out;
  if (!options.log.empty()) {
    log_file = std::make_unique<std::ofstream>(options.log);
    if (!*log_file) return cannot_open(default_err, "log", options.log);
    log_stream = log_file.get();
  }
  if (!options.listing.empty()) {
    listing_file = std::make_unique<std::ofstream>(options.listing);
    if (!*listing_file) return cannot_open(default_err, "listing", options.listing);
    listing_stream = listing_file.get();
  }

  std::unique_ptr<Session> session;
  try {
    session = std::make_unique<Session>(options.work, log_stream);
  } catch (const LibraryError& e) {
    Log log(log_stream);
    log.message(kHostGroup, e.number, e.args);
    return 2;
  }
  for (const auto& d : options.debug) {
    bool unknown = false;
    session->options.set("DEBUG", d, unknown);
  }
  register_all_procedures(session->procedures);
  if (options.procedures) options.procedures(session->procedures);
  session->listing = listing_stream;

  OutputDelivery delivery;
  session->output = &delivery;
  Session* s = session.get();
  delivery.set_problem_sink([s](const DeliveryProblem& p) {
    s->log.text(p.severity, p.subject.empty() ? p.text : p.subject + ": " + p.text, {}, kHostGroup,
                msg::kOdsError);
  });
  delivery.set_trace_sink([s](const std::string& line) { s->log.plain(line); });
  delivery.set_dataset_opener([s](const std::string& name, DataSetHeader header) {
    Log quiet;
    auto tokens = tokenize_text(name, quiet);
    DataSetName ds;
    std::size_t i = 0;
    SourcePos where;
    std::string err = parse_dataset_name(tokens, i, ds, where);
    if (!err.empty() || i != tokens.size())
      throw LibraryError(msg::kWriteFailed, {name, err.empty() ? "it is not a data set name" : err});
    auto writer = s->libraries.open_write(ds, std::move(header));
    s->last_dataset = DataSetName{};
    s->last_dataset.libref = ds.libref;
    s->last_dataset.member = ds.member;
    s->last_dataset.path = ds.path;
    return writer;
  });
  GraphTemplateRegistry graphs;
  register_factor_graph_templates(graphs);
  install_destination_kinds(delivery, graphs, KAV_VERSION);
  delivery.attach_destination("listing", make_listing_destination(*listing_stream));
  // The program and the log and listing files are the run's too: no
  // destination, from the command line or an ODS statement, may write them.
  std::error_code ec;
  if (std::filesystem::is_regular_file(file, ec))
    delivery.file_claims().claim("the program file", file, true);
  delivery.file_claims().claim("--listing", options.listing);
  delivery.file_claims().claim("--log", options.log);
  bool setup_failed = false;
  auto open = [&](const std::string& kind, const std::string& path) {
    if (path.empty()) return;
    std::string err = delivery.open_destination(kind, path, "--" + kind);
    if (!err.empty()) {
      session->log.message(kHostGroup, msg::kOdsError, {"The " + kind + " file " + path + " cannot be written: " + err});
      setup_failed = true;
    }
  };
  open("html", options.html);
  open("json", options.json);
  if (!options.graphics_dir.empty()) {
    std::string err = delivery.open_destination("graphics", options.graphics_dir);
    if (!err.empty()) {
      session->log.message(kHostGroup, msg::kOdsError, {"The graphics folder " + options.graphics_dir + " cannot be used: " + err});
      setup_failed = true;
    }
  }
  if (setup_failed) {
    delivery.close_all();
    return 2;
  }

  Interpreter interpreter(*session);
  interpreter.run(text, file);
  for (const auto& err : delivery.close_all()) {
    session->log.message(kHostGroup, msg::kOdsError, {err});
    session->statement_errors = true;
  }
  int status = session->run_status();
  if (options.inspect) options.inspect(*session, options.inspect_arg);
  session->output = nullptr;
  return status;
}

}  // namespace kav
