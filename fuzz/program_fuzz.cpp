// Whole programs: the reader, global statements, DATA steps, PROC PRINT and
// CONTENTS, and PROC FACTOR's statement parser and option checks.  FACTOR
// runs its analysis only when it is small (few variables, few simulations
// and iterations) so that every input ends within moments; a bigger one
// ends its step at the correlation stage.  Each input runs in an emptied
// sandbox folder, which is also WORK.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <streambuf>
#include <string>

#include "cli/run.h"
#include "factor/state/stages.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "factor/step/factor.h"
#include "host/session.h"
#include "host/step.h"
#include "sandbox.h"

namespace {

constexpr int kMaxVariables = 16;
constexpr int kMaxSimulations = 20;
constexpr int kMaxIterations = 50;

void small_factcor(kav::COMSTR* com) {
  if (com->ntot > kMaxVariables) kav::xexit(kav::kRcStop);
  if (com->nsimspa > kMaxSimulations) com->nsimspa = kMaxSimulations;
  if (com->maxiter > kMaxIterations) com->maxiter = kMaxIterations;
  if (com->ritr > kMaxIterations) com->ritr = kMaxIterations;
  kav::kFactorStages.factcor(com);
}

const kav::FACTSTAGES& small_stages() {
  static const kav::FACTSTAGES stages = [] {
    kav::FACTSTAGES s = kav::kFactorStages;
    s.factcor = small_factcor;
    return s;
  }();
  return stages;
}

void small_factor(kav::ProcedureRegistry& registry) {
  static const kav::FACTHOOKS hooks{&small_stages(), nullptr};
  const kav::ProcedureModule* real = registry.find("FACTOR");
  kav::ProcedureModule m = *real;
  m.run = [](kav::StepContext& ctx) { kav::kavfact(ctx, &hooks); };
  registry.add(std::move(m));
}

struct NullBuf : std::streambuf {
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = kavfuzz::sandbox();
  kavfuzz::clear_sandbox();
  std::filesystem::create_directory(dir + "/work");
  static NullBuf buf;
  static std::ostream sink(&buf);
  kav::RunOptions opts;
  opts.work = dir + "/work";
  opts.json = dir + "/results.json";
  opts.listing_stream = &sink;
  // KAV_FUZZ_LOG=1 shows the log, for replaying an input by hand.
  static const bool show_log = std::getenv("KAV_FUZZ_LOG") != nullptr;
  opts.log_stream = show_log ? &std::cerr : &sink;
  opts.procedures = small_factor;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int status = kav::run_program(text, "fuzz.kav", opts);
  if (status < 0 || status > 2) __builtin_trap();  // run_program gives 0, 1 or 2
  return 0;
}
